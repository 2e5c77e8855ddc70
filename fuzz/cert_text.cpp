// A certificate from another party, given as PEM, Base64 or DER text, or as a PKCS #7
// bundle: any bytes give certificates or a library error. Whatever parses must answer every
// query of the certificate model, and its thumbprint, encoding and names must hold together.
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "crypto/CryptObjects.h"
#include "crypto/CryptoUtils.h"
#include "crypto/ZumecCertificate.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"
#include "platform/CertServices.h"

namespace {

using qv::CCryptoAPI20Utils;
using qv::CertContextPtr;

std::string Pem(const std::string& der) {
  std::string base64(4 * ((der.size() + 2) / 3) + 1, '\0');
  int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&base64[0]),
                      reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size()));
  base64.resize(static_cast<std::size_t>(length));
  std::string text = "-----BEGIN CERTIFICATE-----\r\n";
  for (std::size_t at = 0; at < base64.size(); at += 64) text += base64.substr(at, 64) + "\r\n";
  return text + "-----END CERTIFICATE-----\r\n";
}

// A query may refuse a damaged extension with a library error, nothing else.
template <class F>
void Query(F&& query) {
  try {
    query();
  } catch (const qv::CVorlentException&) {
  }
}

void CheckCertificate(const CertContextPtr& cert) {
  QV_FUZZ_REQUIRE(cert && cert->Cert());
  const std::string& der = cert->Encoded();
  QV_FUZZ_REQUIRE(!der.empty());

  // The thumbprint is the SHA-1 of exactly the certificate's bytes, as 40 upper-case hex digits.
  const std::string thumbprint = cert->Sha1Text();
  QV_FUZZ_REQUIRE(thumbprint.size() == 40 && qvfuzz::IsUpperHex(thumbprint));
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), digest);
  QV_FUZZ_REQUIRE(cert->Sha1Hash() == std::string(reinterpret_cast<const char*>(digest), sizeof digest));
  QV_FUZZ_REQUIRE(CCryptoAPI20Utils::GetCertSha1(cert) == thumbprint);
  QV_FUZZ_REQUIRE(CCryptoAPI20Utils::GetCertificateBody(cert) == der);

  // The certificate's own bytes read again, in every text form, give the same certificate.
  CertContextPtr again = qv::CCertContext::FromDer(der);
  QV_FUZZ_REQUIRE(again && again->Encoded() == der);
  QV_FUZZ_REQUIRE(CCryptoAPI20Utils::CertificateFromText(Pem(der))->Sha1Text() == thumbprint);

  // Names and their rendering.
  const std::string subject = qv::NameToX500Text(X509_get_subject_name(cert->Cert()));
  const std::string issuer = qv::NameToX500Text(X509_get_issuer_name(cert->Cert()));
  QV_FUZZ_REQUIRE(subject.empty() == (X509_NAME_entry_count(X509_get_subject_name(cert->Cert())) == 0));
  QV_FUZZ_REQUIRE(issuer.empty() == (X509_NAME_entry_count(X509_get_issuer_name(cert->Cert())) == 0));
  QV_FUZZ_REQUIRE(!CCryptoAPI20Utils::GetSubjectCN(cert).empty());  // "na" when there is none
  QV_FUZZ_REQUIRE(!CCryptoAPI20Utils::GetIssuerCN(cert).empty());
  const std::string serial = CCryptoAPI20Utils::GetSerialText(cert);
  QV_FUZZ_REQUIRE(qvfuzz::IsUpperHex(serial));
  const int store = CCryptoAPI20Utils::ClassifyCertificate(cert);
  QV_FUZZ_REQUIRE(store == qv::kStoreCA || store == qv::kStoreRoot || store == qv::kStoreAddressBook);

  // Extension queries: URLs only with their schemes.
  Query([&] {
    const std::string urls = CCryptoAPI20Utils::GetCrlUrls(cert);
    QV_FUZZ_REQUIRE(urls.empty() || CCryptoAPI20Utils::IsUrl(urls));
  });
  Query([&] {
    const std::string url = CCryptoAPI20Utils::GetCaIssuerUrl(cert);  // empty: no such extension
    QV_FUZZ_REQUIRE(url.empty() || CCryptoAPI20Utils::IsUrl(url));
  });

  // The object view.
  auto view = qv::CCryptCertificate::Create(cert);
  QV_FUZZ_REQUIRE(view->GetSha1() == thumbprint);
  QV_FUZZ_REQUIRE(view->GetSubject() == subject);
  QV_FUZZ_REQUIRE(view->GetIssuer() == issuer);
  QV_FUZZ_REQUIRE(view->GetBody() == der);
  qv::CCryptNameInfo& name = view->GetNameInfo();
  QV_FUZZ_REQUIRE(name.Text.empty() == subject.empty());
  QV_FUZZ_REQUIRE(qvfuzz::IsDottedOidOrEmpty(view->GetPublicKey().AlgorithmOid));
  (void)view->GetNotBefore();
  (void)view->GetNotAfter();
  Query([&] { (void)view->GetExtensions().GetCrlDistributionPoints().Count(); });
  Query([&] {
    qv::CStrArray& policies = view->GetExtensions().GetPolicies();
    for (int i = 0; i < policies.Count(); ++i) QV_FUZZ_REQUIRE(qvfuzz::IsDottedOidOrEmpty(policies.Key(i)));
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qvfuzz::ThreadStateRelease release;
  const std::string text(reinterpret_cast<const char*>(data), size);

  CertContextPtr cert;
  try {
    cert = CCryptoAPI20Utils::CertificateFromText(text);
  } catch (const qv::CVorlentException&) {
  }
  if (cert) CheckCertificate(cert);

  // The wrapper of the encryption and verification paths reads the text its own way.
  qv::CZUMECCertificate wrapper;
  try {
    wrapper.Open(text);
  } catch (const qv::CVorlentException&) {
    QV_FUZZ_REQUIRE(!wrapper.IsValid());
  }
  if (wrapper.IsValid()) {
    QV_FUZZ_REQUIRE(wrapper.Parsed() && wrapper.GetContext());
    QV_FUZZ_REQUIRE(wrapper.GetSha1() == wrapper.GetContext()->Sha1Text());
    QV_FUZZ_REQUIRE(qvfuzz::IsDottedOidOrEmpty(wrapper.Parsed()->publicKeyAlgorithm));
    QV_FUZZ_REQUIRE(qvfuzz::IsDottedOidOrEmpty(wrapper.Parsed()->signatureAlgorithm));
    QV_FUZZ_REQUIRE(wrapper.Parsed()->subject ==
                    qv::NameToX500Text(X509_get_subject_name(wrapper.GetContext()->Cert())));
    CheckCertificate(wrapper.GetContext());
  }

  // A bundle: a PKCS #7 message, DER or PEM.
  if (qv::CertStorePtr bundle = qv::OpenPkcs7Store(text)) {
    for (const CertContextPtr& cert : bundle->Certificates()) CheckCertificate(cert);
    for (const qv::CrlContextPtr& crl : bundle->Crls()) QV_FUZZ_REQUIRE(crl && crl->Sha1Hash().size() == 20);
  }
  return 0;
}
