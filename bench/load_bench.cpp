// load_bench: quor-server under 1 to 1024 kept-alive connections, next to a
// bare Boost.Beast server answering the same requests on the same machine
// (bench_echo_server: the transport's ceiling), in one run.
//
//   load_bench [--seconds N] [--timeout S] [--client-threads N] [--echo-threads N]
//              [--connections 1,8,64,256,1024] [--query-rows N] [--server-arg ARG]...
//              [--bin DIR --lib DIR]
//
// Prepares its own instance (SQLite repository, local account store, log
// level None so the log table stays as it is), starts quor-server with
// --bench-route and the echo server on free loopback ports, opens one
// session per connection of the largest row, then for each connection count
// drives four routes for N seconds (default 2) each:
//   echo         the echo server, the Exec request body (answered with itself)
//   fixed        quor-server's /quor-bench/fixed (no parsing, no call)
//   Exec         the service core's Exec (parsed, dispatched, no token)
//   GetLogCount  signed in: a fresh request token per call, the answer's
//                response key validated and its result decoded on our side
// A request token cannot be sent twice: the server refuses a token whose
// time is not later than the last one of its session. So every signed-in
// call makes its own token, on the load generator's threads; what that
// costs is measured and printed. Each row prints right answers per second,
// p50 and p99 latency, errors and time-outs, the generator's share of its
// threads and the CPU the server used.
//
// Last, on a second quor-server prepared with a 100k-row SQLite data source,
// ten Query calls fetching every row: the server's VmRSS after the first and
// after the tenth. --bin and --lib run the quor-server (and the component
// libraries) of another build, to set two builds side by side.
#include <signal.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "admin/VeltService.h"
#include "bench/bench_instance.h"
#include "testing/SignedSession.h"
#include "auth/mac.h"
#include "server/bench/load_client.h"
#include "platform/soap/envelope.h"
#include "platform/soap/http_client.h"
#include "server/listener.h"
#include "testing/ServerProcess.h"

using namespace std::chrono;
namespace fs = std::filesystem;
namespace st = quor::soap::testing;
using quor::com::Bstr;

namespace {

using Clock = steady_clock;
using quor::bench::Frame;
using quor::bench::OpenSession;
using quor::bench::Session;

struct Options {
  double seconds = 2, timeout = 2;
  int clientThreads = 3;
  int echoThreads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  std::vector<int> connections{1, 8, 64, 256, 1024};
  int queryRows = 100000;
  std::vector<std::string> serverArgs;
  std::string bin = QUOR_BIN_DIR, lib = QUOR_LIB_DIR;  // quor-server's build
};


// The echo server, started and stopped like quor-server.
class EchoProcess {
 public:
  EchoProcess(int threads, const fs::path& scratch) {
    const st::Spawned s = st::Spawn(std::string(QUOR_BIN_DIR) + "/bench_echo_server",
                                    {"--port", "0", "--threads", std::to_string(threads)}, st::Environment({}),
                                    scratch / "echo.err");
    pid_ = s.pid;
    fd_ = s.stdoutFd;
    std::string line;
    if (pid_ > 0) port_ = st::ReadListeningPort(fd_, seconds(10), line);
  }
  ~EchoProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (st::WaitFor(pid_, seconds(10)) == -1) {
      ::kill(pid_, SIGKILL);
      st::WaitFor(pid_, seconds(10));
    }
    ::close(fd_);
  }
  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  int port_ = 0;
};

// Answers that must be exactly (or hold) a known text; the body never changes.
class FixedExchange : public quor::bench::Exchange {
 public:
  enum class Expect { Same, Holds };
  FixedExchange(const std::string& body, Expect expect, std::string text)
      : body_(body), expect_(expect), text_(std::move(text)) {}
  const std::string& NextBody() override { return body_; }
  bool Check(unsigned status, const std::string& body) override {
    if (status != 200) return false;
    return expect_ == Expect::Same ? body == body_ : body.find(text_) != std::string::npos;
  }

 private:
  const std::string& body_;
  Expect expect_;
  std::string text_;
};

// This thread's CPU time in microseconds: token work measured by the clock
// would count the time the thread was not running.
double ThreadCpuUs() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// The CPU one connection spent on tokens: making requests' and checking answers'.
struct TokenWork {
  double makeUs = 0, checkUs = 0;
  size_t calls = 0;
};

// GetLogCount as the console's client makes it (CVeltService::Invoke): the
// method as item 0 of a fresh token, and the answer's result checked against
// its response key, then decoded.
class SignedExchange : public quor::bench::Exchange {
 public:
  SignedExchange(Session& session, const Frame& frame, TokenWork& work)
      : handler_(session.handler.get()), frame_(frame), work_(work) {}

  const std::string& NextBody() override {
    const double start = ThreadCpuUs();
    body_.clear();
    Bstr token;
    quor::auth::SetTokenData(handler_, 0, 0, Bstr(u"GetLogCount"), Bstr(u""));
    if (SUCCEEDED(quor::auth::ConstructToken(handler_, &token)))
      body_.append(frame_.head)
          .append("<GetLogCount><user>")
          .append(quor::admin::CVeltService::EscapeXml(token.ToUtf8()))
          .append("</user></GetLogCount>")
          .append(frame_.tail);
    work_.makeUs += ThreadCpuUs() - start;
    ++work_.calls;
    return body_;
  }

  bool Check(unsigned status, const std::string& body) override {
    const double start = ThreadCpuUs();
    const bool ok = status == 200 && Valid(body);
    work_.checkUs += ThreadCpuUs() - start;
    return ok;
  }

 private:
  bool Valid(const std::string& body) {
    const quor::Result<quor::soap::Answer> answer = quor::soap::ParseAnswer(body);
    if (!answer.ok() || answer->isFault || answer->outputs.size() < 2) return false;
    Bstr decoded;
    return SUCCEEDED(quor::auth::SetTokenData(handler_, 0, 0, Bstr(u"GetLogCount"), Bstr(u""))) &&
           SUCCEEDED(quor::auth::SetTokenData(handler_, 1, 0, Bstr(u"result"), answer->outputs[0].value)) &&
           SUCCEEDED(quor::auth::ValidateToken(handler_, answer->outputs[1].value)) &&
           SUCCEEDED(quor::auth::GetTokenData(handler_, 1, nullptr, nullptr, &decoded)) &&
           decoded.ToUtf8().find("<logcount>") != std::string::npos;
  }

  quor::auth::TokenHandler* handler_;
  const Frame& frame_;
  TokenWork& work_;
  std::string body_;
};

struct Row {
  quor::bench::LoadResult load;
  double serverCores = 0;
};

// Past this share of its threads the generator limits the row as much as the server does.
constexpr double kGeneratorBound = 0.9;

void PrintRow(const char* route, int connections, const Row& row) {
  const auto& r = row.load;
  std::printf("%-14s %6d %10.0f %9.0f %10.0f %7zu %9zu %7zu %7.0f%%%c %8.2f\n", route, connections, r.perSecond,
              r.p50Us, r.p99Us, r.errors, r.timeouts, r.reopened, 100 * r.generatorCpu,
              r.generatorCpu >= kGeneratorBound ? '*' : ' ', row.serverCores);
  std::fflush(stdout);
}

void Goal(const char* what, double measured, const char* sign, double goal) {
  const bool met = std::string_view(sign) == ">=" ? measured >= goal : measured <= goal;
  std::printf("  %-58s %10.2f   goal %s %-6.2f %s\n", what, measured, sign, goal, met ? "met" : "MISSED");
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view a = argv[i];
    const char* v = argv[i + 1];
    if (a == "--seconds") o.seconds = std::atof(v);
    else if (a == "--timeout") o.timeout = std::atof(v);
    else if (a == "--client-threads") o.clientThreads = std::max(1, std::atoi(v));
    else if (a == "--echo-threads") o.echoThreads = std::max(1, std::atoi(v));
    else if (a == "--query-rows") o.queryRows = std::max(0, std::atoi(v));
    else if (a == "--server-arg") o.serverArgs.push_back(v);
    else if (a == "--bin") o.bin = v;
    else if (a == "--lib") o.lib = v;
    else if (a == "--connections") {
      o.connections.clear();
      std::istringstream list(v);
      for (std::string n; std::getline(list, n, ',');)
        if (std::atoi(n.c_str()) > 0) o.connections.push_back(std::atoi(n.c_str()));
    } else {
      std::fprintf(stderr, "load_bench: unknown option %s\n", argv[i]);
      std::exit(2);
    }
  }
  if (o.seconds <= 0) o.seconds = 2;
  if (o.timeout <= 0) o.timeout = 2;
  if (o.connections.empty()) o.connections = {1, 8, 64, 256, 1024};
  return o;
}

// Enough descriptors for every connection at both ends (quor-server inherits
// the limit); false when the hard limit is too low.
bool RaiseDescriptorLimit(int connections) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  const rlim_t wanted = static_cast<rlim_t>(connections) * 2 + 1024;
  if (limit.rlim_cur >= wanted) return true;
  limit.rlim_cur = std::min(limit.rlim_max, wanted);
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= wanted;
}

// The Query part: RSS of a server that answered one, then ten Queries of
// every row of a `rows`-row table. False when something failed.
bool MeasureQueries(const Options& options, int rows) {
  quor::bench::InstanceSettings settings;
  fs::path database;
  st::ServerProcess server(
      {options.bin, options.lib, {"libQuorServiceCore.so", "libQuorAuth.so", "libQuorAccessor.so"}, {}},
      [&](const fs::path& dir, const fs::path& registry, std::string& error) {
        if (!quor::bench::PrepareInstance(dir, registry, settings, database, error)) return false;
        const fs::path data = dir / "big.db";
        const std::string fill = "sqlite3 '" + data.string() +
                                 "' \"CREATE TABLE big (id INTEGER PRIMARY KEY, name TEXT NOT NULL, amount REAL);"
                                 " WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < " +
                                 std::to_string(rows) + ") INSERT INTO big SELECT x, 'name ' || x, x * 0.25 FROM n;\"";
        if (std::system(fill.c_str()) != 0) {
          error = "cannot make " + data.string();
          return false;
        }
        std::ofstream(dir / "home" / "config" / "big.xml")
            << "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>big</DataSource><InitialCatalog>main"
               "</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database="
            << data.string() << "</ExtendedProperties></OLEDBSetting>\n";
        return true;
      });
  if (!server.Error().empty()) {
    std::fprintf(stderr, "load_bench: %s\n", server.Error().c_str());
    return false;
  }
  quor::admin::CVeltService client;
  if (client.Connect(server.Url(quor::soap::kCorePath), "bench", settings.password) != 0) {
    std::fprintf(stderr, "load_bench: sign-in for the Query part failed: %s\n", client.FormatFault().c_str());
    return false;
  }
  const std::string document =
      "<query><get><content>record</content><target><provider>MSDASQL.1</provider><dsn>big</dsn><catalog>main"
      "</catalog><table>big</table></target></get></query>";
  const long started = quor::bench::ResidentKiB(server.Pid());
  long afterOne = 0, afterTen = 0;
  std::printf("\nQuery of %d rows x 3 columns from an SQLite data source, on a fresh quor-server (VmRSS %.1f MB)\n",
              rows, started / 1024.0);
  for (int q = 1; q <= 10; ++q) {
    const auto start = Clock::now();
    client.BeginRequest("Query");
    client.AddParameter("sqlstmt", document);
    const bool ok = client.Invoke();
    const double took = duration<double>(Clock::now() - start).count();
    const std::string& answer = client.DecodedResult();
    size_t records = 0;
    for (size_t at = answer.find("<record>"); at != std::string::npos; at = answer.find("<record>", at + 8)) ++records;
    const long rss = quor::bench::ResidentKiB(server.Pid());
    if (q == 1) afterOne = rss;
    if (q == 10) afterTen = rss;
    std::printf("  Query %2d: %s, %zu records, answer %.1f MB, %.2f s, VmRSS %.1f MB\n", q, ok ? "ok" : "FAILED",
                records, answer.size() / 1048576.0, took, rss / 1024.0);
    std::fflush(stdout);
    if (!ok || records != static_cast<size_t>(rows)) {
      std::fprintf(stderr, "load_bench: Query %d: %s\n", q, ok ? "rows missing" : client.FormatFault().c_str());
      return false;
    }
  }
  client.EndSession();
  std::printf("\n");
  Goal("VmRSS after ten Queries / after one", afterOne > 0 ? double(afterTen) / afterOne : 0, "<=", 2);
  return server.Stop() == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  const int most = *std::max_element(options.connections.begin(), options.connections.end());
  if (!RaiseDescriptorLimit(most)) {
    std::fprintf(stderr, "load_bench: cannot raise the descriptor limit for %d connections (ulimit -Hn)\n", most);
    return 1;
  }
  ::signal(SIGPIPE, SIG_IGN);

  quor::bench::InstanceSettings settings;
  settings.iterations = 1000;  // many sessions to open; the password check is not measured
  fs::path database;
  std::vector<std::string> serverArgs{"--bench-route"};
  serverArgs.insert(serverArgs.end(), options.serverArgs.begin(), options.serverArgs.end());
  st::ServerProcess server({options.bin, options.lib, {"libQuorServiceCore.so", "libQuorAuth.so"}, serverArgs},
                           [&](const fs::path& dir, const fs::path& registry, std::string& error) {
                             return quor::bench::PrepareInstance(dir, registry, settings, database, error);
                           });
  if (!server.Error().empty()) {
    std::fprintf(stderr, "load_bench: %s\n", server.Error().c_str());
    return 1;
  }
  EchoProcess echo(options.echoThreads, server.Dir());
  if (echo.Port() == 0) {
    std::fprintf(stderr, "load_bench: bench_echo_server did not start\n");
    return 1;
  }
  const std::string core = server.Url(quor::soap::kCorePath);

  // A real call with the console's client: the frame, and the ticket the
  // other sessions open on (one password check instead of one per session).
  Frame frame;
  std::string ticket;
  {
    quor::admin::CVeltService probe;
    if (probe.Connect(core, "bench", settings.password) != 0) {
      std::fprintf(stderr, "load_bench: sign-in failed: %s\n%s", probe.FormatFault().c_str(),
                   server.Stderr().c_str());
      return 1;
    }
    probe.BeginRequest("GetLogCount");
    if (!probe.Invoke()) {
      std::fprintf(stderr, "load_bench: GetLogCount failed: %s\n", probe.FormatFault().c_str());
      return 1;
    }
    frame = quor::bench::FrameOf(probe, "GetLogCount");
    if (frame.head.empty()) return 1;
    ticket = probe.Ticket();
    probe.EndSession();
  }

  // One session per connection of the largest row, plus one to time tokens on.
  std::vector<Session> sessions(most + 1);
  const auto signInStart = Clock::now();
  {
    std::atomic<int> next{0}, failed{0};
    std::mutex errorMutex;
    std::string firstError;
    std::vector<std::thread> openers;
    for (int t = 0; t < 8; ++t)
      openers.emplace_back([&] {
        quor::soap::HttpClient http;
        for (int i; (i = next++) < static_cast<int>(sessions.size());) {
          std::string error;
          if (!OpenSession(http, core, ticket, sessions[i], error)) {
            ++failed;
            std::lock_guard lock(errorMutex);
            if (firstError.empty()) firstError = error;
          }
        }
      });
    for (std::thread& t : openers) t.join();
    if (failed > 0) {
      std::fprintf(stderr, "load_bench: %d sessions not opened: %s\n", failed.load(), firstError.c_str());
      return 1;
    }
  }
  const double signInSeconds = duration<double>(Clock::now() - signInStart).count();

  // What one generator thread can make: tokens for requests alone, and whole
  // calls' token work (measured below, per row) for comparison.
  double tokensPerSecond = 0;
  {
    Session& spare = sessions.back();
    TokenWork work;
    SignedExchange timing(spare, frame, work);
    const auto until = Clock::now() + milliseconds(300);
    size_t made = 0;
    while (Clock::now() < until) made += timing.NextBody().empty() ? 0 : 1;
    tokensPerSecond = made / (work.makeUs / 1e6);
  }

  const quor::soap::NamedValue execParams[] = {{"user", Bstr(u"bench")}, {"command", Bstr(u"x")}};
  const std::string execBody = quor::soap::WriteRequest("Exec", execParams);

  std::printf("quor-server (pid %d) on 127.0.0.1:%d with", static_cast<int>(server.Pid()), server.Port());
  for (const std::string& a : serverArgs) std::printf(" %s", a.c_str());
  std::printf("; bench_echo_server (Beast, %d threads) on 127.0.0.1:%d\n", options.echoThreads, echo.Port());
  double load[1] = {0};
  ::getloadavg(load, 1);
  std::printf("%u hardware threads (load average %.1f before the rows); load generator: %d threads; %.1f s per row,"
              " time-out %.1f s\n",
              std::thread::hardware_concurrency(), load[0], options.clientThreads, options.seconds, options.timeout);
  std::printf("%zu sessions opened in %.2f s; one thread makes %.0f request tokens/s\n", sessions.size(),
              signInSeconds, tokensPerSecond);
  std::printf("requests: Exec %zu bytes, GetLogCount about %zu bytes\n\n",
              execBody.size(), frame.head.size() + frame.tail.size() + 250);
  std::printf("%-14s %6s %10s %9s %10s %7s %9s %7s %9s %8s\n", "route", "conns", "right/s", "p50 us", "p99 us",
              "errors", "time-outs", "closed", "gen cpu", "srv cpu");

  std::map<std::pair<std::string, int>, Row> rows;
  double tokenUsPerCall = 0, bestSignedRate = 0;
  for (int connections : options.connections) {
    struct Route {
      const char* name;
      int port;
      pid_t pid;
      std::string path;
    };
    const Route routes[] = {{"echo", echo.Port(), echo.Pid(), "/echo"},
                            {"fixed", server.Port(), server.Pid(), std::string(quor::soap::kBenchRoutePath)},
                            {"Exec", server.Port(), server.Pid(), std::string(quor::soap::kCorePath)},
                            {"GetLogCount", server.Port(), server.Pid(), std::string(quor::soap::kCorePath)}};
    for (const Route& route : routes) {
      const std::string_view name = route.name;
      std::vector<TokenWork> work(connections);
      quor::bench::LoadPlan plan;
      plan.port = static_cast<uint16_t>(route.port);
      plan.path = route.path;
      plan.connections = connections;
      plan.threads = options.clientThreads;
      plan.window = duration<double>(options.seconds);
      plan.timeout = duration<double>(options.timeout);
      plan.exchange = [&](int c) -> std::unique_ptr<quor::bench::Exchange> {
        using Expect = FixedExchange::Expect;
        if (name == "echo") return std::make_unique<FixedExchange>(execBody, Expect::Same, "");
        if (name == "fixed") return std::make_unique<FixedExchange>(execBody, Expect::Holds, "[fixed|text]");
        if (name == "Exec") return std::make_unique<FixedExchange>(execBody, Expect::Holds, "<ExecResponse>");
        return std::make_unique<SignedExchange>(sessions[c], frame, work[c]);
      };
      const double cpuBefore = quor::bench::ProcessCpu(route.pid);
      Row row;
      row.load = quor::bench::RunLoad(plan);
      row.serverCores = (quor::bench::ProcessCpu(route.pid) - cpuBefore) / row.load.seconds;
      PrintRow(route.name, connections, row);
      rows[{route.name, connections}] = row;
      if (name == "GetLogCount") {
        TokenWork sum;
        for (const TokenWork& w : work) sum.makeUs += w.makeUs, sum.checkUs += w.checkUs, sum.calls += w.calls;
        if (sum.calls > 0 && row.load.perSecond > bestSignedRate) {
          bestSignedRate = row.load.perSecond;
          tokenUsPerCall = (sum.makeUs + sum.checkUs) / sum.calls;
        }
      }
    }
  }

  std::printf("\n(right/s: right answers inside the window; p99 counts a time-out as the time-out; closed: connections\n"
              " the server closed after an answer; gen cpu: the generator's share of its threads, * when it limited\n"
              " the row; srv cpu: cores the server used)\n");
  std::printf("\nsigned-in calls' token work on the generator (request token, answer check, decode): %.1f us CPU per\n"
              "call at the best GetLogCount rate (%.0f/s): %.2f generator threads busy with it out of %d\n",
              tokenUsPerCall, bestSignedRate, tokenUsPerCall * bestSignedRate / 1e6, options.clientThreads);

  std::printf("\ngoals\n");
  auto has = [&](const char* route, int c) { return rows.count({route, c}) > 0; };
  auto rate = [&](const char* route, int c) { return rows[{route, c}].load.perSecond; };
  for (int c : {8, 64})
    if (has("Exec", c) && has("echo", c))
      Goal(("Exec / echo right answers per second, " + std::to_string(c) + " connections").c_str(),
           rate("Exec", c) / std::max(1.0, rate("echo", c)), ">=", 0.9);
  if (has("Exec", 64) && has("echo", 64))
    Goal("Exec p99 / echo p99, 64 connections",
         rows[{"Exec", 64}].load.p99Us / std::max(1.0, rows[{"echo", 64}].load.p99Us), "<=", 3);
  for (const char* route : {"fixed", "Exec", "GetLogCount"})
    if (has(route, 1024)) {
      const auto& r = rows[{route, 1024}].load;
      Goal((std::string(route) + " errors + time-outs, 1024 connections").c_str(),
           static_cast<double>(r.errors + r.timeouts), "<=", 0);
    }
  if (has("GetLogCount", 8) && has("GetLogCount", 1))
    Goal("GetLogCount signed in, 8 clients / 1 client", rate("GetLogCount", 8) / std::max(1.0, rate("GetLogCount", 1)),
         ">=", 4);
  std::fflush(stdout);

  const bool queried = options.queryRows == 0 || MeasureQueries(options, options.queryRows);
  return server.Stop() == 0 && queried ? 0 : 1;
}
