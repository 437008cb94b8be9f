// Side-by-side timing for the benchmarks that drive quor-server: runs one
// call in a loop on N threads for a fixed time and keeps each latency.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

namespace quor::bench {

struct Result {
  size_t calls = 0, failures = 0;
  double perSecond = 0, medianUs = 0, p99Us = 0;
};

// `setUp()` runs once per thread before the clock starts and gives the
// thread's state (a pointer-like value; null counts every call as failed);
// `call(state)` makes one call and says whether it succeeded.
template <typename SetUp, typename Call>
Result Measure(int clients, std::chrono::duration<double> length, SetUp setUp, Call call) {
  using namespace std::chrono;
  std::vector<std::vector<double>> latencies(clients);
  std::atomic<size_t> failures{0};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < clients; ++t) {
    threads.emplace_back([&, t] {
      auto state = setUp();
      ++ready;
      while (!go) std::this_thread::yield();
      const auto end = steady_clock::now() + duration_cast<steady_clock::duration>(length);
      auto& mine = latencies[t];
      mine.reserve(100000);
      while (steady_clock::now() < end) {
        const auto start = steady_clock::now();
        const bool ok = state && call(*state);
        mine.push_back(duration<double, std::micro>(steady_clock::now() - start).count());
        if (!ok) ++failures;
      }
    });
  }
  while (ready < clients) std::this_thread::sleep_for(milliseconds(5));
  const auto started = steady_clock::now();
  go = true;
  for (auto& t : threads) t.join();
  const double seconds = duration<double>(steady_clock::now() - started).count();
  std::vector<double> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  Result r;
  r.calls = all.size();
  r.failures = failures;
  r.perSecond = static_cast<double>(all.size()) / seconds;
  if (!all.empty()) {
    r.medianUs = all[all.size() / 2];
    r.p99Us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  }
  return r;
}

}  // namespace quor::bench
