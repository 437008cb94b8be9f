// The memory answers held whole may take: a call whose answer would pass
// its limit gets a clear fault and an event-log line, changes nothing, and
// the other calls run on; an answer sent while it is read is not held, but
// the rows its driver read whole are.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

class BudgetRoad : public CollabRoad {
 protected:
  void TearDown() override {
    core::CSqlServerDBConnect db;
    if (instance_ && instance_->IsPostgres() && Open(db).ok()) {
      const com::Variant like[] = {com::Variant(com::Bstr::FromUtf8("%" + alice_ + "%"))};
      db.ExecuteNonQuery("DELETE FROM QUORVESK WHERE VOURI LIKE ?", like).Ignore();
    }
    CollabRoad::TearDown();
  }
  Status Open(core::CDBConnect& db) const {
    return db.Open("MSDASQL.1", com::Bstr(u""), com::Bstr(u""), com::Bstr(u""), com::Bstr(u""),
                   com::Bstr::FromUtf8(instance_->Odbc()));
  }
  static std::string Uri(std::string_view owner, std::string_view name) {
    return "urn:vocontent:vodb000:" + std::string(owner) + "-" + std::string(name);
  }
  // alice's object `name` holding `content` (ASCII), written past the
  // server: a put of it would be over the budget itself.
  void StoreOutside(std::string_view name, const std::string& content) {
    ASSERT_TRUE(Call(*alice, "PutVOContent", {{"name", name}, {"content", "placeholder"}}).ok);
    core::CSqlServerDBConnect db;
    const Status opened = Open(db);
    ASSERT_TRUE(opened.ok()) << opened.message();
    const com::Variant params[] = {com::Variant(static_cast<int32_t>(content.size())),
                                   com::Variant(com::Bstr::FromUtf8(content)),
                                   com::Variant(com::Bstr::FromUtf8(Uri(alice_, name)))};
    int64_t changed = 0;
    const Status updated =
        db.ExecuteNonQuery("UPDATE QUORVESK SET CONTENTLEN = ?, CONTENT = ? WHERE VOURI = ?", params, changed);
    ASSERT_EQ(updated.code(), 0) << updated.message();
    ASSERT_EQ(changed, 1);
  }
};

TEST_P(BudgetRoad, AnAnswerOverItsLimitIsRefusedAndOthersRunOn) {
  // Rows of a data source whose answer runs to several megabytes, in a WAL
  // (which the SQLite driver reads row by row), and the same outside one.
  st::TempDir data;
  const std::string rows = "CREATE TABLE many (id INTEGER, t TEXT); WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL "
                           "SELECT x + 1 FROM n WHERE x < 40000) INSERT INTO many SELECT x, "
                           "printf(\"%0100d\", x) FROM n;";
  const auto source = SqliteSource(data.Path() / "many.db", "many", rows + " PRAGMA journal_mode = WAL;");
  const auto whole = SqliteSource(data.Path() / "whole.db", "whole", rows);
  ASSERT_FALSE(source.first.empty());
  ASSERT_FALSE(whole.first.empty());
  InstanceOptions options;
  options.homeFiles = {
      {"transform/csv.xml", "<QuorTransform><transform><ProgID>FlatConvert.TransCSV</ProgID></transform></QuorTransform>"},
      source, whole};
  QUOR_START_COLLAB(options);
  // Rows as they are stored, or through one transformer that converts them
  // row by row, leave while they are read; through a chain of transformers
  // they are made whole first.
  const auto query = [](int rows, const std::string& chain, const std::string& dsn = "many") {
    return "<query><get><content>record</content><target><provider>MSDASQL.1</provider><dsn>" + dsn +
           "</dsn><catalog>main</catalog><table>many</table></target><condition>id &lt;= " +
           std::to_string(rows) + "</condition>" + (chain.empty() ? "" : "<transform>" + chain + "</transform>") +
           "</get></query>";
  };

  const std::string big(3u << 20, 'x'), small = "small content";
  StoreOutside("big", big);
  ASSERT_TRUE(Call(*alice, "PutVOContent", {{"name", "small"}, {"content", small}}).ok);
  // A call's limit counts its request too: the big content is stored first.
  ASSERT_NO_FATAL_FAILURE(RestartWith({{"AnswerMemoryMB", 2}}));
  alice = instance_->SignIn(alice_, "alice-pw");
  bob = instance_->SignIn(bob_, "bob-pw");
  ASSERT_TRUE(alice && bob);

  // Refused while small calls run beside them on other sessions.
  std::atomic<bool> done{false};
  std::atomic<int> smallCalls{0}, smallFailures{0};
  std::thread beside([&] {
    while (!done) {
      if (!Call(*bob, "GetLogCount").ok) ++smallFailures;
      ++smallCalls;
    }
  });
  for (int round = 0; round < 3; ++round) {
    const CallOutcome content = Call(*alice, "GetVOContent", {{"name", "big"}});
    EXPECT_FALSE(content.ok);
    EXPECT_EQ(content.status, E_OUTOFMEMORY) << content.fault;
    EXPECT_NE(content.fault.find("AnswerMemoryMB"), std::string::npos) << content.fault;
    const CallOutcome rows = Call(*alice, "Query", {{"sqlstmt", query(40000, "trans:0, trans:0")}});
    EXPECT_FALSE(rows.ok);
    EXPECT_EQ(rows.status, E_OUTOFMEMORY) << rows.fault;
    EXPECT_NE(rows.fault.find("AnswerMemoryMB"), std::string::npos) << rows.fault;
  }
  // The same rows streamed are not held whole: past the limit, and answered.
  const CallOutcome streamed = Call(*alice, "Query", {{"sqlstmt", query(40000, "")}});
  ASSERT_TRUE(streamed.ok) << streamed.fault;
  EXPECT_EQ(ColumnTexts(streamed.decoded, "id").size(), 40000u);
  const CallOutcome converted = Call(*alice, "Query", {{"sqlstmt", query(40000, "trans:0")}});
  ASSERT_TRUE(converted.ok) << converted.fault;
  EXPECT_NE(converted.decoded.find("\n40000,"), std::string::npos);
  // Outside a WAL the driver reads them whole when the statement runs.
  const CallOutcome readWhole = Call(*alice, "Query", {{"sqlstmt", query(40000, "", "whole")}});
  EXPECT_EQ(readWhole.status, E_OUTOFMEMORY) << readWhole.fault;
  EXPECT_NE(readWhole.fault.find("the rows the database driver reads whole"), std::string::npos) << readWhole.fault;
  done = true;
  beside.join();
  EXPECT_GT(smallCalls.load(), 0);
  EXPECT_EQ(smallFailures.load(), 0);

  // Answers within the limit, and the refused object itself, are untouched.
  const CallOutcome fine = Call(*alice, "GetVOContent", {{"name", "small"}});
  ASSERT_TRUE(fine.ok) << fine.fault;
  EXPECT_EQ(fine.decoded, "<root>" + small + "</root>");
  const CallOutcome few = Call(*alice, "Query", {{"sqlstmt", query(100, "trans:0")}});
  ASSERT_TRUE(few.ok) << few.fault;
  EXPECT_NE(few.decoded.find("id,t\n1,"), std::string::npos) << few.decoded.substr(0, 200);
  EXPECT_NE(instance_->Events().find("AnswerMemoryMB"), std::string::npos) << instance_->Events();
}

// What a content call takes is reserved before it is taken: a read or a
// write over the call's limit is refused with the budget's fault, while a
// small call on another session runs and succeeds beside it, and the refused
// write changes nothing (the old content stays, no object is made).
TEST_P(BudgetRoad, AContentCallOverItsLimitIsRefusedBeforeItIsTaken) {
  InstanceOptions options;
  options.serviceDwords = {{"AnswerMemoryMB", 2}};
  QUOR_START_COLLAB(options);
  // A request the listener holds (twice while its values are read, then
  // once), and over the limit with what the driver copies of it on top; a
  // stored content over it with what its read holds.
  const std::string over(950u << 10, 'y');
  ASSERT_TRUE(Call(*alice, "PutVOContent", {{"name", "doc"}, {"content", "old"}}).ok);
  StoreOutside("stored", std::string(1800u << 10, 'y'));

  std::atomic<bool> done{false};
  std::atomic<int> smallCalls{0}, smallFailures{0};
  std::thread beside([&] {
    while (!done) {
      const CallOutcome small = Call(*bob, "PutVOContent", {{"name", "beside"}, {"content", "small"}});
      if (!small.ok || Call(*bob, "GetVOContent", {{"name", "beside"}}).decoded != "<root>small</root>") ++smallFailures;
      ++smallCalls;
    }
  });
  // Refused by the layer that would take the memory, as its text says.
  const auto refused = [&](const std::string& method,
                           std::initializer_list<std::pair<std::string_view, std::string_view>> args,
                           std::string_view holder) {
    const CallOutcome call = Call(*alice, method, args);
    EXPECT_FALSE(call.ok) << method;
    EXPECT_EQ(call.status, E_OUTOFMEMORY) << method << ": " << call.fault;
    EXPECT_NE(call.fault.find("AnswerMemoryMB"), std::string::npos) << method << ": " << call.fault;
    EXPECT_NE(call.fault.find(holder), std::string::npos) << method << ": " << call.fault;
  };
  constexpr std::string_view kCopies = "the copies the database driver makes", kRead = "the content it reads";
  for (int round = 0; round < 2; ++round) {
    refused("PutVOContent", {{"name", "doc"}, {"content", over}}, kCopies);
    refused("PutVOContent", {{"name", "fresh"}, {"content", over}}, kCopies);
    refused("UpdateVOContent", {{"name", "doc"}, {"content", over}}, kCopies);
    refused("UpdateVOContentbyURI", {{"uri", Uri(alice_, "doc")}, {"content", over}}, kCopies);
    refused("GetVOContent", {{"name", "stored"}}, kRead);
    refused("GetVOContentbyURI", {{"uri", Uri(alice_, "stored")}}, kRead);
  }
  done = true;
  beside.join();
  EXPECT_GT(smallCalls.load(), 0);
  EXPECT_EQ(smallFailures.load(), 0);

  EXPECT_EQ(Call(*alice, "GetVOContent", {{"name", "doc"}}).decoded, "<root>old</root>");
  EXPECT_EQ(Call(*alice, "GetVOContent", {{"name", "fresh"}}).decoded, "<root/>");
  EXPECT_EQ(Call(*alice, "GetVOURI", {{"vouser", alice_}, {"name", "fresh"}}).decoded, "<root/>");
  const std::string events = instance_->Events();
  EXPECT_NE(events.find("PutVOContent"), std::string::npos) << events;
}

TEST_P(BudgetRoad, ARequestTheProcessCannotHoldIsRefusedAndStoresNothing) {
  InstanceOptions options;
  options.serviceDwords = {{"AllAnswersMemoryMB", 4}};
  QUOR_START_COLLAB(options);
  ASSERT_TRUE(Call(*alice, "PutVOContent", {{"name", "kept"}, {"content", "before"}}).ok);
  // Its body alone passes what all calls may hold: refused once the wait
  // for room is over, with nothing written.
  const CallOutcome put = Call(*alice, "PutVOContent", {{"name", "kept"}, {"content", std::string(6u << 20, 'q')}});
  EXPECT_FALSE(put.ok);
  EXPECT_EQ(put.status, E_OUTOFMEMORY) << put.fault;
  EXPECT_NE(put.fault.find("AllAnswersMemoryMB"), std::string::npos) << put.fault;
  EXPECT_NE(instance_->Events().find("AllAnswersMemoryMB"), std::string::npos) << instance_->Events();
  const CallOutcome kept = Call(*alice, "GetVOContent", {{"name", "kept"}});
  ASSERT_TRUE(kept.ok) << kept.fault;
  EXPECT_EQ(kept.decoded, "<root>before</root>");
  // Within it, the same put goes through.
  ASSERT_TRUE(Call(*alice, "PutVOContent", {{"name", "kept"}, {"content", std::string(1u << 20, 'q')}}).ok);
}

INSTANTIATE_TEST_SUITE_P(Engines, BudgetRoad, ::testing::Values(Database::Sqlite, Database::Postgres), EngineName);

}  // namespace
}  // namespace quor::admin::testing
