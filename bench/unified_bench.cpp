// unified_bench: unified Queries (two sources joined by a unify rule)
// through a real quor-server, next to the two sides read alone and to the
// database's own join of the same rows, each figure next to its goal.
//
//   unified_bench [--build DIR] [--rows LIST] [--kinds LIST] [--pg] [--timeout S] [--quick]
//
// For each size n of --rows (rows per side, default "10000,100000"; 1000000
// allowed) two sources hold a table "customers" of n rows (id INTEGER key and
// 7 columns: integers, reals, texts, NULLs in some), half of the keys shared:
// SQLite as two files, and with --pg (when QUOR_TEST_PG holds an ODBC string)
// PostgreSQL as two schemas of one database. For each join kind of --kinds
// (default "full outer join,left inner join,union join") a unify rule joins
// the pair on id, and, signed in to quor-server:
//   - the unified Query naming both targets is read by a reader that only
//     counts bytes (the server's time), the server's VmRSS sampled every
//     100 ms meanwhile; then quor-call runs it, its output counted;
//   - each side alone as a single-source Query, drained, the times summed;
//   - the database's CLI joins the same rows (sqlite3 over the two files
//     attached, psql over the two schemas), CSV to /dev/null.
// A call past --timeout (default 300 s) is abandoned; a kind whose unified
// Query took over 120 s is skipped at the larger sizes. An answer refused
// over the memory budget (0x8007000E) is reported as refused. Exit status:
// 0 when it ran (goals missed included), 1 when it could not run, 2 for a
// wrong command line. --quick: rows "1000,10000" (options after it count).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
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

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-pw";
constexpr double kSkipAfter = 120;  // seconds: a kind slower than this is not tried larger
constexpr double kBaseMB = 64;      // the memory goal: this + 2 x the smaller side's CSV
const char* const kLibraries[] = {"libQuorServiceCore.so", "libQuorAuth.so", "libQuorAccessor.so"};

// The columns besides id, of each side; the names differ so that the joined
// record holds each once.
constexpr const char* kLeftColumns[] = {"name", "city", "visits", "balance", "rating", "since", "note"};
constexpr const char* kRightColumns[] = {"email", "region", "orders", "spent", "discount", "tier", "remark"};

std::string Fmt(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }
double Mb(double bytes) { return bytes / 1048576.0; }
std::string RowsText(long rows) {
  if (rows >= 1000000 && rows % 1000000 == 0) return std::to_string(rows / 1000000) + "M";
  if (rows >= 1000 && rows % 1000 == 0) return std::to_string(rows / 1000) + "k";
  return std::to_string(rows);
}

// ---- Join kinds ------------------------------------------------------------------------

enum class Shape { Full, Left, Right, Inner, Union };

struct Kind {
  std::string text;  // the <unify> text
  Shape shape;
  long OutputRows(long n) const {
    switch (shape) {
      case Shape::Full: return n + n / 2;
      case Shape::Left:
      case Shape::Right: return n;
      case Shape::Inner: return n - n / 2;
      case Shape::Union: return 2 * n;
    }
    return 0;
  }
};

// The kinds whose rows SQL can give; a cross join of n x n rows is not measured.
std::optional<Kind> KindOf(std::string text) {
  text = std::string(quor::text::TrimAscii(text));
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (text == "full outer join") return Kind{text, Shape::Full};
  if (text == "left outer join") return Kind{text, Shape::Left};
  if (text == "right outer join") return Kind{text, Shape::Right};
  if (text == "left inner join" || text == "right inner join" || text == "max inner join" || text == "min inner join")
    return Kind{text, Shape::Inner};
  if (text == "union join") return Kind{text, Shape::Union};
  return std::nullopt;
}

// The database's own statement for the rows the kind gives: `l` and `r` the
// two tables as the CLI names them.
std::string JoinSql(Shape shape, const std::string& l, const std::string& r) {
  std::string lc, rc, lnull, rnull;
  for (const char* c : kLeftColumns) (lc += ", l.") += c, lnull += ", NULL";
  for (const char* c : kRightColumns) (rc += ", r.") += c, rnull += ", NULL";
  const std::string tables = " FROM " + l + " AS l ";
  const std::string on = " " + r + " AS r ON l.id = r.id";
  switch (shape) {
    case Shape::Full: return "SELECT coalesce(l.id, r.id)" + lc + rc + tables + "FULL OUTER JOIN" + on;
    case Shape::Left: return "SELECT l.id" + lc + rc + tables + "LEFT JOIN" + on;
    case Shape::Right: return "SELECT r.id" + lc + rc + tables + "RIGHT JOIN" + on;
    case Shape::Inner: return "SELECT l.id" + lc + rc + tables + "JOIN" + on;
    case Shape::Union:
      return "SELECT l.id" + lc + rnull + " FROM " + l + " AS l UNION ALL SELECT r.id" + lnull + rc + " FROM " + r +
             " AS r";
  }
  return {};
}

// ---- Options -----------------------------------------------------------------------------

struct Options {
  fs::path bin = QUOR_BIN_DIR, lib = QUOR_LIB_DIR;
  std::vector<long> rows{10000, 100000};
  std::vector<Kind> kinds;
  bool pg = false;
  int timeout = 300;
};

[[noreturn]] void Usage(const std::string& why) {
  std::fprintf(why.empty() ? stdout : stderr,
               "usage: unified_bench [--build DIR] [--rows LIST] [--kinds LIST] [--pg] [--timeout S] [--quick]\n"
               "  --rows: rows per side, e.g. 10000,100000,1000000; --kinds: <unify> texts, comma-separated\n%s%s",
               why.c_str(), why.empty() ? "" : "\n");
  std::exit(why.empty() ? 0 : 2);
}

std::vector<Kind> ParseKinds(const std::string& list) {
  std::vector<Kind> kinds;
  for (const std::string& item : quor::text::Split(list, ',')) {
    if (quor::text::TrimAscii(item).empty()) continue;
    const std::optional<Kind> kind = KindOf(item);
    if (!kind) Usage("join kind not measured: " + item);
    kinds.push_back(*kind);
  }
  if (kinds.empty()) Usage("no join kind");
  return kinds;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  o.kinds = ParseKinds("full outer join,left inner join,union join");
  for (int i = 1; i < argc; ++i)
    if (std::string_view(argv[i]) == "--quick") o.rows = {1000, 10000};
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--quick") continue;
    if (a == "--help" || a == "-h") Usage("");
    if (a == "--pg") {
      o.pg = true;
      continue;
    }
    if (i + 1 >= argc) Usage(std::string(a) + " wants a value");
    const std::string v = argv[++i];
    if (a == "--build") {
      o.bin = fs::path(v) / "bin";
      o.lib = fs::path(v) / "lib";
    } else if (a == "--rows") {
      o.rows.clear();
      for (const std::string& item : quor::text::Split(v, ',')) {
        char* end = nullptr;
        const long n = std::strtol(item.c_str(), &end, 10);
        if (!end || *end || n < 2 || n > 1000000) Usage("--rows: whole numbers from 2 to 1000000");
        o.rows.push_back(n);
      }
      std::sort(o.rows.begin(), o.rows.end());
      o.rows.erase(std::unique(o.rows.begin(), o.rows.end()), o.rows.end());
    } else if (a == "--kinds") o.kinds = ParseKinds(v);
    else if (a == "--timeout") {
      o.timeout = std::atoi(v.c_str());
      if (o.timeout < 1) Usage("--timeout: seconds, from 1");
    } else Usage("unknown option " + std::string(a));
  }
  return o;
}

// Ends of records ("/record", escaped or not) in a text that comes in pieces.
class RecordCounter {
 public:
  void Add(std::string_view piece) {
    static constexpr std::string_view kEnd = "/record";
    // Those that begin in what the last piece left.
    std::string window = carry_;
    window.append(piece.substr(0, std::min(piece.size(), kEnd.size())));
    for (size_t at = window.find(kEnd); at != std::string::npos && at < carry_.size(); at = window.find(kEnd, at + 1))
      ++count_;
    for (size_t at = piece.find(kEnd); at != std::string_view::npos; at = piece.find(kEnd, at + 1)) ++count_;
    carry_ = std::string(piece.substr(piece.size() - std::min(piece.size(), kEnd.size() - 1)));
  }
  size_t Count() const { return count_; }

 private:
  std::string carry_;
  size_t count_ = 0;
};

// ---- Programs run beside the server ------------------------------------------------------

struct ToolRun {
  bool ok = false;  // exit status 0 within the time
  bool timedOut = false;
  double seconds = 0;
  size_t bytes = 0;    // its output, when counted
  size_t records = 0;  // ends of records in it
  std::string errors;  // its standard error, the start of it
};

// Runs `args` (on PATH, no shell) with `env` added; its output counted from a
// pipe, or sent to /dev/null. Killed past `limit`.
ToolRun RunTool(const std::vector<std::string>& args, const std::vector<std::string>& env, bool count,
                std::chrono::seconds limit, const fs::path& scratch) {
  ToolRun run;
  std::vector<std::string> owned = args;
  std::vector<char*> argv;
  for (std::string& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = st::Environment(env);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  const fs::path errors = scratch / "tool.err";
  int fds[2] = {-1, -1};
  if (count && ::pipe2(fds, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (count) posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  else posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const auto start = Clock::now();
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (count) ::close(fds[1]);
  const quor::UniqueFd out(count ? fds[0] : -1);
  if (rc != 0) {
    run.errors = "cannot start " + args[0];
    return run;
  }
  const auto until = start + limit;
  std::vector<char> buffer(1 << 16);
  RecordCounter records;
  int status = 0;
  bool reaped = false;
  while (!reaped) {
    if (Clock::now() >= until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      run.timedOut = true;
      break;
    }
    if (out.valid()) {
      pollfd p{out.get(), POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        const ssize_t n = ::read(out.get(), buffer.data(), buffer.size());
        if (n > 0) {
          run.bytes += static_cast<size_t>(n);
          records.Add(std::string_view(buffer.data(), static_cast<size_t>(n)));
          continue;
        }
        // End of output: the process is ending.
        ::waitpid(pid, &status, 0);
        reaped = true;
      }
    } else if (::waitpid(pid, &status, WNOHANG) == pid) reaped = true;
    else std::this_thread::sleep_for(5ms);
  }
  run.seconds = Since(start);
  run.records = records.Count();
  run.ok = reaped && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!run.ok) run.errors = st::ReadFile(errors).substr(0, 400);
  return run;
}

// ---- The server's side -------------------------------------------------------------------

// VmRSS every 100 ms while it lives; the highest seen.
class PeakSampler {
 public:
  explicit PeakSampler(pid_t pid) : pid_(pid), thread_([this] { Sample(); }) {}
  ~PeakSampler() { Stop(); }
  PeakSampler(const PeakSampler&) = delete;
  PeakSampler& operator=(const PeakSampler&) = delete;
  long Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return peak_;
  }

 private:
  void Sample() {
    while (!stop_) {
      peak_ = std::max(peak_.load(), quor::bench::ResidentKiB(pid_));
      std::this_thread::sleep_for(100ms);
    }
  }
  const pid_t pid_;
  std::atomic<bool> stop_{false};
  std::atomic<long> peak_{0};
  std::thread thread_;
};

enum class Outcome { Answered, Refused, Fault, CutOff, TimedOut, NotSent };

const char* OutcomeText(Outcome o) {
  switch (o) {
    case Outcome::Answered: return "answered";
    case Outcome::Refused: return "refused over the budget (0x8007000E)";
    case Outcome::Fault: return "fault";
    case Outcome::CutOff: return "cut off";
    case Outcome::TimedOut: return "timed out";
    case Outcome::NotSent: return "not sent";
  }
  return "?";
}

struct Drained {
  Outcome outcome = Outcome::NotSent;
  double seconds = 0;
  size_t bytes = 0;    // the body's
  size_t records = 0;  // ends of records seen in it
  std::string note;    // a fault's code or the HTTP status
};

// HTTP/1.1 chunked framing taken off, the data handed on as it comes.
class Dechunker {
 public:
  template <typename Sink>
  void Feed(std::string_view in, const Sink& sink) {
    while (!in.empty() && !done_) {
      if (left_ > 0) {
        const size_t take = std::min<size_t>(left_, in.size());
        sink(in.substr(0, take));
        in.remove_prefix(take);
        left_ -= take;
        continue;
      }
      // A size line (after the CRLF ending the data before it, if any).
      const size_t eol = in.find('\n');
      line_.append(in.substr(0, eol == std::string_view::npos ? in.size() : eol));
      if (eol == std::string_view::npos) return;
      in.remove_prefix(eol + 1);
      const std::string_view text = quor::text::TrimAscii(line_);
      if (!text.empty()) {
        left_ = std::strtoull(std::string(text).c_str(), nullptr, 16);
        done_ = left_ == 0;  // trailers, if any, are not read
      }
      line_.clear();
    }
  }
  bool Done() const { return done_; }

 private:
  std::string line_;
  uint64_t left_ = 0;
  bool done_ = false;
};

// A signed-in session of our own whose requests go out on raw connections,
// their answers only drained: the server's time without a client's work.
class Drainer {
 public:
  Drainer(int port, quor::bench::Session session, quor::bench::Frame frame)
      : port_(port), session_(std::move(session)), frame_(std::move(frame)) {}

  Drained Query(const std::string& document, std::chrono::seconds limit) const {
    Drained d;
    const std::string body =
        quor::bench::SignedRequest(session_.handler.get(), frame_, "Query", {{"sqlstmt", document}});
    const quor::UniqueFd fd = quor::soak::Dial(port_);
    const auto start = Clock::now();
    if (body.empty() || !fd.valid() ||
        !quor::soak::SendAll(fd.get(), quor::soak::PostText(quor::soap::kCorePath, body))) {
      d.note = body.empty() ? "no request token" : "cannot send";
      return d;
    }
    static constexpr size_t kKept = 256 << 10;  // of the body: a fault's whole
    std::string head, kept;
    RecordCounter records;
    Dechunker chunks;
    bool headDone = false, chunked = false, closed = false;
    long long length = -1;
    std::vector<char> buffer(1 << 16);
    const auto until = start + limit;
    const auto take = [&](std::string_view data) {
      d.bytes += data.size();
      records.Add(data);
      if (kept.size() < kKept) kept.append(data.substr(0, kKept - kept.size()));
    };
    while (!closed) {
      if (Clock::now() >= until) {
        d.outcome = Outcome::TimedOut;
        d.seconds = Since(start);
        return d;
      }
      pollfd p{fd.get(), POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
      if (n <= 0) {
        closed = true;
        break;
      }
      std::string_view got(buffer.data(), static_cast<size_t>(n));
      if (!headDone) {
        const size_t before = head.size();
        head.append(got);
        const size_t end = head.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        got.remove_prefix(end + 4 - before);
        head.resize(end);
        headDone = true;
        for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        chunked = head.find("transfer-encoding: chunked") != std::string::npos;
        if (const size_t at = head.find("content-length:"); at != std::string::npos)
          length = std::atoll(head.c_str() + at + 15);
      }
      if (chunked) chunks.Feed(got, take);
      else take(got);
    }
    d.seconds = Since(start);
    d.records = records.Count();
    const int status = head.starts_with("http/1.") ? std::atoi(head.c_str() + 9) : 0;
    const bool complete = chunked ? chunks.Done() : length >= 0 ? d.bytes == static_cast<size_t>(length) : closed;
    if (status == 200) {
      d.outcome = complete ? Outcome::Answered : Outcome::CutOff;
      return d;
    }
    if (status == 0) {
      d.outcome = Outcome::CutOff;
      return d;
    }
    HRESULT fault = S_OK;
    quor::soak::AnswerOutputs(kept, fault);
    d.outcome = fault == E_OUTOFMEMORY ? Outcome::Refused : Outcome::Fault;
    d.note = Fmt("HTTP %d, fault 0x%08X", status, static_cast<unsigned>(fault));
    return d;
  }

 private:
  const int port_;
  quor::bench::Session session_;
  const quor::bench::Frame frame_;
};

// ---- The two databases -----------------------------------------------------------------

// Where the two sides of a size live, and how the server and the CLI reach them.
class Database {
 public:
  virtual ~Database() = default;
  virtual const char* Name() const = 0;
  virtual const char* Cli() const = 0;
  // Makes both sides of size n; false with the reason.
  virtual bool Make(long n, std::string& error) = 0;
  // The data source setting of side `right` of size n, named `dsn`.
  virtual std::string Setting(const std::string& dsn, long n, bool right) const = 0;
  virtual std::string Catalog(long n, bool right) const = 0;
  // The CLI running `select`, its rows as CSV counted or to /dev/null.
  virtual ToolRun Csv(long n, const std::string& select, bool count, std::chrono::seconds limit) = 0;
  // A side's table as the CLI names it in Csv's statements.
  virtual std::string Table(long n, bool right) const = 0;
};

std::string LeftFill(std::string_view table, long n, bool pg) {
  const std::string wide = pg ? "x::bigint" : "x";  // x * 7919 outgrows a 32-bit integer
  const std::string date = pg ? "to_char(date '2020-01-01' + (x % 3650), 'YYYY-MM-DD')"
                              : "date('2020-01-01', '+' || (x % 3650) || ' days')";
  const std::string rows = pg ? " FROM generate_series(1, " + std::to_string(n) + ") AS x"
                              : " FROM n";
  const std::string with =
      pg ? "" : "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < " + std::to_string(n) + ") ";
  return std::string("CREATE TABLE ") + std::string(table) +
         (pg ? " (id integer PRIMARY KEY, name text, city text, visits integer, balance double precision,"
               " rating double precision, since text, note text); "
             : " (id INTEGER PRIMARY KEY, name TEXT, city TEXT, visits INTEGER, balance REAL, rating REAL,"
               " since TEXT, note TEXT); ") +
         with + "INSERT INTO " + std::string(table) +
         " SELECT x, 'Customer ' || x, CASE WHEN x % 7 = 0 THEN NULL ELSE 'City ' || (x % 50) END,"
         " (" + wide + " * 7919) % 1000, round(x * 0.37" + (pg ? "::numeric, 2)::float8" : ", 2)") +
         ", CASE WHEN x % 5 = 0 THEN NULL ELSE (x % 100) / 10.0 END" + (pg ? "::float8" : "") + ", " + date +
         ", 'Left row ' || x || ', a note of a few words about the customer'" + rows + ";";
}

std::string RightFill(std::string_view table, long n, bool pg) {
  const std::string h = std::to_string(n / 2);  // the first half of its keys are the left's second half
  const std::string wide = pg ? "x::bigint" : "x";
  const std::string rows = pg ? " FROM generate_series(1, " + std::to_string(n) + ") AS x" : " FROM n";
  const std::string with =
      pg ? "" : "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < " + std::to_string(n) + ") ";
  return std::string("CREATE TABLE ") + std::string(table) +
         (pg ? " (id integer PRIMARY KEY, email text, region text, orders integer, spent double precision,"
               " discount double precision, tier text, remark text); "
             : " (id INTEGER PRIMARY KEY, email TEXT, region TEXT, orders INTEGER, spent REAL, discount REAL,"
               " tier TEXT, remark TEXT); ") +
         with + "INSERT INTO " + std::string(table) + " SELECT x + " + h + ", 'c' || (x + " + h +
         ") || '@example.org', CASE WHEN x % 6 = 0 THEN NULL ELSE 'Region ' || (x % 12) END, (" + wide + " * 104729) % 500,"
         " round(x * 1.13" + (pg ? "::numeric, 2)::float8" : ", 2)") +
         ", CASE WHEN x % 4 = 0 THEN NULL ELSE (x % 30) / 100.0 END" + (pg ? "::float8" : "") +
         ", 'T' || (x % 5), 'Right row ' || (x + " + h + ") || ', another note'" + rows + ";";
}

class SqliteDatabase : public Database {
 public:
  explicit SqliteDatabase(fs::path dir) : dir_(std::move(dir)) {}
  const char* Name() const override { return "SQLite"; }
  const char* Cli() const override { return "sqlite3"; }
  bool Make(long n, std::string& error) override {
    for (const bool right : {false, true}) {
      const ToolRun r = RunTool({"sqlite3", "-batch", File(n, right).string(),
                                 right ? RightFill("customers", n, false) : LeftFill("customers", n, false)},
                                {}, false, 600s, dir_);
      if (!r.ok) {
        error = "sqlite3: " + r.errors;
        return false;
      }
    }
    return true;
  }
  std::string Setting(const std::string& dsn, long n, bool right) const override {
    return quor::bench::SqliteSourceSetting(dsn, File(n, right));
  }
  std::string Catalog(long, bool) const override { return "main"; }
  ToolRun Csv(long n, const std::string& select, bool count, std::chrono::seconds limit) override {
    // The right side attached as "r"; ATTACH prints nothing.
    return RunTool({"sqlite3", "-batch", "-csv", File(n, false).string(),
                    "ATTACH '" + File(n, true).string() + "' AS r; " + select},
                   {}, count, limit, dir_);
  }
  std::string Table(long, bool right) const override { return right ? "r.customers" : "main.customers"; }

 private:
  fs::path File(long n, bool right) const { return dir_ / ((right ? "right-" : "left-") + std::to_string(n) + ".db"); }
  fs::path dir_;
};

// The value of `key` in an ODBC connection string (key without case).
std::string OdbcItem(const std::string& odbc, std::string_view key) {
  for (const std::string& item : quor::text::Split(odbc, ';')) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    if (quor::text::EqualsNoCase(quor::text::TrimAscii(std::string_view(item).substr(0, eq)), key))
      return item.substr(eq + 1);
  }
  return {};
}

// Two schemas of one database per size, dropped when it ends.
class PostgresDatabase : public Database {
 public:
  PostgresDatabase(std::string odbc, fs::path scratch)
      : odbc_(std::move(odbc)), prefix_("qub" + std::to_string(::getpid())), scratch_(std::move(scratch)) {}
  ~PostgresDatabase() override {
    std::string drop = "SET client_min_messages TO warning;";
    for (const std::string& schema : made_) drop += " DROP SCHEMA IF EXISTS " + schema + " CASCADE;";
    if (!made_.empty()) Psql({"-c", drop}, false, 120s);
  }
  PostgresDatabase(const PostgresDatabase&) = delete;
  PostgresDatabase& operator=(const PostgresDatabase&) = delete;

  const char* Name() const override { return "PostgreSQL"; }
  const char* Cli() const override { return "psql"; }
  bool Make(long n, std::string& error) override {
    for (const bool right : {false, true}) {
      const std::string schema = Schema(n, right);
      made_.push_back(schema);
      const std::string table = schema + ".customers";
      const ToolRun r = Psql({"-c", "SET client_min_messages TO warning; DROP SCHEMA IF EXISTS " + schema +
                                        " CASCADE; CREATE SCHEMA " + schema + "; " +
                                        (right ? RightFill(table, n, true) : LeftFill(table, n, true)) + " ANALYZE " +
                                        table + ";"},
                             false, 600s);
      if (!r.ok) {
        error = "psql: " + r.errors;
        return false;
      }
    }
    return true;
  }
  std::string Setting(const std::string& dsn, long n, bool right) const override {
    const std::string schema = Schema(n, right);
    const std::string rest = "DRIVER=" + Item("DRIVER") + ";Server=" + Item("Server") + ";Port=" + Item("Port") +
                             ";Database=" + Item("Database") + ";ConnSettings=SET search_path TO " + schema;
    return "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>" + dsn + "</DataSource><InitialCatalog>" +
           schema + "</InitialCatalog><ExtendedProperties>" + CVeltService::EscapeXml(rest) +
           "</ExtendedProperties><UserName>" + CVeltService::EscapeXml(Item("UID")) + "</UserName><Password>" +
           CVeltService::EscapeXml(Item("PWD")) + "</Password></OLEDBSetting>";
  }
  std::string Catalog(long n, bool right) const override { return Schema(n, right); }
  ToolRun Csv(long, const std::string& select, bool count, std::chrono::seconds limit) override {
    return Psql({"-c", "\\copy (" + select + ") to stdout csv"}, count, limit);
  }
  std::string Table(long n, bool right) const override { return Schema(n, right) + ".customers"; }

 private:
  std::string Schema(long n, bool right) const { return prefix_ + (right ? "_r" : "_l") + std::to_string(n); }
  std::string Item(std::string_view key) const { return OdbcItem(odbc_, key); }
  ToolRun Psql(std::vector<std::string> args, bool count, std::chrono::seconds limit) const {
    std::vector<std::string> all = {"psql", "-X", "-q", "-t", "-A", "-v", "ON_ERROR_STOP=1", "-h", Item("Server"),
                                    "-p", Item("Port"), "-U", Item("UID"), "-d", Item("Database")};
    all.insert(all.end(), args.begin(), args.end());
    return RunTool(all, {"PGPASSWORD=" + Item("PWD")}, count, limit, scratch_);
  }

  std::string odbc_, prefix_;
  fs::path scratch_;
  std::vector<std::string> made_;
};

// ---- One source kind's run ---------------------------------------------------------------

// Data source names: the pair a kind's rule joins, and a plain pair without
// a rule (a side alone, as any single-source Query runs).
std::string PairDsn(size_t kind, long n, bool right) {
  return (right ? "r" : "l") + std::to_string(kind) + "_" + std::to_string(n);
}
std::string PlainDsn(long n, bool right) { return (right ? "rs_" : "ls_") + std::to_string(n); }

std::string Target(const std::string& dsn, const std::string& catalog) {
  return "<target><provider>MSDASQL.1</provider><dsn>" + dsn + "</dsn><catalog>" + catalog +
         "</catalog><table>customers</table></target>";
}

// The kind is named again in the destination: the entry the pair meets is
// the destination's, which takes nothing from its rule.
std::string UnifyRule(const std::string& kind, const std::string& left, const std::string& leftCatalog,
                      const std::string& right, const std::string& rightCatalog) {
  const std::string table = "<table name=\"customers\"><pattern><lid>customer</lid><rid>name</rid></pattern></table>";
  return "<unifyrule><Provider>MSDASQL.1</Provider><Dsn>" + left + "</Dsn><Catalog>" + leftCatalog +
         "</Catalog><unify>" + kind + "</unify>" + table + "<destination><Provider>MSDASQL.1</Provider><Dsn>" + right +
         "</Dsn><Catalog>" + rightCatalog + "</Catalog><unify>" + kind + "</unify>" + table +
         "</destination></unifyrule>";
}

struct Cell {
  long n = 0;
  size_t kind = 0;
  bool run = false;       // false: skipped
  Drained unified;
  long aboveIdleKiB = 0;
  ToolRun call;
  std::string callNote;
  double sides = -1;      // the two single-source Queries, summed; -1 when one failed
  double join = -1;       // the database's own join
  size_t csvSmaller = 0;  // bytes
};

struct Goals {
  int missed = 0, lines = 0;
  void Line(const std::string& what, const std::string& figure, const std::string& goal, bool met) {
    std::printf("  %-58s %-30s goal %-22s %s\n", what.c_str(), figure.c_str(), goal.c_str(), met ? "PASS" : "MISS");
    missed += !met;
    ++lines;
  }
};

std::string UnifiedDocument(const Database& db, size_t kind, long n) {
  return "<query><get><content>record</content>" + Target(PairDsn(kind, n, false), db.Catalog(n, false)) +
         Target(PairDsn(kind, n, true), db.Catalog(n, true)) + "</get></query>";
}

std::string SideDocument(const Database& db, long n, bool right) {
  return "<query><get><content>record</content>" + Target(PlainDsn(n, right), db.Catalog(n, right)) +
         "</get></query>";
}

// False when it could not run at all.
bool RunSource(Database& db, const Options& o, const fs::path& scratch) {
  std::printf("\n== %s: two sources of n rows each (id and 7 columns, half the keys shared), unified by quor-server\n",
              db.Name());
  std::fflush(stdout);
  const auto making = Clock::now();
  for (const long n : o.rows) {
    std::string error;
    if (!db.Make(n, error)) {
      std::fprintf(stderr, "unified_bench: %s, %ld rows: %s\n", db.Name(), n, error.c_str());
      return false;
    }
  }
  std::printf("(sources made in %.1f s)\n", Since(making));

  st::ServerProcess server(
      {o.bin, o.lib, {std::begin(kLibraries), std::end(kLibraries)}, {}},
      [&](const fs::path& dir, const fs::path& registry, std::string& error) {
        quor::bench::InstanceSettings settings;
        settings.users = {kUser};
        settings.password = kPassword;
        for (const long n : o.rows) {
          for (const bool right : {false, true})
            settings.homeFiles.push_back(
                {"config/" + PlainDsn(n, right) + ".xml", db.Setting(PlainDsn(n, right), n, right)});
          for (size_t k = 0; k < o.kinds.size(); ++k) {
            for (const bool right : {false, true})
              settings.homeFiles.push_back(
                  {"config/" + PairDsn(k, n, right) + ".xml", db.Setting(PairDsn(k, n, right), n, right)});
            settings.homeFiles.push_back({"unifier/" + PairDsn(k, n, false) + ".xml",
                                          UnifyRule(o.kinds[k].text, PairDsn(k, n, false), db.Catalog(n, false),
                                                    PairDsn(k, n, true), db.Catalog(n, true))});
          }
        }
        fs::path repository;
        return quor::bench::PrepareInstance(dir, registry, settings, repository, error);
      });
  if (!server.Error().empty()) {
    std::fprintf(stderr, "unified_bench: %s\n", server.Error().c_str());
    return false;
  }
  const pid_t pid = server.Pid();
  const std::string url = server.Url(quor::soap::kCorePath);
  CVeltService client;
  client.SetTimeout(120s);
  if (client.Connect(url, kUser, kPassword) != 0) {
    std::fprintf(stderr, "unified_bench: sign-in failed: %s\n", client.FormatFault().c_str());
    return false;
  }
  client.BeginRequest("GetLogCount");
  quor::soap::HttpClient http(quor::soap::HttpClient::Options{120s, true});
  quor::bench::Session session;
  std::string why;
  if (!client.Invoke() || !quor::bench::OpenSession(http, url, client.Ticket(), session, why)) {
    std::fprintf(stderr, "unified_bench: a session of its own: %s %s\n", why.c_str(), client.FormatFault().c_str());
    return false;
  }
  const Drainer drainer(server.Port(), std::move(session), quor::bench::FrameOf(client, "GetLogCount"));
  const std::chrono::seconds limit(o.timeout);
  // Warm-up: each side of the smallest size once.
  for (const bool right : {false, true}) drainer.Query(SideDocument(db, o.rows.front(), right), limit);
  std::printf("quor-server %d on port %d (%s); each call abandoned after %d s\n", static_cast<int>(pid), server.Port(),
              o.bin.c_str(), o.timeout);

  std::printf("\n%-9s %-17s %9s %-26s %10s %-22s %9s %9s %8s %8s %10s %9s\n", "rows/side", "kind", "out rows",
              "unified (drained)", "s", "quor-call", "sides s", "db join s", "x sides", "x join", "mem MB", "csv MB");
  std::fflush(stdout);
  std::vector<Cell> cells;
  std::vector<bool> skip(o.kinds.size(), false);
  for (const long n : o.rows) {
    // Per size: the two sides alone, the smaller side's CSV.
    double sides = 0;
    for (const bool right : {false, true}) {
      const Drained d = drainer.Query(SideDocument(db, n, right), limit);
      if (d.outcome != Outcome::Answered || d.records != static_cast<size_t>(n)) {
        std::fprintf(stderr, "unified_bench: %s side of %ld rows: %s %s (%zu records)\n", right ? "right" : "left", n,
                     OutcomeText(d.outcome), d.note.c_str(), d.records);
        sides = -1;
        break;
      }
      sides += d.seconds;
    }
    size_t csvSmaller = 0;
    for (const bool right : {false, true}) {
      const ToolRun r = db.Csv(n, "SELECT * FROM " + db.Table(n, right), true, limit);
      if (r.ok) csvSmaller = csvSmaller == 0 ? r.bytes : std::min(csvSmaller, r.bytes);
    }
    for (size_t k = 0; k < o.kinds.size(); ++k) {
      const Kind& kind = o.kinds[k];
      Cell c;
      c.n = n;
      c.kind = k;
      c.sides = sides;
      c.csvSmaller = csvSmaller;
      if (skip[k]) {
        std::printf("%-9s %-17s skipped: the smaller size took over %.0f s\n", RowsText(n).c_str(), kind.text.c_str(),
                    kSkipAfter);
        cells.push_back(c);
        continue;
      }
      c.run = true;
      // Idle: after the previous call's pages went back.
      std::this_thread::sleep_for(1s);
      const long idle = quor::bench::ResidentKiB(pid);
      {
        PeakSampler sampler(pid);
        c.unified = drainer.Query(UnifiedDocument(db, k, n), limit);
        c.aboveIdleKiB = std::max(0L, sampler.Stop() - idle);
      }
      if (!server.Running()) {
        std::printf("%-9s %-17s the server died during the unified Query\n", RowsText(n).c_str(), kind.text.c_str());
        std::fprintf(stderr, "%s\n", server.Stderr().c_str());
        return false;
      }
      if (c.unified.outcome != Outcome::Answered || c.unified.seconds > kSkipAfter) skip[k] = true;
      // quor-call, only where the drained Query was answered: what it needs
      // on top is the client's.
      if (c.unified.outcome == Outcome::Answered) {
        c.call = RunTool({(o.bin / "quor-call").string(), "--url", url, kUser, "Query",
                          "sqlstmt=" + UnifiedDocument(db, k, n)},
                         {"QUOR_PASSWORD=" + std::string(kPassword)}, true, limit, scratch);
        c.callNote = c.call.ok ? Fmt("done %.2f s", c.call.seconds)
                     : c.call.timedOut ? Fmt("timed out (%d s)", o.timeout)
                     : c.call.errors.find("8007000E") != std::string::npos ? "refused over budget"
                     : c.call.errors.find("no answer within") != std::string::npos ? "failed: no answer in 30 s"
                                                                                : "failed";
        if (!c.call.ok && !c.call.timedOut)
          std::fprintf(stderr, "unified_bench: quor-call: %s\n", c.call.errors.c_str());
      } else c.callNote = "not run";
      const ToolRun join = db.Csv(n, JoinSql(kind.shape, db.Table(n, false), db.Table(n, true)), false, limit);
      if (join.ok) c.join = join.seconds;
      else std::fprintf(stderr, "unified_bench: %s join: %s\n", db.Cli(), join.timedOut ? "timed out" : join.errors.c_str());

      const bool answered = c.unified.outcome == Outcome::Answered;
      std::string unified = OutcomeText(c.unified.outcome);
      // Records as quor-call printed them (no chunk framing), else as drained.
      const size_t records = c.call.ok ? c.call.records : c.unified.records;
      const std::string outRows =
          !answered ? std::string("-")
          : records == static_cast<size_t>(kind.OutputRows(n)) ? std::to_string(records)
                                                                 : Fmt("%zu, not %ld!", records, kind.OutputRows(n));
      if (answered) unified = Fmt("%.1f MB", Mb(static_cast<double>(c.unified.bytes)));
      else if (c.unified.outcome == Outcome::Refused) unified = "refused (0x8007000E)";
      else if (!c.unified.note.empty()) unified += " " + c.unified.note;
      const auto ratio = [&](double over) { return answered && over > 0 ? Fmt("%.1f", c.unified.seconds / over) : std::string("-"); };
      std::printf("%-9s %-17s %9s %-26s %10.2f %-22s %9s %9s %8s %8s %10.0f %9.1f\n", RowsText(n).c_str(),
                  kind.text.c_str(), outRows.c_str(), unified.c_str(), c.unified.seconds, c.callNote.c_str(),
                  c.sides >= 0 ? Fmt("%.3f", c.sides).c_str() : "failed", c.join >= 0 ? Fmt("%.3f", c.join).c_str() : "failed",
                  ratio(c.sides).c_str(), ratio(c.join).c_str(), c.aboveIdleKiB / 1024.0,
                  Mb(static_cast<double>(c.csvSmaller)));
      std::fflush(stdout);
      cells.push_back(c);
    }
  }
  std::printf("(unified: the Query of both targets, drained, its answer's size; x sides: its time over the two\n"
              " single-source Queries'; x join: over %s's own join; mem: the server's VmRSS peak above idle during\n"
              " it; csv: the smaller side as %s's CSV)\n",
              db.Cli(), db.Cli());

  // ---- Goals -------------------------------------------------------------------------------
  std::printf("\ngoals (%s)\n", db.Name());
  Goals goals;
  const auto answered = [](const Cell& c) { return c.run && c.unified.outcome == Outcome::Answered; };
  const auto state = [&](const Cell& c) {
    return !c.run ? std::string("skipped") : std::string(OutcomeText(c.unified.outcome));
  };
  for (const Cell& c : cells) {
    if (c.n < 100000) continue;
    const std::string at = RowsText(c.n) + "+" + RowsText(c.n) + ", " + o.kinds[c.kind].text;
    const bool ok = answered(c) && c.sides > 0;
    goals.Line("server time / the two sides alone, " + at,
               ok ? Fmt("%.1f (%.2f s / %.3f s)", c.unified.seconds / c.sides, c.unified.seconds, c.sides) : state(c),
               "<= 2", ok && c.unified.seconds <= 2 * c.sides);
    const bool joined = answered(c) && c.join > 0;
    goals.Line("server time / " + std::string(db.Cli()) + "'s join, " + at,
               joined ? Fmt("%.1f (%.3f s)", c.unified.seconds / c.join, c.join) : state(c), "<= 2",
               joined && c.unified.seconds <= 2 * c.join);
  }
  for (const Cell& c : cells) {
    if (!c.run) continue;
    const double goalMB = kBaseMB + 2 * Mb(static_cast<double>(c.csvSmaller));
    const double mb = c.aboveIdleKiB / 1024.0;
    if (std::string_view(db.Name()) == "SQLite") {
      // The SQLite driver reads a statement's rows whole (in these files,
      // not in WAL mode): its memory is reported apart, the goal is
      // PostgreSQL's.
      std::printf("  %-58s %-30s %s\n",
                  ("memory above idle, " + RowsText(c.n) + "+" + RowsText(c.n) + ", " + o.kinds[c.kind].text).c_str(),
                  Fmt("%.0f MB", mb).c_str(), "the driver's whole read included: no goal");
      continue;
    }
    goals.Line("memory above idle, " + RowsText(c.n) + "+" + RowsText(c.n) + ", " + o.kinds[c.kind].text,
               Fmt("%.0f MB (%s)", mb, c.unified.outcome == Outcome::Answered ? "answered" : state(c).c_str()),
               Fmt("<= %.0f MB", goalMB), c.csvSmaller > 0 && mb <= goalMB && answered(c));
  }
  for (const Cell& c : cells)
    for (const Cell& small : cells)
      if (small.kind == c.kind && small.n * 10 == c.n) {
        const bool ok = answered(c) && answered(small) && small.unified.seconds > 0;
        const double growth = ok ? c.unified.seconds / small.unified.seconds : 0;
        goals.Line("growth " + RowsText(small.n) + " -> " + RowsText(c.n) + ", " + o.kinds[c.kind].text,
                   ok ? Fmt("%.1f x", growth) : state(answered(small) ? c : small), "<= 11 x", ok && growth <= 11);
      }
  bool million = false;
  for (const Cell& c : cells)
    if (c.n == 1000000) {
      million = true;
      goals.Line("1M+1M answered by quor-call, " + o.kinds[c.kind].text, c.run ? c.callNote : "skipped", "done",
                 c.run && c.call.ok);
    }
  if (!million)
    goals.Line("1M+1M answered by quor-call", "not run (1000000 not in --rows)", "done", false);
  std::printf("%d of %d goals missed (%s)\n", goals.missed, goals.lines, db.Name());
  std::fflush(stdout);
  client.EndSession();
  const int stopped = server.Stop();
  if (stopped != 0) std::printf("unified_bench: quor-server stopped with status %d\n", stopped);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = ParseOptions(argc, argv);
  if (!fs::exists(o.bin / "quor-server") || !fs::exists(o.bin / "quor-call") || !fs::exists(o.lib / kLibraries[0])) {
    std::fprintf(stderr, "unified_bench: no quor-server or quor-call in %s, or no components in %s\n", o.bin.c_str(),
                 o.lib.c_str());
    return 1;
  }
  if (quor::soak::Shell("sqlite3 -version") != 0) {
    std::fprintf(stderr, "unified_bench: the sqlite3 shell is needed\n");
    return 1;
  }
  st::TempDir scratch;
  if (scratch.Path().empty()) {
    std::fprintf(stderr, "unified_bench: no temporary folder\n");
    return 1;
  }
  std::string rows, kinds;
  for (const long n : o.rows) rows += (rows.empty() ? "" : ",") + RowsText(n);
  for (const Kind& k : o.kinds) kinds += (kinds.empty() ? "" : ", ") + k.text;
  const char* pg = std::getenv("QUOR_TEST_PG");
  std::printf("unified_bench: rows per side %s; kinds: %s; PostgreSQL: %s\n", rows.c_str(), kinds.c_str(),
              !o.pg ? "not asked (--pg)" : pg && *pg ? "yes" : "asked, but QUOR_TEST_PG is not set: skipped");
  std::fflush(stdout);
  {
    SqliteDatabase sqlite(scratch.Path());
    if (!RunSource(sqlite, o, scratch.Path())) return 1;
  }
  if (o.pg && pg && *pg) {
    PostgresDatabase postgres(pg, scratch.Path());
    if (!RunSource(postgres, o, scratch.Path())) return 1;
  }
  return 0;
}
