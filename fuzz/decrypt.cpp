// An EnvelopedData from another party, decrypted with the personal store of a private home
// that holds two recipients bound to their keys: any bytes give a plain text or the library's
// decryption error. A plain text is the message's own: the same bytes decrypt to it again, and
// it comes back unchanged through an encryption for the recipient and its decryption.
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

struct Recipients {
  qv::CCryptoProvider provider;
  qv::CCryptoStore store;
  qv::CertContextPtr first;

  Recipients() {
    qvfuzz::PrivateHome();
    provider.Open(qv::kProvGost, {}, false, false);
    qv::CertContextPtr certs[2];
    const char* keys[2] = {qvfuzz::kRecipientKey256, qvfuzz::kRecipientKey512};
    const char* texts[2] = {qvfuzz::kRecipientCert256, qvfuzz::kRecipientCert512};
    for (int i = 0; i < 2; ++i) {
      std::string container = "fuzz-recipient-" + std::to_string(i);
      qv::ImportPkcs8Key(false, container, keys[i], {}, {});
      certs[i] = qv::CCryptoAPI20Utils::CertificateFromText(texts[i]);
      qv::CCryptoAPI20Utils::AddToStore(provider.Handle(), qv::kStoreCurrentUser, qv::kStoreMy, container,
                                        certs[i]);
    }
    first = certs[0];
    store.SetProvider(&provider);
    store.Open(qv::kStoreProvSystem, "MY");
  }
};

Recipients& Home() {
  static Recipients recipients;
  return recipients;
}

const std::string& FailurePrefix() {
  static const std::string prefix = "Ошибка при расшифровании (1): "_cp;
  return prefix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qvfuzz::ThreadStateRelease release;
  Recipients& home = Home();
  const std::string encrypted(reinterpret_cast<const char*>(data), size);
  std::string plain;
  try {
    plain = qv::CCryptoAPI20Tool::DecryptMessage(home.store.Handle(), encrypted);
  } catch (const qv::CVorlentException& e) {
    QV_FUZZ_REQUIRE(e.Message().compare(0, FailurePrefix().size(), FailurePrefix()) == 0);
    return 0;
  }
  QV_FUZZ_REQUIRE(qv::CCryptoAPI20Tool::DecryptMessage(home.store.Handle(), encrypted) == plain);
  std::string again = qv::CCryptoAPI20Tool::EncryptMessage(home.first, plain);
  QV_FUZZ_REQUIRE(again != encrypted);
  QV_FUZZ_REQUIRE(qv::CCryptoAPI20Tool::DecryptMessage(home.store.Handle(), again) == plain);
  return 0;
}
