// data_bench: data moved through quor-server next to the database's own
// command-line client moving the same rows or bytes, in one run.
//
//   data_bench [--max-rows N] [--max-content BYTES] [--repeat K] [--pg ODBC]
//
// Query: tables of 1k, 10k, 100k and 1M rows x 8 columns (integers, reals,
// a short and a longer text, a date as text, NULLs in two columns) in an
// SQLite file and, when a PostgreSQL ODBC string is given (--pg, else
// QUOR_TEST_PG), in a schema of their own there. Each table is fetched
// whole by a Query call through quor-server (signed in once, the console's
// SOAP client: request token, answer check, decode) and by the database's
// CLI writing the same rows as CSV to a pipe we drain (sqlite3 -csv, psql
// \copy ... to stdout csv), the process timed end to end. Then, on a fresh
// server, the peak resident size (VmHWM) while it answers one 100k-row Query.
//
// Contents: GetVOContent and PutVOContent of 1 KB, 1 MB, 10 MB and 100 MB
// (the repository SQLite, and PostgreSQL when given), next to the CLI
// storing the same text from a file and printing it back to a pipe, and
// next to the listener moving the same bytes without a call: the put's
// request posted to /quor-bench/fixed, the get's answer fetched as a file
// from the resource folder.
//
// Every figure is the median of K runs (default 3); each goal is printed
// next to its figure. --max-rows and --max-content drop the larger sizes. A
// size that fails (the console's client waits at most 30 s for an answer's
// data) is reported and the larger ones of its part skipped; the run goes on
// and ends with status 1.
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "admin/VeltService.h"
#include "bench/bench_instance.h"
#include "testing/SignedSession.h"
#include "platform/com/memory_budget.h"
#include "platform/soap/http_client.h"
#include "server/listener.h"
#include "testing/ServerProcess.h"
#include "platform/text/text.h"
#include "testing/Loopback.h"
#include "testing/RawHttp.h"

using namespace std::chrono;
namespace fs = std::filesystem;
namespace st = quor::soap::testing;
using quor::admin::CVeltService;

namespace {

using Clock = steady_clock;

struct Options {
  long maxRows = 1000000;
  long maxContent = 100L << 20;
  int repeat = 3;
  std::string pg;
};

constexpr long kRowSizes[] = {1000, 10000, 100000, 1000000};
constexpr long kContentSizes[] = {1L << 10, 1L << 20, 10L << 20, 100L << 20};
constexpr long kRssRows = 100000;

const char* const kLibraries[] = {"libQuorServiceCore.so", "libQuorAuth.so", "libQuorAccessor.so", "libFlatConvert.so"};

double Since(Clock::time_point start) { return duration<double>(Clock::now() - start).count(); }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Runs `measure` K times; the median of what it returned, or a negative
// number when one run failed.
double MedianOf(int repeat, const std::function<double(int run)>& measure) {
  std::vector<double> runs;
  for (int r = 0; r < repeat; ++r) {
    const double s = measure(r);
    if (s < 0) return -1;
    runs.push_back(s);
  }
  return Median(runs);
}


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

// A CLI run: its time end to end and how much it wrote.
struct CliRun {
  double seconds = -1;
  size_t bytes = 0;
  long peakKiB = 0;  // the process's peak resident size
  std::string error;
};

// Runs `args` (found on PATH, no shell) with `env` added, stdin from
// `input` (/dev/null when empty), its output drained from a pipe.
CliRun RunCli(const std::vector<std::string>& args, const std::vector<std::string>& env, const fs::path& input,
              const fs::path& scratch) {
  CliRun run;
  std::vector<std::string> owned = args;
  std::vector<char*> argv;
  for (std::string& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = st::Environment(env);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  const fs::path errors = scratch / "cli.err";

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.empty() ? "/dev/null" : input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const auto start = Clock::now();
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    run.error = "cannot start " + args[0];
    return run;
  }
  // The child's own peak, read while it runs: wait4's figure would keep
  // this process's, which the child was until its exec.
  std::atomic<bool> ended{false};
  std::atomic<long> peak{0};
  std::thread sampler([&] {
    while (!ended) {
      peak = std::max(peak.load(), quor::bench::PeakResidentKiB(pid));
      std::this_thread::sleep_for(milliseconds(5));
    }
  });
  std::vector<char> buffer(1 << 16);
  for (ssize_t n; (n = ::read(fds[0], buffer.data(), buffer.size())) > 0;) run.bytes += static_cast<size_t>(n);
  ::close(fds[0]);
  peak = std::max(peak.load(), quor::bench::PeakResidentKiB(pid));
  ended = true;
  sampler.join();
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double took = Since(start);
  run.peakKiB = peak;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) run.seconds = took;
  else run.error = args[0] + " failed: " + st::ReadFile(errors).substr(0, 500);
  return run;
}

// How the two databases are reached: by the server's data source setting
// and by their CLI.
class Database {
 public:
  virtual ~Database() = default;
  virtual const char* Name() const = 0;
  virtual const char* Cli() const = 0;
  // Statements run by the CLI (no output wanted); false with the reason.
  virtual bool Run(const std::string& sql, std::string& error) = 0;
  // The CLI printing `select`'s rows as CSV, to a pipe.
  virtual CliRun Csv(const std::string& select) = 0;
  // The CLI printing one text value as it is.
  virtual CliRun Text(const std::string& select) = 0;
  // The CLI storing `content` (also in the file `plain`) as row `id` of
  // table c; only the CLI's process is timed.
  virtual CliRun Store(long id, const std::string& content, const fs::path& plain) = 0;
  // The data source setting of the server (config/<dsn>.xml) and its catalog.
  virtual std::string Setting(const std::string& dsn) const = 0;
  virtual std::string Catalog() const = 0;
  // Table `name` qualified as the CLI names it.
  virtual std::string Table(const std::string& name) const = 0;
  // The statements that fill table `name` with `rows` rows.
  virtual std::string Fill(const std::string& name, long rows) const = 0;
  virtual std::string ContentTable() const = 0;
  // The ODBC string of a database the bare ODBC program may make its
  // temporary table in.
  virtual std::string FloorOdbc(const fs::path& scratch) const = 0;
};

std::string EscapeXml(std::string_view text) { return CVeltService::EscapeXml(text); }

class SqliteDatabase : public Database {
 public:
  SqliteDatabase(fs::path file, fs::path scratch) : file_(std::move(file)), scratch_(std::move(scratch)) {}
  const char* Name() const override { return "SQLite"; }
  const char* Cli() const override { return "sqlite3"; }
  bool Run(const std::string& sql, std::string& error) override {
    const CliRun r = RunCli({"sqlite3", "-batch", file_.string(), sql}, {}, {}, scratch_);
    error = r.error;
    return r.seconds >= 0;
  }
  CliRun Csv(const std::string& select) override {
    return RunCli({"sqlite3", "-batch", "-csv", file_.string(), select}, {}, {}, scratch_);
  }
  CliRun Text(const std::string& select) override {
    return RunCli({"sqlite3", "-batch", file_.string(), select}, {}, {}, scratch_);
  }
  CliRun Store(long id, const std::string& content, const fs::path& plain) override {
    return RunCli({"sqlite3", "-batch", file_.string(),
                   "INSERT INTO c VALUES (" + std::to_string(id) + ", " + std::to_string(content.size()) +
                       ", CAST(readfile('" + plain.string() + "') AS TEXT))"},
                  {}, {}, scratch_);
  }
  std::string Setting(const std::string& dsn) const override { return quor::bench::SqliteSourceSetting(dsn, file_); }
  std::string Catalog() const override { return "main"; }
  std::string Table(const std::string& name) const override { return name; }
  std::string Fill(const std::string& name, long rows) const override {
    return quor::bench::SqliteQueryTable(name, rows);
  }
  std::string ContentTable() const override {
    return "CREATE TABLE c (id INTEGER PRIMARY KEY, size INTEGER, body TEXT);";
  }
  std::string FloorOdbc(const fs::path& scratch) const override {
    return "DRIVER={SQLite3};Database=" + (scratch / "floor.db").string();
  }

 private:
  fs::path file_, scratch_;
};

class PostgresDatabase : public Database {
 public:
  PostgresDatabase(std::string odbc, std::string schema, fs::path scratch)
      : odbc_(std::move(odbc)), schema_(std::move(schema)), scratch_(std::move(scratch)) {}
  const char* Name() const override { return "PostgreSQL"; }
  const char* Cli() const override { return "psql"; }
  bool Run(const std::string& sql, std::string& error) override {
    const CliRun r = Psql({"-c", "SET client_min_messages TO warning; " + sql});
    error = r.error;
    return r.seconds >= 0;
  }
  CliRun Csv(const std::string& select) override { return Psql({"-c", "\\copy (" + select + ") to stdout csv"}); }
  CliRun Text(const std::string& select) override { return Psql({"-c", "\\copy (" + select + ") to stdout"}); }
  CliRun Store(long id, const std::string& content, const fs::path&) override {
    // A COPY line: the text holds no tab, newline or backslash.
    const fs::path line = scratch_ / "content.copy";
    std::ofstream(line, std::ios::binary) << id << '\t' << content.size() << '\t' << content << '\n';
    return Psql({"-c", "\\copy " + schema_ + ".c (id, size, body) from stdin"}, line);
  }
  std::string Setting(const std::string& dsn) const override {
    const std::string rest = "DRIVER=" + Item("DRIVER") + ";Server=" + Item("Server") + ";Port=" + Item("Port") +
                             ";Database=" + Item("Database") + ";ConnSettings=SET search_path TO " + schema_;
    return "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>" + dsn + "</DataSource><InitialCatalog>" +
           schema_ + "</InitialCatalog><ExtendedProperties>" + EscapeXml(rest) + "</ExtendedProperties><UserName>" +
           EscapeXml(Item("UID")) + "</UserName><Password>" + EscapeXml(Item("PWD")) + "</Password></OLEDBSetting>";
  }
  std::string Catalog() const override { return schema_; }
  std::string Table(const std::string& name) const override { return schema_ + "." + name; }
  std::string Fill(const std::string& name, long rows) const override {
    const std::string table = Table(name);
    return "CREATE TABLE " + table +
           " (id integer PRIMARY KEY, qty integer, price double precision, score double precision, code text,"
           " note text, day text, tag text); INSERT INTO " + table +
           " SELECT x, (x::bigint * 7919) % 100000 - 50000, round(x * 0.37, 2)::float8,"
           " CASE WHEN x % 5 = 0 THEN NULL ELSE x / 7.0 END::float8, 'C' || (x % 1000),"
           " 'Row ' || x || ' of the sample, a longer text that describes it in a few words',"
           " to_char(date '2020-01-01' + (x % 3650), 'YYYY-MM-DD'),"
           " CASE WHEN x % 3 = 0 THEN NULL ELSE 'tag' || (x % 17) END FROM generate_series(1, " +
           std::to_string(rows) + ") AS x;";
  }
  std::string ContentTable() const override {
    return "CREATE TABLE " + Table("c") + " (id integer PRIMARY KEY, size integer, body text);";
  }
  std::string FloorOdbc(const fs::path&) const override { return odbc_; }
  // The server's repository in this schema.
  std::string RepositoryOdbc() const { return odbc_ + ";ConnSettings=SET search_path TO " + schema_; }
  std::vector<std::string> SearchPath() const { return {"PGOPTIONS=-c search_path=" + schema_}; }
  CliRun Psql(std::vector<std::string> args, const fs::path& input = {}, std::vector<std::string> env = {}) const {
    std::vector<std::string> all = {"psql", "-X", "-q", "-t", "-A", "-v", "ON_ERROR_STOP=1", "-h", Item("Server"),
                                    "-p", Item("Port"), "-U", Item("UID"), "-d", Item("Database")};
    all.insert(all.end(), args.begin(), args.end());
    env.push_back("PGPASSWORD=" + Item("PWD"));
    return RunCli(all, env, input, scratch_);
  }

 private:
  std::string Item(std::string_view key) const { return OdbcItem(odbc_, key); }
  std::string odbc_, schema_;
  fs::path scratch_;
};

// Drops a PostgreSQL schema when the run ends, however it ends.
struct SchemaGuard {
  PostgresDatabase* db = nullptr;
  std::string schema;
  ~SchemaGuard() {
    std::string error;
    if (db) db->Run("DROP SCHEMA IF EXISTS " + schema + " CASCADE", error);
  }
};

void Goal(const std::string& what, double measured, double goal) {
  std::printf("  %-66s %9.2f   goal <= %-5.1f %s\n", what.c_str(), measured, goal, measured <= goal ? "met" : "MISSED");
}

std::string SizeText(long bytes) {
  char text[32];
  if (bytes >= (1L << 20)) std::snprintf(text, sizeof text, "%ld MB", bytes >> 20);
  else if (bytes >= 1024) std::snprintf(text, sizeof text, "%ld KB", bytes >> 10);
  else std::snprintf(text, sizeof text, "%ld B", bytes);
  return text;
}

std::string RowsText(long rows) {
  return rows >= 1000000 ? std::to_string(rows / 1000000) + "M" : std::to_string(rows / 1000) + "k";
}

// A server with the data source "data" set to `db`; extra arguments and settings as given.
std::unique_ptr<st::ServerProcess> StartServer(Database& db, const quor::bench::InstanceSettings& base,
                                               std::vector<std::string> args) {
  quor::bench::InstanceSettings settings = base;
  settings.homeFiles.push_back({"config/data.xml", db.Setting("data")});
  settings.homeFiles.push_back({"transform/csv.xml", "<QuorTransform><transform><transID>csv</transID><ProgID>"
                                                     "FlatConvert.TransCSV</ProgID></transform></QuorTransform>"});
  auto server = std::make_unique<st::ServerProcess>(
      st::ServerProcess::Config{QUOR_BIN_DIR, QUOR_LIB_DIR, {std::begin(kLibraries), std::end(kLibraries)},
                                std::move(args)},
      [settings](const fs::path& dir, const fs::path& registry, std::string& error) {
        fs::path database;
        return quor::bench::PrepareInstance(dir, registry, settings, database, error);
      });
  if (!server->Error().empty()) {
    std::fprintf(stderr, "data_bench: %s\n", server->Error().c_str());
    return nullptr;
  }
  return server;
}

bool SignIn(CVeltService& client, const st::ServerProcess& server, const quor::bench::InstanceSettings& settings) {
  if (client.Connect(server.Url(quor::soap::kCorePath), settings.users.front(), settings.password) == 0) return true;
  std::fprintf(stderr, "data_bench: sign-in failed: %s\n%s", client.FormatFault().c_str(), server.Stderr().c_str());
  return false;
}

std::string QueryDocument(Database& db, const std::string& table) {
  return quor::bench::QueryAllDocument("data", db.Catalog(), table);
}

size_t Count(const std::string& text, std::string_view what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

struct QueryFigures {
  long rows = 0;
  double server = 0, serverCpu = 0, cli = 0;
  double drained = 0;  // the same Query read by a reader that only drains the socket
  size_t answerBytes = 0, csvBytes = 0;
};

// One Query of every row of `table`: seconds, or -1.
double TimedQuery(CVeltService& client, Database& db, const std::string& table, long rows, size_t* answerBytes) {
  const auto start = Clock::now();
  client.BeginRequest("Query");
  client.AddParameter("sqlstmt", QueryDocument(db, table));
  const bool ok = client.Invoke();
  const double took = Since(start);
  const size_t records = ok ? Count(client.DecodedResult(), "<record") : 0;
  if (!ok || records != static_cast<size_t>(rows)) {
    std::fprintf(stderr, "data_bench: Query of %s: %s\n", table.c_str(),
                 ok ? ("answered " + std::to_string(records) + " records").c_str() : client.FormatFault().c_str());
    return -1;
  }
  if (answerBytes) *answerBytes = client.LastAnswer().size();
  return took;
}

// The server's own time for a Query of every row of `table`: the request
// signed with `session`, the answer only drained from the socket (no token
// check, no decode). Seconds, or -1.
double DrainedQuery(quor::soap::HttpClient& http, const std::string& url, quor::bench::Session& session,
                    const quor::bench::Frame& frame, Database& db, const std::string& table) {
  const std::string request =
      quor::bench::SignedRequest(session.handler.get(), frame, "Query", {{"sqlstmt", QueryDocument(db, table)}});
  size_t bytes = 0;
  int status = 0;
  const auto start = Clock::now();
  const quor::Status posted = http.Post(url, request,
                                        quor::soap::HttpReceiver{[&](const quor::soap::HttpHead& head) {
                                                                   status = head.status;
                                                                   return true;
                                                                 },
                                                                 [&](std::string_view piece) {
                                                                   bytes += piece.size();
                                                                   return true;
                                                                 }});
  const double took = Since(start);
  if (!posted.ok() || status != 200) {
    std::fprintf(stderr, "data_bench: drained Query of %s: HTTP %d %s\n", table.c_str(), status,
                 posted.message().c_str());
    return -1;
  }
  return took;
}

bool QueryPart(Database& db, const Options& options, const std::vector<long>& sizes, const fs::path& scratch) {
  std::printf("\n== Query of n rows x 8 columns from %s: quor-server (signed in, the console's client) next to %s\n",
              db.Name(), db.Cli());
  const auto fillStart = Clock::now();
  for (long rows : sizes) {
    std::string error;
    if (!db.Run(db.Fill("q" + std::to_string(rows), rows), error)) {
      std::fprintf(stderr, "data_bench: cannot fill %s: %s\n", db.Name(), error.c_str());
      return false;
    }
  }
  std::printf("(tables filled in %.1f s)\n", Since(fillStart));
  quor::bench::InstanceSettings settings;
  auto server = StartServer(db, settings, {});
  CVeltService client;
  if (!server || !SignIn(client, *server, settings)) return false;
  // A session of our own for the drained reads, on the client's ticket.
  const std::string coreUrl = server->Url(quor::soap::kCorePath);
  quor::soap::HttpClient drain(quor::soap::HttpClient::Options{seconds(120), true});
  quor::bench::Session raw;
  std::string why;
  client.BeginRequest("GetLogCount");
  if (!client.Invoke() || !quor::bench::OpenSession(drain, coreUrl, client.Ticket(), raw, why)) {
    std::fprintf(stderr, "data_bench: a session of its own: %s %s\n", why.c_str(), client.FormatFault().c_str());
    return false;
  }
  const quor::bench::Frame frame = quor::bench::FrameOf(client, "GetLogCount");

  std::printf("%8s %10s %10s %12s %10s %10s %10s %8s %8s %14s\n", "rows", "answer MB", "csv MB", "quor-server s",
              "drained s", "server cpu", (std::string(db.Cli()) + " s").c_str(), "ratio", "drained", "growth/x10 srv");
  std::vector<QueryFigures> figures;
  bool failed = false;
  for (long rows : sizes) {
    const std::string table = "q" + std::to_string(rows);
    QueryFigures f;
    f.rows = rows;
    std::vector<double> cpu;
    f.server = MedianOf(options.repeat, [&](int) {
      const double before = quor::bench::ProcessCpu(server->Pid());
      const double s = TimedQuery(client, db, table, rows, &f.answerBytes);
      cpu.push_back(quor::bench::ProcessCpu(server->Pid()) - before);
      return s;
    });
    if (f.server < 0) {
      std::printf("%8ld  FAILED (see above); larger sizes skipped\n", rows);
      failed = true;
      break;
    }
    f.serverCpu = Median(cpu);
    f.drained = MedianOf(options.repeat, [&](int) { return DrainedQuery(drain, coreUrl, raw, frame, db, table); });
    if (f.drained < 0) {
      std::printf("%8ld  FAILED (see above); larger sizes skipped\n", rows);
      failed = true;
      break;
    }
    f.cli = MedianOf(options.repeat, [&](int) {
      const CliRun r = db.Csv("SELECT * FROM " + db.Table(table));
      if (r.seconds < 0) std::fprintf(stderr, "data_bench: %s\n", r.error.c_str());
      f.csvBytes = r.bytes;
      return r.seconds;
    });
    if (f.cli < 0) {
      failed = true;
      break;
    }
    std::string growthServer = "-";
    if (!figures.empty() && figures.back().rows * 10 == rows)
      growthServer = std::to_string(f.server / figures.back().server).substr(0, 5);
    std::printf("%8ld %10.1f %10.1f %12.3f %10.3f %10.2f %10.3f %8.2f %8.2f %14s\n", rows, f.answerBytes / 1048576.0,
                f.csvBytes / 1048576.0, f.server, f.drained, f.serverCpu, f.cli, f.server / f.cli, f.drained / f.cli,
                growthServer.c_str());
    std::fflush(stdout);
    figures.push_back(f);
  }

  // Memory while answering, and our own client, at 100k rows and at the
  // largest size measured.
  struct MemoryFigure {
    long rows = 0;
    double riseMB = 0;
  };
  std::vector<MemoryFigure> rises;
  CliRun call;
  double callCli = 0;
  long callRows = 0;
  int concurrent = 0, concurrentOk = 0;
  double concurrentRiseMB = 0;
  bool csvOk = false;
  double csvRiseMB = 0;
  if (!failed && !figures.empty()) {
    // The largest table through the CSV transformer, converted on its way.
    csvRiseMB = quor::bench::ResidentRiseDuring(server->Pid(), [&] {
                  CVeltService own;
                  if (!SignIn(own, *server, settings)) return;
                  std::string tail;
                  own.SetResultConsumer([&](std::string_view piece) {
                    tail.append(piece);
                    if (tail.size() > 64) tail.erase(0, tail.size() - 64);
                    return true;
                  });
                  std::string query = QueryDocument(db, "q" + std::to_string(figures.back().rows));
                  query.insert(query.find("</get>"), "<transform>csv</transform>");
                  own.BeginRequest("Query");
                  own.AddParameter("sqlstmt", query);
                  csvOk = own.Invoke() && tail.find("</csv>") != std::string::npos;
                  if (!csvOk) std::fprintf(stderr, "data_bench: Query through CSV: %s\n", own.FormatFault().c_str());
                  own.EndSession();
                }) / 1024.0;
    for (const QueryFigures& f : figures) {
      if (f.rows != 100000 && &f != &figures.back()) continue;
      MemoryFigure m{f.rows, 0};
      m.riseMB = quor::bench::ResidentRiseDuring(server->Pid(), [&] {
                   TimedQuery(client, db, "q" + std::to_string(f.rows), f.rows, nullptr);
                 }) / 1024.0;
      rises.push_back(m);
    }
    // quor-call printing the whole answer to a pipe we drain.
    callRows = figures.back().rows;
    callCli = figures.back().cli;
    call = RunCli({(fs::path(QUOR_BIN_DIR) / "quor-call").string(), "--url", server->Url(quor::soap::kCorePath),
                   settings.users.front(), "Query", "sqlstmt=" + QueryDocument(db, "q" + std::to_string(callRows))},
                  {"QUOR_PASSWORD=" + settings.password}, {}, scratch);
    if (call.seconds < 0) std::fprintf(stderr, "data_bench: quor-call: %s\n", call.error.c_str());
    // Eight users each asking for the largest table at once.
    concurrent = 8;
    std::atomic<int> answered{0};
    concurrentRiseMB = quor::bench::ResidentRiseDuring(server->Pid(), [&] {
                         std::vector<std::thread> users;
                         for (int u = 0; u < concurrent; ++u)
                           users.emplace_back([&] {
                             CVeltService own;
                             if (!SignIn(own, *server, settings)) return;
                             // Rows counted as they come: eight whole answers
                             // would take this process's memory, not the server's.
                             size_t records = 0;
                             std::string carry;
                             own.SetResultConsumer([&](std::string_view piece) {
                               const std::string text = carry + std::string(piece);
                               records += Count(text, "<record");
                               carry = text.substr(text.size() - std::min<size_t>(text.size(), 6));
                               return true;
                             });
                             own.BeginRequest("Query");
                             own.AddParameter("sqlstmt", QueryDocument(db, "q" + std::to_string(callRows)));
                             const bool ok = own.Invoke();
                             if (ok && records == static_cast<size_t>(callRows)) ++answered;
                             else
                               std::fprintf(stderr, "data_bench: concurrent Query: %s\n",
                                            ok ? ("answered " + std::to_string(records) + " records").c_str()
                                               : own.FormatFault().c_str());
                             own.EndSession();
                           });
                         for (std::thread& t : users) t.join();
                       }) / 1024.0;
    concurrentOk = answered;
  }
  client.EndSession();
  server->Stop();
  server.reset();

  // Peak resident size on a fresh server answering one Query of 100k rows
  // (the largest size below that when the sizes are limited).
  long rssRows = 0;
  for (const QueryFigures& f : figures)
    if (f.rows <= kRssRows) rssRows = f.rows;
  double baseline = 0, peak = 0;
  size_t answer = 0;
  if (rssRows > 0) {
    std::vector<double> before, after;
    for (int run = 0; run < options.repeat; ++run) {
      auto fresh = StartServer(db, settings, {});
      CVeltService probe;
      if (!fresh || !SignIn(probe, *fresh, settings)) return false;
      before.push_back(static_cast<double>(quor::bench::PeakResidentKiB(fresh->Pid())));
      if (TimedQuery(probe, db, "q" + std::to_string(rssRows), rssRows, &answer) < 0) return false;
      after.push_back(static_cast<double>(quor::bench::PeakResidentKiB(fresh->Pid())));
      probe.EndSession();
      fresh->Stop();
    }
    baseline = Median(before);
    peak = Median(after);
    std::printf("fresh quor-server, one Query of %ld rows: VmHWM %.1f MB before, %.1f MB after (%.0f to %.0f MB over"
                " %d servers); answer %.1f MB\n",
                rssRows, baseline / 1024.0, peak / 1024.0, *std::min_element(after.begin(), after.end()) / 1024.0,
                *std::max_element(after.begin(), after.end()) / 1024.0, options.repeat, answer / 1048576.0);
  }

  std::printf("(ratio: the console's client's time over the CLI's; drained: a reader that only drains the socket)\n");
  std::printf("goals (%s)\n", db.Name());
  for (const QueryFigures& f : figures)
    if (f.rows == 100000) Goal("Query / " + std::string(db.Cli()) + " at 100k rows", f.server / f.cli, 5);
  for (const QueryFigures& f : figures)
    if (f.rows >= 100000 && f.drained > 0)
      Goal("server time (drained) / " + std::string(db.Cli()) + " at " + RowsText(f.rows) + " rows",
           f.drained / f.cli, 2);
  for (size_t i = 1; i < figures.size(); ++i)
    if (figures[i - 1].rows * 10 == figures[i].rows)
      Goal("Query time growth " + RowsText(figures[i - 1].rows) + " -> " + RowsText(figures[i].rows),
           figures[i].server / figures[i - 1].server, 11);
  if (rssRows > 0 && answer > 0)
    Goal("server peak RSS / answer size, Query of " + RowsText(rssRows) + " rows on a fresh server",
         peak * 1024.0 / static_cast<double>(answer), 3);
  for (const MemoryFigure& m : rises)
    Goal("server memory above idle (MB) during a Query of " + RowsText(m.rows) + " rows", m.riseMB, 64);
  if (csvOk)
    Goal("server memory above idle (MB) during a Query of " + RowsText(figures.back().rows) +
             " rows through the CSV transformer",
         csvRiseMB, 64);
  if (call.seconds >= 0) {
    Goal("quor-call peak memory (MB), Query of " + RowsText(callRows) + " rows", call.peakKiB / 1024.0, 64);
    Goal("quor-call time / " + std::string(db.Cli()) + ", Query of " + RowsText(callRows) + " rows",
         call.seconds / callCli, 3);
  }
  if (concurrent > 0) {
    const double budgetMB = static_cast<double>(quor::com::MemoryBudget::DefaultAllCalls() >> 20);
    std::printf("  %d concurrent Queries of %s rows: %d answered\n", concurrent, RowsText(callRows).c_str(),
                concurrentOk);
    Goal("server memory above idle (MB) during them (budget " + std::to_string(static_cast<long>(budgetMB)) + " MB)",
         concurrentRiseMB, budgetMB);
  }
  std::fflush(stdout);
  return !failed && (figures.empty() || csvOk) && (concurrent == 0 || concurrentOk == concurrent);
}

std::string MakeContent(long size) { return quor::bench::TextContent(size); }

struct ContentFigures {
  long size = 0;
  double put = 0, cliPut = 0, fixedPut = 0, get = 0, cliGet = 0, fileGet = 0;
};

// What a bare ODBC program holds and takes for one text (odbc_text_floor).
struct Floor {
  double put = -1, get = -1, getSeconds = -1;
};

struct ContentMemory {
  long size = 0;
  long putKiB = -1, getKiB = -1, getByUriKiB = -1, stalledKiB = -1;
  Floor floor;
};

// The bare ODBC program on the same database and a text of `size` bytes.
bool RunFloor(Database& db, long size, const fs::path& scratch, Floor& floor) {
  const std::string odbc = db.FloorOdbc(scratch);
  const st::RunResult r =
      st::RunProgram(std::string(QUOR_BIN_DIR) + "/odbc_text_floor", {odbc, std::to_string(size)}, {}, scratch);
  if (r.status != 0) {
    std::fprintf(stderr, "data_bench: odbc_text_floor: %s%s\n", r.output.c_str(),
                 st::ReadFile(scratch / "run.err").c_str());
    return false;
  }
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    double peak = 0, seconds = 0;
    if (std::sscanf(line.c_str(), "put char %lf %lf", &peak, &seconds) == 2) floor.put = peak;
    else if (std::sscanf(line.c_str(), "get char %lf %lf", &peak, &seconds) == 2 && line.find("pieces") == std::string::npos) {
      floor.get = peak;
      floor.getSeconds = seconds;
    }
  }
  return floor.put >= 0 && floor.get >= 0;
}

// The server's peak above its idle size while `work` runs, in KiB, on the
// server restarted for it: VmRSS sampled every 2 ms, and the fresh
// process's own peak (VmHWM).
long FreshPeakKiB(st::ServerProcess& server, CVeltService& client, const quor::bench::InstanceSettings& settings,
                  const std::function<bool()>& work) {
  client.EndSession();
  server.Restart();
  if (!server.Error().empty() || !SignIn(client, server, settings)) return -1;
  std::this_thread::sleep_for(milliseconds(300));
  const long idle = quor::bench::ResidentKiB(server.Pid());
  bool ok = false;
  const long sampled = quor::bench::ResidentRiseDuring(server.Pid(), [&] { ok = work(); });
  if (!ok) return -1;
  return std::max(sampled, quor::bench::PeakResidentKiB(server.Pid()) - idle);
}

bool ContentMemoryPart(st::ServerProcess& server, CVeltService& client, const quor::bench::InstanceSettings& settings,
                       ContentMemory& memory) {
  const std::string content = MakeContent(memory.size);
  const auto fail = [&](const char* what) {
    const std::string errors = server.Stderr();
    std::fprintf(stderr, "data_bench: the content for the memory figures, %s: %s\n%s", what,
                 client.FormatFault().c_str(), errors.substr(errors.size() > 2000 ? errors.size() - 2000 : 0).c_str());
    return false;
  };
  std::string uri;
  memory.putKiB = FreshPeakKiB(server, client, settings, [&] {
    client.BeginRequest("PutVOContent");
    client.AddParameter("name", "memory");
    client.AddParameter("content", content);
    if (!client.Invoke()) return false;
    client.BeginRequest("GetVOURI");
    client.AddParameter("vouser", settings.users.front());
    client.AddParameter("name", "memory");
    if (!client.Invoke()) return false;
    const std::string& answer = client.DecodedResult();
    const size_t at = answer.find("<uri>"), end = answer.find("</uri>");
    if (at != std::string::npos && end != std::string::npos) uri = answer.substr(at + 5, end - at - 5);
    return true;
  });
  if (memory.putKiB < 0) return fail("put");
  const auto get = [&](const char* method, const char* name, const std::string& value) {
    client.BeginRequest(method);
    client.AddParameter(name, value);
    return client.Invoke() && client.DecodedResult().find(content) != std::string::npos;
  };
  memory.getKiB = FreshPeakKiB(server, client, settings, [&] { return get("GetVOContent", "name", "memory"); });
  if (memory.getKiB < 0) return fail("GetVOContent");
  if (!uri.empty())
    memory.getByUriKiB = FreshPeakKiB(server, client, settings, [&] { return get("GetVOContentbyURI", "uri", uri); });
  if (memory.getByUriKiB < 0) return fail("GetVOContentbyURI");

  // A reader that reads no further than the answer's head: what the call
  // holds while it waits on it.
  long stalled = -1, idle = 0;
  const bool stalledOk = FreshPeakKiB(server, client, settings, [&] {
    idle = quor::bench::ResidentKiB(server.Pid());
    // The console's frame of the call, taken from a real one.
    client.BeginRequest("GetVOContent");
    client.AddParameter("name", "none");
    if (!client.Invoke()) return false;
    quor::soap::HttpClient http;
    quor::bench::Session raw;
    std::string error;
    if (!quor::bench::OpenSession(http, server.Url(quor::soap::kCorePath), client.Ticket(), raw, error)) return false;
    const std::string body = quor::bench::SignedRequest(raw.handler.get(), quor::bench::FrameOf(client, "GetVOContent"),
                                                        "GetVOContent", {{"name", "memory"}});
    const auto fd = quor::test::ConnectLoopback(server.Port(), 4096);
    const std::string request = quor::test::RequestText("POST", quor::soap::kCorePath, body);
    if (body.empty() || !fd.valid() ||
        ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
      return false;
    std::string in;
    for (const auto until = Clock::now() + seconds(30); in.find("\r\n\r\n") == std::string::npos && Clock::now() < until;)
      if (!quor::test::ReadSome(fd.get(), in)) return false;
    std::this_thread::sleep_for(seconds(1));
    stalled = quor::bench::ResidentKiB(server.Pid()) - idle;
    return in.starts_with("HTTP/1.1 200");
  }) >= 0;
  // What it holds while it waits; not a goal of its own: the others stand
  // without it.
  memory.stalledKiB = stalledOk ? stalled : -1;
  if (!stalledOk) fail("stalled GetVOContent");
  return true;
}

bool ContentPart(Database& db, const Options& options, const std::vector<long>& sizes, const fs::path& scratch,
                 const std::string& repositoryOdbc) {
  std::printf("\n== Vesk contents in a %s repository: quor-server (signed in) next to %s and to the listener's own"
              " routes\n",
              db.Name(), db.Cli());
  std::string error;
  if (!db.Run(db.ContentTable(), error)) {
    std::fprintf(stderr, "data_bench: %s\n", error.c_str());
    return false;
  }
  const fs::path files = scratch / ("files-" + std::string(db.Name()));
  fs::create_directories(files);
  quor::bench::InstanceSettings settings;
  settings.repositoryOdbc = repositoryOdbc;
  const long largest = *std::max_element(sizes.begin(), sizes.end());
  auto server = StartServer(db, settings,
                            {"--bench-route", "--max-body", std::to_string(2 * largest + (1 << 20)), "--resource-url",
                             "/bench-files", "--resource-dir", files.string()});
  CVeltService client;
  if (!server || !SignIn(client, *server, settings)) return false;
  quor::soap::HttpClient http(quor::soap::HttpClient::Options{seconds(120), true});

  std::printf("%8s %10s %10s %10s %10s %3s %10s %10s %10s %10s\n", "size", "put s", "cli put s", "fixed s",
              "put/cli", "|", "get s", "cli get s", "file s", "get/cli");
  std::vector<ContentFigures> figures;
  bool failed = false;
  long nextId = 1;
  for (long size : sizes) {
    ContentFigures f;
    f.size = size;
    const std::string content = MakeContent(size);
    const std::string tag = std::to_string(size);
    const fs::path plain = scratch / "content.txt";
    std::ofstream(plain, std::ios::binary) << content;
    const long firstId = nextId;

    f.put = MedianOf(options.repeat, [&](int run) {
      const auto start = Clock::now();
      client.BeginRequest("PutVOContent");
      client.AddParameter("name", "c" + tag + "-" + std::to_string(run));
      client.AddParameter("content", content);
      if (!client.Invoke()) {
        std::fprintf(stderr, "data_bench: PutVOContent %s: %s\n", tag.c_str(), client.FormatFault().c_str());
        return -1.0;
      }
      return Since(start);
    });
    if (f.put < 0) {
      std::printf("%8s  FAILED (see above); larger sizes skipped\n", SizeText(size).c_str());
      failed = true;
      break;
    }
    const std::string putRequest = client.LastEnvelope();
    f.cliPut = MedianOf(options.repeat, [&](int) {
      const CliRun r = db.Store(nextId++, content, plain);
      if (r.seconds < 0) std::fprintf(stderr, "data_bench: %s\n", r.error.c_str());
      return r.seconds;
    });
    if (f.cliPut < 0) {
      std::printf("%8s  FAILED (see above); larger sizes skipped\n", SizeText(size).c_str());
      failed = true;
      break;
    }
    f.fixedPut = MedianOf(options.repeat, [&](int) {
      const auto start = Clock::now();
      const quor::Result<quor::soap::HttpReply> reply = http.Post(server->Url(quor::soap::kBenchRoutePath), putRequest);
      if (!reply.ok() || reply->status != 200) {
        std::fprintf(stderr, "data_bench: fixed route: %s %d\n", reply.status().message().c_str(),
                     reply.ok() ? reply->status : 0);
        return -1.0;
      }
      return Since(start);
    });
    if (f.fixedPut < 0) {
      std::printf("%8s  FAILED (see above); larger sizes skipped\n", SizeText(size).c_str());
      failed = true;
      break;
    }

    f.get = MedianOf(options.repeat, [&](int) {
      const auto start = Clock::now();
      client.BeginRequest("GetVOContent");
      client.AddParameter("name", "c" + tag + "-0");
      const bool ok = client.Invoke();
      const double took = Since(start);
      if (!ok || client.DecodedResult().find(content) == std::string::npos) {
        std::fprintf(stderr, "data_bench: GetVOContent %s: %s\n", tag.c_str(),
                     ok ? "not the content put" : client.FormatFault().c_str());
        return -1.0;
      }
      return took;
    });
    if (f.get < 0) {
      std::printf("%8s  FAILED (see above); larger sizes skipped\n", SizeText(size).c_str());
      failed = true;
      break;
    }
    // The same answer as a plain file of the listener's resource folder.
    std::ofstream(files / ("get-" + tag), std::ios::binary) << client.LastAnswer();
    const size_t answerBytes = client.LastAnswer().size();
    f.cliGet = MedianOf(options.repeat, [&](int) {
      const CliRun r = db.Text("SELECT body FROM " + db.Table("c") + " WHERE id = " + std::to_string(firstId));
      if (r.seconds < 0 || r.bytes < static_cast<size_t>(size)) {
        std::fprintf(stderr, "data_bench: %s read %zu bytes %s\n", db.Cli(), r.bytes, r.error.c_str());
        return -1.0;
      }
      return r.seconds;
    });
    if (f.cliGet < 0) {
      std::printf("%8s  FAILED (see above); larger sizes skipped\n", SizeText(size).c_str());
      failed = true;
      break;
    }
    f.fileGet = MedianOf(options.repeat, [&](int) {
      const auto start = Clock::now();
      const quor::Result<quor::soap::HttpReply> reply = http.Get(server->Url("/bench-files/get-" + tag));
      if (!reply.ok() || reply->status != 200 || reply->body.size() != answerBytes) {
        std::fprintf(stderr, "data_bench: resource file: %s %d\n", reply.status().message().c_str(),
                     reply.ok() ? reply->status : 0);
        return -1.0;
      }
      return Since(start);
    });
    if (f.fileGet < 0) {
      std::printf("%8s  FAILED (see above); larger sizes skipped\n", SizeText(size).c_str());
      failed = true;
      break;
    }
    fs::remove(files / ("get-" + tag));
    std::printf("%8s %10.4f %10.4f %10.4f %10.2f %3s %10.4f %10.4f %10.4f %10.2f\n", SizeText(size).c_str(), f.put,
                f.cliPut, f.fixedPut, f.put / f.cliPut, "|", f.get, f.cliGet, f.fileGet, f.get / f.cliGet);
    std::fflush(stdout);
    figures.push_back(f);
  }
  // Memory the server takes above idle while it moves the largest content,
  // each call on a server started afresh for it: what an earlier call
  // freed and the allocator kept would hide part of it otherwise.
  ContentMemory memory;
  if (!failed && !figures.empty()) {
    memory.size = figures.back().size;
    failed = !ContentMemoryPart(*server, client, settings, memory);
  }
  client.EndSession();
  server->Stop();
  const bool floorOk = !figures.empty() && RunFloor(db, memory.size ? memory.size : figures.back().size, scratch,
                                                    memory.floor);

  std::printf("(fixed: the put's request posted to /quor-bench/fixed; file: the get's answer served as a file of the\n"
              " resource folder; both on the same listener, no call made)\n");
  std::printf("goals (%s)%s\n", db.Name(), figures.size() < 3 ? ": none below 10 MB" : "");
  for (size_t i = 0; i < figures.size(); ++i) {
    const ContentFigures& f = figures[i];
    if (f.size == (10L << 20)) {
      Goal("PutVOContent / " + std::string(db.Cli()) + " at 10 MB", f.put / f.cliPut, 2);
      Goal("GetVOContent / " + std::string(db.Cli()) + " at 10 MB", f.get / f.cliGet, 2);
    }
    if (i > 0 && f.size == (100L << 20) && figures[i - 1].size == (10L << 20)) {
      Goal("PutVOContent time growth 10 MB -> 100 MB", f.put / figures[i - 1].put, 11);
      Goal("GetVOContent time growth 10 MB -> 100 MB", f.get / figures[i - 1].get, 11);
    }
  }
  if (floorOk) {
    for (const ContentFigures& f : figures)
      if (f.size == memory.size && memory.floor.getSeconds > 0)
        std::printf("  %-66s %9.2f\n", ("GetVOContent / bare ODBC read at " + SizeText(f.size)).c_str(),
                    f.get / memory.floor.getSeconds);
  }
  if (!failed && memory.size >= (1L << 20)) {
    const double size = static_cast<double>(memory.size);
    const std::string of = " of " + SizeText(memory.size);
    const bool sqlite = std::string_view(db.Name()) == "SQLite";
    if (floorOk)
      std::printf("  bare ODBC program%s: peak above its size / content: read %.2f, write %.2f\n", of.c_str(),
                  memory.floor.get, memory.floor.put);
    // On PostgreSQL the goal is the bare program's own peak (within 2 %).
    const double readGoal = sqlite || !floorOk ? 2.0 : memory.floor.get * 1.02;
    Goal("GetVOContent" + of + ": server peak above idle / content", memory.getKiB * 1024.0 / size, readGoal);
    Goal("GetVOContentbyURI" + of + ": server peak above idle / content", memory.getByUriKiB * 1024.0 / size,
         readGoal);
    Goal("PutVOContent" + of + ": server peak above idle / content", memory.putKiB * 1024.0 / size, 2.5);
    if (memory.stalledKiB >= 0)
      std::printf("  %-66s %9.2f\n", ("GetVOContent" + of + ", its reader stopped: held above idle / content").c_str(),
                  memory.stalledKiB * 1024.0 / size);
  }
  std::fflush(stdout);
  return !failed;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  if (const char* pg = std::getenv("QUOR_TEST_PG")) o.pg = pg;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "data_bench: %s wants a value\n", argv[i]);
      std::exit(2);
    }
    const char* v = argv[++i];
    if (a == "--max-rows") o.maxRows = std::atol(v);
    else if (a == "--max-content") o.maxContent = std::atol(v);
    else if (a == "--repeat") o.repeat = std::max(1, std::atoi(v));
    else if (a == "--pg") o.pg = v;
    else {
      std::fprintf(stderr,
                   "usage: data_bench [--max-rows N] [--max-content BYTES] [--repeat K] [--pg ODBC]\n"
                   "unknown option %s\n",
                   argv[i - 1]);
      std::exit(2);
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  std::vector<long> rowSizes, contentSizes;
  for (long n : kRowSizes)
    if (n <= options.maxRows) rowSizes.push_back(n);
  for (long n : kContentSizes)
    if (n <= options.maxContent) contentSizes.push_back(n);

  st::TempDir scratch;
  if (scratch.Path().empty()) {
    std::fprintf(stderr, "data_bench: no temporary folder\n");
    return 1;
  }
  std::printf("data_bench: median of %d runs; rows up to %ld, contents up to %s; PostgreSQL: %s\n", options.repeat,
              options.maxRows, SizeText(options.maxContent).c_str(), options.pg.empty() ? "not given, skipped" : "yes");

  bool ok = true;
  {
    SqliteDatabase sqlite(scratch.Path() / "data.db", scratch.Path());
    if (!rowSizes.empty()) ok = QueryPart(sqlite, options, rowSizes, scratch.Path()) && ok;
    SqliteDatabase contents(scratch.Path() / "contents.db", scratch.Path());
    if (!contentSizes.empty()) ok = ContentPart(contents, options, contentSizes, scratch.Path(), {}) && ok;
  }
  if (!options.pg.empty()) {
    const std::string schema = "qb_" + std::to_string(::getpid());
    PostgresDatabase pg(options.pg, schema, scratch.Path());
    std::string error;
    SchemaGuard guard{&pg, schema};
    if (!pg.Run("DROP SCHEMA IF EXISTS " + schema + " CASCADE; CREATE SCHEMA " + schema, error)) {
      std::fprintf(stderr, "data_bench: PostgreSQL: %s\n", error.c_str());
      return 1;
    }
    if (!rowSizes.empty()) ok = QueryPart(pg, options, rowSizes, scratch.Path()) && ok;
    if (!contentSizes.empty()) {
      // The server's repository in the same schema, its tables made from the shipped script.
      const CliRun made =
          pg.Psql({"-f", std::string(QUOR_SOURCE_DIR) + "/sql/postgresql.sql"}, {}, pg.SearchPath());
      if (made.seconds < 0) {
        std::fprintf(stderr, "data_bench: PostgreSQL repository: %s\n", made.error.c_str());
        return 1;
      }
      ok = ContentPart(pg, options, contentSizes, scratch.Path(), pg.RepositoryOdbc()) && ok;
    }
  }
  return ok ? 0 : 1;
}
