// Chain building for signer certificates: the base builder walks from a certificate up to a
// certificate installed in "ROOT" or "CA" through a private working store; the strict builder
// adds downloads of authority certificates and revocation lists and the date and revocation rules.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "foundation/BaseClass.h"
#include "foundation/StrArray.h"
#include "platform/CertServices.h"
#include "platform/CryptProvider.h"
#include "validation/ChainDownloads.h"

namespace qv {

// Codes carried by the raised CCryptoAPI20Exception.
enum ChainErrorCode : std::int32_t {
  kChainDates = 21,
  kChainGeneral = 33,
  kChainNoCrl = 34,
  kChainNoIssuer = 35
};

// Strict builder options.
enum ChainOptions : std::uint8_t {
  kChainDownloadCertificates = 0x02,
  kChainDownloadCrls = 0x04,
  kChainCheckRevocation = 0x08
};

class CCryptoAPI20ChainBuilderBaseConfig : public CBaseClass, public CDocConfig {
 public:
  // Copies the check date (the strict configuration also its margin and options).
  virtual void Assign(const CCryptoAPI20ChainBuilderBaseConfig& other);
  // Initial certificate, provider, store location, then Assign.
  void AssignAll(const CCryptoAPI20ChainBuilderBaseConfig& other);
  // Fails the argument check "pInitialCertContext" for a missing certificate.
  void SetInitialCertificate(const CertContextPtr& certificate);
  // A negative date fails with "Неверное значение аргумента [%s]"; 0 becomes the current moment.
  void SetCheckDate(double date);

  const CertContextPtr& InitialCertificate() const { return initialCertificate_; }
  const CProviderContext* Provider = nullptr;  // not owned; none: the platform default
  std::uint8_t StoreLocation = 2;              // 1 local machine, 2 current user
  double CheckDate() const { return checkDate_; }

 private:
  CertContextPtr initialCertificate_;
  double checkDate_ = 0;
};

class CCryptoAPI20ChainBuilderStrictConfig : public CCryptoAPI20ChainBuilderBaseConfig {
 public:
  void Assign(const CCryptoAPI20ChainBuilderBaseConfig& other) override;
  std::int32_t Margin = 0;  // hours
  std::uint8_t Options = kChainDownloadCertificates | kChainDownloadCrls | kChainCheckRevocation;
};

class CCryptoAPI20ChainBuilderBase : public CCustomDoc {
 public:
  CCryptoAPI20ChainBuilderBase() = default;
  ~CCryptoAPI20ChainBuilderBase() override;

  // `config` must be a CCryptoAPI20ChainBuilderBaseConfig (the argument check names it "config").
  bool Open(const CDocConfig* config) override;
  bool Close() override;
  bool IsOpened() const override { return config_ != nullptr; }
  bool IsOpen() const { return IsOpened(); }

  // Returns when the chain of `certificate` (or of the configuration's initial certificate) is
  // good at `date` (local date-time, 0 for now); raises a CCryptoAPI20Exception otherwise.
  void CheckCertificate(const CertContextPtr& certificate, double date);

  // The top certificate of the last successful chain.
  const CertContextPtr& TopCertificate() const { return top_; }

 protected:
  virtual void OnCertificate(const CertContextPtr& /*certificate*/) {}
  virtual void OnIssuerFound(const CertContextPtr& /*certificate*/, const CertContextPtr& /*issuer*/) {}
  virtual std::unique_ptr<CCryptoAPI20ChainBuilderBaseConfig> CreateConfig();
  [[noreturn]] virtual void RaiseChainError(std::int32_t code, const std::string& message);
  virtual void OpenStores();
  virtual void CloseStores();

  CCryptoAPI20ChainBuilderBaseConfig* OwnConfig() const { return config_.get(); }
  const CertStorePtr& WorkStore() const { return workStore_; }
  // Runs a certificate rule; its failure becomes a chain error (code 33) with the rule's message.
  void Enforce(const std::function<void()>& rule);

 private:
  void Walk();
  // Walks up from the initial certificate to the top of its path (returned, whether installed
  // or not), appending each (certificate, issuer) link; raises what breaks the path.
  CertContextPtr FindPath(std::vector<std::pair<CertContextPtr, CertContextPtr>>& links);

  CertContextPtr top_;
  std::unique_ptr<CCryptoAPI20ChainBuilderBaseConfig> config_;
  CertStorePtr workStore_;
  // The SHA-1 hashes of the certificates installed in "ROOT" and "CA" at the location: only
  // they may stand at the top of a chain.
  std::set<std::string> installed_;
  // The SHA-1 hashes of those installed in "ROOT": only they may issue as version 1 certificates.
  std::set<std::string> roots_;
};

class CCryptoAPI20ChainBuilderStrict : public CCryptoAPI20ChainBuilderBase {
 public:
  CCryptoAPI20ChainBuilderStrict();
  ~CCryptoAPI20ChainBuilderStrict() override;

  // The window test of `x` against [start, end] with the configuration's margin: 0 inside,
  // 1 outside, 2 too close.
  int Window(double x, double start, double end) const;

 protected:
  void OnCertificate(const CertContextPtr& certificate) override;
  void OnIssuerFound(const CertContextPtr& certificate, const CertContextPtr& issuer) override;
  std::unique_ptr<CCryptoAPI20ChainBuilderBaseConfig> CreateConfig() override;

  void OpenStores() override;
  void CloseStores() override;
  virtual void OnIssuerCertificateRejected(const std::string& /*subjectName*/, double /*date*/) {}

 private:
  const CCryptoAPI20ChainBuilderStrictConfig& Strict() const;
  // Runs a download step: its failure is traced, a bound of the run raises a chain error.
  void Fetch(void (CCryptoAPI20ChainBuilderStrict::*step)(const CertContextPtr&),
             const CertContextPtr& certificate, const std::string& what);
  void FetchIssuerCertificate(const CertContextPtr& certificate);
  void FetchCrl(const CertContextPtr& certificate);
  CrlContextPtr FindCrl(const CertContextPtr& issuer) const;

  // The run's downloads (CVerificationRun), or the builder's own outside a run.
  std::shared_ptr<CChainDownloads> downloads_;
};

// Makes the strict builder the chain check of signature verification.
void InstallStrictChainBuilder();

}  // namespace qv
