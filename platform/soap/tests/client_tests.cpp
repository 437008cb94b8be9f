// The HTTP client against real loopback sockets that misbehave: nobody
// listening, a peer that never answers, one that hangs up half-way, one that
// does not speak HTTP. Every failure is a clear status and text, and never
// leaves an earlier answer behind.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/com/errorinfo.h"
#include "platform/soap/http_client.h"

using namespace quor;
using namespace quor::soap;
using namespace std::chrono_literals;

namespace {

// A loopback listener whose every connection is handled by `behave`.
class RawPeer {
 public:
  explicit RawPeer(std::function<void(int fd, const std::atomic<bool>& stop)> behave) : behave_(std::move(behave)) {
    listen_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listen_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_.get(), 8) != 0 ||
        ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
      ADD_FAILURE() << "cannot listen";
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{listen_.get(), POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        UniqueFd c(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (c.valid()) behave_(c.get(), stop_);
      }
    });
  }
  ~RawPeer() {
    stop_ = true;
    thread_.join();
  }
  std::string Url(std::string_view path = "/x.sod") const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
  }

 private:
  std::function<void(int, const std::atomic<bool>&)> behave_;
  UniqueFd listen_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Reads what the client sends up to the end of its headers (and a little more).
void ReadRequest(int fd) {
  std::string in;
  char buffer[4096];
  while (in.find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    in.append(buffer, n);
  }
}

void Send(int fd, std::string_view s) { (void)!::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }

// An answer from an earlier call, which a failure must not leave behind.
quor::Result<HttpReply> Stale() {
  HttpReply r;
  r.status = 200;
  r.contentType = "text/xml";
  r.body = "<earlier/>";
  return r;
}

void ExpectCleared(const quor::Result<HttpReply>& r) { EXPECT_FALSE(r.ok()) << r->body; }

// A call's status, its text kept in `error` for the checks after it.
quor::Status Kept(quor::Status status, std::string& error) {
  error = status.message();
  return status;
}

}  // namespace

TEST(HttpClientTest, UrlsAreReadStrictly) {
  quor::Result<HttpUrl> u = ParseHttpUrl("http://localhost/QuorService/QuorServiceCore.sod");
  ASSERT_TRUE(u.ok()) << u.status().message();
  EXPECT_EQ(u->host, "localhost");
  EXPECT_EQ(u->port, 80);
  EXPECT_EQ(u->target, "/QuorService/QuorServiceCore.sod");
  u = ParseHttpUrl("HTTP://127.0.0.1:8080");
  ASSERT_TRUE(u.ok()) << u.status().message();
  EXPECT_EQ(u->port, 8080);
  EXPECT_EQ(u->target, "/");
  u = ParseHttpUrl("http://[::1]:81/a?wsdl");
  ASSERT_TRUE(u.ok()) << u.status().message();
  EXPECT_EQ(u->host, "::1");
  EXPECT_EQ(u->port, 81);
  EXPECT_EQ(u->target, "/a?wsdl");
  u = ParseHttpUrl("http://h?x=1");
  ASSERT_TRUE(u.ok()) << u.status().message();
  EXPECT_EQ(u->target, "/?x=1");
  u = ParseHttpUrl("HTTPS://h/x");
  ASSERT_TRUE(u.ok()) << u.status().message();
  EXPECT_TRUE(u->tls);
  EXPECT_EQ(u->port, 443);

  for (std::string_view bad : {"ftp://h/", "httpx://h/", "h:80/x", "http:///x", "http://h:0/", "http://h:65536/",
                               "http://h:8x/", "http://h:/", "http://u:p@h/", "http://h/a b", "http://h/a#f",
                               "http://[::1/x", "http://[::1]x/"}) {
    u = ParseHttpUrl(bad);
    EXPECT_FALSE(u.ok()) << bad;
    EXPECT_FALSE(u.status().message().empty()) << bad;
  }

  // The statuses tell a scheme we do not speak from a URL we cannot read.
  HttpClient client;
  quor::Result<HttpReply> reply = Stale();
  reply = client.Post("ftp://127.0.0.1/x", "b");
  EXPECT_EQ(reply.status().code(), kHttpUnsupportedScheme);
  const std::string why = reply.status().message();
  EXPECT_NE(why.find("only http:// and https://"), std::string::npos) << why;
  ExpectCleared(reply);
  reply = Stale();
  reply = client.Get("http://127.0.0.1:99999/x");
  EXPECT_EQ(reply.status().code(), kHttpInvalidUrl);
  ExpectCleared(reply);
}

TEST(HttpClientTest, TransportFailuresAreClearAndLeaveNoStaleAnswer) {
  // Nobody listening: a port that was just free.
  int closedPort = 0;
  {
    RawPeer gone([](int, const std::atomic<bool>&) {});
    closedPort = std::stoi(gone.Url().substr(17));
  }
  HttpClient client(HttpClient::Options{.timeout = 500ms});
  quor::Result<HttpReply> reply = Stale();
  std::string error;
  const std::string refusedUrl = "http://127.0.0.1:" + std::to_string(closedPort) + "/x.sod";
  reply = client.Post(refusedUrl, "<x/>");
  error = reply.status().message();
  EXPECT_EQ(reply.status().code(), kHttpCannotConnect);
  ExpectCleared(reply);
  EXPECT_NE(error.find(refusedUrl), std::string::npos) << error;
  // The same text is the thread's error information.
  auto info = com::GetErrorInfo();
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->code, kHttpCannotConnect);
  EXPECT_EQ(info->description.ToUtf8(), error);

  // A peer that takes the request and never answers: the time-out ends it.
  RawPeer silent([](int fd, const std::atomic<bool>& stop) {
    ReadRequest(fd);
    while (!stop) std::this_thread::sleep_for(10ms);
  });
  reply = Stale();
  const auto started = std::chrono::steady_clock::now();
  reply = client.Post(silent.Url(), "<x/>");
  error = reply.status().message();
  EXPECT_EQ(reply.status().code(), kHttpTimeout);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, 450ms);
  EXPECT_LT(took, 5s);
  EXPECT_NE(error.find("500 ms"), std::string::npos) << error;
  ExpectCleared(reply);

  // A peer that promises 100 bytes, sends 5 and hangs up.
  RawPeer halfway([](int fd, const std::atomic<bool>&) {
    ReadRequest(fd);
    Send(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 100\r\n\r\nshort");
  });
  reply = Stale();
  reply = client.Post(halfway.Url(), "<x/>");
  error = reply.status().message();
  EXPECT_EQ(reply.status().code(), kHttpConnectionAborted) << error;
  ExpectCleared(reply);

  // A peer that does not speak HTTP.
  RawPeer garbage([](int fd, const std::atomic<bool>&) {
    ReadRequest(fd);
    Send(fd, "SSH-2.0-OpenSSH_9.2\r\n\r\n");
  });
  reply = Stale();
  error.clear();
  reply = client.Post(garbage.Url(), "<x/>");
  error = reply.status().message();
  EXPECT_TRUE(FAILED(reply.status().code()));
  EXPECT_FALSE(error.empty());
  ExpectCleared(reply);

  // A fault answered with 500 is a delivered answer, not a transport failure;
  // and the same client fails cleanly right after it.
  RawPeer fault([](int fd, const std::atomic<bool>&) {
    ReadRequest(fd);
    Send(fd, "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/xml\r\nContent-Length: 7\r\n"
             "Connection: close\r\n\r\n<fault>");
  });
  reply = client.Post(fault.Url(), "<x/>");
  error = reply.status().message();
  EXPECT_EQ(reply.status().code(), S_OK) << error;
  EXPECT_EQ(reply->status, 500);
  EXPECT_EQ(reply->body, "<fault>");
  EXPECT_EQ(reply->contentType, "text/xml");
  reply = client.Post(refusedUrl, "<x/>");
  error = reply.status().message();
  EXPECT_EQ(reply.status().code(), kHttpCannotConnect);
  ExpectCleared(reply);
}

// ---- Answers handed over as they arrive -------------------------------------------

namespace {

// Reads one whole request (head and Content-Length body); false when the
// client closed or sent nothing for 2 s.
bool ReadWholeRequest(int fd) {
  std::string in;
  char buffer[4096];
  size_t need = std::string::npos;
  while (need == std::string::npos || in.size() < need) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return false;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    in.append(buffer, static_cast<size_t>(n));
    const size_t end = in.find("\r\n\r\n");
    if (need == std::string::npos && end != std::string::npos) {
      const size_t at = in.find("Content-Length: ");
      need = end + 4 + (at == std::string::npos || at > end ? 0 : std::stoul(in.substr(at + 16)));
    }
  }
  return true;
}

std::string Chunk(std::string_view data) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + std::string(data) + "\r\n";
}

// Everything a receiver saw.
struct Received {
  std::vector<HttpHead> heads;
  std::vector<std::string> pieces;
  std::vector<std::chrono::steady_clock::time_point> times;
  std::string Body() const {
    std::string all;
    for (const std::string& p : pieces) all += p;
    return all;
  }
};

HttpReceiver Into(Received& r, size_t stopAfter = SIZE_MAX) {
  return {
      .head =
          [&r](const HttpHead& head) {
            r.heads.push_back(head);
            return true;
          },
      .body =
          [&r, stopAfter](std::string_view piece) {
            r.pieces.emplace_back(piece);
            r.times.push_back(std::chrono::steady_clock::now());
            return r.pieces.size() < stopAfter;
          },
  };
}

constexpr std::string_view kChunkedHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nTransfer-Encoding: chunked\r\n\r\n";

}  // namespace

TEST(HttpClientTest, StreamedAnswersArriveInPiecesAndSucceedOnlyWhole) {
  HttpClient client(HttpClient::Options{.timeout = 2000ms});
  std::string error;

  // Chunks with pauses between them, twice on one kept-alive connection:
  // the first piece is handed over long before the last chunk is sent.
  std::atomic<int> connections{0};
  std::atomic<std::chrono::steady_clock::time_point> lastSent;
  RawPeer chunked([&](int fd, const std::atomic<bool>&) {
    ++connections;
    while (ReadWholeRequest(fd)) {
      Send(fd, kChunkedHead);
      for (std::string_view part : {"<a>", "first piece", "second; with ext", "</a>"}) {
        Send(fd, Chunk(part));
        std::this_thread::sleep_for(100ms);
      }
      lastSent = std::chrono::steady_clock::now();
      Send(fd, "0\r\n\r\n");
    }
  });
  for (int call = 0; call < 2; ++call) {
    Received r;
    ASSERT_EQ(Kept(client.Post(chunked.Url(), "<x/>", Into(r)), error).code(), S_OK) << error;
    ASSERT_EQ(r.heads.size(), 1u);
    EXPECT_EQ(r.heads[0].status, 200);
    EXPECT_EQ(r.heads[0].contentType, "text/xml; charset=utf-8");
    EXPECT_TRUE(r.heads[0].chunked);
    EXPECT_FALSE(r.heads[0].Unsized());
    EXPECT_EQ(r.Body(), "<a>first piecesecond; with ext</a>");
    ASSERT_GE(r.pieces.size(), 3u);
    EXPECT_LT(r.times.front() + 250ms, lastSent.load());
  }
  EXPECT_EQ(connections, 1);

  // A length, and no length at all (the body ends when the server closes).
  RawPeer sized([](int fd, const std::atomic<bool>&) {
    ReadWholeRequest(fd);
    Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
  });
  Received r;
  ASSERT_EQ(Kept(client.Post(sized.Url(), "<x/>", Into(r)), error).code(), S_OK) << error;
  EXPECT_EQ(r.heads.at(0).contentLength, 5u);
  EXPECT_FALSE(r.heads[0].chunked);
  EXPECT_EQ(r.Body(), "hello");
  RawPeer unsized([](int fd, const std::atomic<bool>&) {
    ReadWholeRequest(fd);
    Send(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil ");
    std::this_thread::sleep_for(50ms);
    Send(fd, "the end");
  });
  r = {};
  ASSERT_EQ(Kept(client.Post(unsized.Url(), "<x/>", Into(r)), error).code(), S_OK) << error;
  EXPECT_TRUE(r.heads.at(0).Unsized());
  EXPECT_EQ(r.Body(), "until the end");

  // A receiver that stops: E_ABORT, and the client goes on.
  r = {};
  EXPECT_EQ(Kept(client.Post(chunked.Url(), "<x/>", Into(r, 1)), error).code(), E_ABORT);
  EXPECT_EQ(r.pieces.size(), 1u);
  EXPECT_NE(error.find("stopped by the reader"), std::string::npos) << error;
  r = {};
  ASSERT_EQ(Kept(client.Post(sized.Url(), "<x/>", Into(r)), error).code(), S_OK) << error;
  EXPECT_EQ(r.Body(), "hello");
}

TEST(HttpClientTest, AnAnswerCutShortIsAFailureWhateverCameBefore) {
  HttpClient client(HttpClient::Options{.timeout = 2000ms});
  struct Case {
    std::string answer;  // sent, then the connection closes
    std::string why;     // part of the failure's text
  };
  const std::string head(kChunkedHead);
  const std::vector<Case> cases = {
      {head + Chunk("<a>") + Chunk("part"), "before its last chunk"},        // no last chunk
      {head + Chunk("<a>") + "64\r\nonly ten b", "before its last chunk"},   // inside a chunk
      {head + Chunk("<a>") + "0\r\n", "before its last chunk"},              // no final line
      {head + Chunk("<a>") + "1", "before its last chunk"},                  // inside a size line
      {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", "before its 100 bytes"},
  };
  for (const Case& c : cases) {
    RawPeer peer([&c](int fd, const std::atomic<bool>&) {
      ReadWholeRequest(fd);
      Send(fd, c.answer);
    });
    Received r;
    std::string error;
    EXPECT_EQ(Kept(client.Post(peer.Url(), "<x/>", Into(r)), error).code(), kHttpConnectionAborted) << c.answer;
    EXPECT_NE(error.find("the answer was cut off after"), std::string::npos) << error;
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
    EXPECT_EQ(r.heads.size(), 1u);
    // The whole-answer call fails the same way and keeps nothing.
    quor::Result<HttpReply> reply = Stale();
    reply = client.Post(peer.Url(), "<x/>");
    error = reply.status().message();
    EXPECT_EQ(reply.status().code(), kHttpConnectionAborted) << c.answer;
    ExpectCleared(reply);
  }
}

TEST(HttpClientTest, TheTimeOutBoundsEachWaitNotTheWholeAnswer) {
  HttpClient client(HttpClient::Options{.timeout = 600ms});
  // A piece every 250 ms for 2 s: slow, never silent for long.
  RawPeer trickle([](int fd, const std::atomic<bool>&) {
    ReadWholeRequest(fd);
    Send(fd, kChunkedHead);
    for (int i = 0; i < 8; ++i) {
      Send(fd, Chunk(std::to_string(i)));
      std::this_thread::sleep_for(250ms);
    }
    Send(fd, "0\r\n\r\n");
  });
  Received r;
  std::string error;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(Kept(client.Post(trickle.Url(), "<x/>", Into(r)), error).code(), S_OK) << error;
  EXPECT_GE(std::chrono::steady_clock::now() - started, 1900ms);
  EXPECT_EQ(r.Body(), "01234567");

  // One piece, then silence longer than the time-out.
  RawPeer stall([](int fd, const std::atomic<bool>& stop) {
    ReadWholeRequest(fd);
    Send(fd, kChunkedHead);
    Send(fd, Chunk("first"));
    for (int i = 0; i < 300 && !stop; ++i) std::this_thread::sleep_for(10ms);
  });
  r = {};
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(Kept(client.Post(stall.Url(), "<x/>", Into(r)), error).code(), kHttpTimeout);
  const auto took = std::chrono::steady_clock::now() - begun;
  EXPECT_GE(took, 550ms);
  EXPECT_LT(took, 2500ms);
  EXPECT_EQ(r.Body(), "first");
  EXPECT_NE(error.find("stalled, nothing came for 600 ms after 5 bytes"), std::string::npos) << error;
}

TEST(HttpClientTest, AKeptAliveConnectionClosedAsARequestGoesIsTriedOnceMoreOnANewOne) {
  HttpClient client(HttpClient::Options{.timeout = 2000ms});
  std::atomic<int> connections{0};
  {
    // The first connection answers, then closes as the second request
    // comes, unanswered; the next connection answers it.
    RawPeer peer([&](int fd, const std::atomic<bool>&) {
      const int n = ++connections;
      if (!ReadWholeRequest(fd)) return;
      if (n == 1) {
        Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n<a/>");
        ReadWholeRequest(fd);
        return;
      }
      Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\n<b/>");
    });
    const quor::Result<HttpReply> first = client.Post(peer.Url(), "<x/>");
    ASSERT_TRUE(first.ok()) << first.status().message();
    EXPECT_EQ(first->body, "<a/>");
    const quor::Result<HttpReply> second = client.Post(peer.Url(), "<y/>");
    ASSERT_TRUE(second.ok()) << second.status().message();
    EXPECT_EQ(second->body, "<b/>");
    EXPECT_EQ(connections.load(), 2);
  }
  {
    // A connection of its own that closes unanswered is a failure, once.
    connections = 0;
    RawPeer peer([&](int fd, const std::atomic<bool>&) {
      ++connections;
      ReadWholeRequest(fd);
    });
    const quor::Result<HttpReply> reply = client.Post(peer.Url(), "<x/>");
    EXPECT_EQ(reply.status().code(), kHttpConnectionAborted) << reply.status().message();
    EXPECT_EQ(connections.load(), 1);
  }
}
