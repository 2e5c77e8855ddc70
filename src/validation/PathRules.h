// The rules a certificate must keep to issue another one in a chain, and a revocation list's
// issuer to sign it: an authority (basic constraints CA in a version 3 certificate, or a version 1
// certificate installed as a trusted root), a key allowed to sign certificates (lists), and the
// path length its basic constraints allow.
#pragma once

#include <string>

#include "platform/CertServices.h"

namespace qv {

// Raises unless `issuer` may issue `certificate`. `trustedRoot`: the issuer is installed in
// "ROOT" (or the trusted file of the certificate checker); `intermediatesBelow`: the number of
// authority certificates that are not self-issued between the issuer and the end of the chain.
void CheckIssuerRules(const CertContextPtr& certificate, const CertContextPtr& issuer, bool trustedRoot,
                      int intermediatesBelow);

// Raises unless `issuer` may sign revocation lists (cRLSign, when it has a key-usage extension).
void CheckCrlIssuerRules(const CertContextPtr& issuer);

// True when the certificate's subject and issuer names are equal.
bool IsSelfIssued(const CertContextPtr& certificate);

}  // namespace qv
