#include "package/VorlentKey.h"

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Format.h"
#include "platform/CryptError.h"

namespace qv {

namespace {

// An empty value is stored all the same; the trace says which field stayed empty.
void TraceIfEmpty(const std::string& value, const char* displayName) {
  if (!value.empty()) return;
  Trace(
      "[%0:s не определен (пусто), возможно не установлен СКЗИ либо не удалось выделить из подписи. Некритично.]"_cp,
      {Utf8ToCp1251(displayName)});
}

std::string NameAttribute(const X509_NAME* name, const char* oid) {
  std::optional<std::string> value = FindNameAttribute(name, oid);
  return value ? *value : std::string();
}

}  // namespace

void RaisePackageCryptoUnavailable() {
  RaiseError("Операция недоступна: криптографические операции пакета ещё не подключены"_cp);
}

CVorlentKey::~CVorlentKey() = default;

void CVorlentKey::SetSha1(const std::string& value) {
  TraceIfEmpty(value, "Отпечаток подписи");
  sha1_ = value;
}

void CVorlentKey::SetSubjectCN(const std::string& value) {
  TraceIfEmpty(value, "CN субъекта сертификата");
  subjectCN_ = value;
}

void CVorlentKey::SetCertificateBody(const std::string& value) {
  TraceIfEmpty(value, "тело сертификата");
  certificateBody_ = value;
}

void CVorlentKey::SetSubject(const std::string& value) {
  TraceIfEmpty(value, "Субъект сертификата");
  subject_ = value;
}

void CVorlentKey::SetIssuer(const std::string& value) {
  TraceIfEmpty(value, "Изготовитель сертификата");
  issuer_ = value;
}

void CVorlentKey::SetCertificate(CertContextPtr certificate, bool owns) {
  certificate_ = std::move(certificate);
  ownsCertificate_ = certificate_ && owns;
}

void CVorlentKey::FillFromSignerCertificate(const CCertContext& certificate, std::uint8_t role) {
  Funnel([&] {
    X509* cert = certificate.Cert();
    if (!cert) RaiseError("Сертификат не загружен"_cp);
    const X509_NAME* subject = X509_get_subject_name(cert);
    SetSha1(certificate.Sha1Text());
    SetSubjectCN(NameAttribute(subject, "2.5.4.3"));
    SetSubjectSN(NameAttribute(subject, "2.5.4.4"));
    SetSubjectG(NameAttribute(subject, "2.5.4.42"));
    SetSubject(NameToX500Text(subject));
    SetIssuer(NameToX500Text(X509_get_issuer_name(cert)));
    SetCertificateBody(certificate.Encoded());
    SetContainerName({});
    SetSignRole(role);
  });
}

void CVorlentKey::FillFromCertificate(const CertContextPtr& certificate) {
  Funnel([&] {
    if (!certificate) RaiseError("Сертификат не загружен"_cp);
    std::uint8_t role = signRole_;
    FillFromSignerCertificate(*certificate, role);
    const std::optional<KeyProvInfo>& info = certificate->KeyProv();
    SetContainerName(info ? info->containerName : std::string());
    SetCertificate(certificate, true);
  });
}

void CVorlentKey::Init() {
  Funnel([&] {
    if (container_) return;
    std::uint32_t flags = flagCurrentUserStorage_ ? 0u : kCryptMachineKeyset;
    ProviderContextPtr context = AcquireProviderContext(containerName_, {}, kProvGost, flags);
    if (!context) {
      RegisterCryptErrorTexts();
      std::int32_t code = GetLastCryptError();
      // The system error form of the original platform's runtime: code in decimal, then the text.
      RaiseOSError(code, FormatText("System Error.  Code: %d.\r\n%s", {code, LastErrorMessage()}));
    }
    container_ = std::move(context);
  });
}

}  // namespace qv
