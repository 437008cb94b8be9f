// A critical section: a lock that its owning thread may take again, with a
// spin count (tries before the thread sleeps). It also meets the standard
// Lockable requirements, so std::lock_guard and std::unique_lock take it.
//
// For the thread-safety analysis (platform/base/thread_annotations.h) it is a
// capability, held for a scope by a CriticalSectionLock: state written as
// guarded by a critical section is reached under one. Enter, Leave and the
// Lockable calls are left out of the analysis, which knows no lock that its
// owner may take again.
#pragma once

#include <mutex>

#include "platform/base/thread_annotations.h"

namespace quor::auth::util {

class QUOR_CAPABILITY("mutex") CriticalSection {
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

class QUOR_SCOPED_CAPABILITY CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& section) QUOR_ACQUIRE(section) : section_(section) { section_.Enter(); }
  ~CriticalSectionLock() QUOR_RELEASE() { section_.Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection& section_;
};

}  // namespace quor::auth::util
