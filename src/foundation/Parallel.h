// Work spread over the processors: the one helper that runs independent pieces of work on a few
// threads, the calling thread among them.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace qv {

// The most threads InParallel takes, the calling thread included.
constexpr unsigned kMostParallelThreads = 4;

// The threads InParallel may take: 0 (as at start) for as many as there are processors, at most
// kMostParallelThreads; 1 runs everything on the calling thread. For the whole process: the
// tests compare what several threads make with what one makes.
void SetParallelThreads(unsigned threads);
// The threads InParallel takes now for `count` pieces of work.
unsigned ParallelThreads(std::size_t count);

// Runs `work(i)` for every i below `count` on ParallelThreads(count) threads, the calling thread
// among them; with no thread to be had, on the calling thread alone. `work` throws nothing.
template <class Work>
void InParallel(std::size_t count, const Work& work) {
  std::atomic<std::size_t> next{0};
  auto run = [&] {
    for (std::size_t i = next++; i < count; i = next++) work(i);
  };
  const std::size_t wanted = ParallelThreads(count);
  std::vector<std::thread> threads;
  try {
    while (threads.size() + 1 < wanted) threads.emplace_back(run);
  } catch (const std::system_error&) {
    // fewer threads
  }
  run();
  for (std::thread& thread : threads) thread.join();
}

}  // namespace qv
