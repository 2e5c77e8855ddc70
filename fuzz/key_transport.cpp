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
#include "FuzzHome.h"
#include "FuzzRecipients.h"
#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoProvider.h"
#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "platform/CertServices.h"
#include "platform/KeyContainer.h"

using qv::operator""_cp;

namespace {

// A message made by `openssl cms -encrypt -gost89` for kRecipientCert256, cut around the
// recipient's encrypted key: the recipient identifier with the key-encryption algorithm, and
// the encrypted content (GOST 28147-89) of kPlain.
constexpr const char* kRecipientAndAlgorithm =
    "305b30563129302706092a864886f70d010901161a476f737452333431302d32303132406578616d706c652e636f"
    "6d3129302706035504030c20476f737452333431302d323031322032353620626974732065786368616e67650201"
    "01301f06082a85030701010101301306072a85030202240006082a85030701010202";
constexpr const char* kEncryptedContent =
    "305a06092a864886f70d010701301f06062a850302021530150408abae20667aa1010f06092a8503070102050101"
    "802c3994b62ea6b8f73645bfc5ab82971be2952113999d4e3d3a9190e5fa246cfc7ff6c37042d9cc3a1064565"
    "16e";
constexpr const char* kPlain = "Заявление о регистрации";  // UTF-8 bytes

std::string Bytes(const char* hex) {
  std::string out;
  for (const char* p = hex; p[0] && p[1]; p += 2)
    out += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
  return out;
}

std::string Der(unsigned char identifier, const std::string& contents) {
  std::string out(1, static_cast<char>(identifier));
  std::size_t n = contents.size();
  if (n < 0x80) {
    out += static_cast<char>(n);
  } else {
    std::string length;
    for (; n; n >>= 8) length.insert(length.begin(), static_cast<char>(n & 0xFF));
    out += static_cast<char>(0x80 | length.size());
    out += length;
  }
  return out + contents;
}

std::string Message(const std::string& encryptedKey) {
  static const std::string recipient = Bytes(kRecipientAndAlgorithm), content = Bytes(kEncryptedContent);
  const std::string version = Bytes("020100");
  std::string info = Der(0x30, version + recipient + Der(0x04, encryptedKey));
  std::string enveloped = Der(0x30, version + Der(0x31, info) + content);
  return Der(0x30, Bytes("06092a864886f70d010703") + Der(0xA0, enveloped));
}

struct Recipient {
  qv::CCryptoProvider provider;
  qv::CCryptoStore store;

  Recipient() {
    qvfuzz::PrivateHome();
    provider.Open(qv::kProvGost, {}, false, false);
    qv::ImportPkcs8Key(false, "fuzz-recipient", qvfuzz::kRecipientKey256, {}, {});
    qv::CCryptoAPI20Utils::AddToStore(provider.Handle(), qv::kStoreCurrentUser, qv::kStoreMy,
                                      "fuzz-recipient",
                                      qv::CCryptoAPI20Utils::CertificateFromText(qvfuzz::kRecipientCert256));
    store.SetProvider(&provider);
    store.Open(qv::kStoreProvSystem, "MY");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qvfuzz::ThreadStateRelease release;
  static Recipient home;
  static const std::string prefix = "Ошибка при расшифровании (1): "_cp;
  std::string plain;
  try {
    plain = qv::CCryptoAPI20Tool::DecryptMessage(
        home.store.Handle(), Message(std::string(reinterpret_cast<const char*>(data), size)));
  } catch (const qv::CVorlentException& e) {
    QV_FUZZ_REQUIRE(e.Message().compare(0, prefix.size(), prefix) == 0);
    return 0;
  }
  QV_FUZZ_REQUIRE(plain == kPlain);
  return 0;
}
