// Administrators, users and groups as the service core answers them with the
// real authentication component: lib/libQuorAuth.so registered with
// quor-regsvr into the test's registry and reached through AuthAccessor.
// Each case runs over the slapd of the test run (scripts/test.sh exports its
// address; without it these cases are skipped locally and fail under CI) and
// over a local account store beside the registry file, both holding the same
// accounts: Staff > {alice, bob, Engineers}, Engineers > {carol, dave,
// Interns}, Interns > {erin}, Admins > {alice}, Nobody, CycleA <> CycleB
// (CycleA > bob, CycleB > carol).
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "auth/isession.h"
#include "core/QuorServiceUtils.h"
#include "core/ServiceModule.h"
#include "core/StatusCodes.h"
#include "core/tests/TestInstance.h"
#include "platform/com/classstore.h"
#include "platform/com/errorinfo.h"
#include "platform/directory/accounts.h"
#include "platform/registry/registry.h"

extern char** environ;

using namespace quor;
using namespace quor::core;
using quor::core::testing::TestInstance;

namespace {

constexpr std::string_view kVelt = "SOFTWARE\\Velt";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

int RunRegsvr(std::vector<std::string> args) {
  std::string program = std::string(QUOR_BIN_DIR) + "/quor-regsvr";
  std::vector<char*> argv{program.data()};
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void SetValue(std::string_view key, std::string_view name, std::string_view value) {
  reg::Key k;
  ASSERT_EQ(reg::Win32Error(k.Create(reg::Hive::LocalMachine, key)), reg::ERROR_SUCCESS);
  ASSERT_EQ(reg::Win32Error(k.SetString(name, value)), reg::ERROR_SUCCESS);
}

std::string ErrorInfoText() {
  auto info = com::GetErrorInfo();
  return info ? info->description.ToUtf8() : std::string("(no error information)");
}

enum class Backend { Ldap, AccountStore };

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::Ldap ? "Ldap" : "AccountStore";
}

class AuthComponentTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Every object of the component is released here, so that it may be
    // unloaded: its process-wide defaults go with it.
    utils_.reset();
    auth_.reset();
    com::CoFreeUnusedLibraries();
  }

  void Register() { ASSERT_EQ(RunRegsvr({std::string(QUOR_LIB_DIR) + "/libQuorAuth.so"}), 0); }

  // The test run's slapd, as the authority LDAP://<host>/dc=quor,dc=test.
  void UseLdap() {
    const std::string url = Env("QUOR_TEST_LDAP_URL");
    if (url.empty()) {
      if (std::getenv("CI")) FAIL() << "QUOR_TEST_LDAP_URL is not set: the test command must start slapd";
      GTEST_SKIP() << "QUOR_TEST_LDAP_URL not set";
    }
    host_ = url.substr(url.find("://") + 3);
    if (!host_.empty() && host_.back() == '/') host_.pop_back();
    ASSERT_EQ(Env("QUOR_TEST_LDAP_BASE"), "dc=quor,dc=test");
    root_ = "LDAP://" + host_ + "/dc=quor,dc=test";
    SetValue(kVelt, "DefaultAuthority", root_);
    SetValue(kVelt, "DefaultRealm", "quor.test");
    SetValue("SOFTWARE\\Velt\\Directory", "ServiceUser", Env("QUOR_TEST_LDAP_BIND_DN"));
    SetValue("SOFTWARE\\Velt\\Directory", "ServicePassword", Env("QUOR_TEST_LDAP_BIND_PASSWORD"));
  }

  // A local account store "<registry>.accounts", domain QUORDOM, computer
  // QUORHOST, with the accounts of the LDAP data.
  void UseAccountStore() {
    const std::string store = instance_.registry() + ".accounts";
    ASSERT_EQ(dir::CreateAccountStore(store, "QUORDOM", "QUORHOST", 1000).code(), S_OK);
    const Status rc = dir::UpdateAccountStore(store, [](dir::AccountStore& s) -> Status {
      const std::pair<const char*, const char*> users[] = {
          {"alice", "alice-pw-1"}, {"bob", "bob-pw-2"}, {"carol", "carol-pw-3"}, {"dave", "dave-pw-4"},
          {"erin", "erin-pw-6"}};
      for (const auto& [name, password] : users)
        QUOR_RETURN_IF_ERROR(s.AddUser(name, "", "", password));
      for (const char* group : {"Staff", "Engineers", "Interns", "Admins", "Nobody", "CycleA", "CycleB"})
        QUOR_RETURN_IF_ERROR(s.AddGroup(group, ""));
      const std::pair<const char*, const char*> members[] = {
          {"Staff", "alice"},    {"Staff", "bob"},         {"Staff", "Engineers"}, {"Engineers", "carol"},
          {"Engineers", "dave"}, {"Engineers", "Interns"}, {"Interns", "erin"},    {"Admins", "alice"},
          {"CycleA", "bob"},     {"CycleA", "CycleB"},     {"CycleB", "carol"},    {"CycleB", "CycleA"}};
      for (const auto& [group, member] : members) QUOR_RETURN_IF_ERROR(s.AddMember(group, member));
      return {};
    });
    ASSERT_EQ(rc.code(), S_OK) << rc.message();
    root_ = "WinNT://QUORDOM";
    SetValue(kVelt, "DefaultAuthority", root_);
    SetValue(kVelt, "DefaultRealm", "QUORDOM");
  }

  void Set(std::string_view name, std::string_view value) { SetValue(kServiceKey, name, value); }

  // What the first component instance of a process does: the registry lists
  // are read, then the accessor is made.
  AuthAccessor& Connect() {
    CServiceConfig& settings = settings_;
    utils_.reset();
    auth_.reset();
    com::CoFreeUnusedLibraries();
    settings.ReadAdminUsers();
    settings.ReadUserGroups();
    settings.ReadAdminGroupName();
    auth_ = std::make_unique<AuthAccessor>();
    utils_ = std::make_unique<CQuorServiceUtils>(settings_, auth_.get());
    return *auth_;
  }

  std::string Xml(Status (CQuorServiceUtils::*list)(com::Bstr&) const) {
    com::Bstr xml;
    EXPECT_EQ(((*utils_).*list)(xml).code(), S_OK) << ErrorInfoText();
    return xml.ToUtf8();
  }
  std::string GroupUsers(std::u16string_view group) {
    com::Bstr xml;
    EXPECT_EQ(utils_->ListGroupUsers(com::Bstr(group), xml).code(), S_OK) << ErrorInfoText();
    return xml.ToUtf8();
  }
  std::string OwnGroups(std::u16string_view user) {
    com::Bstr xml;
    EXPECT_EQ(utils_->ListOwnGroups(com::Bstr(user), xml).code(), S_OK) << ErrorInfoText();
    return xml.ToUtf8();
  }
  bool Admin(std::u16string_view user) const { return utils_->IsAdministrator(com::Bstr(user)); }

  TestInstance instance_;
  CServiceConfig settings_;
  std::unique_ptr<AuthAccessor> auth_;
  // Without an accessor until Connect makes one.
  std::unique_ptr<CQuorServiceUtils> utils_ = std::make_unique<CQuorServiceUtils>(settings_, nullptr);
  std::string host_;  // LDAP
  std::string root_;  // the directory's root context
};

// The component registered, over either directory.
class DirectoryAccounts : public AuthComponentTest, public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::Ldap)
      UseLdap();
    else
      UseAccountStore();
    if (HasFatalFailure() || IsSkipped()) return;
    Register();
  }
  bool IsLdap() const { return GetParam() == Backend::Ldap; }
};

INSTANTIATE_TEST_SUITE_P(Directories, DirectoryAccounts, ::testing::Values(Backend::Ldap, Backend::AccountStore),
                         BackendName);

}  // namespace

// ---- When the accessor is ready -------------------------------------------------------

TEST_F(AuthComponentTest, NotReadyWhileTheComponentIsNotRegistered) {
  UseAccountStore();
  Set("RootContext", root_);
  Set("AdminGroupName", "Admins");
  AuthAccessor& accessor = Connect();
  EXPECT_FALSE(accessor.IsReady());

  com::Bstr full, ticket, context;
  EXPECT_EQ(accessor.CreateTicket(com::Bstr(u""), com::Bstr(u""), com::Bstr(u"alice"), com::Bstr(u"alice-pw-1"), full,
                                  ticket).code(),
            QS_E_AUTH_SERVER_CONNECT_FAILED);
  EXPECT_EQ(accessor.GetRootContext(context).code(), QS_E_AUTH_SERVER_CONNECT_FAILED);
  int16_t member = 1;
  EXPECT_EQ(accessor.IsMember(com::Bstr(u"Admins"), com::Bstr(u"alice"), -1, member).code(),
            QS_E_AUTH_SERVER_CONNECT_FAILED);
  EXPECT_EQ(member, 0);
  NameList names{"stale"};
  EXPECT_EQ(accessor.ListAllGroups(ORDER_ASCENDING_UNIQUE, names).code(), QS_E_AUTH_SERVER_CONNECT_FAILED);
  EXPECT_EQ(names, NameList{"stale"});

  // Local mode: no AdminUsers, so only "administrator"; the group name is
  // not consulted.
  EXPECT_TRUE(Admin(u"administrator"));
  EXPECT_FALSE(Admin(u"alice"));
  EXPECT_EQ(Xml(&CQuorServiceUtils::ListGroups), "<root/>");
}

TEST_P(DirectoryAccounts, ReadyOnlyWithARootContext) {
  {
    // Without RootContext: not ready, but sign-in still works.
    AuthAccessor& accessor = Connect();
    EXPECT_FALSE(accessor.IsReady());
    com::Bstr full, ticket;
    ASSERT_EQ(accessor.CreateTicket(com::Bstr(u""), com::Bstr(u""), com::Bstr(u"alice"), com::Bstr(u"alice-pw-1"),
                                    full, ticket).code(),
              S_OK)
        << ErrorInfoText();
    EXPECT_FALSE(ticket.Empty());
    EXPECT_EQ(full.ToUtf8(), IsLdap() ? "alice@quor.test" : "QUORDOM\\alice");
  }

  Set("RootContext", "");
  EXPECT_FALSE(Connect().IsReady());

  Set("RootContext", root_);
  AuthAccessor& accessor = Connect();
  EXPECT_TRUE(accessor.IsReady());
  com::Bstr context;
  ASSERT_EQ(accessor.GetRootContext(context).code(), S_OK);
  EXPECT_EQ(context.ToUtf8(), root_);
}

TEST_P(DirectoryAccounts, TheConfiguredRootContextReplacesTheComponentDefault) {
  // The component starts from DefaultAuthority; the core's RootContext wins.
  const std::string other = IsLdap() ? "LDAP://" + host_ + "/ou=Groups,dc=quor,dc=test" : "WinNT://QUORHOST";
  SetValue(kVelt, "DefaultAuthority", other);
  Set("RootContext", root_);
  AuthAccessor& accessor = Connect();
  ASSERT_TRUE(accessor.IsReady());
  com::Bstr context;
  ASSERT_EQ(accessor.GetRootContext(context).code(), S_OK);
  EXPECT_EQ(context.ToUtf8(), root_);
  // erin lives outside ou=Groups: only the configured root finds her.
  EXPECT_EQ(OwnGroups(u"erin"), "<root><group>Engineers</group><group>Interns</group><group>Staff</group></root>");
}

TEST_P(DirectoryAccounts, AnUnusableRootContextLeavesTheRegistryListsInCharge) {
  Set("RootContext", IsLdap() ? "LDAP://" + host_ + "/ou=Missing,dc=quor,dc=test" : "WinNT://ELSEWHERE");
  Set("AdminUsers", "bob");
  Set("AdminGroupName", "Admins");
  reg::Key groups;
  ASSERT_EQ(reg::Win32Error(groups.Create(reg::Hive::LocalMachine, kUserGroupKey)), reg::ERROR_SUCCESS);
  EXPECT_TRUE(groups.SetString("Editors", "alice").ok());
  AuthAccessor& accessor = Connect();
  EXPECT_FALSE(accessor.IsReady());

  EXPECT_TRUE(Admin(u"bob"));
  EXPECT_FALSE(Admin(u"alice"));
  EXPECT_EQ(Xml(&CQuorServiceUtils::ListAdminUsers), "<root><user>bob</user></root>");
  EXPECT_EQ(Xml(&CQuorServiceUtils::ListGroups), "<root><group>Editors</group></root>");
  EXPECT_FALSE(utils_->IsGroup(com::Bstr(u"Staff")));
  EXPECT_EQ(GroupUsers(u"Staff"), "<root/>");
  EXPECT_EQ(OwnGroups(u"alice"), "<root><group>Editors</group></root>");

  // Tickets do not need the directory lists.
  com::Bstr full, ticket;
  EXPECT_EQ(accessor.CreateTicket(com::Bstr(u""), com::Bstr(u""), com::Bstr(u"bob"), com::Bstr(u"bob-pw-2"), full,
                                  ticket).code(),
            S_OK)
      << ErrorInfoText();
}

// ---- Directory mode ---------------------------------------------------------------------

TEST_P(DirectoryAccounts, AdministratorsAreTheMembersOfTheAdminGroup) {
  Set("RootContext", root_);
  Set("AdminUsers", "bob,administrator");
  Set("AdminGroupName", "Admins");
  ASSERT_TRUE(Connect().IsReady());
  EXPECT_TRUE(Admin(u"alice"));
  // The AdminUsers list is not consulted while a group is named.
  EXPECT_FALSE(Admin(u"bob"));
  EXPECT_FALSE(Admin(u"administrator"));
  EXPECT_FALSE(Admin(u"nobody-at-all"));
  EXPECT_EQ(Xml(&CQuorServiceUtils::ListAdminUsers), "<root><user>alice</user></root>");

  // Nested members count, and each is listed once.
  Set("AdminGroupName", "Staff");
  ASSERT_TRUE(Connect().IsReady());
  EXPECT_TRUE(Admin(u"erin"));
  EXPECT_TRUE(Admin(u"bob"));
  EXPECT_EQ(Xml(&CQuorServiceUtils::ListAdminUsers),
            "<root><user>alice</user><user>bob</user><user>carol</user><user>dave</user><user>erin</user></root>");

  Set("AdminGroupName", "Nobody");
  ASSERT_TRUE(Connect().IsReady());
  EXPECT_FALSE(Admin(u"alice"));
  EXPECT_EQ(Xml(&CQuorServiceUtils::ListAdminUsers), "<root/>");

  // A name that is not a group: no administrators, and the list is refused
  // with its output left alone.
  for (const char* name : {"alice", "NoSuchGroup"}) {
    Set("AdminGroupName", name);
    ASSERT_TRUE(Connect().IsReady());
    EXPECT_FALSE(Admin(u"alice")) << name;
    com::Bstr xml(u"untouched");
    EXPECT_EQ(utils_->ListAdminUsers(xml).code(), QS_E_GROUP_NAME_INVALID) << name;
    EXPECT_EQ(xml, u"untouched");
  }

  // No group named: the AdminUsers list decides, as in local mode.
  Set("AdminGroupName", "");
  ASSERT_TRUE(Connect().IsReady());
  EXPECT_TRUE(Admin(u"bob"));
  EXPECT_TRUE(Admin(u"administrator"));
  EXPECT_FALSE(Admin(u"alice"));
  EXPECT_EQ(Xml(&CQuorServiceUtils::ListAdminUsers), "<root><user>bob</user><user>administrator</user></root>");
}

TEST_P(DirectoryAccounts, GroupsAndMembersComeFromTheDirectory) {
  Set("RootContext", root_);
  reg::Key local;
  ASSERT_EQ(reg::Win32Error(local.Create(reg::Hive::LocalMachine, kUserGroupKey)), reg::ERROR_SUCCESS);
  EXPECT_TRUE(local.SetString("Editors", "alice").ok());
  ASSERT_TRUE(Connect().IsReady());

  EXPECT_TRUE(utils_->IsGroup(com::Bstr(u"Staff")));
  EXPECT_TRUE(utils_->IsGroup(com::Bstr(u"Nobody")));
  EXPECT_FALSE(utils_->IsGroup(com::Bstr(u"alice")));
  EXPECT_FALSE(utils_->IsGroup(com::Bstr(u"Editors")));  // only in the registry

  EXPECT_TRUE(utils_->IsGroupMember(com::Bstr(u"Staff"), com::Bstr(u"erin")));  // two levels down
  EXPECT_TRUE(utils_->IsGroupMember(com::Bstr(u"Staff"), com::Bstr(u"Interns")));
  EXPECT_FALSE(utils_->IsGroupMember(com::Bstr(u"Interns"), com::Bstr(u"carol")));
  EXPECT_TRUE(utils_->IsGroupMember(com::Bstr(u"CycleA"), com::Bstr(u"carol")));  // through the cycle
  EXPECT_FALSE(utils_->IsGroupMember(com::Bstr(u"CycleA"), com::Bstr(u"alice")));
  EXPECT_FALSE(utils_->IsGroupMember(com::Bstr(u"Editors"), com::Bstr(u"alice")));

  // What the frame resolves once, before any store, answers as the look-ups
  // made one by one do.
  for (std::u16string_view user : {u"alice", u"bob", u"carol", u"dave", u"erin", u"Interns", u"nobody-at-all"}) {
    const Caller caller = utils_->ResolveCaller(com::Bstr(user));
    EXPECT_EQ(caller.administrator, Admin(user));
    for (std::u16string_view group : {u"Admins", u"CycleA", u"CycleB", u"Engineers", u"Interns", u"Nobody", u"Staff",
                                      u"staff", u"Editors", u"alice"}) {
      const com::Bstr name(group);
      EXPECT_EQ(caller.InGroup(group), utils_->IsGroup(name) && utils_->IsGroupMember(name, com::Bstr(user)))
          << text::Narrow(user) << " in " << text::Narrow(group);
    }
  }

  EXPECT_EQ(Xml(&CQuorServiceUtils::ListGroups),
            "<root><group>Admins</group><group>CycleA</group><group>CycleB</group><group>Engineers</group>"
            "<group>Interns</group><group>Nobody</group><group>Staff</group></root>");

  // Users only, nested groups walked, sorted, each once.
  EXPECT_EQ(GroupUsers(u"Engineers"), "<root><user>carol</user><user>dave</user><user>erin</user></root>");
  EXPECT_EQ(GroupUsers(u"Staff"),
            "<root><user>alice</user><user>bob</user><user>carol</user><user>dave</user><user>erin</user></root>");
  EXPECT_EQ(GroupUsers(u"CycleB"), "<root><user>bob</user><user>carol</user></root>");
  EXPECT_EQ(GroupUsers(u"Nobody"), "<root/>");
  for (std::u16string_view notGroup : {u"Editors", u"alice", u"NoSuchGroup"}) {
    com::Bstr xml(u"untouched");
    EXPECT_EQ(utils_->ListGroupUsers(com::Bstr(notGroup), xml).code(), QS_E_GROUP_NAME_INVALID);
    EXPECT_EQ(xml, u"untouched");
  }

  // Every group above the user, however far.
  EXPECT_EQ(OwnGroups(u"erin"), "<root><group>Engineers</group><group>Interns</group><group>Staff</group></root>");
  EXPECT_EQ(OwnGroups(u"carol"),
            "<root><group>CycleA</group><group>CycleB</group><group>Engineers</group><group>Staff</group></root>");
  EXPECT_EQ(OwnGroups(u"alice"), "<root><group>Admins</group><group>Staff</group></root>");
  EXPECT_EQ(OwnGroups(u"Interns"), "<root><group>Engineers</group><group>Staff</group></root>");
  if (IsLdap()) {
    // Filter characters in a name are taken literally.
    EXPECT_EQ(OwnGroups(u"a*(b)\\c"), "<root/>");
    EXPECT_FALSE(utils_->IsGroupMember(com::Bstr(u"Staff"), com::Bstr(u"a*")));
  }
  // An account the directory does not know: its status, output left alone.
  com::Bstr xml(u"untouched");
  const HRESULT unknown = utils_->ListOwnGroups(com::Bstr(u"nobody-at-all"), xml).code();
  EXPECT_TRUE(FAILED(unknown)) << std::hex << unknown;
  EXPECT_NE(unknown, QS_E_AUTH_SERVER_CONNECT_FAILED);
  EXPECT_EQ(xml, u"untouched");
}

TEST_P(DirectoryAccounts, SignInAndSessionsGoThroughTheAccessor) {
  Set("RootContext", root_);
  SetValue("SOFTWARE\\Velt\\Services", "qsc", "http://%s/QuorService/QuorServiceCore.sod");
  AuthAccessor& accessor = Connect();
  ASSERT_TRUE(accessor.IsReady());

  com::Bstr full, ticket;
  ASSERT_EQ(accessor.CreateTicket(com::Bstr(u""), com::Bstr(u""), com::Bstr(u"erin"), com::Bstr(u"erin-pw-6"), full,
                                  ticket).code(),
            S_OK)
      << ErrorInfoText();
  const HRESULT wrong = accessor.CreateTicket(com::Bstr(u""), com::Bstr(u""), com::Bstr(u"erin"),
                                              com::Bstr(u"not-her-password"), full, ticket).code();
  EXPECT_TRUE(FAILED(wrong)) << std::hex << wrong;
  EXPECT_NE(wrong, QS_E_AUTH_SERVER_CONNECT_FAILED);
  EXPECT_TRUE(ticket.Empty());

  // The component's own statuses and texts come back, not a connection failure.
  com::Bstr key, verifier, locator;
  EXPECT_EQ(accessor.OpenSession(com::Bstr(u"QSC"), com::Bstr(u"x"), com::Bstr(u""), com::Bstr(u""), key, verifier,
                                 locator).code(),
            E_FAIL);
  EXPECT_EQ(ErrorInfoText(), "Unknown Service Identifier");
  // A token that is none of this process's sessions (it does not even
  // decipher): the component's failure, with its text.
  com::ComPtr<auth::ISession> session;
  const HRESULT lookup = accessor.LookupSession(com::Bstr(u"no-such-token"), session).code();
  EXPECT_TRUE(FAILED(lookup)) << std::hex << lookup;
  EXPECT_NE(lookup, QS_E_AUTH_SERVER_CONNECT_FAILED);
  EXPECT_NE(ErrorInfoText(), "(no error information)");
  EXPECT_FALSE(session);
}
