#include "server/http_text.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/text/text.h"

namespace quor::soap {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Hex(std::string_view s, size_t at, size_t count, int& out) {
  if (at + count > s.size()) return false;
  out = 0;
  for (size_t i = at; i < at + count; ++i) {
    const int d = HexDigit(s[i]);
    if (d < 0) return false;
    out = out * 16 + d;
  }
  return true;
}

std::optional<uint64_t> Digits(std::string_view v) {
  if (v.empty() || v.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  return text::ParseUInt64(v);
}

// Optional white space of a header field: spaces and tabs only.
std::string_view TrimOws(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::string DecodeUrl(std::string_view s, bool plusIsSpace) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    int v = 0;
    if (s[i] == '%' && i + 1 < s.size() && s[i + 1] == 'u' && Hex(s, i + 2, 4, v)) {
      if (v < 0xD800 || v >= 0xE000) {
        if (v < 0x80) {
          out += static_cast<char>(v);
        } else if (v < 0x800) {
          out += static_cast<char>(0xC0 | (v >> 6));
          out += static_cast<char>(0x80 | (v & 0x3F));
        } else {
          out += static_cast<char>(0xE0 | (v >> 12));
          out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
          out += static_cast<char>(0x80 | (v & 0x3F));
        }
      }
      i += 5;
    } else if (s[i] == '%' && Hex(s, i + 1, 2, v)) {
      out += static_cast<char>(v);
      i += 2;
    } else {
      out += plusIsSpace && s[i] == '+' ? ' ' : s[i];
    }
  }
  return out;
}

bool ByteRange(std::string_view header, uint64_t size, uint64_t& first, uint64_t& last, bool& satisfiable) {
  if (!header.starts_with("bytes=")) return false;
  const std::string_view range = text::TrimAscii(header.substr(6));
  const size_t dash = range.find('-');
  if (dash == std::string_view::npos || range.find(',') != std::string_view::npos) return false;
  const std::string_view from = text::TrimAscii(range.substr(0, dash)), to = text::TrimAscii(range.substr(dash + 1));
  const auto a = Digits(from), b = Digits(to);
  if ((!from.empty() && !a) || (!to.empty() && !b) || (!a && !b)) return false;
  if (from.empty()) {  // the last *b bytes
    satisfiable = *b > 0 && size > 0;
    first = size - std::min(*b, size);
    last = size - 1;
    return true;
  }
  if (b && *b < *a) return false;
  satisfiable = *a < size;
  first = *a;
  last = b ? std::min(*b, size - 1) : size - 1;
  return true;
}

PathCheck PathSegments(std::string_view relative, std::vector<std::string>& segments) {
  for (std::string& s : text::Split(relative, '/')) {
    if (s.empty() || s == ".") continue;
    if (s == ".." || s.find('\\') != std::string::npos || s.find('\0') != std::string::npos) return PathCheck::Refused;
    segments.push_back(std::move(s));
  }
  return segments.empty() ? PathCheck::Empty : PathCheck::Ok;
}

std::vector<std::string_view> HeaderList(std::string_view value) {
  std::vector<std::string_view> out;
  for (const std::string_view element : text::SplitViews(value, ','))
    if (const std::string_view e = TrimOws(element); !e.empty()) out.push_back(e);
  return out;
}

TransferCoding ReadTransferCoding(const std::vector<std::string_view>& values) {
  if (values.empty()) return TransferCoding::None;
  std::vector<std::string_view> codings;
  for (const std::string_view v : values)
    for (const std::string_view c : HeaderList(v)) codings.push_back(c);
  if (codings.empty()) return TransferCoding::Empty;
  // Anything besides chunked alone would hand the body on still encoded.
  if (codings.size() == 1 && text::EqualsNoCase(codings.front(), "chunked")) return TransferCoding::Chunked;
  return TransferCoding::Unknown;
}

bool ParseCount(std::string_view value, uint64_t min, uint64_t max, uint64_t& out) {
  const auto n = Digits(value);
  if (!n || *n < min || *n > max) return false;
  out = *n;
  return true;
}

std::string_view MimeType(std::string_view name) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {".xml", "text/xml"},          {".xsl", "text/xml"},         {".wsdl", "text/xml"},
      {".html", "text/html"},        {".htm", "text/html"},        {".txt", "text/plain"},
      {".csv", "text/csv"},          {".css", "text/css"},         {".js", "application/javascript"},
      {".json", "application/json"}, {".png", "image/png"},        {".gif", "image/gif"},
      {".jpg", "image/jpeg"},        {".jpeg", "image/jpeg"},      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},      {".pdf", "application/pdf"},  {".zip", "application/zip"},
  };
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    const std::string_view ext = name.substr(dot);
    for (const auto& [e, type] : kTypes)
      if (text::EqualsNoCase(e, ext)) return type;
  }
  return "application/octet-stream";
}

std::string_view ReasonPhrase(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    default: return "Error";
  }
}

}  // namespace quor::soap
