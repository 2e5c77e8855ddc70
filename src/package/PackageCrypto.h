// The cryptographic services a package needs, as seen from the package model. The package
// entries decide what is signed, in which order, when an operation is refused and which
// messages the client sees; the cryptographic work itself (detached signatures, reading the
// signer, encryption, decryption, verification with the chain check) lives in the layers
// above and reaches the package through this interface. The keys layer installs the one
// implementation at library start (InstallPackageCrypto in keys/PackageCryptoService.h).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/StrArray.h"
#include "package/VorlentKey.h"

namespace qv {

// A signature made while its content is read: the content's pieces go to Update in order, and
// Finish makes the detached signature of `content`, which must be everything Update was given.
class CContentSigning {
 public:
  virtual ~CContentSigning() = default;
  virtual void Update(const char* data, std::size_t size) = 0;
  virtual std::string Finish(const std::string& content) = 0;
};
// Starts a signature made with one key; may be called on any thread.
using ContentSigner = std::function<std::unique_ptr<CContentSigning>()>;

class CPackageCryptoService {
 public:
  virtual ~CPackageCryptoService() = default;

  // Whether the GOST provider the operations need is present.
  virtual bool IsCryptoProviderInstalled() = 0;
  // A detached CMS signature of `content` made with the key record's certificate and the
  // private key bound to it. A record without a certificate object is looked up by its
  // thumbprint in "MY" of the current user (currentUser) or the local machine.
  virtual std::string SignDetached(bool currentUser, const CVorlentKey& key, const std::string& content) = 0;
  // SignDetached for several contents, each signed as it is read: the certificate found and the
  // private key read (its PIN asked) once, when this is called.
  virtual ContentSigner OpenSigner(bool currentUser, const CVorlentKey& key) = 0;
  virtual std::string EncryptForThumbprint(bool currentUser, const std::string& content,
                                           const std::string& sha1) = 0;
  virtual std::string EncryptForCertificate(const std::string& content,
                                            const std::string& certificateText) = 0;
  // Replaces the encrypted `content` with its plain text; on failure it is left as it was.
  virtual void Decrypt(bool currentUser, std::string& content) = 0;
  // Verifies `signature` as a detached signature over `content`, with the signer's chain;
  // refills `signerList`. Raises on failure.
  virtual void VerifySignature(bool currentUser, const std::string& content, const std::string& signature,
                               CStrArray& signerList, bool downloadMissing, bool checkRevocation) = 0;
  // Opens one verification run for the checks that follow on the thread, until the result is
  // released: they fetch each URL once and share the bounds of one verification. Null: none.
  virtual std::shared_ptr<void> OpenVerificationRun() { return nullptr; }
};

// The signer that the documents signed together share: opened by the first of them to sign
// (so that a refusal of a document comes before any question of the key, as one by one) and
// then used by all, on any thread. A failure to open it is every document's failure.
class CSharedSigner {
 public:
  explicit CSharedSigner(const CVorlentKey& key) : key_(key) {}
  std::unique_ptr<CContentSigning> Start(bool currentUser);

 private:
  const CVorlentKey& key_;
  std::mutex mutex_;
  bool opened_ = false;
  std::exception_ptr failure_;
  ContentSigner start_;
};

// Fills `key` from the signer's certificate carried in `signature` (the certificate that
// signer 0 names, else the first one) with the given role; raises
// "Подпись не содержит сертификата подписанта" when the bytes carry no certificate.
void ReadSignerKey(const std::string& signature, std::uint8_t role, CVorlentKey& key);

// Installs (or, with null, removes) the services; the package entries look them up at each
// operation.
void SetPackageCryptoService(std::shared_ptr<CPackageCryptoService> service);
// The installed services; raises RaisePackageCryptoUnavailable's message when none is.
std::shared_ptr<CPackageCryptoService> PackageCryptoService();
// Asked once when an entry is created: false without services or without the provider.
bool PackageCryptoProviderInstalled();
// Raises "Не установлен СКЗИ КриптоПро, который требуется для операции: %s" with `operation`
// unless `installed`; without services at all, the unavailable message.
void RequirePackageCryptoProvider(bool installed, const std::string& operation);

}  // namespace qv
