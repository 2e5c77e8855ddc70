// A write-only BIO that appends everything written to it to a std::string, so that large
// outputs land in their final buffer without a further copy.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Ossl.h"

namespace qv {

// `target` must outlive the BIO.
BioPtr StringSinkBio(std::string& target);

// Where an OverwriteBio writes: over `data` from its beginning, never onto the bytes that
// `reader`, a memory BIO whose bytes end at `data + readerEnd`, has not yet given out (such a
// write is refused); `written` counts the bytes written. A message decrypted where it lies.
struct OverwriteTarget {
  char* data = nullptr;
  BIO* reader = nullptr;
  std::size_t readerEnd = 0;
  std::size_t written = 0;
};

// `target` and the memory it names must outlive the BIO.
BioPtr OverwriteBio(OverwriteTarget& target);

}  // namespace qv
