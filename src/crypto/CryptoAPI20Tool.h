// The class operations of the message services that the cryptography facade and key
// management reach: detached verification with the chain check, signer extraction, and
// encryption for one recipient and decryption with the personal store.
#pragma once

#include <string>

#include "foundation/StrArray.h"
#include "platform/CertServices.h"

namespace qv {

class CCryptoAPI20Tool {
 public:
  // Verifies a detached signature with a verify-only provider context, always checking the
  // signer's chain; `downloadMissing` allows downloads of authority certificates and revocation
  // lists, `checkRevocation` turns the revocation check on. `signerList`, when given, receives
  // the signers' certificates (CZUMECCertificate items keyed by thumbprint, owned by the list).
  static bool VerifyDetached(bool currentUser, const std::string& content, const std::string& signature,
                             bool downloadMissing, bool checkRevocation, double date, CStrArray* signerList);

  // The first certificate carried in a signature; raises
  // "Не удалось извлечь подписанта из подписи. Неверный формат подписи: %s".
  static CertContextPtr ExtractSigner(const std::string& signatureBytes);

  // DER EnvelopedData for one recipient (key transport, GOST 28147-89 content cipher).
  static std::string EncryptMessage(const CertContextPtr& recipient, const std::string& content);
  // The plain content of an EnvelopedData for a recipient whose certificate `store` holds bound
  // to its key container. A key that does not belong to the recipient fails; it never yields
  // garbage.
  static std::string DecryptMessage(const CertStorePtr& store, const std::string& encrypted);

  // Encrypts for the certificate with thumbprint `sha1` (40 upper-case hexadecimal digits) in
  // "addressbook" of the current user (currentUser) or the local machine.
  static std::string EncryptForThumbprint(bool currentUser, const std::string& content,
                                          const std::string& sha1);
  // Encrypts for a certificate given as PEM, Base64 or DER.
  static std::string EncryptForCertificate(const std::string& content, const std::string& certificateText);
  // Decrypts with the certificates and keys of "MY" of the current user or the local machine.
  static std::string DecryptWithPersonalStore(bool currentUser, const std::string& encrypted);
};

}  // namespace qv
