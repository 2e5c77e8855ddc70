#include "validation/PathRules.h"

#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"

namespace qv {
namespace {

using U = CCryptoAPI20Utils;

bool HasKeyUsage(X509* cert) {
  return (X509_get_extension_flags(cert) & EXFLAG_KUSAGE) != 0;
}

}  // namespace

bool IsSelfIssued(const CertContextPtr& certificate) {
  X509* cert = certificate->Cert();
  return X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)) == 0;
}

void CheckIssuerRules(const CertContextPtr& certificate, const CertContextPtr& issuer, bool trustedRoot,
                      int intermediatesBelow) {
  X509* cert = issuer->Cert();
  std::string name = U::GetSubjectCN(issuer);
  std::string subject = U::GetSubjectCN(certificate);
  if (X509_get_version(cert) != X509_VERSION_3) {
    // Older certificates carry no constraints: only a trusted root may issue with one.
    if (trustedRoot) return;
    RaiseErrorFmt(
        "Сертификат [%s] версии %s не может быть издателем сертификата [%s]: он не установлен как "
        "доверенный корневой"_cp,
        {name, std::to_string(X509_get_version(cert) + 1), subject});
  }
  std::uint32_t flags = X509_get_extension_flags(cert);
  if (!(flags & EXFLAG_BCONS) || !(flags & EXFLAG_CA)) {
    RaiseErrorFmt(
        "Сертификат [%s] не является сертификатом УЦ (нет basicConstraints CA:TRUE) и не может быть "
        "издателем сертификата [%s]"_cp,
        {name, subject});
  }
  if (HasKeyUsage(cert) && !(X509_get_key_usage(cert) & KU_KEY_CERT_SIGN)) {
    RaiseErrorFmt(
        "Сертификат УЦ [%s] не может быть издателем сертификата [%s]: в расширении keyUsage нет keyCertSign"_cp,
        {name, subject});
  }
  long pathLength = X509_get_pathlen(cert);
  if (pathLength >= 0 && intermediatesBelow > pathLength) {
    RaiseErrorFmt(
        "Нарушено ограничение длины пути сертификата УЦ [%s]: pathLenConstraint %s, а ниже него "
        "промежуточных УЦ: %s"_cp,
        {name, std::to_string(pathLength), std::to_string(intermediatesBelow)});
  }
}

void CheckCrlIssuerRules(const CertContextPtr& issuer) {
  X509* cert = issuer->Cert();
  if (HasKeyUsage(cert) && !(X509_get_key_usage(cert) & KU_CRL_SIGN)) {
    RaiseErrorFmt(
        "Сертификат УЦ [%s] не может подписывать списки отозванных сертификатов: в расширении keyUsage "
        "нет cRLSign"_cp,
        {U::GetSubjectCN(issuer)});
  }
}

}  // namespace qv
