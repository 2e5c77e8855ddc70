#include "keys/PackageCryptoService.h"

#include <functional>
#include <memory>
#include <mutex>

#include "crypto/CryptObjects.h"
#include "crypto/CryptoSignature.h"
#include "crypto/CryptoUtils.h"
#include "crypto/VorlentCryptoTool.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "package/PackageCrypto.h"
#include "validation/ChainBuilder.h"
#include "validation/ChainDownloads.h"

namespace qv {

namespace {

// One signature with a key: the digest taken as the content's pieces come, then the signature.
class CKeySigning : public CContentSigning {
 public:
  explicit CKeySigning(std::shared_ptr<const CKeySigner> signer)
      : signer_(std::move(signer)), digester_({signer_->DigestNid()}) {}
  void Update(const char* data, std::size_t size) override { digester_.Update(data, size); }
  std::string Finish(const std::string& content) override {
    const ContentDigests known = digester_.Finish();
    return signer_->Sign(content, &known);
  }

 private:
  std::shared_ptr<const CKeySigner> signer_;
  CContentDigester digester_;
};

class CKeysPackageCrypto : public CPackageCryptoService {
 public:
  bool IsCryptoProviderInstalled() override { return CVorlentCryptoTool::IsCryptoProviderInstalled(); }

  std::string SignDetached(bool currentUser, const CVorlentKey& key, const std::string& content) override {
    std::unique_ptr<CCryptCertificate> certificate = CertificateOf(currentUser, key);
    return CCryptTool::Sign(*certificate, content, false);
  }

  ContentSigner OpenSigner(bool currentUser, const CVorlentKey& key) override {
    std::unique_ptr<CCryptCertificate> certificate = CertificateOf(currentUser, key);
    auto signer = std::make_shared<const CKeySigner>(*certificate);
    return [signer] { return std::make_unique<CKeySigning>(signer); };
  }

  std::string EncryptForThumbprint(bool currentUser, const std::string& content,
                                   const std::string& sha1) override {
    return CVorlentCryptoTool::EncryptForThumbprint(currentUser, content, sha1);
  }

  std::string EncryptForCertificate(const std::string& content, const std::string& certificateText) override {
    return CVorlentCryptoTool::EncryptForCertificate(content, certificateText);
  }

  void Decrypt(bool currentUser, std::string& content) override {
    CVorlentCryptoTool::Decrypt(currentUser, content);
  }

  void VerifySignature(bool currentUser, const std::string& content, const std::string& signature,
                       CStrArray& signerList, bool downloadMissing, bool checkRevocation) override {
    CVorlentCryptoTool::VerifySignature(currentUser, content, signature, &signerList, downloadMissing,
                                        checkRevocation);
  }
  std::shared_ptr<void> OpenVerificationRun() override { return std::make_shared<CVerificationRun>(); }

 private:
  // The key record's certificate, or the one of its thumbprint in "MY".
  static std::unique_ptr<CCryptCertificate> CertificateOf(bool currentUser, const CVorlentKey& key) {
    CertContextPtr context = key.Certificate();
    if (!context && !key.Sha1().empty()) {
      context = CCryptoAPI20Utils::FindBySha1(nullptr, currentUser ? kStoreCurrentUser : kStoreLocalMachine,
                                              kStoreMy, key.Sha1());
    }
    if (!context) RaiseError("Сертификат не загружен"_cp);
    return CCryptCertificate::Create(context);
  }
};

}  // namespace

void InstallPackageCrypto() {
  static std::once_flag once;
  std::call_once(once, [] {
    InstallStrictChainBuilder();
    SetPackageCryptoService(std::make_shared<CKeysPackageCrypto>());
  });
}

}  // namespace qv
