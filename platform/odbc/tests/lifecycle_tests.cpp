// Connections opened and closed by many threads at once, as the repository
// pool does when a burst of calls ends. The SQLite driver keeps every
// connection of the environment in one unlocked list: without the wrapper's
// serialising, these tests crash or hang within seconds.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/odbc/odbc.h"
#include "testing/Loopback.h"
#include "testing/TempDir.h"

namespace quor::odbc {
namespace {

std::string PgOdbc() {
  const char* env = std::getenv("QUOR_TEST_PG");
  return env ? env : "";
}

struct Engine {
  std::string name;
};

void PrintTo(const Engine& engine, std::ostream* out) { *out << engine.name; }

class ConnectionLifecycle : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    if (GetParam().name == "sqlite") {
      connectionString_ = "DRIVER={SQLite3};Database=" + dir_.File("lifecycle.db");
      return;
    }
    connectionString_ = PgOdbc();
    if (connectionString_.empty()) {
      if (std::getenv("CI")) FAIL() << "QUOR_TEST_PG is not set: the test command must start PostgreSQL";
      GTEST_SKIP() << "QUOR_TEST_PG not set";
    }
  }

  // A hang inside the driver cannot be joined: past the deadline the process
  // ends with the reason.
  static void Watch(const std::atomic<bool>& done, std::chrono::seconds limit, const char* what) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done.load()) {
      if (std::chrono::steady_clock::now() > end) {
        std::fprintf(stderr, "%s did not finish within %lld s: a thread is stuck in the driver\n", what,
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::_Exit(3);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  test::TempDir dir_{"quor-odbc-life"};
  std::string connectionString_;
};

// Every round: 32 threads open, meet, close together, and reuse the freed
// memory at once (so a connection left linked after its free is followed
// into garbage, not into a stale copy); other threads keep opening and
// closing meanwhile.
TEST_P(ConnectionLifecycle, ManyThreadsOpenAndCloseTogether) {
  constexpr int kThreads = 32;
  // Rounds go on for this long (without the serialising, a few seconds
  // suffice to break the SQLite driver's list).
  const auto kFor = std::chrono::seconds(GetParam().name == "sqlite" ? 15 : 5);
  const auto until = std::chrono::steady_clock::now() + kFor;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::string firstFailure;
  std::atomic<bool> recorded{false};
  auto note = [&](const Status& status) {
    ++failures;
    if (!recorded.exchange(true)) firstFailure = status.message();
  };
  std::thread watchdog([&] { Watch(done, std::chrono::seconds(60), "the open-and-close rounds"); });

  bool more = true;  // written by the barrier's completion, read after it
  std::barrier meet(kThreads, [&]() noexcept { more = std::chrono::steady_clock::now() < until; });
  std::atomic<bool> churning{true};
  std::vector<std::thread> churn;
  for (int i = 0; i < 2; ++i) {
    churn.emplace_back([&] {
      while (churning.load()) {
        Connection c;
        if (Status opened = c.Open(connectionString_, 5); !opened.ok()) note(opened);
      }
    });
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      while (more) {
        auto c = std::make_unique<Connection>();
        if (Status opened = c->Open(connectionString_, 5); !opened.ok()) note(opened);
        meet.arrive_and_wait();
        c.reset();
        std::vector<std::unique_ptr<char[]>> filler;
        for (int i = 0; i < 4; ++i) {
          filler.push_back(std::make_unique<char[]>(0x4e0));
          std::memset(filler.back().get(), 'A', 0x4e0);
        }
        meet.arrive_and_wait();
      }
    });
  }
  for (auto& t : threads) t.join();
  churning = false;
  for (auto& t : churn) t.join();
  done = true;
  watchdog.join();
  EXPECT_EQ(failures.load(), 0) << firstFailure;

  // The environment is still sound: a connection opens and answers.
  auto c = std::make_shared<Connection>();
  ASSERT_TRUE(c->Open(connectionString_, 5).ok());
  Statement s(c);
  ASSERT_TRUE(s.Execute("SELECT 1").ok());
  auto row = s.Fetch();
  ASSERT_TRUE(row.ok() && *row);
}

// A connect that fails frees its handle too; it races the others' opens and
// closes like any free.
TEST_P(ConnectionLifecycle, FailedConnectsRaceClosesSafely) {
  if (GetParam().name != "sqlite") GTEST_SKIP() << "a refused SQLite open is the case of interest";
  constexpr int kThreads = 16;
  std::atomic<bool> done{false};
  std::thread watchdog([&] { Watch(done, std::chrono::seconds(60), "the failed connects"); });
  const std::string unopenable = "DRIVER={SQLite3};Database=" + dir_.File("missing/folder/x.db") + ";NoCreat=1";
  std::barrier meet(kThreads);
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 30; ++round) {
        Connection c;
        const bool refused = t % 2 == 0;
        const Status opened = c.Open(refused ? unopenable : connectionString_, 5);
        if (opened.ok() == refused) ++unexpected;
        meet.arrive_and_wait();
      }
    });
  }
  for (auto& t : threads) t.join();
  done = true;
  watchdog.join();
  EXPECT_EQ(unexpected.load(), 0);
}

// Connects run one at a time, and one to a server that never answers takes
// its whole login time-out; a connection closed meanwhile must not wait for
// it (its free is left to the connecting thread).
TEST(ConnectionClose, DoesNotWaitForASlowConnect) {
  test::SilentListener listener;
  ASSERT_NE(listener.Port(), 0);
  const std::string silent = "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(listener.Port()) +
                             ";Database=quor;UID=quor;PWD=quor";

  test::TempDir dir("quor-odbc-close");
  auto local = std::make_unique<Connection>();
  ASSERT_TRUE(local->Open("DRIVER={SQLite3};Database=" + dir.File("close.db"), 5).ok());

  std::atomic<bool> connecting{false};
  Status slow;
  std::chrono::steady_clock::duration slowTook{};
  std::thread connector([&] {
    Connection c;
    connecting = true;
    const auto start = std::chrono::steady_clock::now();
    slow = c.Open(silent, 3);
    slowTook = std::chrono::steady_clock::now() - start;
  });
  while (!connecting) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  local.reset();
  const auto closeTook = std::chrono::steady_clock::now() - start;
  connector.join();

  EXPECT_FALSE(slow.ok()) << "a server that never answers was connected to";
  EXPECT_GE(slowTook, std::chrono::milliseconds(2500)) << "the connect did not wait for its time-out";
  EXPECT_LT(closeTook, std::chrono::milliseconds(500)) << "the close waited for the other thread's connect";
}

INSTANTIATE_TEST_SUITE_P(Engines, ConnectionLifecycle, ::testing::Values(Engine{"sqlite"}, Engine{"postgres"}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quor::odbc

namespace quor::odbc {
namespace {

// A connection used by a thread other than the one that holds it stops the
// process at once, naming both threads; handed on with Give, it is the next
// thread's to use.
TEST(HandleOwnership, AForeignThreadsCallAbortsAndAGivenHandleMovesOn) {
  if (!HandleChecksEnabled()) GTEST_SKIP() << "handle ownership is checked in debug and sanitizer builds only";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  test::TempDir dir("quor-odbc-owner");
  const std::string connectionString = "DRIVER={SQLite3};Database=" + dir.File("owner.db");
  auto connection = std::make_shared<Connection>();
  ASSERT_TRUE(connection->Open(connectionString, 5).ok());

  EXPECT_DEATH(
      {
        std::thread foreign([&] {
          Statement s(connection);
          s.Execute("SELECT 1").Ignore();
        });
        foreign.join();
      },
      "database handle misuse: Statement::Statement on thread [0-9]+, but thread [0-9]+ holds the handle"
      "(.|\n)*took the handle here");

  connection->Owner().Give();
  bool ran = false;
  std::thread next([&] {
    connection->Owner().Take("the next lease");
    Statement s(connection);
    ran = s.Execute("SELECT 1").ok();
    connection->Owner().Give();
  });
  next.join();
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace quor::odbc
