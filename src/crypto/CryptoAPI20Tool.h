// The cryptography facade of key management, and the class operations of the message
// services that the facade and key management reach: detached verification with the chain
// check, signer extraction, and encryption for one recipient and decryption with the personal
// store. An instance holds a verify-only provider context and the location of every store it
// opens.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/BaseClass.h"
#include "foundation/StrArray.h"
#include "platform/CertServices.h"
#include "platform/CryptProvider.h"

namespace qv {

class CCryptoAPI20Tool : public CBaseClass {
 public:
  // Acquires the verify-only context; "Ошибка при инициализации криптопровайдера: %s".
  CCryptoAPI20Tool();
  ~CCryptoAPI20Tool() override;

  const std::string& ProviderName() const { return providerName_; }
  std::uint32_t ProviderType() const { return providerType_; }
  // StoreLocation: 2 the current user (at creation), 1 the local machine; 0 refuses every store.
  std::uint8_t Location() const { return location_; }
  void SetLocation(std::uint8_t location) { location_ = location; }
  const CProviderContext* Handle() const { return handle_.get(); }

  // A new certificate from PEM, Base64 or DER ("CertificateBody").
  CertContextPtr CertificateFromBody(const std::string& body);
  // Every certificate of store `name` (StoreName) into `list` ("certArray").
  void EnumStore(int name, CStrArray* list);
  // The certificate with thumbprint `sha1` ("sSha1") in store `name`, or null.
  CertContextPtr FindBySha1(int name, const std::string& sha1);
  // The encoded bytes ("CertContext").
  std::string GetCertificateBody(const CertContextPtr& context);
  // Files the certificates of a bundle into "ROOT", "CA" or "addressbook" ("p7b-body").
  void ImportP7B(const std::string& text);
  void AddToStore(int name, const CertContextPtr& certificate, const std::string& container);
  // Binds the certificate to the key container `container` of the user key set and writes it
  // into the container; a container whose key is not the certificate's is refused first.
  void LinkToContainer(const CertContextPtr& certificate, const std::string& container, bool caching);
  // The key-provider property with the tool's provider: flags 1 with `caching`, else 0.
  void SetKeyProvInfo(const CertContextPtr& certificate, const std::string& container, bool caching);
  // The container named in the key-provider property; empty without one.
  std::string GetContainerName(const CertContextPtr& certificate);
  // Detached verification with downloads and the revocation check, at the current time.
  static bool CheckSignature(bool currentUser, const std::string& content, const std::string& signature);

  // Verifies a detached signature with a verify-only provider context, always checking the
  // signer's chain; `downloadMissing` allows downloads of authority certificates and revocation
  // lists, `checkRevocation` turns the revocation check on. `signerList`, when given, receives
  // the signers' certificates (CZUMECCertificate items keyed by thumbprint, owned by the list).
  // `oneSigner` refuses a signature with more than one signer (the signatures of a package).
  static bool VerifyDetached(bool currentUser, const std::string& content, const std::string& signature,
                             bool downloadMissing, bool checkRevocation, double date, CStrArray* signerList,
                             bool oneSigner = false);

  // The first certificate carried in a signature; raises
  // "Не удалось извлечь подписанта из подписи. Неверный формат подписи: %s".
  static CertContextPtr ExtractSigner(const std::string& signatureBytes);

  // DER EnvelopedData for one recipient (key transport, GOST 28147-89 content cipher).
  static std::string EncryptMessage(const CertContextPtr& recipient, const std::string& content);
  // The plain content of an EnvelopedData for a recipient whose certificate `store` holds bound
  // to its key container. A key that does not belong to the recipient fails; it never yields
  // garbage.
  static std::string DecryptMessage(const CertStorePtr& store, const std::string& encrypted);
  // The same, replacing `message` with its plain content (where it lies, for GOST 28147-89
  // content); a message that fails to decrypt is left as it was.
  static void DecryptMessageInPlace(const CertStorePtr& store, std::string& message);

  // Encrypts for the certificate with thumbprint `sha1` (40 upper-case hexadecimal digits) in
  // "addressbook" of the current user (currentUser) or the local machine.
  static std::string EncryptForThumbprint(bool currentUser, const std::string& content,
                                          const std::string& sha1);
  // Encrypts for a certificate given as PEM, Base64 or DER.
  static std::string EncryptForCertificate(const std::string& content, const std::string& certificateText);
  // Decrypts with the certificates and keys of "MY" of the current user or the local machine.
  static std::string DecryptWithPersonalStore(bool currentUser, const std::string& encrypted);
  static void DecryptInPersonalStore(bool currentUser, std::string& message);

 private:
  void CheckStore(int name) const;
  void SetKeyProvWith(const CProviderContext& context, const CertContextPtr& certificate,
                      const std::string& container, bool caching);

  std::string providerName_ = "Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider";
  std::uint32_t providerType_ = kProvGost;
  std::uint8_t location_ = 2;
  ProviderContextPtr handle_;
};

}  // namespace qv
