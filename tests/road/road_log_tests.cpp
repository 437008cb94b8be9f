// What the road of a request leaves in the operation log: the rows of each
// log level, reading them back through the log operations, no secret in any
// row, a repository that cannot be opened, and PostgreSQL as the repository.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/soap/http_client.h"
#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

constexpr HRESULT kLogCountInvalid = static_cast<HRESULT>(0x8100001C);
constexpr HRESULT kArgumentNull = static_cast<HRESULT>(0x81000086);
constexpr HRESULT kArgumentInvalid = static_cast<HRESULT>(0x81000087);
constexpr HRESULT kDatabaseDown = static_cast<HRESULT>(0x8100004E);
constexpr HRESULT kClosedSession = static_cast<HRESULT>(0x81000078);
constexpr HRESULT kTokenRefused = static_cast<HRESULT>(0x81000057);
constexpr HRESULT kUserKeyInvalid = static_cast<HRESULT>(0x81000056);

// A row as the tests compare it: op, user, target, result, description, category.
using Row = std::tuple<std::string, std::string, std::string, std::string, std::string, std::string>;

std::vector<Row> Compared(const std::vector<LogRow>& rows) {
  std::vector<Row> out;
  for (const LogRow& r : rows) out.emplace_back(r.op, r.user, r.target, r.result, r.description, r.catalog);
  return out;
}

std::string Show(const std::vector<Row>& rows) {
  std::string out;
  for (const auto& [op, user, target, result, description, catalog] : rows)
    out += op + " | " + user + " | " + target + " | " + result + " | " + description + " | " + catalog + "\n";
  return out;
}

// ---- Rows at each log level ------------------------------------------------------

class LogLevels : public RoadTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(LogLevels, WriteTheRowsOfTheirLevel) {
  const std::string level = GetParam();
  InstanceOptions options;
  options.logLevel = level;
  QUOR_START_INSTANCE(options);
  const bool debug = level == "Debug", detail = level == "Detail", normal = level == "Normal";
  const bool begins = debug || detail;  // begin rows of the main component

  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  const auto opened = RawOutputs(*client);
  ASSERT_EQ(opened.size(), 3u);
  const std::string locator = opened[0].value.ToUtf8();

  const CallOutcome count = Call(*client, "GetLogCount");
  ASSERT_TRUE(count.ok) << count.fault;
  const CallOutcome bad = Call(*client, "GetLogs", {{"logID", "1"}, {"count", "0"}});
  EXPECT_EQ(bad.status, kLogCountInvalid) << bad.fault;
  const std::string text = "it's <logged> & kept";
  const CallOutcome put = Call(*client, "PutLog", {{"log", text}});
  ASSERT_TRUE(put.ok) << put.fault;
  EXPECT_EQ(put.decoded, "<root><resultCode>0</resultCode></root>");
  const CallOutcome reload = Call(*client, "ReLoadTransform");
  ASSERT_TRUE(reload.ok) << reload.fault;
  EXPECT_EQ(reload.decoded, "<root>0</root>");
  client->EndSession();

  const std::string admin = "administrator", none;
  const std::string failure = "[0x8100001C] The specified log count value is invalid.";
  std::vector<Row> expected;
  const auto add = [&](bool when, Row row) {
    if (when) expected.push_back(std::move(row));
  };
  add(begins, {"CreateTicket", admin, none, none, none, "internal"});
  add(detail, {"CreateTicket", admin, none, "(ticket)", none, "internal"});
  add(begins, {"OpenSession", "qsc", "(ticket)", none, none, "internal"});
  add(detail, {"OpenSession", "qsc", "(ticket)", locator, none, "internal"});
  add(begins, {"GetLogCount", admin, none, none, none, "internal"});
  add(detail, {"GetLogCount", admin, none, count.decoded, none, "internal"});
  add(begins, {"GetLogs", admin, "1", none, none, "internal"});
  add(level != "None", {"GetLogs", admin, "1", none, failure, "internal"});
  add(begins, {"PutLog", admin, text, none, none, "internal"});
  add(true, {"PutLog", admin, none, none, text, "application"});
  add(detail, {"PutLog", admin, text, "<root><resultCode>0</resultCode></root>", none, "internal"});
  // The administration component writes its begin row at Normal too.
  add(begins || normal, {"ReLoadTransform", admin, none, none, none, "internal"});
  add(begins, {"ReLoadTransform", admin, none, "<root>0</root>", none, "internal"});
  add(begins, {"CloseSession", none, "(session key)", none, none, "internal"});
  add(detail, {"CloseSession", none, "(session key)", "<resultCode>0</resultCode>", none, "internal"});

  const std::vector<LogRow> rows = instance_->Rows();
  const std::vector<Row> actual = Compared(rows);
  EXPECT_EQ(actual, expected) << "level " << level << ", rows:\n" << Show(actual) << "expected:\n" << Show(expected);

  // The count a detailed GetLogCount reported is the rows up to its own begin row.
  if (begins) {
    EXPECT_EQ(count.decoded, "<root><logcount>" + std::to_string(detail ? 5 : 3) + "</logcount></root>");
  }
  for (const LogRow& row : rows) {
    EXPECT_TRUE(std::regex_match(row.timestamp, std::regex("[0-9]{4}(/[0-9]{1,2}){2} [0-9]{1,2}(:[0-9]{1,2}){2}")))
        << row.timestamp;
    if (row.catalog == "application") {
      EXPECT_EQ(row.contentLength, "21");  // bytes, the quote counted twice
    }
    if (row.description == failure) {
      EXPECT_EQ(row.contentLength, std::to_string(failure.size()));
    }
  }
  // The event log takes the failure at every level.
  EXPECT_NE(instance_->Events().find(failure), std::string::npos) << instance_->Events();
}

INSTANTIATE_TEST_SUITE_P(Levels, LogLevels, ::testing::Values("None", "Normal", "Debug", "Detail"),
                         [](const auto& info) { return std::string(info.param); });

// ---- Reading the log back -----------------------------------------------------------

class LogRoad : public RoadTest {};

TEST_F(LogRoad, ReadBackThroughTheLogOperations) {
  QUOR_START_INSTANCE(InstanceOptions{});
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  const std::string text = "<b>&amp; 'quoted' \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80</b>\r\n\tend";
  ASSERT_TRUE(Call(*client, "PutLog", {{"log", text}}).ok);
  ASSERT_TRUE(Call(*client, "PutCollabLog", {{"uri", "urn:vocontent:covodb000:e2e"}, {"log", "collab text"}}).ok);

  // The id list includes the begin row of the call that asks for it.
  CallOutcome ids = Call(*client, "GetLogIDList");
  ASSERT_TRUE(ids.ok) << ids.fault;
  std::vector<LogRow> rows = instance_->Rows();
  std::vector<std::string> dbIds;
  for (const LogRow& row : rows) dbIds.push_back(std::to_string(row.id));
  EXPECT_EQ(ChildTexts(ids.decoded), dbIds);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.back().op, "GetLogIDList");

  long app = 0, collab = 0;
  for (const LogRow& row : rows) {
    if (row.catalog == "application") app = row.id;
    if (row.catalog == "collaboration") collab = row.id;
  }
  ASSERT_NE(app, 0);
  ASSERT_NE(collab, 0);

  CallOutcome one = Call(*client, "GetLog", {{"logID", std::to_string(app)}});
  ASSERT_TRUE(one.ok) << one.fault;
  auto records = LogRecords(one.decoded);
  ASSERT_TRUE(records);
  ASSERT_EQ(records->size(), 1u) << one.decoded;
  EXPECT_EQ(records->front().at("logID"), std::to_string(app));
  EXPECT_EQ(records->front().at("description"), text);
  EXPECT_EQ(records->front().at("op"), "PutLog");
  EXPECT_EQ(records->front().at("opuser"), "administrator");
  EXPECT_EQ(records->front().at("logcatalog"), "application");
  EXPECT_EQ(records->front().at("loglevel"), "");

  CallOutcome collabRecord = Call(*client, "GetLog", {{"logID", std::to_string(collab)}});
  ASSERT_TRUE(collabRecord.ok) << collabRecord.fault;
  records = LogRecords(collabRecord.decoded);
  ASSERT_TRUE(records && records->size() == 1u) << collabRecord.decoded;
  EXPECT_EQ(records->front().at("target"), "urn:vocontent:covodb000:e2e");
  EXPECT_EQ(records->front().at("description"), "collab text");

  CallOutcome range = Call(*client, "GetLogs", {{"logID", std::to_string(rows[1].id)}, {"count", "3"}});
  ASSERT_TRUE(range.ok) << range.fault;
  records = LogRecords(range.decoded);
  ASSERT_TRUE(records);
  std::vector<std::string> got;
  for (const auto& r : *records) got.push_back(r.at("logID"));
  EXPECT_EQ(got, (std::vector<std::string>{dbIds[1], dbIds[2], dbIds[3]}));

  CallOutcome category = Call(*client, "GetCategoryLogIDList", {{"category", "application"}});
  ASSERT_TRUE(category.ok) << category.fault;
  EXPECT_EQ(ChildTexts(category.decoded), std::vector<std::string>{std::to_string(app)});
  category = Call(*client, "GetCategoryLogIDList", {{"category", "collaboration"}});
  ASSERT_TRUE(category.ok) << category.fault;
  EXPECT_EQ(ChildTexts(category.decoded), std::vector<std::string>{std::to_string(collab)});

  CallOutcome mine = Call(*client, "GetLogbyUser", {{"opuser", "administrator"}});
  ASSERT_TRUE(mine.ok) << mine.fault;
  records = LogRecords(mine.decoded);
  ASSERT_TRUE(records);
  std::vector<std::string> expectedMine;
  for (const LogRow& row : instance_->Rows("administrator")) expectedMine.push_back(std::to_string(row.id));
  got.clear();
  for (const auto& r : *records) got.push_back(r.at("logID"));
  EXPECT_EQ(got, expectedMine);

  CallOutcome mineApp = Call(*client, "GetCategoryLogbyUser", {{"opuser", "administrator"}, {"category", "application"}});
  ASSERT_TRUE(mineApp.ok) << mineApp.fault;
  records = LogRecords(mineApp.decoded);
  ASSERT_TRUE(records && records->size() == 1u) << mineApp.decoded;
  EXPECT_EQ(records->front().at("description"), text);
  CallOutcome nobody = Call(*client, "GetLogbyUser", {{"opuser", "nobody' OR '1'='1"}});
  ASSERT_TRUE(nobody.ok) << nobody.fault;
  EXPECT_EQ(nobody.decoded, "<root/>");

  // Bad arguments: a clear fault, nothing changed but the log of the refusal.
  EXPECT_EQ(Call(*client, "GetLogs", {{"logID", "abc"}, {"count", "1"}}).status, kArgumentInvalid);
  EXPECT_EQ(Call(*client, "GetLogs", {{"logID", ""}, {"count", "1"}}).status, kArgumentNull);
  EXPECT_EQ(Call(*client, "GetLogs", {{"logID", "1"}, {"count", "-1"}}).status, kArgumentInvalid);
  EXPECT_EQ(Call(*client, "GetLog", {{"logID", "1' OR '1'='1"}}).status, kArgumentInvalid);
  // Without its parameter the request no longer matches what the token
  // covers (the method's whole parameter list).
  EXPECT_EQ(Call(*client, "PutLog", {}).status, kTokenRefused);
  size_t applicationRows = 0;
  for (const LogRow& row : instance_->Rows()) applicationRows += row.catalog == "application";
  EXPECT_EQ(applicationRows, 1u);
}

// Tickets, session keys, verifiers, request tokens and passwords prove an
// identity: none reaches a log row or the event log, whatever happens.
TEST_F(LogRoad, NoSecretReachesAnyRow) {
  InstanceOptions options;
  options.logLevel = "Detail";
  options.accounts = {{"administrator", "S3cret-Passw0rd"}};
  QUOR_START_INSTANCE(options);
  std::vector<std::string> secrets = {"S3cret-Passw0rd"};
  const auto requestToken = [](const std::string& envelope) {
    const size_t from = envelope.find("<user>"), to = envelope.find("</user>");
    return from == std::string::npos || to == std::string::npos ? std::string() : envelope.substr(from + 6, to - from - 6);
  };

  auto client = instance_->SignIn("administrator", "S3cret-Passw0rd");
  ASSERT_TRUE(client);
  const auto opened = RawOutputs(*client);
  ASSERT_EQ(opened.size(), 3u);
  secrets.push_back(client->Ticket());
  secrets.push_back(opened[1].value.ToUtf8());  // session key
  secrets.push_back(opened[2].value.ToUtf8());  // verifier

  ASSERT_TRUE(Call(*client, "GetLogCount").ok);
  secrets.push_back(requestToken(client->LastEnvelope()));
  EXPECT_FALSE(Call(*client, "GetLogs", {{"logID", "1"}, {"count", "0"}}).ok);
  secrets.push_back(requestToken(client->LastEnvelope()));
  ASSERT_TRUE(Call(*client, "ReLoadConfig").ok);
  secrets.push_back(requestToken(client->LastEnvelope()));
  // A replay, refused.
  soap::HttpClient http;
  const Result<soap::HttpReply> reply = http.Post(instance_->AdminUrl(), client->LastEnvelope());
  ASSERT_EQ(reply.status().code(), S_OK);
  EXPECT_EQ(reply->status, 500);
  client->EndSession();
  // Calls on the closed session, on both endpoints.
  EXPECT_EQ(Call(*client, "GetLogCount").status, kClosedSession);
  secrets.push_back(requestToken(client->LastEnvelope()));
  EXPECT_EQ(Call(*client, "ReLoadUnifyTable").status, kUserKeyInvalid);
  secrets.push_back(requestToken(client->LastEnvelope()));

  const std::vector<LogRow> rows = instance_->Rows();
  EXPECT_GE(rows.size(), 15u);
  const std::string events = instance_->Events();
  for (const std::string& secret : secrets) {
    ASSERT_GE(secret.size(), 12u) << "a secret was not captured";
    for (const LogRow& row : rows) {
      for (const std::string* column : {&row.user, &row.target, &row.result, &row.description}) {
        EXPECT_EQ(column->find(secret), std::string::npos) << row.op << " row " << row.id << ": " << *column;
      }
    }
    EXPECT_EQ(events.find(secret), std::string::npos) << events;
  }
}

// ---- A repository that cannot be opened ------------------------------------------

class DatabaseDown : public RoadTest, public ::testing::WithParamInterface<Database> {};

TEST_P(DatabaseDown, CallsAreRefusedAndTheEventLogSaysWhy) {
  InstanceOptions options;
  options.database = GetParam();
  QUOR_START_INSTANCE(options);
  // Signing in needs no database.
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);

  for (const auto& [method, parameter] : {std::pair{"GetLogCount", ""}, std::pair{"PutLog", "log"},
                                          std::pair{"GetLogIDList", ""}}) {
    CallOutcome call = *parameter ? Call(*client, method, {{parameter, "text"}}) : Call(*client, method);
    EXPECT_FALSE(call.ok) << method;
    EXPECT_EQ(call.status, kDatabaseDown) << method << ": " << call.fault;
    EXPECT_NE(call.fault.find("The QuorVesk Resource database is not installed."), std::string::npos) << call.fault;
  }
  // What needs no database still answers.
  CallOutcome admins = Call(*client, "GetAdminUserList");
  EXPECT_TRUE(admins.ok) << admins.fault;
  CallOutcome reload = Call(*client, "ReLoadTransform");
  EXPECT_TRUE(reload.ok) << reload.fault;
  EXPECT_EQ(reload.decoded, "<root>0</root>");

  const std::string events = instance_->Events();
  EXPECT_NE(events.find("[0x8100004E]"), std::string::npos) << events;
  EXPECT_NE(events.find("could not be opened"), std::string::npos) << events;
  EXPECT_TRUE(instance_->Running());
}

INSTANTIATE_TEST_SUITE_P(Engines, DatabaseDown,
                         ::testing::Values(Database::SqliteUnopenable, Database::PostgresNoServer),
                         [](const auto& info) {
                           return info.param == Database::SqliteUnopenable ? std::string("SqliteMissingFolder")
                                                                           : std::string("PostgresNoServer");
                         });

// ---- The same road on each repository engine -------------------------------------

class EngineRoad : public RoadTest, public ::testing::WithParamInterface<Database> {};

TEST_P(EngineRoad, RowsOfAUserRoundTrip) {
  const std::string user = UniqueName("admin");
  InstanceOptions options;
  options.database = GetParam();
  options.accounts = {{user, "engine-pw"}};
  options.adminUsers = user;
  QUOR_START_INSTANCE(options);
  auto client = instance_->SignIn(user, "engine-pw");
  ASSERT_TRUE(client);

  const std::string text = "l'été \xE6\x97\xA5\xE6\x9C\xAC <x/> & more";
  CallOutcome put = Call(*client, "PutLog", {{"log", text}});
  ASSERT_TRUE(put.ok) << put.fault;
  CallOutcome count = Call(*client, "GetLogCount");
  ASSERT_TRUE(count.ok) << count.fault;
  CallOutcome mine = Call(*client, "GetLogbyUser", {{"opuser", user}});
  ASSERT_TRUE(mine.ok) << mine.fault;
  const auto records = LogRecords(mine.decoded);
  ASSERT_TRUE(records);

  // Sign-in, the begin rows of the three calls and the application row.
  const std::vector<LogRow> rows = instance_->Rows(user);
  std::vector<std::string> ops;
  for (const LogRow& row : rows) ops.push_back(row.op + "/" + row.catalog);
  EXPECT_EQ(ops, (std::vector<std::string>{"CreateTicket/internal", "PutLog/internal", "PutLog/application",
                                           "GetLogCount/internal", "GetLogbyUser/internal"}));
  // The answer comes in the database's own order (PostgreSQL moves a row it
  // updates), so each record is matched to its row by identifier.
  ASSERT_EQ(records->size(), rows.size()) << mine.decoded;
  for (const LogRow& row : rows) {
    const auto record = std::find_if(records->begin(), records->end(),
                                     [&](const auto& r) { return r.at("logID") == std::to_string(row.id); });
    ASSERT_NE(record, records->end()) << "no record for row " << row.id << ": " << mine.decoded;
    EXPECT_EQ(record->at("op"), row.op);
    EXPECT_EQ(record->at("description"), row.description);
  }
  EXPECT_EQ(rows[2].description, text);

  CallOutcome admins = Call(*client, "GetAdminUserList");
  ASSERT_TRUE(admins.ok) << admins.fault;
  EXPECT_EQ(admins.decoded, "<root><user>" + user + "</user></root>");
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineRoad, ::testing::Values(Database::Sqlite, Database::Postgres),
                         [](const auto& info) {
                           return info.param == Database::Sqlite ? std::string("Sqlite") : std::string("Postgres");
                         });

}  // namespace
}  // namespace quor::admin::testing
