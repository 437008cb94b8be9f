// The soak's counters: calls by kind with their latencies, expected refusals
// and unexpected failures by kind and reason, and a few failure texts kept
// for the report. Every client thread counts into a book of its own (its
// lock is taken by the thread and, now and then, by the reporter), so the
// counting costs no contention; memory stays bounded however long the run.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quor::soak {

using Clock = std::chrono::steady_clock;

// Latencies in microseconds, in buckets of about 6% (16 steps per power of
// two), from 1 us to beyond an hour.
class Histogram {
 public:
  static constexpr int kSteps = 16;
  static constexpr int kPowers = 40;

  void Add(uint64_t us) {
    ++counts_[Index(us)];
    ++total_;
  }
  void Merge(const Histogram& other) {
    for (size_t i = 0; i < counts_.size(); ++i) counts_[i] += other.counts_[i];
    total_ += other.total_;
  }
  uint64_t Total() const { return total_; }
  // The value below which `share` of the samples lie (a bucket's middle).
  double Quantile(double share) const {
    if (total_ == 0) return 0;
    const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(share * static_cast<double>(total_) + 0.5));
    uint64_t seen = 0;
    for (size_t i = 0; i < counts_.size(); ++i) {
      seen += counts_[i];
      if (seen >= rank) return Middle(i);
    }
    return Middle(counts_.size() - 1);
  }

 private:
  static size_t Index(uint64_t us) {
    if (us < kSteps) return static_cast<size_t>(us);
    const int power = std::bit_width(us) - 1;  // >= 4
    const uint64_t step = (us >> (power - 4)) & (kSteps - 1);
    const size_t index = static_cast<size_t>(power - 3) * kSteps + step;
    return std::min(index, static_cast<size_t>(kPowers * kSteps - 1));
  }
  static double Middle(size_t index) {
    if (index < kSteps) return static_cast<double>(index);
    const int power = static_cast<int>(index / kSteps) + 3;
    const double low = std::ldexp(static_cast<double>(kSteps + index % kSteps), power - 4);
    return low + std::ldexp(1.0, power - 4) / 2;
  }

  std::array<uint32_t, kPowers * kSteps> counts_{};
  uint64_t total_ = 0;
};

// What one kind of call came to.
struct KindTally {
  uint64_t ok = 0, refused = 0, failed = 0, explained = 0;
  Histogram latency;

  void Merge(const KindTally& other) {
    ok += other.ok;
    refused += other.refused;
    failed += other.failed;
    explained += other.explained;
    latency.Merge(other.latency);
  }
  uint64_t Calls() const { return ok + refused + failed + explained; }
};

enum class Verdict {
  Ok,         // the right answer
  Refused,    // a refusal the call may meet (a lock held by another user, a wrong password)
  Failed,     // anything else: a fault, a wrong answer, no answer
  Explained,  // a failure while the database was being restarted
};

// The counts of one thread.
class Book {
 public:
  void Count(std::string_view kind, Verdict verdict, std::chrono::microseconds took, std::string_view reason) {
    std::lock_guard guard(lock_);
    KindTally& tally = Tally(kind);
    tally.latency.Add(static_cast<uint64_t>(std::max<int64_t>(0, took.count())));
    switch (verdict) {
      case Verdict::Ok: ++tally.ok; break;
      case Verdict::Refused:
        ++tally.refused;
        ++refusals_[Key(kind, reason)];
        break;
      case Verdict::Failed:
        ++tally.failed;
        ++failures_[Key(kind, reason)];
        break;
      case Verdict::Explained:
        ++tally.explained;
        ++explained_[Key(kind, reason)];
        break;
    }
  }

  // Adds this book into the totals.
  void MergeInto(std::map<std::string, KindTally, std::less<>>& kinds,
                 std::map<std::string, uint64_t, std::less<>>& refusals,
                 std::map<std::string, uint64_t, std::less<>>& failures,
                 std::map<std::string, uint64_t, std::less<>>& explained) const {
    std::lock_guard guard(lock_);
    for (const auto& [kind, tally] : kinds_) kinds[kind].Merge(tally);
    for (const auto& [key, n] : refusals_) refusals[key] += n;
    for (const auto& [key, n] : failures_) failures[key] += n;
    for (const auto& [key, n] : explained_) explained[key] += n;
  }

 private:
  KindTally& Tally(std::string_view kind) {
    auto it = kinds_.find(kind);
    if (it == kinds_.end()) it = kinds_.emplace(std::string(kind), KindTally{}).first;
    return it->second;
  }
  // Reasons are short status texts ("0x8100006F"); a long one is cut so
  // that the keys stay few.
  static std::string Key(std::string_view kind, std::string_view reason) {
    return std::string(kind) + " " + std::string(reason.substr(0, 60));
  }

  mutable std::mutex lock_;
  std::map<std::string, KindTally, std::less<>> kinds_;
  std::map<std::string, uint64_t, std::less<>> refusals_, failures_, explained_;
};

// Every thread's book, and the first failure texts of the run.
class Books {
 public:
  Book& NewBook() {
    std::lock_guard guard(lock_);
    books_.push_back(std::make_unique<Book>());
    return *books_.back();
  }
  struct Totals {
    std::map<std::string, KindTally, std::less<>> kinds;
    std::map<std::string, uint64_t, std::less<>> refusals, failures, explained;
  };
  Totals Sum() const {
    Totals t;
    std::lock_guard guard(lock_);
    for (const auto& book : books_) book->MergeInto(t.kinds, t.refusals, t.failures, t.explained);
    return t;
  }
  // Keeps the first `kKept` texts of unexpected failures (with the time into
  // the run) and the last one, so the report shows where it began.
  void Note(double secondsIn, std::string text) {
    if (text.size() > 600) text = text.substr(0, 600) + "...";
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%8.1f s] ", secondsIn);
    std::lock_guard guard(lock_);
    ++noted_;
    if (first_.size() < kKept) first_.push_back(stamp + text);
    else last_ = stamp + text;
  }
  std::vector<std::string> Notes(uint64_t& total) const {
    std::lock_guard guard(lock_);
    total = noted_;
    std::vector<std::string> out = first_;
    if (!last_.empty()) out.push_back("(last) " + last_);
    return out;
  }

 private:
  static constexpr size_t kKept = 25;
  mutable std::mutex lock_;
  std::vector<std::unique_ptr<Book>> books_;
  std::vector<std::string> first_;
  std::string last_;
  uint64_t noted_ = 0;
};

}  // namespace quor::soak
