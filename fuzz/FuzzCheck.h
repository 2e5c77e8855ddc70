// Invariant checks of the fuzz targets: a broken invariant names itself and aborts, so
// libFuzzer keeps the input and the replay test fails.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#define QV_FUZZ_REQUIRE(condition)                                                           \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

namespace qvfuzz {

// `text` is only upper-case hexadecimal digits, an even number of them.
inline bool IsUpperHex(const std::string& text) {
  if (text.size() % 2 != 0) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// A dotted object identifier ("1.2.643.7.1.1.1.1"), or empty.
inline bool IsDottedOidOrEmpty(const std::string& text) {
  if (text.empty()) return true;
  bool digit = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && digit) {
      digit = false;
    } else {
      return false;
    }
  }
  return digit;
}

}  // namespace qvfuzz
