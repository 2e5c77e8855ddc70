#include "crypto/CertRules.h"

#include <ctime>

#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"

namespace qv {

using U = CCryptoAPI20Utils;

namespace {

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
  STACK_OF(X509_REVOKED)* entries = X509_CRL_get_REVOKED(list);
  for (int i = 0; i < sk_X509_REVOKED_num(entries); ++i) {
    RequireCrlTime(X509_REVOKED_get0_revocationDate(sk_X509_REVOKED_value(entries, i)), issuer,
                   "revocationDate");
  }
}

}  // namespace qv
