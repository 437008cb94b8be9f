#include "admin/ConsoleLog.h"

#include <ctime>

#include "admin/RegistryAccess.h"
#include "platform/text/text.h"

namespace quor::admin {

ConsoleLog& ConsoleLog::Instance() {
  static ConsoleLog log;
  return log;
}

ConsoleLog::ConsoleLog() {
  RegistryAccess registry;
  if (text::EqualsNoCase(registry.ReadText("", "Log"), "on")) Open();
}

void ConsoleLog::Open() {
  MutexLock guard(lock_);
  file_.reset();
  file_.reset(std::fopen("VeltLog.log", "a"));
}

void ConsoleLog::Close() {
  MutexLock guard(lock_);
  file_.reset();
}

bool ConsoleLog::IsOpen() const {
  MutexLock guard(lock_);
  return file_ != nullptr;
}

void ConsoleLog::SetPrefix(std::string_view prefix) {
  MutexLock guard(lock_);
  prefix_ = prefix;
}

void ConsoleLog::Write(std::string_view line) {
  MutexLock guard(lock_);
  if (!file_) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(file_.get(), "%s %s %.*s\n", prefix_.c_str(), stamp, static_cast<int>(line.size()), line.data());
  std::fflush(file_.get());
}

void ConsoleLog::WriteError(long number) { Write(text::Format("Error (%d)", number)); }

}  // namespace quor::admin
