// sharing_bench: what keeping the sharing list and the resume queue in a
// PostgreSQL repository costs a share-field call, in one run.
//
//   sharing_bench [--pg ODBC] [--seconds N]
//
// Starts one quor-server on the PostgreSQL database of --pg (or QUOR_TEST_PG;
// its tables made beforehand), and with 1 and 8 clients for N seconds each
// (default 3) makes GetShareField (which looks at no sharing), UpdateShareField
// (which looks the field up in QUORSHARING first) and PutShareField of an
// existing field (which queues a resume entry in QUORRESUME), and whole
// sign-ins (which look at the service's failure counts in QUORSIGNIN; the
// figure includes CloseSession). For each it
// prints calls per second, the median latency, and the repository's
// transactions per call (pg_stat_database, the server's renewals while idle
// taken off): every statement outside a transaction is one, so the figure
// counts round trips. Next to them, the look-up alone: the same SELECT on
// QUORSHARING through bare ODBC from this process.
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "admin/VeltService.h"
#include "bench/bench_instance.h"
#include "platform/soap/dispatcher.h"
#include "server/bench/measure.h"
#include "testing/ServerProcess.h"

using namespace std::chrono;
namespace fs = std::filesystem;
namespace st = quor::soap::testing;

namespace {

constexpr const char* kPassword = "bench-pw";
std::string g_pg;

// One ODBC connection of this process with one statement.
struct Odbc {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  bool ok = false;
  explicit Odbc(const std::string& text) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    std::string copy = text;
    ok = SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(copy.data()), SQL_NTS, nullptr, 0,
                                        nullptr, SQL_DRIVER_NOPROMPT)) &&
         SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt));
  }
  ~Odbc() {
    if (stmt) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    if (dbc) SQLDisconnect(dbc), SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }
  // The first column of the first row of `sql` as a number; -1 on failure.
  long long Number(const std::string& sql) {
    std::string copy = sql;
    long long value = -1;
    SQLLEN length = 0;
    if (SQL_SUCCEEDED(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(copy.data()), SQL_NTS)) &&
        SQL_SUCCEEDED(SQLFetch(stmt)))
      SQLGetData(stmt, 1, SQL_C_SBIGINT, &value, sizeof value, &length);
    SQLFreeStmt(stmt, SQL_CLOSE);
    return value;
  }
};

// The database's committed transactions so far, once its statistics caught up.
long long Transactions(Odbc& odbc) {
  std::this_thread::sleep_for(milliseconds(1200));
  odbc.Number("SELECT pg_stat_clear_snapshot()::text IS NULL");
  return odbc.Number("SELECT xact_commit FROM pg_stat_database WHERE datname = current_database()");
}

bool Prepare(const fs::path& dir, const fs::path& registry, std::string& error) {
  quor::bench::InstanceSettings settings;
  settings.repositoryOdbc = g_pg;
  // Cheap password hashes: a sign-in's figure is then its round trips.
  settings.iterations = 1000;
  fs::path database;
  return quor::bench::PrepareInstance(dir, registry, settings, database, error);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  if (const char* pg = std::getenv("QUOR_TEST_PG")) g_pg = pg;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string_view(argv[i]) == "--seconds") seconds = std::atof(argv[i + 1]);
    if (std::string_view(argv[i]) == "--pg") g_pg = argv[i + 1];
  }
  if (seconds <= 0) seconds = 3;
  if (g_pg.empty()) {
    std::fprintf(stderr, "sharing_bench: needs a PostgreSQL repository (--pg ODBC or QUOR_TEST_PG)\n");
    return 2;
  }
  st::ServerProcess server({QUOR_BIN_DIR, QUOR_LIB_DIR, {"libQuorServiceCore.so", "libQuorAuth.so"}, {}}, Prepare);
  if (!server.Error().empty()) {
    std::fprintf(stderr, "sharing_bench: %s\n", server.Error().c_str());
    return 1;
  }
  const std::string core = server.Url(quor::soap::kCorePath);
  const std::string tag = "sb" + std::to_string(::getpid());
  constexpr int kFields = 8;
  const auto uri = [&](int i) { return "urn:vocontent:covodb000:bench-" + tag + "-" + std::to_string(i); };
  {
    quor::admin::CVeltService writer;
    if (writer.Connect(core, "bench", kPassword) != 0) {
      std::fprintf(stderr, "sharing_bench: sign-in failed: %s\n", writer.FormatFault().c_str());
      return 1;
    }
    for (int i = 0; i < kFields; ++i) {
      writer.BeginRequest("PutShareField");
      writer.AddParameter("author", "bench");
      writer.AddParameter("name", tag + "-" + std::to_string(i));
      writer.AddParameter("field", std::string(64, 'f'));
      if (!writer.Invoke()) {
        std::fprintf(stderr, "sharing_bench: PutShareField failed: %s\n", writer.FormatFault().c_str());
        return 1;
      }
    }
    writer.EndSession();
  }
  Odbc stats(g_pg);
  if (!stats.ok) {
    std::fprintf(stderr, "sharing_bench: no ODBC connection to %s\n", g_pg.c_str());
    return 1;
  }
  // The server's own renewals, per second, while nothing else runs.
  const long long idleFrom = Transactions(stats);
  const auto idleStart = steady_clock::now();
  std::this_thread::sleep_for(duration<double>(seconds));
  const long long idleTo = Transactions(stats);
  const double idlePerSecond =
      (idleTo - idleFrom - 1) / duration<double>(steady_clock::now() - idleStart - milliseconds(1200)).count();

  std::printf("quor-server on PostgreSQL, %.1f s per run, the server's own renewals %.1f transactions/s idle\n\n",
              seconds, idlePerSecond);
  std::printf("%-34s %7s %9s %11s %11s %13s\n", "call", "clients", "calls", "calls/s", "median us", "round trips");
  std::atomic<int> next{0};
  const auto signIn = [&] {
    auto client = std::make_unique<quor::admin::CVeltService>();
    if (client->Connect(core, "bench", kPassword) != 0) client.reset();
    return client;
  };
  struct Row {
    const char* name;
    std::function<bool(quor::admin::CVeltService&, int)> call;
  };
  const std::vector<Row> rows = {
      {"GetShareField (no sharing look-up)",
       [&](quor::admin::CVeltService& c, int i) {
         c.BeginRequest("GetShareField");
         c.AddParameter("uri", uri(i));
         return c.Invoke();
       }},
      {"UpdateShareField",
       [&](quor::admin::CVeltService& c, int i) {
         c.BeginRequest("UpdateShareField");
         c.AddParameter("uri", uri(i));
         c.AddParameter("field", std::string(64, 'u'));
         return c.Invoke();
       }},
      {"sign-in (CreateTicket, OpenSession)",
       [&](quor::admin::CVeltService&, int) {
         quor::admin::CVeltService fresh;
         const bool in = fresh.Connect(core, "bench", kPassword) == 0;
         if (in) fresh.EndSession();
         return in;
       }},
      {"PutShareField (existing: resume)",
       [&](quor::admin::CVeltService& c, int i) {
         c.BeginRequest("PutShareField");
         c.AddParameter("author", "bench");
         c.AddParameter("name", tag + "-" + std::to_string(i));
         c.AddParameter("field", std::string(64, 'p'));
         return c.Invoke() && c.DecodedResult().find("RESUME:") != std::string::npos;
       }},
  };
  double median[2][4] = {};
  for (int clients : {1, 8}) {
    for (size_t r = 0; r < rows.size(); ++r) {
      next = 0;
      const long long from = Transactions(stats);
      const auto start = steady_clock::now();
      const quor::bench::Result result = quor::bench::Measure(
          clients, duration<double>(seconds),
          [&] {
            auto client = signIn();
            const int field = next++ % kFields;
            return std::make_unique<std::pair<std::unique_ptr<quor::admin::CVeltService>, int>>(std::move(client),
                                                                                                 field);
          },
          [&](std::pair<std::unique_ptr<quor::admin::CVeltService>, int>& state) {
            return state.first && rows[r].call(*state.first, state.second);
          });
      const double elapsed = duration<double>(steady_clock::now() - start).count();
      const long long to = Transactions(stats);
      const double perCall =
          result.calls ? (static_cast<double>(to - from - 1) - idlePerSecond * elapsed) / result.calls : 0;
      std::printf("%-34s %7d %9zu %11.0f %11.1f %13.2f\n", rows[r].name, clients, result.calls, result.perSecond,
                  result.medianUs, perCall);
      if (result.failures) std::printf("  %zu calls failed\n", result.failures);
      median[clients == 1 ? 0 : 1][r] = result.medianUs;
    }
  }

  // The look-up on its own, as the server makes it.
  Odbc bare(g_pg);
  std::string lookup =
      "SELECT AUTHOR, NAME, OWNER, IPADDRESS, MESSAGE, ACCESSLIST, ATTENDEES FROM QUORSHARING WHERE VOURI = '" +
      uri(0) +
      "' AND SERVERID IN (SELECT SERVERID FROM QUORSERVER WHERE RENEWED > "
      "CAST(EXTRACT(EPOCH FROM clock_timestamp()) * 1000 AS BIGINT) - 5000)";
  std::vector<double> times;
  for (int i = 0; i < 2000 && bare.ok; ++i) {
    const auto start = steady_clock::now();
    SQLExecDirect(bare.stmt, reinterpret_cast<SQLCHAR*>(lookup.data()), SQL_NTS);
    while (SQL_SUCCEEDED(SQLFetch(bare.stmt))) {
    }
    SQLFreeStmt(bare.stmt, SQL_CLOSE);
    times.push_back(duration<double, std::micro>(steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  const double lookupUs = times.empty() ? 0 : times[times.size() / 2];
  std::printf("\nthe sharing look-up alone (bare ODBC, median): %.1f us\n", lookupUs);
  std::printf("its share of an UpdateShareField with 1 client: %.0f%% of %.1f us (goal: at most one more round "
              "trip per call)\n",
              median[0][1] > 0 ? 100 * lookupUs / median[0][1] : 0, median[0][1]);
  return 0;
}
