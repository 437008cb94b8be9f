// How much memory answers held whole may take: one answer, and all the
// answers of the calls in flight together. A call holds its share through an
// AnswerHold (in its call context); every layer that makes the answer whole
// says how large it has grown, and a call that would pass either limit is
// refused (E_OUTOFMEMORY with a clear text) while the other calls run on.
// Streamed answers hold a few pieces and are not counted.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/base/thread_annotations.h"
#include "platform/com/status.h"

namespace quor::com {

class AnswerBudget {
 public:
  // The process's one budget; its limits start at the machine's defaults.
  static AnswerBudget& Process();

  // 0 keeps a limit's default.
  void Configure(uint64_t perAnswer, uint64_t allAnswers);
  uint64_t PerAnswer() const { return perAnswer_.load(std::memory_order_relaxed); }
  uint64_t AllAnswers() const { return allAnswers_.load(std::memory_order_relaxed); }

  // An eighth and a quarter of the machine's memory.
  static uint64_t DefaultPerAnswer();
  static uint64_t DefaultAllAnswers();

 private:
  friend class AnswerHold;
  AnswerBudget();
  // Counted without a lock: a reservation that passes the limit is taken
  // back at once.
  std::atomic<uint64_t> perAnswer_;
  std::atomic<uint64_t> allAnswers_;
  std::atomic<uint64_t> inFlight_{0};
};

// One call's share of the budget, given back when it goes. Used by the
// call's own thread only.
class AnswerHold {
 public:
  explicit AnswerHold(AnswerBudget& budget = AnswerBudget::Process());
  ~AnswerHold();
  AnswerHold(const AnswerHold&) = delete;
  AnswerHold& operator=(const AnswerHold&) = delete;

  // The answer has grown to `bytes` (its largest whole form counts). Refused
  // when that passes a limit; the refusal is kept (Refusal()).
  Status Hold(uint64_t bytes);
  const std::string& Refusal() const { return refusal_; }
  uint64_t Held() const { return held_; }

 private:
  AnswerBudget& budget_;
  uint64_t held_ = 0;
  std::string refusal_;
};

// Hold() on the calling thread's call (see callcontext.h); nothing outside a
// call that has a hold.
Status HoldAnswer(uint64_t bytes);

}  // namespace quor::com
