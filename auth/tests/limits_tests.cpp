// Sign-in abuse and session lifetime: failed sign-ins held back per
// principal and per client address, tickets that age, sessions that expire
// when idle and a session table that stays bounded. Times come from the
// process clock, fixed by the tests.
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "auth/server/auth_object.h"
#include "auth/server/session_table.h"
#include "auth/server/signin_throttle.h"
#include "auth/session.h"
#include "auth/ticket.h"
#include "directory_fixtures.h"
#include "platform/com/callcontext.h"
#include "platform/directory/directory.h"
#include "platform/eventlog/eventlog.h"

namespace quor::auth {
namespace {

using namespace testing;
using namespace std::chrono_literals;

const time::TimePoint kStart = *time::ParseUtc("2026-03-04T05:06:07Z");

com::ErrorInfo Refusal(std::string_view text) {
  return com::ErrorInfo{{}, Bstr(u"QuorAuth.Auth"), Bstr::FromUtf8(text), dir::kLogonFailure, {}, 0};
}

// ---- The throttle's counts ----------------------------------------------------------------

TEST(SignInThrottleCounts, HeldBackAfterTheLimitForDoublingDelaysUpToTheLongest) {
  SignInThrottle throttle;
  const AuthLimits limits{.failuresBeforeDelay = 3, .firstDelay = 2s, .longestDelay = 5s};
  time::TimePoint now = kStart;
  for (int i = 1; i < 3; ++i) {
    const auto started = throttle.Failed("carol@r", "10.0.0.1", Refusal("wrong"), limits, now);
    EXPECT_FALSE(started.principal || started.address) << i;
    EXPECT_FALSE(throttle.Held("carol@r", "10.0.0.1", now)) << i;
  }
  const auto started = throttle.Failed("carol@r", "10.0.0.1", Refusal("last words"), limits, now);
  EXPECT_TRUE(started.principal && started.address);
  // Refused with the last refusal, for 2 s, then 4 s, then 5 s (the longest), 5 s.
  for (auto delay : {2s, 4s, 5s, 5s}) {
    const std::optional<com::ErrorInfo> held = throttle.Held("carol@r", "10.0.0.1", now + delay - 1ms);
    ASSERT_TRUE(held);
    EXPECT_EQ(held->description.ToUtf8(), "last words");
    EXPECT_EQ(held->code, dir::kLogonFailure);
    now += delay;
    EXPECT_FALSE(throttle.Held("carol@r", "10.0.0.1", now));
    const auto again = throttle.Failed("carol@r", "10.0.0.1", Refusal("last words"), limits, now);
    EXPECT_FALSE(again.principal || again.address) << "logged once, when holding back starts";
  }
  // Quiet for ten times the longest delay: the counts are forgotten.
  now += 51s;
  throttle.Failed("carol@r", "10.0.0.1", Refusal("wrong"), limits, now);
  EXPECT_FALSE(throttle.Held("carol@r", "10.0.0.1", now));
}

TEST(SignInThrottleCounts, PrincipalAndAddressCountApartAndSuccessClearsOnlyThePrincipal) {
  SignInThrottle throttle;
  const AuthLimits limits{.failuresBeforeDelay = 3};
  // One principal from many addresses: the principal is held, the addresses are not.
  for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"})
    throttle.Failed("carol@r", address, Refusal("wrong"), limits, kStart);
  EXPECT_TRUE(throttle.Held("carol@r", "10.0.0.9", kStart));
  EXPECT_FALSE(throttle.Held("dave@r", "10.0.0.1", kStart));
  // Many principals from one address: the address is held for all of them.
  for (const char* principal : {"p1@r", "p2@r", "p3@r"})
    throttle.Failed(principal, "10.0.0.7", Refusal("wrong"), limits, kStart);
  EXPECT_TRUE(throttle.Held("dave@r", "10.0.0.7", kStart));
  EXPECT_FALSE(throttle.Held("p1@r", "10.0.0.8", kStart));
  // Unknown addresses are never counted.
  for (int i = 0; i < 3; ++i) throttle.Failed("erin@r", "", Refusal("wrong"), limits, kStart);
  EXPECT_FALSE(throttle.Held("frank@r", "", kStart));

  // Two failures, a success, two more: not held. The address keeps its count.
  throttle.Failed("bob@r", "10.0.1.1", Refusal("wrong"), limits, kStart);
  throttle.Failed("bob@r", "10.0.1.1", Refusal("wrong"), limits, kStart);
  throttle.Succeeded("bob@r");
  throttle.Failed("bob@r", "10.0.1.2", Refusal("wrong"), limits, kStart);
  throttle.Failed("bob@r", "10.0.1.2", Refusal("wrong"), limits, kStart);
  EXPECT_FALSE(throttle.Held("bob@r", "10.0.2.2", kStart));
  throttle.Failed("zed@r", "10.0.1.1", Refusal("wrong"), limits, kStart);
  EXPECT_TRUE(throttle.Held("amy@r", "10.0.1.1", kStart));

  EXPECT_EQ(SignInThrottle::PrincipalKey(u"Carol", u"Quor.Test"), SignInThrottle::PrincipalKey(u"carol", u"quor.test"));
  EXPECT_EQ(SignInThrottle::AddressKey("::ffff:10.0.0.7"), "10.0.0.7");
  EXPECT_EQ(SignInThrottle::AddressKey("::1"), "::1");
}

TEST(SignInThrottleCounts, TablesStayBoundedAndKeepWhatHoldsBack) {
  SignInThrottle throttle(4);
  const AuthLimits limits{.failuresBeforeDelay = 2};
  throttle.Failed("held@r", "", Refusal("wrong"), limits, kStart);
  throttle.Failed("held@r", "", Refusal("wrong"), limits, kStart);
  for (int i = 0; i < 50; ++i)
    throttle.Failed("spray" + std::to_string(i) + "@r", "", Refusal("wrong"), limits, kStart + 500ms);
  EXPECT_EQ(throttle.Size(), 4u);
  EXPECT_TRUE(throttle.Held("held@r", "", kStart + 500ms));
}

TEST(SignInThrottleCounts, ConcurrentFailuresAreAllCounted) {
  SignInThrottle throttle(16);
  const AuthLimits limits{.failuresBeforeDelay = 2000};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        const std::string principal = "p" + std::to_string(t * 1000 + i % 40) + "@r";
        throttle.Failed(principal, "10.0.0.1", Refusal("wrong"), limits, kStart);
        throttle.Held(principal, "10.0.0.2", kStart);
        if (i % 7 == 0) throttle.Succeeded(principal);
      }
    });
  for (std::thread& t : threads) t.join();
  // 2000 failures from the one address: held from the last one on.
  EXPECT_TRUE(throttle.Held("anyone@r", "10.0.0.1", kStart));
  EXPECT_LE(throttle.Size(), 17u);
}

// ---- Through the Auth component -------------------------------------------------------------

class Limits : public AccountStoreFixture {
 protected:
  void SetUp() override {
    AccountStoreFixture::SetUp();
    events = dir.path() / "events.log";
    ::setenv("QUOR_EVENTLOG", events.c_str(), 1);
    time::SetFixedTime(kStart);
  }
  void TearDown() override {
    ::unsetenv("QUOR_EVENTLOG");
    AccountStoreFixture::TearDown();
  }
  // A sign-in's status and error text.
  std::pair<HRESULT, std::string> SignIn(std::u16string_view principal, std::u16string_view password,
                                         Bstr* ticket = nullptr) {
    Bstr full, issued;
    const HRESULT hr = auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(principal), Bstr(password), &full, &issued);
    if (ticket) *ticket = issued;
    return {hr, SUCCEEDED(hr) ? std::string() : LastErrorText()};
  }
  std::string Events() {
    std::ifstream in(events);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

  com::ComPtr<Auth> auth = com::MakeObject<Auth>(config);
  std::filesystem::path events;
};

TEST_F(Limits, AHeldBackSignInReadsLikeAWrongPasswordAndUnknownUsersCountAlike) {
  // What the directory says to a wrong password and to an unknown user.
  std::pair<HRESULT, std::string> unknown;
  {
    const com::CallContextScope elsewhere(com::CallContext{"192.0.2.99"});
    unknown = SignIn(u"nobody-here", u"guess");
  }
  const com::CallContextScope call(com::CallContext{"192.0.2.10"});
  const auto wrong = SignIn(u"carol", u"not-carols");
  ASSERT_EQ(wrong.first, dir::kLogonFailure);
  ASSERT_EQ(unknown.first, dir::kLogonFailure);
  for (int i = 2; i <= 5; ++i) ASSERT_EQ(SignIn(u"carol", u"not-carols"), wrong) << i;
  // Held back: the right password answers like a wrong one, and an unknown
  // user from the same address like an unknown user.
  EXPECT_EQ(SignIn(u"carol", u"carol-pw-3"), wrong);
  EXPECT_EQ(SignIn(u"nobody-here", u"guess"), unknown);
  const std::string log = Events();
  EXPECT_NE(log.find("principal \"carol\" (realm \"QUORDOM\"), address 192.0.2.10"), std::string::npos) << log;

  // Another address and principal are not held back.
  {
    const com::CallContextScope other(com::CallContext{"192.0.2.11"});
    EXPECT_EQ(SignIn(u"dave", u"dave-pw-4").first, S_OK);
  }
  // After the delay, the right password works and clears carol's count.
  time::SetFixedTime(kStart + 1s);
  EXPECT_EQ(SignIn(u"carol", u"carol-pw-3").first, S_OK);
  {
    const com::CallContextScope fresh(com::CallContext{"192.0.2.13"});
    for (int i = 1; i <= 4; ++i) ASSERT_EQ(SignIn(u"carol", u"not-carols"), wrong) << i;
    EXPECT_EQ(SignIn(u"carol", u"carol-pw-3").first, S_OK);
  }

  // An unknown user is counted like a known one: five refusals, then held.
  const com::CallContextScope third(com::CallContext{"192.0.2.12"});
  for (int i = 1; i <= 5; ++i) ASSERT_EQ(SignIn(u"zed", u"guess").first, dir::kLogonFailure) << i;
  EXPECT_NE(Events().find("principal \"zed\""), std::string::npos);
}

TEST_F(Limits, TicketsOpenSessionsOnlyWithinTheirLifetime) {
  Bstr ticket;
  ASSERT_EQ(SignIn(u"erin", u"erin-pw-6", &ticket).first, S_OK);
  auto open = [&] {
    TokenHandlerPtr client;
    EXPECT_EQ(AcquireClientTokenHandler(Bstr(u""), &client), S_OK);
    Bstr scheme, seed, key, verifier, locator;
    EXPECT_EQ(GetTokenScheme(client.get(), &scheme), S_OK);
    EXPECT_EQ(GetTokenSeed(client.get(), &seed), S_OK);
    const HRESULT hr = auth->OpenSession(Bstr(u"qsc"), ticket, scheme, seed, &key, &verifier, &locator);
    return std::pair{hr, SUCCEEDED(hr) ? std::string() : LastErrorText()};
  };
  const std::pair<HRESULT, std::string> invalid{E_FAIL, "Invalid Ticket"};
  // Issued now: good until ten hours have passed, and a few minutes before.
  time::SetFixedTime(kStart + 10h);
  EXPECT_EQ(open().first, S_OK);
  time::SetFixedTime(kStart + 10h + 1s);
  EXPECT_EQ(open(), invalid);
  time::SetFixedTime(kStart - kTicketClockSkew);
  EXPECT_EQ(open().first, S_OK);
  time::SetFixedTime(kStart - kTicketClockSkew - 1s);
  EXPECT_EQ(open(), invalid);
}

TEST_F(Limits, IdleSessionsExpireAndTheTableStaysBounded) {
  // Through the component: each request restarts the idle time.
  Bstr ticket;
  ASSERT_EQ(SignIn(u"erin", u"erin-pw-6", &ticket).first, S_OK);
  TokenHandlerPtr client;
  ASSERT_EQ(AcquireClientTokenHandler(Bstr(u""), &client), S_OK);
  Bstr scheme, seed, key, verifier, locator;
  ASSERT_EQ(GetTokenScheme(client.get(), &scheme), S_OK);
  ASSERT_EQ(GetTokenSeed(client.get(), &seed), S_OK);
  ASSERT_EQ(auth->OpenSession(Bstr(u"qsc"), ticket, scheme, seed, &key, &verifier, &locator), S_OK);
  const Bstr token(u"x:" + verifier.Str() + u":y");
  com::ComPtr<com::IUnknown> session;
  for (auto at : {8h, 16h}) {
    time::SetFixedTime(kStart + at);
    EXPECT_EQ(auth->LookupSession(token, session.Put()), S_OK) << LastErrorText();
  }
  time::SetFixedTime(kStart + 24h + 1s);
  EXPECT_EQ(auth->LookupSession(token, session.Put()), E_FAIL);
  EXPECT_EQ(LastErrorText(), "No Such Session");

  // A table of three: expired sessions go first, then the longest idle.
  SessionTable table;
  auto made = [&] {
    TokenHandlerPtr handler;
    Bstr sch, sd;
    EXPECT_EQ(AcquireClientTokenHandler(Bstr(u""), &handler), S_OK);
    EXPECT_EQ(GetTokenScheme(handler.get(), &sch), S_OK);
    EXPECT_EQ(GetTokenSeed(handler.get(), &sd), S_OK);
    auto s = std::make_shared<SessionImpl>(std::make_unique<TicketImpl>(TicketImpl::Issued(u"R", u"u", 1, 2)), u"qsc");
    s->Init(sch, sd);
    return s;
  };
  const auto a = made(), b = made(), c = made(), d = made(), e = made();
  table.Register(a, 3, 100s, kStart);
  table.Register(b, 3, 100s, kStart + 10s);
  table.Register(c, 3, 100s, kStart + 20s);
  EXPECT_TRUE(table.Find(a->Identifier(), 100s, kStart + 30s));
  table.Register(d, 3, 100s, kStart + 40s);  // b is the longest idle
  EXPECT_EQ(table.Size(), 3u);
  EXPECT_FALSE(table.Find(b->Identifier(), 100s, kStart + 40s));
  EXPECT_TRUE(table.Find(a->Identifier(), 100s, kStart + 40s));
  // At 141 s only c (last used at 20 s) and d (40 s) have been idle too long.
  EXPECT_TRUE(table.Find(a->Identifier(), 100s, kStart + 120s));
  table.Register(e, 3, 100s, kStart + 141s);
  EXPECT_EQ(table.Size(), 2u);
  EXPECT_TRUE(table.Find(a->Identifier(), 100s, kStart + 141s));
  EXPECT_FALSE(table.Find(c->Identifier(), 100s, kStart + 141s));
}

}  // namespace
}  // namespace quor::auth
