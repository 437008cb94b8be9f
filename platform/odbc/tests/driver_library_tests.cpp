// What PrepareDriverLibraries settles for the process: SQLite, loaded by its
// driver afterwards, keeps no memory statistics, whose lock every allocation
// of every statement took.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "platform/odbc/odbc.h"
#include "testing/TempDir.h"

namespace quor::odbc {
namespace {

TEST(DriverLibraries, SqliteKeepsNoMemoryStatisticsOnceSettled) {
  if (const Status prepared = PrepareDriverLibraries(); !prepared.ok())
    GTEST_SKIP() << prepared.Text() << " (a test before this one in the process used SQLite)";
  void* sqlite = ::dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(sqlite, nullptr) << "SQLite is installed with its ODBC driver";
  const auto used = reinterpret_cast<int64_t (*)()>(::dlsym(sqlite, "sqlite3_memory_used"));
  ASSERT_NE(used, nullptr);

  test::TempDir dir{"quor-odbc-libraries"};
  auto connection = std::make_shared<Connection>();
  ASSERT_TRUE(connection->Open("DRIVER={SQLite3};Database=" + dir.File("settled.db"), 5).ok());
  {
    Statement statement(connection);
    ASSERT_TRUE(statement.Execute("CREATE TABLE t (x TEXT)").ok());
    ASSERT_TRUE(statement.Execute("INSERT INTO t VALUES ('some text')").ok());
    // With the statistics kept, every allocation since the first connect counts.
    EXPECT_EQ(used(), 0);
  }
  connection->Close();
  ::dlclose(sqlite);
}

}  // namespace
}  // namespace quor::odbc
