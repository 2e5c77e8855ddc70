#include "foundation/Guid.h"

#include <uuid/uuid.h>

#include <cctype>

namespace qv {

std::string NewBracedGuid() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_upper(id, text);
  return "{" + std::string(text) + "}";
}

std::string NewCompactGuid() {
  uuid_t id;
  uuid_generate_random(id);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(32);
  for (unsigned char b : id) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

}  // namespace qv
