// Sign-in and sessions through the Auth component: tickets issued after a
// real directory check (the test run's slapd, a local account store), the
// authority a caller may name, sessions opened, found by request tokens and
// closed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "auth/isession.h"
#include "auth/server/auth_object.h"
#include "auth/server/directory_auth.h"
#include "auth/server/session_table.h"
#include "auth/ticket.h"
#include "directory_fixtures.h"
#include "platform/directory/directory.h"
#include "testing/Loopback.h"

namespace quor::auth {
namespace {

using namespace testing;

// What a client keeps of a sign-in, and the requests it makes.
struct Client {
  TokenHandlerPtr handler;
  Bstr scheme, seed, sessionKey, verifier, locator;

  Client() {
    EXPECT_EQ(AcquireClientTokenHandler(Bstr(u""), &handler), S_OK);
    EXPECT_EQ(GetTokenScheme(handler.get(), &scheme), S_OK);
    EXPECT_EQ(GetTokenSeed(handler.get(), &seed), S_OK);
  }
  HRESULT Open(IAuth& auth, const Bstr& ticket, std::u16string_view service = u"qsc") {
    const HRESULT hr = auth.OpenSession(Bstr(service), ticket, scheme, seed, &sessionKey, &verifier, &locator);
    if (SUCCEEDED(hr)) {
      EXPECT_EQ(SetTokenItem(handler.get(), Bstr(kSessionKeyItem), sessionKey), S_OK);
      EXPECT_EQ(SetTokenItem(handler.get(), Bstr(kOpaqueItem), verifier), S_OK);
    }
    return hr;
  }
  // A request token over the method and one encrypted argument; `sent` is
  // the argument as it travels.
  Bstr Request(std::u16string_view argument, Bstr* sent) {
    EXPECT_EQ(SetTokenData(handler.get(), 0, 0, Bstr(u"GetShareField"), Bstr(u"")), S_OK);
    EXPECT_EQ(SetTokenData(handler.get(), 1, kKindEncrypted, Bstr(u"uri"), Bstr(argument)), S_OK);
    Bstr token;
    EXPECT_EQ(ConstructToken(handler.get(), &token), S_OK);
    EXPECT_EQ(GetTokenData(handler.get(), 1, nullptr, nullptr, sent), S_OK);
    return token;
  }
};

// The session a request token names, as the service core obtains it.
HRESULT Lookup(IAuth& auth, const Bstr& token, com::ComPtr<ISession>& session) {
  com::ComPtr<com::IUnknown> found;
  const HRESULT hr = auth.LookupSession(token, found.Put());
  if (SUCCEEDED(hr)) {
    EXPECT_EQ(found.As(session), S_OK);
  }
  return hr;
}

// The service core's check of one request on its session.
void ExpectValidRequest(ISession& session, const Bstr& token, const Bstr& sent, std::u16string_view argument) {
  ASSERT_EQ(session.SetTokenData(0, 0, Bstr(u"GetShareField"), Bstr()), S_OK);
  ASSERT_EQ(session.SetTokenData(1, 0, Bstr(u"uri"), sent), S_OK);
  int32_t valid = 0;
  ASSERT_EQ(session.ValidateToken(token, &valid), S_OK);
  EXPECT_EQ(valid, -1);
  Bstr decoded;
  ASSERT_EQ(session.GetTokenData(1, nullptr, nullptr, &decoded), S_OK);
  EXPECT_EQ(decoded, argument);
}

uint32_t Now() {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// ---- Both directories -------------------------------------------------------------------

using BothSignIn = BothDirectories;
INSTANTIATE_TEST_SUITE_P(Directories, BothSignIn, ::testing::Values(Backend::Ldap, Backend::AccountStore),
                         BackendName);

TEST_P(BothSignIn, AUserSignsInAndUsesASessionUntilItIsClosed) {
  auto auth = com::MakeObject<Auth>(config);
  Bstr full(u"stale"), ticket;
  const uint32_t before = Now();
  ASSERT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(u"carol"), Bstr(u"carol-pw-3"), &full, &ticket), S_OK)
      << ErrorInfoText();
  EXPECT_EQ(full, IsLdap() ? u"carol@quor.test" : u"QUORDOM\\carol");
  std::unique_ptr<TicketImpl> read = Must(ParseTicket(ticket.View(), Must(config.ServerSecretKey())));
  EXPECT_EQ(read->principal, u"carol");
  // The check used DefaultRealm; the ticket keeps the realm as given.
  EXPECT_EQ(read->realm, u"");
  EXPECT_EQ(read->reserved4, 0xFFFFFFFFu);
  EXPECT_GE(read->issueTime, before);
  EXPECT_LE(read->issueTime, Now());

  // Wrong passwords and unknown users: the directory's status and words.
  for (auto [principal, credential] : {std::pair{u"carol", u"carol-pw-4"}, std::pair{u"zed", u"carol-pw-3"},
                                       std::pair{u"Staff", u"carol-pw-3"}}) {
    Bstr refused(u"stale"), none(u"stale");
    EXPECT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(principal), Bstr(credential), &refused, &none),
              dir::kLogonFailure)
        << text::Narrow(principal);
    EXPECT_NE(ErrorInfoText().find(IsLdap() ? "0x31 : LDAP Provider : " : "WinNT Provider"), std::string::npos);
    EXPECT_TRUE(refused.IsNull());
    EXPECT_TRUE(none.IsNull());
  }

  Client client;
  ASSERT_EQ(client.Open(*auth, ticket), S_OK) << ErrorInfoText();
  EXPECT_EQ(client.locator, u"http://quor-host.quor.test/QuorService/QuorServiceCore.sod");
  Bstr sent;
  Bstr token = client.Request(u"urn:vocontent:vodb000:7", &sent);
  {
    com::ComPtr<ISession> session;
    ASSERT_EQ(Lookup(*auth, token, session), S_OK) << ErrorInfoText();
    Bstr principal;
    ASSERT_EQ(session->GetPrincipal(&principal), S_OK);
    EXPECT_EQ(principal, u"carol");
    ExpectValidRequest(*session, token, sent, u"urn:vocontent:vodb000:7");
  }
  // Releasing the session object leaves the session open; another Auth
  // object of the process finds it too.
  auto other = com::MakeObject<Auth>(config);
  token = client.Request(u"urn:vocontent:vodb000:8", &sent);
  com::ComPtr<ISession> held;
  ASSERT_EQ(Lookup(*other, token, held), S_OK) << ErrorInfoText();

  // Only the session's own key closes it; a wrong one (or another
  // session's) answers alike and closes nothing.
  Client neighbour;
  ASSERT_EQ(neighbour.Open(*auth, ticket), S_OK) << ErrorInfoText();
  for (const Bstr& wrong : {Bstr(u"not the key"), Bstr(), neighbour.sessionKey}) {
    ASSERT_EQ(auth->CloseSession(wrong, client.verifier), S_OK);
    com::ComPtr<ISession> still;
    EXPECT_EQ(Lookup(*auth, client.Request(u"urn:vocontent:vodb000:8", &sent), still), S_OK) << ErrorInfoText();
  }
  ASSERT_EQ(auth->CloseSession(client.sessionKey, client.verifier), S_OK);
  Bstr sentLater;
  com::ComPtr<ISession> gone;
  EXPECT_EQ(Lookup(*auth, client.Request(u"urn:vocontent:vodb000:9", &sentLater), gone), E_FAIL);
  EXPECT_EQ(ErrorInfoText(), "No Such Session");
  EXPECT_FALSE(gone);
  // Closing again is no error; an object still held keeps working.
  EXPECT_EQ(auth->CloseSession(client.sessionKey, client.verifier), S_OK);
  ExpectValidRequest(*held, token, sent, u"urn:vocontent:vodb000:8");
}

// ---- Realms and names ------------------------------------------------------------------

using LdapSignIn = LdapFixture;

TEST_F(LdapSignIn, RealmsAndNamesAsTheDirectoryKnowsThem) {
  auto auth = com::MakeObject<Auth>(config);
  Bstr full, ticket;
  // The configured authority named explicitly, in another case.
  std::string shouted = authority;
  shouted.replace(0, 4, "ldap");
  shouted.replace(shouted.find("dc=quor"), 7, "DC=QUOR");
  ASSERT_EQ(auth->CreateTicket(Bstr::FromUtf8(shouted), Bstr(u"quor.test"), Bstr(u"bob"), Bstr(u"bob-pw-2"), &full,
                               &ticket),
            S_OK)
      << ErrorInfoText();
  EXPECT_EQ(full, u"bob@quor.test");
  EXPECT_EQ(Must(ParseTicket(ticket.View(), Must(config.ServerSecretKey())))->realm, u"quor.test");
  // The realm of a user principal name.
  ASSERT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u"different.realm"), Bstr(u"erin"), Bstr(u"erin-pw-6"), &full, &ticket),
            S_OK)
      << ErrorInfoText();
  EXPECT_EQ(full, u"erin@different.realm");
  // Filter characters in a name are the name's own.
  EXPECT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(u"a*(b)\\c"), Bstr(u"odd-pw-5"), &full, &ticket), S_OK)
      << ErrorInfoText();
  for (const char16_t* pattern : {u"al*", u"*", u"alice)(sAMAccountName=*"})
    EXPECT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(pattern), Bstr(u"alice-pw-1"), &full, &ticket),
              dir::kLogonFailure);
}

using LocalSignIn = AccountStoreFixture;

TEST_F(LocalSignIn, TheComputerAsAuthorityBindsTheUserObjectToo) {
  SetDefaults("WinNT://QUORHOST", "QUORHOST");
  auto auth = com::MakeObject<Auth>(config);
  Bstr full, ticket;
  ASSERT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(u"bob"), Bstr(u"bob-pw-2"), &full, &ticket), S_OK)
      << ErrorInfoText();
  EXPECT_EQ(full, u"QUORHOST\\bob");
  EXPECT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u"OTHER"), Bstr(u"bob"), Bstr(u"bob-pw-2"), &full, &ticket),
            dir::kLogonFailure);
}

// ---- What needs no directory server ---------------------------------------------------------

using SignIn = DirectoryFixture;

TEST_F(SignIn, OnlyTheConfiguredDirectoryIsAsked) {
  // A server of the caller's own would take any password: it must never be
  // contacted.
  const test::SilentListener listener;
  ASSERT_NE(listener.Port(), 0);
  const std::string own = "LDAP://127.0.0.1:" + std::to_string(listener.Port()) + "/dc=quor,dc=test";

  auto auth = com::MakeObject<Auth>(config);
  Bstr full, ticket;
  // Nothing configured: nothing is accepted, and an empty authority has no
  // directory to go to.
  EXPECT_EQ(auth->CreateTicket(Bstr::FromUtf8(own), Bstr(u""), Bstr(u"alice"), Bstr(u"pw"), &full, &ticket),
            dir::kLogonFailure);
  EXPECT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(u"alice"), Bstr(u"pw"), &full, &ticket), E_INVALIDARG);

  SetDefaults("LDAP://127.0.0.1:9/dc=quor,dc=test", "quor.test");
  ServiceConfig configured;
  auth = com::MakeObject<Auth>(configured);
  for (const std::string& other : {own, std::string("LDAP://127.0.0.1:9/dc=evil,dc=test"),
                                   std::string("WinNT://127.0.0.1:9"), std::string("not an authority")}) {
    EXPECT_EQ(auth->CreateTicket(Bstr::FromUtf8(other), Bstr(u""), Bstr(u"alice"), Bstr(u"pw"), &full, &ticket),
              dir::kLogonFailure)
        << other;
    EXPECT_TRUE(ticket.IsNull());
  }
  EXPECT_FALSE(listener.Contacted()) << "the caller's server was contacted";
  // The configured one is asked: nobody listens on port 9.
  EXPECT_EQ(auth->CreateTicket(Bstr(u"ldap://127.0.0.1:9/DC=quor,DC=test"), Bstr(u""), Bstr(u"alice"), Bstr(u"pw"),
                               &full, &ticket),
            dir::kServerDown);
}

TEST_F(SignIn, EmptyCredentialsAndNamesAreRefusedBeforeAnyBind) {
  // Nobody listens on port 9: a bind would fail as "server down".
  SetDefaults("LDAP://127.0.0.1:9/dc=quor,dc=test", "quor.test");
  auto auth = com::MakeObject<Auth>(config);
  Bstr full(u"stale"), ticket;
  EXPECT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(u"alice"), Bstr(u""), &full, &ticket), dir::kLogonFailure);
  EXPECT_EQ(ErrorInfoText(), "Logon failure: empty credential");
  EXPECT_TRUE(full.IsNull());
  EXPECT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(u"alice"), Bstr(), &full, &ticket), E_POINTER);
  // Argument checks come first and leave the outputs alone.
  full = Bstr(u"kept");
  EXPECT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(u""), Bstr(u"pw"), &full, &ticket), E_INVALIDARG);
  EXPECT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(), Bstr(u"pw"), &full, &ticket), E_INVALIDARG);
  EXPECT_EQ(full, u"kept");
  EXPECT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(u"alice"), Bstr(u"pw"), &full, nullptr), E_POINTER);

  SetDefaults("HTTP://example.test", "");
  ServiceConfig http;
  auth = com::MakeObject<Auth>(http);
  EXPECT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(u"alice"), Bstr(u"pw"), &full, &ticket), E_NOTIMPL);
  EXPECT_EQ(ErrorInfoText(), "Unsupported Authority Scheme");
}

TEST(DirectoryAuthority, AuthorityTextsAndDistinguishedNames) {
  EXPECT_EQ(Must(Authority::Parse(u"ldap://a.b.c").LdapContainerPath(kAuthClsid)), u"LDAP://a.b.c/DC=a,DC=b,DC=c");
  EXPECT_EQ(Must(Authority::Parse(u"LDAP://h/OU=U1,DC=a,DC=b").LdapContainerPath(kAuthClsid)), u"LDAP://h/OU=U1,DC=a,DC=b");
  EXPECT_EQ(Must(Authority::Parse(u"LDAP://a.b/U1/U2//").LdapContainerPath(kAuthClsid)), u"LDAP://a.b/OU=U2,OU=U1,DC=a,DC=b");
  EXPECT_EQ(Must(Authority::Parse(u"LDAP://h:389").LdapContainerPath(kAuthClsid)), u"LDAP://h:389/DC=h:389");
  EXPECT_TRUE(Authority::Parse(u"WinNT://QUORDOM").SameAs(Authority::Parse(u"winnt://quordom/")));
  EXPECT_FALSE(Authority::Parse(u"WinNT://QUORDOM").SameAs(Authority::Parse(u"WinNT://QUORHOST")));
  EXPECT_FALSE(Authority::Parse(u"no scheme").SameAs(Authority::Parse(u"no scheme")));
  EXPECT_EQ(Raised([] { return BuildDistinguishedName(u"", kAuthClsid); }).first, E_INVALIDARG);
  // Statuses of other facilities get no directory text.
  EXPECT_EQ(DirectoryErrorText(static_cast<HRESULT>(0x80090005)), u"");
  EXPECT_TRUE(DirectoryErrorText(dir::E_ADS_UNKNOWN_OBJECT).starts_with(u"E_ADS_UNKNOWN_OBJECT"));
}

// ---- Sessions: the service table, tickets and verifiers ---------------------------------------

TEST_F(LocalSignIn, OpeningAndClosingSessionsChecksServiceTicketAndVerifier) {
  auto auth = com::MakeObject<Auth>(config);
  Bstr full, ticket;
  ASSERT_EQ(auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(u"carol"), Bstr(u"carol-pw-3"), &full, &ticket), S_OK)
      << ErrorInfoText();

  // Two sessions from one ticket are independent.
  Client first, second;
  ASSERT_EQ(first.Open(*auth, ticket), S_OK) << ErrorInfoText();
  ASSERT_EQ(second.Open(*auth, ticket), S_OK) << ErrorInfoText();
  EXPECT_NE(first.verifier, second.verifier);
  EXPECT_NE(first.sessionKey, second.sessionKey);
  const size_t open = SessionTable::Instance().Size();
  ASSERT_EQ(auth->CloseSession(first.sessionKey, first.verifier), S_OK);
  EXPECT_EQ(SessionTable::Instance().Size(), open - 1);
  Bstr sent;
  const Bstr token = second.Request(u"v", &sent);
  com::ComPtr<ISession> session;
  EXPECT_EQ(Lookup(*auth, token, session), S_OK) << ErrorInfoText();

  // Service identifiers match exactly; only string values are services.
  {
    reg::Key services;
    ASSERT_EQ(reg::Win32Error(services.Open(reg::Hive::LocalMachine, "SOFTWARE\\Velt\\Services")), reg::ERROR_SUCCESS);
    ASSERT_EQ(reg::Win32Error(services.SetDword("dword", 7)), reg::ERROR_SUCCESS);
    ASSERT_EQ(reg::Win32Error(services.SetString("empty", "")), reg::ERROR_SUCCESS);
  }
  for (const char16_t* service : {u"QSC", u"", u"empty", u"dword"}) {
    Client client;
    EXPECT_EQ(client.Open(*auth, ticket, service), E_FAIL) << text::Narrow(service);
    EXPECT_EQ(ErrorInfoText(), "Unknown Service Identifier");
    EXPECT_TRUE(client.verifier.IsNull());
  }
  Bstr key, verifier, locator;
  EXPECT_EQ(auth->OpenSession(Bstr(), ticket, first.scheme, first.seed, &key, &verifier, &locator), E_INVALIDARG);
  EXPECT_EQ(auth->OpenSession(Bstr(u"qsc"), ticket, first.scheme, first.seed, &key, &verifier, nullptr), E_POINTER);

  // An altered ticket.
  std::u16string altered = ticket.Str();
  altered[altered.find(u';') + 5] ^= 1;
  Client bad;
  EXPECT_EQ(bad.Open(*auth, Bstr(altered)), E_FAIL);
  EXPECT_EQ(ErrorInfoText(), "Invalid Ticket");

  // A tampered verifier is refused, not taken for an unknown session.
  std::u16string tampered = second.verifier.Str();
  const size_t at = tampered.find(u';') + 3;
  tampered[at] = tampered[at] == u'A' ? u'B' : u'A';
  EXPECT_EQ(auth->CloseSession(Bstr(), Bstr(tampered)), E_FAIL);
  EXPECT_EQ(ErrorInfoText(), "Invalid Verifier");
  EXPECT_TRUE(FAILED(Lookup(*auth, Bstr(u"no verifier here"), session)));
  EXPECT_EQ(auth->LookupSession(token, nullptr), E_POINTER);
  EXPECT_EQ(auth->CloseSession(second.sessionKey, second.verifier), S_OK);

  // Without the service table key: a failure, not the registry's positive
  // error number, which would read as success.
  ASSERT_EQ(
      reg::Win32Error(reg::Registry::Default().DeleteKeyTree(reg::Hive::LocalMachine, "SOFTWARE\\Velt\\Services")),
      reg::ERROR_SUCCESS);
  Client orphan;
  EXPECT_EQ(orphan.Open(*auth, ticket), static_cast<HRESULT>(0x80070002));
  auto info = com::GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, u"RegOpenKeyEx");
  EXPECT_EQ(info->source, u"QuorAuth.Auth");
  EXPECT_EQ(info->code, static_cast<HRESULT>(0x80070002));
  EXPECT_TRUE(orphan.verifier.IsNull());
  EXPECT_TRUE(orphan.locator.IsNull());
}

}  // namespace
}  // namespace quor::auth
