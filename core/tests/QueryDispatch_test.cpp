// The statement dispatcher and the per-source run, driven with statement
// documents against the real accessor on SQLite files and a registered test
// component as transformer.
#include <gtest/gtest.h>

#include <string>

#include "core/StatusCodes.h"
#include "core/query/QueryEngine.h"
#include "core/tests/TestInstance.h"
#include "platform/com/classstore.h"

namespace quor::core {
namespace {

using testing::TestInstance;


class QueryDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* library : {"libQuorAccessor.so", "libquor_test_plugin.so"}) ASSERT_EQ(testing::RegisterLibrary(library), 0);
    instance_.SetHomeDir();
    for (const char* name : {"a", "b"}) {
      const std::string file = instance_.root() + "/" + name + ".db";
      ASSERT_EQ(std::system(("sqlite3 '" + file + "' \"CREATE TABLE t (id INTEGER, v TEXT); INSERT INTO t VALUES (1, '" +
                             name + "')\"")
                                .c_str()),
                0);
      instance_.Write(std::string("config/") + name + ".xml",
                      "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>" + std::string(name) +
                          "</DataSource><InitialCatalog>main</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};"
                          "Database=" + file + "</ExtendedProperties></OLEDBSetting>");
    }
    instance_.Write("transform/echo.xml",
                    "<QuorTransform><transform><transID>echo</transID><ProgID>QuorTest.Echo</ProgID>"
                    "<Rule>r</Rule></transform></QuorTransform>");
    settings_.ReadHomeDir();
    settings_.DefaultAccessorProgID = com::Bstr(u"QuorAccessor.LegacyDBAccessor");
    settings_.DefaultAccessorMethod = com::Bstr(u"Query");
    engine_ = std::make_unique<CQueryEngine>(settings_);
    ASSERT_EQ(engine_->Init().code(), S_OK);
  }
  void TearDown() override {
    engine_.reset();
    com::CoFreeUnusedLibraries();
  }

  HRESULT Dispatch(const std::string& sqlquery, std::string& answer) {
    const xml::DocumentPtr doc = xml::Document::Create();
    EXPECT_TRUE(doc->loadXML(sqlquery)) << sqlquery;
    com::Bstr result;
    const HRESULT hr = engine_->DispatchQuery(doc, result).code();
    answer = result.IsNull() ? "(null)" : result.ToUtf8();
    return hr;
  }

  TestInstance instance_;
  CServiceConfig settings_;
  std::unique_ptr<CQueryEngine> engine_;
};

TEST_F(QueryDispatchTest, StatementsAndTheirShapes) {
  std::string answer;
  EXPECT_EQ(Dispatch("<sqlquery/>", answer), S_OK);
  EXPECT_EQ(answer, "<root/>");
  EXPECT_EQ(Dispatch("<other/>", answer), QS_E_QUERY_FORMAT_INVALID);
  EXPECT_EQ(answer, "(null)");
  EXPECT_EQ(Dispatch("<sqlquery><statement/></sqlquery>", answer), QS_E_QUERY_ARG_INVALID);
  com::Bstr result;
  EXPECT_EQ(engine_->DispatchQuery(nullptr, result).code(), QS_E_QUERY_ARG_NULL);

  // A statement without substatements runs on every source it names: here
  // the provider alone names both, and "nounify" keeps both answers.
  const std::string both =
      "<statement><provider>msdasql.1</provider><nounify/><sql><select>v</select><from>t</from></sql>";
  ASSERT_EQ(Dispatch("<sqlquery>" + both + "</statement></sqlquery>", answer), S_OK);
  EXPECT_NE(answer.find(">a<"), std::string::npos) << answer;
  EXPECT_NE(answer.find(">b<"), std::string::npos) << answer;
  // A provider that no source has: the statement is refused.
  EXPECT_EQ(Dispatch("<sqlquery><statement><provider>Other</provider><sql><select/><from>t</from></sql></statement>"
                     "</sqlquery>",
                     answer),
            QS_E_QUERY_ARG_INVALID);
  // An accessor failure is the statement's status, and nothing is answered.
  EXPECT_EQ(Dispatch("<sqlquery><statement><dsn>a</dsn><sql><select/><from>missing</from></sql></statement></sqlquery>",
                     answer),
            static_cast<HRESULT>(0x80040E37u));
  EXPECT_EQ(answer, "(null)");
}

TEST_F(QueryDispatchTest, TransformAndStoreRequests) {
  std::string answer;
  const std::string one = "<statement><provider>MSDASQL.1</provider><dsn>a</dsn><nounify/>"
                          "<sql><select>v</select><from>t</from></sql>";
  // Two transform items: the second gets the first's output.
  ASSERT_EQ(Dispatch("<sqlquery>" + one + "<transform>echo</transform><transform>echo s</transform></statement>"
                     "</sqlquery>",
                     answer),
            S_OK);
  // The echo output is no XML, so the statement contributes nothing.
  EXPECT_EQ(answer, "<root/>");
  EXPECT_EQ(Dispatch("<sqlquery>" + one + "<transform/></statement></sqlquery>", answer),
            QS_E_TRANSFORMER_NOT_SPECIFIED);
  EXPECT_EQ(Dispatch("<sqlquery>" + one + "<transform>nobody</transform></statement></sqlquery>", answer),
            QS_E_TRANSFORMER_NOT_SPECIFIED);
  // Store has no effect on the answer.
  std::string plain, stored;
  ASSERT_EQ(Dispatch("<sqlquery>" + one + "</statement></sqlquery>", plain), S_OK);
  ASSERT_EQ(Dispatch("<sqlquery>" + one + "<store>unified</store></statement></sqlquery>", stored), S_OK);
  EXPECT_EQ(plain, stored);
  EXPECT_NE(plain.find(">a<"), std::string::npos) << plain;
}

TEST_F(QueryDispatchTest, ForwardedTransactionContributesTheAccessorsAnswer) {
  std::string answer;
  const std::string insert = "<statement><provider>MSDASQL.1</provider><dsn>b</dsn><catalog>main</catalog>"
                             "<sql><insert/><into>t</into><values>2, 'new'</values></sql></statement>";
  ASSERT_EQ(Dispatch("<sqlquery><transaction>" + insert + "</transaction></sqlquery>", answer), S_OK);
  EXPECT_EQ(answer, "<root><response><resultCode>0</resultCode></response></root>");
  // A transaction the accessor refuses: its status.
  EXPECT_EQ(Dispatch("<sqlquery><transaction>" + insert + insert + "<x/></transaction></sqlquery>", answer),
            static_cast<HRESULT>(0x82000029u));
  EXPECT_EQ(answer, "(null)");
}

}  // namespace
}  // namespace quor::core
