#include "platform/eventlog/eventlog.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/base/unique_fd.h"
#include "platform/text/text.h"
#include "platform/time/clock.h"

namespace quor::eventlog {
namespace {

const char* TypeName(EventType type) {
  switch (type) {
    case EventType::Error: return "Error";
    case EventType::Warning: return "Warning";
    default: return "Information";
  }
}

int SyslogSeverity(EventType type) {
  switch (type) {
    case EventType::Error: return 3;
    case EventType::Warning: return 4;
    default: return 6;
  }
}

std::string Escape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string Unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out.push_back(s[i]);
      continue;
    }
    switch (s[++i]) {
      case 't': out.push_back('\t'); break;
      case 'r': out.push_back('\r'); break;
      case 'n': out.push_back('\n'); break;
      default: out.push_back(s[i]);
    }
  }
  return out;
}


// Sends one datagram to the local syslog socket under the source's own tag;
// openlog() would make the tag process-wide.
void SendSyslog(const std::string& source, EventType type, std::string_view message) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, "/dev/log", sizeof addr.sun_path - 1);
  const int facility_user = 1 << 3;
  std::string datagram = text::Format("<%d>%s[%d]: ", facility_user | SyslogSeverity(type), source,
                                      static_cast<int>(::getpid()));
  datagram.append(message);
  ::sendto(fd.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
           sizeof addr);
}

void AppendToFile(const char* path, std::string_view line) {
  UniqueFd fd(::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0) return;
  // One write per entry, so lines from several processes never interleave.
  const ssize_t written = ::write(fd.get(), line.data(), line.size());
  (void)written;
}

}  // namespace

EventSource::EventSource(std::string_view name) : name_(name) {}

void EventSource::Report(EventType type, uint32_t eventId, std::span<const std::string> strings) const {
  std::string message = text::Format("[%u]", eventId);
  for (const auto& s : strings) {
    message.push_back(' ');
    message += s;
  }
  SendSyslog(name_, type, message);

  const char* path = std::getenv("QUOR_EVENTLOG");
  if (!path || !*path) return;
  const auto t = time::LocalTime();
  std::string line = text::Format("%04d-%02d-%02d %02d:%02d:%02d.%03d\t%s\t%s\t%u", t.year, t.month, t.day, t.hour,
                                  t.minute, t.second, t.milliseconds, Escape(name_), TypeName(type), eventId);
  for (const auto& s : strings) {
    line.push_back('\t');
    line += Escape(s);
  }
  line.push_back('\n');
  AppendToFile(path, line);
}

bool ParseLine(std::string_view line, Entry& entry) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  const auto fields = text::Split(line, '\t');
  if (fields.size() < 4) return false;
  const auto id = text::ParseUInt32(fields[3]);
  if (!id) return false;
  entry.time = fields[0];
  entry.source = Unescape(fields[1]);
  entry.type = fields[2];
  entry.eventId = *id;
  entry.strings.clear();
  for (size_t i = 4; i < fields.size(); ++i) entry.strings.push_back(Unescape(fields[i]));
  return true;
}

}  // namespace quor::eventlog
