// The accessor plug-in as the query engine meets it: registered with the real
// registration program, created by ProgID and called by name, answering
// either the result or the fault document.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "accessor/legacy_db_fault.h"
#include "platform/com/classstore.h"
#include "platform/com/dispatch.h"
#include "platform/xml/dom.h"
#include "testing/PluginEnv.h"

namespace quor::accessor {
namespace {

namespace fs = std::filesystem;
using transform::testing::RunRegsvr;
using transform::testing::TempRegistry;

const fs::path kLibrary = fs::path(QUOR_LIB_DIR) / "libQuorAccessor.so";

std::string Fault(std::string_view number, std::string_view description) {
  return "<fault><faultactor>ILegacyDBAccessor</faultactor><detail><ErrorInfo><number>" + std::string(number) +
         "</number><description>" + std::string(description) + "</description></ErrorInfo></detail></fault>";
}

TEST(AccessorFault, DescriptionFollowsTheKindOfCode) {
  EXPECT_EQ(CreateLegacyDBFaultResult(AccessorCode(0x2E)), Fault("-2113929170", "XML Loading was failed."));
  EXPECT_EQ(FaultDescription(AccessorCode(0x05)), "The exception happened in transaction processing.");
  EXPECT_EQ(FaultDescription(AccessorCode(0x29)), "The specified target doesn't exist.");
  EXPECT_EQ(FaultDescription(static_cast<HRESULT>(0x80040E14u)), "OLEDB Error :0x80040E14");
  EXPECT_EQ(FaultDescription(E_FAIL), "QuorAccessor Error :0x80004005");
  // Only the accessor's own codes borrow its texts.
  EXPECT_EQ(FaultDescription(static_cast<HRESULT>(0x8800002Eu)), "QuorAccessor Error :0x8800002E");
  EXPECT_EQ(FaultDescription(AccessorCode(0x01)), "QuorAccessor Error :0x82000001");
  EXPECT_EQ(FaultDescription(E_ACCESSDENIED), "Access is denied.\r\n");
  EXPECT_EQ(FaultDescription(static_cast<HRESULT>(0x80070C00u)), "Error 80070C00");
  // The system text's line break survives a reader's line-end folding.
  const std::string denied = CreateLegacyDBFaultResult(E_ACCESSDENIED);
  EXPECT_EQ(denied, Fault("-2147024891", "Access is denied.&#xD;\n"));
  const xml::DocumentPtr doc = xml::Document::Create();
  ASSERT_TRUE(doc->loadXML(denied));
  EXPECT_EQ(doc->documentElement()->lastChild()->firstChild()->lastChild()->text(), "Access is denied.\r\n");
}

class AccessorComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RunRegsvr({"-s", kLibrary.string()}), 0);
    ASSERT_EQ(com::CreateObject(u"QuorAccessor.LegacyDBAccessor", accessor_), S_OK);
    db_ = (fs::temp_directory_path() / ("accessor_component_" + std::to_string(::getpid()) + ".db")).string();
    fs::remove(db_);
    config_ = "<OLEDBSetting><Provider>MSDASQL.1</Provider><ExtendedProperties>DRIVER={SQLite3};Database=" + db_ +
              "</ExtendedProperties></OLEDBSetting>";
  }
  void TearDown() override {
    accessor_ = nullptr;
    fs::remove(db_);
  }

  HRESULT Call(std::u16string_view method, const com::Variant& query, const com::Variant& config,
               com::Variant& result) {
    const com::Variant args[] = {query, config};
    return com::InvokeByName(accessor_.Get(), method, com::DISPATCH_METHOD, args, &result);
  }
  std::string Query(std::string_view query) {
    com::Variant result;
    EXPECT_EQ(Call(u"Query", com::Bstr::FromUtf8(query), com::Bstr::FromUtf8(config_), result), S_OK);
    return result.Type() == com::VT_BSTR ? result.GetBstr().ToUtf8() : "(not text)";
  }

  TempRegistry registry_;
  com::ComPtr<com::IDispatch> accessor_;
  std::string db_, config_;
};

TEST_F(AccessorComponentTest, QueryAnswersTheResultOrAFaultDocument) {
  // The driver creates the file; the accessor then creates a table in it.
  EXPECT_EQ(Query("<statement><sql><select/><from>items</from></sql></statement>").substr(0, 7), "<fault>");
  ASSERT_EQ(std::system(("sqlite3 '" + db_ + "' 'CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT)'").c_str()), 0);

  EXPECT_EQ(Query("<statement><sql><insert/><into>items</into><values>1, 'a &lt; b'</values></sql></statement>"),
            "<response><resultCode>0</resultCode></response>");
  const std::string rows = Query("<statement><sql><select>name</select><from>items</from></sql></statement>");
  EXPECT_NE(rows.find(">a &lt; b<"), std::string::npos) << rows;

  EXPECT_EQ(Query("not xml"), Fault("-2113929170", "XML Loading was failed."));
  EXPECT_EQ(Query("<?xml version=\"1.0\"?><statement><sql><select/><from>items</from></sql></statement>"),
            Fault("-2113929193", "The query argument is invalid."));
  EXPECT_EQ(Query("<statement><sql><delete/><from>*</from></sql></statement>"),
            Fault("-2113929190", "The from Table is not specified."));
  EXPECT_EQ(Query("<statement><sql><select/><from>missing</from></sql></statement>"),
            Fault("-2147217865", "OLEDB Error :0x80040E37"));
  EXPECT_EQ(Query("<statement><request-uri>http://x/</request-uri></statement>"),
            Fault("-2113929185", "Non supported tag is used in query argument."));
  EXPECT_NE(Query("<statement><sql><select>name</select><from>items</from></sql></statement>").find("a &lt; b"),
            std::string::npos);
}

TEST_F(AccessorComponentTest, QueryVaTakesTextVariantsAndAnswersTheStatus) {
  com::Variant result;
  const com::Variant query = com::Bstr(u"<statement><sql><select/><from>sqlite_master</from></sql></statement>");
  const com::Variant config = com::Bstr::FromUtf8(config_);
  ASSERT_EQ(Call(u"QueryVa", query, config, result), S_OK);
  ASSERT_EQ(result.Type(), com::VT_BSTR);
  EXPECT_TRUE(result.GetBstr().ToUtf8().starts_with("<response>")) << result.GetBstr().ToUtf8();

  // Late bound, a failing method is an exception whose code is its status,
  // and nothing is answered.
  const auto failure = [&](const com::Variant& q, const com::Variant& c) {
    const com::Variant args[] = {q, c};
    com::Variant answer;
    com::ExcepInfo info;
    const HRESULT hr = com::InvokeByName(accessor_.Get(), u"QueryVa", com::DISPATCH_METHOD, args, &answer, &info);
    EXPECT_EQ(hr, DISP_E_EXCEPTION);
    EXPECT_TRUE(answer.IsEmpty());
    return info.scode;
  };
  EXPECT_EQ(failure(com::Variant(int32_t{7}), config), E_FAIL);
  EXPECT_EQ(failure(query, com::Variant(int32_t{7})), E_FAIL);
  EXPECT_EQ(failure(com::Bstr(u"not xml"), config), AccessorCode(0x2E));
}

TEST_F(AccessorComponentTest, OnlyTheLegacyClassIsRegistered) {
  com::ComPtr<com::IDispatch> other;
  const com::CLSID vodb = com::Guid::Literal("{408A8130-EEB9-464C-A588-6E221DA09071}");
  EXPECT_EQ(com::CoCreateInstance(vodb, other), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(com::CreateObject(u"QuorAccessor.HTTPAccessor", other), CO_E_CLASSSTRING);
  ASSERT_EQ(com::CreateObject(u"QuorAccessor.LegacyDBAccessor.1", other), S_OK);
}

}  // namespace
}  // namespace quor::accessor
