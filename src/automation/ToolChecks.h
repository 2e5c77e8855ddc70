// The detached-signature check behind QvToolCheckDetachedSignature and its variants, for the
// tools functions that check signatures of their own (QvToolReceive).
#pragma once

#include <functional>
#include <string>

namespace qv {

class CCryptoSignature;

// Verifies with the verifier `verify` is given: it checks `signature` against its content.
using DetachedVerify = std::function<void(CCryptoSignature& verifier, const std::string& signature)>;

// Checks the detached `signature` with the checks of QvSignatureChecks (`checks`) through
// `verify`; raises the failure. Returns a line per signer ("thumbprint\tsubject\tsigning
// time\n"). Inside a verification run (CVerificationRun) it shares that run's downloads.
std::string CheckDetachedSignature(int checks, const std::string& signature, const DetachedVerify& verify);

}  // namespace qv
