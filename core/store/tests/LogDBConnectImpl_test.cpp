#include <gtest/gtest.h>

#include <algorithm>

#include "core/StatusCodes.h"
#include "core/store/LogDBConnectImpl.h"
#include "core/store/tests/RepositoryFixture.h"
#include "platform/xml/dom.h"

using namespace quor;
using namespace quor::core;
using com::Bstr;

namespace {

class LogStoreTest : public quor::core::testing::RepositoryTest {
 protected:
  // The LOGID values of the answer's "logID" elements.
  static std::vector<std::string> Ids(const Bstr& reply) {
    auto doc = xml::Document::Create();
    EXPECT_TRUE(doc->loadXML(reply.ToUtf8())) << reply.ToUtf8();
    std::vector<std::string> ids;
    for (auto log = doc->documentElement()->firstChild(); log; log = log->nextSibling())
      ids.push_back(log->nodeName() == "logID" ? log->text() : log->firstChild()->text());
    return ids;
  }
  std::string LastId(const Bstr& user) {
    Bstr reply;
    EXPECT_EQ(store_.GetLogbyUser(user, reply).code(), S_OK);
    const auto ids = Ids(reply);
    return ids.empty() ? "" : ids.back();
  }

  CLogDBConnectImpl store_{&db_};
};

}  // namespace

TEST_P(LogStoreTest, RowsAreWrittenAndReadBack) {
  const Bstr user = Bstr::FromUtf8(Tagged("alice"));
  Bstr reply;
  ASSERT_EQ(store_.PutLog(user, Bstr(u"it's \u65e5 <b>&"), reply).code(), S_OK);
  EXPECT_EQ(reply, u"<root><resultCode>0</resultCode></root>");
  ASSERT_EQ(store_.PutCollabLog(user, Bstr(u"urn:vocontent:covodb000:a-b"), Bstr(u"joined"), reply).code(), S_OK);
  ASSERT_EQ(store_.InsertLog3(Bstr(u"GetACL"), user, Bstr(u"urn:x")).code(), S_OK);
  ASSERT_EQ(store_.InsertLog4(Bstr(u"GetACL"), user, Bstr(u"urn:x"), Bstr()).code(), S_OK);
  ASSERT_EQ(store_.InsertLog5(Bstr(u"GetACL"), user, Bstr(u"urn:x"), Bstr(u"<root/>"), Bstr(std::u16string(1500, u'e')))
                .code(),
            S_OK);

  ASSERT_EQ(store_.GetLogbyUser(user, reply).code(), S_OK);
  auto doc = xml::Document::Create();
  ASSERT_TRUE(doc->loadXML(reply.ToUtf8()));
  const auto logs = doc->documentElement()->childNodes();
  ASSERT_EQ(logs.size(), 5u);
  std::vector<std::string> names;
  for (auto c = logs[0]->firstChild(); c; c = c->nextSibling()) names.push_back(c->nodeName());
  EXPECT_EQ(names, (std::vector<std::string>{"logID", "description", "op", "target", "result", "timestamp", "opuser",
                                             "loglevel", "logcatalog"}));
  EXPECT_EQ(logs[0]->childNodes()[1]->text(), "it's \xE6\x97\xA5 <b>&");  // stored as given, quote and all
  EXPECT_EQ(logs[0]->childNodes()[8]->text(), "application");
  EXPECT_EQ(logs[1]->childNodes()[2]->text(), "PutCollabLog");
  EXPECT_EQ(logs[1]->childNodes()[3]->text(), "urn:vocontent:covodb000:a-b");
  EXPECT_EQ(logs[3]->childNodes()[4]->xml(), "<result/>");
  EXPECT_EQ(logs[4]->childNodes()[1]->text(), std::string(1024, 'e'));  // cut to 1024
  EXPECT_EQ(logs[4]->childNodes()[8]->text(), "internal");

  ASSERT_EQ(store_.GetCategoryLogbyUser(user, Bstr(u"internal"), reply).code(), S_OK);
  EXPECT_EQ(Ids(reply).size(), 3u);
  ASSERT_EQ(store_.GetCategoryLogIDList(Bstr(u"collaboration"), reply).code(), S_OK);
  EXPECT_FALSE(Ids(reply).empty());
}

TEST_P(LogStoreTest, LengthsAsTheRowsCountThem) {
  const Bstr user = Bstr::FromUtf8(Tagged("bob"));
  Bstr reply;
  ASSERT_EQ(store_.PutLog(user, Bstr(u"it's"), reply).code(), S_OK);
  CommandHolder command;
  RecordsetHolder rows;
  const com::Variant who[] = {com::Variant(user)};
  ASSERT_EQ(db_.ExecuteQuery(command, rows, "SELECT CONTENTLEN FROM QUORLOG WHERE OPUSER = ?", who).code(), 0);
  ASSERT_EQ(db_.GetFieldString(rows, "CONTENTLEN").code(), 0);
  EXPECT_EQ(db_.LastFieldValue(), u"5");
}

TEST_P(LogStoreTest, RangesAndTheirArguments) {
  const Bstr user = Bstr::FromUtf8(Tagged("carol"));
  Bstr reply;
  for (int i = 0; i < 6; ++i) ASSERT_EQ(store_.InsertLog3(Bstr(u"Op"), user, Bstr(u"t")).code(), S_OK);
  ASSERT_EQ(store_.GetLogbyUser(user, reply).code(), S_OK);
  const auto ids = Ids(reply);
  ASSERT_EQ(ids.size(), 6u);
  // The rows of four ids from the second one on, in id order. Other tests may
  // write to a shared database meanwhile, so rows of theirs can lie between
  // ours, and ids their rolled-back inserts took are gaps.
  const long first = std::stol(ids[1]);
  ASSERT_EQ(store_.GetLogs(Bstr::FromUtf8(std::to_string(first)), Bstr(u"4"), reply).code(), S_OK);
  const auto range = Ids(reply);
  ASSERT_FALSE(range.empty());
  EXPECT_EQ(range.front(), ids[1]);
  for (size_t i = 1; i < range.size(); ++i) EXPECT_LT(std::stol(range[i - 1]), std::stol(range[i]));
  EXPECT_LT(std::stol(range.back()), first + 4);
  for (size_t i = 1; i < ids.size() && std::stol(ids[i]) < first + 4; ++i)
    EXPECT_NE(std::find(range.begin(), range.end(), ids[i]), range.end()) << ids[i];
  if (IsSqlite()) {
    EXPECT_EQ(range, (std::vector<std::string>{ids[1], ids[2], ids[3], ids[4]}));
  }

  ASSERT_EQ(store_.GetLog(Bstr::FromUtf8(ids[0]), reply).code(), S_OK);
  EXPECT_EQ(Ids(reply), std::vector<std::string>{ids[0]});

  EXPECT_EQ(store_.GetLogs(Bstr(u"10"), Bstr(u"0"), reply).code(), QS_E_LOG_COUNT_INVALID);
  EXPECT_EQ(store_.GetLogs(Bstr(u"10"), Bstr(u"-1"), reply).code(), QS_E_ARGUMENT_INVALID);
  EXPECT_EQ(store_.GetLogs(Bstr(u"10"), Bstr(u"5 "), reply).code(), QS_E_ARGUMENT_INVALID);
  EXPECT_EQ(store_.GetLogs(Bstr(u""), Bstr(u"5"), reply).code(), QS_E_ARGUMENT_NULL);
  EXPECT_EQ(store_.GetLogs(Bstr(u"99999999999999999999999"), Bstr(u"5"), reply).code(), QS_E_ARGUMENT_INVALID);
  EXPECT_EQ(store_.GetLog(Bstr(u"1' OR '1'='1"), reply).code(), QS_E_ARGUMENT_INVALID);
  EXPECT_EQ(store_.PutLog(user, Bstr(), reply).code(), QS_E_ARGUMENT_NULL);
}

TEST_P(LogStoreTest, ValuesAreNeverSqlText) {
  const Bstr user = Bstr::FromUtf8(Tagged("o'brien'); DELETE FROM QUORLOG; --"));
  Bstr reply;
  ASSERT_EQ(store_.InsertLog4(Bstr(u"Op"), user, Bstr(u"t'"), Bstr(u"r'")).code(), S_OK);
  ASSERT_EQ(store_.GetLogbyUser(user, reply).code(), S_OK);
  EXPECT_EQ(Ids(reply).size(), 1u);
}

TEST_P(LogStoreTest, EmptyTableAndClosedConnection) {
  Bstr reply;
  if (IsSqlite()) {
    ASSERT_EQ(store_.GetLogCount(reply).code(), S_OK);
    EXPECT_EQ(reply, u"<root><logcount>0</logcount></root>");
    ASSERT_EQ(store_.GetLogIDList(reply).code(), S_OK);
    EXPECT_EQ(reply, u"<root/>");
  }
  ASSERT_EQ(store_.GetLogbyUser(Bstr::FromUtf8(Tagged("nobody")), reply).code(), S_OK);
  EXPECT_EQ(reply, u"<root/>");

  CSqlServerDBConnect closed;
  CLogDBConnectImpl down(&closed);
  EXPECT_EQ(down.GetLogCount(reply).code(), QS_E_LOG_DB_NOT_INSTALLED);
  EXPECT_EQ(down.InsertLog3(Bstr(u"Op"), Bstr(u"u"), Bstr(u"t")).code(), QS_E_NATIVE_DB_NOT_INSTALLED);
}

QUOR_INSTANTIATE_ENGINES(LogStoreTest);
