// The LDAP provider against the slapd that the test command starts
// (scripts/slapd.sh with scripts/ldap/testdata.ldif). Without
// QUOR_TEST_LDAP_URL these cases are skipped locally and fail under CI.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "platform/directory/directory.h"
#include "testing/Loopback.h"

using namespace quor::dir;

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Fixture data (scripts/ldap/testdata.ldif).
const std::string kBase = "dc=quor,dc=test";
const std::string kAlice = "cn=Alice Archer,ou=People,dc=quor,dc=test";
const std::string kOdd = "cn=a*(b)\\5Cc,ou=People,dc=quor,dc=test";
const std::string kStaff = "cn=Staff,ou=Groups,dc=quor,dc=test";
const std::string kEngineers = "cn=Engineers,ou=Groups,dc=quor,dc=test";
const std::string kTypeUser = "(objectCategory=person)(objectClass=user)";
const std::string kTypeAny = "(|(&(objectCategory=person)(objectClass=user))(objectCategory=group))";

std::set<std::string> Names(const std::vector<Object>& objects) {
  std::set<std::string> out;
  for (const auto& o : objects) out.insert(o.Name());
  return out;
}

std::set<std::string> Column(const std::vector<Row>& rows, const std::string& name) {
  std::set<std::string> out;
  for (const auto& row : rows) {
    Property p;
    if (row.GetColumn(name, p) == S_OK && !p.values.empty()) out.insert(p.values.back());
  }
  return out;
}

class LdapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string url = Env("QUOR_TEST_LDAP_URL");
    if (url.empty()) {
      if (std::getenv("CI")) FAIL() << "QUOR_TEST_LDAP_URL is not set: the test command must start slapd";
      GTEST_SKIP() << "QUOR_TEST_LDAP_URL not set";
    }
    host_ = url.substr(url.find("://") + 3);
    if (host_.back() == '/') host_.pop_back();
    ASSERT_EQ(Env("QUOR_TEST_LDAP_BASE"), kBase);
    options_.serviceUser = Env("QUOR_TEST_LDAP_BIND_DN");
    options_.servicePassword = Env("QUOR_TEST_LDAP_BIND_PASSWORD");
    options_.timeout = std::chrono::seconds(5);
  }

  std::string Path(const std::string& dn) const { return "LDAP://" + host_ + "/" + dn; }

  Object Get(const std::string& dn) {
    Object object;
    EXPECT_EQ(GetObject(Path(dn), options_, object), S_OK) << dn << ": " << LastError().text;
    return object;
  }

  HRESULT SignIn(const std::string& user, const std::string& password, Object* out = nullptr) {
    Object object;
    const HRESULT hr = OpenObject(Path(kBase), user, password, ADS_SECURE_AUTHENTICATION | ADS_READONLY_SERVER,
                                  options_, object);
    if (out) *out = object;
    return hr;
  }

  std::vector<Row> Search(const std::string& filter, std::vector<std::string> attributes, int pageSize = 100) {
    Object base = Get(kBase);
    std::vector<Row> rows;
    SearchOptions options;
    options.pageSize = pageSize;
    EXPECT_EQ(base.Search(filter, attributes, options, rows), S_OK) << filter << ": " << LastError().text;
    return rows;
  }

  std::string host_;
  Options options_;
};

TEST_F(LdapTest, SignInProvesTheCredentialWithTheUsersOwnBind) {
  Object object;
  ASSERT_EQ(SignIn("alice@quor.test", "alice-pw-1", &object), S_OK) << LastError().text;
  EXPECT_EQ(LastError().code, 0u);
  EXPECT_EQ(object.Dn(), kBase);
  EXPECT_EQ(object.Path(), Path(kBase));
  EXPECT_EQ(object.Class(), "organization");
  // The object was read under the user's identity.
  Property o;
  ASSERT_EQ(object.Get("o", o), S_OK);
  EXPECT_EQ(o.values, std::vector<std::string>{"Quor Test"});

  // Wrong password and unknown user: the same status and the same words.
  EXPECT_EQ(SignIn("alice@quor.test", "alice-pw-2"), kLogonFailure);
  EXPECT_EQ(LastError().code, 49u);
  EXPECT_EQ(LastError().provider, "LDAP Provider");
  const std::string wrongPassword = LastError().text;
  EXPECT_EQ(SignIn("zed@quor.test", "alice-pw-1"), kLogonFailure);
  EXPECT_EQ(LastError().code, 49u);
  EXPECT_EQ(LastError().text.substr(LastError().text.find(':')),
            wrongPassword.substr(wrongPassword.find(':')));
}

TEST_F(LdapTest, EmptyCredentialIsRefusedBeforeAnythingIsSent) {
  // Port 9 on loopback has no server: reaching it would give kServerDown.
  const std::string nowhere = "LDAP://127.0.0.1:9/" + kBase;
  Object object;
  EXPECT_EQ(OpenObject(nowhere, "alice@quor.test", "", 0, options_, object), kLogonFailure);
  EXPECT_FALSE(object.IsBound());
  EXPECT_EQ(OpenObject(nowhere, "", "alice-pw-1", 0, options_, object), kLogonFailure);
  EXPECT_EQ(OpenObject(nowhere, "alice@quor.test", "alice-pw-1", 0, options_, object), kServerDown);
  // Against the real server an empty password binds nobody either.
  EXPECT_EQ(SignIn("alice@quor.test", ""), kLogonFailure);
  EXPECT_EQ(SignIn(kAlice, ""), kLogonFailure);
}

TEST_F(LdapTest, SignInNamesResolveToExactlyOneUser) {
  EXPECT_EQ(SignIn("alice", "alice-pw-1"), S_OK) << LastError().text;
  EXPECT_EQ(SignIn("QUOR\\alice", "alice-pw-1"), S_OK) << LastError().text;
  EXPECT_EQ(SignIn("quor.test\\alice", "alice-pw-1"), S_OK) << LastError().text;
  EXPECT_EQ(SignIn("ALICE@QUOR.TEST", "alice-pw-1"), S_OK) << LastError().text;
  EXPECT_EQ(SignIn("cn=Bob Baker,ou=People,dc=quor,dc=test", "bob-pw-2"), S_OK) << LastError().text;
  // Erin's principal name has another realm; the account name works in this one.
  EXPECT_EQ(SignIn("erin@different.realm", "erin-pw-6"), S_OK) << LastError().text;
  EXPECT_EQ(SignIn("erin@quor.test", "erin-pw-6"), S_OK) << LastError().text;
  EXPECT_EQ(SignIn("erin@elsewhere.test", "erin-pw-6"), kLogonFailure);
  EXPECT_EQ(SignIn("OTHER\\alice", "alice-pw-1"), kLogonFailure);
  // The service account is not a user.
  EXPECT_EQ(SignIn("quor-svc", "quor-svc-pw"), kLogonFailure);
}

TEST_F(LdapTest, FilterMetacharactersInNamesAreLiteral) {
  // A pattern must not pick Alice for a name that merely starts like hers.
  EXPECT_EQ(SignIn("al*", "alice-pw-1"), kLogonFailure);
  EXPECT_EQ(SignIn("*", "alice-pw-1"), kLogonFailure);
  EXPECT_EQ(SignIn("al*@quor.test", "alice-pw-1"), kLogonFailure);
  EXPECT_EQ(SignIn("alice)(sAMAccountName=*", "alice-pw-1"), kLogonFailure);
  // The user whose name is made of metacharacters signs in by both names.
  EXPECT_EQ(SignIn("a*(b)\\c", "odd-pw-5"), kLogonFailure) << "realm 'a*(b)' is not this directory";
  EXPECT_EQ(SignIn("a*(b)\\c@quor.test", "odd-pw-5"), S_OK) << LastError().text;

  auto rows = Search("(&" + kTypeUser + "(sAMAccountName=" + EscapeFilterValue("a*(b)\\c") + "))", {"cn"});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(DnEquals(rows[0].dn, kOdd));
  // Only where a pattern is asked for does '*' match anything.
  EXPECT_EQ(Column(Search("(&" + kTypeUser + "(sAMAccountName=" + EscapeFilterPattern("a*") + "))",
                          {"sAMAccountName"}),
                   "sAMAccountName"),
            (std::set<std::string>{"alice", "a*(b)\\c"}));
  EXPECT_TRUE(Search("(&" + kTypeUser + "(sAMAccountName=" + EscapeFilterValue("a*") + "))", {"cn"}).empty());

  // The raw name is not a filter at all.
  std::vector<Row> bad;
  EXPECT_EQ(Get(kBase).Search("(sAMAccountName=a*(b)\\c)", std::vector<std::string>{"cn"}, {}, bad),
            E_ADS_INVALID_FILTER);
}

TEST_F(LdapTest, ServiceIdentityComesFromTheOptions) {
  Options wrong = options_;
  wrong.servicePassword = "not-it";
  Object object;
  EXPECT_EQ(GetObject(Path(kBase), wrong, object), kLogonFailure);
  wrong.servicePassword.clear();
  EXPECT_EQ(GetObject(Path(kBase), wrong, object), kLogonFailure);
  // Anonymous binds succeed, but the fixture shows entries to bound users only.
  Options anonymous = options_;
  anonymous.serviceUser.clear();
  anonymous.servicePassword.clear();
  EXPECT_EQ(GetObject(Path(kBase), anonymous, object), kNoSuchObject);
  EXPECT_EQ(LastError().code, 32u);
  // A path without a DN names the server's naming context.
  ASSERT_EQ(GetObject("LDAP://" + host_, options_, object), S_OK) << LastError().text;
  EXPECT_EQ(object.Dn(), kBase);
}

TEST_F(LdapTest, ObjectPropertiesAreTypedFromTheSchema) {
  Object alice = Get(kAlice);
  EXPECT_EQ(alice.Class(), "user");
  EXPECT_EQ(alice.Name(), "cn=Alice Archer");
  EXPECT_EQ(alice.Parent(), Path("ou=People,dc=quor,dc=test"));

  Property p;
  ASSERT_EQ(alice.Get("objectClass", p), S_OK);
  EXPECT_EQ(p.values, (std::vector<std::string>{"top", "person", "organizationalPerson", "user"}));
  ASSERT_EQ(alice.Get("samaccountname", p), S_OK);
  EXPECT_EQ(p.type, AdsType::CaseIgnoreString);
  EXPECT_EQ(p.values, std::vector<std::string>{"alice"});
  ASSERT_EQ(alice.Get("mail", p), S_OK);
  EXPECT_EQ(p.values, (std::vector<std::string>{"alice@quor.test", "a.archer@quor.test"}));
  ASSERT_EQ(alice.Get("userAccountControl", p), S_OK);
  EXPECT_EQ(p.type, AdsType::Integer);
  EXPECT_EQ(p.AsInteger(), 512);
  ASSERT_EQ(alice.Get("isCriticalSystemObject", p), S_OK);
  EXPECT_EQ(p.type, AdsType::Boolean);
  EXPECT_EQ(p.AsBool(), false);
  ASSERT_EQ(alice.Get("memberOf", p), S_OK);
  EXPECT_EQ(p.type, AdsType::DnString);
  EXPECT_EQ(p.values.size(), 2u);
  ASSERT_EQ(alice.Get("distinguishedName", p), S_OK);
  EXPECT_EQ(p.type, AdsType::DnString);
  EXPECT_EQ(p.values, std::vector<std::string>{kAlice});
  ASSERT_EQ(alice.Get("createTimestamp", p), S_OK);
  EXPECT_EQ(p.type, AdsType::UtcTime);

  EXPECT_EQ(alice.Get("description", p), E_ADS_PROPERTY_NOT_FOUND);
  // The service may not read password hashes.
  EXPECT_EQ(alice.Get("userPassword", p), E_ADS_PROPERTY_NOT_FOUND);

  Object missing;
  EXPECT_EQ(GetObject(Path("cn=Nobody Here,ou=People,dc=quor,dc=test"), options_, missing), kNoSuchObject);
  EXPECT_EQ(GetObject(Path("cn=broken,,dc=quor"), options_, missing), kInvalidDnSyntax);
}

TEST_F(LdapTest, ContainersEnumerateTheirChildrenByClass) {
  std::vector<Object> children;
  const std::string user = "user", group = "group", ou = "organizationalUnit";
  ASSERT_EQ(Get("ou=People,dc=quor,dc=test").Children(std::span(&user, 1), children), S_OK);
  EXPECT_EQ(Names(children), (std::set<std::string>{"cn=Alice Archer", "cn=Bob Baker", "cn=Carol Chen",
                                                     "cn=Dave Dunn", "cn=Erin Ellis", "cn=a*(b)\\5Cc"}));
  for (const auto& c : children) EXPECT_EQ(c.Class(), "user");
  ASSERT_EQ(Get("ou=People,dc=quor,dc=test").Children(std::span(&group, 1), children), S_OK);
  EXPECT_TRUE(children.empty());
  ASSERT_EQ(Get(kBase).Children({}, children), S_OK);
  EXPECT_EQ(Names(children), (std::set<std::string>{"ou=People", "ou=Groups", "ou=Services"}));
  const std::vector<std::string> both = {group, ou};
  ASSERT_EQ(Get(kBase).Children(both, children), S_OK);
  EXPECT_EQ(children.size(), 3u);
}

TEST_F(LdapTest, GroupsListDirectMembersAndAnswerMembership) {
  Object staff = Get(kStaff);
  std::vector<Object> members;
  ASSERT_EQ(staff.Members(members), S_OK);
  EXPECT_EQ(Names(members), (std::set<std::string>{"cn=Alice Archer", "cn=Bob Baker", "cn=Engineers"}));
  bool is = false;
  ASSERT_EQ(staff.IsMember(Path(kAlice), is), S_OK);
  EXPECT_TRUE(is);
  // DNs compare without case; membership is direct only.
  ASSERT_EQ(staff.IsMember(Path("CN=alice archer,OU=people,DC=quor,DC=test"), is), S_OK);
  EXPECT_TRUE(is);
  ASSERT_EQ(staff.IsMember(Path("cn=Carol Chen,ou=People,dc=quor,dc=test"), is), S_OK);
  EXPECT_FALSE(is);
  ASSERT_EQ(Get(kEngineers).IsMember(Path("cn=Carol Chen,ou=People,dc=quor,dc=test"), is), S_OK);
  EXPECT_TRUE(is);

  ASSERT_EQ(Get("cn=Nobody,ou=Groups,dc=quor,dc=test").Members(members), S_OK);
  EXPECT_TRUE(members.empty());
  EXPECT_EQ(Get(kAlice).Members(members), E_NOINTERFACE);

  std::vector<Object> groups;
  ASSERT_EQ(Get(kAlice).Groups(groups), S_OK);
  EXPECT_EQ(Names(groups), (std::set<std::string>{"cn=Staff", "cn=Admins"}));
  ASSERT_EQ(Get(kEngineers).Groups(groups), S_OK);
  EXPECT_EQ(Names(groups), std::set<std::string>{"cn=Staff"});
}

TEST_F(LdapTest, NestedAndCyclicGroupsAreVisibleAsData) {
  const std::string a = "cn=CycleA,ou=Groups,dc=quor,dc=test", b = "cn=CycleB,ou=Groups,dc=quor,dc=test";
  bool is = false;
  ASSERT_EQ(Get(a).IsMember(Path(b), is), S_OK);
  EXPECT_TRUE(is);
  ASSERT_EQ(Get(b).IsMember(Path(a), is), S_OK);
  EXPECT_TRUE(is);
  // memberOf, kept by the server, shows the same cycle and the nesting.
  EXPECT_EQ(Column(Search("(memberOf=" + EscapeFilterValue(a) + ")", {"sAMAccountName"}), "sAMAccountName"),
            (std::set<std::string>{"bob", "CycleB"}));
  EXPECT_EQ(Column(Search("(memberOf=" + EscapeFilterValue(kStaff) + ")", {"sAMAccountName"}), "sAMAccountName"),
            (std::set<std::string>{"alice", "bob", "Engineers"}));
  EXPECT_EQ(Column(Search("(&(objectCategory=group)(member=" + EscapeFilterValue(kEngineers) + "))",
                          {"distinguishedName"}),
                   "distinguishedName"),
            std::set<std::string>{kStaff});
}

TEST_F(LdapTest, SearchesReturnTypedColumnsInTheOrderAsked) {
  auto rows = Search("(&" + kTypeUser + ")", {"objectClass", "sAMAccountName", "distinguishedName", "ADsPath"}, 2);
  ASSERT_EQ(rows.size(), 6u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.columns.size(), 4u);
    EXPECT_EQ(row.columns[0].name, "objectClass");
    EXPECT_EQ(row.columns[0].values.back(), "user");
    EXPECT_EQ(row.columns[1].name, "sAMAccountName");
    EXPECT_EQ(row.columns[2].type, AdsType::DnString);
    EXPECT_EQ(row.columns[2].values, std::vector<std::string>{row.dn});
    EXPECT_EQ(row.columns[3].values, std::vector<std::string>{Path(row.dn)});
  }
  // Pages of two give the same rows as one request.
  EXPECT_EQ(Column(rows, "sAMAccountName"), Column(Search("(&" + kTypeUser + ")", {"sAMAccountName"}, 0),
                                                   "sAMAccountName"));

  // A missing attribute leaves its column unset; a supertype brings no subtypes.
  rows = Search("(&" + kTypeAny + "(|(sAMAccountName=alice)(sAMAccountName=Staff)))",
                {"sAMAccountName", "description", "name", "groupType"});
  ASSERT_EQ(rows.size(), 2u);
  for (const auto& row : rows) {
    Property p;
    ASSERT_EQ(row.GetColumn("sAMAccountName", p), S_OK);
    EXPECT_EQ(row.GetColumn("name", p), E_ADS_COLUMN_NOT_SET);
    EXPECT_EQ(row.GetColumn("cn", p), E_ADS_COLUMN_NOT_SET);
    if (DnEquals(row.dn, kStaff)) {
      ASSERT_EQ(row.GetColumn("description", p), S_OK);
      ASSERT_EQ(row.GetColumn("groupType", p), S_OK);
      EXPECT_EQ(p.AsInteger(), -2147483646);
    } else {
      EXPECT_EQ(row.GetColumn("description", p), E_ADS_COLUMN_NOT_SET);
    }
  }

  // A size limit stops the rows, across pages too.
  Object base = Get(kBase);
  SearchOptions limited;
  limited.pageSize = 2;
  limited.sizeLimit = 3;
  ASSERT_EQ(base.Search("(&" + kTypeUser + ")", std::vector<std::string>{"cn"}, limited, rows), S_OK);
  EXPECT_EQ(rows.size(), 3u);
}

TEST_F(LdapTest, DistinguishedNameInAFilterMeansTheEntryItself) {
  // On this server distinguishedName is the supertype of member: taken
  // literally, the filter would find the groups that list Alice.
  auto rows = Search("(&" + kTypeAny + "(distinguishedName=" + EscapeFilterValue(kAlice) + "))", {"sAMAccountName"});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(Column(rows, "sAMAccountName"), std::set<std::string>{"alice"});
  rows = Search("(distinguishedName=" + EscapeFilterValue(kOdd) + ")", {"sAMAccountName"});
  EXPECT_EQ(Column(rows, "sAMAccountName"), std::set<std::string>{"a*(b)\\c"});
}

TEST_F(LdapTest, TlsIsRequiredAwayFromLoopback) {
  Options plain = options_;
  plain.tls = TlsMode::None;
  Object object;
  const auto start = std::chrono::steady_clock::now();
  // A documentation address: nothing answers there, so only a refusal made
  // before connecting comes back at once.
  EXPECT_EQ(OpenObject("LDAP://192.0.2.10/" + kBase, "alice@quor.test", "alice-pw-1", 0, plain, object),
            kStrongAuthRequired);
  EXPECT_EQ(GetObject("LDAP://[2001:db8::1]:389/" + kBase, plain, object), kStrongAuthRequired);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(LastError().code, 8u);
  // Loopback is allowed in the clear.
  EXPECT_EQ(GetObject(Path(kBase), plain, object), S_OK) << LastError().text;
}

TEST_F(LdapTest, StartTlsTrustsOnlyTheConfiguredAuthority) {
  const std::string ca = Env("QUOR_TEST_LDAP_CA");
  if (ca.empty()) GTEST_SKIP() << "QUOR_TEST_LDAP_CA not set";
  Options tls = options_;
  tls.tls = TlsMode::StartTls;
  tls.caFile = ca;
  Object object;
  ASSERT_EQ(OpenObject(Path(kBase), "bob", "bob-pw-2", 0, tls, object), S_OK) << LastError().text;
  EXPECT_EQ(OpenObject(Path(kBase), "bob", "wrong", 0, tls, object), kLogonFailure);
  // The run's own authority is unknown to the system's trust store.
  tls.caFile.clear();
  EXPECT_EQ(OpenObject(Path(kBase), "bob", "bob-pw-2", 0, tls, object), kServerDown);
  EXPECT_FALSE(object.IsBound());
  // ldaps to the plain port fails in the handshake, never falling back.
  EXPECT_EQ(OpenObject(Path(kBase), "bob", "bob-pw-2", ADS_USE_SSL, options_, object), kServerDown);
}

TEST_F(LdapTest, ServersThatDoNotAnswerFailWithinTheTimeout) {
  // Accepts connections (the kernel's backlog) but never answers.
  const quor::test::SilentListener listener;
  ASSERT_NE(listener.Port(), 0);
  const std::string silent = "LDAP://127.0.0.1:" + std::to_string(listener.Port()) + "/" + kBase;

  Options quick = options_;
  quick.timeout = std::chrono::seconds(1);
  Object object;
  const auto start = std::chrono::steady_clock::now();
  const HRESULT hr = OpenObject(silent, "alice", "alice-pw-1", 0, quick, object);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(hr == kTimeout || hr == kServerDown) << std::hex << hr;
  EXPECT_LT(took, std::chrono::seconds(4));
  EXPECT_GE(took, std::chrono::milliseconds(900));
}

}  // namespace
