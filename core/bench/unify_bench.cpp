// Merging two partial results of n rows x 8 columns on a shared key (full
// outer join of two compact tables, the path the engine takes when it
// unifies two sources) against SQLite joining the same two tables (indexed
// on the key), each in its own database file, in one statement through
// ODBC. Sizes 1k, then four times larger up to the largest; for each it
// prints both times, their ratio, how much our time grows per doubling of n
// (about 2 for linear matching, about 4 for quadratic) and the time to
// write the joined answer out as text.
//
//   unify_bench [largest n, 1000000 by default]
//
// The two sides take about 110 bytes per row each.
//
// Half of the right keys match left ones, so the join has matched,
// left-only and right-only rows. The right records are shuffled so that no
// search can profit from both tables being in key order. Each path's
// answer is checked: as many rows, and the same total length of values.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/query/CompactMerger.h"
#include "platform/odbc/odbc.h"

using namespace quor;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kColumns = 8;  // the key and seven values

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Row i of a side: key "k<key>", values "<side><column>-<key>". The same
// formulas fill the SQLite tables.
std::string Value(char side, int column, long key) {
  return std::string(1, side) + std::to_string(column) + "-" + std::to_string(key);
}

// A response holding one table of `count` rows with keys from `firstKey`,
// in the order `order` gives, as compact tables (what the engine reads an
// accessor's answer into).
core::compact::Response BuildResponse(core::compact::Heads& heads, char side, long firstKey,
                                      const std::vector<long>& order) {
  std::vector<uint32_t> columnHeads;
  columnHeads.push_back(heads.Intern({{"name", "k"}, {"type", "string"}}));
  for (int c = 1; c < kColumns; ++c)
    columnHeads.push_back(heads.Intern({{"name", std::string(1, side) + std::to_string(c)}, {"type", "string"}}));
  auto records = std::make_shared<core::compact::Records>(core::compact::Hold());
  std::vector<std::string> values(kColumns);
  std::vector<core::compact::Cell> cells(kColumns);
  for (long i : order) {
    const long key = firstKey + i;
    values[0] = "k";  // built in place: GCC 12 misreads "k" + string as overlapping (-Wrestrict)
    values[0] += std::to_string(key);
    for (int c = 1; c < kColumns; ++c) values[c] = Value(side, c, key);
    for (int c = 0; c < kColumns; ++c) cells[c] = {columnHeads[c], values[c]};
    if (!records->Add(cells).ok()) std::abort();
  }
  core::compact::Response response;
  core::compact::Table table;
  table.attributes = {{"name", std::string(1, side)}};
  table.records = std::move(records);
  response.tables.push_back(std::move(table));
  return response;
}

struct Answer {
  double seconds = 0;
  double writeSeconds = 0;  // the same join written out as the answer's text
  long rows = 0;
  size_t bytes = 0;  // total length of all values
};

// Counts the joined records and their values.
class Count final : public core::compact::RecordSink {
 public:
  Status Record(std::span<const core::compact::Cell> cells) override {
    ++rows;
    for (const auto& cell : cells) bytes += cell.value.size();
    return Status();
  }
  long rows = 0;
  size_t bytes = 0;
};

// Takes the answer's pieces and forgets them.
class Drain final : public com::ResultSink {
 public:
  Status Write(std::string_view piece) override {
    bytes += piece.size();
    return Status();
  }
  size_t bytes = 0;
};

Answer MergeOurs(long n) {
  core::compact::Heads heads;
  std::vector<long> leftOrder(static_cast<size_t>(n)), rightOrder(static_cast<size_t>(n));
  std::iota(leftOrder.begin(), leftOrder.end(), 0L);
  std::iota(rightOrder.begin(), rightOrder.end(), 0L);
  std::shuffle(rightOrder.begin(), rightOrder.end(), std::mt19937(12345));
  const core::compact::Response left = BuildResponse(heads, 'a', 0, leftOrder);
  const core::compact::Response right = BuildResponse(heads, 'b', n / 2, rightOrder);

  Answer answer;
  auto start = Clock::now();
  Result<core::compact::Response> merged =
      core::compact::MergeWithoutRule(left, right, "full outer join", heads, core::compact::Hold());
  Count count;
  const Status ran = merged.ok() && merged->tables.size() == 1 && merged->tables[0].pending
                         ? merged->tables[0].pending->Run(count)
                         : Status(E_FAIL);
  answer.seconds = Seconds(start);
  if (!ran.ok()) {
    std::fprintf(stderr, "merge failed: 0x%08X\n", static_cast<unsigned>(ran.code()));
    std::exit(1);
  }
  answer.rows = count.rows;
  answer.bytes = count.bytes;

  start = Clock::now();
  Drain drain;
  core::compact::TextOut out(drain);
  if (!core::compact::WriteResponse(*merged, heads, out).ok() || !out.Flush().ok()) std::exit(1);
  answer.writeSeconds = Seconds(start);
  return answer;
}

[[noreturn]] void Fail(const char* what, const Status& failure) {
  std::fprintf(stderr, "%s: %s\n", what, failure.Text().c_str());
  std::exit(1);
}

void Check(const char* what, const Status& status) {
  if (!status.ok()) Fail(what, status);
}

std::string TempFile(const char* role) {
  return (std::filesystem::temp_directory_path() /
          ("unify_bench_" + std::to_string(::getpid()) + "_" + role + ".db"))
      .string();
}

// A table of n rows of one side in its own database file.
void FillTable(const std::string& path, char side, long firstKey, long n) {
  auto connection = std::make_shared<odbc::Connection>();
  Check("open", connection->Open("DRIVER={SQLite3};Database=" + path, 10));
  odbc::Statement statement(connection);
  std::string create = "CREATE TABLE t (k TEXT";
  std::string select = "SELECT 'k' || (i + " + std::to_string(firstKey) + ")";
  for (int c = 1; c < kColumns; ++c) {
    const std::string name = std::string(1, side) + std::to_string(c);
    create += ", " + name + " TEXT";
    select += ", '" + name + "-' || (i + " + std::to_string(firstKey) + ")";
  }
  create += ")";
  const std::string fill = "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                           std::to_string(n - 1) + ") INSERT INTO t " + select + " FROM n ORDER BY random()";
  Check("create", statement.Execute(create));
  Check("fill", statement.Execute(fill));
  // Keyed tables carry an index on their key; without one SQLite scans the
  // other table for every row of a full outer join.
  Check("index", statement.Execute("CREATE INDEX t_k ON t (k)"));
}

struct SqliteJoin {
  std::shared_ptr<odbc::Connection> connection = std::make_shared<odbc::Connection>();
  std::string sql;
  std::string how;
};

SqliteJoin OpenJoin(const std::string& leftPath, const std::string& rightPath) {
  SqliteJoin join;
  Check("open", join.connection->Open("DRIVER={SQLite3};Database=" + leftPath, 10));
  odbc::Statement statement(join.connection);
  Check("attach", statement.Execute("ATTACH DATABASE '" + rightPath + "' AS other"));

  // FULL OUTER JOIN came with SQLite 3.39; before, a left join plus the
  // right rows without a partner.
  Check("version", statement.Execute("SELECT sqlite_version()"));
  const Result<bool> row = statement.Fetch();
  if (!row.ok() || !*row) Fail("version", row.ok() ? Status(E_FAIL, "no row") : row.status());
  Result<odbc::Value> read = statement.Get(0);
  if (!read.ok()) Fail("version", read.status());
  const odbc::Value version = std::move(*read);
  statement.CloseCursor();
  int major = 0, minor = 0;
  std::sscanf(version.text.c_str(), "%d.%d", &major, &minor);
  std::string left, right, nulls;
  for (int c = 1; c < kColumns; ++c) {
    left += ", l.a" + std::to_string(c);
    right += ", r.b" + std::to_string(c);
    nulls += ", NULL";
  }
  if (major > 3 || (major == 3 && minor >= 39)) {
    join.sql = "SELECT coalesce(l.k, r.k)" + left + right + " FROM main.t l FULL OUTER JOIN other.t r ON l.k = r.k";
    join.how = "FULL OUTER JOIN";
  } else {
    join.sql = "SELECT l.k" + left + right + " FROM main.t l LEFT JOIN other.t r ON l.k = r.k UNION ALL SELECT r.k" +
               nulls + right + " FROM other.t r WHERE NOT EXISTS (SELECT 1 FROM main.t l WHERE l.k = r.k)";
    join.how = "LEFT JOIN UNION ALL anti-join";
  }
  join.how = "SQLite " + version.text + ", " + join.how;
  return join;
}

Answer RunSqlite(const SqliteJoin& join) {
  odbc::Statement statement(join.connection);
  Answer answer;
  const auto start = Clock::now();
  Check("join", statement.Execute(join.sql));
  const size_t width = statement.columns().size();
  while (true) {
    const Result<bool> row = statement.Fetch();
    if (!row.ok()) Fail("fetch", row.status());
    if (!*row) break;
    ++answer.rows;
    for (size_t c = 0; c < width; ++c) {
      const Result<odbc::Value> value = statement.Get(c);
      if (!value.ok()) Fail("get", value.status());
      if (!value->IsNull()) answer.bytes += value->text.size();
    }
  }
  answer.seconds = Seconds(start);
  return answer;
}

std::string QueryPlan(const SqliteJoin& join) {
  odbc::Statement statement(join.connection);
  std::string plan;
  if (const Status ran = statement.Execute("EXPLAIN QUERY PLAN " + join.sql); !ran.ok())
    return "(no plan: " + ran.Text() + ")";
  for (Result<bool> row = statement.Fetch(); row.ok() && *row; row = statement.Fetch())
    if (const Result<odbc::Value> value = statement.Get(3); value.ok()) plan += (plan.empty() ? "" : "; ") + value->text;
  return plan;
}

}  // namespace

int main(int argc, char** argv) {
  const long largest = argc > 1 ? std::atol(argv[1]) : 1000000;
  if (largest < 1000) {
    std::fprintf(stderr, "usage: unify_bench [largest n, at least 1000]\n");
    return 2;
  }
  std::vector<long> sizes;
  for (long n = 1000; n < largest; n *= 4) sizes.push_back(n);
  sizes.push_back(largest);
  std::printf("full outer join of two tables of n rows x %d columns, half the keys shared\n", kColumns);
  std::printf("%8s %9s %12s %12s %8s %16s %12s\n", "n", "rows", "merge ms", "sqlite ms", "ratio", "merge growth/x2",
              "written ms");

  double previousSeconds = 0;
  long previousN = 0;
  bool planShown = false;
  for (size_t i = 0; i < sizes.size() && sizes[i] <= largest; ++i) {
    const long n = sizes[i];
    // Small sizes are quick enough to take the best of a few runs.
    const int runs = n <= 4000 ? 5 : n <= 16000 ? 3 : 1;

    const std::string leftPath = TempFile("left"), rightPath = TempFile("right");
    std::filesystem::remove(leftPath);
    std::filesystem::remove(rightPath);
    FillTable(leftPath, 'a', 0, n);
    FillTable(rightPath, 'b', n / 2, n);
    Answer sqlite, ours;
    {
      const SqliteJoin join = OpenJoin(leftPath, rightPath);
      if (!planShown) {
        std::printf("(%s; plan: %s)\n", join.how.c_str(), QueryPlan(join).c_str());
        planShown = true;
      }
      for (int r = 0; r < runs; ++r) {
        const Answer a = RunSqlite(join);
        if (r == 0 || a.seconds < sqlite.seconds) sqlite = a;
      }
    }
    std::filesystem::remove(leftPath);
    std::filesystem::remove(rightPath);
    for (int r = 0; r < runs; ++r) {
      const Answer a = MergeOurs(n);
      if (r == 0 || a.seconds < ours.seconds) ours = a;
    }

    const long expectedRows = n + (n - n / 2);
    if (ours.rows != expectedRows || sqlite.rows != expectedRows || ours.bytes != sqlite.bytes) {
      std::fprintf(stderr, "answers differ at n=%ld: merge %ld rows %zu bytes, sqlite %ld rows %zu bytes\n", n,
                   ours.rows, ours.bytes, sqlite.rows, sqlite.bytes);
      return 1;
    }
    char growth[32] = "-";
    if (previousN > 0 && previousSeconds > 0) {
      const double doublings = std::log2(static_cast<double>(n) / static_cast<double>(previousN));
      std::snprintf(growth, sizeof growth, "%.2f", std::pow(ours.seconds / previousSeconds, 1.0 / doublings));
    }
    std::printf("%8ld %9ld %12.1f %12.1f %8.2f %16s %12.1f\n", n, ours.rows, ours.seconds * 1e3, sqlite.seconds * 1e3,
                ours.seconds / sqlite.seconds, growth, ours.writeSeconds * 1e3);
    std::fflush(stdout);
    previousSeconds = ours.seconds;
    previousN = n;

  }
  return 0;
}
