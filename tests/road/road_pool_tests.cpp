// Load in pulses: 64 signed-in clients call together for 150 ms, then all
// stop for 150 ms. Each pulse takes more repository connections than the pool
// keeps idle, and each pause hands them back at once, so connections open and
// close by the dozen at the same moments (the SQLite driver's connection list
// once broke under exactly this). The server must answer every call, stay up
// and keep every write.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

constexpr int kClients = 64;
constexpr auto kDuration = std::chrono::seconds(8);
constexpr auto kPulse = std::chrono::milliseconds(150);

class PoolRoad : public RoadTest, public ::testing::WithParamInterface<Database> {};

TEST_P(PoolRoad, PulsingLoadOpensAndClosesConnectionsTogether) {
  const std::string user = GetParam() == Database::Sqlite ? std::string("administrator") : UniqueName("pulse");
  InstanceOptions options;
  options.database = GetParam();
  options.accounts = {{user, "pulse-pw"}};
  // More workers than the pool keeps idle connections, so pauses close some.
  options.serverArgs = {"--threads", "64"};
  QUOR_START_INSTANCE(options);

  struct Report {
    int puts = 0, counts = 0;
    std::string failure;
  };
  std::vector<Report> reports(kClients);
  std::vector<CVeltService> clients(kClients);
  {
    std::vector<std::thread> signIns;
    for (int c = 0; c < kClients; ++c)
      signIns.emplace_back([&, c] {
        if (clients[c].Connect(instance_->CoreUrl(), user, "pulse-pw") != 0)
          reports[c].failure = "sign-in: " + clients[c].FormatFault();
      });
    for (auto& t : signIns) t.join();
  }
  for (int c = 0; c < kClients; ++c) ASSERT_EQ(reports[c].failure, "") << "client " << c;

  const auto start = std::chrono::steady_clock::now();
  const auto inPulse = [&](std::chrono::steady_clock::time_point now) {
    return (now - start) % (2 * kPulse) < kPulse;
  };
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      Report& report = reports[c];
      CVeltService& client = clients[c];
      for (auto now = std::chrono::steady_clock::now(); now - start < kDuration; now = std::chrono::steady_clock::now()) {
        if (!inPulse(now)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          continue;
        }
        if ((report.puts + report.counts) % 2 == 0) {
          const std::string text = "pulse " + std::to_string(c) + " " + std::to_string(report.puts);
          const CallOutcome put = Call(client, "PutLog", {{"log", text}});
          if (!put.ok || put.decoded != "<root><resultCode>0</resultCode></root>") {
            report.failure = "PutLog: " + put.fault + put.decoded;
            return;
          }
          ++report.puts;
        } else {
          const CallOutcome count = Call(client, "GetLogCount");
          if (!count.ok || count.decoded.find("<logcount>") == std::string::npos) {
            report.failure = "GetLogCount: " + count.fault + count.decoded;
            return;
          }
          ++report.counts;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  for (auto& client : clients) client.EndSession();

  int puts = 0, calls = 0;
  for (int c = 0; c < kClients; ++c) {
    EXPECT_EQ(reports[c].failure, "") << "client " << c;
    EXPECT_GT(reports[c].puts, 0) << "client " << c << " made no call";
    puts += reports[c].puts;
    calls += reports[c].puts + reports[c].counts;
  }
  ASSERT_TRUE(instance_->Running()) << instance_->Stderr();
  std::map<std::string, int> texts;
  for (const LogRow& row : instance_->Rows(user))
    if (row.catalog == "application" && row.description.starts_with("pulse ")) ++texts[row.description];
  EXPECT_EQ(static_cast<int>(texts.size()), puts) << "an entry is missing";
  for (const auto& [text, copies] : texts) EXPECT_EQ(copies, 1) << text;
  std::printf("[ pulses   ] %d clients, %d calls in %lld s of %lld ms pulses\n", kClients, calls,
              static_cast<long long>(kDuration.count()), static_cast<long long>(kPulse.count()));
}

INSTANTIATE_TEST_SUITE_P(Engines, PoolRoad, ::testing::Values(Database::Sqlite, Database::Postgres),
                         [](const auto& info) {
                           return info.param == Database::Sqlite ? std::string("Sqlite") : std::string("Postgres");
                         });

}  // namespace
}  // namespace quor::admin::testing
