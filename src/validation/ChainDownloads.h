// The downloads of one verification: the authority certificates and revocation lists that the
// chain walks of one run fetch from the URLs their certificates name. A run is one package
// check over all its signatures, or one signature check; it fetches each URL at most once
// (the answer, or the failure, is kept for the rest of the run) and within fixed bounds. The
// certificates of an untrusted signature name any host they like: the bounds are what keeps
// such a signature from holding a verification or its memory.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Errors.h"
#include "platform/CertServices.h"

namespace qv {

// The longest chain walked, the signer's certificate included.
constexpr int kMaxChainLength = 10;

// The bounds of one run's downloads (docs/robustness.md gives the reasons).
struct CChainDownloadLimits {
  static constexpr int kDefaultMaxDownloads = 32;                    // URLs requested per run
  static constexpr std::int64_t kDefaultMaxBytes = 128LL << 20;      // bytes received per run
  static constexpr std::int64_t kDefaultMaxCertificate = 2LL << 20;  // bytes of one certificate
  static constexpr std::int64_t kDefaultMaxCrl = 64LL << 20;         // bytes of one revocation list
  static constexpr int kDefaultMaxCrlUrls = 4;                       // distribution points tried per list
  static constexpr std::int32_t kDefaultConnectTimeout = 15000;      // ms
  static constexpr std::int32_t kDefaultStallTimeout = 20000;        // ms without a byte
  static constexpr std::int32_t kDefaultUrlTimeout = 60000;          // ms for one URL, redirects included
  static constexpr std::int32_t kDefaultRunTimeout = 180000;         // ms spent downloading per run

  // The bounds of a batch of `packages` packages checked in one run (ReceiveBatch): the URLs
  // fetched and the time spent grow with the batch up to a ceiling; the bytes, all of them kept
  // for the run, are bounded as those of a large run. Each package keeps the bounds of a run of
  // its own besides (CVerificationRun's package constructor).
  static constexpr int kMaxBatchDownloads = 1024;
  static constexpr std::int64_t kMaxBatchBytes = 256LL << 20;
  static constexpr std::int32_t kMaxBatchRunTimeout = 3600000;  // ms, an hour
  static CChainDownloadLimits ForBatch(std::size_t packages);

  int MaxDownloads = kDefaultMaxDownloads;
  std::int64_t MaxBytes = kDefaultMaxBytes;
  std::int64_t MaxCertificate = kDefaultMaxCertificate;
  std::int64_t MaxCrl = kDefaultMaxCrl;
  int MaxCrlUrls = kDefaultMaxCrlUrls;
  std::int32_t ConnectTimeout = kDefaultConnectTimeout;
  std::int32_t StallTimeout = kDefaultStallTimeout;
  std::int32_t UrlTimeout = kDefaultUrlTimeout;
  std::int32_t RunTimeout = kDefaultRunTimeout;
};

// A bound of the run was reached: the chain being walked fails with this message.
class CChainBudgetException : public CVorlentException {
 public:
  using CVorlentException::CVorlentException;
};

// A bound of one package's share of a batch run was reached: that package fails, the URL is
// not marked as failed for the others.
class CPackageBudgetException : public CChainBudgetException {
 public:
  using CChainBudgetException::CChainBudgetException;
};

// What one package of a batch run has spent of the run's downloads.
struct CRunAccount {
  CChainDownloadLimits limits;
  int requests = 0;
  std::int64_t bytes = 0;
  std::chrono::steady_clock::duration spent{};
};

// Shared by the threads of a batch: every call takes the object's lock, held while an URL is
// fetched, so that an URL two threads ask for at once is fetched once.
class CChainDownloads {
 public:
  explicit CChainDownloads(CChainDownloadLimits limits = {});
  CChainDownloads(const CChainDownloads&) = delete;
  CChainDownloads& operator=(const CChainDownloads&) = delete;

  const CChainDownloadLimits& Limits() const { return limits_; }

  // The certificate served at `url`; null when the answer is not a certificate. Raises the
  // download's failure (a later call for the URL raises it again without a request), or a
  // CChainBudgetException when a bound is reached.
  CertContextPtr Certificate(const std::string& url);

  // The first list that one of the first MaxCrlUrls URLs of the comma-separated `urls`
  // answers with status 200 and that parses as a CRL. A URL that fails, answers another
  // status or something else moves on to the next one; when none gives a list, raises
  // every URL's failure. A CChainBudgetException ends the search.
  CrlContextPtr Crl(const std::string& urls);
  // The URLs of `urls` that Crl tries, comma-separated.
  std::string CrlUrlsTried(const std::string& urls) const;

  // The body served at `url` with status 200, at most `maxSize` bytes; every call is a
  // request counted against the run's bounds (the callers above keep what they parse).
  std::string Download(const std::string& url, std::int64_t maxSize, const std::string& what);

  // Whether the key of `issuer` verifies `crl`; worked out once per list and issuer.
  bool CrlSignedBy(const CrlContextPtr& crl, const CertContextPtr& issuer);

  int Requests() const;
  std::int64_t BytesReceived() const;

 private:
  // An URL's outcome: the object parsed from the answer, or the failure to raise again.
  template <class T>
  struct Outcome {
    T object;
    std::string failure;
    bool bound = false;  // the failure is a bound of the run
  };
  // The outcome of `url` in `cache`, fetched (at most `maxSize` bytes) and parsed on the first call.
  template <class T, class Parse>
  T Fetch(std::map<std::string, Outcome<T>>& cache, const std::string& url, std::int64_t maxSize,
          const std::string& what, Parse parse);
  CrlContextPtr CrlFrom(const std::string& url);
  std::vector<std::string> CrlPoints(const std::string& urls) const;

  CChainDownloadLimits limits_;
  mutable std::recursive_mutex lock_;
  int requests_ = 0;
  std::int64_t bytes_ = 0;
  std::chrono::steady_clock::duration spent_{};  // in downloads
  std::map<std::string, Outcome<CertContextPtr>> certificates_;
  std::map<std::string, Outcome<CrlContextPtr>> crls_;
  std::map<std::pair<const CCrlContext*, std::string>, std::pair<CrlContextPtr, bool>> crlSignatures_;
};

// Opens a run on the calling thread for its lifetime: every chain builder opened meanwhile on
// the thread shares its downloads. Inside an open run, a new one joins it. Without a run a
// builder has downloads of its own.
class CVerificationRun {
 public:
  explicit CVerificationRun(CChainDownloadLimits limits = {});
  // One package of a batch on the calling thread: it shares `shared` (the batch's downloads,
  // fetched once for all its threads) and is held besides to the bounds of a run of its own,
  // `own`, so that no package spends what the others need. Inside an open run, joins that one.
  CVerificationRun(std::shared_ptr<CChainDownloads> shared, CChainDownloadLimits own);
  ~CVerificationRun();
  CVerificationRun(const CVerificationRun&) = delete;
  CVerificationRun& operator=(const CVerificationRun&) = delete;

  const std::shared_ptr<CChainDownloads>& Downloads() const { return downloads_; }
  // The downloads of the run open on the calling thread; null outside a run.
  static std::shared_ptr<CChainDownloads> Current();
  // The share of the package whose run is open on the calling thread; null when that run is
  // not a package of a batch.
  static CRunAccount* CurrentAccount();

 private:
  std::shared_ptr<CChainDownloads> downloads_;
  std::unique_ptr<CRunAccount> account_;
};

}  // namespace qv
