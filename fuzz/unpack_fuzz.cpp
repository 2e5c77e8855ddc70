// A compressed document's content: any bytes must give the unpacked bytes or a library
// error, never a crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Errors.h"
#include "package/Archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qv::ExtractLimits limits;
  limits.maxEntrySize = 16 << 20;
  try {
    qv::COsAbbreviaTool::UnpackSingleFile(std::string(reinterpret_cast<const char*>(data), size), limits);
  } catch (const qv::CVorlentException&) {
  }
  return 0;
}
