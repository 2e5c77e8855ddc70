#include "foundation/Parallel.h"

namespace qv {
namespace {

std::atomic<unsigned> g_threads{0};

}  // namespace

void SetParallelThreads(unsigned threads) {
  g_threads = threads;
}

unsigned ParallelThreads(std::size_t count) {
  const unsigned set = g_threads.load();
  const unsigned most = set ? set : std::max(1u, std::thread::hardware_concurrency());
  return static_cast<unsigned>(
      std::min<std::size_t>({most, kMostParallelThreads, std::max<std::size_t>(count, 1)}));
}

unsigned WholePieceThreads(std::size_t count) {
  if (ParallelThreads(count) < 2 || g_threads.load()) return ParallelThreads(count);
  return static_cast<unsigned>(std::min<std::size_t>(kMostParallelThreads, count));
}

}  // namespace qv
