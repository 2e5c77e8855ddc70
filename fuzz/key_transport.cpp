// The key-transport structure of an EnvelopedData from another party: the input is the
// encrypted key of the one recipient (GOST R 34.10 KeyTransport: the wrapped content key with
// its MAC, the cipher parameter set, the sender's ephemeral key and the UKM), put into a fixed
// message for the first recipient of the decrypt target and decrypted with its personal store.
// Any bytes give the message's plain text or the library's decryption error; the input of the
// message as it was made decrypts to its text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "FuzzEnvelope.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"

using qv::operator""_cp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qvfuzz::ThreadStateRelease release;
  static qvfuzz::Recipient home;
  static const std::string prefix = "Ошибка при расшифровании (1): "_cp;
  static const std::string contentCipher = qvfuzz::Bytes(qvfuzz::kContentCipher);
  std::string plain;
  try {
    plain = qv::CCryptoAPI20Tool::DecryptMessage(
        home.store.Handle(),
        qvfuzz::Message(std::string(reinterpret_cast<const char*>(data), size), contentCipher));
  } catch (const qv::CVorlentException& e) {
    QV_FUZZ_REQUIRE(e.Message().compare(0, prefix.size(), prefix) == 0);
    return 0;
  }
  QV_FUZZ_REQUIRE(plain == qvfuzz::kPlain);
  return 0;
}
