// The local account store: its file, the WinNT provider that reads it and
// the quor-accounts command, on real files in a temporary folder.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/win32_error.h"
#include "platform/directory/accounts.h"
#include "platform/directory/directory.h"
#include "platform/registry/registry.h"

using namespace quor;
using namespace quor::dir;
namespace fsys = std::filesystem;

namespace {

// What a store failure with the platform's number `error` carries.
HRESULT Code(long error) { return HRESULT_FROM_WIN32(error); }

std::string ReadAll(const fsys::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const fsys::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

std::set<std::string> Names(const std::vector<Object>& objects) {
  std::set<std::string> out;
  for (const auto& o : objects) out.insert(o.Name());
  return out;
}

class AccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fsys::temp_directory_path() / ("quor-accounts-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fsys::remove_all(folder_);
    fsys::create_directories(folder_);
    file_ = (folder_ / "registry.reg.accounts").string();
    options_.accountStore = file_;
  }
  void TearDown() override { fsys::remove_all(folder_); }

  // QUOR / QUORHOST with alice, bob, carol; Staff = alice + Engineers,
  // Engineers = carol, and Ring1/Ring2 containing each other.
  void MakeStore() {
    ASSERT_EQ(CreateAccountStore(file_, "QUOR", "QUORHOST", AccountStore::kMinIterations).code(), S_OK);
    const Status filled = UpdateAccountStore(file_, [](AccountStore& s) {
      Status status;
      auto step = [&](Status result) {
        if (status.ok()) status = std::move(result);
      };
      step(s.AddUser("alice", "Alice Archer", "Signs the cheques", "alice-pw"));
      step(s.AddUser("bob", "Bob Baker", "", "bob-pw"));
      step(s.AddUser("carol", "", "", "carol-pw"));
      step(s.AddGroup("Staff", "Everybody"));
      step(s.AddGroup("Engineers", ""));
      step(s.AddGroup("Ring1", ""));
      step(s.AddGroup("Ring2", ""));
      step(s.AddMember("Staff", "alice"));
      step(s.AddMember("Staff", "Engineers"));
      step(s.AddMember("Engineers", "carol"));
      step(s.AddMember("Ring1", "Ring2"));
      step(s.AddMember("Ring2", "Ring1"));
      step(s.AddMember("Ring2", "bob"));
      return status;
    });
    ASSERT_EQ(filled.code(), S_OK) << filled.message();
  }

  Object Get(const std::string& path) {
    Object object;
    EXPECT_EQ(GetObject(path, options_, object), S_OK) << path << ": " << LastError().text;
    return object;
  }

  fsys::path folder_;
  std::string file_;
  Options options_;
};

// ---- The file -----------------------------------------------------------------------

TEST_F(AccountsTest, StoreRoundTripsThroughItsFileWithOwnerOnlyMode) {
  MakeStore();
  struct stat st {};
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  Result<AccountStore> loaded = LoadAccountStore(file_);
  ASSERT_EQ(loaded.status().code(), S_OK);
  AccountStore store = *loaded;
  EXPECT_EQ(store.domain, "QUOR");
  EXPECT_EQ(store.computer, "QUORHOST");
  EXPECT_EQ(store.iterations, AccountStore::kMinIterations);
  ASSERT_EQ(store.users.size(), 3u);
  EXPECT_EQ(store.FindUser("ALICE")->fullName, "Alice Archer");
  EXPECT_EQ(store.FindGroup("staff")->members, (std::vector<std::string>{"alice", "Engineers"}));
  EXPECT_TRUE(store.VerifyPassword("Alice", "alice-pw"));
  EXPECT_FALSE(store.VerifyPassword("alice", "Alice-pw"));
  EXPECT_FALSE(store.VerifyPassword("nobody", "alice-pw"));

  // Texts with the field separators survive; a temporary file a killed
  // writer left is gone after the next change.
  std::ofstream(file_ + ".tmp.Xy12ab") << "half";
  ASSERT_EQ(UpdateAccountStore(file_,
                               [](AccountStore& s) {
                                 const std::string full = "Tab\there", description = "two\nlines \\ and a backslash";
                                 return s.SetUserInfo("bob", &full, &description);
                               })
                .code(),
            S_OK);
  loaded = LoadAccountStore(file_);
  ASSERT_EQ(loaded.status().code(), S_OK);
  store = *loaded;
  EXPECT_EQ(store.FindUser("bob")->fullName, "Tab\there");
  EXPECT_NE(::access((file_ + ".tmp.Xy12ab").c_str(), F_OK), 0);
  EXPECT_EQ(store.FindUser("bob")->description, "two\nlines \\ and a backslash");
  const Result<AccountStore> again = AccountStore::Parse(store.Serialize());
  ASSERT_EQ(again.status().code(), S_OK);
  EXPECT_EQ(again->Serialize(), store.Serialize());

  // Removing an account takes it out of every group.
  ASSERT_EQ(UpdateAccountStore(file_, [](AccountStore& s) { return s.RemoveGroup("Ring1"); }).code(), S_OK);
  loaded = LoadAccountStore(file_);
  ASSERT_EQ(loaded.status().code(), S_OK);
  store = *loaded;
  EXPECT_EQ(store.FindGroup("Ring2")->members, std::vector<std::string>{"bob"});
}

TEST_F(AccountsTest, RefusedChangesAndDamagedFilesLeaveTheFileAlone) {
  MakeStore();
  const std::string before = ReadAll(file_);
  Result<AccountStore> loaded = LoadAccountStore(file_);
  ASSERT_EQ(loaded.status().code(), S_OK);
  AccountStore& store = *loaded;
  EXPECT_EQ(store.AddUser("a/b", "", "", "pw").code(), Code(ERROR_INVALID_NAME));
  EXPECT_EQ(store.AddUser("x@y", "", "", "pw").code(), Code(ERROR_INVALID_NAME));
  EXPECT_EQ(store.AddUser("Staff", "", "", "pw").code(), Code(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(store.AddUser("dave", "", "", "").code(), Code(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(store.AddMember("Staff", "nobody").code(), Code(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(store.AddMember("Staff", "Staff").code(), Code(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(store.AddMember("Staff", "ALICE").code(), Code(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(store.RemoveMember("Staff", "bob").code(), Code(ERROR_FILE_NOT_FOUND));

  // A change that fails halfway writes nothing.
  const Status halfway = UpdateAccountStore(file_, [](AccountStore& s) {
    s.AddUser("dave", "", "", "dave-pw").Ignore();
    return s.AddMember("Staff", "nobody");
  });
  EXPECT_EQ(halfway.code(), Code(ERROR_FILE_NOT_FOUND));
  EXPECT_NE(halfway.message().find("nobody"), std::string::npos);
  EXPECT_EQ(ReadAll(file_), before);
  EXPECT_EQ(CreateAccountStore(file_, "OTHER", "HOST", AccountStore::kMinIterations).code(),
            Code(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadAll(file_), before);

  struct Damage {
    std::string text;
    std::string words;
  };
  const std::vector<Damage> damaged = {
      {before.substr(0, before.size() - 1), "cut off"},
      {before + "rogue\tline\n", "unknown record"},
      {before + "member\tStaff\tghost\n", "unknown account \"ghost\""},
      {before + "user\tdave\t\t\tmd5$abc\n", "bad password hash"},
      {"QuorAccounts\t1\ncomputer\tH\n", "domain or the computer"},
      {"REGEDIT4\n", "no QuorAccounts header"},
  };
  for (const auto& d : damaged) {
    WriteAll(file_, d.text);
    const Status read = LoadAccountStore(file_).status();
    EXPECT_EQ(read.code(), Code(ERROR_BADDB)) << d.words;
    EXPECT_NE(read.message().find(d.words), std::string::npos) << read.message();
    EXPECT_EQ(UpdateAccountStore(file_, [](AccountStore& s) { return s.AddGroup("New", ""); }).code(),
              Code(ERROR_BADDB));
    EXPECT_EQ(ReadAll(file_), d.text);
    Object object;
    EXPECT_EQ(GetObject("WinNT://QUOR", options_, object), kBadAccountStore);
  }
}

TEST_F(AccountsTest, PasswordHashesAreSaltedAndCheckedInFull) {
  const std::string a = HashPassword("secret", 1000), b = HashPassword("secret", 1000);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind("pbkdf2-sha256$1000$", 0), 0u);
  EXPECT_TRUE(VerifyPasswordHash(a, "secret"));
  EXPECT_TRUE(VerifyPasswordHash(b, "secret"));
  EXPECT_FALSE(VerifyPasswordHash(a, "secreT"));
  EXPECT_FALSE(VerifyPasswordHash(a, ""));
  // The iteration count is part of the hash: changing it breaks the match.
  std::string other = a;
  other.replace(other.find("$1000$"), 6, "$1001$");
  EXPECT_FALSE(VerifyPasswordHash(other, "secret"));
  EXPECT_FALSE(VerifyPasswordHash("pbkdf2-sha256$1000$$", "secret"));
  EXPECT_FALSE(VerifyPasswordHash("plain", "plain"));
}

TEST_F(AccountsTest, ConcurrentChangesAreNotLost) {
  ASSERT_EQ(CreateAccountStore(file_, "QUOR", "QUORHOST", AccountStore::kMinIterations).code(), S_OK);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        const std::string name = "u" + std::to_string(t) + "_" + std::to_string(i);
        if (!UpdateAccountStore(file_, [&](AccountStore& s) { return s.AddGroup(name, ""); }).ok()) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  const Result<AccountStore> store = LoadAccountStore(file_);
  ASSERT_EQ(store.status().code(), S_OK);
  EXPECT_EQ(store->groups.size(), 20u);
  for (const auto& entry : fsys::directory_iterator(folder_))
    EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
}

TEST_F(AccountsTest, DefaultFileAndOptionsFollowTheRegistry) {
  const std::string registry = (folder_ / "registry.reg").string();
  const char* old = std::getenv("QUOR_REGISTRY");
  const std::string saved = old ? old : "";
  ::setenv("QUOR_REGISTRY", registry.c_str(), 1);
  EXPECT_EQ(DefaultAccountStorePath(), registry + ".accounts");
  {
    reg::Key key;
    ASSERT_EQ(quor::reg::Win32Error(key.Create(reg::Hive::LocalMachine, "SOFTWARE\\Velt\\Directory")), ERROR_SUCCESS);
    ASSERT_EQ(quor::reg::Win32Error(key.SetString("ServiceUser", "cn=svc,dc=x")), ERROR_SUCCESS);
    ASSERT_EQ(quor::reg::Win32Error(key.SetString("ServicePassword", "pw")), ERROR_SUCCESS);
    ASSERT_EQ(quor::reg::Win32Error(key.SetString("TLS", "LDAPS")), ERROR_SUCCESS);
    ASSERT_EQ(quor::reg::Win32Error(key.SetDword("Timeout", 3)), ERROR_SUCCESS);
  }
  const Options options = Options::FromRegistry();
  EXPECT_EQ(options.serviceUser, "cn=svc,dc=x");
  EXPECT_EQ(options.servicePassword, "pw");
  EXPECT_EQ(options.tls, TlsMode::Ldaps);
  EXPECT_EQ(options.timeout, std::chrono::seconds(3));
  EXPECT_TRUE(options.accountStore.empty());

  // With no AccountStore value, WinNT paths read the file beside the registry.
  MakeStore();
  Object object;
  EXPECT_EQ(OpenObject("WinNT://QUOR", "QUOR\\alice", "alice-pw", 0, object), S_OK) << LastError().text;
  if (old)
    ::setenv("QUOR_REGISTRY", saved.c_str(), 1);
  else
    ::unsetenv("QUOR_REGISTRY");
}

// ---- The WinNT provider ----------------------------------------------------------------

TEST_F(AccountsTest, WinNTSignInChecksTheStoredHash) {
  MakeStore();
  Object object;
  ASSERT_EQ(OpenObject("WinNT://QUOR", "QUOR\\alice", "alice-pw", 5, options_, object), S_OK) << LastError().text;
  EXPECT_EQ(object.Class(), "Domain");
  ASSERT_EQ(OpenObject("WinNT://quorhost", "QUORHOST\\bob", "bob-pw", 5, options_, object), S_OK);
  EXPECT_EQ(object.Class(), "Computer");
  // The second bind of a computer authority: the user object itself.
  ASSERT_EQ(OpenObject("WinNT://QUORHOST/bob", "QUORHOST\\bob", "bob-pw", 5, options_, object), S_OK);
  EXPECT_EQ(object.Class(), "User");
  EXPECT_EQ(OpenObject("WinNT://QUOR", "alice@quor", "alice-pw", 5, options_, object), S_OK);
  EXPECT_EQ(OpenObject("WinNT://QUOR", "alice", "alice-pw", 5, options_, object), S_OK);

  EXPECT_EQ(OpenObject("WinNT://QUOR", "QUOR\\alice", "bob-pw", 5, options_, object), kLogonFailure);
  EXPECT_EQ(LastError().provider, "WinNT Provider");
  EXPECT_EQ(OpenObject("WinNT://QUOR", "QUOR\\zed", "alice-pw", 5, options_, object), kLogonFailure);
  EXPECT_EQ(OpenObject("WinNT://QUOR", "OTHER\\alice", "alice-pw", 5, options_, object), kLogonFailure);
  EXPECT_EQ(OpenObject("WinNT://QUOR", "QUOR\\alice", "", 5, options_, object), kLogonFailure);
  EXPECT_EQ(OpenObject("WinNT://QUOR", "", "alice-pw", 5, options_, object), kLogonFailure);
  // Groups have no password.
  EXPECT_EQ(OpenObject("WinNT://QUOR", "QUOR\\Staff", "x", 5, options_, object), kLogonFailure);
  EXPECT_FALSE(object.IsBound());
  // A right credential does not make a missing object exist.
  EXPECT_EQ(OpenObject("WinNT://QUOR/zed", "QUOR\\alice", "alice-pw", 5, options_, object), kUserNotFound);
  EXPECT_EQ(OpenObject("WinNT://ELSEWHERE", "QUOR\\alice", "alice-pw", 5, options_, object), kBadNetPath);

  options_.accountStore = (folder_ / "missing.accounts").string();
  EXPECT_EQ(OpenObject("WinNT://QUOR", "QUOR\\alice", "alice-pw", 5, options_, object), kBadNetPath);
  EXPECT_NE(LastError().text.find("quor-accounts init"), std::string::npos);
}

TEST_F(AccountsTest, WinNTObjectsCarryNamesClassesAndProperties) {
  MakeStore();
  Object alice = Get("WinNT://QUOR/ALICE,user");
  EXPECT_EQ(alice.Name(), "alice");
  EXPECT_EQ(alice.Class(), "User");
  EXPECT_EQ(alice.Path(), "WinNT://QUOR/alice");
  EXPECT_EQ(alice.Parent(), "WinNT://QUOR");
  Property p;
  ASSERT_EQ(alice.Get("fullName", p), S_OK);
  EXPECT_EQ(p.values, std::vector<std::string>{"Alice Archer"});
  ASSERT_EQ(alice.Get("Description", p), S_OK);
  EXPECT_EQ(p.values, std::vector<std::string>{"Signs the cheques"});
  EXPECT_EQ(alice.Get("mail", p), E_ADS_PROPERTY_NOT_FOUND);

  Object object;
  EXPECT_EQ(GetObject("WinNT://QUOR/alice,group", options_, object), kGroupNotFound);
  EXPECT_EQ(GetObject("WinNT://QUOR/Staff,user", options_, object), kUserNotFound);
  EXPECT_EQ(Get("WinNT://QUOR/Staff").Class(), "Group");
  EXPECT_EQ(Get("WinNT://QUORHOST,Computer").Class(), "Computer");
  EXPECT_EQ(GetObject("WinNT://QUORHOST,Domain", options_, object), kBadNetPath);
  EXPECT_EQ(Get("WinNT://QUOR,Domain").Class(), "Domain");
  EXPECT_EQ(Get("WinNT://QUOR/QUORHOST").Class(), "Computer");
  EXPECT_EQ(Get("WinNT://QUOR/QUORHOST/carol").Path(), "WinNT://QUORHOST/carol");

  // No searches on the account store.
  std::vector<Row> rows;
  EXPECT_EQ(Get("WinNT://QUOR").Search("(objectClass=*)", std::vector<std::string>{}, {}, rows), E_NOINTERFACE);
}

TEST_F(AccountsTest, WinNTContainersAndGroups) {
  MakeStore();
  std::vector<Object> children;
  const std::string user = "user", group = "Group";
  ASSERT_EQ(Get("WinNT://QUOR").Children(std::span(&user, 1), children), S_OK);
  EXPECT_EQ(Names(children), (std::set<std::string>{"alice", "bob", "carol"}));
  ASSERT_EQ(Get("WinNT://QUORHOST").Children(std::span(&group, 1), children), S_OK);
  EXPECT_EQ(Names(children), (std::set<std::string>{"Staff", "Engineers", "Ring1", "Ring2"}));
  for (const auto& c : children) EXPECT_EQ(c.Path(), "WinNT://QUORHOST/" + c.Name());
  ASSERT_EQ(Get("WinNT://QUOR").Children({}, children), S_OK);
  EXPECT_EQ(children.size(), 8u);  // the computer, three users, four groups

  Object staff = Get("WinNT://QUOR/Staff,group");
  std::vector<Object> members;
  ASSERT_EQ(staff.Members(members), S_OK);
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].Class(), "User");
  EXPECT_EQ(members[1].Class(), "Group");
  bool is = false;
  ASSERT_EQ(staff.IsMember(Get("WinNT://QUOR/alice").Path(), is), S_OK);
  EXPECT_TRUE(is);
  ASSERT_EQ(staff.IsMember("WinNT://QUORHOST/ALICE", is), S_OK);
  EXPECT_TRUE(is);
  ASSERT_EQ(staff.IsMember("WinNT://QUOR/carol", is), S_OK);  // only through Engineers
  EXPECT_FALSE(is);
  ASSERT_EQ(staff.IsMember("WinNT://ELSEWHERE/alice", is), S_OK);
  EXPECT_FALSE(is);
  EXPECT_EQ(Get("WinNT://QUOR/alice").Members(members), E_NOINTERFACE);

  // Two groups that contain each other, as data.
  ASSERT_EQ(Get("WinNT://QUOR/Ring1").Members(members), S_OK);
  EXPECT_EQ(Names(members), std::set<std::string>{"Ring2"});
  ASSERT_EQ(Get("WinNT://QUOR/Ring2").Members(members), S_OK);
  EXPECT_EQ(Names(members), (std::set<std::string>{"Ring1", "bob"}));

  std::vector<Object> groups;
  ASSERT_EQ(Get("WinNT://QUOR/carol").Groups(groups), S_OK);
  EXPECT_EQ(Names(groups), std::set<std::string>{"Engineers"});
  ASSERT_EQ(Get("WinNT://QUOR/Engineers").Groups(groups), S_OK);
  EXPECT_EQ(Names(groups), std::set<std::string>{"Staff"});
}

// ---- quor-accounts ------------------------------------------------------------------------

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs the command without a shell, feeding `input` on standard input.
Result RunTool(const std::vector<std::string>& args, const std::string& input) {
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
    std::vector<char*> argv;
    const std::string program = std::string(QUOR_BIN_DIR) + "/quor-accounts";
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) {
  }
  ::close(in[1]);
  Result result;
  auto drain = [](int fd, std::string& to) {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) to.append(buffer, static_cast<size_t>(n));
    ::close(fd);
  };
  drain(out[0], result.out);
  drain(err[0], result.err);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST_F(AccountsTest, CommandManagesTheStoreThatTheProviderReads) {
  auto run = [&](std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--file", file_});
    return RunTool(args, input);
  };
  Result r = run({"init", "CORP", "WS01", "--iterations", "1000"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = run({"add-user", "admin", "--full-name", "The Administrator", "--description", "Runs the service"},
          "first-pw\n");
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(run({"add-user", "guest"}, "guest-pw\n").status, 0);
  ASSERT_EQ(run({"add-group", "Admins", "--description", "May administer"}).status, 0);
  ASSERT_EQ(run({"add-group", "Everyone"}).status, 0);
  ASSERT_EQ(run({"add-to-group", "Admins", "admin"}).status, 0);
  ASSERT_EQ(run({"add-to-group", "Everyone", "Admins"}).status, 0);
  ASSERT_EQ(run({"add-to-group", "Everyone", "guest"}).status, 0);
  EXPECT_EQ(run({"verify", "admin"}, "first-pw\n").status, 0);
  EXPECT_EQ(run({"verify", "admin"}, "wrong\n").status, 1);

  Object object;
  ASSERT_EQ(OpenObject("WinNT://CORP", "CORP\\admin", "first-pw", 0, options_, object), S_OK) << LastError().text;
  ASSERT_EQ(run({"set-password", "admin"}, "second-pw\r\n").status, 0);
  EXPECT_EQ(OpenObject("WinNT://CORP", "CORP\\admin", "first-pw", 0, options_, object), kLogonFailure);
  EXPECT_EQ(OpenObject("WinNT://WS01", "WS01\\admin", "second-pw", 0, options_, object), S_OK);

  r = run({"list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("domain:   CORP"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("admin (The Administrator) - Runs the service"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    Admins (group)"), std::string::npos) << r.out;
  // No password ever lands in the output or the file in the clear.
  EXPECT_EQ(r.out.find("second-pw"), std::string::npos);
  EXPECT_EQ(ReadAll(file_).find("second-pw"), std::string::npos);

  ASSERT_EQ(run({"remove-from-group", "Everyone", "guest"}).status, 0);
  ASSERT_EQ(run({"remove-user", "guest"}).status, 0);
  bool is = true;
  ASSERT_EQ(Get("WinNT://CORP/Everyone").IsMember("WinNT://CORP/guest", is), S_OK);
  EXPECT_FALSE(is);
  EXPECT_EQ(GetObject("WinNT://CORP/guest", options_, object), kUserNotFound);
}

TEST_F(AccountsTest, CommandRefusesBadInputWithoutChangingAnything) {
  auto run = [&](std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--file", file_});
    return RunTool(args, input);
  };
  EXPECT_EQ(run({"list"}).status, 1);  // no store yet
  EXPECT_EQ(run({"init", "CORP"}).status, 2);
  EXPECT_EQ(run({"init", "CO/RP", "WS01"}).status, 1);
  EXPECT_FALSE(fsys::exists(file_));
  ASSERT_EQ(run({"init", "CORP", "WS01", "--iterations", "1000"}).status, 0);
  ASSERT_EQ(run({"add-user", "admin"}, "pw\n").status, 0);
  const std::string before = ReadAll(file_);

  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string words;
  };
  const std::vector<Case> cases = {
      {{"init", "CORP", "WS01"}, "", 1, "exists already"},
      {{"frobnicate"}, "", 2, "unknown command"},
      {{"add-user"}, "", 2, "takes 1 argument"},
      {{"add-user", "x", "--password", "pw"}, "", 2, "unknown option --password"},
      {{"add-user", "nopw"}, "", 1, "no password"},
      {{"add-user", "blank"}, "\n", 1, "no password"},
      {{"add-user", "admin"}, "pw\n", 1, "exists already"},
      {{"add-user", "a*b"}, "pw\n", 1, "cannot be an account name"},
      {{"set-password", "ghost"}, "pw\n", 1, "no user"},
      {{"add-to-group", "Nope", "admin"}, "", 1, "no group"},
      {{"remove-user", "ghost"}, "", 1, "no user"},
      {{"set-user", "admin"}, "", 2, "--full-name or --description"},
  };
  for (const auto& c : cases) {
    Result r = run(c.args, c.input);
    EXPECT_EQ(r.status, c.status) << c.args[0] << ": " << r.err;
    EXPECT_NE(r.err.find(c.words), std::string::npos) << r.err;
    EXPECT_EQ(ReadAll(file_), before) << c.args[0];
  }
}

}  // namespace
