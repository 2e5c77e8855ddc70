#include "crypto/VorlentCryptoTool.h"

#include <memory>
#include <mutex>

#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoUtils.h"
#include "crypto/ZumecCertificate.h"
#include "foundation/ValueCheck.h"
#include "package/VorlentKey.h"

namespace qv {

namespace {

std::mutex& CheckLock() {
  static std::mutex lock;
  return lock;
}

std::function<bool()>& CheckSlot() {
  static std::function<bool()> check;
  return check;
}

}  // namespace

void CVorlentCryptoTool::Decrypt(bool currentUser, std::string& message) {
  CCryptoAPI20Tool::DecryptInPersonalStore(currentUser, message);
}

std::string CVorlentCryptoTool::EncryptForThumbprint(bool currentUser, const std::string& content,
                                                     const std::string& sha1) {
  return CCryptoAPI20Tool::EncryptForThumbprint(currentUser, content, sha1);
}

std::string CVorlentCryptoTool::EncryptForCertificate(const std::string& content,
                                                      const std::string& certificateText) {
  return CCryptoAPI20Tool::EncryptForCertificate(content, certificateText);
}

void CVorlentCryptoTool::VerifySignature(bool currentUser, const std::string& content,
                                         const std::string& signature, CStrArray* signerList,
                                         bool downloadMissing, bool checkRevocation) {
  CValueCheckTool::CheckNotNil(signerList, "pSignerList");
  signerList->Clear();
  // A signature of a package has one signer, the one its key record and role describe.
  CCryptoAPI20Tool::VerifyDetached(currentUser, content, signature, downloadMissing, checkRevocation, 0,
                                   signerList, true);
  if (signerList->Count() == 0) return;
  auto* first = dynamic_cast<CZUMECCertificate*>(static_cast<CBaseClass*>(signerList->Object(0)));
  if (!first || !first->GetContext()) return;
  auto key = std::make_unique<CVorlentKey>();
  key->SetCertificateBody(first->GetContext()->Encoded());
  key->SetSha1(first->GetSha1());
  std::string thumbprint = key->Sha1();
  signerList->Add(thumbprint, static_cast<CBaseClass*>(key.get()));
  key.release();
}

bool CVorlentCryptoTool::IsCryptoProviderInstalled() {
  std::function<bool()> check;
  {
    std::lock_guard<std::mutex> guard(CheckLock());
    check = CheckSlot();
  }
  return check ? check() : CCryptoAPI20Utils::IsCryptoProviderInstalled();
}

void CVorlentCryptoTool::SetProviderCheck(std::function<bool()> check) {
  std::lock_guard<std::mutex> guard(CheckLock());
  CheckSlot() = std::move(check);
}

}  // namespace qv
