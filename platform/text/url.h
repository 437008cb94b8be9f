// The one reader of "scheme://authority/rest" texts (HTTP URLs, directory
// paths, the resource folder's base URL). It only splits; what a part may
// hold is the caller's rule.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quor::text {

struct UrlParts {
  std::string_view scheme;     // before "://"
  std::string_view authority;  // up to the first '/' or '?' outside brackets
  std::string_view rest;       // from there on (empty, or starting with '/' or '?')
};

// Nothing for a text without "://".
std::optional<UrlParts> SplitUrl(std::string_view text);

struct HostPort {
  std::string_view host;  // without the brackets of an IPv6 address
  std::string_view port;  // after the ':' (may be empty: "host:")
  bool hasPort = false;
};

// "host", "host:port", "[v6]" or "[v6]:port"; nothing for an unclosed
// bracket or text after one that is not ":port". The host may come out empty.
std::optional<HostPort> SplitHostPort(std::string_view authority);

// Decimal digits only, 1 to 65535.
std::optional<uint16_t> ParsePort(std::string_view text);

}  // namespace quor::text
