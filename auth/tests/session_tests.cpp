// Tickets, verifiers, sessions with the Session component, and the service
// configuration, against a temporary key folder and registry file.
#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "auth/config.h"
#include "auth/ids.h"
#include "auth/sealed.h"
#include "auth/session.h"
#include "auth/session_object.h"
#include "auth/ticket.h"
#include "auth/util/codec.h"
#include "auth/util/crypto.h"
#include "helpers.h"
#include "platform/registry/registry.h"

namespace quor::auth {
namespace {

using testing::AuthTest;
using testing::Must;
using testing::Raised;

util::Bytes NewSecretKey() {
  util::CryptProvider p;
  Must(p.AcquireContext(std::nullopt, std::nullopt, 0, crypt::CRYPT_VERIFYCONTEXT));
  return Must(Must(p.GenKey(crypt::CALG_RC2, crypt::CRYPT_EXPORTABLE)).ExportKey(crypt::OPAQUEKEYBLOB, nullptr));
}

// Changes one Base64 character at `at` to another valid one.
std::u16string Altered(std::u16string text, size_t at) {
  text[at] = text[at] == u'A' ? u'B' : u'A';
  return text;
}

class AuthSessions : public AuthTest {
 protected:
  util::Bytes secret = NewSecretKey();
};

// ---- Tickets ----------------------------------------------------------------------

TEST_F(AuthSessions, TicketsReadBackAsIssued) {
  const TicketImpl issued = TicketImpl::Issued(u"EXAMPLE.COM", u"user1", 1700000000, 1700000001);
  const std::u16string text = Must(MakeTicketText(issued, secret));
  EXPECT_NE(text.find(u';'), std::u16string::npos);
  std::unique_ptr<TicketImpl> read = Must(ParseTicket(text, secret));
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, issued);
  EXPECT_EQ(read->issueTime, 1700000001u);
  EXPECT_EQ(read->secondTime, 1700000000u);
  EXPECT_EQ(read->reserved4, 4294967295u);

  // An empty realm and non-ASCII text survive; text after a second ";" is ignored.
  const TicketImpl plain = TicketImpl::Issued(u"", u"ユーザー", 1, 2);
  const std::u16string plainText = Must(MakeTicketText(plain, secret));
  EXPECT_EQ(**ParseTicket(plainText + u";whatever", secret), plain);
  // Each issue is sealed afresh but reads the same.
  EXPECT_EQ(**ParseTicket(Must(MakeTicketText(plain, secret)), secret), plain);
}

TEST_F(AuthSessions, AlteredForgedAndForeignTicketsAreRefused) {
  const std::u16string text = Must(MakeTicketText(TicketImpl::Issued(u"R", u"user1", 1, 2), secret));
  const size_t semicolon = text.find(u';');

  // A flipped character early in the sealed part decrypts to other text.
  auto [code, why] = Raised([&] { return ParseTicket(Altered(text, 2), secret); });
  EXPECT_EQ(code, E_FAIL);
  EXPECT_EQ(why, "Invalid Ticket");
  // A flipped signature.
  std::tie(code, why) = Raised([&] { return ParseTicket(Altered(text, semicolon + 10), secret); });
  EXPECT_EQ(code, E_FAIL);
  EXPECT_EQ(why, "Invalid Ticket");
  // A signature made by another key over the same text.
  {
    util::CryptProvider other;
    Must(other.AcquireContext("forger", std::nullopt, 0, crypt::CRYPT_MACHINE_KEYSET));
    Must(other.GetSignatureKey());
    util::CryptHash h = Must(other.CreateHash(crypt::CALG_SHA1));
    Must(h.HashData(util::Base64Decode(text.substr(0, semicolon))));
    const std::u16string forged =
        text.substr(0, semicolon + 1) + util::WidenAscii(util::Base64Encode(Must(h.SignHash(crypt::AT_SIGNATURE))));
    std::tie(code, why) = Raised([&] { return ParseTicket(forged, secret); });
    EXPECT_EQ(why, "Invalid Ticket");
  }
  // Sealed by another process's secret key.
  std::tie(code, why) = Raised([&] { return ParseTicket(text, NewSecretKey()); });
  EXPECT_TRUE((code == E_FAIL && why == "Invalid Ticket") || (code == crypt::NTE_BAD_DATA && why == "CryptDecrypt"));
  // A sealed part of the wrong length.
  std::tie(code, why) = Raised([&] { return ParseTicket(u"QUJD;" + text.substr(semicolon + 1), secret); });
  EXPECT_EQ(code, crypt::NTE_BAD_DATA);
  EXPECT_EQ(why, "CryptDecrypt");
  std::tie(code, why) = Raised([&] { return ParseTicket(u"", secret); });
  EXPECT_TRUE(FAILED(code));
}

TEST_F(AuthSessions, TicketFieldsCannotSpill) {
  for (const auto& fields : {std::pair<std::u16string, std::u16string>{u"EVIL:REALM", u"user"},
                              {u"REALM", u"user:0:0"},
                              {u"REALM", std::u16string(u"us\0er", 5)}}) {
    auto [code, why] =
        Raised([&] { return MakeTicketText(TicketImpl::Issued(fields.first, fields.second, 1, 2), secret); });
    EXPECT_EQ(code, E_INVALIDARG);
  }
  // Properly signed texts that are not twelve well-formed fields.
  for (const char16_t* plain : {u"256:0:1:2:4294967295:0:R:P:0:0:0", u"256:0:1:2:4294967295:0:R:P:0:0:0:0:0",
                                u"256:0:x:2:4294967295:0:R:P:0:0:0:0", u"256:0:1:2:4294967296:0:R:P:0:0:0:0",
                                u"256:0: 1:2:4294967295:0:R:P:0:0:0:0"}) {
    const std::u16string text = Must(SealAndSign(plain, secret));
    auto [code, why] = Raised([&] { return ParseTicket(text, secret); });
    EXPECT_EQ(code, E_FAIL) << text::Narrow(plain);
    EXPECT_EQ(why, "Invalid Ticket");
  }
}

// ---- Sessions and verifiers -----------------------------------------------------------

// A console-side handler and a session opened for it, as OpenSession makes one.
struct Opened {
  TokenHandlerPtr client;
  std::shared_ptr<SessionImpl> session;
  std::u16string verifier;

  Opened(std::u16string realm, std::u16string principal, std::span<const uint8_t> secret) {
    EXPECT_EQ(AcquireClientTokenHandler(Bstr(u""), &client), S_OK);
    Bstr scheme, seed;
    EXPECT_EQ(GetTokenScheme(client.get(), &scheme), S_OK);
    EXPECT_EQ(GetTokenSeed(client.get(), &seed), S_OK);
    session = std::make_shared<SessionImpl>(
        std::make_unique<TicketImpl>(TicketImpl::Issued(std::move(realm), std::move(principal), 1, 2)), u"qsc");
    const std::u16string sessionKey = Must(session->Init(scheme, seed));
    verifier = Must(session->MakeVerifier(secret));
    EXPECT_EQ(SetTokenItem(client.get(), Bstr(kSessionKeyItem), Bstr(sessionKey)), S_OK);
    EXPECT_EQ(SetTokenItem(client.get(), Bstr(kOpaqueItem), Bstr(verifier)), S_OK);
  }

  Bstr Request(std::u16string_view method, std::u16string_view argument) {
    EXPECT_EQ(SetTokenData(client.get(), 0, 0, Bstr(method), Bstr(u"")), S_OK);
    EXPECT_EQ(SetTokenData(client.get(), 1, kKindEncrypted, Bstr(u"uri"), Bstr(argument)), S_OK);
    Bstr token;
    EXPECT_EQ(ConstructToken(client.get(), &token), S_OK);
    return token;
  }
  Bstr Sent(uint32_t index) {
    Bstr value;
    EXPECT_EQ(GetTokenData(client.get(), index, nullptr, nullptr, &value), S_OK);
    return value;
  }
};

TEST_F(AuthSessions, OneRequestThroughTheSessionObject) {
  Opened opened(u"EXAMPLE.COM", u"user1", secret);
  com::ComPtr<Session> object = com::MakeObject<Session>();
  object->Bind(opened.session);
  com::ComPtr<ISession> session;
  ASSERT_EQ(object.As(session), S_OK);

  Bstr text;
  ASSERT_EQ(session->GetFullPrincipal(&text), S_OK);
  EXPECT_EQ(text, u"user1@EXAMPLE.COM");
  ASSERT_EQ(session->GetRealm(&text), S_OK);
  EXPECT_EQ(text, u"EXAMPLE.COM");

  // The request as the service core unwraps it.
  const Bstr token = opened.Request(u"GetShareField", u"urn:vocontent:vodb000:42");
  ASSERT_EQ(session->SetTokenData(0, 0, Bstr(u"GetShareField"), Bstr()), S_OK);
  ASSERT_EQ(session->SetTokenData(1, 0, Bstr(u"uri"), opened.Sent(1)), S_OK);
  int32_t valid = 0;
  ASSERT_EQ(session->ValidateToken(token, &valid), S_OK);
  EXPECT_EQ(valid, -1);
  uint32_t flags = 77;
  Bstr src(u"stale"), dst;
  ASSERT_EQ(session->GetTokenData(1, &flags, &src, &dst), S_OK);
  EXPECT_EQ(flags, kKindEncrypted);
  EXPECT_EQ(src, opened.Sent(1));
  EXPECT_EQ(dst, u"urn:vocontent:vodb000:42");
  // A replay is answered "not valid", not as a failure.
  ASSERT_EQ(session->ValidateToken(token, &valid), S_OK);
  EXPECT_EQ(valid, 0);

  // The answer, compressed, and the client's check of it.
  ASSERT_EQ(session->SetTokenData(0, 0, Bstr(u"GetShareField"), Bstr()), S_OK);
  ASSERT_EQ(session->SetTokenData(1, kKindCompressed, Bstr(u"result"), Bstr(u"<root><field/></root>")), S_OK);
  Bstr reskey, result;
  ASSERT_EQ(session->ConstructToken(&reskey), S_OK);
  ASSERT_EQ(session->GetTokenData(1, nullptr, nullptr, &result), S_OK);
  ASSERT_EQ(SetTokenData(opened.client.get(), 0, 0, Bstr(u"GetShareField"), Bstr(u"")), S_OK);
  ASSERT_EQ(SetTokenData(opened.client.get(), 1, 0, Bstr(u"result"), result), S_OK);
  ASSERT_EQ(ValidateToken(opened.client.get(), reskey), S_OK);
  EXPECT_EQ(opened.Sent(1), u"<root><field/></root>");

  // Failures carry the session's texts and error information.
  com::ClearErrorInfo();
  EXPECT_EQ(session->GetTokenData(5, nullptr, nullptr, &dst), E_FAIL);
  auto info = com::GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, u"get token data failed");
  EXPECT_EQ(session->SetTokenData(7, 0, Bstr(u"x"), Bstr()), E_FAIL);
  info = com::GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, u"set token data failed");
  EXPECT_EQ(info->source, u"QuorAuth.Session");
  EXPECT_EQ(session->SetTokenData(0, 0, Bstr(), Bstr()), E_INVALIDARG);
  EXPECT_EQ(session->ValidateToken(Bstr(), &valid), E_INVALIDARG);
  EXPECT_EQ(session->ValidateToken(token, nullptr), E_POINTER);
  EXPECT_EQ(session->GetTokenData(0, nullptr, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(session->ConstructToken(nullptr), E_POINTER);
}

TEST_F(AuthSessions, AnAnswerStreamsThroughTheSessionObject) {
  Opened opened(u"R", u"u", secret);
  com::ComPtr<Session> object = com::MakeObject<Session>();
  object->Bind(opened.session);
  com::ComPtr<ISession> session;
  ASSERT_EQ(object.As(session), S_OK);
  int32_t valid = 0;
  auto request = [&](std::u16string_view argument) {
    const Bstr token = opened.Request(u"Query", argument);
    ASSERT_EQ(session->SetTokenData(0, 0, Bstr(u"Query"), Bstr()), S_OK);
    ASSERT_EQ(session->SetTokenData(1, 0, Bstr(u"uri"), opened.Sent(1)), S_OK);
    ASSERT_EQ(session->ValidateToken(token, &valid), S_OK);
    EXPECT_EQ(valid, -1);
  };
  request(u"first");

  const std::string value = "<root>" + std::string(100000, 'x') + "\xC3\xA9</root>";
  ASSERT_EQ(session->SetTokenData(0, 0, Bstr(u"Query"), Bstr()), S_OK);
  ASSERT_EQ(session->SetTokenData(1, 0, Bstr(u"result"), Bstr::FromUtf8(value)), S_OK);
  Bstr buffered;
  ASSERT_EQ(session->ConstructToken(&buffered), S_OK);

  auto stream = [&](const std::function<void()>& meanwhile) {
    EXPECT_EQ(session->SetTokenData(0, 0, Bstr(u"Query"), Bstr()), S_OK);
    EXPECT_EQ(session->SetTokenData(1, 0, Bstr(u"result"), Bstr()), S_OK);
    EXPECT_EQ(session->BeginTokenStream(), S_OK);
    EXPECT_EQ(session->HashTokenStream(std::string_view(value).substr(0, 50000)), S_OK);
    meanwhile();
    EXPECT_EQ(session->HashTokenStream(std::string_view(value).substr(50000)), S_OK);
    Bstr token;
    EXPECT_EQ(session->EndTokenStream(&token), S_OK);
    return token;
  };
  const Bstr streamed = stream([] {});
  EXPECT_EQ(streamed, buffered);
  ASSERT_EQ(SetTokenData(opened.client.get(), 0, 0, Bstr(u"Query"), Bstr(u"")), S_OK);
  ASSERT_EQ(SetTokenData(opened.client.get(), 1, 0, Bstr(u"result"), Bstr()), S_OK);
  ASSERT_EQ(BeginValidateStream(opened.client.get()), S_OK);
  ASSERT_EQ(HashTokenStream(opened.client.get(), value), S_OK);
  EXPECT_EQ(EndValidateStream(opened.client.get(), streamed), S_OK);

  // A request of the session validated while the answer streams leaves
  // the answer as it was begun.
  EXPECT_EQ(stream([&] { request(u"second"); }), buffered);

  Bstr token;
  EXPECT_EQ(session->HashTokenStream("x"), E_UNEXPECTED);
  EXPECT_EQ(session->EndTokenStream(&token), E_UNEXPECTED);
  EXPECT_EQ(session->EndTokenStream(nullptr), E_POINTER);
  ASSERT_EQ(session->SetTokenData(0, 0, Bstr(u"Query"), Bstr()), S_OK);
  ASSERT_EQ(session->SetTokenData(1, 0, Bstr(u"result"), Bstr(u"")), S_OK);
  EXPECT_EQ(session->BeginTokenStream(), E_INVALIDARG);
  // Not reachable by name.
  com::DISPID id = 0;
  EXPECT_NE(object->GetIDOfName(u"BeginTokenStream", id), S_OK);
  com::ComPtr<Session> unbound = com::MakeObject<Session>();
  EXPECT_EQ(unbound->BeginTokenStream(), E_UNEXPECTED);
  EXPECT_EQ(unbound->HashTokenStream("x"), E_UNEXPECTED);
  EXPECT_EQ(unbound->EndTokenStream(&token), E_UNEXPECTED);
}

TEST_F(AuthSessions, SessionObjectsByNameAndUnbound) {
  Opened opened(u"R", u"u", secret);
  com::ComPtr<Session> object = com::MakeObject<Session>();
  object->Bind(opened.session);
  com::Variant result;
  ASSERT_EQ(com::InvokeByName(object.Get(), u"GetPrincipal", com::DISPATCH_METHOD, {}, &result), S_OK);
  com::Bstr principal;
  ASSERT_EQ(result.ToBstr(principal), S_OK);
  EXPECT_EQ(principal, u"u");
  com::DISPID id = 0;
  ASSERT_EQ(object->GetIDOfName(u"GetTokenData", id), S_OK);
  EXPECT_EQ(id, 7);

  com::ComPtr<com::ISupportErrorInfo> support;
  ASSERT_EQ(object.As(support), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(ISession::kIid), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(com::IDispatch::kIid), S_FALSE);

  com::ComPtr<Session> unbound = com::MakeObject<Session>();
  Bstr text;
  int32_t valid = 0;
  EXPECT_EQ(unbound->GetRealm(&text), E_UNEXPECTED);
  EXPECT_EQ(unbound->ValidateToken(Bstr(u"x"), &valid), E_UNEXPECTED);
  EXPECT_EQ(unbound->GetRealm(nullptr), E_POINTER);
}

TEST_F(AuthSessions, AClosedSessionStaysSafeForObjectsThatHoldIt) {
  com::ComPtr<Session> object = com::MakeObject<Session>();
  Bstr token;
  {
    Opened opened(u"R", u"u", secret);
    object->Bind(opened.session);
    token = opened.Request(u"M", u"a");
    object->SetTokenData(0, 0, Bstr(u"M"), Bstr());
    object->SetTokenData(1, 0, Bstr(u"uri"), opened.Sent(1));
  }  // the table's reference and the client are gone
  int32_t valid = 0;
  ASSERT_EQ(object->ValidateToken(token, &valid), S_OK);
  EXPECT_EQ(valid, -1);
}

TEST_F(AuthSessions, SessionsOfOneUserShareAContainerButNothingElse) {
  Opened a(u"EXAMPLE.COM", u"user1", secret), b(u"EXAMPLE.COM", u"user1", secret);
  EXPECT_NE(a.session->Identifier(), b.session->Identifier());
  for (const auto& s : {a.session, b.session}) {
    const size_t bytes = util::Base64Decode(std::u16string_view(s->Identifier())).size();
    EXPECT_GE(bytes, 32u);
    EXPECT_LE(bytes, 63u);
  }
  EXPECT_NE(a.verifier, b.verifier);
  const auto machine = dir.Path() / "keys" / "machine";
  EXPECT_TRUE(std::filesystem::exists(machine / "Velt.QuorService%3Auser1@EXAMPLE.COM.key"));
  // b's request does not pass a's session.
  const Bstr token = b.Request(u"M", u"x");
  Must(a.session->SetTokenData(0, 0, Bstr(u"M"), Bstr()));
  Must(a.session->SetTokenData(1, 0, Bstr(u"uri"), b.Sent(1)));
  EXPECT_FALSE(Must(a.session->ValidateToken(token)));

  // A taken identifier is drawn anew, never entered twice.
  std::map<std::u16string, std::shared_ptr<SessionImpl>> table = {{a.session->Identifier(), a.session}};
  int refusals = 0;
  auto insert = [&](const std::u16string& id) {
    if (refusals < 2) {  // as if the first two were taken
      ++refusals;
      return false;
    }
    return table.emplace(id, a.session).second;
  };
  const std::u16string before = a.session->Identifier();
  Must(EnterUnique(*a.session, insert));
  EXPECT_EQ(refusals, 2);
  EXPECT_NE(a.session->Identifier(), before);
  EXPECT_EQ(table.size(), 2u);
  auto [code, why] = Raised([&] { return EnterUnique(*b.session, [](const std::u16string&) { return false; }); });
  EXPECT_EQ(code, E_UNEXPECTED);
  EXPECT_EQ(why, "Duplicate session identifier");
}

TEST_F(AuthSessions, BadSeedsAndSchemesFailTheSessionSetUp) {
  auto session = std::make_shared<SessionImpl>(std::make_unique<TicketImpl>(TicketImpl::Issued(u"R", u"u", 1, 2)), u"qsc");
  auto [code, why] = Raised([&] { return session->Init(Bstr(u",PROV_NOTHING"), Bstr(u"A:B;C")); });
  EXPECT_EQ(code, E_FAIL);
  EXPECT_EQ(why, "AcquireTokenHandler Failed");
  std::tie(code, why) = Raised([&] { return session->Init(Bstr(u""), Bstr(u"no seed")); });
  EXPECT_EQ(code, E_FAIL);
  EXPECT_EQ(why, "SetTokenSeed Failed");
  // Not set up: token calls refuse.
  std::tie(code, why) = Raised([&] { return session->ConstructToken(); });
  EXPECT_EQ(code, E_UNEXPECTED);

  SessionImpl noTicket(nullptr, u"qsc");
  std::tie(code, why) = Raised([&] { return noTicket.GetFullPrincipal(); });
  EXPECT_EQ(code, E_UNEXPECTED);
}

TEST_F(AuthSessions, VerifiersFindTheirSessionAndNothingElse) {
  Opened opened(u"EXAMPLE.COM", u"user1", secret);
  std::map<std::u16string, std::shared_ptr<SessionImpl>> table = {{opened.session->Identifier(), opened.session}};
  SessionLookup lookup = [&](const std::u16string& id) {
    auto it = table.find(id);
    return it == table.end() ? nullptr : it->second;
  };

  const VerifierFields fields = Must(ParseVerifier(opened.verifier, secret));
  EXPECT_EQ(fields.identifier, opened.session->Identifier());
  EXPECT_EQ(fields.realm, u"EXAMPLE.COM");
  EXPECT_EQ(fields.principal, u"user1");

  // From a request token (sealed part ":" verifier ":" anything), and from
  // ":" followed by the verifier, as CloseSession passes it.
  const Bstr token = opened.Request(u"M", u"x");
  EXPECT_EQ(Must(FindByVerifier(std::u16string(token.View()) + u":more", lookup, secret)), opened.session);
  EXPECT_EQ(Must(FindByVerifier(u":" + opened.verifier, lookup, secret)), opened.session);
  EXPECT_EQ(VerifierOfToken(u"abc"), u"");

  // Altered: the signature check fails.
  auto [code, why] = Raised([&] { return FindByVerifier(u":" + Altered(opened.verifier, 3), lookup, secret); });
  EXPECT_EQ(code, E_FAIL);
  EXPECT_EQ(why, "Invalid Verifier");
  const size_t semicolon = opened.verifier.find(u';');
  std::tie(code, why) = Raised([&] { return FindByVerifier(u":" + Altered(opened.verifier, semicolon + 5), lookup, secret); });
  EXPECT_EQ(why, "Invalid Verifier");
  // Properly signed but not three fields.
  std::tie(code, why) = Raised([&] { return ParseVerifier(Must(SealAndSign(u"id:realm", secret)), secret); });
  EXPECT_EQ(why, "Invalid Verifier");
  std::tie(code, why) = Raised([&] { return ParseVerifier(Must(SealAndSign(u"id:realm:user:extra", secret)), secret); });
  EXPECT_EQ(why, "Invalid Verifier");

  // A session whose realm or principal differs from its verifier's.
  auto impostor = std::make_shared<SessionImpl>(
      std::make_unique<TicketImpl>(TicketImpl::Issued(u"EXAMPLE.COM", u"user2", 1, 2)), u"qsc");
  table[opened.session->Identifier()] = impostor;
  std::tie(code, why) = Raised([&] { return FindByVerifier(u":" + opened.verifier, lookup, secret); });
  EXPECT_EQ(code, E_UNEXPECTED);
  EXPECT_EQ(why, "Session inconsistent");

  // Closed: the verifier still checks, but finds nothing.
  table.clear();
  EXPECT_EQ(Must(FindByVerifier(u":" + opened.verifier, lookup, secret)), nullptr);
}

TEST_F(AuthSessions, OneSessionTakesCallsFromSeveralThreads) {
  Opened opened(u"R", u"u", secret);
  std::atomic<int> tokens{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        // Interleaved requests of one session may refuse one another; they
        // must not corrupt it.
        if (!opened.session->SetTokenData(0, 0, Bstr(u"M"), Bstr()).ok()) continue;
        if (!opened.session->SetTokenData(1, static_cast<uint32_t>(t % 4), Bstr(u"result"), Bstr(u"value")).ok())
          continue;
        Result<Bstr> token = opened.session->ConstructToken();
        if (token.ok() && !token->Empty()) ++tokens;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_GT(tokens.load(), 0);
  // Still whole: a fresh request passes.
  const Bstr token = opened.Request(u"M", u"x");
  Must(opened.session->SetTokenData(0, 0, Bstr(u"M"), Bstr()));
  Must(opened.session->SetTokenData(1, 0, Bstr(u"uri"), opened.Sent(1)));
  EXPECT_TRUE(Must(opened.session->ValidateToken(token)));
}

// ---- Service configuration -------------------------------------------------------------

class AuthConfig : public AuthTest {
 protected:
  void SetUp() override {
    AuthTest::SetUp();
    ::setenv("QUOR_COMPUTER_NAME", "host.example.com", 1);
  }
  void TearDown() override {
    ::unsetenv("QUOR_COMPUTER_NAME");
    AuthTest::TearDown();
  }
  reg::Key Services() {
    reg::Key key;
    EXPECT_EQ(reg::Win32Error(key.Create(reg::Hive::LocalMachine, "SOFTWARE\\Velt\\Services")), 0);
    return key;
  }
};

TEST_F(AuthConfig, LocatorsComeFromTheServiceTableWithTheComputerName) {
  ServiceConfig config;
  auto [code, why] = Raised([&] { return config.ServiceLocator(u"qsc"); });
  EXPECT_EQ(code, static_cast<HRESULT>(0x80070002));  // the registry's number as a failure
  EXPECT_EQ(why, "RegOpenKeyEx");

  reg::Key services = Services();
  EXPECT_TRUE(services.SetString("qsc", "http://%s/QuorService/QuorServiceCore.sod").ok());
  EXPECT_TRUE(services.SetString("upper", "http://%S/x").ok());
  EXPECT_TRUE(services.SetString("both", "%S and %s").ok());
  EXPECT_TRUE(services.SetString("twice", "%s/%s").ok());
  EXPECT_TRUE(services.SetExpandString("expand", "http://%s/").ok());
  EXPECT_TRUE(services.SetDword("number", 1).ok());
  EXPECT_EQ(Must(config.ServiceLocator(u"qsc")), u"http://host.example.com/QuorService/QuorServiceCore.sod");
  EXPECT_EQ(Must(config.ServiceLocator(u"upper")), u"http://host.example.com/x");
  EXPECT_EQ(Must(config.ServiceLocator(u"both")), u"%S and host.example.com");
  EXPECT_EQ(Must(config.ServiceLocator(u"twice")), u"host.example.com/%s");
  EXPECT_EQ(Must(config.ServiceLocator(u"expand")), u"");  // not a plain string
  EXPECT_EQ(Must(config.ServiceLocator(u"number")), u"");
  EXPECT_EQ(Must(config.ServiceLocator(u"QSC")), u"");  // identifiers match with case
  EXPECT_EQ(Must(config.ServiceLocator(u"")), u"");

  // Changes while the process runs are seen at the next call.
  EXPECT_TRUE(services.SetString("late", "added").ok());
  EXPECT_TRUE(services.DeleteValue("qsc").ok());
  EXPECT_EQ(Must(config.ServiceLocator(u"late")), u"added");
  EXPECT_EQ(Must(config.ServiceLocator(u"qsc")), u"");
}

TEST_F(AuthConfig, DirectoryDefaultsAreRetriedUntilSet) {
  ServiceConfig config;
  EXPECT_EQ(config.DefaultAuthority(), u"");
  EXPECT_EQ(config.DefaultRealm(), u"");
  reg::Key velt;
  ASSERT_EQ(reg::Win32Error(velt.Create(reg::Hive::LocalMachine, "SOFTWARE\\Velt")), 0);
  EXPECT_TRUE(velt.SetString("DefaultAuthority", "LDAP://127.0.0.1/dc=example,dc=com").ok());
  EXPECT_TRUE(velt.SetString("DefaultRealm", "EXAMPLE.COM").ok());
  EXPECT_EQ(config.DefaultAuthority(), u"LDAP://127.0.0.1/dc=example,dc=com");
  EXPECT_EQ(config.DefaultRealm(), u"EXAMPLE.COM");
  // Kept once read.
  EXPECT_TRUE(velt.SetString("DefaultRealm", "OTHER").ok());
  EXPECT_EQ(config.DefaultRealm(), u"EXAMPLE.COM");
}

TEST_F(AuthConfig, TheSecretKeyIsMadeOnceAndStaysInMemory) {
  ServiceConfig config;
  const util::Bytes first = Must(config.ServerSecretKey());
  EXPECT_EQ(Must(config.ServerSecretKey()), first);
  EXPECT_TRUE(std::filesystem::exists(dir.Path() / "keys" / "machine" / "Velt.QuorService.key"));
  // Neither its bytes nor their Base64 are written anywhere.
  const std::string keyBytes(first.end() - 16, first.end());
  const std::string keyText = util::Base64Encode(util::Bytes(first.end() - 16, first.end()));
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.Path())) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(contents.find(keyBytes), std::string::npos) << entry.path();
    EXPECT_EQ(contents.find(keyText), std::string::npos) << entry.path();
  }
  // Another process (another config) has another key.
  EXPECT_NE(Must(ServiceConfig().ServerSecretKey()), first);
}

TEST_F(AuthConfig, ComputerNamesAndTextSplitting) {
  ServiceConfig config;
  EXPECT_EQ(Must(config.ComputerName()), u"host.example.com");
  ::unsetenv("QUOR_COMPUTER_NAME");
  EXPECT_EQ(Must(config.ComputerName()), u"host.example.com");  // cached
  const std::u16string real = Must(LookupComputerName());
  EXPECT_FALSE(real.empty());
  EXPECT_EQ(real.find(u' '), std::u16string::npos);

  EXPECT_EQ(SplitText(u"a;b;c", u';'), (std::pair<std::u16string_view, std::u16string_view>(u"a", u"b;c")));
  EXPECT_EQ(SplitText(u"abc", u';'), (std::pair<std::u16string_view, std::u16string_view>(u"abc", u"")));
  EXPECT_EQ(SplitText(u"", u';'), (std::pair<std::u16string_view, std::u16string_view>(u"", u"")));
}

TEST_F(AuthSessions, ErrorsNameTheAuthClassOnceItIsRegistered) {
  const std::u16string text = Must(MakeTicketText(TicketImpl::Issued(u"R", u"u", 1, 2), secret));
  auto sourceOfFailure = [&] {
    com::ClearErrorInfo();
    EXPECT_FALSE(ParseTicket(Altered(text, 2), secret).ok());
    auto info = com::GetErrorInfo();
    return info ? info->source.ToUtf8() : std::string("(none)");
  };
  EXPECT_EQ(sourceOfFailure(), "");
  reg::Key key;
  ASSERT_EQ(reg::Win32Error(key.Create(reg::Hive::ClassesRoot, "CLSID\\" + kAuthClsid.Format() + "\\ProgID")), 0);
  ASSERT_EQ(reg::Win32Error(key.SetString("", kAuthProgId)), 0);
  EXPECT_EQ(sourceOfFailure(), kAuthProgId);
}

TEST_F(AuthTest, TicketsAndVerifiersUseTheProcessSecretByDefault) {
  const std::u16string text = Must(MakeTicketText(TicketImpl::Issued(u"R", u"u", 1, 2)));
  EXPECT_EQ((*ParseTicket(text))->principal, u"u");
  auto [code, why] = Raised([&] { return ParseTicket(text, NewSecretKey()); });
  EXPECT_NE(code, S_OK);
}

}  // namespace
}  // namespace quor::auth
