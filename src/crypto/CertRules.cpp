#include "crypto/CertRules.h"

#include <ctime>
#include <initializer_list>

#include "crypto/CryptoSignature.h"
#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"

namespace qv {

using U = CCryptoAPI20Utils;

namespace {

std::string ObjectName(const ASN1_OBJECT* object) {
  if (!object) return "?";
  char text[128] = {};
  OBJ_obj2txt(text, sizeof text, object, 0);
  return text;
}

// UTCTime covers the years up to this one; later times are GeneralizedTime.
constexpr int kLastUtcTimeYear = 2049;

std::string TimeRuleText() {
  return "записана не по правилам DER (UTCTime ГГММДДччммссZ до 2049 года, GeneralizedTime "
         "ГГГГММДДччммссZ с 2050 года)"_cp;
}

void RequireCertificateTime(const ASN1_TIME* time, const CertContextPtr& certificate, const char* field) {
  if (IsDerTime(time)) return;
  RaiseErrorFmt("Сертификат [%s]: дата %s %s"_cp, {U::GetSubjectCN(certificate), field, TimeRuleText()});
}

void RequireCrlTime(const ASN1_TIME* time, const CertContextPtr& issuer, const char* field) {
  if (IsDerTime(time)) return;
  RaiseErrorFmt("Список отозванных сертификатов УЦ [%s]: дата %s %s"_cp,
                {U::GetSubjectCN(issuer), field, TimeRuleText()});
}

}  // namespace

bool IsDerTime(const ASN1_TIME* time) {
  if (!time) return false;
  int type = ASN1_STRING_type(time);
  int digits = type == V_ASN1_UTCTIME ? 12 : type == V_ASN1_GENERALIZEDTIME ? 14 : 0;
  const unsigned char* data = ASN1_STRING_get0_data(time);
  if (digits == 0 || ASN1_STRING_length(time) != digits + 1 || data[digits] != 'Z') return false;
  for (int i = 0; i < digits; ++i) {
    if (data[i] < '0' || data[i] > '9') return false;
  }
  struct tm parts {};
  if (ASN1_TIME_to_tm(time, &parts) != 1) {
    ERR_clear_error();
    return false;
  }
  int year = parts.tm_year + 1900;
  if (type == V_ASN1_GENERALIZEDTIME && year <= kLastUtcTimeYear) return false;
  // A date the calendar lacks (29 February of a common year, 31 April) comes back changed.
  struct tm check = parts;
  std::time_t seconds = timegm(&check);
  struct tm back {};
  return gmtime_r(&seconds, &back) && back.tm_year == parts.tm_year && back.tm_mon == parts.tm_mon &&
         back.tm_mday == parts.tm_mday && back.tm_hour == parts.tm_hour && back.tm_min == parts.tm_min &&
         back.tm_sec == parts.tm_sec;
}

void CheckCertificateTimes(const CertContextPtr& certificate) {
  RequireCertificateTime(X509_get0_notBefore(certificate->Cert()), certificate, "notBefore");
  RequireCertificateTime(X509_get0_notAfter(certificate->Cert()), certificate, "notAfter");
}

void CheckCrlTimes(const CrlContextPtr& crl, const CertContextPtr& issuer) {
  X509_CRL* list = crl->Crl();
  RequireCrlTime(X509_CRL_get0_lastUpdate(list), issuer, "thisUpdate");
  if (const ASN1_TIME* next = X509_CRL_get0_nextUpdate(list)) RequireCrlTime(next, issuer, "nextUpdate");
  crl->ForEachEntry([&](const X509_REVOKED* entry) {
    RequireCrlTime(X509_REVOKED_get0_revocationDate(entry), issuer, "revocationDate");
    return true;
  });
}

namespace {

// The shortest RSA key the library trusts anywhere in a chain.
constexpr int kMinRsaBits = 2048;

std::string NidName(int nid) {
  const char* name = OBJ_nid2ln(nid);
  return name ? name : std::to_string(nid);
}

bool IsWeakDigest(int nid) {
  for (int weak : {NID_md2, NID_md4, NID_md5, NID_md5_sha1, NID_sha1}) {
    if (nid == weak) return true;
  }
  return false;
}

// The digest of a signature algorithm, NID_undef when OpenSSL does not know the pair.
int DigestOfSignature(int signatureNid) {
  int digest = NID_undef;
  int key = NID_undef;
  if (OBJ_find_sigid_algs(signatureNid, &digest, &key) != 1) return NID_undef;
  return digest;
}

}  // namespace

void CheckCertificateAlgorithms(const CertContextPtr& certificate) {
  int digest = DigestOfSignature(X509_get_signature_nid(certificate->Cert()));
  if (IsWeakDigest(digest)) {
    RaiseErrorFmt("Сертификат [%s] подписан с недопустимо слабым хэшем [%s]"_cp,
                  {U::GetSubjectCN(certificate), NidName(digest)});
  }
  EVP_PKEY* key = X509_get0_pubkey(certificate->Cert());
  ERR_clear_error();
  if (!key) return;
  int type = EVP_PKEY_get_base_id(key);
  int bits = EVP_PKEY_get_bits(key);
  if ((type == EVP_PKEY_RSA || type == EVP_PKEY_RSA_PSS) && bits < kMinRsaBits) {
    RaiseErrorFmt(
        "Сертификат [%s] содержит ключ RSA длиной %s бит: допускаются ключи RSA не короче %s бит"_cp,
        {U::GetSubjectCN(certificate), std::to_string(bits), std::to_string(kMinRsaBits)});
  }
}

void CheckCrlAlgorithms(const CrlContextPtr& crl, const CertContextPtr& issuer) {
  int digest = DigestOfSignature(X509_CRL_get_signature_nid(crl->Crl()));
  if (IsWeakDigest(digest)) {
    RaiseErrorFmt("Список отозванных сертификатов УЦ [%s] подписан с недопустимо слабым хэшем [%s]"_cp,
                  {U::GetSubjectCN(issuer), NidName(digest)});
  }
}

void CheckSignerAlgorithms(const CertContextPtr& signer, const std::string& digestOid,
                           const std::string& signatureOid) {
  ASN1_OBJECT* keyObject = nullptr;
  X509_PUBKEY_get0_param(&keyObject, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(signer->Cert()));
  std::string keyOid = OidText(keyObject);
  bool accepted = false;
  for (const char* gost : {"1.2.643.2.2.19", "1.2.643.7.1.1.1.1", "1.2.643.7.1.1.1.2"}) {
    if (keyOid != gost || digestOid != HashOidForKey(keyOid)) continue;
    // The signature algorithm is named by the key's own OID or by the one of the key and hash.
    int combined = NID_undef;
    OBJ_find_sigid_by_algs(&combined, OBJ_txt2nid(digestOid.c_str()), OBJ_txt2nid(keyOid.c_str()));
    accepted =
        signatureOid == keyOid || (combined != NID_undef && signatureOid == OidText(OBJ_nid2obj(combined)));
  }
  if (accepted) return;
  Asn1ObjectPtr digest(OBJ_txt2obj(digestOid.c_str(), 1));
  Asn1ObjectPtr signature(OBJ_txt2obj(signatureOid.c_str(), 1));
  RaiseErrorFmt(
      "Недопустимый алгоритм подписи [%s, хэш %s] сертификата [%s]: принимаются только подписи "
      "ГОСТ Р 34.10-2001 и ГОСТ Р 34.10-2012 с хэшем своего ключа"_cp,
      {signatureOid == keyOid ? ObjectName(keyObject) : ObjectName(signature.get()), ObjectName(digest.get()),
       U::GetSubjectCN(signer)});
}

void CheckSignerKeyUsage(const CertContextPtr& signer) {
  X509* cert = signer->Cert();
  std::uint32_t flags = X509_get_extension_flags(cert);
  if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(cert) & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION))) {
    RaiseErrorFmt(
        "Сертификат [%s] не предназначен для подписи: в расширении keyUsage нет digitalSignature и "
        "nonRepudiation"_cp,
        {U::GetSubjectCN(signer)});
  }
  int critical = 0;
  using EkuPtr = std::unique_ptr<EXTENDED_KEY_USAGE, void (*)(EXTENDED_KEY_USAGE*)>;
  EkuPtr usages(
      static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, &critical, nullptr)),
      EXTENDED_KEY_USAGE_free);
  ERR_clear_error();
  if (!usages || critical != 1) return;
  std::string names;
  for (int i = 0; i < sk_ASN1_OBJECT_num(usages.get()); ++i) {
    const ASN1_OBJECT* usage = sk_ASN1_OBJECT_value(usages.get(), i);
    bool other = false;
    for (int nid : {NID_server_auth, NID_client_auth, NID_code_sign, NID_time_stamp, NID_OCSP_sign}) {
      other = other || OBJ_obj2nid(usage) == nid;
    }
    // Any purpose beyond those (document signing, e-mail, the purposes of registration bodies,
    // anyExtendedKeyUsage) lets the key sign documents.
    if (!other) return;
    names += (names.empty() ? "" : ", ") + ObjectName(usage);
  }
  RaiseErrorFmt(
      "Сертификат [%s] не предназначен для подписи документов: критическое расширение extendedKeyUsage "
      "допускает только [%s]"_cp,
      {U::GetSubjectCN(signer), names});
}

}  // namespace qv
