// The soak's own HTTP on bare sockets, for what the console's client never
// does: connect from another loopback address, trickle a request, leave a
// connection idle, send what is not a request, and close before the answer.
// RawSession signs in and signs requests as the console's client does, so a
// request can be sent whole and its connection dropped before the answer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "auth/mac.h"
#include "platform/base/unique_fd.h"
#include "platform/soap/dispatcher.h"
#include "platform/soap/envelope.h"

namespace quor::soak {

using namespace std::chrono_literals;

// A connection to 127.0.0.1:port, from `from` (another loopback address)
// when given; invalid when it cannot be made.
inline UniqueFd Dial(int port, const char* from = nullptr) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  if (from) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return UniqueFd();
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(port));
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) return UniqueFd();
  const int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Sends everything, waiting at most `limit` in all; false when the peer
// went or the time ran out.
inline bool SendAll(int fd, std::string_view data, std::chrono::milliseconds limit = 30s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left <= 0ms) return false;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 100)));
  }
  return true;
}

struct RawReply {
  int status = 0;         // 0: no HTTP answer came
  bool closed = false;    // the server closed the connection
  bool timedOut = false;  // nothing more came within the limit
  std::string body;
};

// Reads one answer: until its Content-Length is complete, the server closes
// or `limit` passes.
inline RawReply ReadReply(int fd, std::chrono::milliseconds limit) {
  RawReply r;
  std::string in;
  size_t headEnd = std::string::npos, want = std::string::npos;
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (headEnd != std::string::npos && want != std::string::npos && in.size() >= headEnd + 4 + want) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left <= 0ms) {
      r.timedOut = true;
      break;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 100))) <= 0) continue;
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      r.closed = true;
      break;
    }
    in.append(buffer, static_cast<size_t>(n));
    if (headEnd == std::string::npos && (headEnd = in.find("\r\n\r\n")) != std::string::npos) {
      std::string head = in.substr(0, headEnd);
      for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const size_t length = head.find("\r\ncontent-length:");
      if (length != std::string::npos) want = std::strtoull(head.c_str() + length + 17, nullptr, 10);
    }
  }
  if (in.starts_with("HTTP/1.")) r.status = std::atoi(in.c_str() + 9);
  if (headEnd != std::string::npos) r.body = in.substr(headEnd + 4);
  return r;
}

// Whether the server closed `fd` within `limit` (anything it sends first is
// read and dropped).
inline bool ClosedWithin(int fd, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return true;
  }
  return false;
}

// A POST with the given body, asking the server to close afterwards.
inline std::string PostText(std::string_view path, std::string_view body, std::string_view extraHeaders = {}) {
  std::string request = "POST " + std::string(path) +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; charset=utf-8\r\n"
                        "Connection: close\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n" + std::string(extraHeaders) + "\r\n";
  request += body;
  return request;
}

// One request on a connection of its own: the answer.
inline RawReply Exchange(int port, std::string_view request, std::chrono::milliseconds limit = 30s,
                         const char* from = nullptr) {
  UniqueFd fd = Dial(port, from);
  if (!fd.valid() || !SendAll(fd.get(), request, limit)) return {};
  return ReadReply(fd.get(), limit);
}

// The outputs of a SOAP answer by position; empty with `fault` set for a fault.
inline std::vector<std::string> AnswerOutputs(std::string_view body, HRESULT& fault) {
  fault = S_OK;
  std::vector<std::string> outputs;
  const quor::Result<soap::Answer> answer = soap::ParseAnswer(body);
  if (!answer.ok()) {
    fault = E_FAIL;
    return outputs;
  }
  if (answer->isFault) {
    fault = answer->fault.status;
    return outputs;
  }
  for (const soap::NamedValue& v : answer->outputs) outputs.push_back(v.value.ToUtf8());
  return outputs;
}

// A session made and used on bare sockets: requests signed exactly as the
// console's client signs them.
class RawSession {
 public:
  // CreateTicket and OpenSession; false with the reason.
  bool SignIn(int port, std::string_view user, std::string_view password, std::string& why) {
    port_ = port;
    const soap::NamedValue ticketParams[] = {{"authority", com::Bstr(u"")},
                                             {"realm", com::Bstr(u"")},
                                             {"principal", com::Bstr::FromUtf8(user)},
                                             {"credential", com::Bstr::FromUtf8(password)}};
    HRESULT fault = S_OK;
    const RawReply ticketReply =
        Exchange(port, PostText(soap::kCorePath, soap::WriteRequest("CreateTicket", ticketParams)));
    const std::vector<std::string> ticket = AnswerOutputs(ticketReply.body, fault);
    if (ticket.empty()) {
      why = "CreateTicket: HTTP " + std::to_string(ticketReply.status) + " " + soap::FormatStatus(fault);
      return false;
    }
    auth::TokenHandlerPtr handler;
    com::Bstr scheme, seed;
    if (FAILED(auth::AcquireClientTokenHandler(com::Bstr(), &handler)) || !handler ||
        FAILED(auth::GetTokenScheme(handler.get(), &scheme)) || FAILED(auth::GetTokenSeed(handler.get(), &seed))) {
      why = "no client token handler";
      return false;
    }
    const soap::NamedValue sessionParams[] = {{"service", com::Bstr(u"qsc")},
                                              {"ticket", com::Bstr::FromUtf8(ticket[0])},
                                              {"tokenScheme", scheme},
                                              {"tokenSeed", seed}};
    const RawReply sessionReply =
        Exchange(port, PostText(soap::kCorePath, soap::WriteRequest("OpenSession", sessionParams)));
    const std::vector<std::string> session = AnswerOutputs(sessionReply.body, fault);
    if (session.size() < 3 ||
        FAILED(auth::SetTokenItem(handler.get(), com::Bstr(auth::kSessionKeyItem), com::Bstr::FromUtf8(session[1]))) ||
        FAILED(auth::SetTokenItem(handler.get(), com::Bstr(auth::kOpaqueItem), com::Bstr::FromUtf8(session[2])))) {
      why = "OpenSession: HTTP " + std::to_string(sessionReply.status) + " " + soap::FormatStatus(fault);
      return false;
    }
    handler_ = std::move(handler);
    return true;
  }

  // The whole HTTP request of a signed call; empty when no token could be made.
  std::string Request(std::string_view method, std::span<const std::pair<std::string, std::string>> params) {
    if (!handler_) return {};
    if (FAILED(auth::SetTokenData(handler_.get(), 0, 0, com::Bstr::FromUtf8(method), com::Bstr(u"")))) return {};
    std::vector<soap::NamedValue> values;
    uint32_t item = 1;
    for (const auto& [name, value] : params) {
      if (FAILED(auth::SetTokenData(handler_.get(), item++, 0, com::Bstr::FromUtf8(name), com::Bstr::FromUtf8(value))))
        return {};
      values.push_back({name, com::Bstr::FromUtf8(value)});
    }
    com::Bstr token;
    if (FAILED(auth::ConstructToken(handler_.get(), &token))) return {};
    values.insert(values.begin(), soap::NamedValue{"user", token});
    return PostText(soap::kCorePath, soap::WriteRequest(method, values));
  }

 private:
  int port_ = 0;
  auth::TokenHandlerPtr handler_;
};

}  // namespace quor::soak
