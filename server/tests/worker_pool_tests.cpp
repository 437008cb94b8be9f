// The workers: calls that stand aside leave the workers' number whole, so
// work queued after them runs at once; past the bound they keep their
// worker; joining waits for every thread, those aside too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "server/worker_pool.h"

namespace quor::soap {
namespace {

using namespace std::chrono_literals;

// Work that stays until the gate opens.
struct Gate {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
  void Wait() {
    std::unique_lock lock(mutex);
    opened.wait(lock, [&] { return open; });
  }
  void Open() {
    {
      std::lock_guard lock(mutex);
      open = true;
    }
    opened.notify_all();
  }
};

TEST(WorkerPoolTest, WorkAsideLeavesTheWorkersToOtherWork) {
  Gate gate;
  std::atomic<int> aside{0}, refused{0}, done{0}, quick{0};
  {
    WorkerPool pool(2, 3);
    EXPECT_FALSE(WorkerPool::StepAside());  // not on a pool's thread
    for (int i = 0; i < 5; ++i)
      pool.Post([&] {
        (WorkerPool::StepAside() ? aside : refused)++;
        gate.Wait();
        ++done;
      });
    // Three stood aside; the two refused hold both workers until the gate opens.
    for (auto until = std::chrono::steady_clock::now() + 10s;
         aside + refused < 5 && std::chrono::steady_clock::now() < until;)
      std::this_thread::sleep_for(1ms);
    EXPECT_EQ(aside.load(), 3);
    EXPECT_EQ(refused.load(), 2);
    EXPECT_EQ(pool.Aside(), 3u);
    gate.Open();
    // Threads that stood aside end with their work; the workers go on.
    for (int i = 0; i < 100; ++i) pool.Post([&] { ++quick; });
    for (auto until = std::chrono::steady_clock::now() + 10s;
         (pool.Aside() > 0 || quick < 100) && std::chrono::steady_clock::now() < until;)
      std::this_thread::sleep_for(1ms);
    EXPECT_EQ(pool.Aside(), 0u);
  }
  EXPECT_EQ(done.load(), 5);
  EXPECT_EQ(quick.load(), 100);
}

TEST(WorkerPoolTest, SmallWorkRunsWhileEveryWorkerStandsAside) {
  Gate gate;
  std::atomic<bool> ran{false};
  WorkerPool pool(1, 8);
  for (int i = 0; i < 4; ++i)
    pool.Post([&] {
      WorkerPool::StepAside();
      gate.Wait();
    });
  const auto start = std::chrono::steady_clock::now();
  pool.Post([&] { ran = true; });
  while (!ran && std::chrono::steady_clock::now() - start < 10s) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(ran.load());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  gate.Open();
  pool.Join();
  EXPECT_EQ(pool.Aside(), 0u);
}

}  // namespace
}  // namespace quor::soap
