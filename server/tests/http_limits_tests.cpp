// quor-server under clients that frame their requests wrongly or without
// end: transfer codings it does not do, chunk lines and trailers past their
// limits, endless chunk extensions, bodies that stall. The real program on a
// free loopback port, over raw sockets; each refusal must come as an answer
// with a status line, and the server's memory must stay bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/unique_fd.h"
#include "testing/Loopback.h"
#include "testing/RawHttp.h"
#include "testing/ServerProcess.h"

using namespace quor;
using namespace quor::soap::testing;
using namespace std::chrono_literals;
using quor::test::RawAnswer;
using quor::test::RawExchange;
using Clock = std::chrono::steady_clock;

namespace {

const fs::path kBin = QUOR_BIN_DIR;
const fs::path kLib = QUOR_LIB_DIR;

// The echo component as a real endpoint, and the fixed route.
ServerProcess::Config Config(std::vector<std::string> args) {
  args.insert(args.end(), {"--endpoint", "/QuorTest/Echo.sod=QuorTest.Echo", "--bench-route"});
  return {kBin, kLib, {"libquor_test_plugin.so"}, std::move(args)};
}

constexpr std::string_view kCall =
    "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<SOAP-ENV:Body><Convert><src>chunked</src></Convert></SOAP-ENV:Body></SOAP-ENV:Envelope>";

std::string Post(std::string_view path, std::string_view fields) {
  return "POST " + std::string(path) + " HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\n" + std::string(fields) +
         "\r\n";
}

// `body` as chunks of `size` bytes, each with `extension` after its size.
std::string Chunked(std::string_view body, size_t size, std::string_view extension = {}) {
  std::string out;
  for (size_t at = 0; at < body.size(); at += size) {
    const std::string_view part = body.substr(at, size);
    char hex[32];
    std::snprintf(hex, sizeof hex, "%zx", part.size());
    out += hex + std::string(extension) + "\r\n" + std::string(part) + "\r\n";
  }
  return out;
}

// A refusal as it must come: its status, a body naming it, the connection
// closed after it and nothing more said.
void ExpectRefusal(const RawAnswer& a, int status, std::string_view what) {
  EXPECT_EQ(a.status, status) << what << ": " << a.body.substr(0, 200);
  EXPECT_EQ(a.headers.count("connection") ? a.headers.at("connection") : "", "close") << what;
  EXPECT_EQ(a.body.find("HTTP/1.1"), std::string::npos) << what << ": a second answer " << a.body;
  EXPECT_TRUE(a.closed) << what;
}

// The largest resident size the process has had, in KiB.
size_t PeakKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmHWM:")) return std::stoul(line.substr(6));
  return 0;
}

}  // namespace

TEST(HttpLimitsTest, TransferCodingsOtherThanChunkedAloneAreRefusedAndNothingIsDispatched) {
  ServerProcess server(Config({}));
  ASSERT_EQ(server.Error(), "");
  // Whatever the body's framing, the bytes after the head hold a request of
  // their own: a server that took the head would answer it as well.
  const std::string smuggled = "GET /quor-bench/fixed HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string body = Chunked(std::string(kCall), 64) + "0\r\n\r\n" + smuggled;
  for (const std::string_view coding : {"gzip, chunked", "xchunked", "chunked, identity", "identity",
                                        "chunked;x=1", "chunked\r\nTransfer-Encoding: gzip",
                                        "gzip\r\nTransfer-Encoding: chunked"}) {
    const std::string te = "Transfer-Encoding: " + std::string(coding) + "\r\n";
    for (const std::string_view path : {"/QuorTest/Echo.sod", "/quor-bench/fixed"}) {
      const RawAnswer a = RawExchange(server.Port(), Post(path, te) + body, 10s);
      // Two chunked fields are broken framing rather than an unknown coding.
      ExpectRefusal(a, coding == "chunked\r\nTransfer-Encoding: gzip" ? 400 : 501, coding);
    }
  }
  // Both framings, in either order: 400, and the rest is not read as a request.
  for (const std::string_view fields : {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n",
                                        "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n",
                                        "Transfer-Encoding: gzip\r\nContent-Length: 5\r\n"}) {
    ExpectRefusal(RawExchange(server.Port(), Post("/QuorTest/Echo.sod", fields) + body, 10s), 400, fields);
  }
  EXPECT_EQ(server.Stop(), 0) << server.Stderr();
}

TEST(HttpLimitsTest, ChunkLinesTrailersAndExtensionsPastTheirLimitsAreAnsweredBeforeTheClose) {
  ServerProcess server(Config({"--max-body", "65536", "--read-timeout", "1"}));
  ASSERT_EQ(server.Error(), "");
  const int port = server.Port();
  const std::string head = Post("/QuorTest/Echo.sod", "Transfer-Encoding: chunked\r\n");

  // One chunk line of 5 KB (its extension), whole in one read or not.
  const std::string longLine = "1;x=" + std::string(5000, 'e') + "\r\nx\r\n0\r\n\r\n";
  ExpectRefusal(RawExchange(port, head + longLine, 10s), 400, "a 5 KB chunk line");
  ExpectRefusal(RawExchange(port, head + longLine.substr(0, 4500), 10s), 400, "a chunk line that does not end");

  // 70 KB of trailers, as one field or many.
  ExpectRefusal(RawExchange(port, head + Chunked(kCall, 100) + "0\r\nX-T: " + std::string(70000, 't') + "\r\n\r\n"),
                431, "a 70 KB trailer field");
  std::string trailers;
  for (int i = 0; i < 1000; ++i) trailers += "X-T" + std::to_string(i) + ": " + std::string(60, 't') + "\r\n";
  ExpectRefusal(RawExchange(port, head + Chunked(kCall, 100) + "0\r\n" + trailers + "\r\n", 10s), 431,
                "70 KB of trailer fields");

  // Small extensions on small chunks: more than the body limit together,
  // though the chunks' data is tiny. Answered as a body too large.
  const RawAnswer many = RawExchange(port, head + Chunked(std::string(40, 'x'), 1, ";e=" + std::string(2000, 'e')));
  ExpectRefusal(many, 413, "extensions past the body limit");
  EXPECT_NE(many.body.find("65536"), std::string::npos) << many.body;

  // A chunked body that stops coming: 408 at its deadline (the read time-out
  // and the body limit's allowance).
  const auto started = Clock::now();
  const UniqueFd stalled = quor::test::ConnectLoopback(port);
  const std::string part = head + "10\r\n<Envelope>";
  ASSERT_EQ(::send(stalled.get(), part.data(), part.size(), MSG_NOSIGNAL), static_cast<ssize_t>(part.size()));
  std::string in;
  while (Clock::now() - started < 5s && quor::test::ReadSome(stalled.get(), in)) {
  }
  EXPECT_TRUE(in.starts_with("HTTP/1.1 408 Request Timeout\r\n")) << in;
  EXPECT_NE(in.find("Connection: close\r\n"), std::string::npos) << in;
  EXPECT_GE(Clock::now() - started, 900ms);
  EXPECT_LT(Clock::now() - started, 3s);

  EXPECT_EQ(server.Stop(), 0) << server.Stderr();
}

TEST(HttpLimitsTest, ChunkedCallsWithExtensionsAndTrailersAreServed) {
  ServerProcess server(Config({}));
  ASSERT_EQ(server.Error(), "");
  const std::string body = Chunked(kCall, 50, ";sig=\"a b;c\";n=1") + "0;last\r\nX-Checksum: 1\r\nX-Other: 2\r\n\r\n";
  // Two calls on one connection: the first one's trailers do not spill into
  // the second.
  for (const std::string_view coding : {"chunked", " Chunked ", "CHUNKED"}) {
    const std::string te = "Transfer-Encoding: " + std::string(coding) + "\r\n";
    const RawAnswer a = RawExchange(
        server.Port(), Post("/QuorTest/Echo.sod", te) + body + Post("/QuorTest/Echo.sod", te + "Connection: close\r\n") + body,
        10s);
    EXPECT_EQ(a.status, 200) << coding << a.body;
    EXPECT_NE(a.body.find("<result>[chunked|(null)]</result>"), std::string::npos) << a.body;
    const size_t second = a.body.find("HTTP/1.1 200 OK\r\n");
    ASSERT_NE(second, std::string::npos) << coding << a.body;
    EXPECT_NE(a.body.find("<result>[chunked|(null)]</result>", second), std::string::npos) << a.body;
  }
  // An empty chunked body whose end comes a byte at a time.
  {
    const UniqueFd fd = quor::test::ConnectLoopback(server.Port());
    ASSERT_TRUE(fd.valid());
    const std::string te = "Transfer-Encoding: chunked\r\nConnection: close\r\n";
    for (const std::string& piece : {Post("/quor-bench/fixed", te) + "0\r\n", std::string("\r"), std::string("\n")}) {
      ASSERT_EQ(::send(fd.get(), piece.data(), piece.size(), MSG_NOSIGNAL), static_cast<ssize_t>(piece.size()));
      std::this_thread::sleep_for(50ms);
    }
    std::string in;
    for (const auto until = Clock::now() + 10s; Clock::now() < until && quor::test::ReadSome(fd.get(), in);) {
    }
    EXPECT_TRUE(in.starts_with("HTTP/1.1 200 OK\r\n")) << in;
  }
  // HTTP/1.0 has no chunked framing of its own: served, then closed.
  std::string old = Post("/QuorTest/Echo.sod", "Transfer-Encoding: chunked\r\nConnection: keep-alive\r\n") + body;
  old.replace(old.find("HTTP/1.1"), 8, "HTTP/1.0");
  const RawAnswer a = RawExchange(server.Port(), old + Post("/quor-bench/fixed", "Content-Length: 0\r\n"), 10s);
  EXPECT_EQ(a.status, 200) << a.body;
  EXPECT_EQ(a.headers.count("connection") ? a.headers.at("connection") : "", "close");
  EXPECT_EQ(a.body.find("HTTP/1.1"), std::string::npos) << a.body;
  EXPECT_EQ(server.Stop(), 0) << server.Stderr();
}

TEST(HttpLimitsTest, AGigabyteOfChunkExtensionsIsCutOffEarlyAndMemoryStaysBounded) {
  ServerProcess server(Config({}));  // the default limits: a 16 MiB body
  ASSERT_EQ(server.Error(), "");
  // A call first, so that what serving needs anyway (and a sanitizer's own
  // state) is in before the measure starts.
  const std::string te = "Transfer-Encoding: chunked\r\nConnection: close\r\n";
  ASSERT_EQ(RawExchange(server.Port(), Post("/QuorTest/Echo.sod", te) + Chunked(kCall, 50) + "0\r\n\r\n", 10s).status,
            200);
  const size_t startPeak = PeakKiB(server.Pid());
  constexpr uint64_t kOffered = uint64_t{1} << 30;
  constexpr uint64_t kEarly = uint64_t{64} << 20;  // the body limit and what the sockets hold, with room
  struct Case {
    std::string_view what;
    int status;
    std::string start, unit;  // `unit` repeats after `start` until the server answers
  };
  const std::string head = Post("/QuorTest/Echo.sod", "Transfer-Encoding: chunked\r\n");
  const std::vector<Case> cases = {
      {"one endless extension", 400, head + "1;e=", std::string(65536, 'e')},
      {"one-byte chunks with 4000-byte extensions", 413, head, "1;e=" + std::string(3990, 'e') + "\r\nx\r\n"},
  };
  for (const Case& c : cases) {
    const UniqueFd fd = quor::test::ConnectLoopback(server.Port());
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(::fcntl(fd.get(), F_SETFL, O_NONBLOCK), 0);
    std::string block;
    while (block.size() < (1u << 20)) block += c.unit;
    std::string out = c.start;
    size_t at = 0;
    uint64_t sent = 0;
    std::string in;
    const auto started = Clock::now();
    while (sent < kOffered && in.find("\r\n\r\n") == std::string::npos && Clock::now() - started < 60s) {
      pollfd p{fd.get(), POLLIN | POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0) continue;
      if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
        if (!quor::test::ReadSome(fd.get(), in)) break;
        continue;
      }
      const ssize_t n = ::send(fd.get(), out.data() + at, out.size() - at, MSG_NOSIGNAL);
      if (n <= 0) continue;
      sent += static_cast<uint64_t>(n);
      at += static_cast<size_t>(n);
      if (at == out.size()) {
        out = block;  // whole units each time, so every chunk stays well-formed
        at = 0;
      }
    }
    // The answer whole, then our end, so the server need not linger.
    for (const auto until = Clock::now() + 5s; in.find("\r\n\r\n") == std::string::npos && Clock::now() < until;)
      if (!quor::test::ReadSome(fd.get(), in)) break;
    ::shutdown(fd.get(), SHUT_WR);
    bool closed = false;
    for (const auto until = Clock::now() + 5s; !closed && Clock::now() < until;)
      closed = !quor::test::ReadSome(fd.get(), in);
    EXPECT_TRUE(in.starts_with("HTTP/1.1 " + std::to_string(c.status))) << c.what << ": " << in.substr(0, 200);
    EXPECT_NE(in.find("Connection: close\r\n"), std::string::npos) << c.what;
    EXPECT_TRUE(closed) << c.what;
    EXPECT_LT(sent, kEarly) << c.what << ": cut off late";
    std::printf("%s: answered %d after %.1f MiB sent in %.2f s\n", std::string(c.what).c_str(),
                std::atoi(in.c_str() + 9), sent / 1048576.0,
                std::chrono::duration<double>(Clock::now() - started).count());
  }
  const size_t peak = PeakKiB(server.Pid());
  std::printf("server peak resident size: %zu KiB at start, %zu KiB after\n", startPeak, peak);
  ASSERT_GT(startPeak, 0u);
  // Unbounded, a few such streams take hundreds of MiB.
  EXPECT_LT(peak - startPeak, 16u * 1024);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A sanitizer's shadow memory alone takes more than this.
  EXPECT_LT(peak, 64u * 1024);
#endif
  EXPECT_EQ(server.Stop(), 0) << server.Stderr();
}
