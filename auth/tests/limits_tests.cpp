// Failed sign-ins held back per principal and per client address, tickets
// that age, idle sessions that expire and a bounded session table. Times
// come from the process clock, fixed by the tests.
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "auth/server/auth_object.h"
#include "auth/server/session_table.h"
#include "auth/server/signin_throttle.h"
#include "auth/ticket.h"
#include "directory_fixtures.h"
#include "platform/com/callcontext.h"
#include "platform/directory/directory.h"

namespace quor::auth {
namespace {

using namespace testing;
using namespace std::chrono_literals;

const time::TimePoint kStart = *time::ParseUtc("2026-03-04T05:06:07Z");
const com::ErrorInfo kWrong{{}, Bstr(u"QuorAuth.Auth"), Bstr(u"wrong"), dir::kLogonFailure, {}, 0};

TEST(SignInThrottleCounts, DelaysDoubleUpToTheLongestAndEachCountStandsApart) {
  SignInThrottle throttle;
  const AuthLimits limits{
      .failuresBeforeDelay = 3, .addressFailuresBeforeDelay = 7, .firstDelay = 2s, .longestDelay = 5s};
  time::TimePoint now = kStart;
  for (int i = 1; i <= 3; ++i) {
    EXPECT_FALSE(throttle.Held("carol@r", "10.0.0.1", now)) << i;
    const auto started = throttle.Failed("carol@r", "10.0.0.1", kWrong, limits, now);
    EXPECT_EQ(started.principal, i == 3) << "logged once, when holding back starts";
    EXPECT_FALSE(started.address);
  }
  // The principal is held from any address; its neighbours at the address are not.
  EXPECT_TRUE(throttle.Held("carol@r", "10.0.0.9", now));
  EXPECT_FALSE(throttle.Held("dave@r", "10.0.0.1", now));
  for (auto delay : {2s, 4s, 5s}) {
    ASSERT_TRUE(throttle.Held("carol@r", "10.0.0.1", now + delay - 1ms));
    EXPECT_EQ(throttle.Held("carol@r", "10.0.0.1", now)->description, u"wrong");
    now += delay;
    EXPECT_FALSE(throttle.Held("carol@r", "10.0.0.1", now));
    EXPECT_FALSE(throttle.Failed("carol@r", "10.0.0.1", kWrong, limits, now).principal);
  }
  // The seventh failure from the address (names sprayed or not) holds it
  // back for everybody there, for the same doubling delays.
  EXPECT_FALSE(throttle.Held("dave@r", "10.0.0.1", now));
  EXPECT_TRUE(throttle.Failed("erin@r", "10.0.0.1", kWrong, limits, now).address);
  EXPECT_TRUE(throttle.Held("dave@r", "10.0.0.1", now));
  EXPECT_FALSE(throttle.Held("dave@r", "10.0.0.9", now));
  EXPECT_FALSE(throttle.Held("erin@r", "10.0.0.9", now)) << "one failure of erin's own";
  // A success clears the principal's count only; quiet for ten times the
  // longest delay, a count is forgotten.
  throttle.Succeeded("carol@r");
  EXPECT_TRUE(throttle.Held("carol@r", "10.0.0.1", now));
  EXPECT_FALSE(throttle.Held("carol@r", "10.0.0.9", now));
  now += 51s;
  throttle.Failed("dave@r", "10.0.0.1", kWrong, limits, now);
  EXPECT_FALSE(throttle.Held("frank@r", "10.0.0.1", now));
  // Unknown addresses are not counted.
  for (int i = 0; i < 6; ++i) throttle.Failed("p" + std::to_string(i) + "@r", "", kWrong, limits, now);
  EXPECT_FALSE(throttle.Held("frank@r", "", now));
  EXPECT_EQ(SignInThrottle::PrincipalKey(u"Carol", u"Quor.Test"), SignInThrottle::PrincipalKey(u"carol", u"quor.test"));
  EXPECT_EQ(SignInThrottle::AddressKey("::ffff:10.0.0.7"), "10.0.0.7");
}

TEST(SignInThrottleCounts, TablesStayBoundedUnderConcurrentFailuresAndKeepWhatHoldsBack) {
  SignInThrottle throttle(16);
  throttle.Failed("held@r", "", kWrong, AuthLimits{.failuresBeforeDelay = 1}, kStart);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        const std::string principal = "p" + std::to_string(t * 1000 + i) + "@r";
        throttle.Failed(principal, "10.0.0.1", kWrong, AuthLimits{.addressFailuresBeforeDelay = 2000}, kStart);
        throttle.Held(principal, "10.0.0.2", kStart);
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(throttle.Size(), 17u);
  EXPECT_TRUE(throttle.Held("held@r", "", kStart));
  EXPECT_TRUE(throttle.Held("anyone@r", "10.0.0.1", kStart)) << "2000 failures, every one counted";
}

class Limits : public AccountStoreFixture {
 protected:
  void SetUp() override {
    AccountStoreFixture::SetUp();
    ::setenv("QUOR_EVENTLOG", (dir.Path() / "events.log").c_str(), 1);
    time::SetFixedTime(kStart);
  }
  void TearDown() override {
    ::unsetenv("QUOR_EVENTLOG");
    AccountStoreFixture::TearDown();
  }
  std::pair<HRESULT, std::string> SignIn(std::u16string_view principal, std::u16string_view password) {
    Bstr full;
    const HRESULT hr = auth->CreateTicket(Bstr(u""), Bstr(u""), Bstr(principal), Bstr(password), &full, &ticket);
    return {hr, SUCCEEDED(hr) ? std::string() : ErrorInfoText()};
  }
  std::pair<HRESULT, std::string> Open() {
    TokenHandlerPtr client;
    Bstr scheme, seed, key, locator;
    EXPECT_EQ(AcquireClientTokenHandler(Bstr(u""), &client), S_OK);
    EXPECT_EQ(GetTokenScheme(client.get(), &scheme), S_OK);
    EXPECT_EQ(GetTokenSeed(client.get(), &seed), S_OK);
    const HRESULT hr = auth->OpenSession(Bstr(u"qsc"), ticket, scheme, seed, &key, &verifier, &locator);
    return {hr, SUCCEEDED(hr) ? std::string() : ErrorInfoText()};
  }

  com::ComPtr<Auth> auth = com::MakeObject<Auth>(config);
  Bstr ticket, verifier;
};

TEST_F(Limits, AHeldBackSignInReadsLikeAWrongPasswordOfItsOwnPrincipal) {
  std::pair<HRESULT, std::string> unknown;
  {
    const com::CallContextScope elsewhere(com::CallContext{"192.0.2.99"});
    unknown = SignIn(u"nobody-here", u"guess");
  }
  const com::CallContextScope call(com::CallContext{"192.0.2.10"});
  const auto wrong = SignIn(u"carol", u"not-carols");
  ASSERT_EQ(wrong.first, dir::kLogonFailure);
  for (int i = 2; i <= 5; ++i) ASSERT_EQ(SignIn(u"carol", u"not-carols"), wrong) << i;
  // The right password is refused like a wrong one; an unknown user's
  // refusal names that user, not carol; a neighbour at the address signs in.
  EXPECT_EQ(SignIn(u"carol", u"carol-pw-3"), wrong);
  EXPECT_EQ(SignIn(u"nobody-here", u"guess"), unknown);
  EXPECT_EQ(SignIn(u"dave", u"dave-pw-4").first, S_OK);
  std::stringstream log;
  log << std::ifstream(dir.Path() / "events.log").rdbuf();
  EXPECT_NE(log.str().find("principal \"carol\" (realm \"QUORDOM\"), address 192.0.2.10"), std::string::npos)
      << log.str();
  {
    const com::CallContextScope other(com::CallContext{"192.0.2.11"});
    EXPECT_EQ(SignIn(u"dave", u"dave-pw-4").first, S_OK);
    time::SetFixedTime(kStart + 1s);
    EXPECT_EQ(SignIn(u"carol", u"carol-pw-3").first, S_OK);
  }
}

TEST_F(Limits, TicketsAgeAndIdleSessionsExpire) {
  ASSERT_EQ(SignIn(u"erin", u"erin-pw-6").first, S_OK);
  const std::pair<HRESULT, std::string> invalid{E_FAIL, "Invalid Ticket"};
  time::SetFixedTime(kStart + 10h + 1s);
  EXPECT_EQ(Open(), invalid);
  time::SetFixedTime(kStart - kTicketClockSkew - 1s);
  EXPECT_EQ(Open(), invalid);
  time::SetFixedTime(kStart - kTicketClockSkew);
  EXPECT_EQ(Open().first, S_OK);
  time::SetFixedTime(kStart + 10h);
  ASSERT_EQ(Open().first, S_OK);

  // Each request restarts the idle time of eight hours.
  const Bstr token(u"x:" + verifier.Str() + u":y");
  com::ComPtr<com::IUnknown> session;
  for (auto at : {18h, 26h}) {
    time::SetFixedTime(kStart + at);
    EXPECT_EQ(auth->LookupSession(token, session.Put()), S_OK) << ErrorInfoText();
  }
  time::SetFixedTime(kStart + 34h + 1s);
  EXPECT_EQ(auth->LookupSession(token, session.Put()), E_FAIL);
  EXPECT_EQ(ErrorInfoText(), "No Such Session");

  // A table of three: the expired sessions go first, then the longest idle.
  SessionTable table;
  std::vector<std::shared_ptr<SessionImpl>> s;
  for (int i = 0; i < 5; ++i) {
    TokenHandlerPtr client;
    Bstr scheme, seed;
    ASSERT_EQ(AcquireClientTokenHandler(Bstr(u""), &client), S_OK);
    ASSERT_EQ(GetTokenScheme(client.get(), &scheme), S_OK);
    ASSERT_EQ(GetTokenSeed(client.get(), &seed), S_OK);
    auto issued = std::make_unique<TicketImpl>(TicketImpl::Issued(u"R", u"u", 1, 2));
    s.push_back(std::make_shared<SessionImpl>(std::move(issued), u"q"));
    ASSERT_TRUE(s.back()->Init(scheme, seed).ok());
  }
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(table.Register(s[i], 3, 100s, kStart + i * 10s).ok());
  EXPECT_TRUE(table.Find(s[0]->Identifier(), 100s, kStart + 30s));
  ASSERT_TRUE(table.Register(s[3], 3, 100s, kStart + 40s).ok());
  EXPECT_FALSE(table.Find(s[1]->Identifier(), 100s, kStart + 40s));
  EXPECT_TRUE(table.Find(s[0]->Identifier(), 100s, kStart + 120s));
  ASSERT_TRUE(table.Register(s[4], 3, 100s, kStart + 141s).ok());  // s[2] and s[3] idle too long
  EXPECT_EQ(table.Size(), 2u);
  EXPECT_TRUE(table.Find(s[0]->Identifier(), 100s, kStart + 141s));
}

}  // namespace
}  // namespace quor::auth
