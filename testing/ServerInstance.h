// A whole temporary Quor service for the end-to-end tests: an instance folder
// made by the one instance builder (testing/Instance.h) with a registry file,
// a home folder (config/, unifier/, transform/), the repository (a fresh
// SQLite file, or the PostgreSQL database of the test run), a directory (a
// local account store, or the test run's slapd), the components registered
// with the real quor-regsvr, and quor-server on a free loopback port. The
// test process's QUOR_REGISTRY points at the instance's registry while it
// lives, since the console's client reads its RowCount and keeps its key
// container there; the earlier value comes back at the end.
//
// On PostgreSQL the tables are shared with other tests: rows are told apart by
// their user (UniqueName), and the rows of those users are removed at the end.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "admin/VeltService.h"
#include "core/store/DBConnect.h"
#include "platform/registry/registry.h"
#include "platform/soap/dispatcher.h"
#include "platform/soap/envelope.h"
#include "platform/xml/escape.h"
#include "testing/Instance.h"
#include "testing/ServerProcess.h"
#include "platform/xml/dom.h"

namespace quor::admin::testing {

namespace fs = std::filesystem;
namespace st = soap::testing;

inline std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// A user name no other test process uses (for the shared PostgreSQL tables).
inline std::string UniqueName(std::string_view base) {
  static std::atomic<int> counter{0};
  return std::string(base) + "-e2e" + std::to_string(::getpid()) + "x" + std::to_string(++counter);
}

enum class Database {
  Sqlite,
  Postgres,
  SqliteUnopenable,  // a file in a folder that does not exist
  PostgresNoServer,  // the test run's cluster, at a port where nothing listens
};

inline void PrintTo(Database database, std::ostream* out) {
  constexpr const char* names[] = {"Sqlite", "Postgres", "SqliteUnopenable", "PostgresNoServer"};
  *out << names[static_cast<int>(database)];
}

enum class Directory { Accounts, Ldap };

struct Account {
  std::string name, password;
};

struct InstanceOptions {
  Database database = Database::Sqlite;
  Directory directory = Directory::Accounts;
  std::string logLevel = "Debug";  // None, Normal, Debug, Detail
  uint32_t compressThreshold = 0;
  // More REG_DWORD values of the service key (e.g. {"AnswerMemoryMB", 4}).
  std::vector<std::pair<std::string, uint32_t>> serviceDwords;
  std::string adminUsers;      // AdminUsers (comma-separated), when not empty
  std::string adminGroupName;  // AdminGroupName, when not empty
  std::string resourceUrl;     // ResourceURL, when not empty
  std::string resourceDir;     // ResourceDir, when not empty
  // The local account store's users and (group, member) pairs.
  std::vector<Account> accounts{{"administrator", "pw"}};
  std::vector<std::pair<std::string, std::string>> members;
  // Files written below the home folder before the server starts (a path
  // such as "config/sales.xml", and its text).
  std::vector<std::pair<std::string, std::string>> homeFiles;
  // More quor-server arguments; with "--tls-cert" the URLs are https.
  std::vector<std::string> serverArgs;
};

// One row of QUORLOG, as the database holds it.
struct LogRow {
  long id = 0;
  std::string catalog, user, description, contentLength, op, target, result, timestamp;
};

// One row of QUORCOLLAB, as the database holds it (NULL read as "").
struct CollabRow {
  std::string author, name, fieldLength, field, uri, owner, message, created, updated, lock, accessLevel, acl;
  bool operator==(const CollabRow&) const = default;
};

// The outcome of one call through the console's client.
struct CallOutcome {
  bool ok = false;
  std::string decoded;  // the decoded result (success)
  HRESULT status = S_OK;  // the fault's status (failure), 0 when there was no fault answer
  std::string fault;      // FormatFault()
};

// BeginRequest, the parameters in order, Invoke; the fault's status read from
// the answer itself.
inline CallOutcome Call(CVeltService& client, std::string_view method,
                        std::initializer_list<std::pair<std::string_view, std::string_view>> params = {}) {
  CallOutcome out;
  if (client.BeginRequest(method) != 0) {
    out.fault = "BeginRequest refused";
    return out;
  }
  for (const auto& [name, value] : params) client.AddParameter(name, value);
  out.ok = client.Invoke();
  if (out.ok) {
    out.decoded = client.DecodedResult();
    return out;
  }
  out.fault = client.FormatFault();
  if (const Result<soap::Answer> answer = soap::ParseAnswer(client.LastAnswer()); answer.ok() && answer->isFault)
    out.status = answer->fault.status;
  return out;
}

// The elements of a log answer's "log" records, each as element name -> text;
// nullopt when the answer is no XML.
inline std::optional<std::vector<std::map<std::string, std::string>>> LogRecords(std::string_view answer) {
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(answer) || !doc->documentElement()) return std::nullopt;
  std::vector<std::map<std::string, std::string>> records;
  for (const xml::NodePtr& log : doc->documentElement()->childNodes()) {
    std::map<std::string, std::string> fields;
    for (const xml::NodePtr& field : log->childNodes()) fields[field->nodeName()] = field->text();
    records.push_back(std::move(fields));
  }
  return records;
}

// The texts of the root element's children (an id list's "logID" elements).
inline std::vector<std::string> ChildTexts(std::string_view answer) {
  std::vector<std::string> texts;
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(answer) || !doc->documentElement()) return {"(not XML: " + std::string(answer) + ")"};
  for (const xml::NodePtr& child : doc->documentElement()->childNodes()) texts.push_back(child->text());
  return texts;
}

// The outputs of the last answer as received (before any decoding).
inline std::vector<soap::NamedValue> RawOutputs(const CVeltService& client) {
  Result<soap::Answer> answer = soap::ParseAnswer(client.LastAnswer());
  if (!answer.ok() || answer->isFault) return {};
  return std::move(answer->outputs);
}

// The description of the last answer's fault, as the service wrote it.
inline std::string FaultDescription(const CVeltService& client) {
  Result<soap::Answer> answer = soap::ParseAnswer(client.LastAnswer());
  if (!answer.ok() || !answer->isFault) return {};
  return std::move(answer->fault.description);
}

// Runs a program with `input` on its standard input; its exit status and output.
inline st::RunResult RunWithInput(const std::string& program, const std::vector<std::string>& args,
                                  const std::vector<std::string>& env, const fs::path& scratch,
                                  std::string_view input) {
  st::RunResult r;
  const fs::path in = scratch / "run.in", out = scratch / "run.out";
  std::ofstream(in, std::ios::binary) << input;
  std::vector<std::string> owned{program};
  owned.insert(owned.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envCopy = env;
  std::vector<char*> envp;
  for (auto& e : envCopy) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return r;
  r.status = st::WaitFor(pid, std::chrono::seconds(30));
  r.output = st::ReadFile(out);
  fs::remove(in);
  return r;
}

class ServerInstance {
 public:
  ServerInstance() {
    if (const char* previous = std::getenv("QUOR_REGISTRY")) previousRegistry_ = previous;
  }
  ~ServerInstance() {
    Stop();
    RemoveTaggedRows();
    if (previousRegistry_)
      ::setenv("QUOR_REGISTRY", previousRegistry_->c_str(), 1);
    else
      ::unsetenv("QUOR_REGISTRY");
  }
  ServerInstance(const ServerInstance&) = delete;
  ServerInstance& operator=(const ServerInstance&) = delete;

  // Builds the instance and starts the server. Fails the test (or skips it,
  // when the test run's PostgreSQL or slapd is not there outside CI) through
  // gtest: callers check HasFatalFailure() / IsSkipped().
  void Start(const InstanceOptions& options) {
    options_ = options;
    ASSERT_FALSE(dir_.Path().empty()) << "no temporary folder";
    registry_ = dir_.Path() / "registry.reg";
    events_ = dir_.Path() / "events.log";
    home_ = dir_.Path() / "home";
    env_ = st::Environment({"QUOR_REGISTRY=" + registry_.string(), "QUOR_EVENTLOG=" + events_.string()});
    ::setenv("QUOR_REGISTRY", registry_.c_str(), 1);

    instance::Options build;
    ASSERT_NO_FATAL_FAILURE(ChooseDatabase(build));
    if (::testing::Test::IsSkipped()) return;
    ASSERT_NO_FATAL_FAILURE(ChooseDirectory(build));
    if (::testing::Test::IsSkipped()) return;
    build.dir = dir_.Path();
    build.registry = registry_;
    build.eventLog = events_;
    build.logLevel = options_.logLevel;
    build.compressThreshold = options_.compressThreshold;
    build.serviceDwords = options_.serviceDwords;
    build.adminUsers = options_.adminUsers;
    build.adminGroupName = options_.adminGroupName;
    build.resourceUrl = options_.resourceUrl;
    build.resourceDir = options_.resourceDir;
    build.homeFiles = options_.homeFiles;
    build.regsvr = Bin("quor-regsvr");
    for (const char* library :
         {"libQuorServiceCore.so", "libQuorAuth.so", "libQuorAccessor.so", "libFlatConvert.so", "libGridPage.so"})
      build.components.push_back(fs::path(QUOR_LIB_DIR) / library);
    const Result<instance::Built> built = instance::Build(build);
    ASSERT_TRUE(built.ok()) << built.status().Text();
    ASSERT_NO_FATAL_FAILURE(StartServer());
  }

  // SIGTERM and wait: the exit status (0 for a clean stop; a sanitizer's
  // report at exit makes it fail), -1 when it had to be killed.
  int Stop() { return server_.Stop(SIGTERM, std::chrono::seconds(20)); }
  // Whether the server is up; a server that ended keeps its exit status for Stop.
  bool Running() { return server_.Running(); }
  // Whether the server was started at all (the instance was not skipped).
  bool Started() const { return server_.Port() != 0; }
  int Port() const { return server_.Port(); }
  pid_t Pid() const { return server_.Pid(); }
  // Kills the server at once (SIGKILL), as a crash would, and waits for it.
  void Kill() { server_.Stop(SIGKILL, std::chrono::seconds(10)); }
  // Starts a server that was stopped or killed again on the same instance.
  void Relaunch() { ASSERT_NO_FATAL_FAILURE(StartServer()); }
  // Stops the server and starts it again on the same instance (a new port).
  void Restart() {
    const int status = Stop();
    ASSERT_EQ(status, 0) << "quor-server did not stop cleanly:\n" << Stderr();
    ASSERT_NO_FATAL_FAILURE(StartServer());
  }

  std::string Url(std::string_view path) const {
    const auto& args = options_.serverArgs;
    const bool tls = std::find(args.begin(), args.end(), "--tls-cert") != args.end();
    return (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(server_.Port()) + std::string(path);
  }
  std::string CoreUrl() const { return Url(soap::kCorePath); }
  std::string AdminUrl() const { return Url(soap::kAdminPath); }

  const fs::path& Dir() const { return dir_.Path(); }
  const fs::path& Home() const { return home_; }
  const fs::path& RegistryFile() const { return registry_; }
  const InstanceOptions& Options() const { return options_; }
  std::string Events() const { return st::ReadFile(events_); }
  std::string Stderr() const { return st::ReadFile(dir_.Path() / "server.err"); }
  bool IsPostgres() const {
    return options_.database == Database::Postgres || options_.database == Database::PostgresNoServer;
  }

  // The repository's ODBC connection string, as the server uses it.
  const std::string& Odbc() const { return odbc_; }

  // The rows of QUORLOG in LOGID order; only those of `user` when given.
  std::vector<LogRow> Rows(std::optional<std::string_view> user = std::nullopt) {
    std::vector<LogRow> rows;
    core::CSqlServerDBConnect db;
    if (const Status opened = OpenDatabase(db); !opened.ok()) {
      ADD_FAILURE() << "cannot open the repository: " << opened.message();
      return rows;
    }
    core::CommandHolder command;
    core::RecordsetHolder set;
    std::vector<com::Variant> params;
    std::string sql =
        "SELECT LOGID, LOGCATALOG, OPUSER, LOGDESCRIPTION, CONTENTLEN, OP, TARGET, RESULT, TIMESTAMP FROM QUORLOG";
    if (user) {
      sql += " WHERE OPUSER = ?";
      params.emplace_back(com::Bstr::FromUtf8(*user));
    }
    sql += " ORDER BY LOGID";
    if (const Status read = db.ExecuteQuery(command, set, sql, params); !read.ok()) {
      ADD_FAILURE() << "cannot read QUORLOG: " << read.message();
      return rows;
    }
    const auto field = [&](std::string_view column) {
      return db.GetFieldString(set, column).code() == 0 ? db.LastFieldValue().ToUtf8() : std::string();
    };
    for (; !set->Eof(); set->MoveNext().Ignore()) {
      LogRow row;
      row.id = std::stol(field("LOGID"));
      row.catalog = field("LOGCATALOG");
      row.user = field("OPUSER");
      row.description = field("LOGDESCRIPTION");
      row.contentLength = field("CONTENTLEN");
      row.op = field("OP");
      row.target = field("TARGET");
      row.result = field("RESULT");
      row.timestamp = field("TIMESTAMP");
      rows.push_back(std::move(row));
    }
    db.ReleaseQuery(command, set);
    return rows;
  }

  // The rows of QUORCOLLAB in VOURI order; only those whose AUTHOR begins
  // with `authorPrefix` (the table is shared on PostgreSQL).
  std::vector<CollabRow> CollabRows(std::string_view authorPrefix = "") {
    std::vector<CollabRow> rows;
    std::string error;
    if (!ReadCollabRows(rows, error)) ADD_FAILURE() << error;
    std::erase_if(rows, [&](const CollabRow& row) { return !row.author.starts_with(authorPrefix); });
    return rows;
  }

  // Sets (or, given nullopt, deletes) a value of the service key while the
  // server runs; the server reads the file again when it changed.
  void SetServiceValue(std::string_view name, std::optional<std::string_view> value) {
    reg::Registry registry(registry_);
    reg::Key k(registry);
    ASSERT_EQ(reg::Win32Error(k.Create(reg::Hive::LocalMachine, "Software\\Velt\\QuorService")), reg::ERROR_SUCCESS);
    if (value) {
      ASSERT_EQ(reg::Win32Error(k.SetString(name, *value)), reg::ERROR_SUCCESS) << name;
    } else {
      const long rc = reg::Win32Error(k.DeleteValue(name));
      ASSERT_TRUE(rc == reg::ERROR_SUCCESS || rc == reg::ERROR_FILE_NOT_FOUND) << name << " " << rc;
    }
  }

  // A signed-in client; fails the test when the sign-in does not succeed.
  std::unique_ptr<CVeltService> SignIn(std::string_view user, std::string_view password) {
    auto client = std::make_unique<CVeltService>();
    const int rc = client->Connect(CoreUrl(), user, password);
    EXPECT_EQ(rc, 0) << "sign-in of " << user << ": " << client->FormatFault() << "\n" << Stderr();
    if (rc != 0) return nullptr;
    return client;
  }

 private:
  static std::string Bin(std::string_view program) { return std::string(QUOR_BIN_DIR) + "/" + std::string(program); }

  Status OpenDatabase(core::CDBConnect& db) const {
    return db.Open("MSDASQL.1", com::Bstr(u""), com::Bstr(u""), com::Bstr(u""), com::Bstr(u""),
                   com::Bstr::FromUtf8(odbc_));
  }

  // The repository: a fresh SQLite file, or the test run's PostgreSQL
  // database (its tables made by the test command); the two that cannot be
  // reached are named as such, and nothing is made for them.
  void ChooseDatabase(instance::Options& build) {
    if (IsPostgres()) {
      odbc_ = Env("QUOR_TEST_PG");
      if (odbc_.empty()) {
        if (std::getenv("CI")) {
          FAIL() << "QUOR_TEST_PG is not set: the test command must start PostgreSQL";
        }
        GTEST_SKIP() << "QUOR_TEST_PG not set";
      }
    } else {
      odbc_ = "DRIVER={SQLite3};Database=" + (dir_.Path() / "repository.db").string();
    }
    if (options_.database == Database::Sqlite) {
      build.sqliteRepository = dir_.Path() / "repository.db";
      build.schema = fs::path(QUOR_SOURCE_DIR) / "sql" / "sqlite.sql";
    } else if (options_.database == Database::Postgres) {
      build.repositoryOdbc = odbc_;
    } else if (options_.database == Database::SqliteUnopenable) {
      build.repositoryOdbc = "DRIVER={SQLite3};Database=" + (dir_.Path() / "no-such-folder" / "repository.db").string();
    } else {
      // Port 1: nothing listens there, the connection is refused at once.
      std::string served = odbc_;
      const size_t at = served.find("Port=");
      ASSERT_NE(at, std::string::npos) << "QUOR_TEST_PG names no port: " << served;
      const size_t end = served.find(';', at);
      served.replace(at, end == std::string::npos ? std::string::npos : end - at, "Port=1");
      build.repositoryOdbc = served;
    }
  }

  void ChooseDirectory(instance::Options& build) {
    if (options_.directory == Directory::Ldap) {
      const std::string url = Env("QUOR_TEST_LDAP_URL");
      if (url.empty()) {
        if (std::getenv("CI")) {
          FAIL() << "QUOR_TEST_LDAP_URL is not set: the test command must start slapd";
        }
        GTEST_SKIP() << "QUOR_TEST_LDAP_URL not set";
      }
      std::string host = url.substr(url.find("://") + 3);
      if (!host.empty() && host.back() == '/') host.pop_back();
      build.directory = instance::LdapDirectory{"LDAP://" + host + "/" + Env("QUOR_TEST_LDAP_BASE"), "quor.test",
                                                Env("QUOR_TEST_LDAP_BIND_DN"), Env("QUOR_TEST_LDAP_BIND_PASSWORD")};
      return;
    }
    instance::LocalAccounts accounts;
    accounts.domain = "QUORDOM";
    accounts.computer = "QUORHOST";
    // Few hash rounds: every sign-in checks a password, and tests sign in a lot.
    accounts.iterations = 1000;
    for (const Account& account : options_.accounts) accounts.users.push_back({account.name, account.password});
    accounts.members = options_.members;
    build.directory = std::move(accounts);
  }

  void StartServer() {
    std::string why;
    ASSERT_TRUE(server_.Start(Bin("quor-server"), options_.serverArgs, env_, dir_.Path() / "server.err",
                              std::chrono::seconds(30), why))
        << why << Stderr();
  }

  bool ReadCollabRows(std::vector<CollabRow>& rows, std::string& error) const {
    core::CSqlServerDBConnect db;
    if (const Status opened = OpenDatabase(db); !opened.ok()) {
      error = "cannot open the repository: " + opened.message();
      return false;
    }
    core::CommandHolder command;
    core::RecordsetHolder set;
    if (const Status read = db.ExecuteQuery(command, set,
                                            "SELECT AUTHOR, NAME, FIELDLEN, FIELD, VOURI, OWNER, MESSAGE, CREATEDATE, "
                                            "UPDATEDATE, LOCK_STATUS, ACCESSLEVEL, ACCESSLIST FROM QUORCOLLAB "
                                            "ORDER BY VOURI",
                                            {});
        !read.ok()) {
      error = "cannot read QUORCOLLAB: " + read.message();
      return false;
    }
    const auto field = [&](std::string_view column) {
      return db.GetFieldString(set, column).code() == 0 ? db.LastFieldValue().ToUtf8() : std::string();
    };
    for (; !set->Eof(); set->MoveNext().Ignore()) {
      rows.push_back({field("AUTHOR"), field("NAME"), field("FIELDLEN"), field("FIELD"), field("VOURI"),
                      field("OWNER"), field("MESSAGE"), field("CREATEDATE"), field("UPDATEDATE"),
                      field("LOCK_STATUS"), field("ACCESSLEVEL"), field("ACCESSLIST")});
    }
    db.ReleaseQuery(command, set);
    return true;
  }

  // On PostgreSQL: the rows of this instance's own users (share fields by
  // the author's name, which the tests begin with one of theirs).
  void RemoveTaggedRows() {
    if (options_.database != Database::Postgres || odbc_.empty()) return;
    core::CSqlServerDBConnect db;
    if (!OpenDatabase(db).ok()) return;
    std::vector<std::string> tagged;
    for (const Account& account : options_.accounts) {
      if (account.name.find("-e2e") == std::string::npos) continue;
      tagged.push_back(account.name);
      const com::Variant who[] = {com::Variant(com::Bstr::FromUtf8(account.name))};
      db.ExecuteNonQuery("DELETE FROM QUORLOG WHERE OPUSER = ?", who).Ignore();
    }
    std::vector<CollabRow> rows;
    std::string error;
    if (tagged.empty() || !ReadCollabRows(rows, error)) return;
    for (const CollabRow& row : rows) {
      const bool ours = std::any_of(tagged.begin(), tagged.end(), [&](const std::string& name) {
        return row.author.starts_with(name) || row.owner == name;
      });
      if (!ours) continue;
      const com::Variant uri[] = {com::Variant(com::Bstr::FromUtf8(row.uri))};
      db.ExecuteNonQuery("DELETE FROM QUORCOLLAB WHERE VOURI = ?", uri).Ignore();
    }
  }

  st::TempDir dir_;
  InstanceOptions options_;
  fs::path registry_, events_, home_;
  std::vector<std::string> env_;
  std::string odbc_;
  std::optional<std::string> previousRegistry_;
  st::ServerChild server_;
};

// Base of the end-to-end cases: one instance per test, which must stop
// cleanly at the end (a sanitizer's report in the server fails the test).
class RoadTest : public ::testing::Test {
 protected:
  ServerInstance& Start(const InstanceOptions& options = {}) {
    instance_ = std::make_unique<ServerInstance>();
    instance_->Start(options);
    return *instance_;
  }
  void TearDown() override {
    if (!instance_ || !instance_->Started()) return;
    const int status = instance_->Stop();
    EXPECT_EQ(status, 0) << "quor-server did not stop cleanly (or ended before):\n" << instance_->Stderr();
  }
  // Sets REG_DWORD values of the service key and restarts the server to
  // read them (sessions do not survive it).
  void RestartWith(std::initializer_list<std::pair<const char*, uint32_t>> values) {
    {
      reg::Registry registry(instance_->RegistryFile());
      reg::Key key(registry);
      ASSERT_EQ(reg::Win32Error(key.Create(reg::Hive::LocalMachine, "Software\\Velt\\QuorService")),
                reg::ERROR_SUCCESS);
      for (const auto& [name, value] : values) ASSERT_EQ(reg::Win32Error(key.SetDword(name, value)), reg::ERROR_SUCCESS);
    }
    ASSERT_NO_FATAL_FAILURE(instance_->Restart());
  }

  std::unique_ptr<ServerInstance> instance_;
};

// Starts an instance in a test body; returns from the test when it could not.
#define QUOR_START_INSTANCE(options)                                              \
  do {                                                                            \
    Start(options);                                                               \
    if (::testing::Test::HasFatalFailure() || ::testing::Test::IsSkipped()) return; \
  } while (0)

// ---- Share fields ---------------------------------------------------------------------

// Text as the service's answers write it.
inline std::string XmlText(std::string_view text) { return xml::Escaped(text); }

// The text of a "root" answer's one child named `element` (a field or a
// message answer); nullopt when the answer is not that shape.
inline std::optional<std::string> OnlyChildText(std::string_view answer, std::string_view element) {
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(answer) || !doc->documentElement() || doc->documentElement()->nodeName() != "root")
    return std::nullopt;
  const std::vector<xml::NodePtr> children = doc->documentElement()->childNodes();
  if (children.size() != 1 || children.front()->nodeName() != element) return std::nullopt;
  return children.front()->text();
}

inline std::string CollabUri(std::string_view author, std::string_view name) {
  return "urn:vocontent:covodb000:" + std::string(author) + "-" + std::string(name);
}

// The ACL document a new share field gets.
inline std::string DefaultAcl(std::string_view owner) {
  return "<VOACL><control><user>" + XmlText(owner) +
         "</user><access>rwdarawad</access></control><control><user>administrator</user>"
         "<access>rwdarawad</access></control></VOACL>";
}

// The texts of the elements of `answer` that `pick` takes, in document order.
template <typename Pick>
std::vector<std::string> PickedTexts(const std::string& answer, Pick pick) {
  std::vector<std::string> texts;
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(answer)) return {"(not XML)"};
  std::vector<xml::NodePtr> stack{doc};
  while (!stack.empty()) {
    const xml::NodePtr node = stack.back();
    stack.pop_back();
    if (node->nodeType() == xml::NodeType::Element && pick(*node)) texts.push_back(node->text());
    const auto children = node->childNodes();
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
  }
  return texts;
}

// The texts of the "column" elements called `name` in a query answer, in order.
// A SQLite file made by `sql` through the sqlite3 shell, and the data
// source setting that reaches it as `dsn` (catalog "main"), as a home file
// for InstanceOptions::homeFiles; empty when the file could not be made.
inline std::pair<std::string, std::string> SqliteSource(const fs::path& file, std::string_view dsn,
                                                        const std::string& sql) {
  const std::string command = "sqlite3 '" + file.string() + "' '" + sql + "'";
  if (std::system(command.c_str()) != 0) return {};
  return {"config/" + std::string(dsn) + ".xml",
          "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>" + std::string(dsn) +
              "</DataSource><InitialCatalog>main</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" +
              CVeltService::EscapeXml(file.string()) + "</ExtendedProperties></OLEDBSetting>"};
}

inline std::vector<std::string> ColumnTexts(const std::string& answer, std::string_view name) {
  return PickedTexts(answer, [&](const xml::Node& node) {
    return node.nodeName() == "column" && node.getAttribute("name") == std::string(name);
  });
}

inline const std::string kResultOk = "<root><resultCode>0</resultCode></root>";

// The statuses the collaboration operations answer with.
namespace collab {
inline constexpr HRESULT kNotAttendee = static_cast<HRESULT>(0x81000003);
inline constexpr HRESULT kNotActive = static_cast<HRESULT>(0x81000005);
inline constexpr HRESULT kActive = static_cast<HRESULT>(0x81000006);
inline constexpr HRESULT kReadRightRequired = static_cast<HRESULT>(0x81000008);
inline constexpr HRESULT kResumeUnknown = static_cast<HRESULT>(0x8100002A);
inline constexpr HRESULT kUserInAcl = static_cast<HRESULT>(0x8100003A);
inline constexpr HRESULT kNoAcl = static_cast<HRESULT>(0x8100003B);
inline constexpr HRESULT kNoAclEntry = static_cast<HRESULT>(0x8100003D);
inline constexpr HRESULT kDatabaseMissing = static_cast<HRESULT>(0x8100004E);
inline constexpr HRESULT kUriMissing = static_cast<HRESULT>(0x8100004F);
inline constexpr HRESULT kOwnerOnly = static_cast<HRESULT>(0x81000061);
inline constexpr HRESULT kAlreadyAttendee = static_cast<HRESULT>(0x81000062);
inline constexpr HRESULT kMessageExists = static_cast<HRESULT>(0x81000066);
inline constexpr HRESULT kCannotDeleteOwner = static_cast<HRESULT>(0x81000068);
inline constexpr HRESULT kUnlockRefused = static_cast<HRESULT>(0x81000070);
inline constexpr HRESULT kLockedByOther = static_cast<HRESULT>(0x81000071);
inline constexpr HRESULT kUriInvalid = static_cast<HRESULT>(0x81000072);
inline constexpr HRESULT kAlreadyLocked = static_cast<HRESULT>(0x81000073);
inline constexpr HRESULT kAlreadyExisting = static_cast<HRESULT>(0x81000075);
inline constexpr HRESULT kObjectLocked = static_cast<HRESULT>(0x81000076);
inline constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x81000077);
inline constexpr HRESULT kConferenceUrlNotSet = static_cast<HRESULT>(0x81000084);
inline constexpr HRESULT kXmlLoadFailed = static_cast<HRESULT>(0x81000085);
inline constexpr HRESULT kArgumentNullStatus = static_cast<HRESULT>(0x81000086);
inline constexpr HRESULT kNotImplemented = static_cast<HRESULT>(0x80004001);
}  // namespace collab

// Base of the collaboration cases: an instance on the parameter's engine with
// an administrator (named in AdminUsers), alice and bob in the local account
// store, each signed in. The names are unique so that PostgreSQL's shared
// tables keep every test's rows apart.
class CollabRoad : public RoadTest, public ::testing::WithParamInterface<Database> {
 protected:
  void StartCollab(InstanceOptions options = {}) {
    admin_ = UniqueName("admin");
    alice_ = UniqueName("alice");
    bob_ = UniqueName("bob");
    options.database = GetParam();
    options.accounts = {{admin_, "admin-pw"}, {alice_, "alice-pw"}, {bob_, "bob-pw"}};
    options.adminUsers = admin_;
    // Group members are given as "admin", "alice" or "bob".
    for (auto& [group, member] : options.members)
      member = member == "admin" ? admin_ : member == "alice" ? alice_ : member == "bob" ? bob_ : member;
    Start(options);
    if (::testing::Test::HasFatalFailure() || ::testing::Test::IsSkipped()) return;
    admin = instance_->SignIn(admin_, "admin-pw");
    alice = instance_->SignIn(alice_, "alice-pw");
    bob = instance_->SignIn(bob_, "bob-pw");
    ASSERT_TRUE(admin && alice && bob);
  }
  void TearDown() override {
    for (auto* client : {&admin, &alice, &bob})
      if (*client) (*client)->EndSession();
    RoadTest::TearDown();
  }

  // Puts a new share field as `client`; its URN, or "" (with a failure).
  std::string PutNew(CVeltService& client, std::string_view author, std::string_view name,
                     std::string_view field) {
    const CallOutcome put = Call(client, "PutShareField", {{"author", author}, {"name", name}, {"field", field}});
    const std::string uri = CollabUri(author, name);
    EXPECT_TRUE(put.ok) << name << ": " << put.fault;
    EXPECT_EQ(put.decoded, "<root><resultCode>0</resultCode><uri>" + XmlText(uri) + "</uri></root>");
    return put.ok ? uri : std::string();
  }
  // The row of `uri` (an empty row with a failure when there is not exactly one).
  CollabRow RowOf(std::string_view uri) {
    std::vector<CollabRow> found;
    for (CollabRow& row : instance_->CollabRows())
      if (row.uri == uri) found.push_back(std::move(row));
    EXPECT_EQ(found.size(), 1u) << uri;
    return found.size() == 1 ? found.front() : CollabRow{};
  }
  // What GetShareField answers for a field holding `text`.
  static std::string FieldAnswer(std::string_view text) {
    return text.empty() ? "<root><field/></root>" : "<root><field>" + XmlText(text) + "</field></root>";
  }

  std::string admin_, alice_, bob_;
  std::unique_ptr<CVeltService> admin, alice, bob;
};

inline std::string EngineName(const ::testing::TestParamInfo<Database>& info) {
  return info.param == Database::Sqlite ? "Sqlite" : "Postgres";
}

#define QUOR_START_COLLAB(options)                                                   \
  do {                                                                                \
    StartCollab(options);                                                             \
    if (::testing::Test::HasFatalFailure() || ::testing::Test::IsSkipped()) return; \
  } while (0)

}  // namespace quor::admin::testing
