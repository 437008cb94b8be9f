#include <gtest/gtest.h>

#include "core/QuorServiceUtils.h"
#include "core/StatusCodes.h"
#include "core/tests/TestInstance.h"
#include "platform/com/errorinfo.h"

using namespace quor;
using namespace quor::core;
using quor::core::testing::TestInstance;

namespace {

// Local mode: no authentication accessor; the registry lists answer.
class LocalAccountsTest : public ::testing::Test {
 protected:
  void Load() {
    settings_.ReadAdminUsers();
    settings_.ReadUserGroups();
  }
  TestInstance instance_;
  CServiceConfig settings_;
  CQuorServiceUtils utils_{settings_, nullptr};
};

}  // namespace

TEST_F(LocalAccountsTest, AdministratorFallsBackToItsNameOnlyWithoutAList) {
  Load();
  EXPECT_TRUE(utils_.IsAdministrator(com::Bstr(u"administrator")));
  EXPECT_FALSE(utils_.IsAdministrator(com::Bstr(u"Administrator")));
  com::Bstr xml;
  ASSERT_EQ(utils_.ListAdminUsers(xml).code(), S_OK);
  EXPECT_EQ(xml, u"<root/>");

  EXPECT_TRUE(instance_.ServiceKey().SetString("AdminUsers", "alice, b&b").ok());
  Load();
  EXPECT_FALSE(utils_.IsAdministrator(com::Bstr(u"administrator")));
  EXPECT_TRUE(utils_.IsAdministrator(com::Bstr(u"alice")));
  ASSERT_EQ(utils_.ListAdminUsers(xml).code(), S_OK);
  EXPECT_EQ(xml, u"<root><user>alice</user><user>b&amp;b</user></root>");
}

TEST_F(LocalAccountsTest, GroupsComeFromTheUserGroupKey) {
  reg::Key groups;
  EXPECT_TRUE(groups.Create(reg::Hive::LocalMachine, kUserGroupKey).ok());
  EXPECT_TRUE(groups.SetString("Editors", "dan,  erin").ok());
  EXPECT_TRUE(groups.SetString("Readers", "erin").ok());
  Load();
  EXPECT_TRUE(utils_.IsGroup(com::Bstr(u"Editors")));
  EXPECT_FALSE(utils_.IsGroup(com::Bstr(u"editors")));
  EXPECT_TRUE(utils_.IsGroupMember(com::Bstr(u"Editors"), com::Bstr(u"erin")));
  EXPECT_FALSE(utils_.IsGroupMember(com::Bstr(u"Readers"), com::Bstr(u"dan")));
  for (std::u16string_view user : {u"dan", u"erin", u"administrator", u"nobody"}) {
    const Caller caller = utils_.ResolveCaller(com::Bstr(user));
    EXPECT_EQ(caller.administrator, utils_.IsAdministrator(com::Bstr(user)));
    for (std::u16string_view group : {u"Editors", u"editors", u"Readers", u"erin"})
      EXPECT_EQ(caller.InGroup(group),
                utils_.IsGroup(com::Bstr(group)) && utils_.IsGroupMember(com::Bstr(group), com::Bstr(user)));
  }

  com::Bstr xml;
  ASSERT_EQ(utils_.ListGroups(xml).code(), S_OK);
  EXPECT_EQ(xml, u"<root><group>Editors</group><group>Readers</group></root>");
  ASSERT_EQ(utils_.ListGroupUsers(com::Bstr(u"Editors"), xml).code(), S_OK);
  EXPECT_EQ(xml, u"<root><user>dan</user><user>erin</user></root>");
  ASSERT_EQ(utils_.ListGroupUsers(com::Bstr(u"Nobody"), xml).code(), S_OK);
  EXPECT_EQ(xml, u"<root/>");
  ASSERT_EQ(utils_.ListOwnGroups(com::Bstr(u"erin"), xml).code(), S_OK);
  EXPECT_EQ(xml, u"<root><group>Editors</group><group>Readers</group></root>");
}

TEST(NameLists, FirstColumnOfAccountLists) {
  // Rows by attributes, first index fastest: the first column holds the names.
  com::SafeArray rows(com::VT_VARIANT, {0, 2}, {0, 2});
  const char16_t* cells[2][2] = {{u"alice", u"user"}, {u"bob", u"user"}};
  for (int32_t r = 0; r < 2; ++r)
    for (int32_t c = 0; c < 2; ++c) {
      const int32_t at[2] = {r, c};
      rows.PutElement(at, com::Variant(com::Bstr(cells[r][c])));
    }
  EXPECT_EQ(CQuorServiceUtils::VariantToNameList(com::Variant(rows)).value(), (NameList{"alice", "bob"}));

  com::Variant inner(rows);
  EXPECT_EQ(CQuorServiceUtils::VariantToNameList(com::Variant::ByRef(&inner)).value(), (NameList{"alice", "bob"}));
  EXPECT_EQ(CQuorServiceUtils::VariantToNameList(com::Variant(com::Bstr(u"solo"))).value(), NameList{"solo"});
  EXPECT_TRUE(CQuorServiceUtils::VariantToNameList(com::Variant()).value().empty());
  EXPECT_EQ(CQuorServiceUtils::VariantToNameList(com::Variant(int32_t{7})).status().code(), E_FAIL);
}
