// QuorAuth as the service core meets it: the library registered with the real
// registration program into the test's registry, its classes created through
// the class store by identifier and by programmatic identifier, called
// through the vtable and by name. The directory is a local account store, so
// these cases need no LDAP server.
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>

#include "auth/iaccountinfo.h"
#include "auth/iauth.h"
#include "auth/isession.h"
#include "directory_fixtures.h"
#include "platform/com/classstore.h"
#include "platform/com/dispatch.h"
#include "platform/directory/directory.h"

extern char** environ;

namespace quor::auth {
namespace {

using namespace testing;
namespace fs = std::filesystem;

const fs::path kLibrary = fs::path(QUOR_LIB_DIR) / "libQuorAuth.so";

int RunRegsvr(std::vector<std::string> args) {
  std::string program = (fs::path(QUOR_BIN_DIR) / "quor-regsvr").string();
  std::vector<char*> argv{program.data()};
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class RegisteredServer : public AccountStoreFixture {
 protected:
  void SetUp() override {
    AccountStoreFixture::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(RunRegsvr({kLibrary.string()}), 0);
  }
  void TearDown() override {
    // Every object is gone by now: the library may be unloaded, and its
    // process-wide state with it.
    com::CoFreeUnusedLibraries();
    AccountStoreFixture::TearDown();
  }
};

TEST_F(RegisteredServer, TheCoreSignsUsersInThroughTheVtable) {
  com::CLSID clsid;
  ASSERT_EQ(com::CLSIDFromProgID(u"QuorAuth.Auth", clsid), S_OK);
  EXPECT_EQ(clsid, kAuthClsid);
  ASSERT_EQ(com::CLSIDFromProgID(u"QuorAuth.Auth.1", clsid), S_OK);
  EXPECT_EQ(clsid, kAuthClsid);
  ASSERT_EQ(com::CLSIDFromProgID(u"QuorAuth.Session", clsid), S_OK);
  EXPECT_EQ(clsid, kSessionClsid);
  ASSERT_EQ(com::CLSIDFromProgID(u"QuorAuth.AccountInfo", clsid), S_OK);
  EXPECT_EQ(clsid, kAccountInfoClsid);
  reg::Key server;
  ASSERT_EQ(reg::Win32Error(
                server.Open(reg::Hive::ClassesRoot, "CLSID\\{FF30DCCA-8886-4908-903A-1C036A1B8662}\\InprocServer32")),
            reg::ERROR_SUCCESS);
  const auto value = server.GetString("ThreadingModel");
  ASSERT_EQ(reg::Win32Error(value), reg::ERROR_SUCCESS);
  EXPECT_EQ(*value, "Apartment");

  {
    com::ComPtr<IAuth> auth;
    ASSERT_EQ(com::CoCreateInstance(kAuthClsid, auth), S_OK);
    Bstr full, ticket;
    ASSERT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(u"dave"), Bstr(u"dave-pw-4"), &full, &ticket), S_OK)
        << ErrorInfoText();
    EXPECT_EQ(full, u"QUORDOM\\dave");

    // Failures come back as statuses with the class as their source.
    Bstr none;
    EXPECT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(u"dave"), Bstr(u"wrong"), &full, &none),
              dir::kLogonFailure);
    auto info = com::GetErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->source.ToUtf8().starts_with("QuorAuth.Auth")) << info->source.ToUtf8();

    TokenHandlerPtr client;
    ASSERT_EQ(AcquireClientTokenHandler(Bstr(u""), &client), S_OK);
    Bstr scheme, seed, key, verifier, locator;
    ASSERT_EQ(GetTokenScheme(client.get(), &scheme), S_OK);
    ASSERT_EQ(GetTokenSeed(client.get(), &seed), S_OK);
    ASSERT_EQ(auth->OpenSession(Bstr(u"qsc"), ticket, scheme, seed, &key, &verifier, &locator), S_OK)
        << ErrorInfoText();
    EXPECT_EQ(locator, u"http://quor-host.quor.test/QuorService/QuorServiceCore.sod");
    ASSERT_EQ(SetTokenItem(client.get(), Bstr(kSessionKeyItem), key), S_OK);
    ASSERT_EQ(SetTokenItem(client.get(), Bstr(kOpaqueItem), verifier), S_OK);
    ASSERT_EQ(SetTokenData(client.get(), 0, 0, Bstr(u"GetLog"), Bstr(u"")), S_OK);
    Bstr token;
    ASSERT_EQ(ConstructToken(client.get(), &token), S_OK);

    // A session from another Auth object of the process, asked for ISession
    // as the core does.
    com::ComPtr<IAuth> other;
    ASSERT_EQ(com::CoCreateInstance(kAuthClsid, other), S_OK);
    com::ComPtr<com::IUnknown> found;
    ASSERT_EQ(other->LookupSession(token, found.Put()), S_OK) << ErrorInfoText();
    com::ComPtr<ISession> session;
    ASSERT_EQ(found.As(session), S_OK);
    Bstr principal;
    ASSERT_EQ(session->GetPrincipal(&principal), S_OK);
    EXPECT_EQ(principal, u"dave");
    ASSERT_EQ(session->SetTokenData(0, 0, Bstr(u"GetLog"), Bstr()), S_OK);
    int32_t valid = 0;
    ASSERT_EQ(session->ValidateToken(token, &valid), S_OK);
    EXPECT_EQ(valid, -1);
    EXPECT_EQ(auth->CloseSession(key, verifier), S_OK);
    EXPECT_EQ(other->LookupSession(token, found.Put()), E_FAIL);

    // A Session made by class is bound to nothing.
    com::ComPtr<ISession> unbound;
    ASSERT_EQ(com::CoCreateInstance(kSessionClsid, unbound), S_OK);
    EXPECT_EQ(unbound->GetPrincipal(&principal), E_UNEXPECTED);
  }

  // Unregistered, the classes are gone from the class store.
  com::CoFreeUnusedLibraries();
  ASSERT_EQ(RunRegsvr({"-u", kLibrary.string()}), 0);
  EXPECT_EQ(com::CLSIDFromProgID(u"QuorAuth.Auth", clsid), CO_E_CLASSSTRING);
  com::ComPtr<IAuth> auth;
  EXPECT_EQ(com::CoCreateInstance(kAuthClsid, auth), REGDB_E_CLASSNOTREG);
}

TEST_F(RegisteredServer, OperationsAreReachableByNameWithTheirParameterNames) {
  com::ComPtr<com::IDispatch> auth;
  ASSERT_EQ(com::CreateObject(u"QuorAuth.Auth", auth), S_OK);
  const std::u16string_view names[] = {u"createticket", u"principal", u"ticket", u"credential"};
  com::DISPID ids[4] = {};
  ASSERT_EQ(auth->GetIDsOfNames(names, ids), S_OK);
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[1], 2);
  EXPECT_EQ(ids[2], 5);
  EXPECT_EQ(ids[3], 3);

  Bstr full;
  com::Variant args[] = {com::Variant(Bstr(u"")), com::Variant(Bstr(u"")), com::Variant(Bstr(u"erin")),
                         com::Variant(Bstr(u"erin-pw-6")), com::Variant::ByRef(&full)};
  com::Variant ticket;
  ASSERT_EQ(com::InvokeByName(auth.Get(), u"CreateTicket", com::DISPATCH_METHOD, args, &ticket), S_OK);
  EXPECT_EQ(ticket.Type(), com::VT_BSTR);
  EXPECT_EQ(full, u"QUORDOM\\erin");
  args[3] = com::Variant(Bstr(u"nope"));
  com::ExcepInfo failure;
  EXPECT_EQ(com::InvokeByName(auth.Get(), u"CreateTicket", com::DISPATCH_METHOD, args, &ticket, &failure),
            DISP_E_EXCEPTION);
  EXPECT_EQ(failure.scode, dir::kLogonFailure);

  com::ComPtr<com::IDispatch> accounts;
  ASSERT_EQ(com::CreateObject(u"QuorAuth.AccountInfo", accounts), S_OK);
  com::Variant root;
  ASSERT_EQ(com::InvokeByName(accounts.Get(), u"RootContext", com::DISPATCH_PROPERTYGET, {}, &root), S_OK);
  EXPECT_EQ(root.GetBstr(), u"WinNT://QUORDOM");
  com::Variant listArgs[] = {com::Variant(Bstr(u"Engineers")), com::Variant(int32_t{AccountTypeUser}),
                             AttributeList({u"sAMAccountName", u"displayName"}), com::Variant(int32_t{-1}),
                             com::Variant(int32_t{OrderingAscUniq})};
  com::Variant members;
  ASSERT_EQ(com::InvokeByName(accounts.Get(), u"ListMember", com::DISPATCH_METHOD, listArgs, &members), S_OK);
  EXPECT_EQ(Rows(members, 2), (std::vector<std::vector<std::string>>{
                                  {"carol", "Carol Chen"}, {"dave", "Dave Dunn"}, {"erin", "Erin Ellis"}}));

  // The vtable of the same object.
  com::ComPtr<IAccountInfo> info;
  ASSERT_EQ(accounts.As(info), S_OK);
  int32_t is = 0;
  ASSERT_EQ(info->IsMember(Bstr(u"Staff"), Bstr(u"erin"), -1, &is), S_OK) << ErrorInfoText();
  EXPECT_EQ(is, -1);
}

}  // namespace
}  // namespace quor::auth
