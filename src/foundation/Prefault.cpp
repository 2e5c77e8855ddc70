#include "foundation/Prefault.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <system_error>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace qv {

CPrefault::CPrefault(char* begin, std::size_t length) {
  if (length < kPrefaultMinimum) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(begin) + length) & ~(page - 1);
  if (end <= first) return;
  try {
    worker_ = std::thread([this, first, end] {
      constexpr std::uintptr_t kStep = 4 << 20;
      // from the back: a filler that works from the front meets the prefaulted pages at once
      // when it is slow, and halfway when it is as fast as the faults
      for (std::uintptr_t at = end; at > first && !stop_.load(std::memory_order_relaxed);) {
        const std::uintptr_t from = at - std::min(kStep, at - first);
        if (::madvise(reinterpret_cast<void*>(from), at - from, MADV_POPULATE_WRITE) != 0) return;
        at = from;
      }
    });
  } catch (const std::system_error&) {
    // no thread: the filler meets the faults itself
  }
}

CPrefault::~CPrefault() {
  stop_.store(true, std::memory_order_relaxed);
  if (worker_.joinable()) worker_.join();
}

}  // namespace qv
