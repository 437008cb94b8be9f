#include "platform/odbc/owner.h"

#include <execinfo.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

// Present in the sanitizers' runtimes: file and line for an address.
extern "C" void __sanitizer_symbolize_pc(void* pc, const char* format, char* out, size_t size)
    __attribute__((weak));

namespace quor::odbc {
namespace {

#ifdef QUOR_HANDLE_CHECKS
constexpr bool kChecks = true;
#else
constexpr bool kChecks = false;
#endif

pid_t ThisThread() {
  thread_local const pid_t id = ::gettid();
  return id;
}

void PrintStack(void* const* frames, int depth) {
  for (int i = 0; i < depth; ++i) {
    if (__sanitizer_symbolize_pc) {
      char line[1024];
      // The return address points after the call: look up the call itself.
      __sanitizer_symbolize_pc(static_cast<char*>(frames[i]) - 1, "%p in %f %L", line, sizeof line);
      std::fprintf(stderr, "    #%d %s\n", i, line);
    } else {
      std::fprintf(stderr, "    #%d ", i);
      std::fflush(stderr);
      backtrace_symbols_fd(const_cast<void**>(frames + i), 1, STDERR_FILENO);
    }
  }
}

}  // namespace

bool HandleChecksEnabled() { return kChecks; }

void HandleOwner::Take(const char* what) {
  if constexpr (!kChecks) return;
  const pid_t self = ThisThread();
  pid_t expected = 0;
  if (holder_.compare_exchange_strong(expected, self)) NoteTaken();
  else if (expected != self) Abort(what, expected);
}

void HandleOwner::NoteTaken() {
  MutexLock lock(stackLock_);
  takenDepth_ = backtrace(takenAt_.data(), static_cast<int>(takenAt_.size()));
}

void HandleOwner::Give() {
  if constexpr (!kChecks) return;
  holder_.store(0);
}

void HandleOwner::Check(const char* call) {
  if constexpr (!kChecks) return;
  const pid_t self = ThisThread();
  if (holder_.load(std::memory_order_relaxed) == self) return;
  Take(call);
}

void HandleOwner::CheckFree(const char* call) const {
  if constexpr (!kChecks) return;
  const pid_t holder = holder_.load(std::memory_order_relaxed);
  if (holder != 0 && holder != ThisThread()) Abort(call, holder);
}

void HandleOwner::Abort(const char* call, pid_t holder) const {
  std::fprintf(stderr, "\nERROR: database handle misuse: %s on thread %d, but thread %d holds the handle\n", call,
               static_cast<int>(ThisThread()), static_cast<int>(holder));
  std::fprintf(stderr, "  the call, on thread %d:\n", static_cast<int>(ThisThread()));
  void* here[48];
  PrintStack(here, backtrace(here, 48));
  {
    MutexLock lock(stackLock_);
    std::fprintf(stderr, "  thread %d took the handle here:\n", static_cast<int>(holder));
    PrintStack(takenAt_.data(), takenDepth_);
  }
  std::fflush(stderr);
  std::abort();
}

}  // namespace quor::odbc
