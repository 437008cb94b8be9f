// The event log: a named source writes error, warning and information entries
// with an event id and its strings. Entries go to syslog under the source's
// name and, when QUOR_EVENTLOG names a file, to that file, one line each:
//   <local time>\t<source>\t<Error|Warning|Information>\t<id>\t<string>\t...
// Inside the source and the strings, backslash, tab, CR and LF are written as
// \\ \t \r \n, and every other control character (below 0x20, 0x7F, and
// U+0080 to U+009F) and every byte that is not part of UTF-8 as \xNN, one
// escape per byte; syslog gets the strings escaped the same way. So an entry
// is always one line of printable UTF-8, whatever text it carries.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quor::eventlog {

enum class EventType : uint16_t { Error = 1, Warning = 2, Information = 4 };

class EventSource {
 public:
  explicit EventSource(std::string_view name);

  const std::string& name() const { return name_; }

  // Never fails the caller: an unreachable syslog or log file loses the entry.
  void Report(EventType type, uint32_t eventId, std::span<const std::string> strings) const;
  void Report(EventType type, uint32_t eventId, std::initializer_list<std::string> strings) const {
    Report(type, eventId, std::span<const std::string>(strings.begin(), strings.size()));
  }

 private:
  std::string name_;
};

// The escape above, for other log lines that carry outside text.
std::string EscapeText(std::string_view s);

// One line of the log file, split back into its fields (for readers and tests).
struct Entry {
  std::string time;
  std::string source;
  std::string type;
  uint32_t eventId = 0;
  std::vector<std::string> strings;
};
bool ParseLine(std::string_view line, Entry& entry);

}  // namespace quor::eventlog
