#include "platform/text/url.h"

#include "platform/text/text.h"

namespace quor::text {

std::optional<UrlParts> SplitUrl(std::string_view text) {
  const size_t separator = text.find("://");
  if (separator == std::string_view::npos) return std::nullopt;
  UrlParts parts;
  parts.scheme = text.substr(0, separator);
  const std::string_view after = text.substr(separator + 3);
  size_t from = 0;
  if (after.starts_with('[')) {
    const size_t close = after.find(']');
    from = close == std::string_view::npos ? after.size() : close;
  }
  const size_t end = after.find_first_of("/?", from);
  parts.authority = after.substr(0, end);
  parts.rest = end == std::string_view::npos ? std::string_view() : after.substr(end);
  return parts;
}

std::optional<HostPort> SplitHostPort(std::string_view authority) {
  HostPort out;
  std::string_view after;
  if (authority.starts_with('[')) {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    out.host = authority.substr(1, close - 1);
    after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':') return std::nullopt;
  } else {
    const size_t colon = authority.find(':');
    out.host = authority.substr(0, colon);
    after = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
  }
  if (!after.empty()) {
    out.hasPort = true;
    out.port = after.substr(1);
  }
  return out;
}

std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.size() > 5 || !IsAsciiDigits(text)) return std::nullopt;
  const std::optional<uint32_t> n = ParseUInt32(text);
  if (!n || *n == 0 || *n > 65535) return std::nullopt;
  return static_cast<uint16_t>(*n);
}

}  // namespace quor::text
