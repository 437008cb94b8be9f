// Which thread may use a database handle. A connection and its statements
// belong to the thread that holds their lease: the one that opened the
// connection, or the one a pool handed it to. The holder gives the handle up
// (Give) when the lease ends and the next holder takes it (Take, or its first
// call on the handle); a call from any other thread aborts at once with the
// stack of that call and the stack where the holder took the handle. Checked
// in debug and sanitizer builds (QUOR_HANDLE_CHECKS); elsewhere every member
// returns at once.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>

#include "platform/base/thread_annotations.h"

namespace quor::odbc {

// Whether this build checks handle ownership.
bool HandleChecksEnabled();

class HandleOwner {
 public:
  HandleOwner() = default;
  HandleOwner(const HandleOwner&) = delete;
  HandleOwner& operator=(const HandleOwner&) = delete;

  // The calling thread holds the handle from now on; it must not be held by
  // another thread.
  void Take(const char* what);
  // Nobody holds the handle until the next Take.
  void Give();
  // A call on the handle: aborts unless the calling thread holds it; when
  // nobody holds it, the calling thread takes it.
  void Check(const char* call);
  // Closing or freeing: also allowed when nobody holds the handle (a pooled
  // connection dropped by whichever thread clears the pool).
  void CheckFree(const char* call) const;

 private:
  [[noreturn]] void Abort(const char* call, pid_t holder) const;
  void NoteTaken();

  // 0: nobody holds the handle.
  std::atomic<pid_t> holder_{0};
  // Where the holder took the handle; written by the holder, read by the
  // thread that reports a misuse.
  mutable Mutex stackLock_;
  std::array<void*, 48> takenAt_ QUOR_GUARDED_BY(stackLock_){};
  int takenDepth_ QUOR_GUARDED_BY(stackLock_) = 0;
};

}  // namespace quor::odbc
