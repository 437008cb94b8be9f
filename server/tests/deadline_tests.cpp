// quor-server under clients that stall, trickle or crowd it: the real
// program on a free loopback port, driven over raw sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/base/unique_fd.h"
#include "testing/ServerProcess.h"

using namespace quor;
using namespace quor::soap::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const fs::path kBin = QUOR_BIN_DIR;
const fs::path kLib = QUOR_LIB_DIR;

constexpr std::string_view kGet = "GET /quor-bench/fixed HTTP/1.1\r\nHost: x\r\n\r\n";

ServerProcess::Config Config(std::vector<std::string> args) {
  args.push_back("--bench-route");
  return {kBin, kLib, {}, std::move(args)};
}

UniqueFd Connect(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fd.Reset();
  return fd;
}

void Send(const UniqueFd& fd, std::string_view s) { (void)!::send(fd.get(), s.data(), s.size(), MSG_NOSIGNAL); }

// One answer (head and the body its Content-Length gives), or what came
// before the peer closed or `limit` passed; `closed` says whether it closed.
std::string Receive(const UniqueFd& fd, std::chrono::milliseconds limit, bool* closed = nullptr) {
  std::string in;
  const auto until = Clock::now() + limit;
  if (closed) *closed = false;
  while (Clock::now() < until) {
    if (const size_t end = in.find("\r\n\r\n"); end != std::string::npos) {
      const size_t at = in.find("Content-Length: ");
      if (in.size() >= end + 4 + (at < end ? std::stoul(in.substr(at + 16)) : 0)) break;
    }
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, 10) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n <= 0) {
      if (closed) *closed = true;
      break;
    }
    in.append(buffer, static_cast<size_t>(n));
  }
  return in;
}

// How often `field` ("Name: value") stands as a line of the answer's head.
size_t HeaderCount(const std::string& answer, std::string_view field) {
  const std::string head = answer.substr(0, answer.find("\r\n\r\n") + 2), line = "\r\n" + std::string(field) + "\r\n";
  size_t n = 0;
  for (size_t at = head.find(line); at != std::string::npos; at = head.find(line, at + 1)) ++n;
  return n;
}

// How long until the peer closes (after whatever it still sends), at most `limit`.
std::chrono::milliseconds TimeToClose(const UniqueFd& fd, std::chrono::milliseconds limit) {
  const auto started = Clock::now();
  bool closed = false;
  while (!closed && Clock::now() - started < limit) Receive(fd, limit, &closed);
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
}

void RaiseFileLimit(rlim_t want) {
  rlimit r{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &r), 0);
  if (r.rlim_cur >= want) return;
  r.rlim_cur = std::min(want, r.rlim_max);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &r), 0);
  if (r.rlim_cur < want) GTEST_SKIP() << "the descriptor limit is " << r.rlim_max;
}

}  // namespace

TEST(DeadlineTest, TricklingAndIdleClientsDelayNobodyAndTricklersGoAtTheirHeadDeadline) {
  ASSERT_NO_FATAL_FAILURE(RaiseFileLimit(4096));
  ServerProcess server(Config({"--read-timeout", "2", "--keep-alive", "20"}));
  ASSERT_EQ(server.Error(), "");
  const int port = server.Port();

  // 500 kept-alive connections, each answered once and then silent.
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 500; ++i) {
    idle.push_back(Connect(port));
    ASSERT_TRUE(idle.back().valid()) << i;
    Send(idle.back(), kGet);
  }
  for (const UniqueFd& fd : idle) ASSERT_TRUE(Receive(fd, 5s).starts_with("HTTP/1.1 200")) << "idle " << fd.get();

  // 200 connections that send their head a byte every 200 ms, from one thread.
  constexpr int kTricklers = 200;
  std::vector<UniqueFd> tricklers;
  std::vector<Clock::time_point> opened;
  for (int i = 0; i < kTricklers; ++i) {
    tricklers.push_back(Connect(port));
    opened.push_back(Clock::now());
    ASSERT_TRUE(tricklers.back().valid()) << i;
  }
  std::vector<std::string> answers(kTricklers);
  std::vector<Clock::duration> lived(kTricklers, Clock::duration::zero());
  std::atomic<bool> trickling{true};
  std::thread trickler([&] {
    const std::string head = "POST /quor-bench/fixed HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n";
    size_t sent = 0;
    auto next = Clock::now();
    for (int open = kTricklers; open > 0 && Clock::now() - opened.front() < 8s;) {
      if (Clock::now() >= next && sent < head.size()) {
        for (int i = 0; i < kTricklers; ++i)
          if (lived[i] == Clock::duration::zero()) Send(tricklers[i], head.substr(sent, 1));
        ++sent;
        next += 200ms;
      }
      std::vector<pollfd> fds;
      for (int i = 0; i < kTricklers; ++i)
        fds.push_back({tricklers[i].get(), static_cast<short>(lived[i] == Clock::duration::zero() ? POLLIN : 0), 0});
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      for (int i = 0; i < kTricklers; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)) || lived[i] != Clock::duration::zero()) continue;
        char buffer[1024];
        const ssize_t n = ::recv(tricklers[i].get(), buffer, sizeof buffer, 0);
        if (n > 0) {
          answers[i].append(buffer, static_cast<size_t>(n));
        } else {
          lived[i] = Clock::now() - opened[i];
          --open;
        }
      }
    }
    trickling = false;
  });

  // Meanwhile (once they are all in) a normal client's calls, each on a new
  // connection, are prompt.
  std::this_thread::sleep_for(200ms);
  std::vector<std::chrono::milliseconds> latencies;
  while (trickling) {
    const auto started = Clock::now();
    UniqueFd fd = Connect(port);
    Send(fd, kGet);
    const std::string answer = Receive(fd, 5s);
    latencies.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started));
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200")) << answer.substr(0, 100);
    std::this_thread::sleep_for(50ms);
  }
  trickler.join();
  ASSERT_GE(latencies.size(), 20u);
  EXPECT_LT(*std::max_element(latencies.begin(), latencies.end()), 100ms);

  // Every trickler was cut at its head's deadline, two seconds after it
  // connected, though a byte came every 200 ms; told why.
  for (int i = 0; i < kTricklers; ++i) {
    EXPECT_GE(lived[i], 1900ms) << i;
    EXPECT_LT(lived[i], 3500ms) << i;
    EXPECT_TRUE(answers[i].starts_with("HTTP/1.1 408")) << i << ": " << answers[i];
  }
  // The idle connections are still served.
  for (size_t i = 0; i < idle.size(); i += 50) {
    Send(idle[i], kGet);
    EXPECT_TRUE(Receive(idle[i], 5s).starts_with("HTTP/1.1 200")) << i;
  }
}

TEST(DeadlineTest, ConnectionsOverTheCapGet503AndRoomComesBack) {
  ServerProcess server(Config({"--max-connections", "8"}));
  ASSERT_EQ(server.Error(), "");
  std::vector<UniqueFd> held;
  for (int i = 0; i < 8; ++i) {
    held.push_back(Connect(server.Port()));
    Send(held.back(), kGet);
    ASSERT_TRUE(Receive(held.back(), 5s).starts_with("HTTP/1.1 200")) << i;
  }

  UniqueFd ninth = Connect(server.Port());
  const auto started = Clock::now();
  bool closed = false;
  std::string answer = Receive(ninth, 5s);
  EXPECT_LT(Clock::now() - started, 1s);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 503 Service Unavailable\r\n")) << answer;
  EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\n503 Service Unavailable\n")) << answer;
  Receive(ninth, 3s, &closed);
  EXPECT_TRUE(closed);

  // Two leave; two more are served (once the server has seen them go).
  held.resize(6);
  int served = 0;
  for (const auto until = Clock::now() + 3s; served < 2 && Clock::now() < until;) {
    UniqueFd fd = Connect(server.Port());
    Send(fd, kGet);
    if (Receive(fd, 2s).starts_with("HTTP/1.1 200")) {
      held.push_back(std::move(fd));
      ++served;
    } else {
      std::this_thread::sleep_for(20ms);
    }
  }
  EXPECT_EQ(served, 2);
  // Full again.
  UniqueFd more = Connect(server.Port());
  EXPECT_TRUE(Receive(more, 2s).starts_with("HTTP/1.1 503")) << "the cap holds again";
  EXPECT_EQ(server.Stop(), 0) << server.Stderr();
}

TEST(DeadlineTest, AnIdleKeptAliveConnectionClosesAfterTheKeepAliveTime) {
  ServerProcess server(Config({"--keep-alive", "1"}));
  ASSERT_EQ(server.Error(), "");
  UniqueFd fd = Connect(server.Port());
  Send(fd, kGet);
  const std::string answer = Receive(fd, 5s);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200")) << answer;
  EXPECT_NE(answer.find("Keep-Alive: timeout=1"), std::string::npos) << answer;
  const auto idle = TimeToClose(fd, 5s);
  EXPECT_GE(idle, 900ms);
  EXPECT_LT(idle, 2500ms);
}

TEST(DeadlineTest, ABodyThatComesTooSlowlyIsCutAtItsDeadline) {
  ServerProcess server(Config({"--read-timeout", "1"}));
  ASSERT_EQ(server.Error(), "");
  UniqueFd fd = Connect(server.Port());
  Send(fd, "POST /quor-bench/fixed HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n");
  const auto started = Clock::now();
  // A byte every 100 ms: never a pause as long as the read time-out.
  std::string answer;
  bool closed = false;
  while (!closed && answer.empty() && Clock::now() - started < 5s) {
    Send(fd, "x");
    answer = Receive(fd, 100ms, &closed);
  }
  const auto cut = Clock::now() - started;
  answer += Receive(fd, 2s);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 408")) << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\n408 Request Timeout: the body did not come in time\n")) << answer;
  EXPECT_EQ(HeaderCount(answer, "Connection: close"), 1u) << answer;
  EXPECT_GE(cut, 900ms);
  // A deadline renewed by each byte would never cut (the loop gives up at
  // 5 s). Under ThreadSanitizer, beside the other tests, the server's strand
  // has been seen to answer 1.2 s late.
#if defined(__SANITIZE_THREAD__)
  EXPECT_LT(cut, 3000ms);
#else
  EXPECT_LT(cut, 2000ms);
#endif
  EXPECT_LT(TimeToClose(fd, 3s), 2500ms) << "not closed";

  // A body cut short by the client's end of sending, also after 100-continue.
  for (const std::string_view expect : {"", "Expect: 100-continue\r\n"}) {
    UniqueFd cut = Connect(server.Port());
    Send(cut, "POST /quor-bench/fixed HTTP/1.1\r\nHost: x\r\n" + std::string(expect) +
                  "Content-Length: 100\r\n\r\nshort");
    ::shutdown(cut.get(), SHUT_WR);
    std::string rest = Receive(cut, 5s);
    if (rest.starts_with("HTTP/1.1 100 Continue\r\n\r\n")) rest = rest.substr(25) + Receive(cut, 5s);
    EXPECT_TRUE(rest.starts_with("HTTP/1.1 400")) << rest;
    EXPECT_EQ(HeaderCount(rest, "Connection: close"), 1u) << rest;
  }
}

TEST(DeadlineTest, EveryConnectionOverTheCapIsAnswered503InTurnWithBoundedDescriptors) {
  ASSERT_NO_FATAL_FAILURE(RaiseFileLimit(1024));
  ServerProcess server(Config({"--max-connections", "4", "--keep-alive", "60"}));
  ASSERT_EQ(server.Error(), "");
  const auto descriptors = [pid = server.Pid()] {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) ++n;
    return n;
  };
  std::vector<UniqueFd> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(Connect(server.Port()));
    Send(held.back(), kGet);
    ASSERT_TRUE(Receive(held.back(), 5s).starts_with("HTTP/1.1 200")) << i;
  }
  const size_t full = descriptors();

  // Fifty times the cap at once: at most the cap are being refused at a
  // time, the rest wait in the backlog, and each is answered in turn.
  std::vector<UniqueFd> over;
  for (int i = 0; i < 200; ++i) {
    over.push_back(Connect(server.Port()));
    ASSERT_TRUE(over.back().valid()) << i;
    Send(over.back(), kGet);
  }
  const auto started = Clock::now();
  size_t most = 0;
  int answered = 0;
  for (UniqueFd& fd : over) {
    most = std::max(most, descriptors());
    const std::string answer = Receive(fd, 5s);
    answered += answer.starts_with("HTTP/1.1 503 Service Unavailable\r\n") &&
                answer.ends_with("\r\n\r\n503 Service Unavailable\n");
    fd.Reset();  // as a client does once answered, which ends its refusal
  }
  EXPECT_EQ(answered, 200);
  // A few descriptors of the process's own come and go meanwhile (under
  // ThreadSanitizer, its runtime's too); 200 connections held would be far
  // more.
  EXPECT_LE(most, full + 4 + 4) << "at most the cap of refusals at once (and a few files)";
  EXPECT_LT(Clock::now() - started, 10s);
  std::printf("200 refused in %.2f s; descriptors %zu at the cap, %zu at most while refusing\n",
              std::chrono::duration<double>(Clock::now() - started).count(), full, most);
  EXPECT_EQ(server.Stop(), 0) << server.Stderr();
}
