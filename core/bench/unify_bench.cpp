// Merging two partial results of n rows x 8 columns on a shared key (full
// outer join through CUnifyMerger::Merge, the path the engine takes when it
// unifies two sources) against SQLite joining the same two tables (indexed
// on the key), each in its own database file, in one statement through ODBC. Sizes 1k, 4k, 16k,
// then doubling while a size stays under a minute; for each it prints both
// times, their ratio and how much our time grows per doubling of n (about 2
// for linear matching, about 4 for quadratic).
//
//   unify_bench [largest n, 128000 by default]
//
// The documents take about 20 KB per n at the peak (2.5 GB at 128k, 5 GB at
// 256k, 10 GB at 512k): the default fits a 16 GB machine beside its other
// work; name a larger n to go further.
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

#include "core/query/UnifyMerger.h"
#include "platform/odbc/odbc.h"

using namespace quor;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kColumns = 8;  // the key and seven values
constexpr double kSizeLimitSeconds = 60;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Row i of a side: key "k<key>", values "<side><column>-<key>". The same
// formulas fill the SQLite tables.
std::string Value(char side, int column, long key) {
  return std::string(1, side) + std::to_string(column) + "-" + std::to_string(key);
}

// A "response" holding one table of `count` rows with keys from `firstKey`,
// in the order `order` gives.
xml::NodePtr BuildResponse(const xml::DocumentPtr& doc, char side, long firstKey, const std::vector<long>& order) {
  const auto element = [&](std::string_view tag) {
    auto node = doc->createElement(tag);
    if (!node) std::abort();
    return node;
  };
  const auto column = [&](const std::string& name, const std::string& text) {
    auto node = element("column");
    node->setAttribute("name", name);
    node->setAttribute("type", "string");
    node->setText(text);
    return node;
  };
  auto response = element("response");
  auto table = element("table");
  table->setAttribute("name", std::string(1, side));
  response->appendChild(table);
  for (long i : order) {
    const long key = firstKey + i;
    auto record = element("record");
    std::string keyText = "k";  // built in place: GCC 12 misreads "k" + string as overlapping (-Wrestrict)
    keyText += std::to_string(key);
    record->appendChild(column("k", keyText));
    for (int c = 1; c < kColumns; ++c)
      record->appendChild(column(std::string(1, side) + std::to_string(c), Value(side, c, key)));
    table->appendChild(record);
  }
  return response;
}

struct Answer {
  double seconds = 0;
  long rows = 0;
  size_t bytes = 0;  // total length of all values
};

Answer MergeOurs(long n) {
  const auto doc = xml::Document::Create();
  std::vector<long> leftOrder(static_cast<size_t>(n)), rightOrder(static_cast<size_t>(n));
  std::iota(leftOrder.begin(), leftOrder.end(), 0L);
  std::iota(rightOrder.begin(), rightOrder.end(), 0L);
  std::shuffle(rightOrder.begin(), rightOrder.end(), std::mt19937(12345));
  const auto left = BuildResponse(doc, 'a', 0, leftOrder);
  const auto right = BuildResponse(doc, 'b', n / 2, rightOrder);
  const auto target = doc->createElement("response");

  Answer answer;
  const auto start = Clock::now();
  core::CUnifyMerger merger;
  const Status status = merger.Merge(left, right, target);
  answer.seconds = Seconds(start);
  if (!status.ok() || !target->firstChild()) {
    std::fprintf(stderr, "merge failed: 0x%08X\n", static_cast<unsigned>(status.code()));
    std::exit(1);
  }
  for (auto record = target->firstChild()->firstChild(); record; record = record->nextSibling()) {
    ++answer.rows;
    answer.bytes += record->text().size();
  }
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
  const long largest = argc > 1 ? std::atol(argv[1]) : 128000;
  if (largest < 1000) {
    std::fprintf(stderr, "usage: unify_bench [largest n, at least 1000]\n");
    return 2;
  }
  std::vector<long> sizes = {1000, 4000, 16000};
  std::printf("full outer join of two tables of n rows x %d columns, half the keys shared\n", kColumns);
  std::printf("%8s %9s %12s %12s %8s %16s\n", "n", "rows", "merge ms", "sqlite ms", "ratio", "merge growth/x2");

  double previousSeconds = 0;
  long previousN = 0;
  bool planShown = false;
  for (size_t i = 0; i < sizes.size() && sizes[i] <= largest; ++i) {
    const long n = sizes[i];
    const auto sizeStart = Clock::now();
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
    std::printf("%8ld %9ld %12.1f %12.1f %8.2f %16s\n", n, ours.rows, ours.seconds * 1e3, sqlite.seconds * 1e3,
                ours.seconds / sqlite.seconds, growth);
    std::fflush(stdout);
    previousSeconds = ours.seconds;
    previousN = n;

    // Double while the next size, at least twice this one's time (filling
    // and building included), stays under a minute.
    if (i + 1 == sizes.size() && Seconds(sizeStart) * 2 < kSizeLimitSeconds) sizes.push_back(n * 2);
  }
  return 0;
}
