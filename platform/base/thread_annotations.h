// Which lock guards which state, written so that clang's -Wthread-safety
// checks it (scripts/check_thread_safety.py runs it in test.sh); other
// compilers see plain code. Mutex and MutexLock are std::mutex and
// std::lock_guard with the capability the analysis follows; RecursiveMutex
// and RecursiveMutexLock the same for std::recursive_mutex.
#pragma once

#include <mutex>

#if defined(__clang__)
#define QUOR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUOR_THREAD_ANNOTATION(x)
#endif

#define QUOR_CAPABILITY(name) QUOR_THREAD_ANNOTATION(capability(name))
#define QUOR_SCOPED_CAPABILITY QUOR_THREAD_ANNOTATION(scoped_lockable)
#define QUOR_GUARDED_BY(lock) QUOR_THREAD_ANNOTATION(guarded_by(lock))
#define QUOR_PT_GUARDED_BY(lock) QUOR_THREAD_ANNOTATION(pt_guarded_by(lock))
#define QUOR_REQUIRES(...) QUOR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QUOR_EXCLUDES(...) QUOR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QUOR_ACQUIRE(...) QUOR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QUOR_RELEASE(...) QUOR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QUOR_TRY_ACQUIRE(...) QUOR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QUOR_ACQUIRED_AFTER(...) QUOR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define QUOR_ACQUIRED_BEFORE(...) QUOR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define QUOR_NO_THREAD_SAFETY_ANALYSIS QUOR_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace quor {

class QUOR_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() QUOR_ACQUIRE() { mutex_.lock(); }
  void unlock() QUOR_RELEASE() { mutex_.unlock(); }
  bool try_lock() QUOR_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

class QUOR_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) QUOR_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() QUOR_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// A lock its holder may take again, for a holder re-entered through calls
// the analysis cannot see (a loaded library's start-up); the analysis treats
// it as a Mutex, so one function taking it twice is reported.
class QUOR_CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() QUOR_ACQUIRE() { mutex_.lock(); }
  void unlock() QUOR_RELEASE() { mutex_.unlock(); }
  bool try_lock() QUOR_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

class QUOR_SCOPED_CAPABILITY RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex& mutex) QUOR_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~RecursiveMutexLock() QUOR_RELEASE() { mutex_.unlock(); }
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  RecursiveMutex& mutex_;
};

}  // namespace quor
