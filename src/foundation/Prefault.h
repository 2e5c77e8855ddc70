// Memory about to be filled slowly (by a cipher, a byte stream) is made present ahead of the
// filler on a thread of its own, so that the filler does not stop at every new page: on a
// machine whose memory comes back from the host only when it is first touched, a page fault
// of fresh memory costs several microseconds.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>

namespace qv {

// Makes the pages of [begin, begin + length) present, from the back, until done or destroyed.
// The bytes are not changed: the kernel only maps the pages (zeroed, when new) that nobody has
// touched yet, so the owner may write the range meanwhile. Nothing happens for less than
// kPrefaultMinimum bytes or where the kernel cannot do it.
class CPrefault {
 public:
  static constexpr std::size_t kPrefaultMinimum = 16 << 20;

  CPrefault(char* begin, std::size_t length);
  ~CPrefault();
  CPrefault(const CPrefault&) = delete;
  CPrefault& operator=(const CPrefault&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread worker_;
};

}  // namespace qv
