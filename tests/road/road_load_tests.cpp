// Many clients at once: sixteen threads, each with its own client and session,
// call for a few seconds. Every answer must validate and decode, the server
// must stay up, and the log must hold exactly what was sent.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

constexpr int kClients = 16;
constexpr auto kDuration = std::chrono::seconds(4);

struct ClientReport {
  bool signedIn = false;
  int puts = 0, counts = 0;
  std::vector<long> seenCounts;
  std::vector<std::string> failures;
};

class LoadRoad : public RoadTest, public ::testing::WithParamInterface<Database> {};

TEST_P(LoadRoad, SixteenClientsLoseNothing) {
  const bool sqlite = GetParam() == Database::Sqlite;
  const std::string user = sqlite ? std::string("administrator") : UniqueName("load");
  InstanceOptions options;
  options.database = GetParam();
  options.accounts = {{user, "load-pw"}};
  QUOR_START_INSTANCE(options);
  const size_t rowsBefore = instance_->Rows().size();

  std::vector<ClientReport> reports(kClients);
  const auto until = std::chrono::steady_clock::now() + kDuration;
  // Sign-ins under a sanitizer on a busy machine can use up the time: every
  // client still makes its first put and count, unless it waits past this.
  const auto starved = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      ClientReport& report = reports[c];
      CVeltService client;
      if (client.Connect(instance_->CoreUrl(), user, "load-pw") != 0) {
        report.failures.push_back("sign-in: " + client.FormatFault());
        return;
      }
      report.signedIn = true;
      const std::regex countAnswer("<root><logcount>([0-9]+)</logcount></root>");
      const auto more = [&](int n) {
        const auto now = std::chrono::steady_clock::now();
        return now < until || (n < 2 && now < starved);
      };
      for (int n = 0; more(n); ++n) {
        if (n % 2 == 0) {
          const std::string text = "client " + std::to_string(c) + " entry " + std::to_string(report.puts);
          const CallOutcome put = Call(client, "PutLog", {{"log", text}});
          if (!put.ok || put.decoded != "<root><resultCode>0</resultCode></root>") {
            report.failures.push_back("PutLog: " + put.fault + put.decoded);
            break;
          }
          ++report.puts;
        } else {
          const CallOutcome count = Call(client, "GetLogCount");
          std::smatch m;
          if (!count.ok || !std::regex_match(count.decoded, m, countAnswer)) {
            report.failures.push_back("GetLogCount: " + count.fault + count.decoded);
            break;
          }
          report.seenCounts.push_back(std::stol(m[1]));
          ++report.counts;
        }
      }
      client.EndSession();
    });
  }
  for (std::thread& t : threads) t.join();

  int puts = 0, counts = 0;
  for (int c = 0; c < kClients; ++c) {
    const ClientReport& r = reports[c];
    EXPECT_TRUE(r.signedIn) << "client " << c;
    for (const std::string& failure : r.failures) ADD_FAILURE() << "client " << c << ": " << failure;
    EXPECT_GT(r.puts, 0) << "client " << c << " made no call";
    puts += r.puts;
    counts += r.counts;
    // Each client's own rows arrive between two of its counts.
    if (sqlite) {
      for (size_t i = 1; i < r.seenCounts.size(); ++i)
        EXPECT_GE(r.seenCounts[i], r.seenCounts[i - 1] + 3) << "client " << c;
    }
  }
  ASSERT_TRUE(instance_->Running()) << instance_->Stderr();

  // Per client: one ticket, its calls' begin rows, one application row per PutLog.
  std::map<std::string, int> ops;
  std::map<std::string, int> texts;
  for (const LogRow& row : instance_->Rows(user)) {
    ++ops[row.op + "/" + row.catalog];
    if (row.catalog == "application") ++texts[row.description];
  }
  EXPECT_EQ(ops["CreateTicket/internal"], kClients);
  EXPECT_EQ(ops["PutLog/internal"], puts);
  EXPECT_EQ(ops["PutLog/application"], puts);
  EXPECT_EQ(ops["GetLogCount/internal"], counts);
  EXPECT_EQ(static_cast<int>(texts.size()), puts) << "an entry is missing or doubled";
  for (const auto& [text, copies] : texts) EXPECT_EQ(copies, 1) << text;
  if (sqlite) {
    // With the sessions (opened by "qsc", closed by nobody): everything, nothing else.
    EXPECT_EQ(instance_->Rows().size(), rowsBefore + 3u * kClients + 2u * puts + counts);
  }
  std::printf("[ load     ] %d clients, %d calls in %lld s\n", kClients, puts + counts,
              static_cast<long long>(kDuration.count()));
}

INSTANTIATE_TEST_SUITE_P(Engines, LoadRoad, ::testing::Values(Database::Sqlite, Database::Postgres),
                         [](const auto& info) {
                           return info.param == Database::Sqlite ? std::string("Sqlite") : std::string("Postgres");
                         });

}  // namespace
}  // namespace quor::admin::testing
