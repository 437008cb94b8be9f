// Crash consistency: quor-server killed with SIGKILL at random points of a
// stream of writes, and the registry and account store writers killed in the
// middle of theirs. After every kill the files must still read, and every
// write that was acknowledged must come back whole.
//
// The kill points come from a seeded generator (the seed is printed; set
// QUOR_CRASH_SEED to repeat a run). Kills wait for progress (a number of
// acknowledged writes), never for a fixed time, so a slow machine only makes
// the run longer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "testing/RawHttp.h"
#include "testing/ServerInstance.h"
#include "platform/base/unique_fd.h"
#include "platform/directory/accounts.h"

namespace quor::admin::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The seed of this run: QUOR_CRASH_SEED when set, else the clock's.
uint64_t Seed(std::string_view test) {
  const std::string given = Env("QUOR_CRASH_SEED");
  const uint64_t seed =
      given.empty() ? static_cast<uint64_t>(Clock::now().time_since_epoch().count()) : std::stoull(given);
  std::printf("%.*s: QUOR_CRASH_SEED=%llu\n", static_cast<int>(test.size()), test.data(),
              static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  return seed;
}

// A value that shows truncation and mixing: its mark repeated to `size`.
std::string Value(std::string_view kind, int writer, int step, size_t size) {
  const std::string mark = std::string(kind) + "/" + std::to_string(writer) + "/" + std::to_string(step) + " <&>;";
  std::string value;
  while (value.size() < size) value += mark;
  return value;
}

// What a key may hold after crashes: the last acknowledged value, or one sent
// after it whose answer never came (the server died under it); nothing only
// when no write of it was ever acknowledged.
struct Slot {
  std::optional<std::string> acked;
  std::vector<std::string> unsure;

  bool Allows(const std::optional<std::string>& found) const {
    if (!found) return !acked;
    return (acked && *acked == *found) || std::find(unsure.begin(), unsure.end(), *found) != unsure.end();
  }
};

std::string Describe(const std::optional<std::string>& value) {
  if (!value) return "(absent)";
  return value->size() > 80 ? value->substr(0, 80) + "... (" + std::to_string(value->size()) + " bytes)" : *value;
}

// The writes of one client thread (one account), for the checks.
struct Writer {
  std::string user;
  std::map<std::string, Slot> fields, messages, objects, files;  // URN / URN / name / resource name
  std::set<std::string> rows;                                   // resources whose row was acknowledged
  std::set<std::string> resources;                              // every resource name asked for
  std::set<std::string> ackedLogs, unsureLogs;
  std::string lastField, lastResource;
  std::map<std::string, int> messageState;  // URN -> 0 none, 1 put unsure, 2 put acknowledged
};

constexpr std::string_view kResourceBase = "/QuorService/resource";

// ---- quor-server killed under a stream of writes ---------------------------------------

class CrashRoad : public ::testing::TestWithParam<Database> {
 protected:
  void TearDown() override {
    StopClients();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      st::WaitFor(pid_, 10s);
    }
    if (instance_.IsPostgres() && !instance_.Odbc().empty()) {
      core::CSqlServerDBConnect db;
      if (Open(db, instance_.Odbc()).ok())
        for (const Writer& w : writers_) {
          const com::Variant user[] = {com::Variant(com::Bstr::FromUtf8(w.user))};
          db.ExecuteNonQuery("DELETE FROM QUORVESK WHERE VOUSER = ?", user).Ignore();
          const com::Variant like[] = {com::Variant(com::Bstr::FromUtf8(w.user + "-%"))};
          db.ExecuteNonQuery("DELETE FROM QUORVESKRES WHERE NAME LIKE ?", like).Ignore();
        }
    }
  }

  static Status Open(core::CDBConnect& db, const std::string& odbc) {
    return db.Open("MSDASQL.1", com::Bstr(u""), com::Bstr(u""), com::Bstr(u""), com::Bstr(u""),
                   com::Bstr::FromUtf8(odbc));
  }

  // The instance, then the site that serves the service and a writable
  // resource folder (ResourceDir), as the site setup prepares them.
  void Prepare(int writers) {
    root_ = instance_.Dir();
    InstanceOptions options;
    options.database = GetParam();
    options.logLevel = "Normal";
    for (int w = 0; w < writers; ++w) {
      writers_.push_back({});
      writers_.back().user = UniqueName("crash");
      options.accounts.push_back({writers_.back().user, "crash-pw"});
    }
    resourceDir_ = root_ / "IIS" / "resource";
    fs::create_directories(resourceDir_);
    options.resourceUrl = "http://127.0.0.1" + std::string(kResourceBase);
    options.resourceDir = resourceDir_.string();
    instance_.Start(options);
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_EQ(instance_.Stop(), 0) << instance_.Stderr();
    for (const char* name : {"QuorServiceCore.sod", "QuorServiceCoreAdmin.sod"})
      std::ofstream(root_ / "IIS" / name) << "";
    env_ = st::Environment({"QUOR_REGISTRY=" + instance_.RegistryFile().string(),
                            "QUOR_EVENTLOG=" + (root_ / "events.log").string()});
    const st::RunResult setup =
        RunIn(std::string(QUOR_BIN_DIR) + "/SiteSetup", {"localhost", "1", "/opt/quor", "svc", "pw", "ResDirWRITABLE"});
    ASSERT_EQ(setup.status, 0) << setup.output;
    ASSERT_NO_FATAL_FAILURE(StartServer());
  }

  st::RunResult RunIn(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> owned{program};
    owned.insert(owned.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& a : owned) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env_) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const fs::path out = root_ / "setup.out";
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&actions, root_.c_str());
    pid_t pid = -1;
    st::RunResult r;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
      r.status = st::WaitFor(pid, 30s);
      r.output = st::ReadFile(out);
    }
    posix_spawn_file_actions_destroy(&actions);
    return r;
  }

  void StartServer() {
    const st::Spawned s = st::Spawn(std::string(QUOR_BIN_DIR) + "/quor-server", {"--port", "0", "--site", "1"},
                                    env_, root_ / "server.err");
    ASSERT_GT(s.pid, 0);
    std::string line;
    const int port = st::ReadListeningPort(s.stdoutFd, 60s, line);
    ::close(s.stdoutFd);
    pid_ = s.pid;
    ASSERT_NE(port, 0) << "quor-server did not start: " << line << st::ReadFile(root_ / "server.err");
    std::lock_guard lock(mutex_);
    port_ = port;
    ++generation_;
    changed_.notify_all();
  }

  void StopClients() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }

  void Kill() {
    killed_ = generation_.load();
    ::kill(pid_, SIGKILL);
    ASSERT_EQ(st::WaitFor(pid_, 30s), 128 + SIGKILL);
    deadServers_.push_back(pid_);
    pid_ = -1;
  }

  void Failed(std::string what) {
    std::lock_guard lock(mutex_);
    if (failures_.size() < 10) failures_.push_back(std::move(what));
    failed_ = true;
  }

  // Waits for a server newer than `seen`: its generation and port, or -1 when the run ends.
  int NextServer(int seen, int& port) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stop_ || generation_ > seen; });
    port = port_;
    return stop_ ? -1 : generation_.load();
  }

  // One client: signs in to each server in turn and writes until the run
  // ends. A call that fails is fine only when its server was killed.
  void Client(int index) {
    Writer& w = writers_[index];
    std::unique_ptr<CVeltService> service;
    int generation = 0, port = 0;
    for (int step = 0; !stop_;) {
      if (!service) {
        generation = NextServer(generation, port);
        if (generation < 0) return;
        service = std::make_unique<CVeltService>();
        if (service->Connect("http://127.0.0.1:" + std::to_string(port) + std::string(soap::kCorePath), w.user,
                             "crash-pw") != 0) {
          if (killed_ >= generation) {
            service.reset();
            continue;
          }
          return Failed(w.user + " cannot sign in: " + service->FormatFault());
        }
      }
      std::string fault;
      if (Write(w, *service, port, step, fault)) {
        ++step;
        ++acknowledged_;
        continue;
      }
      if (killed_ < generation) return Failed(w.user + " step " + std::to_string(step) + ": " + fault);
      service.reset();
      ++step;
    }
  }

  // One write of step `step`; true when it was acknowledged (or had nothing
  // to do). Unanswered writes stay in their slot's unsure values.
  bool Write(Writer& w, CVeltService& service, int port, int step, std::string& fault) {
    const int id = static_cast<int>(&w - writers_.data());
    const auto call = [&](std::string_view method,
                          std::initializer_list<std::pair<std::string_view, std::string_view>> params,
                          std::string_view answer) {
      const CallOutcome out = Call(service, method, params);
      if (out.ok && (answer.empty() || out.decoded == answer)) return true;
      fault = std::string(method) + ": " + out.fault + out.decoded.substr(0, 200);
      return false;
    };
    const auto sent = [](Slot& slot, std::string value) -> std::string& {
      slot.unsure.push_back(std::move(value));
      return slot.unsure.back();
    };
    const auto acked = [](Slot& slot) {
      slot.acked = slot.unsure.back();
      slot.unsure.clear();
    };
    switch (step % 8) {
      case 0: {
        const std::string name = "f" + std::to_string(step);
        const std::string uri = CollabUri(w.user, name);
        const std::string& value = sent(w.fields[uri], Value("field", id, step, 50 + step * 37 % 2000));
        if (!call("PutShareField", {{"author", w.user}, {"name", name}, {"field", value}},
                  "<root><resultCode>0</resultCode><uri>" + XmlText(uri) + "</uri></root>"))
          return false;
        acked(w.fields[uri]);
        w.lastField = uri;
        return true;
      }
      case 1: {
        if (w.lastField.empty()) return true;
        const std::string& value = sent(w.fields[w.lastField], Value("update", id, step, 50 + step * 53 % 3000));
        if (!call("UpdateShareField", {{"uri", w.lastField}, {"field", value}}, "")) return false;
        acked(w.fields[w.lastField]);
        return true;
      }
      case 2: {
        if (w.lastField.empty() || w.messageState[w.lastField] == 1) return true;
        const bool first = w.messageState[w.lastField] == 0;
        const std::string& value = sent(w.messages[w.lastField], Value("message", id, step, 20 + step * 29 % 500));
        if (first) w.messageState[w.lastField] = 1;
        if (!call(first ? "PutMessage" : "UpdateMessage", {{"uri", w.lastField}, {"message", value}}, "")) return false;
        acked(w.messages[w.lastField]);
        w.messageState[w.lastField] = 2;
        return true;
      }
      case 3:
      case 4: {
        // A new object, then the writer's one object overwritten, ~1 MB every third time.
        const std::string name = step % 8 == 3 ? "v" + std::to_string(step) : "common";
        const size_t size = step % 24 == 4 ? (1u << 20) : 100 + step * 71 % 3000;
        const std::string& value = sent(w.objects[name], Value("content", id, step, size));
        if (!call("PutVOContent", {{"name", name}, {"content", value}}, kResultOk)) return false;
        acked(w.objects[name]);
        return true;
      }
      case 5: {
        const std::string name = w.user + "-r" + std::to_string(step);
        w.resources.insert(name);
        if (!call("PutVOResourcewithAttribute",
                  {{"name", name}, {"modulename", "crash"}, {"creator", w.user}, {"version", "1"}, {"type", "bin"},
                   {"id", name}, {"description", "d"}, {"urlleaf", ""}, {"props", ""}},
                  ""))
          return false;
        w.rows.insert(name);
        w.lastResource = name;
        return true;
      }
      case 6: {
        // The last resource's file: written, or rewritten, ~256 KB every other time.
        if (w.lastResource.empty()) return true;
        const size_t size = step % 16 == 6 ? (256u << 10) : 100 + step * 97 % 5000;
        const std::string& value = sent(w.files[w.lastResource], Value("file", id, step, size));
        const quor::test::RawAnswer put = quor::test::RawRequest(port, "PUT", ResourcePath(w.lastResource), value);
        if (put.status != 201 && put.status != 204) {
          fault = "PUT " + w.lastResource + ": " + std::to_string(put.status);
          return false;
        }
        acked(w.files[w.lastResource]);
        if (step % 32 == 6) w.lastResource.clear();  // later files go to new resources
        return true;
      }
      default: {
        const std::string text = "log " + std::to_string(id) + "/" + std::to_string(step);
        w.unsureLogs.insert(text);
        if (!call("PutLog", {{"log", text}}, kResultOk)) return false;
        w.unsureLogs.erase(text);
        w.ackedLogs.insert(text);
        return true;
      }
    }
  }

  static std::string ResourcePath(const std::string& name) {
    return std::string(kResourceBase) + "/urn_voresource_" + name + "/" + name;
  }

  // The checks while the server is down: the repository is sound, the
  // registry file and the account store read.
  void CheckAtRest(int round) {
    SCOPED_TRACE("after kill " + std::to_string(round));
    const Status checked = reg::Registry(instance_.RegistryFile()).Check();
    EXPECT_EQ(reg::Win32Error(checked), reg::ERROR_SUCCESS) << checked.message();
    const Result<dir::AccountStore> store = dir::LoadAccountStore(instance_.RegistryFile().string() + ".accounts");
    EXPECT_EQ(dir::AccountError(store.status()), reg::ERROR_SUCCESS) << store.status().message();
    std::string odbc = instance_.Odbc();
    if (!instance_.IsPostgres()) {
      // A copy with its journal, so that the real file stays untouched: the
      // copy's hot journal is rolled back as the server's next open would.
      const fs::path db = root_ / "repository.db", copy = root_ / "check.db";
      for (const char* suffix : {"", "-journal", "-wal"}) {
        fs::remove(copy.string() + suffix);
        if (fs::exists(db.string() + suffix)) fs::copy_file(db.string() + suffix, copy.string() + suffix);
      }
      odbc = "DRIVER={SQLite3};Database=" + copy.string();
    }
    core::CSqlServerDBConnect db;
    const Status opened = Open(db, odbc);
    ASSERT_TRUE(opened.ok()) << opened.message();
    const auto column = [&](std::string_view sql, std::string_view name, std::vector<com::Variant> params = {}) {
      std::vector<std::string> texts;
      core::CommandHolder command;
      core::RecordsetHolder set;
      if (const Status read = db.ExecuteQuery(command, set, sql, params); !read.ok()) {
        ADD_FAILURE() << sql << ": " << read.message();
        return texts;
      }
      for (; !set->Eof(); set->MoveNext().Ignore())
        texts.push_back(db.GetFieldString(set, name).code() == 0 ? db.LastFieldValue().ToUtf8() : "(null)");
      db.ReleaseQuery(command, set);
      return texts;
    };
    if (!instance_.IsPostgres()) {
      EXPECT_EQ(column("PRAGMA integrity_check", "integrity_check"), std::vector<std::string>{"ok"});
    }
    // The keys the schema cannot hold by itself: one resource row per name,
    // and each row's folder is there.
    for (const Writer& w : writers_) {
      const std::vector<com::Variant> like{com::Variant(com::Bstr::FromUtf8(w.user + "-%"))};
      std::vector<std::string> names = column("SELECT NAME FROM QUORVESKRES WHERE NAME LIKE ?", "NAME", like);
      std::sort(names.begin(), names.end());
      EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end()) << "a resource row twice";
      for (const std::string& name : names)
        EXPECT_TRUE(fs::is_directory(resourceDir_ / ("urn_voresource_" + name))) << name << ": a row without its folder";
      const std::vector<com::Variant> user{com::Variant(com::Bstr::FromUtf8(w.user))};
      std::vector<std::string> uris = column("SELECT VOURI FROM QUORVESK WHERE VOUSER = ?", "VOURI", user);
      std::sort(uris.begin(), uris.end());
      EXPECT_EQ(std::adjacent_find(uris.begin(), uris.end()), uris.end()) << "a Vesk URN twice";
    }
  }

  // What may be below ResourceDir: the folder of each resource asked for
  // (empty when its put was cut off) holding the resource's own file with an
  // allowed content, and hidden temporaries of that file, whole (a server
  // killed between naming and renaming it), which go with the next write of
  // the file. Never a partly written file where the file system takes
  // unnamed files (O_TMPFILE).
  void CheckResourceTree(int port) {
    std::map<std::string, Slot*> files;  // relative path -> slot
    std::set<std::string> folders;
    std::map<std::string, std::string> temporaries;  // "folder/.name.put-" -> resource name
    for (Writer& w : writers_) {
      for (const std::string& name : w.resources) {
        folders.insert("urn_voresource_" + name);
        temporaries["urn_voresource_" + name + "/." + name + ".put-"] = name;
      }
      for (auto& [name, slot] : w.files) files["urn_voresource_" + name + "/" + name] = &slot;
    }
    const auto fileSlot = [&](const std::string& name) { return files.at("urn_voresource_" + name + "/" + name); };
    std::set<std::string> rewrite;
    const bool unnamedFiles = UniqueFd(::open(resourceDir_.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600)).valid();
    for (const auto& entry : fs::recursive_directory_iterator(resourceDir_)) {
      const std::string relative = entry.path().lexically_relative(resourceDir_).string();
      if (entry.is_directory()) {
        EXPECT_TRUE(folders.count(relative)) << "an unknown folder: " << relative;
        continue;
      }
      const std::string content = st::ReadFile(entry.path());
      if (const auto found = files.find(relative); found != files.end()) {
        EXPECT_TRUE(found->second->Allows(content)) << relative << " holds " << Describe(content);
        continue;
      }
      const auto temporary = std::find_if(temporaries.begin(), temporaries.end(),
                                          [&](const auto& t) { return relative.starts_with(t.first); });
      if (temporary == temporaries.end() || !files.count("urn_voresource_" + temporary->second + "/" +
                                                         temporary->second)) {
        ADD_FAILURE() << "a file nobody wrote: " << relative << " of " << content.size() << " bytes";
        continue;
      }
      // Where the folder takes no unnamed files the server names its
      // temporary first, and a kill may leave part of one.
      EXPECT_TRUE(!unnamedFiles || fileSlot(temporary->second)->Allows(content))
          << "a partly written temporary: " << relative;
      rewrite.insert(temporary->second);
    }
    // A temporary of a killed server, as a kill in the middle of a write
    // would leave it where unnamed files are not supported.
    if (!deadServers_.empty())
      for (const auto& [relative, slot] : files)
        if (slot->acked) {
          const std::string name = relative.substr(relative.find('/') + 1);
          std::ofstream(resourceDir_ / ("urn_voresource_" + name) /
                        ("." + name + ".put-" + std::to_string(deadServers_.back()) + "-5eed"))
              << "half";
          rewrite.insert(name);
          break;
        }
    for (const std::string& name : rewrite) {
      Slot& slot = *fileSlot(name);
      slot.unsure.push_back(Value("rewrite", 0, 0, 300));
      const quor::test::RawAnswer put = quor::test::RawRequest(port, "PUT", ResourcePath(name), slot.unsure.back());
      ASSERT_TRUE(put.status == 201 || put.status == 204) << name << ": " << put.status;
      slot.acked = slot.unsure.back();
      slot.unsure.clear();
      for (const auto& entry : fs::directory_iterator(resourceDir_ / ("urn_voresource_" + name)))
        EXPECT_EQ(entry.path().filename(), name) << "left after the next write";
    }
    for (const auto& [relative, slot] : files)
      EXPECT_TRUE(!slot->acked || fs::exists(resourceDir_ / relative)) << relative << " was acknowledged";
  }

  // Every acknowledged write, read back through the server.
  void CheckReadBack(int port) {
    for (const Writer& w : writers_) {
      SCOPED_TRACE(w.user);
      CVeltService service;
      ASSERT_EQ(service.Connect("http://127.0.0.1:" + std::to_string(port) + std::string(soap::kCorePath), w.user,
                                "crash-pw"),
                0)
          << service.FormatFault();
      const auto read = [&](std::string_view method, std::string_view param, const std::string& key,
                            std::string_view element) -> std::optional<std::string> {
        const CallOutcome got = Call(service, method, {{param, key}});
        if (!got.ok) return std::nullopt;
        if (element.empty()) {
          // "<root>" + the content + "</root>", the content escaped; "<root/>" for none.
          if (got.decoded == "<root/>") return std::nullopt;
          if (!got.decoded.starts_with("<root>") || !got.decoded.ends_with("</root>")) return "(answer) " + got.decoded;
          return got.decoded.substr(6, got.decoded.size() - 13);
        }
        const std::optional<std::string> text = OnlyChildText(got.decoded, element);
        if (!text) return "(answer) " + got.decoded;
        if (text->empty()) return std::nullopt;
        return text;
      };
      for (const auto& [uri, slot] : w.fields) {
        const auto found = read("GetShareField", "uri", uri, "field");
        EXPECT_TRUE(slot.Allows(found)) << uri << " holds " << Describe(found);
      }
      for (const auto& [uri, slot] : w.messages) {
        const auto found = read("GetMessage", "uri", uri, "message");
        EXPECT_TRUE(slot.Allows(found)) << uri << " message holds " << Describe(found);
      }
      for (const auto& [name, slot] : w.objects) {
        Slot escaped = slot;
        if (escaped.acked) escaped.acked = XmlText(*escaped.acked);
        for (std::string& value : escaped.unsure) value = XmlText(value);
        const auto found = read("GetVOContent", "name", name, "");
        EXPECT_TRUE(escaped.Allows(found)) << name << " holds " << Describe(found);
      }
      for (const std::string& name : w.rows) {
        const CallOutcome got = Call(service, "GetVOResourceURL", {{"name", name}});
        EXPECT_TRUE(got.ok) << name << ": " << got.fault;
      }
      for (const auto& [name, slot] : w.files) {
        const quor::test::RawAnswer got = quor::test::RawRequest(port, "GET", ResourcePath(name));
        const std::optional<std::string> found =
            got.status == 200 ? std::optional<std::string>(got.body) : std::nullopt;
        EXPECT_TRUE(slot.Allows(found)) << name << " serves " << got.status << " " << Describe(found);
      }
      const CallOutcome logs = Call(service, "GetCategoryLogbyUser", {{"opuser", w.user}, {"category", "application"}});
      ASSERT_TRUE(logs.ok) << logs.fault;
      const auto records = LogRecords(logs.decoded);
      ASSERT_TRUE(records) << logs.decoded.substr(0, 200);
      std::multiset<std::string> texts;
      for (const auto& record : *records)
        if (const auto d = record.find("description"); d != record.end()) texts.insert(d->second);
      for (const std::string& text : w.ackedLogs) EXPECT_EQ(texts.count(text), 1u) << text;
      for (const std::string& text : texts)
        EXPECT_TRUE(texts.count(text) == 1 && (w.ackedLogs.count(text) || w.unsureLogs.count(text)))
            << "log row " << text;
      service.EndSession();
    }
  }

  ServerInstance instance_;
  fs::path root_, resourceDir_;
  std::vector<std::string> env_;
  // Each writer is touched only by its client thread until the threads are
  // joined (its user name is set before they start and read by all).
  std::vector<Writer> writers_;
  std::vector<std::thread> threads_;
  pid_t pid_ = -1;
  std::vector<pid_t> deadServers_;

  std::mutex mutex_;  // guards port_ and failures_; generation_ and stop_ change under it
  std::condition_variable changed_;
  int port_ = 0;
  std::atomic<int> generation_{0};  // the server now running (counted from 1)
  std::atomic<int> killed_{0};      // the last generation killed
  std::atomic<bool> stop_{false}, failed_{false};
  std::atomic<int> acknowledged_{0};
  std::vector<std::string> failures_;
};

TEST_P(CrashRoad, KilledServerLosesNoAcknowledgedWrite) {
  constexpr int kWriters = 3;
  const int kills = GetParam() == Database::Sqlite ? 20 : 12;
  std::mt19937_64 random(Seed(::testing::UnitTest::GetInstance()->current_test_info()->name()));
  ASSERT_NO_FATAL_FAILURE(Prepare(kWriters));
  if (IsSkipped()) return;
  for (int c = 0; c < kWriters; ++c) threads_.emplace_back([this, c] { Client(c); });

  for (int round = 1; round <= kills && !failed_; ++round) {
    // Some writes answered by this server, then a random moment inside the next ones.
    const int before = acknowledged_;
    const int wanted = 1 + static_cast<int>(random() % 8);
    const auto until = Clock::now() + 60s;
    while (acknowledged_ - before < wanted && !failed_ && Clock::now() < until) std::this_thread::sleep_for(1ms);
    ASSERT_GE(acknowledged_ - before, wanted) << "no progress";
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    ASSERT_NO_FATAL_FAILURE(Kill());
    ASSERT_NO_FATAL_FAILURE(CheckAtRest(round));
    ASSERT_NO_FATAL_FAILURE(StartServer());
  }
  // The last server: everything acknowledged must be there.
  {
    const int before = acknowledged_;
    const auto until = Clock::now() + 60s;
    while (acknowledged_ - before < 8 && !failed_ && Clock::now() < until) std::this_thread::sleep_for(1ms);
  }
  StopClients();
  for (const std::string& failure : failures_) ADD_FAILURE() << failure;
  ASSERT_FALSE(failed_);
  CheckResourceTree(port_);
  CheckReadBack(port_);
  ::kill(pid_, SIGTERM);
  EXPECT_EQ(st::WaitFor(pid_, 30s), 0) << st::ReadFile(root_ / "server.err");
  pid_ = -1;
  ASSERT_NO_FATAL_FAILURE(CheckAtRest(kills + 1));
}

INSTANTIATE_TEST_SUITE_P(Engines, CrashRoad, ::testing::Values(Database::Sqlite, Database::Postgres), EngineName);

// ---- The registry file and the account store, their writers killed -----------------------

// The files beside `file` whose names begin with its name and ".tmp.".
std::vector<std::string> Temporaries(const fs::path& file) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(file.parent_path()))
    if (entry.path().filename().string().starts_with(file.filename().string() + ".tmp."))
      found.push_back(entry.path().filename().string());
  return found;
}

std::string RegistryValue(int writer, int n) { return Value("reg", writer, n, 64 + (writer * 131 + n * 57) % 900); }

// A child process that sets "w<writer>-<n>" for n = 0, 1, ... in the registry
// file and writes each name to `report` once its write returned; it runs
// until it is killed. Forked from this process, which then runs no other thread.
pid_t ForkRegistryWriter(const fs::path& file, int writer, int report) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  reg::Registry registry(file);
  reg::Key key(registry);
  if (!key.Create(reg::Hive::LocalMachine, "Software\\Crash").ok()) ::_exit(1);
  for (int n = 0;; ++n) {
    const std::string name = "w" + std::to_string(writer) + "-" + std::to_string(n);
    if (!key.SetString(name, RegistryValue(writer, n)).ok()) ::_exit(1);
    const std::string line = name + "\n";
    if (::write(report, line.data(), line.size()) != static_cast<ssize_t>(line.size())) ::_exit(1);
  }
}

TEST(CrashWriters, RegistryWritersKilledMidWrite) {
  constexpr int kRounds = 10, kWriters = 3;
  std::mt19937_64 random(Seed("RegistryWritersKilledMidWrite"));
  st::TempDir dir;
  const fs::path file = dir.Path() / "registry.reg";
  std::set<std::string> completed;  // names whose write returned
  int kills = 0;
  for (int round = 0; round < kRounds; ++round) {
    struct Child {
      pid_t pid = -1;
      int pipe = -1;
      std::string pending;
    };
    std::vector<Child> children(kWriters);
    for (int c = 0; c < kWriters; ++c) {
      int fds[2];
      ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
      children[c].pid = ForkRegistryWriter(file, round * kWriters + c, fds[1]);
      ::close(fds[1]);
      children[c].pipe = fds[0];
      ASSERT_GT(children[c].pid, 0);
    }
    // Reads what the children reported; with `block`, up to the end of every pipe.
    const auto collect = [&](bool block) {
      int reported = 0;
      for (Child& child : children) {
        while (child.pipe >= 0) {
          pollfd p{child.pipe, POLLIN, 0};
          if (::poll(&p, 1, block ? 30000 : 0) <= 0) break;
          char buffer[4096];
          const ssize_t n = ::read(child.pipe, buffer, sizeof buffer);
          if (n <= 0) {
            ::close(child.pipe);
            child.pipe = -1;
            break;
          }
          child.pending.append(buffer, static_cast<size_t>(n));
          for (size_t eol; (eol = child.pending.find('\n')) != std::string::npos; ++reported) {
            completed.insert(child.pending.substr(0, eol));
            child.pending.erase(0, eol + 1);
          }
        }
      }
      return reported;
    };
    std::vector<int> order(kWriters);
    for (int c = 0; c < kWriters; ++c) order[c] = c;
    std::shuffle(order.begin(), order.end(), random);
    for (int victim : order) {
      // Some writes done, then a random moment inside the next ones.
      const int wanted = 1 + static_cast<int>(random() % 6);
      const auto until = Clock::now() + 60s;
      for (int done = 0; done < wanted && Clock::now() < until;) {
        done += collect(false);
        std::this_thread::sleep_for(100us);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
      ::kill(children[victim].pid, SIGKILL);
      ASSERT_EQ(st::WaitFor(children[victim].pid, 30s), 128 + SIGKILL) << "a writer ended by itself";
      ++kills;
      // The file reads, and holds every value whose write returned, exactly.
      collect(false);
      reg::Registry registry(file);
      const Status checked = registry.Check();
      ASSERT_EQ(reg::Win32Error(checked), reg::ERROR_SUCCESS) << "after kill " << kills << ": " << checked.message();
      reg::Key key(registry);
      ASSERT_EQ(reg::Win32Error(key.Open(reg::Hive::LocalMachine, "Software\\Crash")), reg::ERROR_SUCCESS);
      const auto read = key.EnumValues();
      ASSERT_EQ(reg::Win32Error(read), reg::ERROR_SUCCESS);
      const std::vector<reg::NamedValue>& values = *read;
      // One reading of the file: the writers still running keep changing it,
      // and a read per value would read it again each time.
      std::map<std::string, std::string> held;
      for (const reg::NamedValue& v : values) {
        const std::optional<std::string> text = v.value.AsString();
        EXPECT_TRUE(text) << v.name;
        held[v.name] = text.value_or("");
      }
      for (const std::string& name : completed) EXPECT_TRUE(held.count(name)) << name << " after kill " << kills;
      for (const auto& [name, text] : held) {
        const int writer = std::stoi(name.substr(1)), n = std::stoi(name.substr(name.find('-') + 1));
        EXPECT_EQ(text, RegistryValue(writer, n)) << name;
      }
      if (HasFailure()) return;
    }
    collect(true);
    // With every writer gone, the next write leaves no temporary behind.
    reg::Registry registry(file);
    reg::Key key(registry);
    ASSERT_EQ(reg::Win32Error(key.Create(reg::Hive::LocalMachine, "Software\\Rounds")), reg::ERROR_SUCCESS);
    ASSERT_EQ(reg::Win32Error(key.SetDword("round", static_cast<uint32_t>(round))), reg::ERROR_SUCCESS);
    EXPECT_EQ(Temporaries(file), std::vector<std::string>{}) << "after round " << round;
  }
  EXPECT_GE(kills, 20);
}

TEST(CrashWriters, AccountToolsKilledMidWrite) {
  constexpr int kTools = 4;
  std::mt19937_64 random(Seed("AccountToolsKilledMidWrite"));
  st::TempDir dir;
  const std::string store = (dir.Path() / "accounts").string(), tool = std::string(QUOR_BIN_DIR) + "/quor-accounts";
  const std::vector<std::string> env = st::Environment({});
  ASSERT_EQ(RunWithInput(tool, {"--file", store, "init", "D", "C", "--iterations", "1000"}, env, dir.Path(), "").status,
            0);
  // Starts `quor-accounts --file store add-user name` with the password on its input.
  const auto start = [&](const std::string& name) {
    const fs::path in = dir.Path() / (name + ".in");
    std::ofstream(in) << "pw-" << name << "\n";
    std::vector<std::string> owned{tool, "--file", store, "add-user", name};
    std::vector<char*> argv, envp;
    for (auto& a : owned) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envCopy = env;
    for (auto& e : envCopy) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  };
  std::set<std::string> added, maybe;
  // Kills land within a tool's life as measured on the ones left to finish.
  double lifetime = 0.05;
  int kills = 0;
  // Rounds until enough kills landed (a tool that finished first is no kill).
  for (int round = 0; kills < 20 && round < 100; ++round) {
    std::vector<std::pair<std::string, pid_t>> tools;
    const auto began = Clock::now();
    for (int t = 0; t < kTools; ++t) {
      tools.emplace_back("u" + std::to_string(round) + "-" + std::to_string(t), -1);
      tools.back().second = start(tools.back().first);
      ASSERT_GT(tools.back().second, 0);
    }
    std::vector<int> order(kTools);
    for (int t = 0; t < kTools; ++t) order[t] = t;
    std::shuffle(order.begin(), order.end(), random);
    const auto killAt = began + std::chrono::duration<double>(lifetime * (0.3 + 0.9 * (random() % 1000) / 1000.0));
    for (int k = 0; k < kTools / 2 + 1; ++k) {
      std::this_thread::sleep_until(killAt + std::chrono::microseconds(random() % 2000));
      ::kill(tools[order[k]].second, SIGKILL);
    }
    std::vector<double> lives;
    for (const auto& [name, pid] : tools) {
      const int status = st::WaitFor(pid, 60s);
      if (status == 0) {
        added.insert(name);
        lives.push_back(std::chrono::duration<double>(Clock::now() - began).count());
      } else {
        ASSERT_EQ(status, 128 + SIGKILL) << name;
        maybe.insert(name);
        ++kills;
      }
    }
    if (!lives.empty()) lifetime = *std::min_element(lives.begin(), lives.end());
    // The store reads, holds every user whose tool finished, with its
    // password, and no user nobody added.
    const Result<dir::AccountStore> loaded = dir::LoadAccountStore(store);
    ASSERT_EQ(dir::AccountError(loaded.status()), reg::ERROR_SUCCESS)
        << "round " << round << ": " << loaded.status().message();
    const dir::AccountStore& accounts = *loaded;
    for (const std::string& name : added)
      EXPECT_TRUE(accounts.VerifyPassword(name, "pw-" + name)) << name << " in round " << round;
    for (const dir::AccountUser& user : accounts.users)
      EXPECT_TRUE(added.count(user.name) || maybe.count(user.name)) << user.name;
    // The next write leaves no temporary behind.
    const std::string next = "n" + std::to_string(round);
    ASSERT_EQ(RunWithInput(tool, {"--file", store, "add-user", next}, env, dir.Path(), "pw-" + next + "\n").status, 0);
    added.insert(next);
    EXPECT_EQ(Temporaries(store), std::vector<std::string>{}) << "after round " << round;
    if (HasFailure()) return;
  }
  EXPECT_GE(kills, 20);
}

}  // namespace
}  // namespace quor::admin::testing
