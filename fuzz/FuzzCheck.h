// Invariant checks of the fuzz targets: a broken invariant names itself and aborts, so
// libFuzzer keeps the input and the replay test fails.
#pragma once

#include <openssl/crypto.h>

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

// OpenSSL keeps the last errors of a thread in a ring of its own and frees their texts only
// when a slot is reused, so a failing input seems to leave memory behind and libFuzzer runs
// its whole-heap leak check after it. Declared first in a target, this frees the thread's
// state when the input is done: the run is balanced again and a real leak still shows.
struct ThreadStateRelease {
  ThreadStateRelease() = default;
  ThreadStateRelease(const ThreadStateRelease&) = delete;
  ThreadStateRelease& operator=(const ThreadStateRelease&) = delete;
  ~ThreadStateRelease() { OPENSSL_thread_stop(); }
};

}  // namespace qvfuzz
