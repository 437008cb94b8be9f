// HTTP/1.1 on a loopback connection of its own, written and read by hand, for
// the tests that must see what no client of ours sends or shows (PUT, DELETE,
// headers, broken framing). The answer is read until the server closes.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "platform/base/unique_fd.h"
#include "testing/Loopback.h"

namespace quor::test {

struct RawAnswer {
  int status = 0;                             // 0: no HTTP answer came
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;                           // and anything the server sent after it
  bool closed = false;                        // the server closed within the wait
};

// Sends `request` as it stands (a request, several, or a broken one) on a
// connection of its own and reads what comes until the server closes.
inline RawAnswer RawExchange(int port, std::string_view request,
                             std::chrono::seconds wait = std::chrono::seconds(60)) {
  RawAnswer a;
  const UniqueFd fd = ConnectLoopback(port);
  if (!fd.valid()) return a;
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    // A server that answers early may stop reading: its answer still counts.
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string in;
  const auto until = std::chrono::steady_clock::now() + wait;
  while (!a.closed && std::chrono::steady_clock::now() < until) a.closed = !ReadSome(fd.get(), in);
  const size_t end = in.find("\r\n\r\n");
  if (!in.starts_with("HTTP/1.1 ") || end == std::string::npos) return a;
  a.status = std::atoi(in.c_str() + 9);
  for (size_t at = in.find("\r\n") + 2; at < end;) {
    const size_t eol = in.find("\r\n", at);
    const std::string line = in.substr(at, eol - at);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const size_t value = line.find_first_not_of(' ', colon + 1);
      a.headers[name] = value == std::string::npos ? std::string() : line.substr(value);
    }
    at = eol + 2;
  }
  a.body = in.substr(end + 4);
  return a;
}

// An HTTP/1.1 request's text: `headers` (each ending in CR LF) after the
// host, a text/xml body with its length.
inline std::string RequestText(std::string_view method, std::string_view path, std::string_view body = {},
                               std::string_view headers = {}) {
  std::string request = std::string(method) + " " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                        std::string(headers) + "Content-Type: text/xml\r\n";
  if (!body.empty() || method == "POST" || method == "PUT")
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "\r\n";
  request += body;
  return request;
}

inline RawAnswer RawRequest(int port, std::string_view method, std::string_view path, std::string_view body = {},
                            std::chrono::seconds wait = std::chrono::seconds(60)) {
  return RawExchange(port, RequestText(method, path, body, "Connection: close\r\n"), wait);
}

}  // namespace quor::test
