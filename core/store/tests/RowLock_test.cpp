// The row lock writers take against other servers: on PostgreSQL a writer of
// the same row on another connection waits until it ends, the key is the
// row's alone, and what a failed operation left for its caller survives the
// release; on SQLite nothing is taken.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/store/RowLock.h"
#include "core/store/tests/RepositoryFixture.h"
#include "platform/com/errorinfo.h"

namespace quor::core::testing {
namespace {

using store::RowLock;

class RowLockTest : public RepositoryTest {};

TEST_P(RowLockTest, AWriterOfTheRowOnAnotherConnectionWaits) {
  const com::Bstr key = com::Bstr::FromUtf8(Tagged("urn:row"));
  std::atomic<bool> taken{false}, release{false};
  std::thread first([&] {
    CDBConnect::Lease lease(&db_);
    const RowLock lock(&db_, "QUORVESK", key);
    EXPECT_EQ(lock.Held(), !IsSqlite());
    taken = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  while (!taken) std::this_thread::yield();

  std::atomic<bool> second{false};
  std::thread other([&] {
    CDBConnect::Lease lease(&db_);
    const RowLock lock(&db_, "QUORVESK", key);
    second = true;
  });
  // Another row, or the same key in another table, does not wait.
  {
    CDBConnect::Lease lease(&db_);
    const RowLock row(&db_, "QUORVESK", com::Bstr::FromUtf8(Tagged("urn:other")));
    const RowLock table(&db_, "QUORCOLLAB", key);
    EXPECT_EQ(row.Held(), !IsSqlite());
    EXPECT_EQ(table.Held(), !IsSqlite());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(second.load(), IsSqlite()) << "the same row on another connection";
  release = true;
  first.join();
  other.join();
  EXPECT_TRUE(second.load());
}

TEST_P(RowLockTest, TheCallersFailureSurvivesTheRelease) {
  CDBConnect::Lease lease(&db_);
  {
    const RowLock lock(&db_, "QUORVESK", com::Bstr::FromUtf8(Tagged("urn:row")));
    // What the operation read, and what it leaves for the component's edge.
    db_.LastFieldValue() = com::Bstr(u"the operation's value");
    com::RaiseError(E_FAIL, com::Bstr(u"test"), com::Bstr(u"the operation's description"));
  }
  EXPECT_EQ(db_.LastFieldValue(), u"the operation's value");
  const auto info = com::GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, u"the operation's description");
}

TEST(RowLockKey, NamesOneRowOfOneTable) {
  const com::Bstr uri(u"urn:vocontent:vodb000:alice-plan");
  EXPECT_EQ(RowLock::KeyOf("QUORVESK", uri), RowLock::KeyOf("QUORVESK", com::Bstr::FromUtf8(uri.ToUtf8())));
  EXPECT_NE(RowLock::KeyOf("QUORVESK", uri), RowLock::KeyOf("QUORCOLLAB", uri));
  EXPECT_NE(RowLock::KeyOf("QUORVESK", uri), RowLock::KeyOf("QUORVESK", com::Bstr(u"urn:vocontent:vodb000:alice-plan2")));
  // The table and the key stay apart: no pair of them makes another's text.
  EXPECT_NE(RowLock::KeyOf("QUORVESK", com::Bstr(u"Ra")), RowLock::KeyOf("QUORVESKR", com::Bstr(u"a")));
}

QUOR_INSTANTIATE_ENGINES(RowLockTest);

}  // namespace
}  // namespace quor::core::testing
