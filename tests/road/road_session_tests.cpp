// The road of a request through a real quor-server: sign-in against the local
// account store and slapd, sessions, response keys, replays, compressed
// answers and the operations whose stores come later.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "testing/ServerInstance.h"
#include "auth/util/codec.h"
#include "core/QuorServiceCore.h"
#include "platform/time/clock.h"
#include "platform/soap/http_client.h"
#include "platform/text/text.h"

namespace quor::admin::testing {
namespace {

constexpr HRESULT kClosedSession = static_cast<HRESULT>(0x81000078);
constexpr HRESULT kTokenRefused = static_cast<HRESULT>(0x81000057);
constexpr HRESULT kAuthFailed = static_cast<HRESULT>(0x81000060);
constexpr HRESULT kUriInvalid = static_cast<HRESULT>(0x81000072);

// The count of a GetLogCount answer, or -1.
long LogCount(const std::string& answer) {
  std::smatch m;
  if (!std::regex_match(answer, m, std::regex("<root><logcount>([0-9]+)</logcount></root>"))) return -1;
  return std::stol(m[1]);
}

class SessionRoad : public RoadTest {};

TEST_F(SessionRoad, AccountStoreSignInCallsAndSignOut) {
  InstanceOptions options;
  options.accounts = {{"administrator", "pw"}, {"carol", "carol-pw"}};
  options.members = {{"Staff", "administrator"}, {"Staff", "carol"}, {"Ops", "administrator"}};
  options.adminUsers = "administrator,carol";
  QUOR_START_INSTANCE(options);

  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  EXPECT_FALSE(client->Ticket().empty());
  EXPECT_FALSE(client->SessionKey().empty());
  // The OpenSession answer: locator, session key, verifier.
  const auto opened = RawOutputs(*client);
  ASSERT_EQ(opened.size(), 3u) << client->LastAnswer();
  EXPECT_EQ(opened[0].value.ToUtf8().find("/QuorService/QuorServiceCore.sod") != std::string::npos, true)
      << opened[0].value.ToUtf8();

  CallOutcome count = Call(*client, "GetLogCount");
  ASSERT_TRUE(count.ok) << count.fault;
  // The answer carries a response key, which the client has checked.
  const auto raw = RawOutputs(*client);
  ASSERT_EQ(raw.size(), 2u);
  EXPECT_EQ(raw[1].name, "reskey");
  EXPECT_FALSE(raw[1].value.Empty());
  // The begin rows of the ticket, the session and this call came first.
  EXPECT_EQ(LogCount(count.decoded), 3) << count.decoded;
  EXPECT_EQ(instance_->Rows().size(), 3u);

  CallOutcome admins = Call(*client, "GetAdminUserList");
  ASSERT_TRUE(admins.ok) << admins.fault;
  EXPECT_EQ(admins.decoded, "<root><user>administrator</user><user>carol</user></root>");
  CallOutcome own = Call(*client, "GetOwnGroupList");
  ASSERT_TRUE(own.ok) << own.fault;
  EXPECT_EQ(own.decoded, "<root><group>Ops</group><group>Staff</group></root>");
  CallOutcome members = Call(*client, "GetGroupUserList", {{"group", "Staff"}});
  ASSERT_TRUE(members.ok) << members.fault;
  EXPECT_EQ(members.decoded, "<root><user>administrator</user><user>carol</user></root>");

  // Two sessions of two users side by side.
  auto carol = instance_->SignIn("carol", "carol-pw");
  ASSERT_TRUE(carol);
  CallOutcome carolsGroups = Call(*carol, "GetOwnGroupList");
  ASSERT_TRUE(carolsGroups.ok) << carolsGroups.fault;
  EXPECT_EQ(carolsGroups.decoded, "<root><group>Staff</group></root>");

  ASSERT_TRUE(client->CloseSession()) << client->FormatFault();
  const auto closing = RawOutputs(*client);
  ASSERT_EQ(closing.size(), 1u) << client->LastAnswer();
  EXPECT_EQ(closing[0].value, u"<resultCode>0</resultCode>");
  client->EndSession();
  EXPECT_TRUE(client->SessionKey().empty());
  CallOutcome closed = Call(*client, "GetLogCount");
  EXPECT_FALSE(closed.ok);
  EXPECT_EQ(closed.status, kClosedSession) << closed.fault;
  EXPECT_NE(closed.fault.find("Your session can't be found."), std::string::npos) << closed.fault;
  // Closing one session leaves the other alone.
  EXPECT_TRUE(Call(*carol, "GetLogCount").ok);
}

TEST_F(SessionRoad, LdapSignInAgainstSlapd) {
  InstanceOptions options;
  options.directory = Directory::Ldap;
  options.adminGroupName = "Admins";
  QUOR_START_INSTANCE(options);

  auto alice = instance_->SignIn("alice", "alice-pw-1");
  ASSERT_TRUE(alice);
  CallOutcome count = Call(*alice, "GetLogCount");
  ASSERT_TRUE(count.ok) << count.fault;
  EXPECT_GE(LogCount(count.decoded), 1) << count.decoded;

  CallOutcome admins = Call(*alice, "GetAdminUserList");
  ASSERT_TRUE(admins.ok) << admins.fault;
  EXPECT_NE(admins.decoded.find("<user>alice</user>"), std::string::npos) << admins.decoded;
  CallOutcome own = Call(*alice, "GetOwnGroupList");
  ASSERT_TRUE(own.ok) << own.fault;
  EXPECT_NE(own.decoded.find("<group>Admins</group>"), std::string::npos) << own.decoded;
  EXPECT_NE(own.decoded.find("<group>Staff</group>"), std::string::npos) << own.decoded;

  // The rows carry the principal the directory signed in.
  bool sawAlice = false;
  for (const LogRow& row : instance_->Rows())
    if (row.op == "GetLogCount") sawAlice = row.user == "alice";
  EXPECT_TRUE(sawAlice);

  for (const auto& [user, password] : {std::pair{"alice", "alice-pw-2"}, std::pair{"a*", "odd-pw-5"},
                                       std::pair{"*", "alice-pw-1"}, std::pair{"alice)(cn=*", "alice-pw-1"}}) {
    CVeltService wrong;
    EXPECT_EQ(wrong.Connect(instance_->CoreUrl(), user, password), -7) << user;
    EXPECT_NE(wrong.FormatFault().find("[0x81000060]"), std::string::npos) << wrong.FormatFault();
  }
  // A name made of filter metacharacters is a name like any other.
  auto odd = instance_->SignIn("a*(b)\\c", "odd-pw-5");
  ASSERT_TRUE(odd);
  ASSERT_TRUE(Call(*odd, "PutLog", {{"log", "odd"}}).ok);
  CallOutcome oddRows = Call(*odd, "GetCategoryLogbyUser", {{"opuser", "a*(b)\\c"}, {"category", "application"}});
  ASSERT_TRUE(oddRows.ok) << oddRows.fault;
  const auto oddRecords = LogRecords(oddRows.decoded);
  ASSERT_TRUE(oddRecords && oddRecords->size() == 1u) << oddRows.decoded;
  EXPECT_EQ(oddRecords->front().at("opuser"), "a*(b)\\c");

  alice->EndSession();
  CallOutcome closed = Call(*alice, "GetLogCount");
  EXPECT_EQ(closed.status, kClosedSession) << closed.fault;
}

TEST_F(SessionRoad, WrongPasswordsAndUnknownUsersAreRefused) {
  QUOR_START_INSTANCE(InstanceOptions{});
  for (const auto& [user, password] : {std::pair{"administrator", "pw-wrong"}, std::pair{"administrator", ""},
                                       std::pair{"nobody", "pw"}}) {
    CVeltService client;
    EXPECT_EQ(client.Connect(instance_->CoreUrl(), user, password), -7) << user << "/" << password;
    EXPECT_TRUE(client.Faulted());
    EXPECT_TRUE(client.SessionKey().empty());
    EXPECT_TRUE(client.Ticket().empty());
    EXPECT_EQ(client.FaultText(), "Fail to connect Authentication Server.");
    const Result<soap::Answer> answer = soap::ParseAnswer(client.LastAnswer());
    ASSERT_EQ(answer.status().code(), S_OK) << answer.status().message();
    EXPECT_TRUE(answer->isFault);
    EXPECT_EQ(answer->fault.status, kAuthFailed);
  }
  EXPECT_NE(instance_->Events().find("[0x81000060]"), std::string::npos) << instance_->Events();
  // No password reached a row.
  for (const LogRow& row : instance_->Rows()) {
    EXPECT_EQ(row.target.find("pw-wrong"), std::string::npos);
    EXPECT_EQ(row.result.find("pw-wrong"), std::string::npos);
    EXPECT_EQ(row.description.find("pw-wrong"), std::string::npos);
  }
  // The refusals cost nothing: the right password still works.
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  EXPECT_TRUE(Call(*client, "GetLogCount").ok);
}

TEST_F(SessionRoad, ReplayedRequestsAreRefused) {
  QUOR_START_INSTANCE(InstanceOptions{});
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  ASSERT_TRUE(Call(*client, "PutLog", {{"log", "once only"}}).ok);
  const std::string envelope = client->LastEnvelope();
  const size_t rowsBefore = instance_->Rows().size();

  soap::HttpClient http;
  Result<soap::HttpReply> reply = http.Post(instance_->CoreUrl(), envelope);
  ASSERT_EQ(reply.status().code(), S_OK);
  EXPECT_EQ(reply->status, 500);
  Result<soap::Answer> answer = soap::ParseAnswer(reply->body);
  ASSERT_EQ(answer.status().code(), S_OK) << answer.status().message();
  ASSERT_TRUE(answer->isFault) << reply->body;
  EXPECT_EQ(answer->fault.status, kTokenRefused);
  EXPECT_EQ(answer->fault.description, "The actual username can't be extracted from the specified user key.");

  // The replay wrote no second log entry, only the report of its refusal.
  const auto rows = instance_->Rows();
  ASSERT_EQ(rows.size(), rowsBefore + 1);
  EXPECT_EQ(rows.back().op, "PutLog");
  EXPECT_EQ(rows.back().catalog, "internal");
  EXPECT_NE(rows.back().description.find("[0x81000057]"), std::string::npos) << rows.back().description;
  long copies = 0;
  for (const LogRow& row : rows) copies += row.description == "once only";
  EXPECT_EQ(copies, 1);

  // The session itself goes on.
  CallOutcome next = Call(*client, "GetLogCount");
  EXPECT_TRUE(next.ok) << next.fault;

  // After the session is closed, an old request finds no session at all.
  const std::string last = client->LastEnvelope();
  client->EndSession();
  reply = http.Post(instance_->CoreUrl(), last);
  ASSERT_EQ(reply.status().code(), S_OK);
  answer = soap::ParseAnswer(reply->body);
  ASSERT_EQ(answer.status().code(), S_OK) << answer.status().message();
  EXPECT_EQ(answer->fault.status, kClosedSession);
}

TEST_F(SessionRoad, ACapturedRequestChangedInAnyBitOrBlockIsNeverExecutedAgain) {
  QUOR_START_INSTANCE(InstanceOptions{});
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  ASSERT_TRUE(Call(*client, "PutLog", {{"log", "once only"}}).ok);
  const std::string envelope = client->LastEnvelope();
  const size_t open = envelope.find("<user>"), close = envelope.find("</user>");
  ASSERT_NE(close, std::string::npos) << envelope;
  const std::string token = envelope.substr(open + 6, close - open - 6);
  const size_t colon = token.find(':');
  const auth::Bytes sealed = auth::util::Base64Decode(std::string_view(token).substr(0, colon));
  ASSERT_GE(sealed.size(), 64u);

  soap::HttpClient http;
  size_t sentCount = 0, executed = 0;
  const auto send = [&](const auth::Bytes& changed) {
    const std::string forged = envelope.substr(0, open + 6) + auth::util::Base64Encode(changed) +
                               token.substr(colon) + envelope.substr(close);
    const Result<soap::HttpReply> reply = http.Post(instance_->CoreUrl(), forged);
    ASSERT_EQ(reply.status().code(), S_OK);
    ++sentCount;
    if (reply->status == 200) ++executed;
  };
  for (size_t bit = 0; bit < sealed.size() * 8; ++bit) {
    auth::Bytes changed = sealed;
    changed[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    ASSERT_NO_FATAL_FAILURE(send(changed));
  }
  for (size_t a = 0; a + 8 <= sealed.size(); a += 8)
    for (size_t b = a + 8; b + 8 <= sealed.size(); b += 8) {
      auth::Bytes changed = sealed;
      std::swap_ranges(changed.begin() + a, changed.begin() + a + 8, changed.begin() + b);
      ASSERT_NO_FATAL_FAILURE(send(changed));
    }
  EXPECT_EQ(executed, 0u) << "of " << sentCount;

  long copies = 0;
  for (const LogRow& row : instance_->Rows()) copies += row.description == "once only";
  EXPECT_EQ(copies, 1);
  // The session goes on.
  CallOutcome next = Call(*client, "GetLogCount");
  EXPECT_TRUE(next.ok) << next.fault;
}

TEST_F(SessionRoad, RequestTimesOutsideTheWindowAndForeignSessionKeysAreRefused) {
  QUOR_START_INSTANCE(InstanceOptions{});
  // A client whose clock is six minutes off either way, past the window of
  // five: its requests are refused, its session is left as it was.
  for (auto off : {std::chrono::minutes(6), std::chrono::minutes(-6)}) {
    time::SetFixedTime(time::Now() + off);
    auto skewed = instance_->SignIn("administrator", "pw");
    ASSERT_TRUE(skewed);
    EXPECT_EQ(Call(*skewed, "GetLogCount").status, kTokenRefused);
    time::SetFixedTime(std::nullopt);
  }

  // CloseSession with a wrong session key, or another session's, closes
  // nothing; with its own, the session ends.
  auto client = instance_->SignIn("administrator", "pw");
  auto other = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client && other);
  ASSERT_TRUE(Call(*client, "GetLogCount").ok);
  soap::HttpClient http;
  for (const std::string& key : {std::string("not the key"), std::string(), other->SessionKey()}) {
    const soap::NamedValue params[] = {{"sessionKey", com::Bstr::FromUtf8(key)},
                                       {"verifier", com::Bstr::FromUtf8(client->Verifier())}};
    const Result<soap::HttpReply> reply = http.Post(instance_->CoreUrl(), soap::WriteRequest("CloseSession", params));
    ASSERT_EQ(reply.status().code(), S_OK);
    EXPECT_EQ(reply->status, 200) << reply->body;
    CallOutcome still = Call(*client, "GetLogCount");
    EXPECT_TRUE(still.ok) << still.fault;
  }
  EXPECT_TRUE(client->CloseSession()) << client->FormatFault();
  EXPECT_EQ(Call(*client, "GetLogCount").status, kClosedSession);
  EXPECT_TRUE(Call(*other, "GetLogCount").ok);
}

// Compression is decided by the threshold alone: never at 0; at 1 only by the
// operations that choose for themselves (none of the log operations); above
// that, for results longer than the threshold.
class CompressedAnswers : public RoadTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(CompressedAnswers, DecodeToTheSameResult) {
  const uint32_t threshold = GetParam();
  InstanceOptions options;
  options.compressThreshold = threshold;
  QUOR_START_INSTANCE(options);
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);

  const auto expectCompression = [&](const CallOutcome& call, const char* what) {
    ASSERT_TRUE(call.ok) << what << ": " << call.fault;
    const auto raw = RawOutputs(*client);
    ASSERT_EQ(raw.size(), 2u) << what;
    const std::string sent = raw[0].value.ToUtf8();
    const bool compressed = threshold > 1 && call.decoded.size() > threshold;
    if (compressed) {
      EXPECT_NE(sent, call.decoded) << what;
      EXPECT_EQ(sent.find("<root"), std::string::npos) << what << ": " << sent;
    } else {
      EXPECT_EQ(sent, call.decoded) << what;
    }
  };

  CallOutcome count = Call(*client, "GetLogCount");
  expectCompression(count, "GetLogCount");
  EXPECT_GT(LogCount(count.decoded), 0) << count.decoded;

  CallOutcome empty = Call(*client, "GetLogs", {{"logID", "999999"}, {"count", "1"}});
  expectCompression(empty, "GetLogs");
  EXPECT_EQ(empty.decoded, "<root/>");

  CallOutcome thresholdAnswer = Call(*client, "GetCompressThreshold");
  expectCompression(thresholdAnswer, "GetCompressThreshold");
  // Written as a signed number, as the registry's DWORD is kept.
  EXPECT_EQ(thresholdAnswer.decoded, "<root><compressthreshold>" + std::to_string(static_cast<int32_t>(threshold)) +
                                         "</compressthreshold></root>");

  // A long result (a record holding 6000 characters) travels whole.
  const std::string text(6000, 'q');
  ASSERT_TRUE(Call(*client, "PutLog", {{"log", text}}).ok);
  CallOutcome mine = Call(*client, "GetCategoryLogbyUser", {{"opuser", "administrator"}, {"category", "application"}});
  expectCompression(mine, "GetCategoryLogbyUser");
  const auto records = LogRecords(mine.decoded);
  ASSERT_TRUE(records);
  ASSERT_EQ(records->size(), 1u);
  EXPECT_EQ(records->front().at("description"), text);
  if (threshold > 1 && mine.decoded.size() > threshold) {
    EXPECT_LT(RawOutputs(*client)[0].value.Length(), 1000u);
  }
}

INSTANTIATE_TEST_SUITE_P(Thresholds, CompressedAnswers, ::testing::Values(0u, 1u, 16u, 4000u, 0xFFFFFFFFu),
                         [](const auto& info) { return "T" + std::to_string(info.param); });

// Sessions live in the server's memory, the log in the repository: after a
// restart the old session is gone, its rows are not.
TEST_F(SessionRoad, SessionsEndWithTheServerAndRowsDoNot) {
  QUOR_START_INSTANCE(InstanceOptions{});
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  ASSERT_TRUE(Call(*client, "PutLog", {{"log", "before the restart"}}).ok);
  const std::string oldUrl = instance_->CoreUrl();

  instance_->Stop();
  // No server: a failed call that says why, not a crash or an empty success.
  CallOutcome down = Call(*client, "GetLogCount");
  EXPECT_FALSE(down.ok);
  EXPECT_EQ(down.status, S_OK);  // there was no fault answer
  EXPECT_NE(client->FaultText().find("could not reach"), std::string::npos) << client->FaultText();

  ASSERT_NO_FATAL_FAILURE(instance_->Restart());
  ASSERT_NE(instance_->CoreUrl(), oldUrl);
  auto again = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(again);
  CallOutcome mine = Call(*again, "GetCategoryLogbyUser", {{"opuser", "administrator"}, {"category", "application"}});
  ASSERT_TRUE(mine.ok) << mine.fault;
  const auto records = LogRecords(mine.decoded);
  ASSERT_TRUE(records && records->size() == 1u) << mine.decoded;
  EXPECT_EQ(records->front().at("description"), "before the restart");

  // The old client's session died with the old process.
  CVeltService& old = *client;
  ASSERT_EQ(old.BeginRequest("GetLogCount"), 0);
  ASSERT_TRUE(old.Invoke() == false);
  soap::HttpClient http;
  std::string envelope = old.LastEnvelope();
  const Result<soap::HttpReply> reply = http.Post(instance_->CoreUrl(), envelope);
  ASSERT_EQ(reply.status().code(), S_OK);
  const Result<soap::Answer> answer = soap::ParseAnswer(reply->body);
  ASSERT_EQ(answer.status().code(), S_OK) << answer.status().message();
  EXPECT_EQ(answer->fault.status, kClosedSession);
}

// The operations without a store of their own, and a lock on a uri of no
// known kind: each answers as it should and the server goes on.
TEST_F(SessionRoad, OperationsWithoutAStoreAnswerAndTheServerGoesOn) {
  QUOR_START_INSTANCE(InstanceOptions{});
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);

  CallOutcome lock = Call(*client, "LockVO", {{"uri", "urn:voresource:e2e"}});
  EXPECT_EQ(lock.status, kUriInvalid) << lock.fault;
  // UpdateVOResource has no store: success for any valid session.
  CallOutcome update = Call(*client, "UpdateVOResource", {{"uri", "urn:voresource:e2e"}});
  EXPECT_TRUE(update.ok) << update.fault;
  EXPECT_EQ(update.decoded, "");
  // Exec answers success at once and writes neither output.
  soap::HttpClient http;
  const soap::NamedValue execParams[] = {{"user", com::Bstr(u"anything")}, {"command", com::Bstr(u"x")}};
  const Result<soap::HttpReply> reply = http.Post(instance_->CoreUrl(), soap::WriteRequest("Exec", execParams));
  ASSERT_EQ(reply.status().code(), S_OK);
  EXPECT_EQ(reply->status, 200) << reply->body;

  EXPECT_TRUE(instance_->Running());
  EXPECT_TRUE(Call(*client, "GetLogCount").ok);
}

}  // namespace
}  // namespace quor::admin::testing
