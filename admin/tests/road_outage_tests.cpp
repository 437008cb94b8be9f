// Outages of what the server stands on: PostgreSQL stopped under load and
// started again, the server started while it is down, slapd stopped and
// started again, a full disk under the SQLite repository and the logs, and a
// failing statement's own text in the fault and the event log.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "admin/tests/ServerInstance.h"

namespace quor::admin::testing {
namespace {

using namespace std::chrono_literals;
using collab::kAlreadyExisting;
using collab::kDatabaseMissing;

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::string Script(std::string_view name) { return std::string(QUOR_SOURCE_DIR) + "/scripts/" + std::string(name); }

// A loopback port nothing listens on now.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A service of the test's own (scripts/pg.sh or scripts/slapd.sh) in a folder
// of its own, stopped and removed with the object.
class PrivateService {
 public:
  explicit PrivateService(std::string_view script) : script_(Script(script)), port_(FreePort()) {
    // The services run as their own users, who must reach the folder.
    fs::permissions(dir_.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
  }
  ~PrivateService() {
    Stop();
    std::error_code ec;
    fs::remove_all(dir_.Path(), ec);
  }
  bool Start() { return Shell(script_ + " start " + Folder() + " " + std::to_string(port_)) == 0; }
  void Stop() { Shell(script_ + " stop " + Folder()); }
  std::string Folder() const { return (dir_.Path() / "service").string(); }
  int Port() const { return port_; }

 private:
  st::TempDir dir_;
  std::string script_;
  int port_;
};

bool FaultIsClear(const CallOutcome& call) {
  return !call.fault.empty() && call.fault.find("Error 0x") == std::string::npos;
}

class OutageRoad : public RoadTest {
 protected:
  // Puts `name` and, when the server says it is stored, remembers it.
  CallOutcome Put(CVeltService& client, const std::string& name) {
    const std::string content = "content of " + name;
    CallOutcome put = Call(client, "PutVOContent", {{"name", name}, {"content", content}});
    if (put.ok) {
      std::lock_guard lock(mutex_);
      acknowledged_[name] = content;
    }
    return put;
  }
  // Every put the server acknowledged is there as it was written.
  void ExpectAcknowledgedStored(CVeltService& client) {
    for (const auto& [name, content] : acknowledged_) {
      const CallOutcome got = Call(client, "GetVOContent", {{"name", name}});
      EXPECT_TRUE(got.ok) << name << ": " << got.fault;
      EXPECT_EQ(got.decoded, "<root>" + XmlText(content) + "</root>") << name;
    }
  }
  // How long until `client` is served again (a read), at most `limit`.
  std::chrono::milliseconds UntilServed(CVeltService& client, std::chrono::seconds limit) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < limit) {
      if (Call(client, "GetLogCount").ok) break;
      std::this_thread::sleep_for(100ms);
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  }

  std::mutex mutex_;  // guards acknowledged_
  std::map<std::string, std::string> acknowledged_;
};

std::unique_ptr<PrivateService> StartCluster() {
  if (Env("QUOR_TEST_PG").empty()) return nullptr;
  auto pg = std::make_unique<PrivateService>("pg.sh");
  if (!pg->Start()) {
    ADD_FAILURE() << "scripts/pg.sh could not start a cluster";
    return nullptr;
  }
  const int loaded = Shell("PGPASSWORD=quor psql -h 127.0.0.1 -p " + std::to_string(pg->Port()) +
                           " -U quor -d quor -q -v ON_ERROR_STOP=1 -f " + QUOR_SOURCE_DIR + "/sql/postgresql.sql");
  EXPECT_EQ(loaded, 0) << "sql/postgresql.sql";
  return loaded == 0 ? std::move(pg) : nullptr;
}

std::string ClusterOdbc(const PrivateService& pg) {
  return "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(pg.Port()) +
         ";Database=quor;UID=quor;PWD=quor";
}

// PostgreSQL stopped for a few seconds (5 s: the behaviour is the same as for
// the 20 s first seen, the pause between reopens reaching its cap of 4 s)
// while three clients keep calling.
TEST_F(OutageRoad, PostgresStoppedUnderLoadServesAgainWithoutARestart) {
  auto pg = StartCluster();
  if (!pg) GTEST_SKIP() << "no PostgreSQL for a private cluster";
  ScopedEnv odbc("QUOR_TEST_PG", ClusterOdbc(*pg));
  InstanceOptions options;
  options.database = Database::Postgres;
  QUOR_START_INSTANCE(options);

  std::vector<std::unique_ptr<CVeltService>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(instance_->SignIn("administrator", "pw"));
  for (auto& client : clients) ASSERT_TRUE(client);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Put(*clients[i], "before-" + std::to_string(i)).ok);

  pg->Stop();
  std::atomic<int> down{0}, unclear{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 3; ++i) {
    callers.emplace_back([&, i] {
      const auto until = std::chrono::steady_clock::now() + 5s;
      for (int k = 0; std::chrono::steady_clock::now() < until; ++k) {
        const CallOutcome put = Put(*clients[i], "during-" + std::to_string(i) + "-" + std::to_string(k));
        if (put.ok) continue;
        if (put.status == kDatabaseMissing) ++down;
        if (!FaultIsClear(put)) {
          ++unclear;
          ADD_FAILURE() << put.fault;
        }
        std::this_thread::sleep_for(50ms);
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_GT(down.load(), 0) << "calls while down answer that the repository is not there";
  EXPECT_EQ(unclear.load(), 0);
  const std::string events = instance_->Events();
  EXPECT_NE(events.find("cannot be reached"), std::string::npos) << events;

  ASSERT_TRUE(pg->Start());
  EXPECT_LT(UntilServed(*clients[0], 20s), 10s) << instance_->Events();
  for (int i = 0; i < 3; ++i) {
    const CallOutcome put = Put(*clients[i], "after-" + std::to_string(i));
    EXPECT_TRUE(put.ok) << put.fault;
    EXPECT_EQ(put.decoded, kResultOk);
  }
  ExpectAcknowledgedStored(*clients[1]);
  EXPECT_NE(instance_->Events().find("is open again"), std::string::npos);
}

TEST_F(OutageRoad, ServerStartedWhilePostgresIsDownServesOnceItIsUp) {
  auto pg = StartCluster();
  if (!pg) GTEST_SKIP() << "no PostgreSQL for a private cluster";
  ScopedEnv odbc("QUOR_TEST_PG", ClusterOdbc(*pg));
  pg->Stop();
  InstanceOptions options;
  options.database = Database::Postgres;
  QUOR_START_INSTANCE(options);
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  const CallOutcome refused = Call(*client, "GetLogCount");
  EXPECT_EQ(refused.status, kDatabaseMissing) << refused.fault;

  ASSERT_TRUE(pg->Start());
  EXPECT_LT(UntilServed(*client, 20s), 10s) << instance_->Events();
  const CallOutcome put = Put(*client, "first");
  EXPECT_EQ(put.decoded, kResultOk) << put.fault;
  ExpectAcknowledgedStored(*client);
}

// slapd stopped and started again on the same port.
TEST_F(OutageRoad, SlapdStoppedRefusesSignInsClearlyAndServesAgainByItself) {
  if (Env("QUOR_TEST_LDAP_URL").empty()) GTEST_SKIP() << "no slapd";
  PrivateService slapd("slapd.sh");
  ASSERT_TRUE(slapd.Start());
  ScopedEnv url("QUOR_TEST_LDAP_URL", "ldap://127.0.0.1:" + std::to_string(slapd.Port()));
  InstanceOptions options;
  options.directory = Directory::Ldap;
  QUOR_START_INSTANCE(options);
  ASSERT_TRUE(instance_->SignIn("alice", "alice-pw-1"));

  slapd.Stop();
  CVeltService refused;
  EXPECT_NE(refused.Connect(instance_->CoreUrl(), "alice", "alice-pw-1"), 0);
  EXPECT_NE(refused.FormatFault().find("[0x"), std::string::npos) << refused.FormatFault();
  const std::string events = instance_->Events();
  EXPECT_NE(events.find("The directory answered"), std::string::npos) << events;
  EXPECT_EQ(events.find("alice-pw-1"), std::string::npos) << "no password in the event log";

  ASSERT_TRUE(slapd.Start());
  bool signedIn = false;
  const auto start = std::chrono::steady_clock::now();
  while (!signedIn && std::chrono::steady_clock::now() - start < 10s) {
    CVeltService again;
    signedIn = again.Connect(instance_->CoreUrl(), "alice", "alice-pw-1") == 0;
    if (!signedIn) std::this_thread::sleep_for(200ms);
  }
  EXPECT_TRUE(signedIn) << instance_->Events();
}

// The SQLite repository and the logs on a small tmpfs that fills up.
TEST_F(OutageRoad, FullDiskKeepsWhatIsStoredAndWritesAnswerTruthfullyOnceSpaceReturns) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  st::TempDir mountPoint;
  if (::mount("tmpfs", mountPoint.Path().c_str(), "tmpfs", 0, "size=6m") != 0)
    GTEST_SKIP() << "tmpfs cannot be mounted here: " << std::strerror(errno);
  struct Unmount {
    const fs::path& path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mountPoint.Path()};
  {
    ScopedEnv tmp("TMPDIR", mountPoint.Path().string());
    QUOR_START_INSTANCE(InstanceOptions{});
  }
  std::vector<std::unique_ptr<CVeltService>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(instance_->SignIn("administrator", "pw"));
  for (auto& client : clients) ASSERT_TRUE(client);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Put(*clients[i], "kept-" + std::to_string(i)).ok);

  const fs::path filler = mountPoint.Path() / "filler";
  {
    std::ofstream out(filler, std::ios::binary);
    const std::string block(64 * 1024, 'x');
    while (out.write(block.data(), block.size()) && out.flush()) {
    }
  }
  // Some room left: writes fail part way through, not before they begin.
  fs::resize_file(filler, fs::file_size(filler) - 600 * 1024);
  // New rows, and changes with their unlock in one transaction, from three
  // clients at once.
  std::atomic<int> failed{0}, unclear{0};
  const std::string big(256 * 1024, 'f');
  std::vector<std::thread> callers;
  for (int c = 0; c < 3; ++c) {
    callers.emplace_back([&, c] {
      CVeltService& client = *clients[c];
      const std::string own = "kept-" + std::to_string(c);
      for (int i = 0; i < 4; ++i) {
        const std::string name = "full-" + std::to_string(c) + "-" + std::to_string(i);
        for (const CallOutcome& call :
             {Call(client, "PutVOContent", {{"name", name}, {"content", big}}),
              Call(client, "UpdateVOContentwithUnlock", {{"name", own}, {"content", big + name}})}) {
          if (call.ok) continue;
          ++failed;
          if (!FaultIsClear(call)) ++unclear;
        }
        // Whatever the answers said, what is there must stay readable.
        const CallOutcome got = Call(client, "GetVOContent", {{"name", name}});
        std::lock_guard lock(mutex_);
        if (got.ok && got.decoded != "<root/>") acknowledged_[name] = big;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_GT(failed.load(), 0) << "a full disk refuses writes";
  EXPECT_EQ(unclear.load(), 0) << "every refusal says why";
  for (int c = 0; c < 3; ++c) acknowledged_.erase("kept-" + std::to_string(c));  // whichever change landed last

  fs::remove(filler);
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < 3; ++i) {
      const CallOutcome put = Put(*clients[c], "later-" + std::to_string(c) + "-" + std::to_string(i));
      EXPECT_NE(put.status, kAlreadyExisting) << put.fault;
      EXPECT_EQ(put.decoded, kResultOk) << put.fault;
    }
  }
  ExpectAcknowledgedStored(*clients[0]);

  const std::string odbc = instance_->Odbc();
  ASSERT_EQ(instance_->Stop(), 0) << instance_->Stderr();
  core::CSqlServerDBConnect db;
  ASSERT_EQ(db.Open("MSDASQL.1", {}, {}, {}, {}, com::Bstr::FromUtf8(odbc)), 0);
  core::CommandHolder command;
  core::RecordsetHolder rows;
  ASSERT_EQ(db.ExecuteQuery(command, rows, "PRAGMA integrity_check"), 0) << db.LastErrorText().ToUtf8();
  ASSERT_EQ(db.GetFieldString(rows, "integrity_check"), 0);
  EXPECT_EQ(db.LastFieldValue().ToUtf8(), "ok");
  db.ReleaseQuery(command, rows);
  instance_.reset();
}

// A statement the database refuses: its own words reach the fault and the
// event log, where the status alone has no text.
TEST_F(OutageRoad, AFailingStatementsTextReachesTheFaultAndTheEventLog) {
  QUOR_START_INSTANCE(InstanceOptions{});
  {
    core::CSqlServerDBConnect db;
    ASSERT_EQ(db.Open("MSDASQL.1", {}, {}, {}, {}, com::Bstr::FromUtf8(instance_->Odbc())), 0);
    ASSERT_EQ(db.ExecuteNonQuery("CREATE TRIGGER refuse BEFORE INSERT ON QUORVESK WHEN NEW.NAME = 'refused' "
                                 "BEGIN SELECT RAISE(ABORT, 'rows named refused are not taken'); END"),
              0)
        << db.LastErrorText().ToUtf8();
  }
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  const CallOutcome put = Call(*client, "PutVOContent", {{"name", "refused"}, {"content", "x"}});
  EXPECT_FALSE(put.ok);
  EXPECT_NE(put.fault.find("rows named refused are not taken"), std::string::npos) << put.fault;
  const std::string events = instance_->Events();
  EXPECT_NE(events.find("rows named refused are not taken"), std::string::npos) << events;
  EXPECT_EQ(Call(*client, "GetVOContent", {{"name", "refused"}}).decoded, "<root/>") << "nothing is stored";
}

}  // namespace
}  // namespace quor::admin::testing
