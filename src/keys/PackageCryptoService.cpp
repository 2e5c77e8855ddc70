#include "keys/PackageCryptoService.h"

#include <memory>
#include <mutex>

#include "crypto/CryptObjects.h"
#include "crypto/CryptoSignature.h"
#include "crypto/VorlentCryptoTool.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "package/PackageCrypto.h"
#include "validation/ChainBuilder.h"

namespace qv {

namespace {

class CKeysPackageCrypto : public CPackageCryptoService {
 public:
  bool IsCryptoProviderInstalled() override { return CVorlentCryptoTool::IsCryptoProviderInstalled(); }

  std::string SignDetached(const CVorlentKey& key, const std::string& content) override {
    if (!key.Certificate()) RaiseError("Сертификат не загружен"_cp);
    std::unique_ptr<CCryptCertificate> certificate = CCryptCertificate::Create(key.Certificate());
    return CCryptTool::Sign(*certificate, content, false);
  }

  std::string EncryptForThumbprint(bool currentUser, const std::string& content,
                                   const std::string& sha1) override {
    return CVorlentCryptoTool::EncryptForThumbprint(currentUser, content, sha1);
  }

  std::string EncryptForCertificate(const std::string& content, const std::string& certificateText) override {
    return CVorlentCryptoTool::EncryptForCertificate(content, certificateText);
  }

  std::string Decrypt(bool currentUser, const std::string& encrypted) override {
    return CVorlentCryptoTool::Decrypt(currentUser, encrypted);
  }

  void VerifySignature(bool currentUser, const std::string& content, const std::string& signature,
                       CStrArray& signerList, bool downloadMissing, bool checkRevocation) override {
    CVorlentCryptoTool::VerifySignature(currentUser, content, signature, &signerList, downloadMissing,
                                        checkRevocation);
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
