// Large query answers over the wire, on SQLite and PostgreSQL sources: a
// query of many rows answers the text its rows make, byte for byte, as
// whole as a small one; and the server's memory does not grow with the
// rows when the answer is sent while the rows are read (seen as an answer
// in chunks on the connection).
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <charconv>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/xml/escape.h"
#include "testing/Loopback.h"
#include "testing/RawHttp.h"
#include "testing/OutsideSql.h"
#include "testing/SignedSession.h"
#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

namespace outside = oledb::testing;

// The text of row `i`: markup characters and characters of two and four
// bytes.
std::string RowText(int i) {
  std::array<char, 8> digits{};
  std::snprintf(digits.data(), digits.size(), "%06d", i);
  return std::string(digits.data()) + " <&>\"é 😀";
}

std::string Real(double value) {
  std::array<char, 32> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), ec == std::errc() ? end : buffer.data());
}

// One configured source "many" with a table "many" of `rows` rows (id, t,
// r): a SQLite file, or a schema of the test run's PostgreSQL.
class ManyRows {
 public:
  ManyRows(bool postgres, const fs::path& dir, int rows) : postgres_(postgres) {
    const std::string sqlFile = (dir / "many.sql").string();
    const std::string text = postgres ? "lpad(i::text, 6, '0') || ' <&>\"é 😀'" : "printf('%06d', i) || ' <&>\"é 😀'";
    const std::string create = "CREATE TABLE many (id INTEGER, t TEXT, r " +
                               std::string(postgres ? "DOUBLE PRECISION" : "REAL") + ");\n";
    if (postgres) {
      catalog_ = "qsr_" + std::to_string(::getpid());
      std::ofstream(sqlFile) << "SET client_min_messages = warning; DROP SCHEMA IF EXISTS " << catalog_
                             << " CASCADE; CREATE SCHEMA " << catalog_ << "; SET search_path TO " << catalog_ << ";\n"
                             << create << "INSERT INTO many SELECT i, " << text << ", i * 0.25 FROM generate_series(1, "
                             << rows << ") AS n(i);\n";
      const std::string odbc = Env("QUOR_TEST_PG");
      ok_ = outside::Capture(outside::PsqlCommand(odbc) + " -v ON_ERROR_STOP=1 -f '" + sqlFile + "' 2>&1").empty();
      const std::string rest = "DRIVER=" + outside::OdbcItem(odbc, "DRIVER") + ";Server=" +
                               outside::OdbcItem(odbc, "Server") + ";Port=" + outside::OdbcItem(odbc, "Port") +
                               ";Database=" + outside::OdbcItem(odbc, "Database") +
                               ";ConnSettings=SET search_path TO " + catalog_;
      setting_ = "<InitialCatalog>" + catalog_ + "</InitialCatalog><ExtendedProperties>" +
                 CVeltService::EscapeXml(rest) + "</ExtendedProperties><UserName>" + outside::OdbcItem(odbc, "UID") +
                 "</UserName><Password>" + outside::OdbcItem(odbc, "PWD") + "</Password>";
    } else {
      catalog_ = "main";
      const std::string db = (dir / "many.db").string();
      std::ofstream(sqlFile) << create << "INSERT INTO many WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                             << "FROM n WHERE i < " << rows << ") SELECT i, " << text << ", i * 0.25 FROM n;\n";
      ok_ = outside::Capture("sqlite3 -batch '" + db + "' < '" + sqlFile + "' 2>&1").empty();
      setting_ = "<InitialCatalog>main</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" +
                 CVeltService::EscapeXml(db) + "</ExtendedProperties>";
    }
  }
  ~ManyRows() {
    if (postgres_)
      outside::Capture(outside::PsqlCommand(Env("QUOR_TEST_PG")) + " -c 'DROP SCHEMA IF EXISTS " + catalog_ +
                       " CASCADE' 2>&1");
  }
  bool ok() const { return ok_; }

  std::pair<std::string, std::string> ConfigFile() const {
    return {"config/many.xml", "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>many</DataSource>" + setting_ +
                                   "</OLEDBSetting>"};
  }
  // A client's query of the rows with an id up to `upTo`.
  std::string Query(int upTo) const {
    return "<query><get><content>record</content><target><provider>MSDASQL.1</provider><dsn>many</dsn><catalog>" +
           catalog_ + "</catalog><table>many</table></target><condition>id &lt;= " + std::to_string(upTo) +
           "</condition></get></query>";
  }

 private:
  bool postgres_;
  bool ok_ = false;
  std::string catalog_, setting_;
};

bool PgMissing() {
  if (!Env("QUOR_TEST_PG").empty()) return false;
  if (!Env("CI").empty()) ADD_FAILURE() << "QUOR_TEST_PG is not set: the test command must start PostgreSQL";
  return true;
}

class QueryStreamRoad : public RoadTest, public ::testing::WithParamInterface<Database> {};

TEST_P(QueryStreamRoad, ManyRowsAnswerTheTextOfTheirRowsByteForByte) {
  const bool postgres = GetParam() == Database::Postgres;
  if (postgres && PgMissing()) GTEST_SKIP() << "QUOR_TEST_PG not set";
  constexpr int kRows = 20000;  // some megabytes, far past what the carrier holds before sending
  st::TempDir data;
  const ManyRows many(postgres, data.Path(), kRows);
  ASSERT_TRUE(many.ok());
  InstanceOptions options;
  options.database = GetParam();
  options.homeFiles = {many.ConfigFile(),
                       {"transform/csv.xml", "<QuorTransform><transform><transID>csv</transID><ProgID>"
                                             "FlatConvert.TransCSV</ProgID></transform></QuorTransform>"}};
  QUOR_START_INSTANCE(options);
  const auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);

  // Two rows, answered whole, give the table's and the columns' tags.
  const CallOutcome two = Call(*client, "Query", {{"sqlstmt", many.Query(2)}});
  ASSERT_TRUE(two.ok) << two.fault;
  const size_t firstRecord = two.decoded.find("<record>");
  ASSERT_NE(firstRecord, std::string::npos) << two.decoded;
  const std::string head = two.decoded.substr(0, firstRecord);
  std::vector<std::string> tags;
  for (size_t at = two.decoded.find("<column ", firstRecord); tags.size() < 3; at = two.decoded.find("<column ", at)) {
    ASSERT_NE(at, std::string::npos) << two.decoded;
    tags.push_back(two.decoded.substr(at, two.decoded.find('>', at) + 1 - at));
    ++at;
  }
  // The answer to the rows up to `n`, built from what they hold.
  const auto answerOf = [&](int n) {
    std::string text = head;
    text.reserve(size_t(n) * 160);
    for (int i = 1; i <= n; ++i) {
      text += "<record>" + tags[0] + std::to_string(i) + "</column>" + tags[1] + xml::Escaped(RowText(i)) +
              "</column>" + tags[2] + Real(i * 0.25) + "</column></record>";
    }
    return text + "</table></response></root>";
  };
  EXPECT_EQ(two.decoded, answerOf(2));
  const std::string expected = answerOf(kRows);

  const CallOutcome all = Call(*client, "Query", {{"sqlstmt", many.Query(kRows)}});
  ASSERT_TRUE(all.ok) << all.fault;
  EXPECT_GT(all.decoded.size(), size_t{2} << 20);
  EXPECT_EQ(all.decoded.size(), expected.size());
  EXPECT_TRUE(all.decoded == expected) << "first difference at "
                                       << std::mismatch(all.decoded.begin(), all.decoded.end(), expected.begin(),
                                                        expected.end())
                                                  .first -
                                              all.decoded.begin();

  // Through the CSV transformer, converted on their way: the comma-separated
  // text of the rows.
  std::string csvExpected = "<root><response><table><caption>many</caption><csv><![CDATA[id,t,r\n";
  for (int i = 1; i <= kRows; ++i) {
    std::string quoted = RowText(i);
    for (size_t at = quoted.find('"'); at != std::string::npos; at = quoted.find('"', at + 2)) quoted.insert(at, 1, '"');
    csvExpected += std::to_string(i) + ",\"" + quoted + "\"," + Real(i * 0.25) + "\n";
  }
  csvExpected += "]]></csv></table></response></root>";
  std::string csvQuery = many.Query(kRows);
  csvQuery.insert(csvQuery.find("</get>"), "<transform>csv</transform>");
  const CallOutcome csv = Call(*client, "Query", {{"sqlstmt", csvQuery}});
  ASSERT_TRUE(csv.ok) << csv.fault;
  EXPECT_EQ(csv.decoded.size(), csvExpected.size());
  EXPECT_TRUE(csv.decoded == csvExpected) << csv.decoded.substr(0, 300);
}

INSTANTIATE_TEST_SUITE_P(Engines, QueryStreamRoad, ::testing::Values(Database::Sqlite, Database::Postgres),
                         EngineName);

// A loopback relay between a client and the server that notes whether an
// answer came in chunks, as an answer sent while it is made does. One
// thread relays every connection; the flag is atomic.
class Relay {
 public:
  explicit Relay(int serverPort)
      : serverPort_(serverPort), listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener_.valid() || ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 8) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Relay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int Port() const { return port_; }
  bool SawChunks() const { return chunked_; }

 private:
  struct Pair {
    UniqueFd client, server;
    std::string tail;  // the end of what the server sent, for a header cut between reads
  };

  void Run() {
    std::vector<Pair> pairs;
    while (!stop_) {
      std::vector<pollfd> polls{{listener_.get(), POLLIN, 0}};
      for (const Pair& p : pairs) {
        polls.push_back({p.client.get(), POLLIN, 0});
        polls.push_back({p.server.get(), POLLIN, 0});
      }
      if (::poll(polls.data(), polls.size(), 50) <= 0) continue;
      const size_t polled = pairs.size();
      if (polls[0].revents & POLLIN) {
        UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        UniqueFd server = quor::test::ConnectLoopback(serverPort_);
        if (client.valid() && server.valid()) pairs.push_back({std::move(client), std::move(server), {}});
      }
      std::vector<bool> done(pairs.size(), false);
      for (size_t i = 0; i < polled; ++i) {
        for (const bool fromServer : {false, true}) {
          if (!(polls[1 + 2 * i + (fromServer ? 1 : 0)].revents & (POLLIN | POLLHUP | POLLERR))) continue;
          Pair& p = pairs[i];
          char buffer[65536];
          const ssize_t n = ::recv((fromServer ? p.server : p.client).get(), buffer, sizeof buffer, 0);
          if (n <= 0 || !SendAll((fromServer ? p.client : p.server).get(), buffer, static_cast<size_t>(n))) {
            done[i] = true;
            continue;
          }
          if (fromServer) Note(p, std::string_view(buffer, static_cast<size_t>(n)));
        }
      }
      for (size_t i = pairs.size(); i-- > 0;)
        if (done[i]) pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }

  static bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  // A header line in the server's bytes (an answer's text has its carriage
  // returns escaped, so "\r\n" starts a line of the head or of the framing).
  void Note(Pair& p, std::string_view bytes) {
    std::string seen = p.tail;
    seen.append(bytes);
    for (char& c : seen) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (seen.find("\r\ntransfer-encoding: chunked\r\n") != std::string::npos) chunked_ = true;
    p.tail = seen.substr(seen.size() > 64 ? seen.size() - 64 : 0);
  }

  int serverPort_;
  UniqueFd listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> chunked_{false};
  std::thread thread_;
};

// The server's peak resident memory, in bytes (VmHWM); 0 when unknown.
uint64_t PeakMemory(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmHWM:")) return std::strtoull(line.c_str() + 6, nullptr, 10) << 10;
  return 0;
}

// Ten times the rows: the server's peak memory grows by less than the
// larger answer's size when the answer streams (PostgreSQL reads through a
// cursor; the SQLite driver holds a whole result). Made whole, it grows by
// several times that, which is only reported.
TEST_F(RoadTest, QueryOfTenTimesTheRowsTakesNoMoreServerMemoryWhenStreamed) {
  if (PgMissing()) GTEST_SKIP() << "QUOR_TEST_PG not set";
  constexpr int kFew = 5000, kMany = 50000;
  st::TempDir data;
  const ManyRows many(true, data.Path(), kMany);
  ASSERT_TRUE(many.ok());
  // Freed memory is handed back at once: the sanitizer's quarantine would
  // otherwise hold every piece sent.
  const char* before = std::getenv("ASAN_OPTIONS");
  const std::optional<std::string> previous = before ? std::optional<std::string>(before) : std::nullopt;
  ::setenv("ASAN_OPTIONS", (previous.value_or("") + ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0").c_str(),
           1);
  InstanceOptions options;
  options.homeFiles = {many.ConfigFile()};
  Start(options);
  previous ? ::setenv("ASAN_OPTIONS", previous->c_str(), 1) : ::unsetenv("ASAN_OPTIONS");
  if (HasFatalFailure() || IsSkipped()) return;

  const Relay relay(instance_->Port());
  ASSERT_NE(relay.Port(), 0);
  CVeltService client;
  ASSERT_EQ(client.Connect("http://127.0.0.1:" + std::to_string(relay.Port()) + std::string(soap::kCorePath),
                           "administrator", "pw"),
            0)
      << client.FormatFault();
  const auto records = [](const std::string& answer) {
    size_t n = 0;
    for (size_t at = answer.find("<record>"); at != std::string::npos; at = answer.find("<record>", at + 1)) ++n;
    return n;
  };
  const CallOutcome few = Call(client, "Query", {{"sqlstmt", many.Query(kFew)}});
  ASSERT_TRUE(few.ok) << few.fault;
  EXPECT_EQ(records(few.decoded), size_t{kFew});
  const uint64_t afterFew = PeakMemory(instance_->Pid());
  const CallOutcome all = Call(client, "Query", {{"sqlstmt", many.Query(kMany)}});
  ASSERT_TRUE(all.ok) << all.fault;
  EXPECT_EQ(records(all.decoded), size_t{kMany});
  const uint64_t afterMany = PeakMemory(instance_->Pid());
  ASSERT_GT(afterFew, 0u);
  const uint64_t growth = afterMany > afterFew ? afterMany - afterFew : 0;
  std::cout << "[ memory   ] answer " << (all.decoded.size() >> 20) << " MB, server peak grew "
            << (growth >> 20) << " MB, " << (relay.SawChunks() ? "streamed" : "made whole (not streamed)") << "\n";
  if (relay.SawChunks()) {
    EXPECT_LT(growth, all.decoded.size()) << "the server held the answer whole";
  }
}

// The backends of a PostgreSQL source ended after a Query's answer began:
// the fetch that follows fails, and every client sees a failure (the chunks
// end without their last one), never a short answer that looks whole.
TEST_F(RoadTest, APostgresSourceEndedMidAnswerFailsEveryClient) {
  if (PgMissing()) GTEST_SKIP() << "QUOR_TEST_PG not set";
  constexpr int kRows = 200000;  // far more than the pieces in flight and the sockets' buffers hold
  st::TempDir data;
  const ManyRows many(true, data.Path(), kRows);
  ASSERT_TRUE(many.ok());
  // The server's PostgreSQL connections carry this name (libpq takes it from
  // the environment), so that only they are ended; its repository is SQLite.
  const std::string app = "quor-ended-" + std::to_string(::getpid());
  InstanceOptions options;
  options.homeFiles = {many.ConfigFile()};
  struct AppName {
    explicit AppName(const std::string& name) { ::setenv("PGAPPNAME", name.c_str(), 1); }
    ~AppName() { ::unsetenv("PGAPPNAME"); }
  };
  {
    const AppName named(app);
    QUOR_START_INSTANCE(options);
  }
  const auto endBackends = [&app] {
    return std::atoi(outside::Capture(outside::PsqlCommand(Env("QUOR_TEST_PG")) +
                                      " -Atc \"SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                                      "application_name = '" + app + "'\" 2>&1")
                         .c_str());
  };
  const auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);

  // The console's client: the backends end when the first piece arrives.
  int ended = -1;
  size_t received = 0;
  client->SetResultConsumer([&](std::string_view piece) {
    received += piece.size();
    if (ended < 0) ended = endBackends();
    return true;
  });
  ASSERT_EQ(client->BeginRequest("Query"), 0);
  client->AddParameter("sqlstmt", many.Query(kRows));
  EXPECT_FALSE(client->Invoke()) << received << " bytes came";
  EXPECT_GE(ended, 1);
  EXPECT_NE(client->FormatFault().find("did not come whole"), std::string::npos) << client->FormatFault();
  EXPECT_LT(received, size_t{kRows} * 60);
  // The next Query connects anew.
  const CallOutcome after = Call(*client, "Query", {{"sqlstmt", many.Query(2)}});
  EXPECT_TRUE(after.ok) << after.fault;

  // A raw client: the backends end once half a megabyte came.
  soap::HttpClient http;
  bench::Session raw;
  std::string error;
  ASSERT_TRUE(bench::OpenSession(http, instance_->CoreUrl(), client->Ticket(), raw, error)) << error;
  const std::string body = bench::SignedRequest(raw.handler.get(), bench::FrameOf(*client, "Query"), "Query",
                                                {{"sqlstmt", many.Query(kRows)}});
  ASSERT_FALSE(body.empty());
  const UniqueFd fd = test::ConnectLoopback(instance_->Port());
  ASSERT_TRUE(fd.valid());
  const std::string request = test::RequestText("POST", soap::kCorePath, body);
  ASSERT_EQ(::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  std::string in;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool open = true;
  while (open && in.size() < (size_t{512} << 10) && std::chrono::steady_clock::now() < until)
    open = test::ReadSome(fd.get(), in);
  ASSERT_GE(in.size(), size_t{512} << 10) << in.substr(0, 300);
  EXPECT_GE(endBackends(), 1);
  while (open && std::chrono::steady_clock::now() < until) open = test::ReadSome(fd.get(), in);
  EXPECT_FALSE(open) << "the server did not close the connection";
  EXPECT_TRUE(in.starts_with("HTTP/1.1 200")) << in.substr(0, 300);
  EXPECT_NE(in.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << in.substr(0, 300);
  EXPECT_FALSE(in.ends_with("\r\n0\r\n\r\n")) << "the answer ended as a whole one";
  EXPECT_EQ(in.find("</SOAP-ENV:Envelope>"), std::string::npos);

  client->EndSession();
  const std::string events = instance_->Events();
  size_t cuts = 0;
  for (size_t at = events.find("was cut off"); at != std::string::npos; at = events.find("was cut off", at + 1)) ++cuts;
  EXPECT_EQ(cuts, 2u) << events;
}

}  // namespace
}  // namespace quor::admin::testing
