#include "foundation/Parallel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

using namespace qv;

namespace {

// Runs three whole pieces; each waits, up to two seconds, for the other two to start. Gives how
// many were running at once at most, and the threads.
std::size_t AtOnce(std::set<std::thread::id>& threads) {
  std::mutex lock;
  std::condition_variable started;
  std::size_t running = 0, most = 0;
  InParallelWhole(3, [&](std::size_t) {
    std::unique_lock<std::mutex> guard(lock);
    threads.insert(std::this_thread::get_id());
    most = std::max(most, ++running);
    started.notify_all();
    started.wait_for(guard, std::chrono::seconds(2), [&] { return running == 3; });
  });
  return most;
}

}  // namespace

// Documents are digested whole, one on each thread: three of them on two processors must share
// both, not leave one processor idle while the other digests the last one.
TEST(Parallel, WholePiecesRunAllAtOnceAndOneThreadRunsThemInTurn) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one processor";
  std::set<std::thread::id> threads;
  EXPECT_EQ(AtOnce(threads), 3u);
  EXPECT_EQ(threads.size(), 3u);

  SetParallelThreads(1);
  threads.clear();
  InParallelWhole(3, [&](std::size_t) { threads.insert(std::this_thread::get_id()); });
  EXPECT_EQ(threads, std::set<std::thread::id>{std::this_thread::get_id()});
  SetParallelThreads(0);
}
