// The content cipher of an EnvelopedData from another party: the input is the identifier of the
// content-encryption algorithm with its parameters (GOST 28147-89: IV and S-box set; Magma and
// Kuznyechik CTR-ACPKM: the UKM), put into a fixed message whose recipient's key transport is
// the one made, and decrypted with the recipient's personal store. Any bytes give the
// library's decryption error or a plain text; the identifier as it was made decrypts to the
// message's text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "EngineLeaks.h"
#include "FuzzCheck.h"
#include "FuzzEnvelope.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"

using qv::operator""_cp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qvfuzz::ThreadStateRelease release;
  static qvfuzz::Recipient home;
  static const std::string prefix = "Ошибка при расшифровании (1): "_cp;
  static const std::string encryptedKey = qvfuzz::Bytes(qvfuzz::kEncryptedKey);
  static const std::string asMade = qvfuzz::Bytes(qvfuzz::kContentCipher);
  const std::string contentCipher(reinterpret_cast<const char*>(data), size);
  std::string plain;
  try {
    EngineLeaksIgnored engine;
    plain = qv::CCryptoAPI20Tool::DecryptMessage(home.store.Handle(),
                                                 qvfuzz::Message(encryptedKey, contentCipher));
  } catch (const qv::CVorlentException& e) {
    QV_FUZZ_REQUIRE(e.Message().compare(0, prefix.size(), prefix) == 0);
    return 0;
  }
  // Another IV or S-box set gives other bytes; only the identifier as made gives the text.
  if (contentCipher == asMade) QV_FUZZ_REQUIRE(plain == qvfuzz::kPlain);
  return 0;
}
