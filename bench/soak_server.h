// A quor-server of the soak, supervised: started in the soak's folder with
// core dumps allowed, its death caught by waitpid, its standard error read
// as it grows for sanitizer reports, its PostgreSQL connections counted, and
// gdb's backtraces taken of a core or of the live process when it stops
// answering.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/base/unique_fd.h"

extern char** environ;

namespace quor::soak {

namespace fs = std::filesystem;

inline std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs a shell command; its output (standard output and error together, at
// most `limit` bytes kept) and its exit status.
inline int Shell(const std::string& command, std::string* output = nullptr, size_t limit = 1 << 20) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    if (output && output->size() < limit) output->append(buffer, std::min(n, limit - output->size()));
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

inline std::string Quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Where the kernel writes cores: with a relative pattern, into the dying
// process's working folder (the soak's folder, as the server runs there),
// and nothing is changed; otherwise, when the pattern can be written, into
// `dir` until this object goes, when the old pattern comes back.
class CorePattern {
 public:
  explicit CorePattern(const fs::path& dir) {
    raiseLimit_ = RaiseCoreLimit();
    old_ = ReadText(kFile);
    while (!old_.empty() && (old_.back() == '\n' || old_.back() == ' ')) old_.pop_back();
    if (!old_.empty() && old_[0] != '/' && old_[0] != '|') {
      where_ = "the server's working folder " + dir.string() + " (core_pattern \"" + old_ + "\")";
      return;
    }
    std::ofstream out(kFile);
    if (out << (dir / "core.%p").string() << '\n' && out.flush()) {
      changed_ = true;
      where_ = (dir / "core.%p").string() + " (core_pattern set for the run, \"" + old_ + "\" restored after)";
    } else {
      where_ = "where core_pattern \"" + old_ + "\" sends them (not writable here)";
    }
  }
  ~CorePattern() {
    if (changed_) std::ofstream(kFile) << old_ << '\n';
  }
  CorePattern(const CorePattern&) = delete;
  CorePattern& operator=(const CorePattern&) = delete;

  std::string Describe() const { return where_ + (raiseLimit_ ? "" : "; the core size limit could not be raised"); }

 private:
  static constexpr const char* kFile = "/proc/sys/kernel/core_pattern";
  // The limit children inherit.
  static bool RaiseCoreLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_CORE, &limit) != 0) return false;
    limit.rlim_cur = limit.rlim_max;
    if (limit.rlim_max != RLIM_INFINITY) {
      rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
      if (::setrlimit(RLIMIT_CORE, &unlimited) == 0) return true;
    }
    return ::setrlimit(RLIMIT_CORE, &limit) == 0 && limit.rlim_cur == RLIM_INFINITY;
  }

  std::string old_, where_;
  bool changed_ = false, raiseLimit_ = false;
};

// The first sanitizer report in a growing file, looked for as it grows.
class ReportWatch {
 public:
  explicit ReportWatch(fs::path file) : file_(std::move(file)) {}

  // Reads what was added; true once a report has been seen.
  bool Poll() {
    std::ifstream in(file_, std::ios::binary);
    if (!in) return found_ != std::string::npos;
    in.seekg(static_cast<std::streamoff>(read_));
    std::string chunk(1 << 16, '\0');
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
      const size_t n = static_cast<size_t>(in.gcount());
      const std::string window = carry_ + chunk.substr(0, n);
      if (found_ == std::string::npos) {
        for (std::string_view marker : kMarkers) {
          const size_t at = window.find(marker);
          if (at != std::string::npos && (found_ == std::string::npos || read_ - carry_.size() + at < found_))
            found_ = read_ - carry_.size() + at;
        }
      }
      read_ += n;
      carry_ = window.substr(window.size() > kCarry ? window.size() - kCarry : 0);
      if (n < chunk.size()) break;
    }
    return found_ != std::string::npos;
  }
  bool Found() const { return found_ != std::string::npos; }
  // The report from its line on, at most `limit` bytes.
  std::string Report(size_t limit = 24 << 10) const {
    if (found_ == std::string::npos) return {};
    std::ifstream in(file_, std::ios::binary);
    const size_t from = found_ > 300 ? found_ - 300 : 0;
    in.seekg(static_cast<std::streamoff>(from));
    std::string text(limit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<size_t>(in.gcount()));
    const size_t line = text.rfind('\n', found_ - from);
    return line == std::string::npos ? text : text.substr(line + 1);
  }
  // The last `limit` bytes of the file.
  std::string Tail(size_t limit = 8 << 10) const {
    std::ifstream in(file_, std::ios::binary | std::ios::ate);
    const auto size = static_cast<size_t>(std::max<std::streamoff>(0, in.tellg()));
    in.seekg(static_cast<std::streamoff>(size > limit ? size - limit : 0));
    std::string text(std::min(size, limit), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    return text;
  }

 private:
  static constexpr std::array<std::string_view, 6> kMarkers = {
      "ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer", "runtime error:",
      "ERROR: ThreadSanitizer", "ERROR: UndefinedBehaviorSanitizer"};
  static constexpr size_t kCarry = 64;
  fs::path file_;
  size_t read_ = 0;
  size_t found_ = std::string::npos;
  std::string carry_;
};

// quor-server as a child of ours. Only the thread that started it waits for it.
class ServerChild {
 public:
  ServerChild() = default;
  ~ServerChild() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ServerChild(const ServerChild&) = delete;
  ServerChild& operator=(const ServerChild&) = delete;

  // Starts `program` with `args` in the folder `dir`, its standard error
  // into `err`; waits up to a minute for "listening on ...:PORT".
  bool Start(const fs::path& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
             const fs::path& dir, const fs::path& err, std::string& why) {
    std::vector<std::string> owned{program.string()};
    owned.insert(owned.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (std::string& a : owned) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envCopy = env;
    for (std::string& e : envCopy) envp.push_back(e.data());
    envp.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    stdout_ = UniqueFd(fds[0]);
    if (rc != 0) {
      pid_ = -1;
      why = "cannot start " + program.string() + ": " + std::strerror(rc);
      return false;
    }
    std::string line;
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
      pollfd p{stdout_.get(), POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char c[256];
      const ssize_t n = ::read(stdout_.get(), c, sizeof c);
      if (n <= 0) break;
      line.append(c, static_cast<size_t>(n));
    }
    const size_t colon = line.rfind(':');
    if (line.starts_with("listening on ") && colon != std::string::npos) port_ = std::atoi(line.c_str() + colon + 1);
    if (port_ > 0) return true;
    why = "quor-server did not start: " + line + ReadText(err);
    return false;
  }

  pid_t Pid() const { return pid_; }
  int Port() const { return port_; }

  // Whether it still runs; once it has ended, its wait status stays in Status().
  bool Alive() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
    status_ = status;
    ended_ = pid_;
    pid_ = -1;
    return false;
  }
  int Status() const { return status_; }
  pid_t EndedPid() const { return ended_; }

  // `signal`, then up to `limit` for it to end: its exit code (128 + the
  // signal when one ended it), or -1 when it had to be killed.
  int Stop(int signal, std::chrono::seconds limit) {
    if (pid_ > 0) {
      ::kill(pid_, signal);
      const auto until = std::chrono::steady_clock::now() + limit;
      while (Alive() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
        ended_ = pid_;
        pid_ = -1;
        return -1;
      }
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }

 private:
  pid_t pid_ = -1, ended_ = -1;
  int port_ = 0;
  int status_ = 0;
  UniqueFd stdout_;
};

// A core of process `pid` in `dir` ("core", "core.PID" or "core.*PID*").
inline fs::path FindCore(const fs::path& dir, pid_t pid) {
  const std::string id = std::to_string(pid);
  fs::path best;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name == "core.%p") continue;
    if (name == "core" || name == "core." + id) return entry.path();
    if (name.starts_with("core.") && name.find(id) != std::string::npos) best = entry.path();
  }
  return best;
}

// gdb's backtraces, of a core or of a live process, written to `out`; the
// crashing (or first) thread's stack first, then every thread's.
inline std::string Backtraces(const fs::path& program, const std::string& target, bool live, const fs::path& out) {
  const std::string command = "gdb -batch -nx -ex 'set pagination off' -ex 'bt' -ex 'thread apply all bt' " +
                              (live ? Quoted(program.string()) + " -p " + target
                                    : Quoted(program.string()) + " " + Quoted(target));
  std::string text;
  const int status = Shell(command + " > " + Quoted(out.string()), nullptr);
  text = ReadText(out);
  if (status == 127 || text.empty()) return "(gdb gave nothing: status " + std::to_string(status) + ")";
  // Without gdb's notes on the threads it found.
  std::string kept;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (!line.starts_with("[New LWP") && !line.starts_with("[New Thread") && !line.starts_with("[Thread debugging") &&
        !line.starts_with("Using host libthread_db"))
      kept += line + "\n";
  return kept;
}

// Established TCP connections of `pid` to the PostgreSQL port. (SQLite's
// descriptors tell nothing: it keeps a closed connection's file open for
// the next one while others hold locks on the file.)
inline int PostgresConnections(pid_t pid, int pgPort) {
  std::set<std::string> sockets;
  for (const char* table : {"tcp", "tcp6"}) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/net/" + table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      const size_t colon = remote.rfind(':');
      if (state == "01" && colon != std::string::npos && std::strtol(remote.c_str() + colon + 1, nullptr, 16) == pgPort)
        sockets.insert("socket:[" + inode + "]");
    }
  }
  int count = 0;
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(fdDir.c_str());
  if (!dir) return -1;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char link[512];
    const ssize_t n = ::readlink((fdDir + "/" + entry->d_name).c_str(), link, sizeof link - 1);
    if (n > 0 && sockets.count(std::string(link, static_cast<size_t>(n)))) ++count;
  }
  ::closedir(dir);
  return count;
}

}  // namespace quor::soak
