// The files of a key container of the commercial providers' format: any bytes as header.key,
// masks.key and primary.key (the second key's files the same) give a key or the reader's own
// refusal, naming a file of the folder as damaged or the PIN as wrong; never a crash, never
// another failure. The input is the header's length (2 bytes, big-endian), header.key, the
// length of masks.key (1 byte), masks.key, and primary.key to the end. No PIN: two rounds of the
// derivation instead of 2000, so that a run stays short.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "platform/ProviderContainer.h"

using qv::operator""_cp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qvfuzz::ThreadStateRelease release;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.size() < 3) return 0;
  const std::size_t headerLength = (static_cast<std::size_t>(data[0]) << 8) | data[1];
  if (bytes.size() < 2 + headerLength + 1) return 0;
  qv::ProviderContainerFiles files;
  files.header = bytes.substr(2, headerLength);
  const std::size_t masksLength = data[2 + headerLength];
  files.masks = bytes.substr(3 + headerLength, masksLength);
  files.primary =
      bytes.size() > 3 + headerLength + masksLength ? bytes.substr(3 + headerLength + masksLength) : "";
  files.primary2 = files.primary;
  files.masks2 = files.masks;
  static const std::string kDamaged = "Файл контейнера ключа [c.000/"_cp;
  static const std::string kWrongPin = "Неверный PIN контейнера ключа [c.000]"_cp;
  try {
    qv::CProviderContainer container("c.000", files);
    QV_FUZZ_REQUIRE(container.KeyCount() == 1 || container.KeyCount() == 2);
    for (int slot = 0; slot < container.KeyCount(); ++slot) {
      try {
        qv::EvpPkeyPtr key = container.OpenKey(slot, {});
        QV_FUZZ_REQUIRE(key != nullptr);
      } catch (const qv::CVorlentException& e) {
        QV_FUZZ_REQUIRE(e.Message().compare(0, kDamaged.size(), kDamaged) == 0 || e.Message() == kWrongPin);
      }
    }
  } catch (const qv::CVorlentException& e) {
    QV_FUZZ_REQUIRE(e.Message().compare(0, kDamaged.size(), kDamaged) == 0);
  }
  return 0;
}
