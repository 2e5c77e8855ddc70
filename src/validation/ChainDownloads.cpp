#include "validation/ChainDownloads.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <vector>

#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Format.h"
#include "net/HttpsClient.h"

namespace qv {
namespace {

using U = CCryptoAPI20Utils;

// The run that opened on the thread (not owned; trivially destroyed at the thread's end, whatever
// the order of other thread-local objects).
thread_local const CVerificationRun* currentRun = nullptr;

}  // namespace

CChainDownloads::CChainDownloads(CChainDownloadLimits limits) : limits_(limits) {}

CChainDownloadLimits CChainDownloadLimits::ForBatch(std::size_t packages) {
  CChainDownloadLimits limits;
  const std::int64_t n = static_cast<std::int64_t>(std::max<std::size_t>(packages, 1));
  limits.MaxDownloads =
      static_cast<int>(std::min<std::int64_t>(n * kDefaultMaxDownloads, kMaxBatchDownloads));
  limits.MaxBytes = kMaxBatchBytes;
  limits.RunTimeout =
      static_cast<std::int32_t>(std::min<std::int64_t>(n * kDefaultRunTimeout, kMaxBatchRunTimeout));
  return limits;
}

int CChainDownloads::Requests() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return requests_;
}

std::int64_t CChainDownloads::BytesReceived() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return bytes_;
}

namespace {

// Refuses a request past one of `limits` with `spent` so far; the time and the bytes left.
template <class Exception>
std::pair<std::int64_t, std::int64_t> Budget(const CChainDownloadLimits& limits, int requests,
                                             std::int64_t bytes, std::chrono::steady_clock::duration spent,
                                             const std::string& url) {
  if (requests >= limits.MaxDownloads) {
    throw Exception(
        FormatText("Превышено допустимое число загрузок при проверке подписи (%d): URL [%s] не запрошен"_cp,
                   {limits.MaxDownloads, url}));
  }
  const std::int64_t left = limits.MaxBytes - bytes;
  if (left <= 0) {
    throw Exception(FormatText(
        "Превышен допустимый объём загрузок при проверке подписи (%d байт): URL [%s] не запрошен"_cp,
        {limits.MaxBytes, url}));
  }
  const std::int64_t timeLeft =
      limits.RunTimeout - std::chrono::duration_cast<std::chrono::milliseconds>(spent).count();
  if (timeLeft <= 0) {
    throw Exception(
        FormatText("Превышено допустимое время загрузок при проверке подписи (%d с): URL [%s] не запрошен"_cp,
                   {limits.RunTimeout / 1000, url}));
  }
  return {left, timeLeft};
}

}  // namespace

std::string CChainDownloads::Download(const std::string& url, std::int64_t maxSize, const std::string& what) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto [left, timeLeft] = Budget<CChainBudgetException>(limits_, requests_, bytes_, spent_, url);
  // A package of a batch stays within its own bounds as well.
  CRunAccount* account = CVerificationRun::CurrentAccount();
  const std::int64_t batchLeft = left;
  if (account) {
    auto [ownLeft, ownTime] = Budget<CPackageBudgetException>(account->limits, account->requests,
                                                              account->bytes, account->spent, url);
    left = std::min(left, ownLeft);
    timeLeft = std::min(timeLeft, ownTime);
    ++account->requests;
  }
  ++requests_;
  CHttpsClient client;
  CHttpsClientConfig& config = client.Config();
  config.CheckStatus = true;
  config.ConnectTimeout = limits_.ConnectTimeout;
  config.ReceiveTimeout = limits_.StallTimeout;
  config.TotalTimeout = static_cast<std::int32_t>(std::min<std::int64_t>(limits_.UrlTimeout, timeLeft));
  config.MaxBodySize = std::min(maxSize, left);
  // The time of the request counts against the run (and the package) however it ends.
  struct Spent {
    std::chrono::steady_clock::duration& total;
    CRunAccount* account;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    ~Spent() {
      auto spent = std::chrono::steady_clock::now() - start;
      total += spent;
      if (account) account->spent += spent;
    }
  } spent{spent_, account};
  std::string body;
  try {
    body = client.Download(url);
  } catch (const CHttpTooLargeException&) {
    if (maxSize <= left) {
      throw CChainBudgetException(
          FormatText("%s по URL [%s] больше допустимых %d байт"_cp, {what, url, maxSize}));
    }
    const std::string message =
        FormatText("Превышен допустимый объём загрузок при проверке подписи (%d байт): URL [%s] не скачан"_cp,
                   {left < batchLeft ? account->limits.MaxBytes : limits_.MaxBytes, url});
    if (left < batchLeft) throw CPackageBudgetException(message);
    throw CChainBudgetException(message);
  }
  bytes_ += static_cast<std::int64_t>(body.size());
  if (account) account->bytes += static_cast<std::int64_t>(body.size());
  return body;
}

template <class T, class Parse>
T CChainDownloads::Fetch(std::map<std::string, Outcome<T>>& cache, const std::string& url,
                         std::int64_t maxSize, const std::string& what, Parse parse) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto found = cache.find(url);
  if (found == cache.end()) {
    Outcome<T> outcome;
    try {
      outcome.object = parse(Download(url, maxSize, what));
    } catch (const CPackageBudgetException&) {
      throw;  // the package's own bound: the URL stays open to the other packages
    } catch (const CChainBudgetException& e) {
      outcome.failure = e.Message();
      outcome.bound = true;
    } catch (const CHttpStatusException& e) {
      outcome.failure = FormatText("%1:s[%0:s]", {url, FormatText("HTTP %d %s", {e.Status(), e.Message()})});
    } catch (const CVorlentException& e) {
      outcome.failure = FormatText("%1:s[%0:s]", {url, e.Message()});
    }
    found = cache.emplace(url, std::move(outcome)).first;
  }
  const Outcome<T>& outcome = found->second;
  if (outcome.bound) throw CChainBudgetException(outcome.failure);
  if (!outcome.failure.empty()) RaiseError(outcome.failure);
  return outcome.object;
}

CertContextPtr CChainDownloads::Certificate(const std::string& url) {
  return Fetch(certificates_, url, limits_.MaxCertificate, "Сертификат"_cp, [&](const std::string& body) {
    CertContextPtr certificate;
    if (body.empty()) return certificate;
    try {
      certificate = U::CertificateFromText(body);
    } catch (const CVorlentException&) {
      Trace("По URL [%s] не CRT: %s"_cp, {url, U::LastErrorText()});
    }
    return certificate;
  });
}

CrlContextPtr CChainDownloads::CrlFrom(const std::string& url) {
  return Fetch(crls_, url, limits_.MaxCrl, "Список отозванных сертификатов"_cp, [](std::string body) {
    // The body is kept as the list's encoding, not copied: a list may be tens of megabytes.
    CrlContextPtr crl = CCrlContext::FromDer(std::move(body));
    ERR_clear_error();
    if (!crl) RaiseError("Ответ не является списком отозванных сертификатов"_cp);
    return crl;
  });
}

std::vector<std::string> CChainDownloads::CrlPoints(const std::string& urls) const {
  std::vector<std::string> points;
  size_t start = 0;
  while (start <= urls.size() && static_cast<int>(points.size()) < limits_.MaxCrlUrls) {
    size_t comma = urls.find(',', start);
    if (comma == std::string::npos) comma = urls.size();
    if (comma > start) points.push_back(urls.substr(start, comma - start));
    start = comma + 1;
  }
  return points;
}

std::string CChainDownloads::CrlUrlsTried(const std::string& urls) const {
  std::string tried;
  for (const std::string& url : CrlPoints(urls)) tried += (tried.empty() ? "" : ",") + url;
  return tried;
}

CrlContextPtr CChainDownloads::Crl(const std::string& urls) {
  std::string errors;
  for (const std::string& url : CrlPoints(urls)) {
    try {
      return CrlFrom(url);
    } catch (const CChainBudgetException&) {
      throw;
    } catch (const CVorlentException& e) {
      if (!errors.empty()) errors += ", ";
      errors += e.Message();
    }
  }
  if (errors.empty()) RaiseError("Передан пустой аргумент: url"_cp);
  RaiseError(errors);
}

bool CChainDownloads::CrlSignedBy(const CrlContextPtr& crl, const CertContextPtr& issuer) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto key = std::make_pair(static_cast<const CCrlContext*>(crl.get()), issuer->Sha1Hash());
  auto found = crlSignatures_.find(key);
  if (found != crlSignatures_.end()) return found->second.second;
  EVP_PKEY* publicKey = X509_get0_pubkey(issuer->Cert());
  bool verified = crl->VerifiedBy(publicKey);
  // The list is held with its answer: its address names no other list while the run lasts.
  crlSignatures_.emplace(key, std::make_pair(crl, verified));
  return verified;
}

CVerificationRun::CVerificationRun(CChainDownloadLimits limits) {
  if (currentRun) {
    downloads_ = currentRun->downloads_;
  } else {
    downloads_ = std::make_shared<CChainDownloads>(limits);
    currentRun = this;
  }
}

CVerificationRun::CVerificationRun(std::shared_ptr<CChainDownloads> shared, CChainDownloadLimits own) {
  if (currentRun) {
    downloads_ = currentRun->downloads_;
  } else {
    downloads_ = std::move(shared);
    account_ = std::make_unique<CRunAccount>();
    account_->limits = own;
    currentRun = this;
  }
}

CVerificationRun::~CVerificationRun() {
  if (currentRun == this) currentRun = nullptr;
}

std::shared_ptr<CChainDownloads> CVerificationRun::Current() {
  return currentRun ? currentRun->downloads_ : nullptr;
}

CRunAccount* CVerificationRun::CurrentAccount() {
  return currentRun ? currentRun->account_.get() : nullptr;
}

}  // namespace qv
