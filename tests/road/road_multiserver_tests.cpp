// Two quor-server processes on one PostgreSQL repository and one resource
// folder, each with its own instance folder, registry, keys and port, and
// clients signed in to each. Calls race from both servers on the same rows:
// a lock has one holder at a time wherever it was taken, writes held back by
// a lock stay held back, ACL edits are not lost, a name raced into existence
// has one row, and every acknowledged write and log row is there once. A
// session belongs to the server that opened it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <latch>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/soap/http_client.h"
#include "testing/OutsideSql.h"
#include "testing/ServerInstance.h"
#include "testing/TempDir.h"

namespace quor::admin::testing {
namespace {

using namespace collab;
using Clock = std::chrono::steady_clock;

constexpr HRESULT kVeskLocked = static_cast<HRESULT>(0x8100006F);
constexpr int kServers = 2;
constexpr int kPerServer = 3;
constexpr int kClients = kServers * kPerServer;
constexpr auto kRace = std::chrono::seconds(3);

std::string VOUri(std::string_view owner, std::string_view name) {
  return "urn:vocontent:vodb000:" + std::string(owner) + "-" + std::string(name);
}

std::string ContentAnswer(std::string_view text) {
  return text.empty() ? "<root/>" : "<root>" + XmlText(text) + "</root>";
}

std::string FieldAnswer(std::string_view text) {
  return text.empty() ? "<root><field/></root>" : "<root><field>" + XmlText(text) + "</field></root>";
}

// The texts of the elements named `name` in `answer`.
std::vector<std::string> Named(const std::string& answer, std::string_view name) {
  return PickedTexts(answer, [&](const xml::Node& node) { return node.nodeName() == name; });
}

// Runs body(i) for i in [0, n) on threads of their own, started together.
void Together(int n, const std::function<void(int)>& body) {
  std::latch start(n);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i)
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      body(i);
    });
  for (std::thread& t : threads) t.join();
}

class MultiServer : public ::testing::Test {
 protected:
  void SetUp() override {
    admin_ = UniqueName("admin");
    alice_ = UniqueName("alice");
    bob_ = UniqueName("bob");
    for (int i = 0; i < 4; ++i) lockers_.push_back(UniqueName("locker"));
    resources_ = shared_.Path() / "resource";
    fs::create_directories(resources_);
    InstanceOptions options;
    options.database = Database::Postgres;
    options.accounts = {{admin_, "pw"}, {alice_, "pw"}, {bob_, "pw"}};
    for (const std::string& locker : lockers_) options.accounts.push_back({locker, "pw"});
    options.adminUsers = admin_;
    // Wrong passwords are held back after three, for long enough to see it.
    options.serviceDwords = {{"SignInFailureLimit", 3}, {"SignInDelaySeconds", 60}, {"SignInDelayMaxSeconds", 60}};
    options.resourceUrl = "http://127.0.0.1/QuorService/resource";
    options.resourceDir = resources_.string();
    for (auto& server : servers_) {
      server = std::make_unique<ServerInstance>();
      server->Start(options);
      if (HasFatalFailure() || IsSkipped()) return;
    }
  }

  void TearDown() override {
    for (auto& client : clients_) client->EndSession();
    clients_.clear();
    for (auto& server : servers_) {
      if (!server || !server->Started()) continue;
      EXPECT_EQ(server->Stop(), 0) << "quor-server did not stop cleanly:\n" << server->Stderr();
    }
    // The tables are shared with other tests: this test's rows go (the log's
    // and the share fields' with the instances).
    if (servers_[0] && !servers_[0]->Odbc().empty()) {
      for (const std::string& user : {alice_, bob_}) {
        Psql("DELETE FROM QUORVESK WHERE VOUSER = :'u'", user);
        Psql("DELETE FROM QUORVESKRES WHERE NAME LIKE :'u' || '-%'", user);
      }
    }
    // Later instances first: each gives QUOR_REGISTRY back as it found it.
    servers_[1].reset();
    servers_[0].reset();
  }

  // A client of `user` signed in to server `s`, ended with the test.
  CVeltService& Client(int s, const std::string& user) {
    auto client = servers_[s]->SignIn(user, "pw");
    if (!client) {
      ADD_FAILURE() << "no sign-in of " << user << " on server " << s;
      client = std::make_unique<CVeltService>();
    }
    clients_.push_back(std::move(client));
    return *clients_.back();
  }

  // The rows of a query run by psql on the repository, `user` bound to :'u',
  // each row's fields split at '|'.
  std::vector<std::vector<std::string>> Psql(const std::string& sql, const std::string& user) {
    const std::string command = "printf '%s\\n' \"" + sql + ";\" | " +
                                oledb::testing::PsqlCommand(servers_[0]->Odbc()) + " -v u='" + user + "' 2>&1";
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : text::Split(oledb::testing::Capture(command), '\n'))
      if (!line.empty()) rows.push_back(text::Split(line, '|'));
    return rows;
  }
  // name -> (rows, value) of a query answering name, count and value.
  std::map<std::string, std::pair<int, std::string>> Counted(const std::string& sql, const std::string& user) {
    std::map<std::string, std::pair<int, std::string>> counted;
    for (const auto& row : Psql(sql, user)) {
      if (row.size() != 3) {
        ADD_FAILURE() << "psql: " << row.front();
        continue;
      }
      counted[row[0]] = {std::stoi(row[1]), row[2]};
    }
    return counted;
  }

  std::string admin_, alice_, bob_;
  std::vector<std::string> lockers_;
  quor::test::TempDir shared_{"quor-e2e-multi"};
  fs::path resources_;
  std::unique_ptr<ServerInstance> servers_[kServers];
  std::vector<std::unique_ptr<CVeltService>> clients_;
};

// ---- Locks ----------------------------------------------------------------------------

TEST_F(MultiServer, ALockHasOneHolderWhicheverServerTookIt) {
  CVeltService& owner = Client(0, alice_);
  struct Target {
    std::string uri, attributes;
    HRESULT refused;
  };
  std::vector<Target> targets;
  for (const char* name : {"lock-a", "lock-b"}) {
    ASSERT_TRUE(Call(owner, "PutVOContent", {{"name", name}, {"content", "v"}}).ok);
    targets.push_back({VOUri(alice_, name), "GetVOAttribute", kVeskLocked});
  }
  const CallOutcome field = Call(owner, "PutShareField", {{"author", alice_}, {"name", "lock-f"}, {"field", "f"}});
  ASSERT_TRUE(field.ok) << field.fault;
  targets.push_back({CollabUri(alice_, "lock-f"), "GetShareFieldAttribute", kAlreadyLocked});
  for (const Target& target : targets)
    for (const std::string& locker : lockers_)
      ASSERT_TRUE(Call(owner, "PutACLEntry", {{"uri", target.uri}, {"acluser", locker}, {"accright", "r"}}).ok);

  // Held on the first server, refused on the second; free again once
  // released, whichever server releases.
  CVeltService& first = Client(0, lockers_[0]);
  CVeltService& second = Client(1, lockers_[1]);
  for (const Target& target : targets) {
    SCOPED_TRACE(target.uri);
    CallOutcome lock = Call(first, "LockVO", {{"uri", target.uri}});
    ASSERT_TRUE(lock.ok) << lock.fault;
    EXPECT_EQ(lock.decoded, kResultOk);
    EXPECT_EQ(Call(second, "LockVO", {{"uri", target.uri}}).status, target.refused);
    EXPECT_EQ(Call(second, "UnlockVO", {{"uri", target.uri}}).status, kUnlockRefused);
    EXPECT_EQ(Named(Call(second, target.attributes, {{"uri", target.uri}}).decoded, "lock_status"),
              std::vector<std::string>{lockers_[0]});
    ASSERT_EQ(Call(first, "UnlockVO", {{"uri", target.uri}}).decoded, kResultOk);
    lock = Call(second, "LockVO", {{"uri", target.uri}});
    ASSERT_TRUE(lock.ok) << lock.fault;
    EXPECT_EQ(Call(first, "LockVO", {{"uri", target.uri}}).status, target.refused);
    ASSERT_EQ(Call(second, "UnlockVO", {{"uri", target.uri}}).decoded, kResultOk);
  }

  // Four users, two on each server, race for the three objects. Whoever got
  // a lock checks on the other server that the row names it, and that no
  // other client got it, until just before the release.
  const int lockers = static_cast<int>(lockers_.size());
  std::vector<CVeltService*> own, peer;
  for (int i = 0; i < lockers; ++i) {
    own.push_back(&Client(i % kServers, lockers_[i]));
    peer.push_back(&Client((i + 1) % kServers, lockers_[i]));
  }
  std::vector<std::atomic<int>> holders(targets.size());
  for (auto& holder : holders) holder = -1;
  std::atomic<int> overlaps{0}, taken{0}, refused{0};
  std::vector<int> takenBy(lockers, 0);
  const Clock::time_point deadline = Clock::now() + kRace;
  Together(lockers, [&](int i) {
    for (size_t k = static_cast<size_t>(i); Clock::now() < deadline; ++k) {
      const size_t t = k % targets.size();
      const Target& target = targets[t];
      const CallOutcome lock = Call(*own[i], "LockVO", {{"uri", target.uri}});
      if (!lock.ok) {
        EXPECT_EQ(lock.status, target.refused) << lock.fault;
        ++refused;
        continue;
      }
      EXPECT_EQ(lock.decoded, kResultOk);
      int none = -1;
      const bool alone = holders[t].compare_exchange_strong(none, i);
      if (!alone) ++overlaps;
      const CallOutcome seen = Call(*peer[i], target.attributes, {{"uri", target.uri}});
      EXPECT_EQ(Named(seen.decoded, "lock_status"), std::vector<std::string>{lockers_[i]}) << seen.fault;
      if (alone) holders[t] = -1;
      const CallOutcome unlock = Call(*own[i], "UnlockVO", {{"uri", target.uri}});
      EXPECT_EQ(unlock.decoded, kResultOk) << unlock.fault;
      ++taken;
      ++takenBy[i];
    }
  });
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GT(refused.load(), 0) << "the lockers never met";
  for (int i = 0; i < lockers; ++i) EXPECT_GT(takenBy[i], 0) << lockers_[i];
  for (const auto& [uri, rows] :
       Counted("SELECT VOURI, COUNT(*), MIN(LOCK_STATUS) FROM QUORVESK WHERE VOUSER = :'u' GROUP BY VOURI UNION ALL "
               "SELECT VOURI, COUNT(*), MIN(LOCK_STATUS) FROM QUORCOLLAB WHERE AUTHOR = :'u' GROUP BY VOURI",
               alice_))
    EXPECT_EQ(rows, std::make_pair(1, std::string("0"))) << uri;
}

TEST_F(MultiServer, WritesStayHeldBackByALockTakenOnTheOtherServer) {
  CVeltService& setup = Client(0, alice_);
  const std::string object = VOUri(alice_, "guarded");
  const std::string field = CollabUri(alice_, "guarded");
  ASSERT_TRUE(Call(setup, "PutVOContent", {{"name", "guarded"}, {"content", "start"}}).ok);
  ASSERT_TRUE(Call(setup, "PutShareField", {{"author", alice_}, {"name", "guarded"}, {"field", "start"}}).ok);
  for (const std::string& uri : {object, field})
    ASSERT_TRUE(Call(setup, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "rw"}}).ok);

  // alice holds each lock on the first server and reads the value twice, on
  // both servers: nothing may change it in between. bob writes long values
  // on the second server all the while, so that his check and his write lie
  // apart.
  struct Target {
    std::string uri, update, read;
  };
  const Target targets[] = {{object, "UpdateVOContentbyURI", "GetVOContentbyURI"},
                            {field, "UpdateShareField", "GetShareField"}};
  const std::string update[] = {"content", "field"};
  constexpr int kWriters = 2;
  std::vector<CVeltService*> holder, holderPeer, writers;
  for (int t = 0; t < 2; ++t) {
    holder.push_back(&Client(0, alice_));
    holderPeer.push_back(&Client(1, alice_));
    for (int w = 0; w < kWriters; ++w) writers.push_back(&Client(1, bob_));
  }
  std::atomic<int> changed{0}, held{0}, written{0}, heldBack{0};
  const std::string filler(256 * 1024, 'x');
  const Clock::time_point deadline = Clock::now() + kRace;
  Together(2 + 2 * kWriters, [&](int i) {
    if (i < 2) {
      const Target& target = targets[i];
      while (Clock::now() < deadline) {
        const CallOutcome lock = Call(*holder[i], "LockVO", {{"uri", target.uri}});
        ASSERT_TRUE(lock.ok) << lock.fault;
        const CallOutcome before = Call(*holder[i], target.read, {{"uri", target.uri}});
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const CallOutcome after = Call(*holderPeer[i], target.read, {{"uri", target.uri}});
        EXPECT_TRUE(before.ok && after.ok) << before.fault << after.fault;
        if (before.decoded != after.decoded) ++changed;
        ++held;
        ASSERT_EQ(Call(*holder[i], "UnlockVO", {{"uri", target.uri}}).decoded, kResultOk);
      }
      return;
    }
    const int t = (i - 2) / kWriters;
    const Target& target = targets[t];
    for (int k = 0; Clock::now() < deadline; ++k) {
      const std::string value = "bob " + std::to_string(i) + "-" + std::to_string(k) + " " + filler;
      const CallOutcome write = Call(*writers[i - 2], target.update, {{"uri", target.uri}, {update[t], value}});
      if (write.ok) {
        ++written;
      } else {
        EXPECT_EQ(write.status, kLockedByOther) << write.fault;
        ++heldBack;
      }
    }
  });
  EXPECT_EQ(changed.load(), 0) << "of " << held.load() << " locks held";
  EXPECT_GT(written.load(), 0);
  EXPECT_GT(heldBack.load(), 0);
}

// ---- ACL edits ------------------------------------------------------------------------

TEST_F(MultiServer, AclEntriesAddedOnBothServersAreAllKept) {
  CVeltService& setup = Client(0, alice_);
  ASSERT_TRUE(Call(setup, "PutVOContent", {{"name", "shared-acl"}, {"content", "v"}}).ok);
  ASSERT_TRUE(Call(setup, "PutShareField", {{"author", alice_}, {"name", "shared-acl"}, {"field", "f"}}).ok);
  const std::string uris[] = {VOUri(alice_, "shared-acl"), CollabUri(alice_, "shared-acl")};
  std::vector<CVeltService*> editors;
  for (int i = 0; i < kClients; ++i) editors.push_back(&Client(i % kServers, alice_));
  constexpr int kEntries = 12;
  Together(kClients, [&](int i) {
    for (int k = 0; k < kEntries; ++k)
      for (const std::string& uri : uris) {
        const std::string who = "entry-" + std::to_string(i) + "-" + std::to_string(k);
        const CallOutcome put = Call(*editors[i], "PutACLEntry", {{"uri", uri}, {"acluser", who}, {"accright", "r"}});
        EXPECT_EQ(put.decoded, kResultOk) << put.fault;
      }
  });
  for (const std::string& uri : uris) {
    for (int s = 0; s < kServers; ++s) {
      const CallOutcome acl = Call(*editors[s], "GetACL", {{"uri", uri}});
      ASSERT_TRUE(acl.ok) << acl.fault;
      const std::vector<std::string> users = Named(acl.decoded, "user");
      const std::set<std::string> unique(users.begin(), users.end());
      EXPECT_EQ(users.size(), unique.size()) << uri;
      EXPECT_EQ(users.size(), static_cast<size_t>(2 + kClients * kEntries)) << uri << " on server " << s;
    }
  }
}

// ---- Names raced into existence --------------------------------------------------------

TEST_F(MultiServer, PutsOfOneNameFromBothServersMakeOneRow) {
  std::vector<CVeltService*> putters, readers;
  for (int i = 0; i < kClients; ++i) {
    putters.push_back(&Client(i % kServers, alice_));
    readers.push_back(&Client((i + 1) % kServers, alice_));
  }
  constexpr int kRounds = 12;
  std::map<std::string, std::set<std::string>> contentWritten;  // name -> values acknowledged
  std::map<std::string, std::string> fieldMade;                  // name -> the creator's value
  std::mutex mutex;
  for (int round = 0; round < kRounds; ++round) {
    const std::string name = "race-" + std::to_string(round);
    const std::string uri = CollabUri(alice_, name);
    std::vector<std::string> values;
    for (int i = 0; i < kClients; ++i) values.push_back("r" + std::to_string(round) + " c" + std::to_string(i) + " '<&>\"");
    std::atomic<int> created{0}, queued{0};
    // Each kind of put races on its own, all clients starting together.
    Together(kClients, [&](int i) {
      // Content: every put is acknowledged...
      const CallOutcome put = Call(*putters[i], "PutVOContent", {{"name", name}, {"content", values[i]}});
      EXPECT_EQ(put.decoded, kResultOk) << put.fault;
      std::lock_guard lock(mutex);
      if (put.ok) contentWritten[name].insert(values[i]);
    });
    Together(kClients, [&](int i) {
      // ...and read back from the other server as one of the values put.
      const CallOutcome read = Call(*readers[i], "GetVOContent", {{"name", name}});
      bool known = false;
      for (const std::string& value : values) known = known || read.decoded == ContentAnswer(value);
      EXPECT_TRUE(known) << read.decoded << read.fault;
    });
    Together(kClients, [&](int i) {
      // A share field: one creator; every other put is queued for the resume
      // queue, as on one server, never refused.
      const CallOutcome field =
          Call(*putters[i], "PutShareField", {{"author", alice_}, {"name", name}, {"field", values[i]}});
      if (field.decoded == "<root><resultCode>0</resultCode><uri>" + XmlText(uri) + "</uri></root>") {
        ++created;
        std::lock_guard lock(mutex);
        fieldMade[name] = values[i];
      } else if (field.decoded.starts_with("<root><resultCode>1</resultCode><resumeID>")) {
        ++queued;
      } else {
        ADD_FAILURE() << "PutShareField: " << field.decoded << field.fault;
      }
    });
    Together(kClients, [&](int i) {
      // A resource: one row, whoever made it.
      const CallOutcome resource = Call(*putters[i], "PutVOResource", {{"name", alice_ + "-" + name}});
      EXPECT_TRUE(resource.ok) << resource.fault;
    });
    EXPECT_EQ(created.load(), 1) << name;
    EXPECT_EQ(queued.load(), kClients - 1) << name;
    // Both servers read the same last value: the creator's field, and one
    // of the contents put.
    for (int s = 0; s < kServers; ++s) {
      const CallOutcome content = Call(*putters[s], "GetVOContent", {{"name", name}});
      EXPECT_EQ(content.decoded, Call(*readers[s], "GetVOContent", {{"name", name}}).decoded);
      EXPECT_EQ(Call(*putters[s], "GetShareField", {{"uri", uri}}).decoded, FieldAnswer(fieldMade[name])) << name;
    }
  }

  // In the database: one row per name, holding one of the values put.
  const auto contents = Counted(
      "SELECT NAME, COUNT(*), MIN(CONTENT) FROM QUORVESK WHERE VOUSER = :'u' GROUP BY NAME", alice_);
  const auto fields = Counted(
      "SELECT NAME, COUNT(*), MIN(FIELD) FROM QUORCOLLAB WHERE AUTHOR = :'u' GROUP BY NAME", alice_);
  const auto resources = Counted(
      "SELECT NAME, COUNT(*), MIN(VORESOURCEURL) FROM QUORVESKRES WHERE NAME LIKE :'u' || '-%' GROUP BY NAME",
      alice_);
  EXPECT_EQ(contents.size(), static_cast<size_t>(kRounds));
  EXPECT_EQ(fields.size(), static_cast<size_t>(kRounds));
  EXPECT_EQ(resources.size(), static_cast<size_t>(kRounds));
  for (int round = 0; round < kRounds; ++round) {
    const std::string name = "race-" + std::to_string(round);
    const auto content = contents.find(name);
    ASSERT_NE(content, contents.end()) << name;
    EXPECT_EQ(content->second.first, 1) << name;
    EXPECT_TRUE(contentWritten[name].contains(content->second.second)) << name << ": " << content->second.second;
    const auto made = fields.find(name);
    ASSERT_NE(made, fields.end()) << name;
    EXPECT_EQ(made->second, std::make_pair(1, fieldMade[name])) << name;
    const auto resource = resources.find(alice_ + "-" + name);
    ASSERT_NE(resource, resources.end()) << name;
    EXPECT_EQ(resource->second.first, 1) << name;
  }
}

TEST_F(MultiServer, EveryAcknowledgedWriteIsReadBackFromEitherServer) {
  std::vector<CVeltService*> writers, readers;
  for (int i = 0; i < kClients; ++i) {
    writers.push_back(&Client(i % kServers, alice_));
    readers.push_back(&Client((i + 1) % kServers, alice_));
  }
  const std::string shared = CollabUri(alice_, "shared");
  ASSERT_TRUE(Call(*writers[0], "PutShareField", {{"author", alice_}, {"name", "shared"}, {"field", "start"}}).ok);
  std::set<std::string> sharedWritten{"start"}, contentWritten;
  std::mutex mutex;
  std::vector<std::string> lastOwn(kClients);
  const Clock::time_point deadline = Clock::now() + kRace;
  Together(kClients, [&](int i) {
    const std::string own = "own-" + std::to_string(i);
    for (int k = 0; Clock::now() < deadline; ++k) {
      const std::string value = "c" + std::to_string(i) + "-" + std::to_string(k) + " <'&\">";
      {
        std::lock_guard lock(mutex);
        sharedWritten.insert(value);
        contentWritten.insert(value);
      }
      // Its own object: the other server reads exactly what was put.
      CallOutcome put = Call(*writers[i], "PutVOContent", {{"name", own}, {"content", value}});
      ASSERT_EQ(put.decoded, kResultOk) << put.fault;
      lastOwn[i] = value;
      EXPECT_EQ(Call(*readers[i], "GetVOContent", {{"name", own}}).decoded, ContentAnswer(value));
      // The object and the share field everyone writes: a value written.
      put = Call(*writers[i], "PutVOContent", {{"name", "shared"}, {"content", value}});
      EXPECT_EQ(put.decoded, kResultOk) << put.fault;
      const CallOutcome update = Call(*writers[i], "UpdateShareField", {{"uri", shared}, {"field", value}});
      EXPECT_TRUE(update.ok) << update.fault;
      const CallOutcome content = Call(*readers[i], "GetVOContent", {{"name", "shared"}});
      const CallOutcome field = Call(*readers[i], "GetShareField", {{"uri", shared}});
      const std::optional<std::string> fieldText = OnlyChildText(field.decoded, "field");
      std::lock_guard lock(mutex);
      bool known = false;
      for (const std::string& written : contentWritten) known = known || content.decoded == ContentAnswer(written);
      EXPECT_TRUE(known) << content.decoded << content.fault;
      EXPECT_TRUE(fieldText && sharedWritten.contains(*fieldText)) << field.decoded << field.fault;
    }
  });
  const auto contents =
      Counted("SELECT NAME, COUNT(*), MIN(CONTENT) FROM QUORVESK WHERE VOUSER = :'u' GROUP BY NAME", alice_);
  EXPECT_EQ(contents.size(), static_cast<size_t>(kClients + 1));
  for (int i = 0; i < kClients; ++i)
    EXPECT_EQ(contents.at("own-" + std::to_string(i)), std::make_pair(1, lastOwn[i]));
  ASSERT_TRUE(contents.contains("shared"));
  EXPECT_EQ(contents.at("shared").first, 1);
  EXPECT_TRUE(contentWritten.contains(contents.at("shared").second));
  const auto fields =
      Counted("SELECT VOURI, COUNT(*), MIN(FIELD) FROM QUORCOLLAB WHERE AUTHOR = :'u' GROUP BY VOURI", alice_);
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields.begin()->second.first, 1);
  EXPECT_TRUE(sharedWritten.contains(fields.begin()->second.second));
}

// ---- Sessions -------------------------------------------------------------------------

TEST_F(MultiServer, ASessionIsKnownOnlyToTheServerThatOpenedIt) {
  CVeltService& client = Client(0, bob_);
  ASSERT_TRUE(Call(client, "GetLogCount").ok);
  // The same signed request, sent to the other server.
  soap::HttpClient http;
  const Result<soap::HttpReply> reply = http.Post(servers_[1]->CoreUrl(), client.LastEnvelope());
  ASSERT_EQ(reply.status().code(), S_OK);
  const Result<soap::Answer> answer = soap::ParseAnswer(reply->body);
  ASSERT_EQ(answer.status().code(), S_OK) << answer.status().message();
  EXPECT_TRUE(answer->isFault);
  EXPECT_EQ(answer->fault.status, static_cast<HRESULT>(0x81000078));
  // Its own server goes on serving it.
  const CallOutcome again = Call(client, "GetLogCount");
  EXPECT_TRUE(again.ok) << again.fault;
}

// ---- The operation log ----------------------------------------------------------------

TEST_F(MultiServer, EveryAcknowledgedLogRowIsThereOnce) {
  std::vector<CVeltService*> writers;
  for (int i = 0; i < kClients; ++i) writers.push_back(&Client(i % kServers, bob_));
  constexpr int kRows = 25;
  std::set<std::string> acknowledged;
  std::mutex mutex;
  Together(kClients, [&](int i) {
    for (int k = 0; k < kRows; ++k) {
      const std::string text = "log " + std::to_string(i) + "-" + std::to_string(k);
      const CallOutcome put = Call(*writers[i], "PutLog", {{"log", text}});
      EXPECT_EQ(put.decoded, kResultOk) << put.fault;
      std::lock_guard lock(mutex);
      if (put.ok) acknowledged.insert(text);
    }
  });
  EXPECT_EQ(acknowledged.size(), static_cast<size_t>(kClients * kRows));
  const auto rows = Counted(
      "SELECT LOGDESCRIPTION, COUNT(*), COUNT(DISTINCT LOGID) FROM QUORLOG WHERE OPUSER = :'u' AND "
      "LOGCATALOG = 'application' GROUP BY LOGDESCRIPTION",
      bob_);
  EXPECT_EQ(rows.size(), acknowledged.size());
  for (const std::string& text : acknowledged) {
    const auto row = rows.find(text);
    ASSERT_NE(row, rows.end()) << text;
    EXPECT_EQ(row->second, std::make_pair(1, std::string("1"))) << text;
  }
}

// ---- Sharing and the resume queue ------------------------------------------------------

// The entries of a resume list answer.
std::vector<std::string> ResumeIds(const std::string& answer) { return Named(answer, "resumeID"); }

TEST_F(MultiServer, SharingStartedOnOneServerHoldsOnTheOther) {
  const std::string uri = CollabUri(alice_, "meeting");
  CVeltService& ownerA = Client(0, alice_);
  CVeltService& ownerB = Client(1, alice_);
  CVeltService& bobB = Client(1, bob_);
  ASSERT_TRUE(Call(ownerA, "PutShareField", {{"author", alice_}, {"name", "meeting"}, {"field", "agenda"}}).ok);
  ASSERT_TRUE(Call(ownerA, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "rwd"}}).ok);
  ASSERT_TRUE(Call(ownerA, "StartSharing", {{"ipaddress", "10.1.2.3"}, {"uri", uri}}).ok);
  ASSERT_EQ(Call(ownerA, "AddAttendee", {{"uri", uri}, {"attendee", bob_}}).decoded, kResultOk);

  // The other server refuses what the first one would.
  EXPECT_EQ(Call(bobB, "UpdateShareField", {{"uri", uri}, {"field", "bob's"}}).status, kActive);
  EXPECT_EQ(Call(ownerB, "RemoveShareField", {{"uri", uri}}).status, kActive);
  EXPECT_EQ(Call(bobB, "LockVO", {{"uri", uri}}).status, kActive);
  EXPECT_EQ(Call(ownerB, "StartSharing", {{"ipaddress", "10.9.9.9"}, {"uri", uri}}).status, kActive);
  EXPECT_EQ(Named(Call(bobB, "GetAttendeesList", {{"uri", uri}}).decoded, "attendee"),
            (std::vector<std::string>{alice_, bob_}));
  const std::string attributes = Call(bobB, "GetShareFieldAttribute", {{"uri", uri}}).decoded;
  EXPECT_EQ(Named(attributes, "ipaddress"), std::vector<std::string>{"10.1.2.3"}) << attributes;
  EXPECT_EQ(Named(attributes, "active"), std::vector<std::string>{"true"}) << attributes;
  EXPECT_EQ(Call(bobB, "AddAttendee", {{"uri", uri}, {"attendee", bob_}}).status, kOwnerOnly);

  // The owner carries on through the other server: attendees, saves, the end.
  EXPECT_EQ(Call(ownerB, "AddAttendee", {{"uri", uri}, {"attendee", bob_}}).status, kAlreadyAttendee);
  ASSERT_EQ(Call(ownerB, "DeleteAttendee", {{"uri", uri}, {"attendee", bob_}}).decoded, kResultOk);
  EXPECT_EQ(Named(Call(ownerA, "GetAttendeesList", {{"uri", uri}}).decoded, "attendee"),
            std::vector<std::string>{alice_});
  ASSERT_TRUE(Call(ownerB, "SaveSharing", {{"uri", uri}, {"field", "minutes"}}).ok);
  EXPECT_EQ(Named(Call(bobB, "GetShareField", {{"uri", uri}}).decoded, "field"), std::vector<std::string>{"minutes"});
  ASSERT_EQ(Call(ownerB, "EndSharing", {{"uri", uri}}).decoded, kResultOk);
  EXPECT_EQ(Call(ownerA, "GetAttendeesList", {{"uri", uri}}).status, kNotActive);
  EXPECT_TRUE(Call(bobB, "UpdateShareField", {{"uri", uri}, {"field", "bob's"}}).ok);
}

TEST_F(MultiServer, ASharingOfAKilledServerEndsWithItsLease) {
  const std::string uri = CollabUri(alice_, "crashed");
  {
    CVeltService& ownerA = Client(0, alice_);
    ASSERT_TRUE(Call(ownerA, "PutShareField", {{"author", alice_}, {"name", "crashed"}, {"field", "v"}}).ok);
    ASSERT_TRUE(Call(ownerA, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "rw"}}).ok);
    ASSERT_TRUE(Call(ownerA, "StartSharing", {{"ipaddress", "10.1.2.3"}, {"uri", uri}}).ok);
  }
  CVeltService& bobB = Client(1, bob_);
  ASSERT_EQ(Call(bobB, "UpdateShareField", {{"uri", uri}, {"field", "early"}}).status, kActive);
  const Clock::time_point killed = Clock::now();
  servers_[0]->Kill();
  // Gone within the lease (5 s) and a renewal or two of the survivor.
  CallOutcome update;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    update = Call(bobB, "UpdateShareField", {{"uri", uri}, {"field", "after"}});
  } while (!update.ok && update.status == kActive && Clock::now() - killed < std::chrono::seconds(20));
  EXPECT_TRUE(update.ok) << update.fault;
  EXPECT_LT(Clock::now() - killed, std::chrono::seconds(12));
  EXPECT_GT(Clock::now() - killed, std::chrono::seconds(3)) << "an entry lasts its lease, not less";
  EXPECT_EQ(Call(bobB, "GetAttendeesList", {{"uri", uri}}).status, kNotActive);
  ASSERT_NO_FATAL_FAILURE(servers_[0]->Relaunch());
  // The restarted server knows no sharing of its earlier run either.
  CVeltService& ownerA = Client(0, alice_);
  EXPECT_EQ(Call(ownerA, "EndSharing", {{"uri", uri}}).status, kNotActive);
  EXPECT_EQ(Psql("SELECT COUNT(*) FROM QUORSHARING WHERE VOURI = :'u'", uri), (std::vector<std::vector<std::string>>{{"0"}}));
}

TEST_F(MultiServer, AResumeIdIsSettledThroughEitherServerAndNeverReused) {
  const std::string uri = CollabUri(alice_, "draft");
  CVeltService& aliceA = Client(0, alice_);
  CVeltService& aliceB = Client(1, alice_);
  CVeltService& bobB = Client(1, bob_);
  ASSERT_TRUE(Call(aliceA, "PutShareField", {{"author", alice_}, {"name", "draft"}, {"field", "v1"}}).ok);
  const auto queue = [&](CVeltService& client, const std::string& field) {
    const CallOutcome put = Call(client, "PutShareField", {{"author", alice_}, {"name", "draft"}, {"field", field}});
    const std::vector<std::string> ids = ResumeIds(put.decoded);
    EXPECT_EQ(ids.size(), 1u) << put.decoded << put.fault;
    return ids.empty() ? std::string() : ids[0];
  };
  const std::string first = queue(aliceA, "v2");
  const std::string second = queue(aliceB, "v3");
  EXPECT_NE(first, second);
  EXPECT_EQ(ResumeIds(Call(aliceB, "GetResumeIDList", {{"name", "draft"}}).decoded),
            (std::vector<std::string>{first, second}));

  // Each applies its own put, through whichever server; only for its user.
  EXPECT_EQ(Call(bobB, "ResumeServiceProcess", {{"resumeID", first}, {"flag", "TRUE"}}).status, kResumeUnknown);
  ASSERT_EQ(Call(aliceB, "ResumeServiceProcess", {{"resumeID", first}, {"flag", "TRUE"}}).decoded, kResultOk);
  EXPECT_EQ(Named(Call(aliceA, "GetShareField", {{"uri", uri}}).decoded, "field"), std::vector<std::string>{"v2"});
  EXPECT_EQ(Call(aliceA, "ResumeServiceProcess", {{"resumeID", first}, {"flag", "TRUE"}}).status, kResumeUnknown)
      << "settled once";
  ASSERT_EQ(Call(aliceA, "ResumeServiceProcess", {{"resumeID", second}, {"flag", "TRUE"}}).decoded, kResultOk);
  EXPECT_EQ(Named(Call(aliceB, "GetShareField", {{"uri", uri}}).decoded, "field"), std::vector<std::string>{"v3"});

  // An entry ends with the server that made it; after its restart, the old
  // ID names nothing, though the new server queues new entries.
  const std::string pending = queue(aliceA, "v4");
  ASSERT_NO_FATAL_FAILURE(servers_[0]->Restart());
  CVeltService& again = Client(0, alice_);
  std::vector<std::string> later;
  for (int i = 0; i < 3; ++i) later.push_back(queue(again, "v5"));
  for (const std::string& id : later) {
    EXPECT_NE(id, pending);
    EXPECT_NE(id, first);
    EXPECT_NE(id, second);
  }
  for (CVeltService* client : {&again, &aliceB})
    EXPECT_EQ(Call(*client, "ResumeServiceProcess", {{"resumeID", pending}, {"flag", "TRUE"}}).status, kResumeUnknown);
  EXPECT_EQ(Named(Call(aliceB, "GetShareField", {{"uri", uri}}).decoded, "field"), std::vector<std::string>{"v3"});
  EXPECT_EQ(ResumeIds(Call(aliceB, "GetResumeIDList", {{"name", "draft"}}).decoded), later);
}

TEST_F(MultiServer, TheSignInLimitHoldsAcrossBothServers) {
  // Two wrong passwords through the first server and one through the
  // second: neither saw three, the service did.
  const auto signsIn = [&](int s, const std::string& user, const std::string& password) {
    CVeltService client;
    const bool in = client.Connect(servers_[s]->CoreUrl(), user, password) == 0;
    if (in) client.EndSession();
    return in;
  };
  ASSERT_FALSE(signsIn(0, alice_, "wrong-1"));
  ASSERT_FALSE(signsIn(0, alice_, "wrong-2"));
  ASSERT_FALSE(signsIn(1, alice_, "wrong-3"));
  EXPECT_FALSE(signsIn(0, alice_, "pw")) << "held back on the first server";
  EXPECT_FALSE(signsIn(1, alice_, "pw")) << "and on the second";
  // Another principal at the same address is not held back.
  EXPECT_TRUE(signsIn(0, bob_, "pw"));
  EXPECT_TRUE(signsIn(1, bob_, "pw"));
  const std::string events = servers_[1]->Events();
  EXPECT_NE(events.find("Sign-ins held back on every server of the repository after 3 failed attempts for the "
                        "principal: principal \"" + alice_ + "\""),
            std::string::npos)
      << events;
  Psql("DELETE FROM QUORSIGNIN WHERE SIGNINKEY = 'p:' || lower(:'u') || '@'", alice_);
}

}  // namespace
}  // namespace quor::admin::testing
