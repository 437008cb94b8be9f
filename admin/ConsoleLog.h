// The console's optional trace file, "VeltLog.log" in the current folder,
// switched on by the registry value Software\Velt "Log" = "on". One per
// process; lines are written and flushed one at a time.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/base/thread_annotations.h"

namespace quor::admin {

class ConsoleLog {
 public:
  // The process's log; reads the "Log" value when first used.
  static ConsoleLog& Instance();

  // Closes an open file, then opens "VeltLog.log" for appending.
  void Open() QUOR_EXCLUDES(lock_);
  void Close() QUOR_EXCLUDES(lock_);
  bool IsOpen() const QUOR_EXCLUDES(lock_);
  void SetPrefix(std::string_view prefix) QUOR_EXCLUDES(lock_);
  // "<prefix> <local time> <text>" when the file is open.
  void Write(std::string_view text) QUOR_EXCLUDES(lock_);
  void WriteError(long number) QUOR_EXCLUDES(lock_);

 private:
  ConsoleLog();
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  mutable Mutex lock_;
  std::string prefix_ QUOR_GUARDED_BY(lock_);
  std::unique_ptr<std::FILE, FileCloser> file_ QUOR_GUARDED_BY(lock_);
};

}  // namespace quor::admin
