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
  const std::string body =
      Chunked(kCall, 64) + "0\r\n\r\n" + "GET /quor-bench/fixed HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::pair<std::string_view, int> cases[] = {
      {"Transfer-Encoding: gzip, chunked", 501},
      {"Transfer-Encoding: xchunked", 501},
      {"Transfer-Encoding: chunked, identity", 501},
      {"Transfer-Encoding: chunked;x=1", 501},
      {"Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked", 501},
      {"Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip", 400},
      // Both framings, in either order.
      {"Content-Length: 5\r\nTransfer-Encoding: chunked", 400},
      {"Transfer-Encoding: chunked\r\nContent-Length: 5", 400},
      {"Transfer-Encoding: gzip\r\nContent-Length: 5", 400},
  };
  for (const auto& [fields, status] : cases)
    ExpectRefusal(RawExchange(server.Port(), Post("/QuorTest/Echo.sod", std::string(fields) + "\r\n") + body, 10s),
                  status, fields);
  EXPECT_EQ(server.Stop(), 0) << server.Stderr();
}

TEST(HttpLimitsTest, ChunkLinesTrailersAndExtensionsPastTheirLimitsAreAnsweredBeforeTheClose) {
  ServerProcess server(Config({"--max-body", "65536", "--read-timeout", "1"}));
  ASSERT_EQ(server.Error(), "");
  const int port = server.Port();
  const std::string head = Post("/QuorTest/Echo.sod", "Transfer-Encoding: chunked\r\n");

  // One chunk line of 5 KB (its extension), whole or without its end.
  const std::string longLine = "1;x=" + std::string(5000, 'e') + "\r\nx\r\n0\r\n\r\n";
  ExpectRefusal(RawExchange(port, head + longLine, 10s), 400, "a 5 KB chunk line");
  ExpectRefusal(RawExchange(port, head + longLine.substr(0, 4500), 10s), 400, "a chunk line that does not end");
  ExpectRefusal(RawExchange(port, head + Chunked(kCall, 100) + "0\r\nX-T: " + std::string(70000, 't') + "\r\n\r\n"),
                431, "a 70 KB trailer");
  ExpectRefusal(RawExchange(port, head + Chunked(kCall, 100) + "0\r\nX-T: " + std::string(9000, 't') + "\r\n\r\n"),
                400, "a 9 KB trailer line");
  // Small extensions on one-byte chunks: past the body limit together.
  const RawAnswer many = RawExchange(port, head + Chunked(std::string(40, 'x'), 1, ";e=" + std::string(2000, 'e')));
  ExpectRefusal(many, 413, "extensions past the body limit");
  EXPECT_NE(many.body.find("65536"), std::string::npos) << many.body;

  // A chunked body that stops coming: 408 at its deadline (the read time-out
  // and the body limit's allowance).
  const auto started = Clock::now();
  ExpectRefusal(RawExchange(port, head + "10\r\n<Envelope>", 10s), 408, "a stalled body");
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
  for (const std::string_view coding : {"chunked", " Chunked "}) {
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
  const std::string head = Post("/QuorTest/Echo.sod", "Transfer-Encoding: chunked\r\n");
  const std::string call = Post("/QuorTest/Echo.sod", "Transfer-Encoding: chunked\r\nConnection: close\r\n");
  ASSERT_EQ(RawExchange(server.Port(), call + Chunked(kCall, 50) + "0\r\n\r\n", 10s).status, 200);
  const size_t startPeak = PeakKiB(server.Pid());
  ASSERT_GT(startPeak, 0u);

  struct Case {
    std::string_view what;
    int status;
    std::string start, unit;  // `unit` repeats after `start` until the server answers
  };
  for (const Case& c : {Case{"one endless extension", 400, head + "1;e=", std::string(65536, 'e')},
                        Case{"one-byte chunks with 4000-byte extensions", 413, head,
                             "1;e=" + std::string(3990, 'e') + "\r\nx\r\n"}}) {
    const UniqueFd fd = quor::test::ConnectLoopback(server.Port());
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(::fcntl(fd.get(), F_SETFL, O_NONBLOCK), 0);
    std::string block;
    while (block.size() < (1u << 20)) block += c.unit;
    // Whole blocks after the start, so that every chunk stays well-formed.
    std::string_view out = c.start;
    uint64_t sent = 0;
    std::string in;
    const auto started = Clock::now();
    while (sent < (uint64_t{1} << 30) && in.find("\r\n\r\n") == std::string::npos && Clock::now() - started < 60s) {
      pollfd p{fd.get(), POLLIN | POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0) continue;
      if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
        if (!quor::test::ReadSome(fd.get(), in)) break;
      } else if (const ssize_t n = ::send(fd.get(), out.data(), out.size(), MSG_NOSIGNAL); n > 0) {
        sent += static_cast<uint64_t>(n);
        out.remove_prefix(static_cast<size_t>(n));
        if (out.empty()) out = block;
      }
    }
    // Our end once answered, so that the server need not linger.
    ::shutdown(fd.get(), SHUT_WR);
    for (const auto until = Clock::now() + 5s; Clock::now() < until && quor::test::ReadSome(fd.get(), in);) {
    }
    EXPECT_TRUE(in.starts_with("HTTP/1.1 " + std::to_string(c.status))) << c.what << ": " << in.substr(0, 200);
    EXPECT_NE(in.find("Connection: close\r\n"), std::string::npos) << c.what;
    // The body limit and what the sockets hold, with room.
    EXPECT_LT(sent, uint64_t{64} << 20) << c.what << ": cut off late";
    std::printf("%s: answered after %.1f MiB sent, %.2f s\n", std::string(c.what).c_str(), sent / 1048576.0,
                std::chrono::duration<double>(Clock::now() - started).count());
  }
  const size_t peak = PeakKiB(server.Pid());
  std::printf("server peak resident size: %zu KiB before, %zu KiB after\n", startPeak, peak);
  // Unbounded, a few such streams take hundreds of MiB.
  EXPECT_LT(peak - startPeak, 16u * 1024);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A sanitizer's shadow memory alone takes more than this.
  EXPECT_LT(peak, 64u * 1024);
#endif
  EXPECT_EQ(server.Stop(), 0) << server.Stderr();
}
