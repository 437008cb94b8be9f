// The directories the component tests sign in to and look accounts up in:
// the slapd of the test run (scripts/test.sh exports its address; without it
// these cases are skipped locally and fail under CI), and a local account
// store made in the test's temporary folder. Each fixture writes the
// registry values the component reads: SOFTWARE\Velt DefaultAuthority and
// DefaultRealm, the service table SOFTWARE\Velt\Services, and the service
// identity SOFTWARE\Velt\Directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "auth/config.h"
#include "helpers.h"
#include "platform/com/errorinfo.h"
#include "platform/com/variant.h"
#include "platform/directory/accounts.h"
#include "platform/registry/registry.h"

namespace quor::auth::testing {

inline std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

inline void SetValue(std::string_view key, std::string_view name, std::string_view value) {
  reg::Key k;
  ASSERT_EQ(reg::Win32Error(k.Create(reg::Hive::LocalMachine, key)), reg::ERROR_SUCCESS);
  ASSERT_EQ(reg::Win32Error(k.SetString(name, value)), reg::ERROR_SUCCESS);
}

// The locator template the tests register for the service "qsc".
inline constexpr std::string_view kLocatorTemplate = "http://%s/QuorService/QuorServiceCore.sod";
inline constexpr std::string_view kComputer = "quor-host.quor.test";

enum class Backend { Ldap, AccountStore };

inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::Ldap ? "Ldap" : "AccountStore";
}

class DirectoryFixture : public AuthTest {
 protected:
  void SetUp() override {
    AuthTest::SetUp();
    ::setenv("QUOR_COMPUTER_NAME", std::string(kComputer).c_str(), 1);
    SetValue("SOFTWARE\\Velt\\Services", "qsc", kLocatorTemplate);
  }
  void TearDown() override {
    ::unsetenv("QUOR_COMPUTER_NAME");
    AuthTest::TearDown();
  }
  void SetDefaults(std::string_view authority, std::string_view realm) {
    SetValue("SOFTWARE\\Velt", "DefaultAuthority", authority);
    SetValue("SOFTWARE\\Velt", "DefaultRealm", realm);
  }

  // The test run's slapd (scripts/ldap/testdata.ldif), signed in to through
  // the authority LDAP://127.0.0.1:<port>/dc=quor,dc=test.
  void UseLdap() {
    const std::string url = Env("QUOR_TEST_LDAP_URL");
    if (url.empty()) {
      if (std::getenv("CI")) FAIL() << "QUOR_TEST_LDAP_URL is not set: the test command must start slapd";
      GTEST_SKIP() << "QUOR_TEST_LDAP_URL not set";
    }
    host = url.substr(url.find("://") + 3);
    if (!host.empty() && host.back() == '/') host.pop_back();
    ASSERT_EQ(Env("QUOR_TEST_LDAP_BASE"), "dc=quor,dc=test");
    authority = "LDAP://" + host + "/dc=quor,dc=test";
    SetDefaults(authority, "quor.test");
    SetValue("SOFTWARE\\Velt\\Directory", "ServiceUser", Env("QUOR_TEST_LDAP_BIND_DN"));
    SetValue("SOFTWARE\\Velt\\Directory", "ServicePassword", Env("QUOR_TEST_LDAP_BIND_PASSWORD"));
  }

  // A local account store beside the registry file ("<registry>.accounts"),
  // domain QUORDOM, computer QUORHOST, with the groups of the LDAP data:
  // Staff > {alice, bob, Engineers}, Engineers > {carol, dave, Interns},
  // Interns > {erin}, Admins > {alice}, Nobody, CycleA <> CycleB.
  void UseAccountStore() {
    store = (dir.Path() / "registry.reg.accounts").string();
    ASSERT_EQ(dir::CreateAccountStore(store, "QUORDOM", "QUORHOST", 1000).code(), S_OK);
    const Status rc = dir::UpdateAccountStore(store, [](dir::AccountStore& s) -> Status {
      struct User {
        const char* name;
        const char* fullName;
        const char* password;
      };
      for (const User& u : {User{"alice", "Alice Archer", "alice-pw-1"}, User{"bob", "Bob Baker", "bob-pw-2"},
                            User{"carol", "Carol Chen", "carol-pw-3"}, User{"dave", "Dave Dunn", "dave-pw-4"},
                            User{"erin", "Erin Ellis", "erin-pw-6"}})
        QUOR_RETURN_IF_ERROR(s.AddUser(u.name, u.fullName, "", u.password));
      for (const char* g : {"Staff", "Engineers", "Interns", "Admins", "Nobody", "CycleA", "CycleB"})
        QUOR_RETURN_IF_ERROR(s.AddGroup(g, ""));
      const std::vector<std::pair<const char*, const char*>> members = {
          {"Staff", "alice"},     {"Staff", "bob"},         {"Staff", "Engineers"}, {"Engineers", "carol"},
          {"Engineers", "dave"},  {"Engineers", "Interns"}, {"Interns", "erin"},    {"Admins", "alice"},
          {"CycleA", "bob"},      {"CycleA", "CycleB"},     {"CycleB", "carol"},    {"CycleB", "CycleA"}};
      for (const auto& [group, member] : members) QUOR_RETURN_IF_ERROR(s.AddMember(group, member));
      return {};
    });
    ASSERT_EQ(rc.code(), S_OK) << rc.message();
    SetDefaults("WinNT://QUORDOM", "QUORDOM");
  }

  void Use(Backend backend) {
    if (backend == Backend::Ldap)
      UseLdap();
    else
      UseAccountStore();
  }

  // Each test reads the registry afresh: the process's own configuration
  // would keep the first test's defaults.
  ServiceConfig config;
  std::string host, authority;  // LDAP
  std::string store;            // the account store file
};

class LdapFixture : public DirectoryFixture {
 protected:
  void SetUp() override {
    DirectoryFixture::SetUp();
    UseLdap();
  }
};

class AccountStoreFixture : public DirectoryFixture {
 protected:
  void SetUp() override {
    DirectoryFixture::SetUp();
    UseAccountStore();
  }
};

// The same cases against both directories.
class BothDirectories : public DirectoryFixture, public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override {
    DirectoryFixture::SetUp();
    Use(GetParam());
  }
  bool IsLdap() const { return GetParam() == Backend::Ldap; }
};

// The rows of a list result: each row's values in column order. Checks the
// shape (two dimensions, lower bounds 0, `columns` columns).
inline std::vector<std::vector<std::string>> Rows(const com::Variant& list, size_t columns) {
  std::vector<std::vector<std::string>> rows;
  if (list.IsEmpty()) return rows;
  EXPECT_EQ(list.Type(), com::VT_ARRAY | com::VT_BSTR);
  if (list.Type() != (com::VT_ARRAY | com::VT_BSTR)) return rows;
  const com::SafeArray& array = list.Array();
  EXPECT_EQ(array.Dimensions(), 2u);
  int32_t lower1 = -1, lower2 = -1;
  array.GetLBound(1, lower1);
  array.GetLBound(2, lower2);
  EXPECT_EQ(lower1, 0);
  EXPECT_EQ(lower2, 0);
  EXPECT_EQ(array.Count(2), columns);
  for (uint32_t r = 0; r < array.Count(1); ++r) {
    std::vector<std::string> row;
    for (uint32_t c = 0; c < array.Count(2); ++c) {
      const int32_t index[2] = {static_cast<int32_t>(r), static_cast<int32_t>(c)};
      com::Variant cell;
      EXPECT_EQ(array.GetElement(index, cell), S_OK);
      row.push_back(cell.Type() == com::VT_BSTR ? cell.GetBstr().ToUtf8() : "<not a string>");
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

// The first column of a list result, in order.
inline std::vector<std::string> Names(const com::Variant& list, size_t columns = 1) {
  std::vector<std::string> names;
  for (const auto& row : Rows(list, columns)) names.push_back(row.at(0));
  return names;
}

// A VT_ARRAY | VT_VARIANT of attribute names, as the service core passes them.
inline com::Variant AttributeList(std::initializer_list<std::u16string_view> names) {
  com::SafeArray array(com::VT_VARIANT, {0, static_cast<uint32_t>(names.size())});
  int32_t i = 0;
  for (std::u16string_view name : names) {
    const int32_t index[1] = {i++};
    EXPECT_EQ(array.PutElement(index, com::Variant(com::Bstr(name))), S_OK);
  }
  return com::Variant(std::move(array));
}

// The description the last failed call left.
inline std::string ErrorInfoText() {
  auto info = com::GetErrorInfo();
  return info ? info->description.ToUtf8() : std::string("(no error information)");
}

}  // namespace quor::auth::testing
