#include "testing/TempDir.h"
// A real quor-server process for tests and the benchmark: a temporary folder
// with a registry file into which component libraries are registered with
// the real quor-regsvr, the server started on a free loopback port, and
// stopped (SIGTERM, then SIGKILL if it lingers) when the object goes, also
// when a test fails half-way.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>


extern char** environ;

namespace quor::soap::testing {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

using TempDir = quor::test::TempDir;

// The environment of the calling process with `overrides` ("NAME=value") in place.
inline std::vector<std::string> Environment(const std::vector<std::string>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view entry(*e);
    bool replaced = false;
    for (const std::string& o : overrides)
      if (entry.substr(0, entry.find('=') + 1) == std::string_view(o).substr(0, o.find('=') + 1)) replaced = true;
    if (!replaced) env.emplace_back(entry);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());
  return env;
}

struct Spawned {
  pid_t pid = -1;
  int stdoutFd = -1;
};

// Starts `program` with `args` (no shell), stdout to a pipe we read, stderr to `stderrFile`.
inline Spawned Spawn(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, const fs::path& stderrFile) {
  std::vector<char*> argv;
  std::vector<std::string> owned;
  owned.push_back(program);
  owned.insert(owned.end(), args.begin(), args.end());
  for (auto& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envCopy = env;
  std::vector<char*> envp;
  for (auto& e : envCopy) envp.push_back(e.data());
  envp.push_back(nullptr);

  int pipeFds[2];
  Spawned s;
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return s;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    return s;
  }
  s.pid = pid;
  s.stdoutFd = pipeFds[0];
  return s;
}

// Waits for `pid` up to `limit`; the exit status (128 + signal when killed), or -1 when still running.
inline int WaitFor(pid_t pid, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -2;
    if (std::chrono::steady_clock::now() >= until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Runs a program to its end; its exit status and what it wrote.
struct RunResult {
  int status = -1;
  std::string output;
};
inline RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, const fs::path& scratch) {
  RunResult r;
  const fs::path errFile = scratch / "run.err";
  Spawned s = Spawn(program, args, env, errFile);
  if (s.pid < 0) return r;
  char buffer[4096];
  for (ssize_t n; (n = ::read(s.stdoutFd, buffer, sizeof buffer)) > 0;) r.output.append(buffer, n);
  ::close(s.stdoutFd);
  r.status = WaitFor(s.pid, std::chrono::seconds(30));
  r.output += ReadFile(errFile);
  return r;
}

// Reads quor-server's first line, "listening on ADDRESS:PORT", from its
// standard output: the port, or 0 with what was read in `line`.
inline int ReadListeningPort(int fd, std::chrono::seconds wait, std::string& line) {
  line.clear();
  const auto until = std::chrono::steady_clock::now() + wait;
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char c[256];
    const ssize_t n = ::read(fd, c, sizeof c);
    if (n <= 0) break;
    line.append(c, static_cast<size_t>(n));
  }
  const size_t colon = line.rfind(':');
  if (!line.starts_with("listening on ") || colon == std::string::npos) return 0;
  return std::atoi(line.c_str() + colon + 1);
}

// One running quor-server child: started on port 0 with its standard output
// read for the port it listens on, watched, and stopped.
class ServerChild {
 public:
  ServerChild() = default;
  ~ServerChild() { Stop(SIGKILL, std::chrono::seconds(10)); }
  ServerChild(const ServerChild&) = delete;
  ServerChild& operator=(const ServerChild&) = delete;

  // Starts `program` with "--port 0" and `args`; its standard error goes to
  // `errFile`. False, with what the server printed, when it does not listen
  // within `wait` (it is killed then).
  bool Start(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
             const fs::path& errFile, std::chrono::seconds wait, std::string& why) {
    std::vector<std::string> all = {"--port", "0"};
    all.insert(all.end(), args.begin(), args.end());
    const Spawned s = Spawn(program, all, env, errFile);
    if (s.pid < 0) {
      why = "cannot start quor-server";
      return false;
    }
    pid_ = s.pid;
    stdoutFd_ = s.stdoutFd;
    errFile_ = errFile;
    port_ = ReadListeningPort(stdoutFd_, wait, why);
    if (port_ != 0) return true;
    why = "quor-server did not start: " + why;
    Stop(SIGKILL, std::chrono::seconds(10));
    return false;
  }

  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }

  // Whether it is up; one that ended keeps its exit status for Stop.
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    Forget();
    return false;
  }

  // `signal`, then waits up to `wait`: the exit status, -1 when it had to be
  // killed.
  int Stop(int signal, std::chrono::milliseconds wait) {
    if (pid_ <= 0) return exitStatus_;
    ::kill(pid_, signal);
    exitStatus_ = WaitFor(pid_, wait);
    if (exitStatus_ == -1) {
      ::kill(pid_, SIGKILL);
      WaitFor(pid_, std::chrono::seconds(10));
    }
    Forget();
    if (exitStatus_ > 0 && LeakCheckCrashedAlone(ReadFile(errFile_))) {
      std::fprintf(stderr, "note: quor-server's leak check at exit crashed in LeakSanitizer itself; no sanitizer "
                           "reported anything before it, so its stop counts as clean\n");
      exitStatus_ = 0;
    }
    return exitStatus_;
  }

  // LeakSanitizer's tracer now and then crashes while it stops the threads
  // of a busy process at exit, a fault of the tool, not a finding: whether
  // that is all `stderrText` holds of the sanitizers.
  static bool LeakCheckCrashedAlone(std::string_view stderrText) {
    if (stderrText.find("Tracer caught signal") == std::string_view::npos ||
        stderrText.find("LeakSanitizer has encountered a fatal error") == std::string_view::npos)
      return false;
    // The sanitizers' reports, and the database handles' own checks.
    for (const std::string_view report : {"ERROR:", "runtime error:", "WARNING: ThreadSanitizer"})
      if (stderrText.find(report) != std::string_view::npos) return false;
    return true;
  }

 private:
  void Forget() {
    if (stdoutFd_ >= 0) ::close(stdoutFd_);
    stdoutFd_ = -1;
    pid_ = -1;
  }

  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  int port_ = 0;
  int exitStatus_ = -1;
  fs::path errFile_;
};

class ServerProcess {
 public:
  struct Config {
    fs::path binDir;
    fs::path libDir;
    std::vector<std::string> libraries;  // file names in libDir to register
    std::vector<std::string> args;       // quor-server arguments besides --port 0
  };
  // Runs in the instance folder (with the registry file's path) before the
  // libraries are registered and the server starts; false with the reason in
  // `error` stops there.
  using Prepare = std::function<bool(const fs::path& dir, const fs::path& registry, std::string& error)>;

  explicit ServerProcess(Config config, const Prepare& prepare = {}) : config_(std::move(config)) {
    registry_ = dir_.Path() / "registry.reg";
    events_ = dir_.Path() / "events.log";
    env_ = Environment({"QUOR_REGISTRY=" + registry_.string(), "QUOR_EVENTLOG=" + events_.string()});
    if (prepare && !prepare(dir_.Path(), registry_, error_)) return;
    for (const std::string& lib : config_.libraries) {
      RunResult r = RunProgram((config_.binDir / "quor-regsvr").string(), {(config_.libDir / lib).string()}, env_, dir_.Path());
      if (r.status != 0) {
        error_ = "quor-regsvr " + lib + " failed: " + r.output;
        return;
      }
    }
    Start();
  }
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Empty when the server is up.
  const std::string& Error() const { return error_; }
  int Port() const { return server_.Port(); }
  pid_t Pid() const { return server_.Pid(); }
  std::string Url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(server_.Port()) + std::string(path);
  }
  const fs::path& Dir() const { return dir_.Path(); }
  std::string Events() const { return ReadFile(events_); }
  std::string Stderr() const { return ReadFile(dir_.Path() / "server.err"); }
  bool Running() { return server_.Running(); }

  // SIGTERM and wait; the exit status (-1 when it had to be killed).
  int Stop(int signal = SIGTERM) { return server_.Stop(signal, std::chrono::seconds(10)); }
  // A fresh process on the same instance; Error() tells a failed start.
  void Restart() {
    Stop();
    Start();
  }

 private:
  void Start() {
    std::string why;
    if (!server_.Start((config_.binDir / "quor-server").string(), config_.args, env_, dir_.Path() / "server.err",
                       std::chrono::seconds(20), why))
      error_ = why + Stderr();
  }

  Config config_;
  TempDir dir_;
  fs::path registry_, events_;
  std::vector<std::string> env_;
  std::string error_;
  ServerChild server_;
};

}  // namespace quor::soap::testing
