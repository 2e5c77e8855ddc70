// The GOST engine never frees an object identifier it makes while it decrypts a Kuznyechik or
// Magma message: not a leak of this library, so what a thread allocates while an
// EngineLeaksIgnored lives is left out of the leak check. Shared by the fuzz targets and the tests.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define QV_ENGINE_LEAKS_IGNORED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_ENGINE_LEAKS_IGNORED 1
#endif
#endif
#ifdef QV_ENGINE_LEAKS_IGNORED
#include <sanitizer/lsan_interface.h>
#endif

class EngineLeaksIgnored {
 public:
#ifdef QV_ENGINE_LEAKS_IGNORED
  EngineLeaksIgnored() {
    __lsan_disable();
  }
  ~EngineLeaksIgnored() {
    __lsan_enable();
  }
#else
  EngineLeaksIgnored() {}
  ~EngineLeaksIgnored() {}
#endif
  EngineLeaksIgnored(const EngineLeaksIgnored&) = delete;
  EngineLeaksIgnored& operator=(const EngineLeaksIgnored&) = delete;
};
