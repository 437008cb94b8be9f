#include "platform/eventlog/eventlog.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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

// Bytes of a well-formed UTF-8 character at `at` (0 when there is none).
size_t Utf8Length(std::string_view s, size_t at) {
  const auto lead = static_cast<unsigned char>(s[at]);
  const size_t n = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                  : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  return n != 0 && at + n <= s.size() && text::IsValidUtf8(s.substr(at, n)) ? n : 0;
}

void AppendHexEscape(std::string& out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out += "\\x";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0xF]);
}

std::string Unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  const auto hex = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out.push_back(s[i]);
      continue;
    }
    switch (s[++i]) {
      case 't': out.push_back('\t'); break;
      case 'r': out.push_back('\r'); break;
      case 'n': out.push_back('\n'); break;
      case 'x':
        if (i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
          out.push_back(static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2])));
          i += 2;
          break;
        }
        [[fallthrough]];
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

// Request paths and other outside text reach the log: every control
// character (C0, DEL and C1) and every byte that is not UTF-8 is written as
// an escape, so one entry stays one printable line of UTF-8 text.
std::string EscapeText(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t n = Utf8Length(s, i);
    const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (n == 0 || c < 0x20 || c == 0x7F || c1) {
      // A stray byte alone, a C1 character byte by byte.
      for (size_t k = 0; k < std::max<size_t>(n, 1); ++k) AppendHexEscape(out, static_cast<unsigned char>(s[i + k]));
    } else {
      out.append(s.substr(i, n));
    }
    i += std::max<size_t>(n, 1);
  }
  return out;
}

EventSource::EventSource(std::string_view name) : name_(name) {}

void EventSource::Report(EventType type, uint32_t eventId, std::span<const std::string> strings) const {
  std::string message = text::Format("[%u]", eventId);
  for (const auto& s : strings) {
    message.push_back(' ');
    message += EscapeText(s);
  }
  SendSyslog(name_, type, message);

  const char* path = std::getenv("QUOR_EVENTLOG");
  if (!path || !*path) return;
  const auto t = time::LocalTime();
  std::string line = text::Format("%04d-%02d-%02d %02d:%02d:%02d.%03d\t%s\t%s\t%u", t.year, t.month, t.day, t.hour,
                                  t.minute, t.second, t.milliseconds, EscapeText(name_), TypeName(type), eventId);
  for (const auto& s : strings) {
    line.push_back('\t');
    line += EscapeText(s);
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
