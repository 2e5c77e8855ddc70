// The certificate wrapper of the encryption and verification paths: a certificate opened
// from text or taken from a context, with its parts parsed.
#pragma once

#include <memory>
#include <string>

#include "foundation/BaseClass.h"
#include "platform/CertServices.h"

namespace qv {

class CZUMECCryptoBlob : public CBaseClass {
 public:
  bool IsValid() const { return valid_; }
  std::uint32_t EncodingType() const { return kEncodingX509Pkcs7; }

 protected:
  bool valid_ = false;
};

// The parts of a certificate.
struct CZUMECCertificateContext {
  std::string serialNumber;  // content octets of the serial, most significant first
  std::string subject;       // X.500 text form
  std::string issuer;
  std::string publicKeyAlgorithm;  // dotted OID
  std::string signatureAlgorithm;  // dotted OID
  std::string containerName;
};

class CZUMECCertificate : public CZUMECCryptoBlob {
 public:
  // Opens a certificate given as PEM, Base64 or DER; raises "Error open certificate" when it
  // cannot be parsed and the platform's error when no context can be made.
  void Open(const std::string& text);
  // Parses the context's parts; on success keeps the context. Returns whether it succeeded.
  bool SetFromContext(const CertContextPtr& context, bool owns);
  const CertContextPtr& GetContext() const { return context_; }
  std::string GetSha1() const;
  // The key container named in the certificate's key-provider property, or empty.
  std::string GetContainerName() const;
  const CZUMECCertificateContext* Parsed() const { return parsed_.get(); }
  bool OwnsContext() const { return ownsContext_; }

 private:
  CertContextPtr context_;
  std::unique_ptr<CZUMECCertificateContext> parsed_;
  bool ownsContext_ = false;
};

}  // namespace qv
