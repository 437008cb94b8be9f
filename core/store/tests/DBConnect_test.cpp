#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/store/DBConnect.h"
#include "core/store/tests/RepositoryFixture.h"
#include "platform/text/text.h"

using namespace quor;
using namespace quor::core;
using com::Bstr;
using com::Variant;

namespace {

using quor::core::testing::PgOdbc;

class DBConnectTest : public quor::core::testing::RepositoryTest {
 protected:
  Status InsertVesk(const std::string& user, const std::string& name, const Variant& content) {
    const std::string uri = "urn:vocontent:vodb000:" + user + "-" + name;
    const Variant values[] = {Variant(Bstr::FromUtf8(user)), Variant(Bstr::FromUtf8(name)), Variant(int32_t{0}),
                              content, Variant(Bstr::FromUtf8(uri)), Variant(Bstr(u"2026/1/2 3:4:5")),
                              Variant(Bstr(u"0")), Variant(Bstr(u"<acl/>"))};
    return db_.ExecuteNonQuery(
        "INSERT INTO QUORVESK (VOUSER, NAME, CONTENTLEN, CONTENT, VOURI, CREATEDATE, LOCK_STATUS, ACCESSLIST) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
        values);
  }

};

}  // namespace

TEST(DBConnect, ClosedUntilOpenedAndAfterFailedOpen) {
  CSqlServerDBConnect db;
  EXPECT_EQ(db.GetState(), 0);  // no connection yet: not ready
  CommandHolder command;
  RecordsetHolder rows;
  EXPECT_LT(db.ExecuteQuery(command, rows, "SELECT 1").code(), 0);
  const Status unread = db.GetFieldString(rows, "X");
  EXPECT_EQ(unread.code(), E_FAIL);
  EXPECT_EQ(unread.message(), "Unknown Error");

  const Status unreachable = db.Open("MSDASQL.1", Bstr(u""), Bstr(u""), Bstr(u""), Bstr(u""),
                                     Bstr(u"DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=x"));
  // The open failure the repository has always answered; the driver's own
  // class stays in the diagnostic.
  EXPECT_EQ(unreachable.code(), E_FAIL);
  EXPECT_FALSE(unreachable.message().empty());
  EXPECT_EQ(db.GetState(), 0);
  const Status notOpen = db.ExecuteNonQuery("SELECT 1");
  EXPECT_EQ(notOpen.code(), ado::adErrObjectClosed);
  EXPECT_FALSE(notOpen.message().empty());
  const Status unknown = db.Open("NoSuch.Provider", Bstr(u"x"), Bstr(u""), Bstr(u""), Bstr(u""));
  EXPECT_LT(unknown.code(), 0);
  EXPECT_NE(unknown.message().find("Provider"), std::string::npos);
  EXPECT_EQ(db.GetState(), 0);
}

TEST(DBConnect, PasswordsWithSeparatorsStayOneValue) {
  if (PgOdbc().empty()) {
    GTEST_SKIP();
  }
  CSqlServerDBConnect db;
  // Were the password pasted raw, ";Port=1" would redirect the connection and
  // the error would not be an authentication failure.
  const Status refused = db.Open("MSDASQL", Bstr(u""), Bstr(u""), Bstr(u"quor"), Bstr(u"x\";Port=1;\"y}"),
                                 Bstr::FromUtf8(PgOdbc().substr(0, PgOdbc().find(";UID"))));
  EXPECT_EQ(refused.code(), E_FAIL);
  EXPECT_NE(refused.message().find("password"), std::string::npos) << refused.message();
  EXPECT_FALSE(refused.SqlState().empty());
}

TEST_P(DBConnectTest, ReadsFieldsAsText) {
  ASSERT_EQ(db_.GetState(), 1);
  ASSERT_EQ(InsertVesk("u" + tag_, "doc", Variant(Bstr(u"it's 100% \u65e5\u672c"))).code(), 0);
  ASSERT_EQ(InsertVesk("u" + tag_, "nulled", Variant::Null()).code(), 0);

  CommandHolder command;
  RecordsetHolder rows;
  const Variant user[] = {Variant(Bstr::FromUtf8("u" + tag_))};
  ASSERT_EQ(db_.ExecuteQuery(command, rows,
                             "SELECT NAME, CONTENT, CONTENTLEN, VOURI FROM QUORVESK WHERE VOUSER = ? ORDER BY NAME", user).code(),
            0);
  ASSERT_FALSE(rows->Eof());
  const Bstr* value = nullptr;
  ASSERT_EQ(db_.GetFieldValue(rows, "CONTENT", value).code(), 0);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(*value, u"it's 100% \u65e5\u672c");
  ASSERT_EQ(db_.GetFieldString(rows, "contentlen").code(), 0);  // numbers read as decimal text
  EXPECT_EQ(db_.LastFieldValue(), u"0");
  EXPECT_NE(db_.GetFieldString(rows, "NOSUCH").code(), 0);
  EXPECT_EQ(db_.LastFieldValue(), u"0");  // unchanged by the failed read

  ASSERT_EQ(db_.MoveNext(rows).code(), S_OK);
  ASSERT_FALSE(rows->Eof());
  EXPECT_EQ(db_.GetFieldString(rows, "CONTENT").code(), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(db_.LastFieldValue(), u"0");
  ASSERT_EQ(db_.GetFieldString(rows, "NAME").code(), 0);
  EXPECT_EQ(db_.LastFieldValue(), u"nulled");
  db_.ReleaseQuery(command, rows);
  EXPECT_FALSE(rows);

  ASSERT_EQ(db_.ExecuteQuery(command, rows, "SELECT COUNT(*) AS N FROM QUORVESK WHERE VOUSER = ?", user).code(), 0);
  ASSERT_EQ(db_.GetFieldString(rows, "N").code(), 0);
  EXPECT_EQ(db_.LastFieldValue(), u"2");
}

TEST_P(DBConnectTest, ExistingObjectIsAnIntegrityViolation) {
  ASSERT_EQ(InsertVesk("u" + tag_, "same", Variant(Bstr(u""))).code(), 0);
  const Status again = InsertVesk("u" + tag_, "same", Variant(Bstr(u"again")));
  EXPECT_EQ(again.code(), ado::DB_E_INTEGRITYVIOLATION);
  EXPECT_FALSE(again.message().empty());
  EXPECT_FALSE(again.SqlState().empty());
}

TEST_P(DBConnectTest, PreparedCommandCarriesLongText) {
  ASSERT_EQ(InsertVesk("u" + tag_, "long", Variant(Bstr(u""))).code(), 0);
  const std::u16string content(300000, u'\u3042');
  CommandHolder command = db_.NewCommand();
  command->AppendParameter(ado::Command::CreateParameter(u"content", ado::adBSTR, ado::adParamInput,
                                                         static_cast<long>(content.size()), Variant(Bstr(content))));
  command->AppendParameter(ado::Command::CreateParameter(u"len", ado::adInteger, ado::adParamInput, 0,
                                                         Variant(static_cast<int32_t>(content.size()))));
  command->AppendParameter(ado::Command::CreateParameter(
      u"uri", ado::adBSTR, ado::adParamInput, 0, Variant(Bstr::FromUtf8("urn:vocontent:vodb000:u" + tag_ + "-long"))));
  ASSERT_EQ(db_.ExecuteUpdateWithParam(command, "UPDATE QUORVESK SET CONTENT = ?, CONTENTLEN = ? WHERE VOURI = ?").code(), 0);
  CommandHolder query;
  RecordsetHolder rows;
  const Variant uri[] = {Variant(Bstr::FromUtf8("urn:vocontent:vodb000:u" + tag_ + "-long"))};
  ASSERT_EQ(db_.ExecuteQuery(query, rows, "SELECT CONTENT, CONTENTLEN FROM QUORVESK WHERE VOURI = ?", uri).code(), 0);
  ASSERT_EQ(db_.GetFieldString(rows, "CONTENT").code(), 0);
  EXPECT_EQ(db_.LastFieldValue().View(), content);
}

TEST_P(DBConnectTest, ListersShowTheRepository) {
  std::vector<Bstr> tables{Bstr(u"stale")};
  ASSERT_EQ(db_.GetTableList(tables).code(), 0);
  for (const char16_t* name : {u"QUORCOLLAB", u"QUORVESK", u"QUORVESKRES", u"QUORLOG"})
    EXPECT_NE(std::find(tables.begin(), tables.end(), Bstr(name)), tables.end()) << text::Narrow(name);
  EXPECT_EQ(std::find(tables.begin(), tables.end(), Bstr(u"stale")), tables.end());

  std::vector<Bstr> columns;
  ASSERT_EQ(db_.GetColumnList("QUORVESK", columns).code(), 0);
  std::vector<std::string> names;
  for (const auto& c : columns) names.push_back(c.ToUtf8());
  EXPECT_EQ(names, (std::vector<std::string>{"VOUSER", "NAME", "CONTENTLEN", "CONTENT", "VOURI", "CREATEDATE",
                                             "UPDATEDATE", "LOCK_STATUS", "ACCESSLEVEL", "ACCESSLIST"}));

  std::vector<Bstr> catalogs;
  ASSERT_EQ(db_.GetCatalogList(catalogs).code(), 0);
  if (GetParam() == "postgresql") {
    EXPECT_NE(std::find(catalogs.begin(), catalogs.end(), Bstr(u"quor")), catalogs.end());
  }
}

QUOR_INSTANTIATE_ENGINES(DBConnectTest);

// A connection the server ends is found lost by the statement that meets it,
// and the next lease has a new one at once; the one that failed is not pooled.
TEST(DBConnect, AConnectionTheServerEndsIsReplacedByTheNextLease) {
  if (PgOdbc().empty()) GTEST_SKIP();
  CSqlServerDBConnect db;
  ASSERT_EQ(db.Open("MSDASQL.1", Bstr(u""), Bstr(u""), Bstr(u""), Bstr(u""), Bstr::FromUtf8(PgOdbc())).code(), 0);
  std::vector<std::pair<bool, std::string>> reported;
  db.SetLinkReporter([&](bool up, const std::string& text) { reported.emplace_back(up, text); });
  Status failure;  // the last read's
  auto backend = [&]() {
    CommandHolder command;
    RecordsetHolder rows;
    std::string pid;
    failure = db.ExecuteQuery(command, rows, "SELECT pg_backend_pid() AS PID");
    if (failure.ok()) failure = db.GetFieldString(rows, "PID");
    if (failure.ok()) pid = db.LastFieldValue().ToUtf8();
    db.ReleaseQuery(command, rows);
    return pid;
  };
  std::string ended;
  {
    const CDBConnect::Lease lease(&db);
    ended = backend();
    ASSERT_FALSE(ended.empty()) << failure.message();
  }
  // Ended from the thread's own first connection, outside any lease.
  ASSERT_EQ(db.ExecuteNonQuery("SELECT pg_terminate_backend(" + ended + ")").code(), 0);
  {
    const CDBConnect::Lease lease(&db);
    EXPECT_TRUE(backend().empty());
    EXPECT_FALSE(failure.message().empty());
    EXPECT_TRUE(ado::LinkLost(failure) || failure.SqlState().starts_with("08")) << failure.message();
  }
  ASSERT_FALSE(reported.empty());
  EXPECT_FALSE(reported.front().first);
  {
    const CDBConnect::Lease lease(&db);
    const std::string now = backend();
    EXPECT_FALSE(now.empty()) << failure.message();
    EXPECT_NE(now, ended);
  }
  db.SetLinkReporter(nullptr);
}
