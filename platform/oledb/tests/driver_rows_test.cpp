// The rows the SQLite driver reads whole count against the call's memory:
// held while the rowset lives, refused past the budget with its text; rows
// read row by row hold nothing.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/com/callcontext.h"
#include "platform/com/memory_budget.h"
#include "platform/oledb/oledb.h"
#include "testing/TempDir.h"

namespace quor::oledb {
namespace {

constexpr int kRows = 50000;

class DriverRowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Before the process's first use of SQLite, which counts its memory then.
    prepared_ = odbc::PrepareDriverLibraries();
    if (!prepared_.ok()) GTEST_SKIP() << prepared_.Text() << " (a test before this one in the process used SQLite)";
    {
      DataSource fill;
      std::unique_ptr<Session> session;
      Open(fill, session);
      for (const std::string& sql :
           {std::string("PRAGMA journal_mode = WAL"), std::string("CREATE TABLE t (id INTEGER PRIMARY KEY, note TEXT)"),
            "WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < " + std::to_string(kRows) +
                ") INSERT INTO t SELECT k, 'note ' || k FROM n"}) {
        std::unique_ptr<Rowset> none;
        ASSERT_EQ(session->Execute(sql, none), S_OK) << session->LastError();
      }
    }
    // A connection to the database as it now is: a WAL.
    Open(source_, session_);
    context_.memory = account_;
  }
  void Open(DataSource& source, std::unique_ptr<Session>& session) {
    ASSERT_EQ(source.SetProperty(DBPROP_INIT_PROVIDERSTRING, "DRIVER={SQLite3};Database=" + dir_.File("rows.db")),
              S_OK);
    ASSERT_EQ(source.Initialize("MSDASQL.1"), S_OK) << source.LastError();
    ASSERT_EQ(source.CreateSession(session), S_OK);
  }
  void TearDown() override { com::MemoryBudget::Process().Configure(0, 0); }

  Status prepared_;
  test::TempDir dir_{"quor-oledb-rows"};
  DataSource source_;
  std::unique_ptr<Session> session_;
  std::shared_ptr<com::CallMemory> account_ = std::make_shared<com::CallMemory>();
  com::CallContext context_;
};

TEST_F(DriverRowsTest, RowsReadWholeAreHeldAndRefusedPastTheBudget) {
  const std::string whole = "SELECT id, note || '' AS note FROM t";  // computed: read whole
  const std::string rowByRow = "SELECT id, note FROM t";
  const com::CallContextScope scope(context_);
  {
    std::unique_ptr<Rowset> rows;
    ASSERT_EQ(session_->Execute(whole, rows), S_OK) << session_->LastError();
    EXPECT_FALSE(rows->Stepped());
    // At least the driver's pointer to each value.
    EXPECT_GT(account_->Held(), uint64_t{kRows} * 2 * 8);
  }
  EXPECT_EQ(account_->Held(), 0u);

  com::MemoryBudget::Process().Configure(uint64_t{256} << 10, 0);
  std::unique_ptr<Rowset> rows;
  EXPECT_EQ(session_->Execute(whole, rows), E_OUTOFMEMORY);
  EXPECT_FALSE(rows);
  EXPECT_NE(session_->LastError().find("the rows the database driver reads whole"), std::string::npos)
      << session_->LastError();
  EXPECT_NE(account_->Refusal().find("AnswerMemoryMB"), std::string::npos);
  EXPECT_EQ(account_->Held(), 0u);

  ASSERT_EQ(session_->Execute(rowByRow, rows), S_OK) << session_->LastError();
  EXPECT_TRUE(rows->Stepped());
  int read = 0;
  while (rows->Next() == S_OK) ++read;
  EXPECT_EQ(read, kRows);
  rows.reset();

  // A change that ran is never refused: what its driver took is no rows.
  ASSERT_EQ(session_->Execute("INSERT INTO t SELECT id + " + std::to_string(kRows) + ", note FROM t", rows), S_OK)
      << session_->LastError();
  EXPECT_EQ(rows->RowsAffected(), kRows);
}

TEST(OleDbStepReads, OnlySqliteStringsAskForIt) {
  const auto asked = [](std::string odbc) {
    AddStepReads(odbc);
    return odbc;
  };
  EXPECT_EQ(asked("DRIVER={SQLite3};Database=/tmp/x.db"), "DRIVER={SQLite3};Database=/tmp/x.db;StepAPI=1");
  EXPECT_EQ(asked("DRIVER={SQLite3};Database=/tmp/x.db;stepapi=0"), "DRIVER={SQLite3};Database=/tmp/x.db;stepapi=0");
  EXPECT_EQ(asked("DRIVER={PostgreSQL Unicode};Server=h"), "DRIVER={PostgreSQL Unicode};Server=h");
}

}  // namespace
}  // namespace quor::oledb
