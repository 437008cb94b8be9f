// The rows the SQLite driver reads whole count against the call's memory:
// held while the rowset lives, refused past the budget with its text. Read
// row by row, the same rows hold a row at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "platform/com/callcontext.h"
#include "platform/oledb/oledb.h"
#include "testing/TempDir.h"

namespace quor::oledb {
namespace {

constexpr int kRows = 50000;

TEST(DriverRows, ReadWholeTheyAreHeldAndRefusedPastTheBudget) {
  // Before the process's first use of SQLite, which counts its memory then.
  if (const Status prepared = odbc::PrepareDriverLibraries(); !prepared.ok())
    GTEST_SKIP() << prepared.Text() << " (a test before this one in the process used SQLite)";
  test::TempDir dir{"quor-oledb-rows"};
  const auto open = [&](DataSource& source, std::unique_ptr<Session>& session) {
    ASSERT_EQ(source.SetProperty(DBPROP_INIT_PROVIDERSTRING, "DRIVER={SQLite3};Database=" + dir.File("rows.db")), S_OK);
    ASSERT_EQ(source.Initialize("MSDASQL.1"), S_OK) << source.LastError();
    ASSERT_EQ(source.CreateSession(session), S_OK);
  };
  DataSource fill, source;
  std::unique_ptr<Session> filling, session;
  std::unique_ptr<Rowset> rows;
  open(fill, filling);
  for (const std::string sql : {"PRAGMA journal_mode = WAL", "CREATE TABLE t (id INTEGER PRIMARY KEY, note TEXT)",
                                "WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < 50000) "
                                "INSERT INTO t SELECT k, 'note ' || k FROM n"})
    ASSERT_EQ(filling->Execute(sql, rows), S_OK) << filling->LastError();
  open(source, session);  // to the database as it now is: a WAL

  const auto account = std::make_shared<com::CallMemory>();
  com::CallContext context;
  context.memory = account;
  const com::CallContextScope scope(context);
  const std::string whole = "SELECT id, note || '' AS note FROM t";  // computed: read whole
  ASSERT_EQ(session->Execute(whole, rows), S_OK) << session->LastError();
  EXPECT_FALSE(rows->Stepped());
  const uint64_t held = account->Held();
  EXPECT_GT(held, uint64_t{kRows} * 2 * 8);  // at least a pointer to each value
  rows.reset();
  EXPECT_EQ(account->Held(), 0u);

  // Row by row: the driver's memory while the rows are read, against it.
  ASSERT_EQ(session->Execute("SELECT id, note FROM t", rows), S_OK) << session->LastError();
  EXPECT_TRUE(rows->Stepped());
  const int64_t before = odbc::SqliteHeldByThread();
  int64_t peak = 0;
  int read = 0;
  for (; rows->Next() == S_OK; ++read) peak = std::max(peak, odbc::SqliteHeldByThread() - before);
  EXPECT_EQ(read, kRows);
  EXPECT_LT(peak, static_cast<int64_t>(held / 10));

  com::MemoryBudget::Process().Configure(uint64_t{256} << 10, 0);
  struct Restore {
    ~Restore() { com::MemoryBudget::Process().Configure(0, 0); }
  } restore;
  EXPECT_EQ(session->Execute(whole, rows), E_OUTOFMEMORY);
  EXPECT_NE(session->LastError().find("the rows the database driver reads whole"), std::string::npos);
  EXPECT_NE(session->LastError().find("AnswerMemoryMB"), std::string::npos) << session->LastError();
  EXPECT_EQ(account->Held(), 0u);
  // A change that ran is never refused: what its driver took is no rows.
  ASSERT_EQ(session->Execute("INSERT INTO t SELECT id + 50000, note FROM t", rows), S_OK) << session->LastError();
  EXPECT_EQ(rows->RowsAffected(), kRows);
}

}  // namespace
}  // namespace quor::oledb
