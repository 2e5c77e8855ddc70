#include "validation/CertChecker.h"

#include <algorithm>
#include <new>
#include <vector>

#include "crypto/CertRules.h"
#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Format.h"
#include "validation/ChainDownloads.h"
#include "validation/PathRules.h"

namespace qv {

namespace {

constexpr const char* kRequiredPolicy = "1.2.643.100.113.1";

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

void RequireField(const std::string& value, const char* name) {
  if (value.empty()) RaiseErrorFmt("В сертификате отсутствует поле %s"_cp, {name});
}

// The issuer of `certificate` whose key verifies it, from the trusted store (when loaded) and
// the "CA" and "ROOT" stores of both locations, in that order; null when none is known.
CCryptCertificate* FindTrustedIssuer(CCryptFileStore& trusted, const CCryptCertificate& certificate,
                                     CCryptCollection& found) {
  bool selfSigned = false;
  if (trusted.HasHandle()) {
    if (CCryptCertificate* issuer = trusted.FindIssuer(certificate, found, selfSigned, true)) return issuer;
  }
  for (int location : {kLocationCurrentUser, kLocationLocalMachine}) {
    for (int name : {kStoreCA, kStoreRoot}) {
      CCryptSystemStore store;
      try {
        store.Open(location, name);
      } catch (const CVorlentException& error) {
        // A location this process may not read or create is no source of issuers.
        Trace("CCertChecker: хранилище %d/%d недоступно: %s"_cp, {location, name, error.Message()});
        continue;
      }
      if (CCryptCertificate* issuer = store.FindIssuer(certificate, found, selfSigned, true)) return issuer;
    }
  }
  return nullptr;
}

// Raises unless the list comes from the certificate's issuer and `issuer`'s key verifies it.
void VerifyCrl(const CCryptCrl& crl, const CCryptCertificate& certificate, const CCryptCertificate* issuer) {
  if (!issuer) {
    RaiseError(
        "Не найден сертификат издателя для проверки подписи CRL (ни среди доверенных сертификатов, "
        "ни в хранилищах CA и ROOT)"_cp);
  }
  X509_CRL* list = crl.Context()->Crl();
  if (X509_NAME_cmp(X509_CRL_get_issuer(list), X509_get_issuer_name(certificate.Context()->Cert())) != 0) {
    RaiseError("CRL выпущен не издателем сертификата"_cp);
  }
  CheckIssuerRules(certificate.Context(), issuer->Context(), true, 0);
  CheckCrlIssuerRules(issuer->Context());
  CheckCrlTimes(crl.Context(), issuer->Context());
  CheckCrlAlgorithms(crl.Context(), issuer->Context());
  EVP_PKEY* key = X509_get0_pubkey(issuer->Context()->Cert());
  bool verified = crl.Context()->VerifiedBy(key);
  std::string detail = TakeOpenSslErrors();
  if (!verified) {
    Trace("CCertChecker: подпись CRL: %s"_cp, {detail});
    RaiseError("Подпись CRL не подтверждена ключом издателя сертификата"_cp);
  }
}

}  // namespace

CCertChecker::CCertChecker() : issuers_(CCryptCollection::Of<CCryptCertificate>()) {}

CCertChecker::~CCertChecker() = default;

void CCertChecker::Init(const std::string& p7bFileName) {
  trustedStore_.Load(p7bFileName);
}

void CCertChecker::CheckFormal(CCryptCertificate& certificate) {
  CheckCertificateTimes(certificate.Context());
  // Both bounds and the moment in universal time.
  double now = NowUtcDateTime();
  if (now < certificate.GetNotBefore() || now > certificate.GetNotAfter()) {
    RaiseError("Срок действия сертификата уже истёк или ещё не наступил"_cp);
  }
  CCryptNameInfo& name = certificate.GetNameInfo();
  RequireField(name.CN, "CN");
  RequireField(name.SN, "SN");
  RequireField(name.G, "G");
  RequireField(name.INN, "INN");
  RequireField(name.SNILS, "SNILS");
  CStrArray& policies = certificate.GetExtensions().GetPolicies();
  for (int i = 0; i < policies.Count(); ++i) {
    if (EqualNoCase(policies.Key(i), kRequiredPolicy)) return;
  }
  RaiseError("В сертификате отсутствует класс средства ЭП (политика 1.2.643.100.113.1)"_cp);
}

bool CCertChecker::CheckIssuer(CCryptCertificate& certificate) {
  if (!IsInitialized()) {
    RaiseError("Не загружены доверенные сертификаты: проверка издателя возможна только после Init"_cp);
  }
  bool selfSigned = false;
  CCryptCertificate* issuer = trustedStore_.FindIssuer(certificate, *issuers_, selfSigned, true);
  // Every certificate of the trusted file is a trust anchor, but only an authority issues.
  if (issuer) CheckIssuerRules(certificate.Context(), issuer->Context(), true, 0);
  return issuer != nullptr;
}

bool CCertChecker::CheckCrl(CCryptCertificate& certificate) {
  CStrArray& urls = certificate.GetExtensions().GetCrlDistributionPoints();
  if (urls.Count() == 0) RaiseError("Не указана точка распространения CRL"_cp);

  // One check is one run: its downloads are bounded like a chain's.
  CChainDownloads downloads;
  const int tried = std::min(urls.Count(), downloads.Limits().MaxCrlUrls);
  std::unique_ptr<CCryptCollection> found = CCryptCollection::Of<CCryptCertificate>();
  const CCryptCertificate* issuer = nullptr;
  bool issuerSought = false;
  std::vector<std::string> errors;
  for (int i = 0; i < tried; ++i) {
    const std::string url = urls.Key(i);
    std::string failure;
    try {
      CCryptCrl crl;
      crl.Load(downloads.Download(url, downloads.Limits().MaxCrl, "Список отозванных сертификатов"_cp));
      if (!issuerSought) {
        issuer = FindTrustedIssuer(trustedStore_, certificate, *found);
        issuerSought = true;
      }
      VerifyCrl(crl, certificate, issuer);
      return crl.GetRevocationDate(certificate) <= 0;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const CVorlentException& error) {
      failure = error.Message();
    } catch (const std::exception& error) {
      failure = error.what();
    }
    errors.push_back(FormatText("Не удалось проверить CRL по URL [%s]: [%s]"_cp, {url, failure}));
  }
  std::string message;
  for (const std::string& error : errors) {
    if (!message.empty()) message += "\r\n";
    message += error;
  }
  RaiseError(message);
}

}  // namespace qv
