// A detached signature from another party over fixed content ("Test message"), verified
// without the chain check: any bytes verify or fail with the signature error (code 22) and
// a message. A signature that verifies names a signer certificate the message carries,
// and it does not verify over any other content.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "FuzzHome.h"
#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoProvider.h"
#include "crypto/CryptoSignature.h"
#include "crypto/CryptoUtils.h"
#include "foundation/Errors.h"
#include "platform/CertServices.h"
#include "platform/CryptProvider.h"

namespace {

const std::string kContent = "Test message";

// Verifies `signature` over `content`; false for the signature error, which must carry a
// message and code 22. Any other exception escapes and fails the run.
bool Verifies(qv::CCryptoProvider& provider, const std::string& content, const std::string& signature) {
  qv::CCryptoSignatureConfig config;
  config.provider = &provider;
  config.location = qv::kStoreCurrentUser;
  config.options = 0;
  qv::CCryptoSignature verifier;
  QV_FUZZ_REQUIRE(verifier.Open(&config));
  try {
    QV_FUZZ_REQUIRE(verifier.Verify(content, signature, 0));
  } catch (const qv::CCryptoAPI20Exception& e) {
    QV_FUZZ_REQUIRE(e.Code() == 22);
    QV_FUZZ_REQUIRE(!e.Message().empty());
    return false;
  }
  // Without the chain check no signer list is made.
  QV_FUZZ_REQUIRE(verifier.Signers().Count() == 0);
  QV_FUZZ_REQUIRE(verifier.Signature() == signature);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qvfuzz::ThreadStateRelease release;
  qvfuzz::PrivateHome();
  static qv::CCryptoProvider provider;
  if (!provider.Acquired()) provider.AcquireContext({}, {}, qv::kCryptVerifyContext, qv::kProvGost);
  const std::string signature(reinterpret_cast<const char*>(data), size);
  if (!Verifies(provider, kContent, signature)) return 0;
  // What verified carries its signer's certificate.
  qv::CertContextPtr signer;
  try {
    signer = qv::CCryptoAPI20Tool::ExtractSigner(signature);
  } catch (const qv::CVorlentException&) {
    QV_FUZZ_REQUIRE(!"a verified signature must give its signer");
  }
  QV_FUZZ_REQUIRE(signer != nullptr);
  // And it binds the content: a changed content fails.
  QV_FUZZ_REQUIRE(!Verifies(provider, kContent + "!", signature));
  QV_FUZZ_REQUIRE(!Verifies(provider, "Test messagf", signature));
  return 0;
}
