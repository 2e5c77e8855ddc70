// The checker of a signer's certificate for client programs: the formal check of what a
// qualified certificate for registration documents must carry, the issuer check against a
// file of trusted authority certificates, and the revocation check by downloaded CRLs.
#pragma once

#include <memory>
#include <string>

#include "crypto/CryptObjects.h"

namespace qv {

class CCertChecker {
 public:
  CCertChecker();
  ~CCertChecker();
  CCertChecker(const CCertChecker&) = delete;
  CCertChecker& operator=(const CCertChecker&) = delete;

  // Loads the trusted certificates from a file (a PKCS #7 bundle, DER or PEM certificates).
  // A later call replaces them; a failed call keeps the ones loaded before.
  void Init(const std::string& p7bFileName);
  bool IsInitialized() const { return trustedStore_.HasHandle(); }

  // Raises the message of the first missing item: validity times in DER form, validity at this
  // moment, CN, SN, G, INN, SNILS, the policy "1.2.643.100.113.1".
  void CheckFormal(CCryptCertificate& certificate);

  // True when the trusted store holds an issuer whose key verifies the certificate; false
  // for none and for a self-signed certificate. Raises when that issuer may not issue
  // certificates (not a CA, no keyCertSign, see PathRules.h). Needs Init.
  bool CheckIssuer(CCryptCertificate& certificate);

  // Downloads the lists of the certificate's first distribution points (at most
  // CChainDownloadLimits::MaxCrlUrls, within the bounds of one run) in order and answers from
  // the first one that arrives with status 200 and is signed by the certificate's issuer: true when the
  // certificate is not listed. The issuer is sought in the trusted store (when loaded) and
  // in the "CA" and "ROOT" stores of the current user and of the local machine; it must be an
  // authority allowed to sign lists, and the list's times and hash must keep the rules of
  // CertRules.h. When no list can be used, raises every URL's failure, one per line.
  bool CheckCrl(CCryptCertificate& certificate);

  // The issuers found by CheckIssuer so far.
  const CCryptCollection& Issuers() const { return *issuers_; }

 private:
  CCryptFileStore trustedStore_;
  std::unique_ptr<CCryptCollection> issuers_;
};

}  // namespace qv
