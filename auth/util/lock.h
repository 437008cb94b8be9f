// A critical section: a lock that its owning thread may take again, with a
// spin count (tries before the thread sleeps). It also meets the standard
// Lockable requirements, so std::lock_guard and std::unique_lock take it.
#pragma once

#include <mutex>

namespace quor::auth::util {

class CriticalSection {
 public:
  // -1 takes the module default: 0 on a machine with one processor, 4000 with
  // more (read once).
  explicit CriticalSection(int spinCount = -1);
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  static int DefaultSpinCount();
  int SpinCount() const { return spin_; }

  void Enter();
  void Leave() { mutex_.unlock(); }
  // True when entered.
  bool TryEnter() { return mutex_.try_lock(); }

  void lock() { Enter(); }
  void unlock() { Leave(); }
  bool try_lock() { return TryEnter(); }

 private:
  std::recursive_mutex mutex_;
  int spin_;
};

}  // namespace quor::auth::util
