// The key record: one certificate as the library uses it for signing, encryption and
// checks: thumbprint, names, encoded body, the private-key container bound to it, the
// signer role and the certificate object behind it. Signature entries own the record of
// their signer; every key object of the automation layer owns one record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/BaseClass.h"
#include "platform/CertServices.h"
#include "platform/CryptProvider.h"

namespace qv {

class CVorlentKey : public CBaseClass {
 public:
  // Internal role code of a new record: the applicant (interface value 2).
  static constexpr std::uint8_t kDefaultRole = 5;

  CVorlentKey() = default;
  ~CVorlentKey() override;

  // 40 upper-case hexadecimal digits of the certificate's SHA-1 hash.
  const std::string& Sha1() const { return sha1_; }
  void SetSha1(const std::string& value);
  // Internal role code (a subject-type number).
  std::uint8_t SignRole() const { return signRole_; }
  void SetSignRole(std::uint8_t value) { signRole_ = value; }
  const std::string& SubjectCN() const { return subjectCN_; }
  void SetSubjectCN(const std::string& value);
  const std::string& SubjectSN() const { return subjectSN_; }
  void SetSubjectSN(const std::string& value) { subjectSN_ = value; }
  const std::string& SubjectG() const { return subjectG_; }
  void SetSubjectG(const std::string& value) { subjectG_ = value; }
  const std::string& ContainerName() const { return containerName_; }
  void SetContainerName(const std::string& value) { containerName_ = value; }
  // The certificate's DER bytes, one byte per character.
  const std::string& CertificateBody() const { return certificateBody_; }
  void SetCertificateBody(const std::string& value);
  const std::string& Subject() const { return subject_; }
  void SetSubject(const std::string& value);
  const std::string& Issuer() const { return issuer_; }
  void SetIssuer(const std::string& value);
  // True: the current user's key set; false: the machine key set.
  bool FlagCurrentUserStorage() const { return flagCurrentUserStorage_; }
  void SetFlagCurrentUserStorage(bool value) { flagCurrentUserStorage_ = value; }

  // The certificate object, or null. Each holder keeps its own reference, so a borrowed
  // handle stays valid as long as the record that borrowed it.
  const CertContextPtr& Certificate() const { return certificate_; }
  void SetCertificate(CertContextPtr certificate, bool owns = false);
  bool OwnsCertificate() const { return ownsCertificate_; }

  // Fills every field from a certificate of a store and takes the certificate (owned).
  // The container name comes from the certificate's key-provider property, empty without one.
  void FillFromCertificate(const CertContextPtr& certificate);
  // The signer of a signature: thumbprint, names and body from the certificate, the role
  // given; the container name stays empty and no certificate object is kept.
  void FillFromSignerCertificate(const CCertContext& certificate, std::uint8_t role);

  // Opens the key container `ContainerName` of the GOST provider (type 75) in the key set
  // that FlagCurrentUserStorage names; nothing happens when one is open already. A failure
  // raises the provider's error with its code.
  void Init();
  const CProviderContext* ContainerHandle() const { return container_.get(); }

 private:
  std::string sha1_;
  std::uint8_t signRole_ = kDefaultRole;
  std::string subjectCN_;
  std::string subjectSN_;
  std::string subjectG_;
  std::string containerName_;
  std::string certificateBody_;
  std::string subject_;
  std::string issuer_;
  CertContextPtr certificate_;
  bool ownsCertificate_ = false;
  ProviderContextPtr container_;
  bool flagCurrentUserStorage_ = false;
};

// The cryptographic operations of a package (signing, counter-signing, accepting signatures
// made elsewhere, encryption, decryption, verification) come from the keys layer; until it
// routes them, they fail with "Операция недоступна: криптографические операции пакета ещё не
// подключены".
[[noreturn]] void RaisePackageCryptoUnavailable();

}  // namespace qv
