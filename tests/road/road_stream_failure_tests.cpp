// A failure after a streamed answer began: the console's client, quor-call
// and a raw HTTP client each see a failure (a chunked answer without its
// last chunk, the connection closed), never a short answer that looks
// whole; the event log says which call was cut off.
#include <gtest/gtest.h>

#include <string>

#include "testing/SignedSession.h"
#include "testing/RawHttp.h"
#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

class StreamFailureRoad : public RoadTest {};

TEST_F(StreamFailureRoad, ACallFailingAfterItsRowsLeftFailsEveryClient) {
  // Rows enough to stream; one far down holds a character XML cannot carry,
  // which fails the call once many rows have gone out.
  st::TempDir data;
  const auto source = SqliteSource(data.Path() / "late.db", "late",
                                   "CREATE TABLE late (id INTEGER, t TEXT); WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL "
                                   "SELECT x + 1 FROM n WHERE x < 30000) INSERT INTO late SELECT x, CASE WHEN x = "
                                   "25000 THEN \"bad\" || char(1) ELSE printf(\"%0060d\", x) END FROM n;");
  ASSERT_FALSE(source.first.empty());
  InstanceOptions options;
  options.accounts = {{"alice", "alice-pw"}};
  options.homeFiles = {source};
  QUOR_START_INSTANCE(options);
  const std::string query =
      "<query><get><content>record</content><target><provider>MSDASQL.1</provider><dsn>late</dsn><catalog>main"
      "</catalog><table>late</table></target></get></query>";

  // The console's client.
  auto alice = instance_->SignIn("alice", "alice-pw");
  ASSERT_TRUE(alice);
  const CallOutcome own = Call(*alice, "Query", {{"sqlstmt", query}});
  EXPECT_FALSE(own.ok);
  EXPECT_NE(own.fault.find("did not come whole"), std::string::npos) << own.fault;
  // The session goes on.
  EXPECT_TRUE(Call(*alice, "GetLogCount").ok);

  // quor-call: exit status 1, the reason on its standard error.
  const st::RunResult call =
      st::RunProgram(std::string(QUOR_BIN_DIR) + "/quor-call",
                     {"--url", instance_->CoreUrl(), "alice", "Query", "sqlstmt=" + query},
                     st::Environment({"QUOR_PASSWORD=alice-pw"}), instance_->Dir());
  EXPECT_EQ(call.status, 1) << call.output.substr(0, 300);
  EXPECT_NE(call.output.find("quor-call: Query failed:"), std::string::npos) << call.output.substr(0, 300);

  // A raw client: the request signed with a session of its own.
  soap::HttpClient http;
  bench::Session raw;
  std::string error;
  ASSERT_TRUE(bench::OpenSession(http, instance_->CoreUrl(), alice->Ticket(), raw, error)) << error;
  const std::string body =
      bench::SignedRequest(raw.handler.get(), bench::FrameOf(*alice, "GetLogCount"), "Query", {{"sqlstmt", query}});
  ASSERT_FALSE(body.empty());
  test::RawAnswer answer = test::RawRequest(instance_->Port(), "POST", soap::kCorePath, body);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.headers.count("content-length"), 0u);
  EXPECT_EQ(answer.headers["transfer-encoding"], "chunked");
  EXPECT_TRUE(answer.closed);
  EXPECT_GT(answer.body.size(), size_t{256} << 10);
  EXPECT_FALSE(answer.body.ends_with("\r\n0\r\n\r\n")) << "the answer ended as a whole one";
  EXPECT_EQ(answer.body.find("</SOAP-ENV:Envelope>"), std::string::npos);

  alice->EndSession();
  EXPECT_NE(instance_->Events().find("was cut off"), std::string::npos) << instance_->Events();
}

}  // namespace
}  // namespace quor::admin::testing
