// The rules every certificate and revocation list must keep before the library relies on it:
// the encoding of its times, the strength of its algorithms, and, for a signer, the purposes
// its key is meant for. Each check raises its finished message; the chain builder of the
// validation layer and signature verification call them.
#pragma once

#include <string>

#include "platform/CertServices.h"

namespace qv {

// True for a time in the one form a DER certificate may carry it: UTCTime "YYMMDDHHMMSSZ" for
// the years 1950 to 2049, GeneralizedTime "YYYYMMDDHHMMSSZ" from 2050 on, a real calendar date.
bool IsDerTime(const ASN1_TIME* time);

// Raises unless notBefore and notAfter of the certificate are DER times.
void CheckCertificateTimes(const CertContextPtr& certificate);
// Raises unless thisUpdate, nextUpdate (when present) and every revocation date of the list
// issued by `issuer` are DER times.
void CheckCrlTimes(const CrlContextPtr& crl, const CertContextPtr& issuer);

// Raises when the certificate is signed with MD5 or SHA-1 or carries an RSA key below 2048 bits.
void CheckCertificateAlgorithms(const CertContextPtr& certificate);
// Raises when the list is signed with MD5 or SHA-1.
void CheckCrlAlgorithms(const CrlContextPtr& crl, const CertContextPtr& issuer);

// Raises unless the signer's key is a GOST R 34.10-2001 or 34.10-2012 key and the signature
// uses the hash of that key (the algorithms of registration documents); the message names the
// algorithms found.
void CheckSignerAlgorithms(const CertContextPtr& signer, const std::string& digestOid,
                           const std::string& signatureOid);

// Raises unless the signer's certificate may sign documents: with a key-usage extension it needs
// digitalSignature or nonRepudiation; a critical extended key usage must not name only purposes
// of other kinds (TLS, code signing, time stamping, OCSP responses).
void CheckSignerKeyUsage(const CertContextPtr& signer);

}  // namespace qv
