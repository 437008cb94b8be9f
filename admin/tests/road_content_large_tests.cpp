// Long Vesk contents over the wire, on SQLite and PostgreSQL: ten megabytes
// with markup, carriage returns and characters of every UTF-8 length come
// back byte for byte, by a new put and by an overwrite.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

class LargeContentRoad : public CollabRoad {
 protected:
  void TearDown() override {
    core::CSqlServerDBConnect db;
    if (instance_ && instance_->IsPostgres() &&
        db.Open("MSDASQL.1", com::Bstr(u""), com::Bstr(u""), com::Bstr(u""), com::Bstr(u""),
                com::Bstr::FromUtf8(instance_->Odbc())).code() == 0) {
      const com::Variant like[] = {com::Variant(com::Bstr::FromUtf8("%" + alice_ + "%"))};
      db.ExecuteNonQuery("DELETE FROM QUORVESK WHERE VOURI LIKE ?", like).Ignore();
    }
    CollabRoad::TearDown();
  }
};

TEST_P(LargeContentRoad, TenMegabytesComeBackByteForByte) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string pieces[] = {std::string(90, 'a'), "<b a=\"1\">&amp;</b>", "\r\n\t", "\xC3\xA9\xC3\xBC",
                                "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80", "]]>'\""};
  for (const char tag : {'1', '2'}) {  // a new object, then an overwrite
    std::string content, expected = "<root>";
    for (size_t i = 0; content.size() < (10u << 20); ++i) content += pieces[i % std::size(pieces)] + tag;
    for (const char c : content) expected += c == '\r' ? "&#xD;" : XmlText(std::string_view(&c, 1));
    expected += "</root>";
    const CallOutcome put = Call(*alice, "PutVOContent", {{"name", "big"}, {"content", content}});
    ASSERT_TRUE(put.ok) << put.fault;
    EXPECT_EQ(put.decoded, kResultOk);
    const CallOutcome got = Call(*alice, "GetVOContent", {{"name", "big"}});
    ASSERT_TRUE(got.ok) << got.fault;
    EXPECT_TRUE(got.decoded == expected)
        << "differs from byte "
        << std::mismatch(got.decoded.begin(), got.decoded.end(), expected.begin(), expected.end()).first -
               got.decoded.begin();
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, LargeContentRoad, ::testing::Values(Database::Sqlite, Database::Postgres),
                         EngineName);

}  // namespace
}  // namespace quor::admin::testing
