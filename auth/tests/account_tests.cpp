// Account look-ups through the AccountInfo component, against the test run's
// slapd and a local account store of the same shape: account types,
// attributes, members and groups by depth and ordering, nested and cyclic
// groups, membership, and names made of filter characters.
#include <algorithm>
#include <set>

#include "auth/server/account_info.h"
#include "directory_fixtures.h"
#include "platform/directory/directory.h"

namespace quor::auth {
namespace {

using namespace testing;
using Set = std::set<std::string>;
using Table = std::vector<std::vector<std::string>>;

Set AsSet(const std::vector<std::string>& names) { return Set(names.begin(), names.end()); }

const com::Variant kNameAndClass = AttributeList({u"sAMAccountName", u"objectClass"});

class Accounts {
 public:
  explicit Accounts(ServiceConfig& config) : info_(com::MakeObject<AccountInfo>(config)) {}
  IAccountInfo* operator->() { return info_.Get(); }

  std::vector<std::string> Members(std::u16string_view group, int32_t type, int32_t depth, int32_t ordering = 0) {
    com::Variant list;
    EXPECT_EQ(info_->ListMember(Bstr(group), type, kNameAndClass, depth, ordering, &list), S_OK) << ErrorInfoText();
    return Names(list, 2);
  }
  std::vector<std::string> Groups(std::u16string_view account, int32_t depth, int32_t ordering = 0) {
    com::Variant list;
    EXPECT_EQ(info_->ListGroup(Bstr(account), kNameAndClass, depth, ordering, &list), S_OK) << ErrorInfoText();
    return Names(list, 2);
  }
  Table Find(std::u16string_view pattern, int32_t type, int32_t ordering) {
    com::Variant list;
    EXPECT_EQ(info_->Lookup(Bstr(pattern), type, kNameAndClass, ordering, &list), S_OK) << ErrorInfoText();
    return Rows(list, 2);
  }
  bool Member(std::u16string_view group, std::u16string_view account, int32_t depth) {
    int32_t is = 7;
    EXPECT_EQ(info_->IsMember(Bstr(group), Bstr(account), depth, &is), S_OK) << ErrorInfoText();
    EXPECT_TRUE(is == -1 || is == 0);
    return is == -1;
  }
  std::string Type(std::u16string_view account) {
    Bstr type;
    EXPECT_EQ(info_->GetAccountType(Bstr(account), &type), S_OK) << ErrorInfoText();
    return type.ToUtf8();
  }

 private:
  com::ComPtr<AccountInfo> info_;
};

// Rows sorted by class, then name, by code unit.
Table Sorted(Table rows, bool descending) {
  std::sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) {
    const auto ka = std::tie(a[1], a[0]), kb = std::tie(b[1], b[0]);
    return descending ? kb < ka : ka < kb;
  });
  return rows;
}

// The value at `i` of a GetAttributes result.
com::Variant At(const com::Variant& values, int32_t i) {
  com::Variant v;
  const int32_t index[1] = {i};
  EXPECT_EQ(values.Array().GetElement(index, v), S_OK);
  return v;
}

// ---- Both directories -------------------------------------------------------------------

using BothAccounts = BothDirectories;
INSTANTIATE_TEST_SUITE_P(Directories, BothAccounts, ::testing::Values(Backend::Ldap, Backend::AccountStore),
                         BackendName);

TEST_P(BothAccounts, MembersAndGroupsFollowNestingToTheDepthAsked) {
  Accounts info(config);
  EXPECT_TRUE(text::EqualsNoCase(info.Type(u"alice"), "user"));
  EXPECT_TRUE(text::EqualsNoCase(info.Type(u"Staff"), "group"));

  EXPECT_EQ(AsSet(info.Members(u"Staff", AccountTypeAny, 1)), (Set{"alice", "bob", "Engineers"}));
  EXPECT_EQ(AsSet(info.Members(u"Staff", AccountTypeGroup, -1)), (Set{"Engineers", "Interns"}));
  // Users of nested groups, not the groups themselves.
  EXPECT_EQ(info.Members(u"Staff", AccountTypeUser, -1, OrderingAsc),
            (std::vector<std::string>{"alice", "bob", "carol", "dave", "erin"}));
  EXPECT_EQ(AsSet(info.Members(u"Staff", AccountTypeUser, 2)), (Set{"alice", "bob", "carol", "dave"}));
  // Depth 0 and an empty group give an empty variant, not an empty array.
  com::Variant list(int32_t{5});
  ASSERT_EQ(info->ListMember(Bstr(u"Staff"), AccountTypeAny, kNameAndClass, 0, 0, &list), S_OK);
  EXPECT_TRUE(list.IsEmpty());
  ASSERT_EQ(info->ListMember(Bstr(u"Nobody"), AccountTypeAny, kNameAndClass, -1, 0, &list), S_OK);
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_TRUE(FAILED(info->ListMember(Bstr(u"alice"), AccountTypeAny, kNameAndClass, 1, 0, &list)));
  EXPECT_EQ(info->ListMember(Bstr(u"Staff"), 4, kNameAndClass, 1, 0, &list), E_INVALIDARG);

  // Groups of a user, and of a group.
  EXPECT_EQ(AsSet(info.Groups(u"alice", 1)), (Set{"Staff", "Admins"}));
  EXPECT_EQ(AsSet(info.Groups(u"erin", 2)), (Set{"Interns", "Engineers"}));
  EXPECT_EQ(info.Groups(u"erin", -1, OrderingDesc), (std::vector<std::string>{"Staff", "Interns", "Engineers"}));
  EXPECT_EQ(AsSet(info.Groups(u"Interns", -1)), (Set{"Engineers", "Staff"}));

  EXPECT_TRUE(info.Member(u"Staff", u"alice", 1));
  EXPECT_FALSE(info.Member(u"Staff", u"erin", 2));
  EXPECT_TRUE(info.Member(u"Staff", u"erin", 3));
  EXPECT_TRUE(info.Member(u"Staff", u"erin", -1));
  EXPECT_TRUE(info.Member(u"Staff", u"Interns", -1));
  EXPECT_FALSE(info.Member(u"Staff", u"alice", 0));
  EXPECT_FALSE(info.Member(u"Admins", u"bob", -1));
  int32_t is = 0;
  EXPECT_TRUE(FAILED(info->IsMember(Bstr(u"NoSuchGroup"), Bstr(u"alice"), -1, &is)));
  EXPECT_EQ(info->IsMember(Bstr(u"Staff"), Bstr(u"alice"), -1, nullptr), E_POINTER);
}

TEST_P(BothAccounts, CyclicGroupsEndAndEachAccountIsReportedOnce) {
  Accounts info(config);
  // CycleA > {bob, CycleB}, CycleB > {carol, CycleA}.
  const std::vector<std::string> members = info.Members(u"CycleA", AccountTypeAny, -1);
  EXPECT_EQ(members.size(), 4u);
  EXPECT_EQ(AsSet(members), (Set{"bob", "CycleB", "carol", "CycleA"}));
  const std::vector<std::string> groups = info.Groups(u"carol", -1);
  EXPECT_EQ(groups.size(), 4u);
  EXPECT_EQ(AsSet(groups), (Set{"Engineers", "Staff", "CycleA", "CycleB"}));
  EXPECT_TRUE(info.Member(u"CycleA", u"carol", -1));
  EXPECT_FALSE(info.Member(u"Staff", u"CycleA", -1));
}

TEST_P(BothAccounts, OrderingsSortByClassThenName) {
  Accounts info(config);
  const Table all = info.Find(u"*", AccountTypeAny, OrderingNone);
  EXPECT_EQ(all.size(), IsLdap() ? 13u : 12u);
  const Table ascending = info.Find(u"*", AccountTypeAny, OrderingAsc);
  EXPECT_EQ(ascending, Sorted(all, false));
  EXPECT_TRUE(text::EqualsNoCase(ascending.front()[1], "group"));
  EXPECT_EQ(info.Find(u"*", AccountTypeAny, OrderingDescUniq), Sorted(all, true));
  EXPECT_EQ(info.Members(u"Staff", AccountTypeAny, -1, OrderingAsc),
            (std::vector<std::string>{"Engineers", "Interns", "alice", "bob", "carol", "dave", "erin"}));
  // "*" stands for any run of characters. The local store compares case;
  // the directory's filter matching of names does not (carol matches too).
  Table cycles = info.Find(u"C*", AccountTypeAny, OrderingDesc);
  ASSERT_EQ(cycles.size(), IsLdap() ? 3u : 2u);
  EXPECT_EQ(cycles[IsLdap() ? 1 : 0][0], "CycleB");
  EXPECT_EQ(info.Find(u"*y*e*", AccountTypeGroup, OrderingAsc).size(), 2u);
}

// ---- LDAP ------------------------------------------------------------------------------

using LdapAccounts = LdapFixture;

TEST_F(LdapAccounts, TypesAndAttributes) {
  Accounts info(config);
  Bstr type;
  for (const char16_t* name : {u"nobody-here", u"a*", u"quor-svc"}) {
    EXPECT_EQ(info->GetAccountType(Bstr(name), &type), dir::E_ADS_UNKNOWN_OBJECT) << text::Narrow(name);
    EXPECT_EQ(ErrorInfoText(), "Account Type Unknown");
  }
  // Strings (a multi-valued one by its last value), integers as unsigned
  // numbers, booleans, and an attribute the account lacks.
  com::Variant values;
  ASSERT_EQ(info->GetAttributes(Bstr(u"alice"),
                                AttributeList({u"mail", u"description", u"userAccountControl",
                                               u"isCriticalSystemObject", u"distinguishedName"}),
                                &values),
            S_OK)
      << ErrorInfoText();
  ASSERT_EQ(values.Type(), com::VT_ARRAY | com::VT_VARIANT);
  EXPECT_EQ(values.Array().Count(1), 5u);
  EXPECT_EQ(At(values, 0).GetBstr(), u"a.archer@quor.test");
  EXPECT_TRUE(At(values, 1).IsEmpty());
  EXPECT_EQ(At(values, 2).GetBstr(), u"512");
  EXPECT_EQ(At(values, 3).GetBstr(), u"False");
  EXPECT_TRUE(dir::DnEquals(At(values, 4).GetBstr().ToUtf8(), "cn=Alice Archer,ou=People,dc=quor,dc=test"));
  ASSERT_EQ(info->GetAttributes(Bstr(u"Staff"), com::Variant(Bstr(u"groupType")), &values), S_OK);
  EXPECT_EQ(At(values, 0).GetBstr(), u"2147483650");
  EXPECT_EQ(info->GetAttributes(Bstr(u"a*"), com::Variant(Bstr(u"cn")), &values), E_FAIL);
  EXPECT_EQ(ErrorInfoText(), "Not Found Attributes");
}

TEST_F(LdapAccounts, NamesAreLiteralExceptForThePatternLookUp) {
  Accounts info(config);
  EXPECT_EQ(info.Type(u"a*(b)\\c"), "user");
  EXPECT_EQ(info.Groups(u"a*(b)\\c", -1), std::vector<std::string>{});
  EXPECT_FALSE(info.Member(u"Staff", u"a*(b)\\c", -1));
  com::Variant list;
  for (const char16_t* group : {u"*", u"S*", u"Staff)(objectCategory=*", u"Staff\\"}) {
    EXPECT_EQ(info->ListMember(Bstr(group), AccountTypeAny, kNameAndClass, 1, 0, &list), dir::E_ADS_UNKNOWN_OBJECT)
        << text::Narrow(group);
    EXPECT_EQ(ErrorInfoText(), "Distinguished Name Unknown");
  }
  // In Lookup "*" keeps its meaning; nothing else does.
  EXPECT_EQ(info.Find(u"a*", AccountTypeUser, OrderingAsc), (Table{{"a*(b)\\c", "user"}, {"alice", "user"}}));
  EXPECT_EQ(info.Find(u"a*(b)\\c", AccountTypeAny, 0), (Table{{"a*(b)\\c", "user"}}));
  EXPECT_EQ(info.Find(u"*)(objectClass=*", AccountTypeAny, 0), Table{});
}

TEST_F(LdapAccounts, AttributeListsOfEveryAcceptedForm) {
  Accounts info(config);
  com::Variant list;
  ASSERT_EQ(info->ListMember(Bstr(u"Admins"), AccountTypeAny, com::Variant(Bstr(u"cn")), 1, 0, &list), S_OK);
  EXPECT_EQ(Rows(list, 1), (Table{{"Alice Archer"}}));
  // Strings by reference; a missing attribute gives an empty string.
  com::SafeArray strings(com::VT_BSTR, {0, 2});
  const int32_t i0[1] = {0}, i1[1] = {1};
  strings.PutElement(i0, com::Variant(Bstr(u"sAMAccountName")));
  strings.PutElement(i1, com::Variant(Bstr(u"displayName")));
  ASSERT_EQ(info->ListMember(Bstr(u"Staff"), AccountTypeUser, com::Variant::ByRef(&strings), 1, OrderingAsc, &list),
            S_OK);
  EXPECT_EQ(Rows(list, 2), (Table{{"alice", "Alice Archer"}, {"bob", ""}}));
  // Variants by reference; one that is not a string names an empty column.
  com::SafeArray mixed(com::VT_VARIANT, {0, 2});
  mixed.PutElement(i0, com::Variant(int32_t{3}));
  mixed.PutElement(i1, com::Variant(Bstr(u"sAMAccountName")));
  com::Variant holder(std::move(mixed));
  ASSERT_EQ(info->Lookup(Bstr(u"bob"), AccountTypeUser, com::Variant::ByRef(&holder), 0, &list), S_OK);
  EXPECT_EQ(Rows(list, 2), (Table{{"", "bob"}}));
  for (const com::Variant& bad : {com::Variant(int32_t{1}), com::Variant(),
                                  com::Variant(com::SafeArray(com::VT_BSTR, {0, 1}, {0, 1}))})
    EXPECT_EQ(info->Lookup(Bstr(u"bob"), AccountTypeUser, bad, 0, &list), E_INVALIDARG);
}

TEST_F(LdapAccounts, RootContextAndNameAttribute) {
  Accounts info(config);
  Bstr root;
  ASSERT_EQ(info->GetRootContext(&root), S_OK);
  EXPECT_EQ(root.ToUtf8(), authority);
  const std::string people = "LDAP://" + host + "/ou=People,dc=quor,dc=test";
  ASSERT_EQ(info->PutRootContext(Bstr::FromUtf8(people)), S_OK) << ErrorInfoText();
  EXPECT_EQ(info.Find(u"*", AccountTypeGroup, 0).size(), 0u);
  EXPECT_EQ(info.Find(u"*", AccountTypeUser, 0).size(), 6u);
  // A root that cannot be bound, and texts that are no LDAP or WinNT
  // authority, leave the root as it was.
  EXPECT_EQ(info->PutRootContext(Bstr::FromUtf8("LDAP://" + host + "/ou=Nowhere,dc=quor,dc=test")),
            dir::kNoSuchObject);
  for (const char16_t* bad : {u"HTTP://example.test", u"LDAP://", u""})
    EXPECT_EQ(info->PutRootContext(Bstr(bad)), E_INVALIDARG) << text::Narrow(bad);
  ASSERT_EQ(info->GetRootContext(&root), S_OK);
  EXPECT_EQ(root.ToUtf8(), people);

  // Names matched by another attribute, or given as DNs.
  ASSERT_EQ(info->PutRootContext(Bstr::FromUtf8(authority)), S_OK);
  ASSERT_EQ(info->PutNameAttr(Bstr(u"userPrincipalName")), S_OK);
  EXPECT_EQ(info.Type(u"erin@different.realm"), "user");
  ASSERT_EQ(info->PutNameAttr(Bstr(u"distinguishedName")), S_OK);
  EXPECT_EQ(AsSet(info.Members(u"cn=Engineers,ou=Groups,dc=quor,dc=test", AccountTypeUser, -1)),
            (Set{"carol", "dave", "erin"}));
  // Only an attribute name goes into a filter.
  EXPECT_EQ(info->PutNameAttr(Bstr(u"cn=*)(objectClass")), E_INVALIDARG);

  // Without a usable default a new object has no root until one is set.
  SetDefaults("LDAP://" + host + "/ou=Nowhere,dc=quor,dc=test", "quor.test");
  ServiceConfig broken;
  Accounts orphan(broken);
  ASSERT_EQ(orphan->GetRootContext(&root), S_OK);
  EXPECT_EQ(root, u"");
  Bstr type;
  EXPECT_EQ(orphan->GetAccountType(Bstr(u"alice"), &type), E_UNEXPECTED);
  ASSERT_EQ(orphan->PutRootContext(Bstr::FromUtf8(authority)), S_OK);
  EXPECT_EQ(orphan.Type(u"alice"), "user");
}

// ---- Local account store --------------------------------------------------------------

using LocalAccounts = AccountStoreFixture;

TEST_F(LocalAccounts, StoreAccountsRootsAndChanges) {
  Accounts info(config);
  EXPECT_EQ(info.Type(u"ALICE"), "User");
  Bstr type;
  EXPECT_EQ(info->GetAccountType(Bstr(u"zed"), &type), dir::kUserNotFound);
  // The path's own separators are no part of a name.
  EXPECT_EQ(info->GetAccountType(Bstr(u"alice,group"), &type), dir::E_ADS_BAD_PATHNAME);
  com::Variant values;
  ASSERT_EQ(info->GetAttributes(Bstr(u"carol"), AttributeList({u"displayName", u"mail", u"objectClass"}), &values),
            S_OK)
      << ErrorInfoText();
  EXPECT_EQ(At(values, 0).GetBstr(), u"Carol Chen");
  EXPECT_TRUE(At(values, 1).IsEmpty());
  EXPECT_EQ(At(values, 2).GetBstr(), u"User");
  EXPECT_EQ(info.Find(u"c*", AccountTypeAny, 0), (Table{{"carol", "User"}}));
  // Uniqueness drops rows whose keys repeat: under another name attribute
  // the store has no sAMAccountName, so one row per class is left.
  ASSERT_EQ(info->PutNameAttr(Bstr(u"Name")), S_OK);
  EXPECT_EQ(info.Find(u"*", AccountTypeAny, OrderingAscUniq).size(), 2u);
  ASSERT_EQ(info->PutNameAttr(Bstr(u"sAMAccountName")), S_OK);

  // A change of the store is seen by the next look-up, the process-wide
  // group list of the root included.
  EXPECT_EQ(AsSet(info.Groups(u"Engineers", -1)), Set{"Staff"});
  ASSERT_EQ(dir::UpdateAccountStore(store,
                                    [](dir::AccountStore& s) -> Status {
                                      QUOR_RETURN_IF_ERROR(s.AddGroup("Everyone", ""));
                                      return s.AddMember("Everyone", "Staff");
                                    })
                .code(),
            S_OK);
  EXPECT_EQ(AsSet(info.Groups(u"Engineers", -1)), (Set{"Staff", "Everyone"}));
  EXPECT_TRUE(info.Member(u"Everyone", u"erin", -1));

  // The computer as the root; an unknown name leaves the root as it was.
  ASSERT_EQ(info->PutRootContext(Bstr(u"winnt://QUORHOST,Computer")), S_OK) << ErrorInfoText();
  EXPECT_EQ(AsSet(info.Groups(u"Interns", 1)), Set{"Engineers"});
  EXPECT_EQ(info->PutRootContext(Bstr(u"WinNT://ELSEWHERE")), dir::kBadNetPath);
  Bstr root;
  ASSERT_EQ(info->GetRootContext(&root), S_OK);
  EXPECT_EQ(root, u"winnt://QUORHOST,Computer");
}

}  // namespace
}  // namespace quor::auth
