// call_bench: authenticated round trips through quor-server and the service
// core, next to the same listener answering a fixed text on a plain route, in
// one run.
//
//   call_bench [--seconds N]
//
// Prepares a temporary instance (SQLite repository, local account store, log
// level None so the log table does not grow under the measurement), starts
// quor-server with --bench-route on a free loopback port and, for 1 and 8
// concurrent clients, makes signed-in GetLogCount calls with the console's
// SOAP client (request token, frame, response key, decode) for N seconds
// (default 3); then posts a request of the same size to /quor-bench/fixed
// with the bare HTTP client. Prints calls per second, median and p99 latency
// of each, and the ratio: what the frame and the message authentication cost
// over the transport.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "admin/VeltService.h"
#include "platform/registry/registry.h"
#include "platform/soap/http_client.h"
#include "platform/soap/listener.h"
#include "platform/soap/tests/server_process.h"

using namespace std::chrono;
namespace fs = std::filesystem;
namespace st = quor::soap::testing;

namespace {

constexpr const char* kPassword = "bench-pw";

struct Result {
  size_t calls = 0, failures = 0;
  double perSecond = 0, medianUs = 0, p99Us = 0;
};

// Runs `body(client index)` on `clients` threads for `length`; each call's
// latency is kept. `setUp` runs per thread before the clock starts.
template <typename SetUp, typename Call>
Result Measure(int clients, duration<double> length, SetUp setUp, Call call) {
  std::vector<std::vector<double>> latencies(clients);
  std::atomic<size_t> failures{0};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < clients; ++t) {
    threads.emplace_back([&, t] {
      auto state = setUp();
      ++ready;
      while (!go) std::this_thread::yield();
      const auto end = steady_clock::now() + duration_cast<steady_clock::duration>(length);
      auto& mine = latencies[t];
      while (steady_clock::now() < end) {
        const auto start = steady_clock::now();
        const bool ok = state && call(*state);
        mine.push_back(duration<double, std::micro>(steady_clock::now() - start).count());
        if (!ok) ++failures;
      }
    });
  }
  while (ready < clients) std::this_thread::sleep_for(milliseconds(5));
  const auto started = steady_clock::now();
  go = true;
  for (auto& t : threads) t.join();
  const double seconds = duration<double>(steady_clock::now() - started).count();
  std::vector<double> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  Result r;
  r.calls = all.size();
  r.failures = failures;
  r.perSecond = static_cast<double>(all.size()) / seconds;
  if (!all.empty()) {
    r.medianUs = all[all.size() / 2];
    r.p99Us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  }
  return r;
}

// The instance: repository, its definition, the service and authentication
// keys, and one account.
bool Prepare(const fs::path& dir, const fs::path& registry, std::string& error) {
  ::setenv("QUOR_REGISTRY", registry.c_str(), 1);
  const fs::path home = dir / "home";
  for (const char* folder : {"config", "unifier", "transform"}) fs::create_directories(home / folder);
  const fs::path db = dir / "repo.db";
  const std::string schema = std::string(QUOR_SOURCE_DIR) + "/sql/sqlite.sql";
  if (std::system(("sqlite3 '" + db.string() + "' < '" + schema + "'").c_str()) != 0) {
    error = "sqlite3 could not create the repository (is the sqlite3 program installed?)";
    return false;
  }
  std::ofstream(home / "config" / "repository.xml")
      << "<?xml version=\"1.0\"?><OLEDBSetting><quorservice>VODB</quorservice><Provider>MSDASQL.1</Provider>"
         "<ExtendedProperties>DRIVER={SQLite3};Database="
      << db.string() << "</ExtendedProperties></OLEDBSetting>\n";
  auto set = [](std::string_view key, std::string_view name, std::string_view value) {
    quor::reg::Key k;
    return k.Create(quor::reg::Hive::LocalMachine, key) == quor::ERROR_SUCCESS &&
           k.SetString(name, value) == quor::ERROR_SUCCESS;
  };
  const bool written = set("Software\\Velt\\QuorService", "HomeDir", home.string()) &&
                       set("Software\\Velt\\QuorService", "LogLevel", "None") &&
                       set("Software\\Velt\\QuorService", "RootContext", "WinNT://BENCH") &&
                       set("Software\\Velt", "DefaultAuthority", "WinNT://BENCH") &&
                       set("Software\\Velt", "DefaultRealm", "BENCH") &&
                       set("Software\\Velt\\Services", "qsc", "http://%s/QuorService/QuorServiceCore.sod");
  if (!written) {
    error = "cannot write the registry file " + registry.string();
    return false;
  }
  const std::string accounts = std::string(QUOR_BIN_DIR) + "/quor-accounts";
  if (std::system(("'" + accounts + "' init BENCH BENCHHOST > /dev/null").c_str()) != 0) {
    error = "quor-accounts init failed";
    return false;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> add(::popen(("'" + accounts + "' add-user bench > /dev/null").c_str(), "w"),
                                            ::pclose);
  if (!add || std::fprintf(add.get(), "%s\n", kPassword) < 0) {
    error = "quor-accounts add-user failed";
    return false;
  }
  return true;
}

void Print(const char* name, int clients, const Result& r) {
  std::printf("%-30s %7d %9zu %11.0f %11.1f %9.1f %8zu\n", name, clients, r.calls, r.perSecond, r.medianUs, r.p99Us,
              r.failures);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::string_view(argv[i]) == "--seconds") seconds = std::atof(argv[i + 1]);
  if (seconds <= 0) seconds = 3;

  st::ServerProcess server({QUOR_BIN_DIR, QUOR_LIB_DIR, {"libQuorServiceCore.so", "libQuorAuth.so"}, {"--bench-route"}},
                           Prepare);
  if (!server.Error().empty()) {
    std::fprintf(stderr, "call_bench: %s\n", server.Error().c_str());
    return 1;
  }
  const std::string core = server.Url(quor::soap::kCorePath);
  const std::string fixed = server.Url(quor::soap::kBenchRoutePath);

  // The size of a real request, for the plain route.
  std::string sample;
  {
    quor::admin::CVeltService probe;
    if (probe.Connect(core, "bench", kPassword) != 0) {
      std::fprintf(stderr, "call_bench: sign-in failed: %s\n%s", probe.FormatFault().c_str(), server.Stderr().c_str());
      return 1;
    }
    probe.BeginRequest("GetLogCount");
    if (!probe.Invoke()) {
      std::fprintf(stderr, "call_bench: GetLogCount failed: %s\n", probe.FormatFault().c_str());
      return 1;
    }
    sample = probe.LastEnvelope();
    probe.EndSession();
  }

  std::printf("quor-server on 127.0.0.1:%d, %.1f s per run, request %zu bytes\n\n", server.Port(), seconds,
              sample.size());
  std::printf("%-30s %7s %9s %11s %11s %9s %8s\n", "route", "clients", "calls", "calls/s", "median us", "p99 us",
              "failed");
  double ratio[2] = {0, 0};
  int row = 0;
  for (int clients : {1, 8}) {
    const Result call = Measure(
        clients, duration<double>(seconds),
        [&] {
          auto client = std::make_unique<quor::admin::CVeltService>();
          if (client->Connect(core, "bench", kPassword) != 0) client.reset();
          return client;
        },
        [](quor::admin::CVeltService& client) {
          client.BeginRequest("GetLogCount");
          return client.Invoke() && client.DecodedResult().find("<logcount>") != std::string::npos;
        });
    const Result plain = Measure(
        clients, duration<double>(seconds), [] { return std::make_unique<quor::soap::HttpClient>(); },
        [&](quor::soap::HttpClient& client) {
          quor::soap::HttpReply reply;
          return SUCCEEDED(client.Post(fixed, sample, reply)) && reply.status == 200;
        });
    Print("GetLogCount (signed in)", clients, call);
    Print("fixed text (transport)", clients, plain);
    ratio[row++] = plain.perSecond > 0 ? call.perSecond / plain.perSecond : 0;
  }
  std::printf("\nsigned-in calls per second as a share of the plain route's: %.2f with 1 client, %.2f with 8\n",
              ratio[0], ratio[1]);
  std::printf("(a call runs the request token, the frame, one SELECT COUNT and the answer token; calls into the\n"
              " core run one at a time under the listener's process-wide lock, the plain route does not take it)\n");
  return server.Stop() == 0 ? 0 : 1;
}
