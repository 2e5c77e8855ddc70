#include "validation/ChainBuilder.h"

#include <utility>
#include <vector>

#include "crypto/CertRules.h"
#include "crypto/CryptoSignature.h"
#include "crypto/CryptoUtils.h"
#include "crypto/DateText.h"
#include "foundation/CodePage.h"
#include "foundation/ValueCheck.h"
#include "net/HttpsClient.h"
#include "platform/CryptError.h"
#include "validation/PathRules.h"

namespace qv {
namespace {

using U = CCryptoAPI20Utils;

double LocalTime(const ASN1_TIME* time) {
  return time ? UtcToLocalDateTime(Asn1TimeToDateTime(time)) : 0.0;
}

std::string UrlSuffix(const std::string& url) {
  return url.empty() ? std::string() : FormatText(". URL для скачивания: [%s]"_cp, {url});
}

std::string CaIssuerUrl(const CertContextPtr& certificate) {
  try {
    return U::GetCaIssuerUrl(certificate);
  } catch (const CVorlentException&) {
    return {};
  }
}

std::string CrlUrls(const CertContextPtr& certificate) {
  try {
    return U::GetCrlUrls(certificate);
  } catch (const CVorlentException&) {
    return {};
  }
}

void CopyCertificates(const CCertStore& from, CCertStore& to, std::set<std::string>& installed) {
  for (const CertContextPtr& cert : from.Certificates()) {
    if (!to.AddCertificate(cert, kStoreAddReplaceExisting)) {
      Trace("%s", {U::LastErrorText()});
      continue;
    }
    installed.insert(cert->Sha1Hash());
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Configurations

void CCryptoAPI20ChainBuilderBaseConfig::Assign(const CCryptoAPI20ChainBuilderBaseConfig& other) {
  checkDate_ = other.checkDate_;
}

void CCryptoAPI20ChainBuilderBaseConfig::AssignAll(const CCryptoAPI20ChainBuilderBaseConfig& other) {
  initialCertificate_ = other.initialCertificate_;
  Provider = other.Provider;
  StoreLocation = other.StoreLocation;
  Assign(other);
}

void CCryptoAPI20ChainBuilderBaseConfig::SetInitialCertificate(const CertContextPtr& certificate) {
  CValueCheckTool::CheckNotNil(certificate.get(), "pInitialCertContext");
  initialCertificate_ = certificate;
}

void CCryptoAPI20ChainBuilderBaseConfig::SetCheckDate(double date) {
  if (date < 0) RaiseErrorFmt("Неверное значение аргумента [%s]"_cp, {ShortDateText(date)});
  checkDate_ = date == 0 ? NowLocalDateTime() : date;
}

void CCryptoAPI20ChainBuilderStrictConfig::Assign(const CCryptoAPI20ChainBuilderBaseConfig& other) {
  CCryptoAPI20ChainBuilderBaseConfig::Assign(other);
  if (auto* strict = dynamic_cast<const CCryptoAPI20ChainBuilderStrictConfig*>(&other)) {
    Margin = strict->Margin;
    Options = strict->Options;
  }
}

// ---------------------------------------------------------------------------------------
// Base builder

CCryptoAPI20ChainBuilderBase::~CCryptoAPI20ChainBuilderBase() {
  CCryptoAPI20ChainBuilderBase::Close();
}

bool CCryptoAPI20ChainBuilderBase::Open(const CDocConfig* config) {
  CValueCheckTool::CheckNotNil(config, "config");
  auto* source = dynamic_cast<const CCryptoAPI20ChainBuilderBaseConfig*>(config);
  CValueCheckTool::CheckNotNil(source, "config");
  if (IsOpen()) Close();
  std::unique_ptr<CCryptoAPI20ChainBuilderBaseConfig> own = CreateConfig();
  own->AssignAll(*source);
  config_ = std::move(own);
  SetConfig(config_.get());
  try {
    OpenStores();
  } catch (...) {
    config_.reset();
    SetConfig(nullptr);
    throw;
  }
  return true;
}

bool CCryptoAPI20ChainBuilderBase::Close() {
  if (config_) {
    CloseStores();
    config_.reset();
    SetConfig(nullptr);
  }
  return true;
}

std::unique_ptr<CCryptoAPI20ChainBuilderBaseConfig> CCryptoAPI20ChainBuilderBase::CreateConfig() {
  return std::make_unique<CCryptoAPI20ChainBuilderBaseConfig>();
}

void CCryptoAPI20ChainBuilderBase::RaiseChainError(std::int32_t code, const std::string& message) {
  RaiseCryptoAPI20Error(code, message);
}

void CCryptoAPI20ChainBuilderBase::OpenStores() {
  workStore_ = OpenMemoryStore();
  installed_.clear();
  int location = config_->StoreLocation;
  CertStorePtr ca = OpenSystemStore(location, "CA");
  if (!ca) RaiseLastCryptError();
  CopyCertificates(*ca, *workStore_, installed_);
  for (const CrlContextPtr& crl : ca->Crls()) workStore_->AddCrl(crl, kStoreAddReplaceExisting);
  CertStorePtr root = OpenSystemStore(location, "ROOT");
  if (!root) RaiseLastCryptError();
  CopyCertificates(*root, *workStore_, installed_);
  for (const CertContextPtr& cert : root->Certificates()) roots_.insert(cert->Sha1Hash());
}

void CCryptoAPI20ChainBuilderBase::CloseStores() {
  workStore_.reset();
  installed_.clear();
  roots_.clear();
}

void CCryptoAPI20ChainBuilderBase::CheckCertificate(const CertContextPtr& certificate, double date) {
  if (!IsOpen()) RaiseError("Документ не открыт"_cp);
  top_.reset();
  if (certificate) config_->SetInitialCertificate(certificate);
  config_->SetCheckDate(date);
  CValueCheckTool::CheckNotNil(config_->InitialCertificate().get(), "pInitialCertContext");
  Walk();
}

void CCryptoAPI20ChainBuilderBase::Enforce(const std::function<void()>& rule) {
  try {
    rule();
  } catch (const CCryptoAPI20Exception&) {
    throw;
  } catch (const CVorlentException& e) {
    RaiseChainError(kChainGeneral, e.Message());
  }
}

void CCryptoAPI20ChainBuilderBase::Walk() {
  // The whole path is found first and only then are its links checked against their
  // revocation lists, from the bottom up. A path that breaks, or ends in a certificate installed
  // neither in "ROOT" nor in "CA", fails with its own message before any revocation list is
  // fetched or read: an untrusted signature may name whatever lists it likes, of any size.
  std::vector<std::pair<CertContextPtr, CertContextPtr>> links;
  CertContextPtr top = FindPath(links);
  if (installed_.count(top->Sha1Hash()) == 0) {
    RaiseChainError(kChainGeneral,
                    FormatText("Корневой сертификат [%s] не является доверенным"_cp, {U::GetSubjectCN(top)}));
  }
  for (const auto& [certificate, issuer] : links) OnIssuerFound(certificate, issuer);
  top_ = top;
}

CertContextPtr CCryptoAPI20ChainBuilderBase::FindPath(
    std::vector<std::pair<CertContextPtr, CertContextPtr>>& links) {
  double date = config_->CheckDate();
  std::vector<CertContextPtr> used;
  CertContextPtr current = config_->InitialCertificate();
  // The authority certificates that are not self-issued between the start and the next issuer.
  int intermediates = 0;
  for (;;) {
    Enforce([&] {
      CheckCertificateTimes(current);
      CheckCertificateAlgorithms(current);
    });
    std::string url = CaIssuerUrl(current);
    OnCertificate(current);

    CertContextPtr issuer;
    const CCertContext* previous = nullptr;
    std::int32_t report = kErrorSuccess;
    for (;;) {
      std::uint32_t flags = 1;  // check the signature
      CertContextPtr candidate = GetIssuerFromStore(*workStore_, *current, previous, flags);
      if (!candidate) {
        report = GetLastCryptError();
        break;
      }
      previous = candidate.get();
      bool usedBefore = false;
      for (const CertContextPtr& u : used) usedBefore = usedBefore || u.get() == candidate.get();
      if (usedBefore) continue;
      // A candidate whose key does not verify the certificate is not its issuer, whatever its name.
      if (flags & 1) {
        Trace("Сертификат [%s] не подписан ключом сертификата с тем же именем [%s]"_cp,
              {U::GetSubjectCN(current), candidate->Sha1Text()});
        continue;
      }
      Enforce([&] { CheckCertificateTimes(candidate); });
      double notBefore = LocalTime(X509_get0_notBefore(candidate->Cert()));
      double notAfter = LocalTime(X509_get0_notAfter(candidate->Cert()));
      if (notBefore <= date && date <= notAfter) {
        issuer = candidate;
        break;
      }
    }

    if (!issuer) {
      // The top of the path; only a certificate installed in "ROOT" or "CA" may end a chain: one
      // that merely names itself as its issuer proves nothing (Walk checks).
      if (report == kCryptESelfSigned || report == kErrorSuccess) return current;
      if (report == kCryptENotFound) {
        RaiseChainError(
            kChainNoIssuer,
            FormatText("Не найден сертификат УЦ [%s]"_cp, {U::GetIssuerCN(current)}) + UrlSuffix(url));
      }
      RaiseChainError(kChainGeneral, "Ошибка при построении цепочки"_cp);
    }
    if (used.size() + 2 > static_cast<std::size_t>(kMaxChainLength)) {
      RaiseChainError(kChainGeneral,
                      FormatText("Цепочка сертификатов [%s] длиннее допустимых %d сертификатов"_cp,
                                 {U::GetSubjectCN(config_->InitialCertificate()), kMaxChainLength}));
    }
    Enforce([&] { CheckIssuerRules(current, issuer, roots_.count(issuer->Sha1Hash()) != 0, intermediates); });
    used.push_back(issuer);
    links.emplace_back(current, issuer);
    if (!IsSelfIssued(issuer)) ++intermediates;
    current = issuer;
  }
}

// ---------------------------------------------------------------------------------------
// Strict builder

CCryptoAPI20ChainBuilderStrict::CCryptoAPI20ChainBuilderStrict() = default;

CCryptoAPI20ChainBuilderStrict::~CCryptoAPI20ChainBuilderStrict() {
  CCryptoAPI20ChainBuilderStrict::Close();
}

std::unique_ptr<CCryptoAPI20ChainBuilderBaseConfig> CCryptoAPI20ChainBuilderStrict::CreateConfig() {
  return std::make_unique<CCryptoAPI20ChainBuilderStrictConfig>();
}

const CCryptoAPI20ChainBuilderStrictConfig& CCryptoAPI20ChainBuilderStrict::Strict() const {
  return static_cast<const CCryptoAPI20ChainBuilderStrictConfig&>(*OwnConfig());
}

int CCryptoAPI20ChainBuilderStrict::Window(double x, double start, double end) const {
  double m = Strict().Margin / 24.0;
  if (x < start - m) return 1;
  if (x < start + m) return 2;
  if (x < end - m) return 0;
  if (x < end + m) return 2;
  return 1;
}

void CCryptoAPI20ChainBuilderStrict::OpenStores() {
  CCryptoAPI20ChainBuilderBase::OpenStores();
  downloads_ = CVerificationRun::Current();
  if (!downloads_) downloads_ = std::make_shared<CChainDownloads>();
}

void CCryptoAPI20ChainBuilderStrict::CloseStores() {
  downloads_.reset();
  CCryptoAPI20ChainBuilderBase::CloseStores();
}

void CCryptoAPI20ChainBuilderStrict::Fetch(
    void (CCryptoAPI20ChainBuilderStrict::*step)(const CertContextPtr&), const CertContextPtr& certificate,
    const std::string& what) {
  // A failed download leaves the chain to fail on what is missing; a bound of the run ends it.
  try {
    (this->*step)(certificate);
  } catch (const CChainBudgetException& e) {
    RaiseChainError(kChainGeneral, e.Message());
  } catch (const CVorlentException& e) {
    Trace("%s: %s", {what, e.Message()});
  }
}

void CCryptoAPI20ChainBuilderStrict::OnCertificate(const CertContextPtr& certificate) {
  if (Strict().Options & kChainDownloadCertificates) {
    Fetch(&CCryptoAPI20ChainBuilderStrict::FetchIssuerCertificate, certificate,
          "Не удалось скачать корневой сертификат"_cp);
  }
}

void CCryptoAPI20ChainBuilderStrict::FetchIssuerCertificate(const CertContextPtr& certificate) {
  std::string subject = U::GetSubjectCN(certificate);
  std::string issuerName = U::GetIssuerCN(certificate);
  if (subject == issuerName) return;
  std::string url = CaIssuerUrl(certificate);
  if (url.empty()) {
    RaiseErrorFmt("В сертификате [%s] нет URL для корневого УЦ [%s]"_cp, {subject, issuerName});
  }
  CertContextPtr downloaded = downloads_->Certificate(url);
  if (!downloaded) {
    OnIssuerCertificateRejected(subject, Strict().CheckDate());
    return;
  }
  // A self-signed certificate from the network is never added: the top of a chain must be installed.
  if (U::GetSubjectCN(downloaded) == U::GetIssuerCN(downloaded)) return;
  if (!WorkStore()->AddCertificate(downloaded, kStoreAddUseExisting)) Trace("%s", {U::LastErrorText()});
}

void CCryptoAPI20ChainBuilderStrict::FetchCrl(const CertContextPtr& certificate) {
  std::string subject = U::GetSubjectCN(certificate);
  std::string issuerName = U::GetIssuerCN(certificate);
  if (subject == issuerName) return;
  std::string urls = CrlUrls(certificate);
  if (urls.empty()) {
    RaiseErrorFmt("В сертификате [%s] нет URL со списком отозванных сертификатов [%s]"_cp,
                  {subject, issuerName});
  }
  CrlContextPtr crl = downloads_->Crl(urls);
  // Several lists of one issuer may stand side by side; FindCrl takes the newest one it can verify.
  if (!WorkStore()->AddCrl(crl, kStoreAddUseExisting)) Trace("%s", {U::LastErrorText()});
}

CrlContextPtr CCryptoAPI20ChainBuilderStrict::FindCrl(const CertContextPtr& issuer) const {
  CrlContextPtr best;
  for (const CrlContextPtr& crl : WorkStore()->Crls()) {
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl->Crl()), X509_get_subject_name(issuer->Cert())) != 0) continue;
    // A list the issuer's key does not verify is not the issuer's list.
    if (!downloads_->CrlSignedBy(crl, issuer)) {
      Trace("Список отозванных сертификатов [%s] не подписан ключом УЦ"_cp, {U::GetSubjectCN(issuer)});
      continue;
    }
    if (!best ||
        ASN1_TIME_compare(X509_CRL_get0_lastUpdate(crl->Crl()), X509_CRL_get0_lastUpdate(best->Crl())) > 0) {
      best = crl;
    }
  }
  if (!best) SetLastCryptError(kCryptENotFound);
  return best;
}

void CCryptoAPI20ChainBuilderStrict::OnIssuerFound(const CertContextPtr& certificate,
                                                   const CertContextPtr& issuer) {
  if (!(Strict().Options & kChainCheckRevocation)) return;
  // The list is fetched only now, for a path that ends in a trusted certificate.
  if (Strict().Options & kChainDownloadCrls) {
    Fetch(&CCryptoAPI20ChainBuilderStrict::FetchCrl, certificate,
          "Не удалось скачать список отозванных сертификатов"_cp);
  }
  double x = Strict().CheckDate();
  if (x == 0) x = NowLocalDateTime();
  std::string urls = downloads_->CrlUrlsTried(CrlUrls(certificate));
  CrlContextPtr crl = FindCrl(issuer);
  if (!crl) {
    if (GetLastCryptError() == kCryptENotFound) {
      RaiseChainError(kChainNoCrl, FormatText("Список отозванных сертификатов для [%s] не найден"_cp,
                                              {U::GetIssuerCN(certificate)}) +
                                       UrlSuffix(urls));
    }
    RaiseChainError(kChainGeneral, FormatText("Ошибка при проверке по списку отозванных сертификатов [%s]"_cp,
                                              {U::LastErrorText()}));
  }
  Enforce([&] {
    CheckCrlIssuerRules(issuer);
    CheckCrlTimes(crl, issuer);
    CheckCrlAlgorithms(crl, issuer);
  });

  double now = NowLocalDateTime();
  if (x > now) {
    RaiseChainError(kChainGeneral, FormatText("Дата подписи [%s] больше текущей даты [%s]"_cp,
                                              {DateTimeText(x), DateTimeText(now)}));
  }
  double notBefore = LocalTime(X509_get0_notBefore(certificate->Cert()));
  double notAfter = LocalTime(X509_get0_notAfter(certificate->Cert()));
  int window = Window(x, notBefore, notAfter);
  if (window == 1) {
    RaiseChainError(kChainDates,
                    FormatText("Дата подписи [%s] вне срока действия сертификата [%s - %s]"_cp,
                               {DateTimeText(x), DateTimeText(notBefore), DateTimeText(notAfter)}));
  } else if (window == 2) {
    RaiseChainError(
        kChainDates,
        FormatText("Дата подписи [%s] недопустимо близка к окончанию срока действия сертификата [%s - %s]"_cp,
                   {DateTimeText(x), DateTimeText(notBefore), DateTimeText(notAfter)}));
  }
  double nextUpdate = LocalTime(X509_CRL_get0_nextUpdate(crl->Crl()));
  window = Window(x, 0, nextUpdate);
  if (window == 1) {
    RaiseChainError(kChainGeneral,
                    FormatText("Нет актуального списка отозванных сертификатов [%s] на дату подписи [%s]"_cp,
                               {DateTimeText(nextUpdate), DateTimeText(x)}) +
                        UrlSuffix(urls));
  } else if (window == 2) {
    RaiseChainError(
        kChainGeneral,
        FormatText(
            "Дата подписи [%s] недопустимо близка к сроку действия списка отозванных сертификатов [%s]"_cp,
            {DateTimeText(x), DateTimeText(nextUpdate)}) +
            UrlSuffix(urls));
  }
  // The entries with the certificate's serial number, read from the list's encoding one at a time.
  crl->ForEachEntry(
      [&](const X509_REVOKED* entry) {
        double revoked = LocalTime(X509_REVOKED_get0_revocationDate(entry));
        int window = Window(x, 0, revoked);
        if (window == 1) {
          RaiseChainError(kChainDates, FormatText("На момент подписания [%s] сертификат был отозван [%s]"_cp,
                                                  {ShortDateText(x), ShortDateText(revoked)}));
        } else if (window == 2) {
          RaiseChainError(kChainDates,
                          FormatText("Дата подписи [%s] недопустимо близка к дате отзыва сертификата [%s]"_cp,
                                     {ShortDateText(x), ShortDateText(revoked)}));
        }
        return true;
      },
      X509_get0_serialNumber(certificate->Cert()));
}

// ---------------------------------------------------------------------------------------
// The chain check of signature verification

namespace {

class StrictChainCheck : public CSignerChainCheck {
 public:
  StrictChainCheck(int location, double date, std::uint8_t options) {
    config_.StoreLocation = static_cast<std::uint8_t>(location);
    config_.SetCheckDate(date);
    config_.Options = options;
    builder_.Open(&config_);
  }
  void CheckCertificate(const CertContextPtr& certificate, double date) override {
    builder_.CheckCertificate(certificate, date);
  }

 private:
  CCryptoAPI20ChainBuilderStrictConfig config_;
  CCryptoAPI20ChainBuilderStrict builder_;
};

}  // namespace

void InstallStrictChainBuilder() {
  SetSignerChainFactory(
      [](int location, double date, std::uint8_t options) -> std::unique_ptr<CSignerChainCheck> {
        return std::make_unique<StrictChainCheck>(location, date, options);
      });
}

}  // namespace qv
