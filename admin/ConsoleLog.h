// The console's optional trace file, "VeltLog.log" in the current folder,
// switched on by the registry value Software\Velt "Log" = "on". One per
// process; lines are written and flushed one at a time.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace quor::admin {

class ConsoleLog {
 public:
  // The process's log; reads the "Log" value when first used.
  static ConsoleLog& Instance();

  // Closes an open file, then opens "VeltLog.log" for appending.
  void Open();
  void Close();
  bool IsOpen() const;
  void SetPrefix(std::string_view prefix);
  // "<prefix> <local time> <text>" when the file is open.
  void Write(std::string_view text);
  void WriteError(long number);

 private:
  ConsoleLog();
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  mutable std::mutex lock_;
  std::string prefix_;
  std::unique_ptr<std::FILE, FileCloser> file_;
};

}  // namespace quor::admin
