// Fetching rows of 8 columns from a temporary SQLite file (in a WAL): the
// accessor's whole query (query and settings documents in, answer text out)
// against the same select through bare ODBC calls (each value read as
// text), side by side in one run, for each row count. Each figure is the
// best of a few runs. Prints the times, their ratio and how the accessor's
// time grows with the rows, each next to its goal. Then the peak resident
// memory one Query adds, its answer made whole or sent as it is made (the
// pieces dropped), with the driver reading the rows whole (StepAPI=0, as it
// does by itself) and row by row.
//
//   fetch_bench [rows...]      (default: 1000 10000 100000)

#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "accessor/legacy_db_accessor_impl.h"
#include "platform/com/callcontext.h"
#include "platform/oledb/oledb.h"
#include "platform/text/text.h"

using namespace quor;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kColumns = 8;
// Runs per figure: enough for about a million rows, from 5 to 50.
int RunsFor(long rows) { return static_cast<int>(std::clamp(1000000L / rows, 5L, 50L)); }
constexpr double kRatioGoal = 1.5;
// Time per row at ten times the rows, against the smaller count.
constexpr double kGrowthGoal = 1.2;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

bool Check(SQLRETURN rc, const char* what) {
  if (SQL_SUCCEEDED(rc)) return true;
  std::fprintf(stderr, "%s failed\n", what);
  return false;
}

// The bare ODBC path: connect, run, read every value of every row as text.
long BareOdbc(const std::string& connection, const std::string& sql) {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  long rows = -1;
  if (Check(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), "SQLAllocHandle(env)") &&
      Check(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0), "version") &&
      Check(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), "SQLAllocHandle(dbc)") &&
      Check(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection.c_str())), SQL_NTS,
                             nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT),
            "SQLDriverConnect") &&
      Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), "SQLAllocHandle(stmt)") &&
      Check(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS),
            "SQLExecDirect")) {
    rows = 0;
    char buffer[4096];
    SQLLEN indicator = 0;
    std::size_t bytes = 0;
    while (SQL_SUCCEEDED(SQLFetch(stmt))) {
      for (SQLUSMALLINT c = 1; c <= kColumns; ++c) {
        if (!Check(SQLGetData(stmt, c, SQL_C_CHAR, buffer, sizeof buffer, &indicator), "SQLGetData")) return -1;
        if (indicator > 0) bytes += static_cast<std::size_t>(indicator);
      }
      ++rows;
    }
    if (bytes == 0) rows = -1;
  }
  if (stmt) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  if (dbc) {
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }
  if (env) SQLFreeHandle(SQL_HANDLE_ENV, env);
  return rows;
}

bool Fill(const std::string& connection, long rowCount) {
  oledb::DataSource source;
  std::unique_ptr<oledb::Session> session;
  std::unique_ptr<oledb::Rowset> none;
  if (FAILED(source.SetProperty(oledb::DBPROP_INIT_PROVIDERSTRING, connection)) ||
      FAILED(source.Initialize("MSDASQL.1")) || FAILED(source.CreateSession(session))) {
    std::fprintf(stderr, "open failed: %s\n", source.LastError().c_str());
    return false;
  }
  const std::string create =
      "CREATE TABLE bench (id INTEGER PRIMARY KEY, a VARCHAR(40), b VARCHAR(40), c INTEGER, d REAL, "
      "e VARCHAR(80), f INTEGER, g VARCHAR(20))";
  const std::string fill = text::Format(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %ld) "
      "INSERT INTO bench SELECT i, 'alpha ' || i, 'beta-' || (i %% 97), i * 7, i / 3.0, "
      "'a somewhat longer text value number ' || i, i %% 1000, 'g' || (i %% 13) FROM n",
      rowCount);
  if (FAILED(session->Execute(create, none)) || FAILED(session->Execute(fill, none)) ||
      FAILED(session->Execute("PRAGMA journal_mode = WAL", none))) {
    std::fprintf(stderr, "fill failed: %s\n", session->LastError().c_str());
    return false;
  }
  return true;
}

struct Timing {
  long rows = 0;
  double accessor = 0, bare = 0;
  std::size_t answerBytes = 0;
  // Peak memory of one Query, in MB: rows read whole and row by row, the
  // answer made whole and sent.
  double wholeMade = 0, stepMade = 0, wholeSent = 0, stepSent = 0;
};

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmRSS:")) return std::atol(line.c_str() + 6);
  return 0;
}

// The resident memory `run` adds at most, in MB, sampled every millisecond.
double PeakMB(const std::function<void()>& run) {
  ::malloc_trim(0);
  const long start = ResidentKiB();
  std::atomic<bool> done{false};
  std::atomic<long> peak{start};
  std::thread sampler([&] {
    while (!done.load()) {
      peak = std::max(peak.load(), ResidentKiB());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  run();
  peak = std::max(peak.load(), ResidentKiB());
  done = true;
  sampler.join();
  return (peak - start) / 1024.0;
}

// Where a streamed answer's pieces go: nowhere.
class Drop : public com::ResultSink {
 public:
  Status Write(std::string_view) override { return Status(); }
};

bool Measure(long rowCount, Timing& timing) {
  const std::string path =
      (std::filesystem::temp_directory_path() / text::Format("fetch_bench_%d.db", static_cast<int>(::getpid())))
          .string();
  std::filesystem::remove(path);
  const std::string connection = "DRIVER={SQLite3};Database=" + path;
  bool ok = Fill(connection, rowCount);
  const std::u16string query = text::Widen("<statement><sql><select/><from>bench</from></sql></statement>");
  const std::u16string config = text::Widen(
      "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>bench</DataSource><ExtendedProperties>" + connection +
      "</ExtendedProperties></OLEDBSetting>");
  timing = Timing{rowCount, 1e9, 1e9, 0};
  for (int run = 0; ok && run < RunsFor(rowCount); ++run) {
    accessor::CLegacyDBAccessorImpl worker;
    std::string answer;
    auto start = Clock::now();
    const Status status = worker.Query(query, config, answer);
    timing.accessor = std::min(timing.accessor, Seconds(start));
    std::size_t records = 0;
    for (std::size_t at = 0; (at = answer.find("<record>", at)) != std::string::npos; at += 8) ++records;
    timing.answerBytes = answer.size();
    answer = std::string();

    start = Clock::now();
    const long bareRows = BareOdbc(connection, "SELECT * FROM bench");
    timing.bare = std::min(timing.bare, Seconds(start));

    if (!status.ok() || records != static_cast<std::size_t>(rowCount) || bareRows != rowCount) {
      std::fprintf(stderr, "wrong row counts: accessor 0x%X %zu, bare ODBC %ld\n", static_cast<unsigned>(status.code()),
                   records, bareRows);
      ok = false;
    }
  }
  const auto peak = [&](bool rowByRow, bool sent) {
    const std::u16string settings = text::Widen("<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>bench"
                                             "</DataSource><ExtendedProperties>" + connection +
                                             (rowByRow ? "" : ";StepAPI=0") + "</ExtendedProperties></OLEDBSetting>");
    return PeakMB([&] {
      Drop drop;
      com::CallContext context;
      if (sent) context.answerSink = &drop;
      const com::CallContextScope scope(context);
      accessor::CLegacyDBAccessorImpl worker;
      std::string answer;
      ok = ok && worker.Query(query, settings, answer).ok();
    });
  };
  if (ok) {
    timing.wholeMade = peak(false, false);
    timing.stepMade = peak(true, false);
    timing.wholeSent = peak(false, true);
    timing.stepSent = peak(true, true);
  }
  std::filesystem::remove(path);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  // As quor-server settles them.
  if (const Status prepared = odbc::PrepareDriverLibraries(); !prepared.ok())
    std::fprintf(stderr, "fetch_bench: %s\n", prepared.message().c_str());
  std::vector<long> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atol(argv[i]));
  if (counts.empty()) counts = {1000, 10000, 100000};
  for (const long n : counts) {
    if (n <= 0) {
      std::fprintf(stderr, "usage: fetch_bench [rows...]\n");
      return 2;
    }
  }

  std::vector<Timing> timings;
  std::printf("%d columns, best of 5 to 50 runs; accessor = whole query to answer text\n", kColumns);
  std::printf("%9s %12s %12s %12s %14s %10s\n", "rows", "accessor s", "bare ODBC s", "answer MB", "accessor us/row",
              "ratio");
  bool met = true;
  for (const long n : counts) {
    Timing t;
    if (!Measure(n, t)) return 1;
    const double ratio = t.accessor / t.bare;
    met = met && ratio <= kRatioGoal;
    std::printf("%9ld %12.4f %12.4f %12.2f %14.3f %10.2f  (goal <= %.1f)\n", n, t.accessor, t.bare,
                t.answerBytes / 1e6, t.accessor / n * 1e6, ratio, kRatioGoal);
    timings.push_back(t);
  }
  std::printf("\npeak memory one Query adds (MB): rows read whole (StepAPI=0) / row by row\n");
  std::printf("%9s %24s %24s\n", "rows", "answer made whole", "answer sent as made");
  for (const Timing& t : timings)
    std::printf("%9ld %11.1f / %-10.1f %11.1f / %-10.1f\n", t.rows, t.wholeMade, t.stepMade, t.wholeSent, t.stepSent);
  for (std::size_t i = 1; i < timings.size(); ++i) {
    const Timing& a = timings[i - 1];
    const Timing& b = timings[i];
    const double growth = (b.accessor / b.rows) / (a.accessor / a.rows);
    std::printf("time per row, %ld -> %ld rows: x %.2f  (goal <= %.1f, linear = 1.0)\n", a.rows, b.rows, growth,
                kGrowthGoal);
    met = met && growth <= kGrowthGoal;
  }
  std::printf("%s\n", met ? "goals met" : "goals NOT met");
  return 0;
}
