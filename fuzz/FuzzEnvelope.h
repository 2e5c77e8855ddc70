// A fixed EnvelopedData made by `openssl cms -encrypt -gost89` for kRecipientCert256, taken
// apart so that a fuzz target puts its input in place of one part (the recipient's encrypted
// key, the content cipher's identifier), and the recipient's private home to decrypt it with.
#pragma once

#include <cstddef>
#include <string>

#include "FuzzHome.h"
#include "FuzzRecipients.h"
#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoProvider.h"
#include "crypto/CryptoUtils.h"
#include "platform/CertServices.h"
#include "platform/KeyContainer.h"

namespace qvfuzz {

// The recipient identifier with the key-encryption algorithm.
constexpr const char* kRecipientAndAlgorithm =
    "305b30563129302706092a864886f70d010901161a476f737452333431302d32303132406578616d706c652e636f"
    "6d3129302706035504030c20476f737452333431302d323031322032353620626974732065786368616e67650201"
    "01301f06082a85030701010101301306072a85030202240006082a85030701010202";
// The recipient's encrypted key (GOST R 34.10 key transport) as made.
constexpr const char* kEncryptedKey =
    "3081a93028042059f7e8a920a923c1ce58ec58262c18cc3f8ea415dab4b133266f09a4f5248c340404882e8615a07d"
    "06092a8503070102050101a066301f06082a85030701010101301306072a85030202240006082a8503070101020203"
    "4300044069f5680fe2dcf79017b2b9d495d42bb3442f544d79392e271f4a9d9a7c3e7791e722811c04ab0c067ac619"
    "a89abce1dbd14212cff91ab1f7068ebb19b3a3a2800408603f41f6a71cab71";
// The content cipher as made: GOST 28147-89 with its IV and the S-box set TC26 Z.
constexpr const char* kContentCipher = "301f06062a850302021530150408abae20667aa1010f06092a8503070102050101";
// The encrypted content of kPlain.
constexpr const char* kContent =
    "802c3994b62ea6b8f73645bfc5ab82971be2952113999d4e3d3a9190e5fa246cfc7ff6c37042d9cc3a1064565"
    "16e";
constexpr const char* kPlain = "Заявление о регистрации";  // UTF-8 bytes

inline std::string Bytes(const char* hex) {
  std::string out;
  for (const char* p = hex; p[0] && p[1]; p += 2)
    out += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
  return out;
}

inline std::string Der(unsigned char identifier, const std::string& contents) {
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

// The message with the given encrypted key and content cipher identifier (each a whole TLV).
inline std::string Message(const std::string& encryptedKey, const std::string& contentCipher) {
  static const std::string recipient = Bytes(kRecipientAndAlgorithm), content = Bytes(kContent);
  const std::string version = Bytes("020100");
  std::string info = Der(0x30, version + recipient + Der(0x04, encryptedKey));
  std::string contentInfo = Der(0x30, Bytes("06092a864886f70d010701") + contentCipher + content);
  std::string enveloped = Der(0x30, version + Der(0x31, info) + contentInfo);
  return Der(0x30, Bytes("06092a864886f70d010703") + Der(0xA0, enveloped));
}

// The recipient's certificate in "MY" of a private home, bound to its key.
struct Recipient {
  qv::CCryptoProvider provider;
  qv::CCryptoStore store;

  Recipient() {
    PrivateHome();
    provider.Open(qv::kProvGost, {}, false, false);
    qv::ImportPkcs8Key(false, "fuzz-recipient", kRecipientKey256, {}, {});
    qv::CCryptoAPI20Utils::AddToStore(provider.Handle(), qv::kStoreCurrentUser, qv::kStoreMy,
                                      "fuzz-recipient",
                                      qv::CCryptoAPI20Utils::CertificateFromText(kRecipientCert256));
    store.SetProvider(&provider);
    store.Open(qv::kStoreProvSystem, "MY");
  }
};

}  // namespace qvfuzz
