#include "platform/com/memory_budget.h"

#include <malloc.h>
#include <unistd.h>

#include "platform/com/callcontext.h"
#include "platform/com/hresult.h"
#include "platform/text/text.h"

namespace quor::com {
namespace {

uint64_t MachineMemory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || size <= 0) return uint64_t{4} << 30;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

unsigned long long Megabytes(uint64_t bytes) { return (bytes + (1u << 20) - 1) >> 20; }

std::string_view Holder(MemoryUse use) {
  switch (use) {
    case MemoryUse::Answer: return "its answer";
    case MemoryUse::Request: return "its request";
    case MemoryUse::Content: return "the content it reads";
    case MemoryUse::DriverRows: return "the rows the database driver reads whole";
    case MemoryUse::UnifiedSide: return "the answers it unifies";
    case MemoryUse::Pieces: return "the pieces of its answer waiting to be sent";
    case MemoryUse::Parameters: return "the copies the database driver makes of the text it writes";
  }
  return "its data";
}

}  // namespace

// ---- The process's budget -----------------------------------------------------------

MemoryBudget& MemoryBudget::Process() {
  static MemoryBudget budget;  // module-wide: every call of the process shares it
  return budget;
}

MemoryBudget::MemoryBudget() : perCall_(DefaultPerCall()), allCalls_(DefaultAllCalls()) {}

uint64_t MemoryBudget::DefaultPerCall() { return MachineMemory() / 8; }
uint64_t MemoryBudget::DefaultAllCalls() { return MachineMemory() / 4; }

void MemoryBudget::Configure(uint64_t perCall, uint64_t allCalls) {
  perCall_.store(perCall ? perCall : DefaultPerCall(), std::memory_order_relaxed);
  allCalls_.store(allCalls ? allCalls : DefaultAllCalls(), std::memory_order_relaxed);
  // A larger limit may make room for those waiting.
  MutexLock lock(mutex_);
  if (!waiting_.empty()) room_.notify_all();
}

uint64_t MemoryBudget::InUse() const {
  MutexLock lock(mutex_);
  return inUse_;
}

bool MemoryBudget::Take(const Waiter& me, bool wait, uint64_t& seen) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  MutexLock lock(mutex_);
  if (inUse_ + me.bytes <= AllCalls() || me.held + me.bytes <= CallMemory::kLarge) {
    inUse_ += me.bytes;
    highest_ = std::max(highest_, inUse_);
    return true;
  }
  bool taken = false;
  if (wait) {
    waiting_.push_back(&me);
    // The youngest may have to give way to one that came before it.
    room_.notify_all();
    for (;;) {
      if (inUse_ + me.bytes <= AllCalls()) {
        inUse_ += me.bytes;
        highest_ = std::max(highest_, inUse_);
        taken = true;
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline || MustYield(me)) break;
      room_.wait_until(mutex_, deadline);
    }
    std::erase(waiting_, &me);
    // Another may now be the youngest.
    if (!taken) room_.notify_all();
  }
  seen = inUse_;
  return taken;
}

bool MemoryBudget::MustYield(const Waiter& me) const {
  uint64_t held = 0;
  const Waiter* oldest = nullptr;
  const Waiter* youngest = nullptr;
  for (const Waiter* w : waiting_) {
    held += w->held;
    if (!oldest || w->age < oldest->age) oldest = w;
    if (!youngest || w->age > youngest->age) youngest = w;
  }
  return youngest == &me && held + oldest->bytes > AllCalls();
}

void MemoryBudget::Give(uint64_t bytes) {
  bool trim = false;
  {
    MutexLock lock(mutex_);
    inUse_ -= std::min(bytes, inUse_);
    if (!waiting_.empty()) room_.notify_all();
    // Large calls have ended: the pages they freed stay in malloc's free
    // lists, not the system's, until someone asks for them back.
    if (highest_ >= kTrimAfter && inUse_ <= kTrimAfter / 8) {
      highest_ = inUse_;
      trim = true;
    }
  }
  if (trim) malloc_trim(0);
}

// ---- One call's account -------------------------------------------------------------

CallMemory::CallMemory(MemoryBudget& budget) : budget_(budget), age_(budget.calls_.fetch_add(1)) {}

CallMemory::~CallMemory() {
  if (const uint64_t held = held_.load(); held) budget_.Give(held);
}

Status CallMemory::Reserve(uint64_t bytes, MemoryUse use) { return Take(bytes, use, true); }
Status CallMemory::TryReserve(uint64_t bytes, MemoryUse use) { return Take(bytes, use, false); }

Status CallMemory::Take(uint64_t bytes, MemoryUse use, bool wait) {
  if (bytes == 0) return Status();
  // The call's own limit first: no wait can make room under it.
  const uint64_t before = held_.fetch_add(bytes);
  if (before + bytes > budget_.PerCall()) {
    held_.fetch_sub(bytes);
    const std::string why = text::Format(
        "The call would hold more than %llu MB in memory for %s, the most one call may hold (AnswerMemoryMB).",
        Megabytes(budget_.PerCall()), std::string(Holder(use)));
    MutexLock lock(mutex_);
    if (refusal_.empty()) refusal_ = why;
    return Status(E_OUTOFMEMORY, why);
  }
  uint64_t seen = 0;
  if (!budget_.Take({age_, before, bytes}, wait, seen)) {
    held_.fetch_sub(bytes);
    const std::string why = text::Format(
        "The calls in progress already hold %llu MB; %s would pass the %llu MB they may hold together "
        "(AllAnswersMemoryMB).",
        Megabytes(seen), std::string(Holder(use)), Megabytes(budget_.AllCalls()));
    MutexLock lock(mutex_);
    if (refusal_.empty()) refusal_ = why;
    return Status(E_OUTOFMEMORY, why);
  }
  if (wait && before + bytes > kLarge) MarkLarge();
  return Status();
}

void CallMemory::MarkLarge() {
  if (large_ && !wentLarge_.exchange(true)) large_();
}

void CallMemory::Release(uint64_t bytes) {
  if (bytes == 0) return;
  held_.fetch_sub(bytes);
  budget_.Give(bytes);
}

Status CallMemory::HoldAnswer(uint64_t bytes) {
  // Only the call's own thread grows its answer.
  const uint64_t held = answer_.load(std::memory_order_relaxed);
  if (bytes <= held) return Status();
  QUOR_RETURN_IF_ERROR(Reserve(bytes - held, MemoryUse::Answer));
  answer_.store(bytes, std::memory_order_relaxed);
  return Status();
}

std::string CallMemory::Refusal() const {
  MutexLock lock(mutex_);
  return refusal_;
}

// ---- A holder's part ----------------------------------------------------------------

MemoryHold& MemoryHold::operator=(MemoryHold&& other) noexcept {
  if (this != &other) {
    ShrinkTo(0);
    account_ = std::move(other.account_);
    use_ = other.use_;
    held_ = std::exchange(other.held_, 0);
  }
  return *this;
}

Status MemoryHold::GrowTo(uint64_t bytes) {
  if (!account_ || bytes <= held_) {
    ShrinkTo(bytes);
    return Status();
  }
  QUOR_RETURN_IF_ERROR(account_->Reserve(bytes - held_, use_));
  held_ = bytes;
  return Status();
}

Status MemoryHold::TryGrowTo(uint64_t bytes) {
  if (!account_ || bytes <= held_) {
    ShrinkTo(bytes);
    return Status();
  }
  QUOR_RETURN_IF_ERROR(account_->TryReserve(bytes - held_, use_));
  held_ = bytes;
  return Status();
}

void MemoryHold::ShrinkTo(uint64_t bytes) {
  if (!account_ || bytes >= held_) return;
  account_->Release(held_ - bytes);
  held_ = bytes;
}

// ---- The calling thread's call ------------------------------------------------------

const std::shared_ptr<CallMemory>& CurrentCallMemory() { return CurrentCallContext().memory; }

MemoryHold HoldForCall(MemoryUse use) { return MemoryHold(CurrentCallMemory(), use); }

Status HoldAnswer(uint64_t bytes) {
  const std::shared_ptr<CallMemory>& account = CurrentCallMemory();
  return account ? account->HoldAnswer(bytes) : Status();
}

}  // namespace quor::com
