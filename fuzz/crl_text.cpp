// A revocation list from another party, given as PEM, Base64 or DER text: any bytes give a
// list or a library error. A list that parses reads back from its own bytes, and the lookup
// of a certificate in it answers with a date of one of its entries or none.
#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "crypto/CryptObjects.h"
#include "crypto/CryptoUtils.h"
#include "foundation/Errors.h"
#include "platform/CertServices.h"

namespace {

using qv::CCryptoAPI20Utils;
using qv::CrlContextPtr;

// The GOST R 34.10-2012 certificate "CN=Example", serial 0A, of the RFC 4491bis examples;
// the seed lists revoke it.
const char kCertificate[] =
    "MIIBJTCB06ADAgECAgEKMAoGCCqFAwcBAQMCMBIxEDAOBgNVBAMTB0V4YW1wbGUw"
    "IBcNMDEwMTAxMDAwMDAwWhgPMjA1MDEyMzEwMDAwMDBaMBIxEDAOBgNVBAMTB0V4"
    "YW1wbGUwXjAXBggqhQMHAQEBATALBgkqhQMHAQIBAQEDQwAEQHQnldS+6ITd8oUP"
    "7APqP68YROAdnaYLZFCTpV4m38OZePWWz01NDGzx0YlD2UST0WuewKFtUS0uEnzE"
    "aRpjGOKjEzARMA8GA1UdEwEB/wQFMAMBAf8wCgYIKoUDBwEBAwIDQQAUC02pEksJ"
    "yw1c6Sjuh0JzoxASlJLsDik2njt5EkhXjB0OHaW+NHxvG1JWx66sIArWSsd6b1s6"
    "DglzGOeubudp";

qv::CCryptCertificate& Certificate() {
  static auto certificate =
      qv::CCryptCertificate::Create(CCryptoAPI20Utils::CertificateFromText(kCertificate));
  return *certificate;
}

void CheckCrl(const CrlContextPtr& crl) {
  QV_FUZZ_REQUIRE(crl && crl->Crl());
  const std::string& der = crl->Encoded();
  QV_FUZZ_REQUIRE(!der.empty());
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), digest);
  QV_FUZZ_REQUIRE(crl->Sha1Hash() == std::string(reinterpret_cast<const char*>(digest), sizeof digest));
  CrlContextPtr again = CCryptoAPI20Utils::CrlFromBytes(der);
  QV_FUZZ_REQUIRE(again->Encoded() == der);

  const X509_NAME* issuer = X509_CRL_get_issuer(crl->Crl());
  QV_FUZZ_REQUIRE(qv::NameToX500Text(issuer).empty() == (X509_NAME_entry_count(issuer) == 0));
  (void)qv::Asn1TimeToDateTime(X509_CRL_get0_lastUpdate(crl->Crl()));
  (void)qv::Asn1TimeToDateTime(X509_CRL_get0_nextUpdate(crl->Crl()));

  // The revocation date found for a certificate is the date of one of the entries.
  double found = 0;
  const bool listed = qv::FindCertificateInCrl(*Certificate().Context(), *crl, found);
  bool matches = !listed;
  QV_FUZZ_REQUIRE(crl->ForEachEntry([&](const X509_REVOKED* entry) {
    QV_FUZZ_REQUIRE(X509_REVOKED_get0_serialNumber(entry));
    if (qv::Asn1TimeToDateTime(X509_REVOKED_get0_revocationDate(entry)) == found) matches = true;
    return true;
  }));
  QV_FUZZ_REQUIRE(matches);

  auto object = qv::CCryptCrl::Create(crl);
  QV_FUZZ_REQUIRE(object->GetRevocationDate(Certificate()) == found);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qvfuzz::ThreadStateRelease release;
  const std::string text(reinterpret_cast<const char*>(data), size);

  CrlContextPtr crl;
  try {
    crl = CCryptoAPI20Utils::CrlFromBytes(CCryptoAPI20Utils::NormalizeCrlText(text));
  } catch (const qv::CVorlentException&) {
  }
  if (crl) CheckCrl(crl);

  // The object view reads the same text forms to the same list.
  qv::CCryptCrl object;
  try {
    object.Load(text);
  } catch (const qv::CVorlentException&) {
  }
  QV_FUZZ_REQUIRE(object.HasHandle() == (crl != nullptr));
  if (object.HasHandle()) {
    QV_FUZZ_REQUIRE(object.Context()->Sha1Hash() == crl->Sha1Hash());
    CheckCrl(object.Context());
  }
  return 0;
}
