// The engine's late-bound calls against the real plug-ins, registered with
// the real registration program: the data accessor on a SQLite file, the
// transformers, and a test component for the failure paths.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/QuorServiceUtils.h"
#include "core/StatusCodes.h"
#include "core/query/AccessorCall.h"
#include "core/query/TransformerChain.h"
#include "core/tests/TestInstance.h"
#include "platform/com/classstore.h"

namespace quor::core {
namespace {

namespace fs = std::filesystem;
using testing::TestInstance;


class QueryCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* library : {"libQuorAccessor.so", "libFlatConvert.so", "libGridPage.so", "libquor_test_plugin.so"})
      ASSERT_EQ(testing::RegisterLibrary(library), 0) << library;
    instance_.SetHomeDir();
    db_ = instance_.root() + "/data.db";
    config_ = com::Bstr::FromUtf8("<OLEDBSetting><Provider>MSDASQL.1</Provider><ExtendedProperties>DRIVER={SQLite3};"
                                  "Database=" + db_ + "</ExtendedProperties></OLEDBSetting>");
    settings_.ReadHomeDir();
  }
  void TearDown() override { com::CoFreeUnusedLibraries(); }

  HRESULT Accessor(std::string_view query, com::Bstr& answer, std::u16string_view progID = u"QuorAccessor.LegacyDBAccessor",
                   std::u16string_view method = u"Query") {
    answer = com::Bstr();
    return CallAccessor(com::Bstr::FromUtf8(query), config_, progID, method, answer).code();
  }

  void Definitions(const std::string& entries) {
    instance_.Write("transform/t.xml", "<QuorTransform>" + entries + "</QuorTransform>");
    settings_.TransformDocument.reset();
  }

  TestInstance instance_;
  CServiceConfig settings_;
  std::string db_;
  com::Bstr config_;
};

TEST_F(QueryCallsTest, AccessorAnswersTextOrItsFaultBecomesTheStatus) {
  com::Bstr answer;
  ASSERT_EQ(Accessor("<statement><sql><select/><from>sqlite_master</from></sql></statement>", answer), S_OK);
  EXPECT_TRUE(answer.ToUtf8().starts_with("<response>")) << answer.ToUtf8();

  // The accessor's fault: its number is the status, and nothing is answered.
  EXPECT_EQ(Accessor("not xml", answer), static_cast<HRESULT>(0x8200002Eu));
  EXPECT_TRUE(answer.IsNull());
  EXPECT_EQ(Accessor("<statement><sql><select/><from>missing</from></sql></statement>", answer),
            static_cast<HRESULT>(0x80040E37u));

  // An answer with "<fault>" further in is an ordinary answer.
  ASSERT_EQ(Accessor("x<fault>", answer, u"QuorTest.Echo", u"Convert"), S_OK);
  EXPECT_TRUE(answer.ToUtf8().starts_with("[x<fault>|<OLEDBSetting>")) << answer.ToUtf8();

  // Nothing to create, or no such method: the runtime's status, nothing called.
  EXPECT_EQ(Accessor("q", answer, u"No.Such.Accessor"), CO_E_CLASSSTRING);
  EXPECT_TRUE(answer.IsNull());
  EXPECT_EQ(Accessor("q", answer, u"QuorTest.Echo", u"NoSuchMethod"), DISP_E_UNKNOWNNAME);

  // A call that fails in the component: the accessor fault document stands in.
  EXPECT_EQ(Accessor("q", answer, u"QuorTest.Echo", u"Add"), QS_E_ACCESSOR_ACCESS_FAILED);
  EXPECT_EQ(Accessor("q", answer, u"QuorTest.Echo", u"Swap"), QS_E_ACCESSOR_ACCESS_FAILED);
}

TEST(FaultResult, ANumberThatIsNoFailureStillFails) {
  const auto fault = [](std::string_view number) {
    return com::Bstr::FromUtf8("<fault><faultactor>a</faultactor><detail><ErrorInfo><number>" + std::string(number) +
                               "</number><description>d</description></ErrorInfo></detail></fault>");
  };
  EXPECT_EQ(CQuorServiceUtils::ParseFaultResult(fault("-2147467259"), QS_E_ACCESSOR_ACCESS_FAILED).code(), E_FAIL);
  EXPECT_EQ(CQuorServiceUtils::ParseFaultResult(fault("-2113929170"), QS_E_ACCESSOR_ACCESS_FAILED).code(),
            static_cast<HRESULT>(0x8200002Eu));
  for (const char* number : {"0", "5", "", "abc", "99999999999"}) {
    EXPECT_EQ(CQuorServiceUtils::ParseFaultResult(fault(number), QS_E_ACCESSOR_ACCESS_FAILED).code(),
              QS_E_ACCESSOR_ACCESS_FAILED)
        << number;
    EXPECT_EQ(CQuorServiceUtils::ParseFaultResult(fault(number), QS_E_TRANSFORMER_ACCESS_FAILED).code(),
              QS_E_TRANSFORMER_ACCESS_FAILED)
        << number;
  }
}

TEST_F(QueryCallsTest, ChainRunsEachItemOnThePreviousOutput) {
  Definitions(
      "<transform><transID>echo</transID><ProgID>QuorTest.Echo</ProgID><Rule>r1</Rule></transform>"
      "<transform><transID>csv</transID><ProgID>FlatConvert.TransCSV</ProgID><Method>Convert</Method></transform>"
      "<other><transID>xhtml</transID><ProgID>GridPage.TransXHTML</ProgID></other>"
      "<transform><transID>bad</transID><ProgID>QuorTest.Echo</ProgID><Method>Add</Method></transform>");
  const com::Bstr in(u"in");
  com::Bstr out;
  EXPECT_EQ(TransformChain(settings_, com::Bstr(u"echo"), in, {}, out).code(), S_OK);
  EXPECT_EQ(out, u"[in|r1]");
  EXPECT_EQ(TransformChain(settings_, com::Bstr(u" echo   r2 ignored "), in, {}, out).code(), S_OK);
  EXPECT_EQ(out, u"[in|r2]");
  EXPECT_EQ(TransformChain(settings_, com::Bstr(u",echo,,QuorTest.Echo r3,"), in, {}, out).code(), S_OK);
  EXPECT_EQ(out, u"[[in|r1]|r3]");
  EXPECT_EQ(TransformChain(settings_, com::Bstr(u""), in, {}, out).code(), S_OK);
  EXPECT_TRUE(out.IsNull());

  // The first failing item stops the chain with its own status and output.
  EXPECT_EQ(TransformChain(settings_, com::Bstr(u"nobody,echo"), in, {}, out).code(), QS_E_TRANSFORMER_NOT_SPECIFIED);
  EXPECT_TRUE(out.IsNull());
  EXPECT_EQ(TransformChain(settings_, com::Bstr(u"echo,bad,echo"), in, {}, out).code(), QS_E_TRANSFORMER_ACCESS_FAILED);
  EXPECT_TRUE(out.IsNull());
  // A transformer's fault document: its number, no output.
  EXPECT_EQ(TransformChain(settings_, com::Bstr(u"echo,csv"), in, {}, out).code(), static_cast<HRESULT>(0x88000001u));
  EXPECT_TRUE(out.IsNull());

  // A result node through the real transformers, each answering a document.
  const xml::DocumentPtr doc = xml::Document::Create();
  ASSERT_TRUE(doc->loadXML("<response><table name=\"t\"><record><column name=\"a\" type=\"DBTYPE_I4\">1</column>"
                           "</record></table></response>"));
  xml::NodePtr csv;
  HRESULT status = TransformResult(settings_, doc->firstChild(), com::Bstr(u"csv"), {}, csv).code();
  EXPECT_EQ(status, S_OK);
  ASSERT_TRUE(csv);
  EXPECT_NE(csv->xml().find("<csv><![CDATA[a"), std::string::npos) << csv->xml();
  // An output that is not XML gives no node.
  xml::NodePtr echoed;
  status = TransformResult(settings_, doc->firstChild(), com::Bstr(u"echo"), {}, echoed).code();
  EXPECT_FALSE(echoed);
  EXPECT_EQ(status, S_OK);
  xml::NodePtr page;
  status = TransformResult(settings_, doc->firstChild(), com::Bstr(u"xhtml"), {}, page).code();
  EXPECT_EQ(status, S_OK);
  ASSERT_TRUE(page);
  EXPECT_NE(page->xml().find("<table"), std::string::npos) << page->xml();
}

TEST_F(QueryCallsTest, DefinitionsMustBeThere) {
  com::Bstr out;
  // No transform document at all, or one without the definitions element.
  EXPECT_EQ(CallTransformer(settings_, com::Bstr(u"csv"), com::Bstr(u"x"), {}, out).code(), QS_E_TRANSFORMER_CONFIG_INVALID);
  // A definitions file the folder loader refuses: its status.
  instance_.Write("transform/t.xml", "<Other/>");
  settings_.TransformDocument.reset();
  EXPECT_EQ(CallTransformer(settings_, com::Bstr(u"csv"), com::Bstr(u"x"), {}, out).code(), QS_E_TRANSFORM_FORMAT_INVALID);
}

}  // namespace
}  // namespace quor::core
