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

// The most threads InParallel and InParallelWhole take, the calling thread included.
constexpr unsigned kMostParallelThreads = 4;

// The threads InParallel and InParallelWhole may take: 0 (as at start) for as many as there are
// processors (InParallelWhole: as there are pieces when there is more than one), at most
// kMostParallelThreads; 1 runs everything on the calling thread. For the whole process: the
// tests compare what several threads make with what one makes.
void SetParallelThreads(unsigned threads);
// The threads InParallel takes now for `count` pieces of work.
unsigned ParallelThreads(std::size_t count);
// The threads InParallelWhole takes now for `count` pieces: one each, up to
// kMostParallelThreads, when there is more than one processor.
unsigned WholePieceThreads(std::size_t count);

// Runs `work(i)` for every i below `count` on `wanted` threads, the calling thread among them;
// with no thread to be had, on the calling thread alone. `work` throws nothing.
template <class Work>
void RunOnThreads(std::size_t count, std::size_t wanted, const Work& work) {
  std::atomic<std::size_t> next{0};
  auto run = [&] {
    for (std::size_t i = next++; i < count; i = next++) work(i);
  };
  std::vector<std::thread> threads;
  try {
    while (threads.size() + 1 < wanted) threads.emplace_back(run);
  } catch (const std::system_error&) {
    // fewer threads
  }
  run();
  for (std::thread& thread : threads) thread.join();
}

// Pieces of work that can be cut as finely as one likes (pieces of one file): as many threads
// as processors.
template <class Work>
void InParallel(std::size_t count, const Work& work) {
  RunOnThreads(count, ParallelThreads(count), work);
}

// Pieces that each run whole on one thread (the digest of one document): a thread for each, so
// that the processors share them evenly. Three documents of one size on two processors then
// take one and a half times as long as one, not twice, as when one processor took two of them.
template <class Work>
void InParallelWhole(std::size_t count, const Work& work) {
  RunOnThreads(count, WholePieceThreads(count), work);
}

}  // namespace qv
