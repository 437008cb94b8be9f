#include "testing/ServerInstance.h"
// Outages of what the server stands on: PostgreSQL down at start and stopped
// under load, slapd stopped, a full disk under the SQLite repository and the
// logs, and a statement the database refuses.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>


namespace quor::admin::testing {
namespace {

using namespace std::chrono_literals;
using collab::kAlreadyExisting;
using collab::kDatabaseMissing;

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// Sets an environment variable for the life of the object.
struct ScopedEnv {
  ScopedEnv(const char* name, const std::string& value) : name(name) {
    if (const char* old = std::getenv(name)) previous = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { previous ? ::setenv(name, previous->c_str(), 1) : ::unsetenv(name); }
  const char* name;
  std::optional<std::string> previous;
};

// scripts/pg.sh or scripts/slapd.sh on a free loopback port, in a folder of
// its own that the service's own user can reach; stopped with the object.
class PrivateService {
 public:
  explicit PrivateService(std::string_view script)
      : script_(std::string(QUOR_SOURCE_DIR) + "/scripts/" + std::string(script)) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::close(fd);
    fs::permissions(dir_.Path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  }
  ~PrivateService() { Stop(); }
  bool Start() { return Shell(script_ + " start " + Folder() + " " + std::to_string(port_)) == 0; }
  void Stop() { Shell(script_ + " stop " + Folder()); }
  std::string Folder() const { return (dir_.Path() / "service").string(); }
  std::string Port() const { return std::to_string(port_); }

 private:
  st::TempDir dir_;
  std::string script_;
  int port_ = 0;
};

bool FaultIsClear(const CallOutcome& call) {
  return !call.fault.empty() && call.fault.find("Error 0x") == std::string::npos;
}

class OutageRoad : public RoadTest {
 protected:
  // Puts `name`; remembers what the server acknowledged.
  CallOutcome Put(CVeltService& client, const std::string& name, const std::string& content = "x") {
    CallOutcome put = Call(client, "PutVOContent", {{"name", name}, {"content", content}});
    std::lock_guard lock(mutex_);
    if (put.ok) acknowledged_[name] = content;
    return put;
  }
  void ExpectAcknowledgedStored(CVeltService& client) {
    for (const auto& [name, content] : acknowledged_)
      EXPECT_EQ(Call(client, "GetVOContent", {{"name", name}}).decoded, "<root>" + content + "</root>") << name;
  }
  // Whether `client` is served (a read) within `limit`.
  static bool ServedWithin(CVeltService& client, std::chrono::seconds limit) {
    for (const auto until = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < until;) {
      if (Call(client, "GetLogCount").ok) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  std::mutex mutex_;  // guards acknowledged_
  std::map<std::string, std::string> acknowledged_;
};

// The server starts while PostgreSQL is down and serves once it is up; then
// PostgreSQL stops for 5 s (the issue saw 20 s; the pause between reopens
// reaches its cap of 4 s either way) while three clients keep writing.
TEST_F(OutageRoad, PostgresDownAtStartAndUnderLoadServesAgainWithoutARestart) {
  if (Env("QUOR_TEST_PG").empty()) GTEST_SKIP() << "no PostgreSQL";
  PrivateService pg("pg.sh");
  ASSERT_TRUE(pg.Start());
  ASSERT_EQ(Shell("PGPASSWORD=quor psql -h 127.0.0.1 -p " + pg.Port() + " -U quor -d quor -v ON_ERROR_STOP=1 -f " +
                  QUOR_SOURCE_DIR + "/sql/postgresql.sql"),
            0);
  ScopedEnv odbc("QUOR_TEST_PG", "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=" + pg.Port() +
                                     ";Database=quor;UID=quor;PWD=quor");
  pg.Stop();
  InstanceOptions options;
  options.database = Database::Postgres;
  QUOR_START_INSTANCE(options);
  std::vector<std::unique_ptr<CVeltService>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(instance_->SignIn("administrator", "pw"));
  for (auto& client : clients) ASSERT_TRUE(client);
  EXPECT_EQ(Call(*clients[0], "GetLogCount").status, kDatabaseMissing);
  ASSERT_TRUE(pg.Start());
  ASSERT_TRUE(ServedWithin(*clients[0], 10s)) << instance_->Events();

  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Put(*clients[i], "before-" + std::to_string(i)).ok);
  pg.Stop();
  std::atomic<int> down{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 3; ++i) {
    callers.emplace_back([&, i] {
      const auto until = std::chrono::steady_clock::now() + 5s;
      for (int k = 0; std::chrono::steady_clock::now() < until; ++k) {
        const CallOutcome put = Put(*clients[i], "during-" + std::to_string(i) + "-" + std::to_string(k));
        if (put.ok) continue;
        down += put.status == kDatabaseMissing;
        EXPECT_TRUE(FaultIsClear(put)) << put.fault;
        std::this_thread::sleep_for(50ms);
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_GT(down.load(), 0) << "calls while down answer that the repository is not there";
  EXPECT_NE(instance_->Events().find("cannot be reached"), std::string::npos) << instance_->Events();

  ASSERT_TRUE(pg.Start());
  EXPECT_TRUE(ServedWithin(*clients[1], 10s)) << instance_->Events();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Put(*clients[i], "after-" + std::to_string(i)).decoded, kResultOk);
  ExpectAcknowledgedStored(*clients[2]);
  EXPECT_NE(instance_->Events().find("is open again"), std::string::npos);
}

TEST_F(OutageRoad, SlapdStoppedRefusesSignInsClearlyAndServesAgainByItself) {
  if (Env("QUOR_TEST_LDAP_URL").empty()) GTEST_SKIP() << "no slapd";
  PrivateService slapd("slapd.sh");
  ASSERT_TRUE(slapd.Start());
  ScopedEnv url("QUOR_TEST_LDAP_URL", "ldap://127.0.0.1:" + slapd.Port());
  InstanceOptions options;
  options.directory = Directory::Ldap;
  QUOR_START_INSTANCE(options);
  ASSERT_TRUE(instance_->SignIn("alice", "alice-pw-1"));

  slapd.Stop();
  CVeltService refused;
  EXPECT_NE(refused.Connect(instance_->CoreUrl(), "alice", "alice-pw-1"), 0);
  const std::string events = instance_->Events();
  EXPECT_NE(events.find("The directory answered 0x8007203A"), std::string::npos) << events;
  EXPECT_EQ(events.find("alice-pw-1"), std::string::npos) << "no password in the event log";

  ASSERT_TRUE(slapd.Start());
  bool signedIn = false;
  for (const auto until = std::chrono::steady_clock::now() + 10s; !signedIn && std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(200ms))
    signedIn = CVeltService().Connect(instance_->CoreUrl(), "alice", "alice-pw-1") == 0;
  EXPECT_TRUE(signedIn) << instance_->Events();
}

// The SQLite repository and the logs on a small tmpfs, filled to a few
// hundred kilobytes short of full, so that writes fail part way through.
TEST_F(OutageRoad, FullDiskKeepsWhatIsStoredAndWritesAnswerTruthfullyOnceSpaceReturns) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  st::TempDir disk;
  if (::mount("tmpfs", disk.Path().c_str(), "tmpfs", 0, "size=6m") != 0)
    GTEST_SKIP() << "no tmpfs here: " << std::strerror(errno);
  struct Unmount {
    const fs::path& path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk.Path()};
  {
    ScopedEnv tmp("TMPDIR", disk.Path().string());
    QUOR_START_INSTANCE(InstanceOptions{});
  }
  std::vector<std::unique_ptr<CVeltService>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(instance_->SignIn("administrator", "pw"));
  for (auto& client : clients) ASSERT_TRUE(client);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Put(*clients[i], "kept-" + std::to_string(i)).ok);

  const fs::path filler = disk.Path() / "filler";
  for (std::ofstream out(filler, std::ios::binary); out.write(std::string(64 << 10, 'x').data(), 64 << 10).flush();) {
  }
  fs::resize_file(filler, fs::file_size(filler) - (600 << 10));
  // New rows, and changes with their unlock in one transaction.
  std::atomic<int> failed{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 3; ++c) {
    callers.emplace_back([&, c] {
      const std::string big(256 << 10, 'f'), own = "kept-" + std::to_string(c);
      for (int i = 0; i < 4; ++i) {
        const std::string name = "full-" + std::to_string(c) + "-" + std::to_string(i);
        for (const CallOutcome& call : {Put(*clients[c], name, big),
                                        Call(*clients[c], "UpdateVOContentwithUnlock", {{"name", own}, {"content", name}})}) {
          failed += !call.ok;
          EXPECT_TRUE(call.ok || FaultIsClear(call)) << call.fault;
        }
      }
      std::lock_guard lock(mutex_);
      acknowledged_.erase(own);  // whichever change came last
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_GT(failed.load(), 0) << "a full disk refuses writes";

  fs::remove(filler);
  for (int i = 0; i < 9; ++i) {
    const CallOutcome put = Put(*clients[i % 3], "later-" + std::to_string(i));
    EXPECT_NE(put.status, kAlreadyExisting) << put.fault;
    EXPECT_EQ(put.decoded, kResultOk) << put.fault;
  }
  ExpectAcknowledgedStored(*clients[0]);

  const std::string odbc = instance_->Odbc();
  ASSERT_EQ(instance_->Stop(), 0) << instance_->Stderr();
  core::CSqlServerDBConnect db;
  ASSERT_EQ(db.Open("MSDASQL.1", {}, {}, {}, {}, com::Bstr::FromUtf8(odbc)).code(), 0);
  core::CommandHolder command;
  core::RecordsetHolder rows;
  const Status checked = db.ExecuteQuery(command, rows, "PRAGMA integrity_check");
  ASSERT_EQ(checked.code(), 0) << checked.message();
  EXPECT_EQ(db.GetFieldString(rows, "integrity_check").code(), 0);
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
    ASSERT_EQ(db.Open("MSDASQL.1", {}, {}, {}, {}, com::Bstr::FromUtf8(instance_->Odbc())).code(), 0);
    ASSERT_EQ(db.ExecuteNonQuery("CREATE TRIGGER refuse BEFORE INSERT ON QUORVESK WHEN NEW.NAME = 'refused' "
                                 "BEGIN SELECT RAISE(ABORT, 'rows named refused are not taken'); END").code(),
              0);
  }
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  const CallOutcome put = Put(*client, "refused");
  EXPECT_FALSE(put.ok);
  EXPECT_NE(put.fault.find("rows named refused are not taken"), std::string::npos) << put.fault;
  EXPECT_NE(instance_->Events().find("rows named refused are not taken"), std::string::npos) << instance_->Events();
  EXPECT_EQ(Call(*client, "GetVOContent", {{"name", "refused"}}).decoded, "<root/>") << "nothing is stored";
}

}  // namespace
}  // namespace quor::admin::testing
