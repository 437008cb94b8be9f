// memory_probe: quor-server under hostile memory load, seen from outside,
// through real HTTP and the console's signed-in client, each figure next to
// its goal.
//
//   memory_probe [--build DIR] [--budget-mb MB] [--clients N] [--content-mb MB]
//                [--rows N] [--query-clients N] [--hold-seconds S]
//                [--settle-seconds S] [--wal] [--quick]
//
// Prepares a temporary instance (SQLite repository, local account store,
// the service value AllAnswersMemoryMB = --budget-mb, default 512; an SQLite
// data source "data" with a table of --rows rows x 8 columns, default 300k,
// in WAL mode with --wal, where the SQLite driver reads the Queries row by row),
// starts quor-server, warms it (sign-in, a few calls of every kind used) and
// reads its VmRSS as "idle". Then:
//   A. one user stores a --content-mb content (default 12) with
//      PutVOContent; --clients sessions (default 40) each send GetVOContent
//      for it on a raw connection of their own and do not read: they hold
//      --hold-seconds (default 30, past the server's per-piece deadline),
//      then each connection is read to its end (at most 60 s) and closed,
//      which tells whether its answer came whole, was refused over the
//      budget (0x8007000E) or was cut off;
//   B. --query-clients signed-in clients (default 32) each run one Query of
//      every row at once, reading the answer as it streams.
// Through both, another signed-in client calls GetLogCount once a second on
// its kept-alive connection (waiting up to 120 s for an answer), and the
// server's VmRSS is sampled every 100 ms.
// Afterwards every kind of call must succeed again; --settle-seconds later
// (default 60) VmRSS is read again. Misses are reported, not failures: the
// exit status is 0 when the probe ran to its end, 1 when it could not run,
// 2 for a wrong command line. --quick: 8 clients, a 4 MB content, 30k rows,
// 8 Queries, a 15 s hold and 10 s to settle (options after it still count).
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "admin/VeltService.h"
#include "bench/bench_instance.h"
#include "bench/soak_server.h"
#include "bench/soak_wire.h"
#include "platform/base/unique_fd.h"
#include "platform/soap/http_client.h"
#include "platform/text/text.h"
#include "testing/ServerProcess.h"
#include "testing/SignedSession.h"

namespace {

namespace fs = std::filesystem;
namespace st = quor::soap::testing;
using namespace std::chrono_literals;
using quor::admin::CVeltService;
using Clock = std::chrono::steady_clock;

constexpr const char* kOwner = "probe";
constexpr const char* kWatcher = "watch";
constexpr const char* kPassword = "probe-pw";
constexpr const char* kContentName = "probe-large";
constexpr long kAboveBudgetMB = 128;  // the goal: budget + this
constexpr double kIdleFactor = 1.5;
constexpr double kLatencyGoal = 1.0;  // seconds
const char* const kLibraries[] = {"libQuorServiceCore.so", "libQuorAuth.so", "libQuorAccessor.so"};

struct Options {
  fs::path bin = QUOR_BIN_DIR, lib = QUOR_LIB_DIR;
  long budgetMB = 512;
  int clients = 40;
  long contentMB = 12;
  long rows = 300000;
  int queryClients = 32;
  int holdSeconds = 30;
  int settleSeconds = 60;
  bool wal = false;  // the data source in WAL mode, which the driver reads row by row
};

[[noreturn]] void Usage(const std::string& why) {
  std::fprintf(why.empty() ? stdout : stderr,
               "usage: memory_probe [--build DIR] [--budget-mb MB] [--clients N] [--content-mb MB] [--rows N]\n"
               "                    [--query-clients N] [--hold-seconds S] [--settle-seconds S] [--wal] [--quick]\n%s%s",
               why.c_str(), why.empty() ? "" : "\n");
  std::exit(why.empty() ? 0 : 2);
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  // The preset first, wherever it stands, so that the options given with it win.
  for (int i = 1; i < argc; ++i)
    if (std::string_view(argv[i]) == "--quick") {
      o.clients = 8;
      o.contentMB = 4;
      o.rows = 30000;
      o.queryClients = 8;
      o.holdSeconds = 15;
      o.settleSeconds = 10;
    }
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--quick") continue;
    if (a == "--help" || a == "-h") Usage("");
    if (a == "--wal") {
      o.wal = true;
      continue;
    }
    if (i + 1 >= argc) Usage(std::string(a) + " wants a value");
    const std::string v = argv[++i];
    const auto number = [&](long low) {
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (!end || *end || n < low) Usage(std::string(a) + ": not a whole number from " + std::to_string(low));
      return n;
    };
    if (a == "--build") {
      o.bin = fs::path(v) / "bin";
      o.lib = fs::path(v) / "lib";
    } else if (a == "--budget-mb") o.budgetMB = number(1);
    else if (a == "--clients") o.clients = static_cast<int>(number(1));
    else if (a == "--content-mb") o.contentMB = number(1);
    else if (a == "--rows") o.rows = number(1);
    else if (a == "--query-clients") o.queryClients = static_cast<int>(number(1));
    else if (a == "--hold-seconds") o.holdSeconds = static_cast<int>(number(0));
    else if (a == "--settle-seconds") o.settleSeconds = static_cast<int>(number(0));
    else Usage("unknown option " + std::string(a));
  }
  return o;
}

double Mb(long kib) { return static_cast<double>(kib) / 1024.0; }
double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// ---- Phases, and what is watched through them ------------------------------------------

enum class Phase { Warm, A, Rest, B, After };
constexpr int kPhases = 5;
constexpr const char* kPhaseNames[kPhases] = {"warm-up", "A", "rest", "B", "after"};

class Stage {
 public:
  void Enter(Phase p) { phase_ = static_cast<int>(p); }
  Phase Now() const { return static_cast<Phase>(phase_.load()); }
  double Seconds() const { return Since(start_); }

 private:
  std::atomic<int> phase_{static_cast<int>(Phase::Warm)};
  const Clock::time_point start_ = Clock::now();
};

// The server's VmRSS every 100 ms on a thread of its own: the highest per
// phase, and the highest per 5 s for the timeline.
class MemoryWatch {
 public:
  MemoryWatch(pid_t pid, const Stage& stage) : pid_(pid), stage_(stage), thread_([this] { Sample(); }) {}
  ~MemoryWatch() {
    stop_ = true;
    thread_.join();
  }
  MemoryWatch(const MemoryWatch&) = delete;
  MemoryWatch& operator=(const MemoryWatch&) = delete;

  long PeakKiB(Phase p) const {
    std::lock_guard guard(lock_);
    return peaks_[static_cast<int>(p)];
  }
  std::vector<std::pair<int, long>> Timeline() const {
    std::lock_guard guard(lock_);
    return timeline_;
  }

 private:
  void Sample() {
    while (!stop_) {
      const long kib = quor::bench::ResidentKiB(pid_);
      const int window = static_cast<int>(stage_.Seconds() / 5) * 5;
      {
        std::lock_guard guard(lock_);
        long& peak = peaks_[static_cast<int>(stage_.Now())];
        peak = std::max(peak, kib);
        if (timeline_.empty() || timeline_.back().first != window) timeline_.emplace_back(window, kib);
        else timeline_.back().second = std::max(timeline_.back().second, kib);
      }
      std::this_thread::sleep_for(100ms);
    }
  }

  const pid_t pid_;
  const Stage& stage_;
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;
  long peaks_[kPhases] = {};
  std::vector<std::pair<int, long>> timeline_;  // seconds into the run (5 s windows), KiB
  std::thread thread_;
};

// GetLogCount once a second on a client of its own, whose connection is
// kept alive between calls (the server keeps an idle one 5 s); a call that
// takes longer than a second is followed at once. Each latency is kept by
// the phase the call began in; a failed call counts as beyond any goal.
class LogCountWatch {
 public:
  struct Figures {
    size_t calls = 0, failed = 0;
    double p50 = 0, p99 = 0, max = 0;  // seconds; infinite when failures reach that rank
  };

  LogCountWatch(std::unique_ptr<CVeltService> client, const Stage& stage)
      : client_(std::move(client)), stage_(stage), thread_([this] { Call(); }) {}
  ~LogCountWatch() { Stop(); }
  LogCountWatch(const LogCountWatch&) = delete;
  LogCountWatch& operator=(const LogCountWatch&) = delete;

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  Figures Of(Phase p) const {
    std::vector<double> taken;
    Figures f;
    {
      std::lock_guard guard(lock_);
      taken = latencies_[static_cast<int>(p)];
      f.failed = failed_[static_cast<int>(p)];
    }
    f.calls = taken.size();
    if (taken.empty()) return f;
    std::sort(taken.begin(), taken.end());
    const auto rank = [&](double share) {
      const size_t at = static_cast<size_t>(std::ceil(share * static_cast<double>(taken.size())));
      return taken[std::clamp<size_t>(at, 1, taken.size()) - 1];
    };
    f.p50 = rank(0.5);
    f.p99 = rank(0.99);
    f.max = taken.back();
    return f;
  }
  std::string FirstFailure() const {
    std::lock_guard guard(lock_);
    return firstFailure_;
  }

 private:
  void Call() {
    auto next = Clock::now();
    while (!stop_) {
      if (Clock::now() < next) {
        std::this_thread::sleep_for(std::min<Clock::duration>(next - Clock::now(), 50ms));
        continue;
      }
      const int phase = static_cast<int>(stage_.Now());
      const auto start = Clock::now();
      client_->BeginRequest("GetLogCount");
      const bool ok = client_->Invoke() && client_->DecodedResult().find("<logcount>") != std::string::npos;
      const double took = Since(start);
      {
        std::lock_guard guard(lock_);
        latencies_[phase].push_back(ok ? took : std::numeric_limits<double>::infinity());
        if (!ok) {
          ++failed_[phase];
          if (firstFailure_.empty())
            firstFailure_ = quor::text::Format("after %.1f s: %s", took, client_->FormatFault().c_str());
        }
      }
      next = std::max(next + 1s, Clock::now());
    }
    client_->EndSession();
  }

  std::unique_ptr<CVeltService> client_;
  const Stage& stage_;
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;
  std::vector<double> latencies_[kPhases];
  size_t failed_[kPhases] = {};
  std::string firstFailure_;
  std::thread thread_;
};

// ---- How calls ended ------------------------------------------------------------------

enum class Outcome { Answered, Refused, CutOff, Other };

struct Tally {
  int answered = 0, refused = 0, cutOff = 0, other = 0;
  std::vector<std::string> notes;  // the first few texts of "other"
  std::mutex lock;

  void Add(Outcome o, std::string note = {}) {
    std::lock_guard guard(lock);
    switch (o) {
      case Outcome::Answered: ++answered; break;
      case Outcome::Refused: ++refused; break;
      case Outcome::CutOff: ++cutOff; break;
      case Outcome::Other: ++other; break;
    }
    if (!note.empty() && notes.size() < 4) notes.push_back(std::move(note));
  }
  void Print(const char* what, int of) {
    std::printf("  %-34s %d of %d answered, %d refused over the budget (0x8007000E), %d cut off, %d other\n", what,
                answered, of, refused, cutOff, other);
    for (const std::string& n : notes) std::printf("    %s\n", n.c_str());
  }
};

// The fault status of the client's last answer; S_OK when no fault answer came.
HRESULT FaultOf(const CVeltService& client) {
  if (client.LastAnswer().empty()) return S_OK;
  const quor::Result<quor::soap::Answer> answer = quor::soap::ParseAnswer(client.LastAnswer());
  return answer.ok() && answer->isFault ? answer->fault.status : S_OK;
}

// A failed call through the console's client: refused over the budget, cut
// off (no fault answer: the stream broke), or something else.
Outcome FailureOf(const CVeltService& client) {
  const HRESULT fault = FaultOf(client);
  return fault == E_OUTOFMEMORY ? Outcome::Refused : fault == S_OK ? Outcome::CutOff : Outcome::Other;
}

// Counts the records of a Query's answer as it streams, never holding it.
struct RecordCounter {
  size_t records = 0;
  std::string carry;
  bool operator()(std::string_view piece) {
    static constexpr std::string_view kRecord = "<record";
    std::string text = carry;
    text.append(piece);
    for (size_t at = text.find(kRecord); at != std::string::npos; at = text.find(kRecord, at + kRecord.size()))
      ++records;
    carry = text.substr(text.size() - std::min(text.size(), kRecord.size() - 1));
    return true;
  }
};

// One Query of every row through `client`, read as it streams.
Outcome QueryAll(CVeltService& client, long rows, std::string& note) {
  auto counter = std::make_shared<RecordCounter>();
  client.SetResultConsumer([counter](std::string_view piece) { return (*counter)(piece); });
  client.BeginRequest("Query");
  client.AddParameter("sqlstmt", quor::bench::QueryAllDocument("data", "main", "big"));
  if (!client.Invoke()) {
    const Outcome o = FailureOf(client);
    if (o != Outcome::Refused) note = client.FormatFault();
    return o;
  }
  if (counter->records == static_cast<size_t>(rows)) return Outcome::Answered;
  note = "answered " + std::to_string(counter->records) + " records of " + std::to_string(rows);
  return Outcome::Other;
}

// What a stalled connection got once it was read to its end.
struct Drained {
  int status = 0;       // 0: no HTTP answer came
  size_t bytes = 0;     // all of it, head included
  bool closed = false;  // the server closed (or reset) the connection
  bool complete = false;  // a chunked answer with its last chunk
  std::string head;     // the first 256 KiB: the head, and a fault's whole body
};

Drained Drain(int fd, std::chrono::seconds limit) {
  static constexpr size_t kKept = 256 << 10;
  static constexpr std::string_view kLastChunk = "\r\n0\r\n\r\n";
  Drained d;
  std::string tail;
  const auto until = Clock::now() + limit;
  std::vector<char> buffer(1 << 16);
  while (Clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) {
      d.closed = true;
      break;
    }
    const std::string_view got(buffer.data(), static_cast<size_t>(n));
    d.bytes += got.size();
    if (d.head.size() < kKept) d.head.append(got.substr(0, kKept - d.head.size()));
    tail.append(got);
    if (tail.size() > 64) tail.erase(0, tail.size() - 64);
  }
  if (d.head.starts_with("HTTP/1.")) d.status = std::atoi(d.head.c_str() + 9);
  d.complete = tail.ends_with(kLastChunk);
  return d;
}

Outcome Judge(const Drained& d, std::string& note) {
  if (d.status == 200 && d.complete) return Outcome::Answered;
  if (d.status == 200 || (d.status == 0 && d.closed)) {
    if (d.closed) return Outcome::CutOff;
    note = "still coming 60 s after the hold: " + std::to_string(d.bytes) + " bytes";
    return Outcome::Other;
  }
  const size_t body = d.head.find("\r\n\r\n");
  HRESULT fault = S_OK;
  if (body != std::string::npos) quor::soak::AnswerOutputs(std::string_view(d.head).substr(body + 4), fault);
  if (d.status == 500 && fault == E_OUTOFMEMORY) return Outcome::Refused;
  note = "HTTP " + std::to_string(d.status) +
         (fault != S_OK ? quor::text::Format(" fault 0x%08X", static_cast<uint32_t>(fault)) : std::string()) +
         (d.closed ? "" : ", not closed");
  return Outcome::Other;
}

// ---- The goals ----------------------------------------------------------------------------

struct Goals {
  int missed = 0;
  void Line(const std::string& what, const std::string& figure, const std::string& goal, bool met) {
    std::printf("  %-50s %-44s goal %-10s %s\n", what.c_str(), figure.c_str(), goal.c_str(), met ? "PASS" : "MISS");
    missed += !met;
  }
};

std::string Seconds(double s) { return std::isinf(s) ? "failed" : quor::text::Format("%.3f s", s); }

// ---- The run ------------------------------------------------------------------------------

// A client signed in as `user`; null (with the reason printed) when it cannot.
std::unique_ptr<CVeltService> SignIn(const std::string& url, const char* user, std::chrono::seconds timeout = 30s) {
  auto client = std::make_unique<CVeltService>();
  client->SetTimeout(timeout);
  if (client->Connect(url, user, kPassword) == 0) return client;
  std::fprintf(stderr, "memory_probe: sign-in of %s failed: %s\n", user, client->FormatFault().c_str());
  return nullptr;
}

// One call that must succeed; false with the reason printed.
bool Must(CVeltService& client, std::string_view method,
          std::initializer_list<std::pair<std::string_view, std::string_view>> params) {
  client.BeginRequest(method);
  for (const auto& [name, value] : params) client.AddParameter(name, value);
  if (client.Invoke()) return true;
  std::fprintf(stderr, "memory_probe: %s failed: %s\n", std::string(method).c_str(), client.FormatFault().c_str());
  return false;
}

// Sleeps `span`, or less when the server ends.
void Hold(st::ServerProcess& server, std::chrono::seconds span) {
  const auto until = Clock::now() + span;
  while (Clock::now() < until && server.Running()) std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), 250ms));
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = ParseOptions(argc, argv);
  if (!fs::exists(o.bin / "quor-server") || !fs::exists(o.lib / kLibraries[0])) {
    std::fprintf(stderr, "memory_probe: no quor-server in %s or no components in %s\n", o.bin.c_str(), o.lib.c_str());
    return 1;
  }
  if (quor::soak::Shell("sqlite3 -version") != 0) {
    std::fprintf(stderr, "memory_probe: the sqlite3 shell is needed to make the data source\n");
    return 1;
  }
  const long contentBytes = o.contentMB << 20;
  std::vector<std::string> args;
  // A content past the default body limit (16 MiB) needs a larger one.
  if (contentBytes + (1 << 20) > (16L << 20)) args = {"--max-body", std::to_string(contentBytes + (4L << 20))};

  // ---- The instance and the server ----------------------------------------------------------
  const auto made = Clock::now();
  st::ServerProcess server(
      {o.bin, o.lib, {std::begin(kLibraries), std::end(kLibraries)}, args},
      [&o](const fs::path& dir, const fs::path& registry, std::string& error) {
        const fs::path data = dir / "data.db";
        std::string out;
        if (quor::soak::Shell("sqlite3 -batch " + quor::soak::Quoted(data.string()) + " " +
                                  quor::soak::Quoted(quor::bench::SqliteQueryTable("big", o.rows) +
                                                     quor::bench::SqliteQueryTable("few", 10) +
                                                     (o.wal ? "PRAGMA journal_mode = WAL;" : "")),
                              &out) != 0) {
          error = "sqlite3 could not make the data source: " + out;
          return false;
        }
        quor::bench::InstanceSettings settings;
        settings.users = {kOwner, kWatcher};
        settings.password = kPassword;
        settings.iterations = 1000;  // many sign-ins
        settings.serviceDwords = {{"AllAnswersMemoryMB", static_cast<uint32_t>(o.budgetMB)}};
        settings.homeFiles = {{"config/data.xml", quor::bench::SqliteSourceSetting("data", data)}};
        fs::path repository;
        return quor::bench::PrepareInstance(dir, registry, settings, repository, error);
      });
  if (!server.Error().empty()) {
    std::fprintf(stderr, "memory_probe: %s\n", server.Error().c_str());
    return 1;
  }
  const pid_t pid = server.Pid();
  const std::string url = server.Url(quor::soap::kCorePath);
  std::printf("memory_probe: quor-server %d on 127.0.0.1:%d (%s), SQLite repository, AllAnswersMemoryMB %ld; "
              "instance made in %.1f s\n",
              static_cast<int>(pid), server.Port(), o.bin.c_str(), o.budgetMB, Since(made));
  std::printf("memory_probe: A: %d stalled GetVOContent of %ld MB, hold %d s; B: %d Queries of %ld rows x 8 columns; "
              "settle %d s; GetLogCount once a second on a kept-alive connection\n",
              o.clients, o.contentMB, o.holdSeconds, o.queryClients, o.rows, o.settleSeconds);
  std::fflush(stdout);

  // ---- Idle: warmed by every kind of call the probe makes -------------------------------------
  const std::unique_ptr<CVeltService> owner = SignIn(url, kOwner, 120s);
  // A long patience, so that a late answer's latency is measured, not our time-out.
  std::unique_ptr<CVeltService> watcher = SignIn(url, kWatcher, 120s);
  if (!owner || !watcher) return 1;
  if (!Must(*owner, "PutVOContent", {{"name", "warm"}, {"content", quor::bench::TextContent(100000)}}) ||
      !Must(*owner, "GetVOContent", {{"name", "warm"}}) ||
      !Must(*owner, "Query", {{"sqlstmt", quor::bench::QueryAllDocument("data", "main", "few")}}))
    return 1;
  for (int i = 0; i < 3; ++i)
    if (!Must(*owner, "GetLogCount", {}) || !Must(*watcher, "GetLogCount", {})) return 1;
  // The console's frame around a request, for the raw clients' requests.
  const quor::bench::Frame frame = quor::bench::FrameOf(*owner, "GetLogCount");
  std::this_thread::sleep_for(2s);
  const long idle = quor::bench::ResidentKiB(pid);
  std::printf("idle: VmRSS %.1f MB (after sign-in, PutVOContent, GetVOContent, Query, GetLogCount and 2 s)\n", Mb(idle));
  std::fflush(stdout);

  Stage stage;
  MemoryWatch memory(pid, stage);
  LogCountWatch logs(std::move(watcher), stage);

  // ---- Phase A: a large content, asked for by clients that stall ----------------------------
  stage.Enter(Phase::A);
  Tally stalledTally;
  double putSeconds = -1;
  {
    const std::string content = quor::bench::TextContent(contentBytes);
    const auto start = Clock::now();
    if (Must(*owner, "PutVOContent", {{"name", kContentName}, {"content", content}})) putSeconds = Since(start);
  }
  // Sessions of their own on the owner's ticket, requests signed as the
  // console's client signs them.
  quor::soap::HttpClient http;
  struct Stalled {
    quor::bench::Session session;
    quor::UniqueFd fd;
  };
  std::vector<Stalled> stalled(static_cast<size_t>(o.clients));
  std::vector<bool> opened;
  for (Stalled& s : stalled) {
    std::string why;
    opened.push_back(quor::bench::OpenSession(http, url, owner->Ticket(), s.session, why));
    if (!opened.back()) stalledTally.Add(Outcome::Other, "no session: " + why);
  }
  // All sent at once, once every session is open: an OpenSession after
  // them would wait for a worker they hold.
  int sent = 0;
  const auto sending = Clock::now();
  for (size_t i = 0; i < stalled.size(); ++i) {
    if (!opened[i]) continue;
    Stalled& s = stalled[i];
    const std::string body =
        quor::bench::SignedRequest(s.session.handler.get(), frame, "GetVOContent", {{"name", kContentName}});
    s.fd = quor::soak::Dial(server.Port());
    if (body.empty() || !s.fd.valid() ||
        !quor::soak::SendAll(s.fd.get(), quor::soak::PostText(quor::soap::kCorePath, body))) {
      stalledTally.Add(Outcome::Other, body.empty() ? "no request token" : "cannot send the request");
      s.fd.Reset();
      continue;
    }
    ++sent;
  }
  std::printf("A: content stored in %s; %d of %d stalled requests sent in %s; holding %d s\n",
              putSeconds < 0 ? "(failed)" : Seconds(putSeconds).c_str(), sent, o.clients, Seconds(Since(sending)).c_str(),
              o.holdSeconds);
  std::fflush(stdout);
  Hold(server, std::chrono::seconds(o.holdSeconds));
  std::vector<double> drainTimes;
  {
    // Each connection read to its end, all at once, then closed.
    std::mutex timesLock;
    std::vector<std::thread> readers;
    for (Stalled& s : stalled)
      if (s.fd.valid())
        readers.emplace_back([&] {
          const auto start = Clock::now();
          const Drained d = Drain(s.fd.get(), 60s);
          {
            std::lock_guard guard(timesLock);
            drainTimes.push_back(Since(start));
          }
          std::string note;
          const Outcome outcome = Judge(d, note);
          stalledTally.Add(outcome, note);
          s.fd.Reset();
        });
    for (std::thread& t : readers) t.join();
  }
  std::sort(drainTimes.begin(), drainTimes.end());
  std::printf("A: done after %.1f s (each connection read to its end in %.1f to %.1f s after the hold)\n",
              stage.Seconds(), drainTimes.empty() ? 0.0 : drainTimes.front(),
              drainTimes.empty() ? 0.0 : drainTimes.back());
  std::fflush(stdout);

  stage.Enter(Phase::Rest);
  Hold(server, 5s);

  // ---- Phase B: many Queries of every row at once -----------------------------------------
  stage.Enter(Phase::B);
  const auto queriesStart = Clock::now();
  Tally queryTally;
  std::vector<double> queryTimes;
  std::mutex timesLock;
  {
    std::latch ready(o.queryClients);
    std::vector<std::thread> users;
    for (int i = 0; i < o.queryClients; ++i)
      users.emplace_back([&] {
        // The client's patience is long: a cut-off is the server's doing.
        std::unique_ptr<CVeltService> client = SignIn(url, kOwner, 120s);
        ready.arrive_and_wait();
        if (!client) return queryTally.Add(Outcome::Other, "no sign-in");
        const auto start = Clock::now();
        std::string note;
        const Outcome outcome = QueryAll(*client, o.rows, note);
        {
          std::lock_guard guard(timesLock);
          queryTimes.push_back(Since(start));
        }
        queryTally.Add(outcome, note);
        client->EndSession();
      });
    for (std::thread& t : users) t.join();
  }
  std::sort(queryTimes.begin(), queryTimes.end());
  std::printf("B: done after %.1f s (each Query %.1f to %.1f s)\n", Since(queriesStart),
              queryTimes.empty() ? 0.0 : queryTimes.front(), queryTimes.empty() ? 0.0 : queryTimes.back());
  std::fflush(stdout);

  // ---- Afterwards ---------------------------------------------------------------------------
  stage.Enter(Phase::After);
  logs.Stop();
  const bool sameProcess = server.Running() && server.Pid() == pid;
  std::vector<std::pair<std::string, bool>> after;
  {
    // A fresh sign-in: the owner's session may be gone with a restarted server.
    std::unique_ptr<CVeltService> client = sameProcess ? SignIn(url, kOwner, 120s) : nullptr;
    bool got = false, queried = false, counted = false;
    std::string note;
    if (client) {
      const std::string content = quor::bench::TextContent(contentBytes);
      got = Must(*client, "GetVOContent", {{"name", kContentName}}) &&
            client->DecodedResult().find(content) != std::string::npos;
      queried = QueryAll(*client, o.rows, note) == Outcome::Answered;
      if (!queried) std::fprintf(stderr, "memory_probe: Query afterwards: %s\n", note.c_str());
      counted = Must(*client, "GetLogCount", {}) && client->DecodedResult().find("<logcount>") != std::string::npos;
      client->EndSession();
    }
    after = {{"GetVOContent read whole", got}, {"Query of every row", queried}, {"GetLogCount", counted}};
  }
  const bool answers = sameProcess && after.back().second;
  if (sameProcess) Hold(server, std::chrono::seconds(o.settleSeconds));
  const bool stillUp = server.Running() && server.Pid() == pid;
  const long settled = stillUp ? quor::bench::ResidentKiB(pid) : 0;
  const long hwm = stillUp ? quor::bench::PeakResidentKiB(pid) : 0;

  // ---- The report ---------------------------------------------------------------------------
  const std::string events = server.Events();
  const auto lines = [&](std::string_view what) {
    size_t n = 0;
    for (const std::string& line : quor::text::Split(events, '\n')) n += line.find(what) != std::string::npos;
    return n;
  };
  std::printf("\ncalls\n");
  stalledTally.Print("stalled GetVOContent (phase A):", o.clients);
  queryTally.Print("Queries (phase B):", o.queryClients);
  // A call that had queued its last piece when its answer was cut off no
  // longer hears of it, and writes no event.
  std::printf("  event log: %zu over-budget refusals (AllAnswersMemoryMB); %zu streamed answers cut off (event 27), "
              "%zu of them not taken in time\n",
              lines("(AllAnswersMemoryMB)"), lines("was cut off"), lines("did not take the answer in time"));
  for (const Phase p : {Phase::A, Phase::B}) {
    const LogCountWatch::Figures f = logs.Of(p);
    std::printf("  %-34s %zu calls, %zu failed, p50 %s, p99 %s, max %s\n",
                (std::string("GetLogCount, phase ") + kPhaseNames[static_cast<int>(p)] + ":").c_str(), f.calls,
                f.failed, Seconds(f.p50).c_str(), Seconds(f.p99).c_str(), Seconds(f.max).c_str());
  }
  std::printf("\nserver VmRSS, highest per 5 s (seconds from the start of phase A):\n ");
  for (const auto& [at, kib] : memory.Timeline()) std::printf(" %ds %.0fMB", at, Mb(kib));
  std::printf("\n  idle %.1f MB; VmHWM %.1f MB at the end\n", Mb(idle), Mb(hwm));

  const long goalKiB = (o.budgetMB + kAboveBudgetMB) << 10;
  const std::string memoryGoal = "<= " + std::to_string(o.budgetMB + kAboveBudgetMB) + " MB";
  Goals goals;
  std::printf("\ngoals\n");
  for (const Phase p : {Phase::A, Phase::B}) {
    const long above = std::max(0L, memory.PeakKiB(p) - idle);
    goals.Line(std::string("server memory above idle, phase ") + kPhaseNames[static_cast<int>(p)] + " (peak)",
               quor::text::Format("%.1f MB", Mb(above)), memoryGoal, above <= goalKiB);
  }
  for (const Phase p : {Phase::A, Phase::B}) {
    const LogCountWatch::Figures f = logs.Of(p);
    goals.Line(std::string("GetLogCount p99, phase ") + kPhaseNames[static_cast<int>(p)],
               Seconds(f.p99) + quor::text::Format(" (max %s, %zu calls, %zu failed)", Seconds(f.max).c_str(), f.calls,
                                                   f.failed),
               "<= 1 s", f.calls > 0 && f.p99 <= kLatencyGoal);
  }
  goals.Line("no death of the server (same process, answers)",
             quor::text::Format("pid %d %s", static_cast<int>(pid),
                                !sameProcess ? "gone" : answers ? "up and answering" : "up, not answering"),
             "alive", sameProcess && answers);
  std::string failedAfter;
  for (const auto& [what, ok] : after)
    if (!ok) failedAfter += (failedAfter.empty() ? "" : ", ") + what;
  goals.Line("every call afterwards succeeds", failedAfter.empty() ? "all 3 kinds" : "failed: " + failedAfter,
             "all", failedAfter.empty());
  goals.Line(quor::text::Format("memory %d s later / idle", o.settleSeconds),
             stillUp ? quor::text::Format("%.2f (%.1f MB)", static_cast<double>(settled) / static_cast<double>(idle), Mb(settled))
                     : std::string("server gone"),
             "<= 1.5", stillUp && static_cast<double>(settled) <= kIdleFactor * static_cast<double>(idle));
  if (const std::string first = logs.FirstFailure(); !first.empty())
    std::printf("  (first failed GetLogCount: %s)\n", first.c_str());
  std::printf("%d of 7 goals missed\n", goals.missed);
  std::fflush(stdout);

  owner->EndSession();
  const int stopped = server.Stop();
  if (stopped != 0) std::printf("memory_probe: quor-server stopped with status %d\n", stopped);
  return 0;
}
