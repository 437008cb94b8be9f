// One account of the memory calls hold: per call and for all calls of the
// process together. Whatever a call really holds is reserved here before it
// is taken, by whichever layer takes it:
//   - the request body while it is read (the listener);
//   - a content read from the repository (the content store);
//   - the copies a database driver makes of a long text it writes;
//   - the rows a driver reads whole before it hands out the first one;
//   - the side of a unified Query held to join the other against;
//   - a streamed answer's pieces waiting to be sent;
//   - an answer made whole (HoldAnswer).
// A reservation past the call's own limit (AnswerMemoryMB) is refused at
// once; one that the process cannot fit (AllAnswersMemoryMB) waits up to
// MemoryBudget::kWait for others to give room back, then is refused. Calls
// that grow as they read (a driver's rows) could all wait on each other:
// when the waiting calls hold so much that the oldest of them could not be
// served even were everything else given back, the youngest gives way at
// once. A small call (one that holds at most CallMemory::kLarge) is never
// held back by the others: what it holds is counted, but only large calls
// wait for room or are refused for the process's sake. A refusal is
// E_OUTOFMEMORY with a text naming the setting; the call fails with it and
// nothing else is disturbed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/thread_annotations.h"
#include "platform/com/status.h"

namespace quor::com {

// What a reservation is for: it names the holder in a refusal's text.
enum class MemoryUse { Answer, Request, Content, DriverRows, UnifiedSide, Pieces, Parameters };

class MemoryBudget {
 public:
  // How long a reservation waits for the process to have room.
  static constexpr std::chrono::milliseconds kWait{2000};
  // Once calls have held this much together, what they freed is given back
  // to the system when they are done.
  static constexpr uint64_t kTrimAfter = 64ull << 20;

  // The process's one budget; its limits start at the machine's defaults.
  static MemoryBudget& Process();

  // 0 keeps a limit's default.
  void Configure(uint64_t perCall, uint64_t allCalls);
  uint64_t PerCall() const { return perCall_.load(std::memory_order_relaxed); }
  uint64_t AllCalls() const { return allCalls_.load(std::memory_order_relaxed); }
  // What all calls hold now.
  uint64_t InUse() const QUOR_EXCLUDES(mutex_);

  // An eighth and a quarter of the machine's memory.
  static uint64_t DefaultPerCall();
  static uint64_t DefaultAllCalls();

 private:
  friend class CallMemory;
  MemoryBudget();
  // A call waiting for room: its age (lower is older), what it holds
  // already and what it asks.
  struct Waiter {
    uint64_t age;
    uint64_t held;
    uint64_t bytes;
  };
  // Takes `bytes` from the process's room for the call `waiter` describes,
  // waiting up to kWait for it when `wait`; false when there is none. `seen`
  // is what was in use then.
  bool Take(const Waiter& waiter, bool wait, uint64_t& seen) QUOR_EXCLUDES(mutex_);
  void Give(uint64_t bytes) QUOR_EXCLUDES(mutex_);
  // Whether `me` must give way now (see the top of this file).
  bool MustYield(const Waiter& me) const QUOR_REQUIRES(mutex_);

  std::atomic<uint64_t> perCall_;
  std::atomic<uint64_t> allCalls_;
  mutable Mutex mutex_;
  // Signalled when room is given back and someone waits for it.
  std::condition_variable_any room_;
  uint64_t inUse_ QUOR_GUARDED_BY(mutex_) = 0;
  // The most held since memory was last given back to the system.
  uint64_t highest_ QUOR_GUARDED_BY(mutex_) = 0;
  std::vector<const Waiter*> waiting_ QUOR_GUARDED_BY(mutex_);
  std::atomic<uint64_t> calls_{0};  // ages given out
};

// One call's account, shared by everything that holds memory for the call:
// the call's own thread, and the connection that reads its request and
// sends its answer (which may go on after the call returned). Reserve and
// Release from any thread.
class CallMemory {
 public:
  // A call that holds more than this is a large one (see OnLarge).
  static constexpr uint64_t kLarge = uint64_t{256} << 10;

  explicit CallMemory(MemoryBudget& budget = MemoryBudget::Process());
  // Gives back whatever is still reserved.
  ~CallMemory();
  CallMemory(const CallMemory&) = delete;
  CallMemory& operator=(const CallMemory&) = delete;

  // Takes `bytes` more for `use`, waiting a bounded time for the process to
  // have room. A refusal is kept (Refusal()) and changes nothing.
  Status Reserve(uint64_t bytes, MemoryUse use);
  // The same without waiting, for threads that must never block.
  Status TryReserve(uint64_t bytes, MemoryUse use);
  void Release(uint64_t bytes);
  uint64_t Held() const { return held_.load(std::memory_order_relaxed); }

  // The whole answer has grown to `bytes` (its largest whole form counts);
  // held until the account goes.
  Status HoldAnswer(uint64_t bytes);

  // The first refusal's text; empty while none happened.
  std::string Refusal() const QUOR_EXCLUDES(mutex_);

  // Runs `hook` once, on the thread whose Reserve first makes the call hold
  // more than kLarge (never from TryReserve): the carrier moves a large
  // call off the workers that small calls need. Set before the call runs.
  void OnLarge(std::function<void()> hook) { large_ = std::move(hook); }
  bool Large() const { return Held() > kLarge; }
  // The call is large whatever it holds (its database may work long before
  // it answers): the hook runs now, on the calling thread, unless it ran.
  void MarkLarge();

 private:
  Status Take(uint64_t bytes, MemoryUse use, bool wait);

  MemoryBudget& budget_;
  const uint64_t age_;
  std::atomic<uint64_t> held_{0};
  std::atomic<uint64_t> answer_{0};  // of held_, what HoldAnswer took
  std::function<void()> large_;
  std::atomic<bool> wentLarge_{false};
  mutable Mutex mutex_;
  std::string refusal_ QUOR_GUARDED_BY(mutex_);
};

// A part of a call's account held by one owner for as long as it holds the
// memory: grown and shrunk with it, given back when it goes. Without an
// account it counts nothing. One owner (thread) at a time; movable.
class MemoryHold {
 public:
  MemoryHold() = default;
  MemoryHold(std::shared_ptr<CallMemory> account, MemoryUse use) : account_(std::move(account)), use_(use) {}
  ~MemoryHold() { ShrinkTo(0); }
  MemoryHold(MemoryHold&& other) noexcept
      : account_(std::move(other.account_)), use_(other.use_), held_(std::exchange(other.held_, 0)) {}
  MemoryHold& operator=(MemoryHold&& other) noexcept;
  MemoryHold(const MemoryHold&) = delete;
  MemoryHold& operator=(const MemoryHold&) = delete;

  // Holds `bytes` in all: more is reserved (waiting a bounded time), less
  // given back.
  Status GrowTo(uint64_t bytes);
  // Without waiting.
  Status TryGrowTo(uint64_t bytes);
  void ShrinkTo(uint64_t bytes);
  uint64_t Held() const { return held_; }
  const std::shared_ptr<CallMemory>& Account() const { return account_; }

 private:
  std::shared_ptr<CallMemory> account_;
  MemoryUse use_ = MemoryUse::Answer;
  uint64_t held_ = 0;
};

// The calling thread's call's account (see callcontext.h); null outside a
// call that has one.
const std::shared_ptr<CallMemory>& CurrentCallMemory();
// A hold on it for `use` (counting nothing outside such a call).
MemoryHold HoldForCall(MemoryUse use);
// CallMemory::HoldAnswer on it; nothing outside such a call.
Status HoldAnswer(uint64_t bytes);

}  // namespace quor::com
