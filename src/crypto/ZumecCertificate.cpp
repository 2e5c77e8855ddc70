#include "crypto/ZumecCertificate.h"

#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "platform/CryptError.h"

namespace qv {
namespace {

std::string RemoveNoCase(const std::string& text, const std::string& what) {
  std::string result;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.size() - i >= what.size() && SameText(std::string_view(text).substr(i, what.size()), what)) {
      i += what.size();
    } else {
      result += text[i++];
    }
  }
  return result;
}

}  // namespace

void CZUMECCertificate::Open(const std::string& text) {
  std::string rest =
      RemoveNoCase(RemoveNoCase(text, "-----BEGIN CERTIFICATE-----"), "-----END CERTIFICATE-----");
  rest = RemoveNoCase(rest, "\r\n");
  std::string bytes =
      CCryptoAPI20Utils::IsBase64(rest, kBase64WrapperSet) ? CCryptoAPI20Utils::DecodeBase64(rest) : text;
  CertContextPtr context = CCertContext::FromDer(bytes);
  if (!context) RaiseLastCryptError();
  if (!SetFromContext(context, true)) RaiseError("Error open certificate");
}

bool CZUMECCertificate::SetFromContext(const CertContextPtr& context, bool owns) {
  if (!context || !context->Cert()) return false;
  auto parsed = std::make_unique<CZUMECCertificateContext>();
  X509* x = context->Cert();
  const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
  if (!serial) return false;
  parsed->serialNumber.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(serial)),
                              static_cast<std::size_t>(ASN1_STRING_length(serial)));
  parsed->subject = NameToX500Text(X509_get_subject_name(x));
  parsed->issuer = NameToX500Text(X509_get_issuer_name(x));
  ASN1_OBJECT* algorithm = nullptr;
  X509_PUBKEY* key = X509_get_X509_PUBKEY(x);
  if (!key || !X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, key)) return false;
  parsed->publicKeyAlgorithm = OidText(algorithm);
  const X509_ALGOR* signature = nullptr;
  X509_get0_signature(nullptr, &signature, x);
  if (signature) {
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, signature);
    parsed->signatureAlgorithm = OidText(object);
  }
  if (context->KeyProv()) parsed->containerName = context->KeyProv()->containerName;
  context_ = context;
  parsed_ = std::move(parsed);
  ownsContext_ = owns;
  valid_ = true;
  return true;
}

std::string CZUMECCertificate::GetSha1() const {
  if (!context_) {
    SetLastCryptError(kCryptENotFound);
    RaiseLastCryptError();
  }
  return context_->Sha1Text();
}

std::string CZUMECCertificate::GetContainerName() const {
  if (!context_ || !context_->KeyProv()) return {};
  return context_->KeyProv()->containerName;
}

}  // namespace qv
