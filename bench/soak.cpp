// soak: one quor-server (or two on one PostgreSQL) under a long mixed load,
// supervised; proves it stays up, answers right, loses no acknowledged
// write and does not grow.
//
//   soak [--minutes M] [--clients N] [--pulse-clients N] [--users N]
//        [--pulse-on-ms MS] [--pulse-off-ms MS] [--think-ms MS]
//        [--pg ODBC [--pg-restart COMMAND] [--pg-restart-every SECONDS] [--servers 1|2]]
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
// With --servers 2 (only with --pg) a second instance is prepared on the
// same PostgreSQL database (the same accounts, data source and resource
// folder; its own instance folder, registry, keys, event log and port) and
// a second quor-server started, supervised as the first. Client i works
// through server i % 2, each server has its own administrator, probe and
// idle connections, and the other edges go to both. The steady clients
// also take turns across the servers:
//   - sharing: the owner starts sharing a field through its server and adds
//     its partner, signed in to the other one; there the partner must see
//     the attendees (owner, then partner), have its UpdateShareField refused
//     (0x81000006) and read the field unchanged; the owner saves a new text
//     and ends the sharing, and both servers must read the saved text;
//   - resumes: a PutShareField over an existing field through the user's
//     server answers a resume ID, which the user settles through the other
//     (TRUE or FALSE); the first server must then read the put or the field
//     as it was.
// Every acknowledged write is read back through each server at the end.
// The server's death (by signal: its core's backtraces with gdb), a
// sanitizer report in its standard error, a probe unanswered for 30 s (the
// live process's backtraces), an unexpected failure, an acknowledged write
// that does not read back at the end, a cross-server round that lost an edit
// or applied a wrong put, a server's VmRSS at the end (after the load
// stopped and 5 s of rest) above twice the one after warm-up, or an unclean
// stop each fail the run (exit status 1); with two servers, of either. The
// soak's folder is kept after a failing run (and with --keep).
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
               "            [--pg ODBC [--pg-restart COMMAND] [--pg-restart-every SECONDS] [--servers 1|2]]\n"
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
                                                   "--pg-restart", "--pg-restart-every", "--servers", "--seed",
                                                   "--dir", "--server-arg"};
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
    else if (a == "--servers") {
      o.servers = static_cast<int>(number(1));
      if (o.servers > 2 || o.servers != std::stod(v)) Usage("--servers: 1 or 2");
    }
    else if (a == "--seed") o.seed = static_cast<uint64_t>(number(0));
    else if (a == "--dir") o.dir = v;
    else o.serverArgs.push_back(v);
  }
  if (!o.pgRestart.empty() && o.pg.empty()) Usage("--pg-restart goes with --pg");
  // An SQLite repository belongs to one server.
  if (o.servers > 1 && o.pg.empty()) Usage("--servers 2 goes with --pg");
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

// One quor-server of the run, and what its supervision saw.
struct Served {
  std::string name;  // "quor-server", or "quor-server 1" and "quor-server 2"
  std::string suffix;  // of its files in the soak's folder: "" or "2"
  fs::path instance, registry;
  ServerChild child;
  std::unique_ptr<ReportWatch> watch;
  pid_t pid = 0;
  std::atomic<int64_t> lastAnswer{0};  // of its probe
  std::string death;      // what ended the server, when it died
  std::string sanitizer;  // the report, when one came
  std::string hang;       // when the probe went unanswered
  // The warm-up level: the largest VmRSS sampled in the second half of the
  // warm-up (a single sample lands anywhere between two pulses).
  long warming = 0, warmRss = 0, maxRss = 0, endRss = 0, hwm = 0;
  int connMin = INT32_MAX, connMax = 0;  // PostgreSQL connections of the server
  uint64_t connSamples = 0, connHigh = 0, connLow = 0;
  std::vector<std::pair<double, long>> timeline;  // seconds, VmRSS KiB

  fs::path File(const fs::path& dir, std::string_view stem, std::string_view ext) const {
    return dir / (std::string(stem) + suffix + std::string(ext));
  }
  bool Failed() const { return !death.empty() || !hang.empty() || !sanitizer.empty(); }
};

struct Supervision {
  bool interrupted = false;
  long warmSelf = 0;
  double warmAt = 0;
  // Signed-in calls in flight, sampled every 25 ms: per pulse period, its
  // highest and lowest; a swing is a period that went above the pool's kept
  // connections (16) and down to 8 or fewer.
  int flightMax = 0;
  uint64_t periods = 0, swings = 0;
};

std::string WaitStatus(int s, bool core) {
  return WIFSIGNALED(s) ? quor::text::Format("killed by signal %d (%s)%s", WTERMSIG(s), strsignal(WTERMSIG(s)),
                                             core && WCOREDUMP(s) ? ", core dumped" : "")
                        : quor::text::Format("exited with status %d", WEXITSTATUS(s));
}

// A signed-in GetLogCount on `server` every half second; the time of its
// last answer (fault or not), for the hang check.
void RunProbe(Run& run, int server, std::atomic<int64_t>& lastAnswer) {
  Judge judge(run);
  std::unique_ptr<CVeltService> client;
  while (!run.stopLoad) {
    if (!client) {
      client = std::make_unique<CVeltService>();
      if (client->Connect(run.CoreUrl(static_cast<uint64_t>(server)), run.names.admin, run.names.password) != 0) {
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

  // ---- The folder, the instances and the servers ----------------------------------------
  fs::path dir = o.dir;
  if (dir.empty()) {
    std::string pattern = (fs::temp_directory_path() / "quor-soak-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      std::fprintf(stderr, "soak: cannot make a folder under %s\n", fs::temp_directory_path().c_str());
      return 1;
    }
    dir = pattern;
  }
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

  // Every instance alike but for its folder, registry, keys and port: the
  // same accounts, repository, data source and resource folder.
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
  std::string error;
  if (!MakeSample(sample, error)) {
    std::fprintf(stderr, "soak: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::unique_ptr<Served>> servers;
  for (int s = 0; s < o.servers; ++s) {
    auto& served = *servers.emplace_back(std::make_unique<Served>());
    served.suffix = s == 0 ? "" : std::to_string(s + 1);
    served.name = o.servers == 1 ? "quor-server" : "quor-server " + std::to_string(s + 1);
    served.instance = dir / ("instance" + served.suffix);
    served.registry = served.instance / "registry.reg";
    fs::create_directories(served.instance);
    fs::path repository;
    if (!quor::bench::PrepareInstance(served.instance, served.registry, settings, repository, error)) {
      std::fprintf(stderr, "soak: %s\n", error.c_str());
      return 1;
    }
    // Into the registry PrepareInstance left in QUOR_REGISTRY, this instance's.
    for (const char* library : {"QuorServiceCore", "QuorAuth", "QuorAccessor", "FlatConvert", "GridPage"}) {
      std::string out;
      if (Shell(Quoted(std::string(QUOR_BIN_DIR) + "/quor-regsvr") + " -s " +
                    Quoted(std::string(QUOR_LIB_DIR) + "/lib" + library + ".so"),
                &out) != 0) {
        std::fprintf(stderr, "soak: quor-regsvr %s: %s\n", library, out.c_str());
        return 1;
      }
    }
  }
  // The soak's own clients read the first instance's registry.
  ::setenv("QUOR_REGISTRY", servers.front()->registry.c_str(), 1);

  const fs::path program = fs::path(QUOR_BIN_DIR) / "quor-server";
  std::vector<std::string> args = {"--port", "0"};
  args.insert(args.end(), o.serverArgs.begin(), o.serverArgs.end());
  for (auto& served : servers) {
    std::vector<std::string> env;
    for (char** p = environ; *p; ++p)
      if (!std::string_view(*p).starts_with("QUOR_REGISTRY=") && !std::string_view(*p).starts_with("QUOR_EVENTLOG="))
        env.emplace_back(*p);
    env.push_back("QUOR_REGISTRY=" + served->registry.string());
    env.push_back("QUOR_EVENTLOG=" + served->File(dir, "events", ".log").string());
    const fs::path err = served->File(dir, "server", ".err");
    if (!served->child.Start(program, args, env, dir, err, error)) {
      std::fprintf(stderr, "soak: %s\n", error.c_str());
      return 1;
    }
    served->pid = served->child.Pid();
    served->watch = std::make_unique<ReportWatch>(err);
    run.ports.push_back(served->child.Port());
    run.coreUrls.push_back("http://127.0.0.1:" + std::to_string(run.ports.back()) + std::string(quor::soap::kCorePath));
    std::printf("soak: %s %d on 127.0.0.1:%d, repository %s, folder %s\n", served->name.c_str(),
                static_cast<int>(served->pid), run.ports.back(), o.pg.empty() ? "SQLite" : "PostgreSQL", dir.c_str());
  }
  std::printf("soak: %.2f minutes, %d clients and %d pulse clients (%d ms on, %d off) as %d users, seed %llu\n",
              o.minutes, o.clients, o.pulseClients, o.pulseOnMs, o.pulseOffMs, o.users,
              static_cast<unsigned long long>(o.seed));
  std::printf("soak: cores go to %s\n", cores.Describe().c_str());
  std::fflush(stdout);
  const auto tails = [&] {
    std::string text;
    for (const auto& served : servers) text += served->watch->Tail();
    return text;
  };

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
      if (client.Connect(run.CoreUrl(0), names.users[i], names.password) != 0) {
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
      std::fprintf(stderr, "soak: preparing the shared keys failed: %s\n%s", error.c_str(), tails().c_str());
      return 1;
    }
  }

  // ---- The load ---------------------------------------------------------------------------
  const auto duration = std::chrono::milliseconds(static_cast<int64_t>(o.minutes * 60000));
  const double seconds = static_cast<double>(duration.count()) / 1000;
  const double warmup = std::min(seconds / 2, std::clamp(seconds * 0.1, 20.0, 60.0));
  run.start = Clock::now();
  const auto end = run.start + duration;
  for (auto& served : servers) served->lastAnswer = Clock::now().time_since_epoch().count();
  std::vector<WorkerPtr> workers;
  for (int i = 0; i < o.clients; ++i) workers.push_back(MakeWorker(run, i));
  std::vector<std::thread> threads;
  for (auto& w : workers) threads.emplace_back([&w] { RunWorker(*w); });
  for (int i = 0; i < o.pulseClients; ++i) threads.emplace_back([&run, i] { RunPulseClient(run, i); });
  threads.emplace_back([&run] { RunIntruder(run); });
  for (int i = 0; i < 3; ++i) threads.emplace_back([&run, i] { RunSlowClient(run, i); });
  threads.emplace_back([&run] { RunHostile(run); });
  for (int i = 0; i < 2; ++i) threads.emplace_back([&run, i] { RunDropper(run, i); });
  for (int s = 0; s < o.servers; ++s) {
    // Each server reloads on its own.
    threads.emplace_back([&run, s] { RunAdmin(run, s); });
    threads.emplace_back([&run, s] { RunIdleClients(run, s); });
    threads.emplace_back([&run, s, &servers] { RunProbe(run, s, servers[static_cast<size_t>(s)]->lastAnswer); });
  }
  if (!o.pgRestart.empty()) threads.emplace_back([&run, end] { RunRestarts(run, end); });

  Supervision sup;
  const int pgPort = o.pg.empty() ? 0 : PgPort(o.pg);
  const double progressEvery = seconds > 1200 ? 60 : 30;
  const double sampleEvery = std::max(5.0, seconds / 20);
  double nextProgress = progressEvery, nextSample = 0, nextWatch = 0;
  const auto anyFailed = [&] {
    return std::any_of(servers.begin(), servers.end(), [](const auto& served) { return served->Failed(); });
  };
  while (Clock::now() < end && !anyFailed()) {
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
    const bool watchNow = at >= nextWatch;
    if (watchNow) nextWatch = at + 1;
    const bool warmNow = sup.warmAt == 0 && at >= warmup;
    const bool sampleNow = at >= nextSample;
    if (sampleNow) nextSample = at + sampleEvery;
    std::string progress;
    for (auto& servedPtr : servers) {
      Served& served = *servedPtr;
      if (!served.child.Alive()) {
        served.death = WaitStatus(served.child.Status(), true);
        continue;
      }
      if (watchNow) {
        if (served.watch->Poll()) {
          served.sanitizer = served.watch->Report();
          continue;
        }
        // The event log takes every refusal; a long run keeps its last part only.
        std::error_code ec;
        const fs::path events = served.File(dir, "events", ".log");
        if (fs::file_size(events, ec) > (256u << 20)) fs::resize_file(events, 0, ec);
      }
      const double silent = std::chrono::duration<double>(Clock::now().time_since_epoch() -
                                                          Clock::duration(served.lastAnswer.load())).count();
      if (silent > 30) {
        served.hang = quor::text::Format("the probe got no answer for %.0f s", silent);
        continue;
      }
      const int conns = pgPort ? PostgresConnections(served.pid, pgPort) : -1;
      if (at > 5 && conns >= 0) {
        served.connMin = std::min(served.connMin, conns);
        served.connMax = std::max(served.connMax, conns);
        ++served.connSamples;
        served.connHigh += conns >= 28;
        served.connLow += conns <= 20;
      }
      const long rss = quor::bench::ResidentKiB(served.pid);
      served.maxRss = std::max(served.maxRss, rss);
      if (at >= warmup / 2) served.warming = std::max(served.warming, rss);
      if (warmNow) served.warmRss = served.warming;
      if (sampleNow) served.timeline.emplace_back(at, rss);
      progress += quor::text::Format(", %s VmRSS %.1f MB", served.name.c_str(), Mb(rss));
      if (conns >= 0)
        progress += quor::text::Format(", PostgreSQL connections %d (%d..%d so far)", conns, served.connMin, served.connMax);
    }
    if (warmNow) {
      sup.warmAt = at;
      sup.warmSelf = SelfKiB("VmRSS");
    }
    if (at >= nextProgress && !anyFailed()) {
      nextProgress = at + progressEvery;
      const Books::Totals t = run.books.Sum();
      uint64_t calls = 0, failed = 0, explained = 0;
      for (const auto& [kind, tally] : t.kinds) {
        calls += tally.Calls();
        failed += tally.failed;
        explained += tally.explained;
      }
      std::printf("[%6.0f s] calls %llu (%.0f/s), unexpected %llu, explained %llu, writes acknowledged %llu, soak VmRSS %.1f MB%s",
                  at, static_cast<unsigned long long>(calls), static_cast<double>(calls) / at,
                  static_cast<unsigned long long>(failed), static_cast<unsigned long long>(explained),
                  static_cast<unsigned long long>(run.acknowledged.load()), Mb(SelfKiB("VmRSS")), progress.c_str());
      if (o.servers > 1)
        std::printf(", cross-server sharing rounds %llu, resumes %llu",
                    static_cast<unsigned long long>(run.crossSharing.done.load()),
                    static_cast<unsigned long long>(run.crossResumes.done.load()));
      std::printf("\n");
      std::fflush(stdout);
    }
  }
  const double ran = run.Seconds();
  for (auto& served : servers) {
    if (served->hang.empty()) continue;
    // The live server's stacks, before anything else touches it; then it
    // goes, so that the clients' calls end at once.
    served->hang += "\n" + Backtraces(program, std::to_string(served->pid), true,
                                      served->File(dir, "hang-backtrace", ".txt"));
    served->child.Stop(SIGKILL, 10s);
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
  for (auto& served : servers)
    if (!served->Failed() && !served->child.Alive()) served->death = WaitStatus(served->child.Status(), false);
  uint64_t checked = 0, lost = 0;
  std::vector<std::pair<uint64_t, uint64_t>> readBack(servers.size());  // checked, lost through each server
  if (anyFailed()) {
    for (auto& servedPtr : servers) {
      Served& served = *servedPtr;
      const char* name = served.name.c_str();
      if (!served.death.empty()) {
        fail(served.name + " died: " + served.death);
        std::printf("\n== %s (pid %d) %s after %.1f s\n", name, static_cast<int>(served.child.EndedPid()),
                    served.death.c_str(), ran);
        const fs::path core = FindCore(dir, served.child.EndedPid());
        const fs::path out = served.File(dir, "backtrace", ".txt");
        if (!core.empty()) {
          std::printf("== backtraces of %s (all of them in %s)\n", core.c_str(), out.c_str());
          const std::string bt = Backtraces(program, core.string(), false, out);
          std::fwrite(bt.data(), 1, std::min<size_t>(bt.size(), 48 << 10), stdout);
        } else {
          std::printf("== no core found (cores go to %s)\n", cores.Describe().c_str());
        }
        served.watch->Poll();
        const std::string report = served.watch->Found() ? served.watch->Report() : served.watch->Tail();
        std::printf("\n== %s's standard error (%s)\n%s\n", name, served.watch->Found() ? "the report" : "its end",
                    report.c_str());
      } else if (!served.hang.empty()) {
        fail(served.name + " hung: " + served.hang.substr(0, served.hang.find('\n')));
        std::printf("\n== %s hung: %s\n", name, served.hang.substr(0, 48 << 10).c_str());
      } else if (!served.sanitizer.empty()) {
        fail("a sanitizer report in " + served.name + "'s standard error");
        std::printf("\n== sanitizer report in %s's standard error\n%s\n", name, served.sanitizer.c_str());
      }
    }
  } else {
    // ---- At rest: memory, then every acknowledged write read back through each server -----
    std::this_thread::sleep_for(5s);
    for (auto& served : servers) {
      served->endRss = quor::bench::ResidentKiB(served->pid);
      served->hwm = quor::bench::PeakResidentKiB(served->pid);
    }
    for (int s = 0; s < o.servers; ++s) {
      std::printf("soak: reading back every acknowledged write%s\n",
                  o.servers > 1 ? (" through " + servers[static_cast<size_t>(s)]->name).c_str() : "");
      std::fflush(stdout);
      std::atomic<size_t> next{0};
      std::atomic<uint64_t> checkedAll{0}, lostAll{0};
      std::vector<std::thread> readers;
      for (int r = 0; r < 8; ++r)
        readers.emplace_back([&] {
          for (size_t i; (i = next++) < workers.size();) {
            uint64_t c = 0, l = 0;
            ReadBack(*workers[i], s, c, l);
            checkedAll += c;
            lostAll += l;
          }
        });
      for (std::thread& t : readers) t.join();
      uint64_t& serverChecked = readBack[static_cast<size_t>(s)].first;
      uint64_t& serverLost = readBack[static_cast<size_t>(s)].second;
      serverChecked = checkedAll;
      serverLost = lostAll;
      const auto verdict = [&](bool right, const std::string& what) {
        ++serverChecked;
        if (!right) {
          ++serverLost;
          run.books.Note(run.Seconds(), "read back" + (o.servers > 1 ? " through server " + std::to_string(s + 1) : "") +
                                            ": " + what);
        }
      };
      CVeltService owner;
      if (owner.Connect(run.CoreUrl(static_cast<uint64_t>(s)), names.users[0], names.password) != 0) {
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
      checked += serverChecked;
      lost += serverLost;
    }
    std::vector<std::thread> closers;
    for (int r = 0; r < 8; ++r)
      closers.emplace_back([&, r] {
        for (size_t i = static_cast<size_t>(r); i < workers.size(); i += 8) EndSession(*workers[i]);
      });
    for (std::thread& t : closers) t.join();

    // ---- A clean stop ---------------------------------------------------------------------
    for (auto& servedPtr : servers) {
      Served& served = *servedPtr;
      const int stopped = served.child.Stop(SIGTERM, 120s);
      if (stopped != 0)
        fail(stopped < 0 ? served.name + " did not stop within 120 s of SIGTERM"
                         : served.name + " stopped with status " + std::to_string(stopped));
      if (served.watch->Poll()) {
        fail("a sanitizer report in " + served.name + "'s standard error");
        std::printf("\n== sanitizer report in %s's standard error\n%s\n", served.name.c_str(), served.watch->Report().c_str());
      } else if (stopped != 0) {
        std::printf("\n== %s's standard error (its end)\n%s\n", served.name.c_str(), served.watch->Tail().c_str());
      }
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
  std::printf("\n");
  const auto share = [](uint64_t part, uint64_t all) { return all ? 100.0 * static_cast<double>(part) / static_cast<double>(all) : 0.0; };
  for (const auto& servedPtr : servers) {
    const Served& served = *servedPtr;
    std::printf("memory of %s: VmRSS %.1f MB after warm-up (the largest sampled from %.0f to %.0f s), %.1f MB "
                "at the end (after 5 s at rest)",
                served.name.c_str(), Mb(served.warmRss), sup.warmAt / 2, sup.warmAt, Mb(served.endRss));
    if (served.warmRss > 0 && served.endRss > 0)
      std::printf(" = %.2f x (goal <= 2)", static_cast<double>(served.endRss) / static_cast<double>(served.warmRss));
    std::printf("; largest sampled %.1f MB, VmHWM %.1f MB\n", Mb(served.maxRss), Mb(served.hwm));
    std::printf("VmRSS over the run:");
    for (const auto& [at, kib] : served.timeline) std::printf(" %.0fs %.0fMB", at, Mb(kib));
    std::printf("\n");
  }
  std::printf("signed-in calls in flight%s (sampled every 25 ms): up to %d; %llu of %llu pulse periods (%.0f%%) swung "
              "above 16 (the connections the pool keeps) and down to 8 or fewer\n",
              o.servers > 1 ? ", all servers together" : "", sup.flightMax, static_cast<unsigned long long>(sup.swings),
              static_cast<unsigned long long>(sup.periods), share(sup.swings, sup.periods));
  if (pgPort)
    for (const auto& served : servers)
      std::printf("PostgreSQL connections of %s (sampled once a pulse period): %d..%d; 28 or more in %.0f%% of "
                  "samples, 20 or fewer in %.0f%%\n",
                  o.servers > 1 ? served->name.c_str() : "the server", served->connMin == INT32_MAX ? 0 : served->connMin,
                  served->connMax, share(served->connHigh, served->connSamples), share(served->connLow, served->connSamples));
  std::printf("memory of the soak itself: VmRSS %.1f MB after warm-up, %.1f MB at the end of the load\n",
              Mb(sup.warmSelf), Mb(endSelf));
  std::printf("writes acknowledged: %llu; values read back: %llu checked, %llu lost or wrong",
              static_cast<unsigned long long>(run.acknowledged.load()), static_cast<unsigned long long>(checked),
              static_cast<unsigned long long>(lost));
  if (o.servers > 1)
    for (size_t s = 0; s < servers.size(); ++s)
      std::printf("%s%s: %llu checked, %llu lost or wrong", s ? "; " : " (through ", servers[s]->name.c_str(),
                  static_cast<unsigned long long>(readBack[s].first), static_cast<unsigned long long>(readBack[s].second));
  std::printf("%s\n", o.servers > 1 ? ")" : "");
  uint64_t crossWrong = 0;
  if (o.servers > 1) {
    const auto rounds = [&](const char* what, const Run::Rounds& r) {
      std::printf("%s: %llu ran to their end, %llu broken off by a failure, %llu %s\n", what,
                  static_cast<unsigned long long>(r.done.load()), static_cast<unsigned long long>(r.broken.load()),
                  static_cast<unsigned long long>(r.wrong.load()),
                  r.wrong.load() ? "LOST AN EDIT OR APPLIED A WRONG PUT" : "lost an edit or applied a wrong put");
      crossWrong += r.wrong.load();
    };
    rounds("cross-server sharing rounds (owner on one server, attendee on the other)", run.crossSharing);
    rounds("cross-server resumes (queued on one server, settled on the other)", run.crossResumes);
  }
  std::printf("minutes run: %.2f of %.2f%s\n", ran / 60, o.minutes, sup.interrupted ? " (interrupted)" : "");

  if (unexpected > 0) fail(std::to_string(unexpected) + " unexpected failures");
  if (lost > 0) fail(std::to_string(lost) + " acknowledged writes lost or wrong");
  if (crossWrong > 0) fail(std::to_string(crossWrong) + " cross-server rounds lost an edit or applied a wrong put");
  if (!anyFailed()) {
    if (sup.warmAt == 0) {
      fail("the run ended before its warm-up; no memory figure");
    } else {
      for (const auto& served : servers)
        if (served->endRss > 2 * served->warmRss) fail("VmRSS of " + served->name + " at the end is above twice the one after warm-up");
    }
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
