// The signer of a signature from another party: any bytes give the first certificate the
// message carries, none, or the library's format error. A certificate that comes out is a
// whole one: its encoding parses back to the same thumbprint and it is among those a
// certificate bundle of the same bytes yields.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "FuzzHome.h"
#include "crypto/CryptoAPI20Tool.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "platform/CertServices.h"

using qv::operator""_cp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qvfuzz::ThreadStateRelease release;
  qvfuzz::PrivateHome();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  static const std::string kFormat = "Не удалось извлечь подписанта из подписи. Неверный формат подписи: "_cp;
  qv::CertContextPtr signer;
  try {
    signer = qv::CCryptoAPI20Tool::ExtractSigner(bytes);
  } catch (const qv::CVorlentException& e) {
    QV_FUZZ_REQUIRE(e.Message().compare(0, kFormat.size(), kFormat) == 0);
    return 0;
  }
  if (!signer) return 0;
  QV_FUZZ_REQUIRE(signer->Cert() != nullptr);
  const std::string thumbprint = signer->Sha1Text();
  QV_FUZZ_REQUIRE(thumbprint.size() == 40 && qvfuzz::IsUpperHex(thumbprint));
  QV_FUZZ_REQUIRE(!signer->Encoded().empty());
  qv::CertContextPtr again = qv::CCertContext::FromDer(signer->Encoded());
  QV_FUZZ_REQUIRE(again && again->Sha1Text() == thumbprint);
  // The same bytes read as a store hold it (the signer is the first of them).
  qv::CertStorePtr store = qv::OpenPkcs7Store(bytes);
  QV_FUZZ_REQUIRE(store && !store->Certificates().empty());
  QV_FUZZ_REQUIRE(store->Certificates().front()->Sha1Text() == thumbprint);
  return 0;
}
