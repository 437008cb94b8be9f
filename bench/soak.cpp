// soak: one quor-server under a long mixed load, supervised; proves it
// stays up, answers right, loses no acknowledged write and does not grow.
//
//   soak [--minutes M] [--clients N] [--pulse-clients N] [--users N]
//        [--pulse-on-ms MS] [--pulse-off-ms MS] [--think-ms MS]
//        [--pg ODBC [--pg-restart COMMAND] [--pg-restart-every SECONDS]]
//        [--seed N] [--dir DIR] [--keep] [--server-arg ARG]...
//
// Prepares a temporary instance (an SQLite repository, or the PostgreSQL
// database of --pg with its tables made; a local account store with the
// users, an administrator and an intruder; a small SQLite data source
// "sample"; the two transformers; a resource folder) and starts quor-server
// on it in the soak's folder with core dumps allowed. For M minutes (default
// 10, fractions allowed) it runs, against that one server:
//   - N steady clients (default 48; sessions of their own, as --users users)
//     making every kind of call through the console's SOAP client, each on
//     keys it alone writes, every answer checked: share fields, messages,
//     ACL entries, sharing, the resume queue, Vesk objects up to 3 MB,
//     resources and their attributes and ACLs, log rows, Queries of the data
//     source (rows read, inserted, transformed to CSV), directory lists, the
//     user's lists; locks by all users on shared objects; new sessions now
//     and then;
//   - pulse clients calling flat out 150 ms in every 300 ms, so that the
//     repository's connection pool grows and shrinks pulse after pulse;
//   - the administrator's reloads every two seconds;
//   - wrong passwords from other loopback addresses, requests trickled a
//     byte at a time, heads left half sent, idle connections, malformed and
//     hostile bodies, and clients hanging up on large answers;
//   - with --pg-restart, that command (a PostgreSQL restart) every
//     --pg-restart-every seconds (default 60): failures within it and 15 s
//     after are explained, not counted as unexpected.
// The server's death (by signal: its core's backtraces with gdb), a
// sanitizer report in its standard error, a probe unanswered for 30 s (the
// live process's backtraces), an unexpected failure, an acknowledged write
// that does not read back at the end, the server's VmRSS at the end (after
// the load stopped and 5 s of rest) above twice the one after warm-up, or an
// unclean stop each fail the run (exit status 1). The soak's folder is kept
// after a failing run (and with --keep).
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "bench/bench_instance.h"
#include "bench/soak_run.h"
#include "bench/soak_server.h"
#include "bench/soak_wire.h"

using namespace quor::soak;
using quor::admin::CVeltService;

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }

[[noreturn]] void Usage(const char* why) {
  std::fprintf(*why ? stderr : stdout,
               "usage: soak [--minutes M] [--clients N] [--pulse-clients N] [--users N]\n"
               "            [--pulse-on-ms MS] [--pulse-off-ms MS] [--think-ms MS]\n"
               "            [--pg ODBC [--pg-restart COMMAND] [--pg-restart-every SECONDS]]\n"
               "            [--seed N] [--dir DIR] [--keep] [--server-arg ARG]...\n%s%s",
               why, *why ? "\n" : "");
  std::exit(*why ? 2 : 0);
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  o.seed = static_cast<uint64_t>(Clock::now().time_since_epoch().count());
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--keep") {
      o.keep = true;
      continue;
    }
    if (a == "--help" || a == "-h") Usage("");
    static constexpr std::string_view kValued[] = {"--minutes", "--clients", "--pulse-clients", "--users",
                                                   "--pulse-on-ms", "--pulse-off-ms", "--think-ms", "--pg",
                                                   "--pg-restart", "--pg-restart-every", "--seed", "--dir",
                                                   "--server-arg"};
    if (std::find(std::begin(kValued), std::end(kValued), a) == std::end(kValued))
      Usage(("unknown option " + std::string(a)).c_str());
    if (i + 1 >= argc) Usage((std::string(a) + " wants a value").c_str());
    const std::string v = argv[++i];
    const auto number = [&](double low) {
      char* end = nullptr;
      const double n = std::strtod(v.c_str(), &end);
      if (!end || *end || !(n >= low)) Usage((std::string(a) + ": not a number from " + std::to_string(low)).c_str());
      return n;
    };
    if (a == "--minutes") o.minutes = number(0.05);
    else if (a == "--clients") o.clients = static_cast<int>(number(1));
    else if (a == "--pulse-clients") o.pulseClients = static_cast<int>(number(0));
    else if (a == "--users") o.users = static_cast<int>(number(2));
    else if (a == "--pulse-on-ms") o.pulseOnMs = static_cast<int>(number(1));
    else if (a == "--pulse-off-ms") o.pulseOffMs = static_cast<int>(number(1));
    else if (a == "--think-ms") o.thinkMs = static_cast<int>(number(0));
    else if (a == "--pg") o.pg = v;
    else if (a == "--pg-restart") o.pgRestart = v;
    else if (a == "--pg-restart-every") o.pgRestartEvery = number(5);
    else if (a == "--seed") o.seed = static_cast<uint64_t>(number(0));
    else if (a == "--dir") o.dir = v;
    else o.serverArgs.push_back(v);
  }
  if (!o.pgRestart.empty() && o.pg.empty()) Usage("--pg-restart goes with --pg");
  return o;
}

long SelfKiB(std::string_view field) { return quor::bench::StatusKiB(static_cast<int>(::getpid()), field); }

double Mb(long kib) { return static_cast<double>(kib) / 1024.0; }

// The port of an ODBC string's "Port=" (5432 when none is given).
int PgPort(const std::string& odbc) {
  std::string lower = odbc;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t at = lower.find("port=");
  return at == std::string::npos ? 5432 : std::atoi(lower.c_str() + at + 5);
}

// The data source the Queries use: a few staff rows, 20,000 rows to read
// in pages (and whole, by the clients that hang up), a table to insert into.
bool MakeSample(const fs::path& file, std::string& error) {
  const std::string sql =
      "PRAGMA journal_mode=WAL;"
      "CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT NOT NULL, dept TEXT);"
      "INSERT INTO staff VALUES (1, 'Ann', 'Sales'), (2, 'Bob', 'Support'), (3, 'Cy', 'Sales');"
      "CREATE TABLE big (id INTEGER PRIMARY KEY, qty INTEGER, price REAL, code TEXT, note TEXT);"
      "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 20000) INSERT INTO big SELECT x,"
      " (x * 7919) % 1000, x * 0.25, 'C' || (x % 977), 'row ' || x || ' of the soak <&> with a longer text' FROM n;"
      "CREATE TABLE notes (id INTEGER PRIMARY KEY, body TEXT);";
  std::string out;
  if (Shell("sqlite3 -batch " + Quoted(file.string()) + " " + Quoted(sql) + " > /dev/null", &out) != 0) {
    error = "sqlite3 could not make the data source: " + out;
    return false;
  }
  return true;
}

struct Supervision {
  std::string death;      // what ended the server, when it died
  std::string sanitizer;  // the report, when one came
  std::string hang;       // when the probe went unanswered
  bool interrupted = false;
  // The warm-up level: the largest VmRSS sampled in the second half of the
  // warm-up (a single sample lands anywhere between two pulses).
  long warming = 0, warmRss = 0, warmSelf = 0, maxRss = 0;
  double warmAt = 0;
  int connMin = INT32_MAX, connMax = 0;  // PostgreSQL connections of the server
  uint64_t connSamples = 0, connHigh = 0, connLow = 0;
  // Signed-in calls in flight, sampled every 25 ms: per pulse period, its
  // highest and lowest; a swing is a period that went above the pool's kept
  // connections (16) and down to 8 or fewer.
  int flightMax = 0;
  uint64_t periods = 0, swings = 0;
  std::vector<std::pair<double, long>> timeline;  // seconds, VmRSS KiB
};

// A signed-in GetLogCount every half second; the time of its last answer
// (fault or not), for the hang check.
void RunProbe(Run& run, std::atomic<int64_t>& lastAnswer) {
  Judge judge(run);
  std::unique_ptr<CVeltService> client;
  while (!run.stopLoad) {
    if (!client) {
      client = std::make_unique<CVeltService>();
      if (client->Connect(run.coreUrl, run.names.admin, run.names.password) != 0) {
        if (!client->LastAnswer().empty()) lastAnswer = Clock::now().time_since_epoch().count();
        client.reset();
        run.Pause(500ms);
        continue;
      }
    }
    const Reply r = Call(run, *client, "GetLogCount");
    if (r.ok || r.status != S_OK) lastAnswer = Clock::now().time_since_epoch().count();
    judge("probe GetLogCount", r);
    if (!r.ok && r.status == S_OK) client.reset();
    run.Pause(500ms);
  }
  if (client) client->EndSession();
}

void RunRestarts(Run& run, Clock::time_point end) {
  Judge judge(run);
  const auto every = std::chrono::milliseconds(static_cast<int64_t>(run.options.pgRestartEvery * 1000));
  for (;;) {
    run.Pause(every);
    // None in the last half minute: the read-back must not meet one.
    if (run.stopLoad || Clock::now() + 30s > end) return;
    run.RestartWindow(true);
    const auto start = Clock::now();
    std::string output;
    const int status = Shell(run.options.pgRestart, &output, 4096);
    run.RestartWindow(false);
    ++run.restarts;
    if (status == 0) judge.Count("PostgreSQL restart", Verdict::Ok, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start), {});
    else judge.Fail("PostgreSQL restart", start, "status " + std::to_string(status), "the restart command: " + output);
  }
}

bool EdgeKind(std::string_view kind) {
  for (std::string_view edge : {"hostile", "slow", "stalled", "idle", "dropper", "SignIn", "PostgreSQL", "probe"})
    if (kind.starts_with(edge)) return true;
  return false;
}

void PrintReport(const Run& run, const Books::Totals& totals, double minutes) {
  std::printf("\ncalls by kind%*s %9s %9s %8s %7s %9s %9s %9s\n", 27, "", "calls", "ok", "refused", "failed",
              "explained", "p50 ms", "p99 ms");
  Histogram calls, all;
  uint64_t total = 0;
  for (const auto& [kind, t] : totals.kinds) {
    std::printf("  %-38s %9llu %9llu %8llu %7llu %9llu %9.2f %9.2f\n", kind.c_str(),
                static_cast<unsigned long long>(t.Calls()), static_cast<unsigned long long>(t.ok),
                static_cast<unsigned long long>(t.refused), static_cast<unsigned long long>(t.failed),
                static_cast<unsigned long long>(t.explained), t.latency.Quantile(0.5) / 1000,
                t.latency.Quantile(0.99) / 1000);
    total += t.Calls();
    all.Merge(t.latency);
    if (!EdgeKind(kind)) calls.Merge(t.latency);
  }
  std::printf("  %-38s %9llu %46s %9.2f %9.2f\n", "signed-in calls of the clients", static_cast<unsigned long long>(calls.Total()),
              "", calls.Quantile(0.5) / 1000, calls.Quantile(0.99) / 1000);
  std::printf("  %-38s %9llu (%.0f per second)\n", "everything", static_cast<unsigned long long>(total),
              static_cast<double>(total) / std::max(1.0, minutes * 60));
  const auto table = [](const char* title, const std::map<std::string, uint64_t, std::less<>>& rows) {
    std::printf("%s%s\n", title, rows.empty() ? ": none" : "");
    for (const auto& [key, n] : rows) std::printf("  %-60s %9llu\n", key.c_str(), static_cast<unsigned long long>(n));
  };
  table("\nexpected refusals (kind, status)", totals.refusals);
  table("\nunexpected failures (kind, reason)", totals.failures);
  std::printf("\nPostgreSQL restarts: %lld\n", static_cast<long long>(run.restarts.load()));
  table("explained failures (within a restart and 15 s after; kind, reason)", totals.explained);
}

}  // namespace

int main(int argc, char** argv) {
  Run run;
  run.options = ParseOptions(argc, argv);
  const Options& o = run.options;
  ::signal(SIGINT, OnSignal);
  ::signal(SIGTERM, OnSignal);
  ::signal(SIGPIPE, SIG_IGN);
  // Blocks of a megabyte and more (contents, answers) go back to the system
  // when freed, so the soak's own size stays flat over a long run.
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);

  // ---- The folder, the instance and the server ----------------------------------------
  fs::path dir = o.dir;
  if (dir.empty()) {
    std::string pattern = (fs::temp_directory_path() / "quor-soak-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      std::fprintf(stderr, "soak: cannot make a folder under %s\n", fs::temp_directory_path().c_str());
      return 1;
    }
    dir = pattern;
  }
  fs::create_directories(dir / "instance");
  fs::create_directories(dir / "resource");
  const CorePattern cores(dir);

  Names& names = run.names;
  names.prefix = "sk" + std::to_string(::getpid());
  for (int i = 0; i < o.users; ++i) {
    names.users.push_back(names.prefix + "u" + std::to_string(i));
    names.staffGroup.push_back(names.users.back());
    if (i % 2 == 0) names.opsGroup.push_back(names.users.back());
  }
  names.admin = names.prefix + "adm";
  names.intruder = names.prefix + "x";

  quor::bench::InstanceSettings settings;
  settings.logLevel = "Normal";
  settings.users = names.users;
  settings.users.push_back(names.admin);
  settings.users.push_back(names.intruder);
  settings.password = names.password;
  settings.iterations = 1000;
  settings.repositoryOdbc = o.pg;
  settings.adminUsers = names.admin;
  settings.resourceUrl = "/QuorService/resource";
  settings.resourceDir = (dir / "resource").string();
  for (const std::string& u : names.staffGroup) settings.members.emplace_back(Names::kStaff, u);
  for (const std::string& u : names.opsGroup) settings.members.emplace_back(Names::kOps, u);
  const fs::path sample = dir / "sample.db";
  settings.homeFiles = {
      {"config/sample.xml", "<?xml version=\"1.0\"?><OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>sample"
                            "</DataSource><InitialCatalog>main</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};"
                            "Database=" + XmlText(sample.string()) + "</ExtendedProperties></OLEDBSetting>\n"},
      {"transform/csv.xml", "<QuorTransform><transform><ProgID>FlatConvert.TransCSV</ProgID><Method>Convert</Method>"
                            "</transform></QuorTransform>\n"},
      {"transform/xhtml.xml", "<QuorTransform><transform><ProgID>GridPage.TransXHTML</ProgID><Method>Convert</Method>"
                              "</transform></QuorTransform>\n"}};
  const fs::path instance = dir / "instance";
  const fs::path registry = instance / "registry.reg";
  fs::path repository;
  std::string error;
  if (!MakeSample(sample, error) || !quor::bench::PrepareInstance(instance, registry, settings, repository, error)) {
    std::fprintf(stderr, "soak: %s\n", error.c_str());
    return 1;
  }
  for (const char* library : {"QuorServiceCore", "QuorAuth", "QuorAccessor", "FlatConvert", "GridPage"}) {
    std::string out;
    if (Shell(Quoted(std::string(QUOR_BIN_DIR) + "/quor-regsvr") + " -s " +
                  Quoted(std::string(QUOR_LIB_DIR) + "/lib" + library + ".so"),
              &out) != 0) {
      std::fprintf(stderr, "soak: quor-regsvr %s: %s\n", library, out.c_str());
      return 1;
    }
  }
  const fs::path program = fs::path(QUOR_BIN_DIR) / "quor-server";
  std::vector<std::string> args = {"--port", "0"};
  args.insert(args.end(), o.serverArgs.begin(), o.serverArgs.end());
  const std::vector<std::string> env = [&] {
    std::vector<std::string> e;
    for (char** p = environ; *p; ++p)
      if (!std::string_view(*p).starts_with("QUOR_REGISTRY=") && !std::string_view(*p).starts_with("QUOR_EVENTLOG="))
        e.emplace_back(*p);
    e.push_back("QUOR_REGISTRY=" + registry.string());
    e.push_back("QUOR_EVENTLOG=" + (dir / "events.log").string());
    return e;
  }();
  ServerChild server;
  if (!server.Start(program, args, env, dir, error)) {
    std::fprintf(stderr, "soak: %s\n", error.c_str());
    return 1;
  }
  const pid_t serverPid = server.Pid();
  run.port = server.Port();
  run.coreUrl = "http://127.0.0.1:" + std::to_string(run.port) + std::string(quor::soap::kCorePath);
  ReportWatch watch(dir / "server.err");
  std::printf("soak: quor-server %d on 127.0.0.1:%d, repository %s, folder %s\n", static_cast<int>(serverPid),
              run.port, o.pg.empty() ? "SQLite" : "PostgreSQL", dir.c_str());
  std::printf("soak: %.2f minutes, %d clients and %d pulse clients (%d ms on, %d off) as %d users, seed %llu\n",
              o.minutes, o.clients, o.pulseClients, o.pulseOnMs, o.pulseOffMs, o.users,
              static_cast<unsigned long long>(o.seed));
  std::printf("soak: cores go to %s\n", cores.Describe().c_str());
  std::fflush(stdout);

  // ---- What the clients share: pulse fields, large objects, shared objects ---------------
  {
    const auto check = [&](CVeltService& client, std::string_view method,
                           std::initializer_list<std::pair<std::string_view, std::string_view>> params) {
      const Reply r = Call(run, client, method, params);
      if (!r.ok) error = std::string(method) + ": " + r.fault;
      return r.ok;
    };
    bool ready = true;
    const Written big{'b', 0, 0, 3u << 20};
    for (size_t i = 0; i < names.users.size() && ready; ++i) {
      CVeltService client;
      if (client.Connect(run.coreUrl, names.users[i], names.password) != 0) {
        error = "sign-in of " + names.users[i] + ": " + client.FormatFault();
        ready = false;
        break;
      }
      ready = check(client, "PutShareField", {{"author", names.users[i]}, {"name", "pulse"}, {"field", "pulse of " + names.users[i]}}) &&
              check(client, "PutVOContent", {{"name", "pulse"}, {"content", "pulse content of " + names.users[i]}}) &&
              check(client, "PutVOContent", {{"name", "soakbig"}, {"content", TextOf(big)}});
      // Four objects for each group of clients holding one client of each user.
      const int docs = 4 * ((o.clients + o.users - 1) / o.users);
      for (int k = 0; i == 0 && ready && k < docs; ++k) {
        auto doc = std::make_unique<SharedDoc>();
        doc->uri = "urn:vocontent:vodb000:" + names.users[0] + "-shared" + std::to_string(k);
        doc->acked = Written{'s', 99999, static_cast<uint32_t>(k), 300};
        ready = check(client, "PutVOContent", {{"name", "shared" + std::to_string(k)}, {"content", TextOf(doc->acked)}});
        for (size_t u = 1; u < names.users.size() && ready; ++u)
          ready = check(client, "PutACLEntry", {{"uri", doc->uri}, {"acluser", names.users[u]}, {"accright", "rwdarawad"}});
        run.docs.push_back(std::move(doc));
      }
      client.EndSession();
    }
    if (!ready) {
      std::fprintf(stderr, "soak: preparing the shared keys failed: %s\n%s", error.c_str(), watch.Tail().c_str());
      return 1;
    }
  }

  // ---- The load ---------------------------------------------------------------------------
  const auto duration = std::chrono::milliseconds(static_cast<int64_t>(o.minutes * 60000));
  const double seconds = static_cast<double>(duration.count()) / 1000;
  const double warmup = std::min(seconds / 2, std::clamp(seconds * 0.1, 20.0, 60.0));
  run.start = Clock::now();
  const auto end = run.start + duration;
  std::atomic<int64_t> lastAnswer{Clock::now().time_since_epoch().count()};
  std::vector<WorkerPtr> workers;
  for (int i = 0; i < o.clients; ++i) workers.push_back(MakeWorker(run, i));
  std::vector<std::thread> threads;
  for (auto& w : workers) threads.emplace_back([&w] { RunWorker(*w); });
  for (int i = 0; i < o.pulseClients; ++i) threads.emplace_back([&run, i] { RunPulseClient(run, i); });
  threads.emplace_back([&run] { RunAdmin(run); });
  threads.emplace_back([&run] { RunIntruder(run); });
  for (int i = 0; i < 3; ++i) threads.emplace_back([&run, i] { RunSlowClient(run, i); });
  threads.emplace_back([&run] { RunIdleClients(run); });
  threads.emplace_back([&run] { RunHostile(run); });
  for (int i = 0; i < 2; ++i) threads.emplace_back([&run, i] { RunDropper(run, i); });
  threads.emplace_back([&run, &lastAnswer] { RunProbe(run, lastAnswer); });
  if (!o.pgRestart.empty()) threads.emplace_back([&run, end] { RunRestarts(run, end); });

  Supervision sup;
  const int pgPort = o.pg.empty() ? 0 : PgPort(o.pg);
  const double progressEvery = seconds > 1200 ? 60 : 30;
  const double sampleEvery = std::max(5.0, seconds / 20);
  double nextProgress = progressEvery, nextSample = 0, nextWatch = 0;
  while (Clock::now() < end) {
    // The calls in flight over one pulse period, then the checks.
    {
      const auto period = std::chrono::milliseconds(o.pulseOnMs + o.pulseOffMs);
      const auto until = Clock::now() + std::max<Clock::duration>(period, 250ms);
      int high = 0, low = INT32_MAX;
      while (Clock::now() < until) {
        const int flight = run.inFlight.load();
        high = std::max(high, flight);
        low = std::min(low, flight);
        std::this_thread::sleep_for(25ms);
      }
      if (run.Seconds() > 5) {
        sup.flightMax = std::max(sup.flightMax, high);
        ++sup.periods;
        sup.swings += high > 16 && low <= 8;
      }
    }
    const double at = run.Seconds();
    if (g_interrupted) {
      sup.interrupted = true;
      break;
    }
    if (!server.Alive()) {
      const int s = server.Status();
      sup.death = WIFSIGNALED(s) ? quor::text::Format("killed by signal %d (%s)%s", WTERMSIG(s), strsignal(WTERMSIG(s)),
                                                WCOREDUMP(s) ? ", core dumped" : "")
                                 : quor::text::Format("exited with status %d", WEXITSTATUS(s));
      break;
    }
    if (at >= nextWatch) {
      nextWatch = at + 1;
      if (watch.Poll()) {
        sup.sanitizer = watch.Report();
        break;
      }
      // The event log takes every refusal; a long run keeps its last part only.
      std::error_code ec;
      if (fs::file_size(dir / "events.log", ec) > (256u << 20)) fs::resize_file(dir / "events.log", 0, ec);
    }
    const double silent = std::chrono::duration<double>(Clock::now().time_since_epoch() -
                                                        Clock::duration(lastAnswer.load())).count();
    if (silent > 30) {
      sup.hang = quor::text::Format("the probe got no answer for %.0f s", silent);
      break;
    }
    const int conns = pgPort ? PostgresConnections(serverPid, pgPort) : -1;
    if (at > 5 && conns >= 0) {
      sup.connMin = std::min(sup.connMin, conns);
      sup.connMax = std::max(sup.connMax, conns);
      ++sup.connSamples;
      sup.connHigh += conns >= 28;
      sup.connLow += conns <= 20;
    }
    const long rss = quor::bench::ResidentKiB(serverPid);
    sup.maxRss = std::max(sup.maxRss, rss);
    if (at >= warmup / 2) sup.warming = std::max(sup.warming, rss);
    if (sup.warmRss == 0 && at >= warmup) {
      sup.warmRss = sup.warming;
      sup.warmAt = at;
      sup.warmSelf = SelfKiB("VmRSS");
    }
    if (at >= nextSample) {
      nextSample = at + sampleEvery;
      sup.timeline.emplace_back(at, rss);
    }
    if (at >= nextProgress) {
      nextProgress = at + progressEvery;
      const Books::Totals t = run.books.Sum();
      uint64_t calls = 0, failed = 0, explained = 0;
      for (const auto& [kind, tally] : t.kinds) {
        calls += tally.Calls();
        failed += tally.failed;
        explained += tally.explained;
      }
      std::printf("[%6.0f s] calls %llu (%.0f/s), unexpected %llu, explained %llu, writes acknowledged %llu, "
                  "server VmRSS %.1f MB (soak %.1f MB)",
                  at, static_cast<unsigned long long>(calls), static_cast<double>(calls) / at,
                  static_cast<unsigned long long>(failed), static_cast<unsigned long long>(explained),
                  static_cast<unsigned long long>(run.acknowledged.load()), Mb(rss), Mb(SelfKiB("VmRSS")));
      if (conns >= 0) std::printf(", PostgreSQL connections %d (%d..%d so far)", conns, sup.connMin, sup.connMax);
      std::printf("\n");
      std::fflush(stdout);
    }
  }
  const double ran = run.Seconds();
  if (!sup.hang.empty()) {
    // The live server's stacks, before anything else touches it; then it
    // goes, so that the clients' calls end at once.
    sup.hang += "\n" + Backtraces(program, std::to_string(serverPid), true, dir / "hang-backtrace.txt");
    server.Stop(SIGKILL, 10s);
  }
  run.stopLoad = true;
  std::printf("soak: load stopped after %.1f s; waiting for the clients\n", ran);
  std::fflush(stdout);
  for (std::thread& t : threads) t.join();
  const long endSelf = SelfKiB("VmRSS");

  bool failed = false;
  std::vector<std::string> reasons;
  const auto fail = [&](std::string reason) {
    failed = true;
    reasons.push_back(std::move(reason));
  };
  if (sup.death.empty() && sup.hang.empty() && !server.Alive()) {
    const int s = server.Status();
    sup.death = WIFSIGNALED(s) ? quor::text::Format("killed by signal %d (%s)", WTERMSIG(s), strsignal(WTERMSIG(s)))
                               : quor::text::Format("exited with status %d", WEXITSTATUS(s));
  }
  long endRss = 0, hwm = 0;
  uint64_t checked = 0, lost = 0;
  if (!sup.death.empty()) {
    fail("quor-server died: " + sup.death);
    std::printf("\n== quor-server (pid %d) %s after %.1f s\n", static_cast<int>(server.EndedPid()), sup.death.c_str(), ran);
    const fs::path core = FindCore(dir, server.EndedPid());
    if (!core.empty()) {
      std::printf("== backtraces of %s (all of them in %s)\n", core.c_str(), (dir / "backtrace.txt").c_str());
      const std::string bt = Backtraces(program, core.string(), false, dir / "backtrace.txt");
      std::fwrite(bt.data(), 1, std::min<size_t>(bt.size(), 48 << 10), stdout);
    } else {
      std::printf("== no core found (cores go to %s)\n", cores.Describe().c_str());
    }
    watch.Poll();
    const std::string report = watch.Found() ? watch.Report() : watch.Tail();
    std::printf("\n== quor-server's standard error (%s)\n%s\n", watch.Found() ? "the report" : "its end", report.c_str());
  } else if (!sup.hang.empty()) {
    fail("quor-server hung: " + sup.hang.substr(0, sup.hang.find('\n')));
    std::printf("\n== quor-server hung: %s\n", sup.hang.substr(0, 48 << 10).c_str());
  } else if (!sup.sanitizer.empty()) {
    fail("a sanitizer report in quor-server's standard error");
    std::printf("\n== sanitizer report in quor-server's standard error\n%s\n", sup.sanitizer.c_str());
  } else {
    // ---- At rest: memory, then every acknowledged write read back -------------------------
    std::this_thread::sleep_for(5s);
    endRss = quor::bench::ResidentKiB(serverPid);
    hwm = quor::bench::PeakResidentKiB(serverPid);
    std::printf("soak: reading back every acknowledged write\n");
    std::fflush(stdout);
    std::atomic<size_t> next{0};
    std::atomic<uint64_t> checkedAll{0}, lostAll{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 8; ++r)
      readers.emplace_back([&] {
        for (size_t i; (i = next++) < workers.size();) {
          uint64_t c = 0, l = 0;
          ReadBack(*workers[i], c, l);
          checkedAll += c;
          lostAll += l;
        }
      });
    for (std::thread& t : readers) t.join();
    checked = checkedAll;
    lost = lostAll;
    const auto verdict = [&](bool right, const std::string& what) {
      ++checked;
      if (!right) {
        ++lost;
        run.books.Note(run.Seconds(), "read back: " + what);
      }
    };
    CVeltService owner;
    if (owner.Connect(run.coreUrl, names.users[0], names.password) != 0) {
      verdict(false, "the shared objects' owner cannot sign in: " + owner.FormatFault());
    } else {
      for (const auto& doc : run.docs) {
        const Reply r = Call(run, owner, "GetVOContentbyURI", {{"uri", doc->uri}});
        const auto text = r.ok ? RootText(r.decoded) : std::nullopt;
        verdict(text && doc->Allows(*text), doc->uri + " holds " + Slot::Describe(r.ok ? r.decoded : r.fault));
        const Reply lock = Call(run, owner, "LockVO", {{"uri", doc->uri}});
        verdict(lock.ok && lock.decoded == kResultOk, doc->uri + " was left locked: " + lock.fault + lock.decoded);
        if (lock.ok) Call(run, owner, "UnlockVO", {{"uri", doc->uri}});
      }
      // Log rows: each acknowledged one exactly once.
      std::map<std::string, std::set<std::string>> ackedLogs, unsureLogs;
      for (auto& w : workers) LogTags(*w, ackedLogs, unsureLogs);
      for (const std::string& user : names.users) {
        std::map<std::string, int> seen;
        for (const char* category : {"application", "collaboration"}) {
          const Reply r = Call(run, owner, "GetCategoryLogbyUser", {{"opuser", user}, {"category", category}});
          const auto descriptions = r.ok ? Texts(r.decoded, "description") : std::nullopt;
          verdict(descriptions.has_value(), user + " " + category + " log: " + r.fault);
          if (descriptions)
            for (const std::string& d : *descriptions) ++seen[d];
        }
        for (const std::string& tag : ackedLogs[user])
          verdict(seen[tag] == 1, user + ": log row \"" + tag + "\" read back " + std::to_string(seen[tag]) + " times");
      }
      // Rows inserted through Query: each acknowledged one there, none nobody sent.
      const Reply rows = Call(run, owner, "Query", {{"sqlstmt", "<query><get><content>record</content><target><provider>"
                                                           "MSDASQL.1</provider><dsn>sample</dsn><catalog>main</catalog>"
                                                           "<table>notes</table></target></get></query>"}});
      const auto ids = rows.ok ? Texts(rows.decoded, "column") : std::nullopt;
      verdict(ids.has_value(), "the inserted rows: " + rows.fault);
      if (ids) {
        std::set<int64_t> found;
        for (size_t i = 0; i < ids->size(); i += 2) found.insert(std::atoll((*ids)[i].c_str()));
        for (int64_t id : run.rowsAcked) verdict(found.count(id) == 1, "inserted row " + std::to_string(id) + " missing");
        for (int64_t id : found)
          verdict(run.rowsAcked.count(id) || run.rowsUnsure.count(id), "row " + std::to_string(id) + " nobody inserted");
      }
      owner.EndSession();
    }
    std::vector<std::thread> closers;
    for (int r = 0; r < 8; ++r)
      closers.emplace_back([&, r] {
        for (size_t i = static_cast<size_t>(r); i < workers.size(); i += 8) EndSession(*workers[i]);
      });
    for (std::thread& t : closers) t.join();

    // ---- A clean stop ---------------------------------------------------------------------
    const int stopped = server.Stop(SIGTERM, 120s);
    if (stopped != 0)
      fail(stopped < 0 ? "quor-server did not stop within 120 s of SIGTERM" : "quor-server stopped with status " + std::to_string(stopped));
    if (watch.Poll()) {
      fail("a sanitizer report in quor-server's standard error");
      std::printf("\n== sanitizer report in quor-server's standard error\n%s\n", watch.Report().c_str());
    } else if (stopped != 0) {
      std::printf("\n== quor-server's standard error (its end)\n%s\n", watch.Tail().c_str());
    }
  }

  // ---- The report ---------------------------------------------------------------------------
  const Books::Totals totals = run.books.Sum();
  PrintReport(run, totals, ran / 60);
  uint64_t unexpected = 0;
  for (const auto& [kind, t] : totals.kinds) unexpected += t.failed;
  uint64_t noted = 0;
  const std::vector<std::string> notes = run.books.Notes(noted);
  if (!notes.empty()) {
    std::printf("\nfailure texts (%llu in all; the first ones and the last)\n", static_cast<unsigned long long>(noted));
    for (const std::string& n : notes) std::printf("  %s\n", n.c_str());
  }
  std::printf("\nmemory of quor-server: VmRSS %.1f MB after warm-up (the largest sampled from %.0f to %.0f s), %.1f MB "
              "at the end (after 5 s at rest)",
              Mb(sup.warmRss), sup.warmAt / 2, sup.warmAt, Mb(endRss));
  if (sup.warmRss > 0 && endRss > 0) std::printf(" = %.2f x (goal <= 2)", static_cast<double>(endRss) / static_cast<double>(sup.warmRss));
  std::printf("; largest sampled %.1f MB, VmHWM %.1f MB\n", Mb(sup.maxRss), Mb(hwm));
  std::printf("VmRSS over the run:");
  for (const auto& [at, kib] : sup.timeline) std::printf(" %.0fs %.0fMB", at, Mb(kib));
  const auto share = [](uint64_t part, uint64_t all) { return all ? 100.0 * static_cast<double>(part) / static_cast<double>(all) : 0.0; };
  std::printf("\nsigned-in calls in flight (sampled every 25 ms): up to %d; %llu of %llu pulse periods (%.0f%%) swung "
              "above 16 (the connections the pool keeps) and down to 8 or fewer\n",
              sup.flightMax, static_cast<unsigned long long>(sup.swings), static_cast<unsigned long long>(sup.periods),
              share(sup.swings, sup.periods));
  if (pgPort)
    std::printf("PostgreSQL connections of the server (sampled once a pulse period): %d..%d; 28 or more in %.0f%% of "
                "samples, 20 or fewer in %.0f%%\n",
                sup.connMin == INT32_MAX ? 0 : sup.connMin, sup.connMax, share(sup.connHigh, sup.connSamples),
                share(sup.connLow, sup.connSamples));
  std::printf("memory of the soak itself: VmRSS %.1f MB after warm-up, %.1f MB at the end of the load\n",
              Mb(sup.warmSelf), Mb(endSelf));
  std::printf("writes acknowledged: %llu; values read back: %llu checked, %llu lost or wrong\n",
              static_cast<unsigned long long>(run.acknowledged.load()), static_cast<unsigned long long>(checked),
              static_cast<unsigned long long>(lost));
  std::printf("minutes run: %.2f of %.2f%s\n", ran / 60, o.minutes, sup.interrupted ? " (interrupted)" : "");

  if (unexpected > 0) fail(std::to_string(unexpected) + " unexpected failures");
  if (lost > 0) fail(std::to_string(lost) + " acknowledged writes lost or wrong");
  if (sup.death.empty() && sup.hang.empty() && sup.sanitizer.empty()) {
    if (sup.warmRss == 0) fail("the run ended before its warm-up; no memory figure");
    else if (endRss > 2 * sup.warmRss) fail("VmRSS at the end is above twice the one after warm-up");
  }
  if (failed) {
    std::printf("\nFAIL: ");
    for (size_t i = 0; i < reasons.size(); ++i) std::printf("%s%s", i ? "; " : "", reasons[i].c_str());
    std::printf("\n(the soak's folder is kept: %s)\n", dir.c_str());
    return 1;
  }
  std::printf("\nPASS\n");
  if (!o.keep && o.dir.empty()) {
    std::error_code ec;
    fs::remove_all(dir, ec);
  } else {
    std::printf("(the soak's folder: %s)\n", dir.c_str());
  }
  return 0;
}
