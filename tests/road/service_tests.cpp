// quor-server as a supervised service: the systemd unit that
// scripts/install-service.sh writes passes systemd's own check, and a server
// killed under a supervisor (daemontools' supervise, which runs without
// systemd) answers again within 5 s on the same port, its instance whole.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/base/unique_fd.h"
#include "testing/Loopback.h"
#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The program's path when it is on PATH, else "".
std::string OnPath(std::string_view name) {
  std::istringstream dirs(Env("PATH"));
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir) / name;
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return "";
}

// Why a test cannot run without `program`; CI installs it (install-deps.sh).
#define QUOR_NEED_PROGRAM(path, program, package)                                                        \
  if ((path).empty()) {                                                                                  \
    if (std::getenv("CI")) FAIL() << program " is missing: scripts/install-deps.sh installs " package;   \
    GTEST_SKIP() << program " is not installed (Debian package " package "), so this is not checked";   \
  }

TEST(ServiceUnit, SystemdVerifiesItAndItsDescriptorsFitTheConnectionCap) {
  const std::string analyze = OnPath("systemd-analyze");
  QUOR_NEED_PROGRAM(analyze, "systemd-analyze", "systemd");
  // The unit as installed into a prefix, here the build folder (bin/, lib/):
  // systemd-analyze checks that ExecStart's program exists.
  st::TempDir dir("quor-unit");
  const std::string prefix = fs::path(QUOR_BIN_DIR).parent_path().string();
  const auto env = st::Environment({"QUOR_PREFIX=" + prefix, "QUOR_INSTANCE=" + dir.File("instance")});
  const st::RunResult printed =
      st::RunProgram(std::string(QUOR_SOURCE_DIR) + "/scripts/install-service.sh", {"--print-unit"}, env, dir.Path());
  ASSERT_EQ(printed.status, 0) << printed.output;
  const std::string& unit = printed.output;
  ASSERT_NE(unit.find("\nExecStart=" + prefix + "/bin/quor-server "), std::string::npos) << unit;
  EXPECT_EQ(unit.find('@'), std::string::npos) << "a name left unfilled:\n" << unit;

  const fs::path file = dir.Path() / "quor-server.service";
  std::ofstream(file) << unit;
  const st::RunResult verified = st::RunProgram(analyze, {"verify", file.string()}, env, dir.Path());
  EXPECT_EQ(verified.status, 0) << verified.output;
  // Warnings (an unknown key, a bad value) leave the status 0: none may name the unit.
  EXPECT_EQ(verified.output.find("quor-server.service"), std::string::npos) << verified.output;

  // quor-server raises its soft limit to 2 x --max-connections + 1024; the
  // unit's hard limit must leave it that room.
  std::smatch cap, files;
  ASSERT_TRUE(std::regex_search(unit, cap, std::regex(R"(\nExecStart=[^\n]* --max-connections (\d+))"))) << unit;
  ASSERT_TRUE(std::regex_search(unit, files, std::regex(R"(\nLimitNOFILE=(\d+)\n)"))) << unit;
  EXPECT_EQ(std::stol(files[1]), 2 * std::stol(cap[1]) + 1024);
}

// A loopback port nothing listens on now.
int FreePort() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &size) != 0)
    return 0;
  return ntohs(addr.sin_port);
}

// A kept-alive connection that has had one answer (the WSDL) read whole, so
// that the server's end closes first when the server dies.
UniqueFd AnsweredConnection(int port) {
  UniqueFd fd = test::ConnectLoopback(port);
  if (!fd.valid()) return fd;
  const std::string request = "GET " + std::string(soap::kCorePath) + "?wsdl HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return UniqueFd();
  std::string in;
  const auto until = Clock::now() + 20s;
  while (Clock::now() < until) {
    const size_t head = in.find("\r\n\r\n");
    const size_t length = in.find("Content-Length: ");
    if (head != std::string::npos && length != std::string::npos &&
        in.size() >= head + 4 + std::stoul(in.substr(length + 16)))
      return in.starts_with("HTTP/1.1 200") ? std::move(fd) : UniqueFd();
    if (!test::ReadSome(fd.get(), in)) break;
  }
  return UniqueFd();
}

// Whether a socket of `port` is in TIME_WAIT (/proc/net/tcp, state 06).
bool TimeWaitOn(int port) {
  char local[16];
  std::snprintf(local, sizeof local, ":%04X ", port);
  std::istringstream lines(st::ReadFile("/proc/net/tcp"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string slot, source, destination, state;
    fields >> slot >> source >> destination >> state;
    if ((source + " ").ends_with(local) && state == "06") return true;
  }
  return false;
}

// quor-server on the instance under supervise: the service folder's `run`
// notes each start in starts.log and appends the server's output to
// server.out and server.err.
class Supervised {
 public:
  Supervised(const ServerInstance& instance, int port, std::string supervise, std::string svc, std::string svstat)
      : dir_(instance.Dir() / "service"), svc_(std::move(svc)), svstat_(std::move(svstat)) {
    fs::create_directories(dir_);
    std::ofstream(dir_ / "run") << "#!/bin/sh\necho start >> starts.log\nexec '" << QUOR_BIN_DIR
                                << "/quor-server' --address 127.0.0.1 --port " << port
                                << " >> server.out 2>> server.err\n";
    fs::permissions(dir_ / "run", fs::perms::owner_all);
    env_ = st::Environment({"QUOR_REGISTRY=" + instance.RegistryFile().string(),
                            "QUOR_EVENTLOG=" + (instance.Dir() / "events.log").string()});
    supervisor_ = st::Spawn(supervise, {dir_.string()}, env_, instance.Dir() / "supervise.err");
  }
  ~Supervised() { Stop(); }
  Supervised(const Supervised&) = delete;
  Supervised& operator=(const Supervised&) = delete;

  bool Started() const { return supervisor_.pid > 0; }
  // The server's process id as the supervisor tells it ("up (pid N)"), 0 when down.
  pid_t ServerPid() {
    const st::RunResult r = st::RunProgram(svstat_, {dir_.string()}, env_, dir_.parent_path());
    std::smatch up;
    return std::regex_search(r.output, up, std::regex(R"(: up \(pid (\d+)\))")) ? std::stoi(up[1]) : 0;
  }
  std::string File(std::string_view name) const { return st::ReadFile(dir_ / name); }

  // Down (SIGTERM) and the supervisor out; both killed if they linger.
  void Stop() {
    if (supervisor_.pid <= 0) return;
    const pid_t server = ServerPid();
    st::RunProgram(svc_, {"-dx", dir_.string()}, env_, dir_.parent_path());
    if (st::WaitFor(supervisor_.pid, 20s) == -1) {
      ::kill(supervisor_.pid, SIGKILL);
      if (server > 0) ::kill(server, SIGKILL);
      st::WaitFor(supervisor_.pid, 10s);
    }
    ::close(supervisor_.stdoutFd);
    supervisor_ = {};
  }

 private:
  fs::path dir_;
  std::string svc_, svstat_;
  std::vector<std::string> env_;
  st::Spawned supervisor_;
};

// Signs in and makes one call: the client, or null when that failed.
std::unique_ptr<CVeltService> Answering(const std::string& url) {
  auto client = std::make_unique<CVeltService>();
  if (client->Connect(url, "administrator", "pw") != 0 || !Call(*client, "GetLogCount").ok) return nullptr;
  return client;
}

TEST(SupervisedServer, AnswersWithinFiveSecondsOfBeingKilledOnItsPortWithItsInstanceWhole) {
  const std::string supervise = OnPath("supervise"), svc = OnPath("svc"), svstat = OnPath("svstat");
  QUOR_NEED_PROGRAM(supervise, "supervise", "daemontools");
  // The instance, readied by a first run of the server of its own.
  ServerInstance instance;
  instance.Start({});
  if (HasFatalFailure() || IsSkipped()) return;
  ASSERT_EQ(instance.Stop(), 0) << instance.Stderr();

  const int port = FreePort();
  ASSERT_NE(port, 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + std::string(soap::kCorePath);
  Supervised service(instance, port, supervise, svc, svstat);
  ASSERT_TRUE(service.Started());
  std::unique_ptr<CVeltService> client;
  for (const auto until = Clock::now() + 30s; !client && Clock::now() < until; std::this_thread::sleep_for(20ms))
    client = Answering(url);
  ASSERT_TRUE(client) << service.File("server.err");
  const CallOutcome put = Call(*client, "PutShareField", {{"author", "administrator"}, {"name", "kept"}, {"field", "before"}});
  ASSERT_TRUE(put.ok) << put.fault;

  // The server's end of this connection closes first when it dies, so the
  // port is held by a socket in FIN_WAIT or TIME_WAIT when the next one binds.
  UniqueFd held = AnsweredConnection(port);
  ASSERT_TRUE(held.valid());
  const pid_t killed = service.ServerPid();
  ASSERT_GT(killed, 0);
  ASSERT_EQ(::kill(killed, SIGKILL), 0);
  const auto start = Clock::now();
  pollfd p{held.get(), POLLIN, 0};
  char byte;
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  ASSERT_EQ(::recv(held.get(), &byte, 1, 0), 0) << "the killed server's end did not close";
  held.Reset();

  client.reset();
  while (!client && Clock::now() < start + 15s) {
    client = Answering(url);
    if (!client) std::this_thread::sleep_for(10ms);
  }
  const auto taken = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::printf("answered again %lld ms after the kill\n", static_cast<long long>(taken.count()));
  ASSERT_TRUE(client) << service.File("server.err");
  EXPECT_LT(taken.count(), 5000);
  const pid_t restarted = service.ServerPid();
  EXPECT_GT(restarted, 0);
  EXPECT_NE(restarted, killed);
  // It bound at its first start: two starts in all, both listening.
  EXPECT_EQ(service.File("starts.log"), "start\nstart\n");
  const std::string out = service.File("server.out");
  const std::string listening = "listening on 127.0.0.1:" + std::to_string(port) + "\n";
  EXPECT_EQ(out, listening + listening);
  EXPECT_TRUE(TimeWaitOn(port)) << "no TIME_WAIT socket on the port: the bind was not put to the test";

  // The instance: sign-in (registry, account store) above, and the write
  // acknowledged before the kill reads back.
  const CallOutcome got = Call(*client, "GetShareField", {{"uri", CollabUri("administrator", "kept")}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, "<root><field>before</field></root>");
  client->EndSession();
  service.Stop();
  EXPECT_EQ(service.File("server.err").find("Sanitizer"), std::string::npos) << service.File("server.err");
}

}  // namespace
}  // namespace quor::admin::testing
