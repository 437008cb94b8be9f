// Streamed answers end to end: quor-server on a free loopback port with the
// test component, whose Pieces writes its result through the call context's
// result sink, read over raw sockets so that the framing (chunks, length,
// the close) is seen as a client sees it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/soap/dispatcher.h"
#include "platform/soap/envelope.h"
#include "platform/soap/http_client.h"
#include "testing/EchoPieces.h"
#include "testing/Loopback.h"
#include "testing/ServerProcess.h"

using namespace quor;
using namespace quor::soap;
using namespace quor::soap::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using com::Bstr;

namespace {

const fs::path kBin = QUOR_BIN_DIR;
const fs::path kLib = QUOR_LIB_DIR;
constexpr std::string_view kPath = "/QuorTest/Echo.sod";
constexpr HRESULT kFailure = quor::test::kPiecesFailure;
// Markup, a carriage return, characters of two, three and four bytes, and
// what the component makes of '~', '^' and '`' (U+FFFF, U+0001, the byte
// 0xFF: each written as U+FFFD).
const std::string kText = "ab<&>\r\n\t\"' \xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80~^`|";

ServerProcess::Config Config(std::vector<std::string> args) {
  args.insert(args.end(), {"--endpoint", std::string(kPath) + "=QuorTest.Echo"});
  return {kBin, kLib, {"libquor_test_plugin.so"}, std::move(args)};
}

using quor::test::PiecesRequest;

std::string Post(std::string_view body, std::string_view version = "1.1", std::string_view extra = {}) {
  return "POST " + std::string(kPath) + " HTTP/" + std::string(version) +
         "\r\nHost: x\r\nContent-Type: text/xml\r\n" + std::string(extra) +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

void Send(const UniqueFd& fd, std::string_view s) {
  for (size_t sent = 0; sent < s.size();) {
    const ssize_t n = ::send(fd.get(), s.data() + sent, s.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

// One answer as a client reads it: by its Content-Length, by its chunks, or
// (neither) until the server closes.
struct Received {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;                            // chunks decoded
  bool whole = false;   // the length came, the last chunk came, or (neither) the close came
  bool closed = false;  // the server closed (before or right after the answer)

  std::string Header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
};

class Reader {
 public:
  explicit Reader(const UniqueFd& fd) : fd_(fd.get()) {}

  Received Read(std::chrono::milliseconds limit) {
    Received a;
    const auto until = Clock::now() + limit;
    size_t end;
    while ((end = in_.find("\r\n\r\n")) == std::string::npos)
      if (!More(until, a)) return a;
    a.status = in_.starts_with("HTTP/1.1 ") ? std::atoi(in_.c_str() + 9) : -1;
    for (size_t at = in_.find("\r\n") + 2; at < end;) {
      const size_t eol = in_.find("\r\n", at);
      const std::string line = in_.substr(at, eol - at);
      std::string name = line.substr(0, line.find(':'));
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
      a.headers[name] = line.substr(std::min(line.size(), line.find(':') + 2));
      at = eol + 2;
    }
    in_.erase(0, end + 4);
    if (a.headers.contains("content-length")) {
      const size_t length = std::stoul(a.Header("content-length"));
      while (in_.size() < length)
        if (!More(until, a)) break;
      a.whole = in_.size() >= length;
      a.body = in_.substr(0, length);
      in_.erase(0, a.body.size());
    } else if (a.Header("transfer-encoding") == "chunked") {
      for (;;) {
        size_t eol;
        while ((eol = in_.find("\r\n")) == std::string::npos)
          if (!More(until, a)) return Rest(a);
        const size_t size = std::strtoul(in_.c_str(), nullptr, 16);
        while (in_.size() < eol + 2 + size + 2)
          if (!More(until, a)) return Rest(a);
        if (in_.compare(eol + 2 + size, 2, "\r\n") != 0) return Rest(a);  // broken framing: not whole
        a.body.append(in_, eol + 2, size);
        in_.erase(0, eol + 2 + size + 2);
        if (size == 0) {
          a.whole = true;
          break;
        }
      }
    } else {
      while (More(until, a)) {
      }
      a.whole = a.closed;
      a.body = std::exchange(in_, std::string());
    }
    // A connection that is to close closes now.
    if (!a.closed && a.Header("connection") == "close") {
      const auto soon = Clock::now() + 3s;
      while (More(soon, a)) {
      }
    }
    return a;
  }

 private:
  // Reads more into in_; false once the peer closed or `until` passed.
  bool More(Clock::time_point until, Received& a) {
    while (Clock::now() < until) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buffer[65536];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        a.closed = true;
        return false;
      }
      in_.append(buffer, static_cast<size_t>(n));
      return true;
    }
    return false;
  }
  // What came of a body that did not end as its framing says.
  Received& Rest(Received& a) {
    a.body += in_;
    in_.clear();
    return a;
  }

  int fd_;
  std::string in_;
};

// One request on a connection of its own.
Received Exchange(int port, std::string_view request, std::chrono::milliseconds limit = 60s) {
  const UniqueFd fd = quor::test::ConnectLoopback(port);
  Send(fd, request);
  return Reader(fd).Read(limit);
}

size_t ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmRSS:")) return std::strtoul(line.c_str() + 6, nullptr, 10);
  return 0;
}

class StreamedAnswerTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> args) {
    server_ = std::make_unique<ServerProcess>(Config(std::move(args)));
    ASSERT_EQ(server_->Error(), "");
  }
  void TearDown() override {
    if (server_ && server_->Error().empty()) {
      EXPECT_TRUE(server_->Running()) << server_->Stderr();
      EXPECT_EQ(server_->Stop(), 0) << server_->Stderr();
    }
  }
  int Port() const { return server_->Port(); }

  std::unique_ptr<ServerProcess> server_;
};

}  // namespace

TEST_F(StreamedAnswerTest, LargeResultsGoOutInChunksByteForByteAsTheirWholeAnswer) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  // Past the threshold once and many times over; plain and in a namespace.
  for (const int count : {20000, 100000}) {
    for (const std::string_view ns : {std::string_view(), std::string_view("urn:quor-service:Echo")}) {
      if (count > 20000 && !ns.empty()) continue;
      const std::string what = std::to_string(count) + " pieces, namespace \"" + std::string(ns) + "\"";
      const Received whole = Exchange(Port(), Post(PiecesRequest(kText, count, true, -1, ns)));
      ASSERT_EQ(whole.status, 200) << what;
      ASSERT_TRUE(whole.whole) << what;
      ASSERT_TRUE(whole.headers.contains("content-length")) << what;
      ASSERT_GT(whole.body.size(), Dispatcher::kStreamAfter);
      ASSERT_TRUE(whole.body.ends_with("</result><written>" + std::to_string(count) + "</written>" +
                                       (ns.empty() ? "</PiecesResponse>" : "</tns:PiecesResponse>") +
                                       "</SOAP-ENV:Body></SOAP-ENV:Envelope>"))
          << what << whole.body.substr(whole.body.size() - 200);

      // HTTP/1.1: chunked, and the connection goes on after it.
      const UniqueFd fd = quor::test::ConnectLoopback(Port());
      Reader reader(fd);
      Send(fd, Post(PiecesRequest(kText, count, false, -1, ns)));
      const Received streamed = reader.Read(60s);
      EXPECT_EQ(streamed.status, 200) << what;
      EXPECT_EQ(streamed.Header("transfer-encoding"), "chunked") << what;
      EXPECT_FALSE(streamed.headers.contains("content-length")) << what;
      EXPECT_EQ(streamed.Header("content-type"), "text/xml; charset=utf-8") << what;
      EXPECT_TRUE(streamed.headers.contains("keep-alive")) << what;
      EXPECT_TRUE(streamed.whole) << what;
      EXPECT_TRUE(streamed.body == whole.body) << what << ": " << streamed.body.size() << " bytes, not "
                                               << whole.body.size();
      Send(fd, Post(WriteRequest("Convert", std::vector<NamedValue>{{"src", Bstr(u"next")}})));
      const Received next = reader.Read(10s);
      EXPECT_EQ(next.status, 200);
      EXPECT_NE(next.body.find("<result>[next|(null)]</result>"), std::string::npos) << next.body;

      // Our own client (the console's) reads it as the whole.
      HttpClient client;
      const Result<HttpReply> reply = client.Post("http://127.0.0.1:" + std::to_string(Port()) + std::string(kPath),
                                                  PiecesRequest(kText, count, false, -1, ns));
      ASSERT_EQ(reply.status().code(), S_OK);
      EXPECT_EQ(reply->status, 200);
      EXPECT_TRUE(reply->body == whole.body) << what;

      // HTTP/1.0: no chunks; the body ends with the connection.
      const Received old = Exchange(Port(), Post(PiecesRequest(kText, count, false, -1, ns), "1.0"));
      EXPECT_EQ(old.status, 200) << what;
      EXPECT_FALSE(old.headers.contains("transfer-encoding")) << what;
      EXPECT_FALSE(old.headers.contains("content-length")) << what;
      EXPECT_EQ(old.Header("connection"), "close") << what;
      EXPECT_TRUE(old.closed) << what;
      EXPECT_TRUE(old.body == whole.body) << what << ": " << old.body.size() << " bytes, not " << whole.body.size();
    }
  }

  // Below the threshold the pieces are held and answered as a returned
  // result is, with its length; at the threshold the answer streams.
  static_assert(Dispatcher::kStreamAfter == 27 * 9709 + 1 && Dispatcher::kStreamAfter == 64 * 4096);
  const struct {
    std::string text;
    int count;
    bool streams;
  } sizes[] = {{kText, 1, false}, {kText, 1000, false}, {std::string(27, 'x'), 9709, false},
               {std::string(64, 'y'), 4096, true}};
  for (const auto& [text, count, streams] : sizes) {
    const Received whole = Exchange(Port(), Post(PiecesRequest(text, count, true), "1.1", "Connection: close\r\n"));
    const Received streamed = Exchange(Port(), Post(PiecesRequest(text, count, false), "1.1", "Connection: close\r\n"));
    EXPECT_EQ(streamed.status, 200) << count;
    EXPECT_EQ(streamed.headers.contains("content-length"), !streams) << count;
    EXPECT_EQ(streamed.headers.contains("transfer-encoding"), streams) << count;
    EXPECT_TRUE(streamed.whole) << count;
    EXPECT_TRUE(streamed.body == whole.body) << count;
    if (!streams) {
      EXPECT_EQ(streamed.headers, whole.headers) << count;
    }
  }
}

TEST_F(StreamedAnswerTest, AFailureAfterTheAnswerBeganCutsItOffAndOneBeforeIsTheUsualFault) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  // The result's bytes per piece: '~' becomes three, and so does '`' (U+FFFD).
  const int perPiece = static_cast<int>(kText.size() + 2 * std::count(kText.begin(), kText.end(), '~') +
                                        2 * std::count(kText.begin(), kText.end(), '`'));
  const int committed = static_cast<int>(Dispatcher::kStreamAfter) / perPiece + 100;

  // Begun: the chunks stop without the last one and the connection closes.
  const Received full = Exchange(Port(), Post(PiecesRequest(kText, committed + 5000, true)));
  ASSERT_EQ(full.status, 200);
  for (const std::string_view version : {"1.1", "1.0"}) {
    const Received cut = Exchange(Port(), Post(PiecesRequest(kText, committed + 5000, false, committed + 2000), version));
    EXPECT_EQ(cut.status, 200) << version;
    EXPECT_EQ(cut.headers.contains("transfer-encoding"), version == "1.1") << version;
    EXPECT_FALSE(cut.headers.contains("content-length")) << version;
    EXPECT_TRUE(cut.closed) << version;
    if (version == "1.1") {
      EXPECT_FALSE(cut.whole) << "no last chunk";
    }
    // What came is the answer's beginning, at least what was held.
    EXPECT_GT(cut.body.size(), Dispatcher::kStreamAfter) << version;
    EXPECT_LT(cut.body.size(), full.body.size()) << version;
    EXPECT_TRUE(full.body.starts_with(cut.body.substr(0, std::min(cut.body.size(), full.body.size())))) << version;
  }
  const std::string events = server_->Events();
  EXPECT_NE(events.find("QuorServer\tError\t27\t/QuorTest/Echo.sod\tThe streamed answer of \"Pieces\" was cut off: "
                        "failed after some pieces went (0x80040205)"),
            std::string::npos)
      << events;

  // Not begun: the fault, with its length, as a call that returns it gets.
  for (const int failAfter : {0, 10, committed - 200}) {
    const Received fault = Exchange(Port(), Post(PiecesRequest(kText, committed + 5000, false, failAfter), "1.1",
                                               "Connection: close\r\n"));
    EXPECT_EQ(fault.status, 500) << failAfter;
    EXPECT_TRUE(fault.whole) << failAfter;
    EXPECT_EQ(fault.Header("content-length"), std::to_string(fault.body.size())) << failAfter;
    const Result<soap::Answer> parsed = ParseAnswer(fault.body);
    ASSERT_EQ(parsed.status().code(), S_OK) << parsed.status().message();
    EXPECT_TRUE(parsed->isFault);
    EXPECT_EQ(parsed->fault.status, kFailure);
    EXPECT_EQ(parsed->fault.description, "failed after some pieces went");
    EXPECT_EQ(parsed->fault.source, "QuorTest.Echo");
  }
  // Still serving.
  const Received after = Exchange(Port(), Post(PiecesRequest(kText, committed, false)));
  EXPECT_TRUE(after.whole);
  EXPECT_EQ(after.body.size(), Exchange(Port(), Post(PiecesRequest(kText, committed, true))).body.size());
}

TEST_F(StreamedAnswerTest, ZeepFromTheServedWsdlRaisesOnACutOffAnswer) {
  // Debian's python3, whose python3-zeep package scripts/install-deps.sh installs.
  const std::string python = "/usr/bin/python3";
  const std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
  TempDir scratch;
  const RunResult probe = RunProgram(python, {"-c", "import zeep"}, env, scratch.Path());
  if (probe.status != 0) {
    if (std::getenv("CI")) FAIL() << "zeep is not installed: " << probe.output;
    GTEST_SKIP() << "zeep is not installed (scripts/install-deps.sh installs it)";
  }
  ASSERT_NO_FATAL_FAILURE(Start({}));
  const std::string text = "zeep <&> streamed ";
  const int count = static_cast<int>(Dispatcher::kStreamAfter / text.size()) * 4;
  const std::string url = "http://127.0.0.1:" + std::to_string(Port()) + std::string(kPath);
  const RunResult run =
      RunProgram(python,
                 {std::string(QUOR_SOURCE_DIR) + "/server/tests/clients/zeep_cut_off.py", url, text,
                  std::to_string(count), std::to_string(count / 2), std::to_string(kFailure)},
                 env, scratch.Path());
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("whole\t" + std::to_string(count) + "\t" + std::to_string(count * text.size()) + "\n"),
            std::string::npos)
      << run.output;
  // The transport's error: the chunks ended without their last one.
  EXPECT_NE(run.output.find("cut\trequests.exceptions.ChunkedEncodingError"), std::string::npos) << run.output;
}

TEST_F(StreamedAnswerTest, AClientThatStopsReadingIsCutOffAtItsDeadlineAndHoldsUpNoCall) {
  // One worker: the stalled call stood aside from it, so the next call
  // runs at once.
  ASSERT_NO_FATAL_FAILURE(Start({"--threads", "1", "--read-timeout", "2"}));
  const size_t before = ResidentKiB(server_->Pid());
  // A gigabyte, were it all written.
  const std::string text(1000, 'z');
  constexpr int kCount = 1000000;
  const UniqueFd stalled = quor::test::ConnectLoopback(Port());
  Send(stalled, Post(PiecesRequest(text, kCount, false)));
  const auto started = Clock::now();
  std::this_thread::sleep_for(1s);
  const size_t during = ResidentKiB(server_->Pid());

  const Received next = Exchange(Port(), Post(WriteRequest("Convert", std::vector<NamedValue>{{"src", Bstr(u"free")}}),
                                            "1.1", "Connection: close\r\n"),
                               30s);
  const auto waited = Clock::now() - started;
  EXPECT_NE(next.body.find("<result>[free|(null)]</result>"), std::string::npos) << next.body;
  EXPECT_LT(waited, 1900ms) << "the stalled answer's last piece had two seconds";

  // The call stopped where the connection's bounded queue held it, at its
  // deadline: what it wrote is what the sockets took and a few pieces, not
  // the gigabyte.
  const std::string marker = "the sink refused piece ";
  std::string events;
  for (const auto until = Clock::now() + 10s; Clock::now() < until; std::this_thread::sleep_for(50ms))
    if ((events = server_->Events()).find(marker) != std::string::npos) break;
  EXPECT_GE(Clock::now() - started, 1900ms);
  const size_t at = events.find(marker);
  ASSERT_NE(at, std::string::npos) << events;
  const long refused = std::strtol(events.c_str() + at + marker.size(), nullptr, 10);
  EXPECT_LT(refused, 16000) << "pieces of 1000 bytes written before the cut";
  EXPECT_NE(events.find("The client did not take the answer in time.", at), std::string::npos) << events;
  EXPECT_LT(during, before + 96 * 1024) << "KiB resident: " << before << " before, " << during << " while stalled";

  // The stalled client finds its connection closed, its answer not whole.
  std::string got;
  bool closed = false;
  for (const auto until = Clock::now() + 10s; !closed && Clock::now() < until;)
    closed = !quor::test::ReadSome(stalled.get(), got);
  EXPECT_TRUE(closed);
  EXPECT_FALSE(got.ends_with("0\r\n\r\n"));
}

TEST_F(StreamedAnswerTest, AStopCutsOffAStreamedAnswerAtOnce) {
  ASSERT_NO_FATAL_FAILURE(Start({"--read-timeout", "60"}));
  const UniqueFd stalled = quor::test::ConnectLoopback(Port());
  Send(stalled, Post(PiecesRequest(std::string(1000, 'z'), 1000000, false)));
  // The answer has begun (a loaded machine may take a while to start the
  // call); then the client stalls until the queue holds the call.
  std::string first;
  for (const auto until = Clock::now() + 30s; first.empty() && Clock::now() < until;)
    ASSERT_TRUE(quor::test::ReadSome(stalled.get(), first)) << "closed before the answer began";
  ASSERT_FALSE(first.empty()) << "the answer did not begin";
  std::this_thread::sleep_for(1s);
  const auto started = Clock::now();
  EXPECT_EQ(server_->Stop(), 0) << server_->Stderr();
  EXPECT_LT(Clock::now() - started, 10s) << "not the read time-out's 60 s";
  EXPECT_NE(server_->Events().find("was cut off: the sink refused piece"), std::string::npos) << server_->Events();
  EXPECT_NE(server_->Events().find("The server stops."), std::string::npos) << server_->Events();
  server_.reset();
}

TEST_F(StreamedAnswerTest, SeveralStreamedAnswersAtOnceAreEachWhole) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  constexpr int kClients = 6;
  constexpr int kCount = 30000;
  std::vector<std::string> expected(kClients), wrong(kClients);
  for (int c = 0; c < kClients; ++c) {
    expected[c] = Exchange(Port(), Post(PiecesRequest(kText + std::to_string(c), kCount, true))).body;
    ASSERT_GT(expected[c].size(), 2 * Dispatcher::kStreamAfter);
  }
  {
    std::vector<std::jthread> clients;
    for (int c = 0; c < kClients; ++c)
      clients.emplace_back([&, c] {
        for (int round = 0; round < 2; ++round) {
          const Received a = Exchange(Port(), Post(PiecesRequest(kText + std::to_string(c), kCount, false)));
          if (a.status != 200 || a.Header("transfer-encoding") != "chunked" || !a.whole || a.body != expected[c])
            wrong[c] = "status " + std::to_string(a.status) + ", " + std::to_string(a.body.size()) + " bytes";
        }
      });
  }
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(wrong[c], "") << c;
}
