// Many clients at once for a few seconds: eight editors each on a field of
// their own and eight on one shared field (which they also race to create).
// Afterwards every field holds a value written to it, no URN has two rows,
// and the detailed log holds a begin row and an outcome row for every call.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

using namespace collab;
using Clock = std::chrono::steady_clock;

class CollabConcurrency : public CollabRoad {
 protected:
  // What the editors did, as the log should show it: (operation, target).
  void Record(std::string op, std::string target) {
    std::lock_guard lock(mutex_);
    calls_[{std::move(op), std::move(target)}] += 1;
  }
  // The first few failures of the editor threads, reported from the main thread.
  void Failed(std::string what) {
    std::lock_guard lock(mutex_);
    if (++failures_ <= 10) failureTexts_.push_back(std::move(what));
  }

  std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, int> calls_;
  int failures_ = 0;
  std::vector<std::string> failureTexts_;
};

TEST_P(CollabConcurrency, EditorsOnTheirOwnAndOnOneSharedField) {
  InstanceOptions options;
  options.logLevel = "Detail";
  QUOR_START_COLLAB(options);
  constexpr int kOwn = 8, kShared = 8;
  const auto duration = std::chrono::seconds(3);

  std::vector<std::string> own;
  for (int i = 0; i < kOwn; ++i) {
    own.push_back(PutNew(*alice, alice_, "own-" + std::to_string(i), "start"));
    Record("PutShareField", "own-" + std::to_string(i));
  }
  const std::string same = PutNew(*alice, alice_, "same", "start");
  Record("PutShareField", "same");
  const std::string race = CollabUri(alice_, "race");
  ASSERT_FALSE(same.empty());

  std::vector<std::unique_ptr<CVeltService>> clients;
  for (int i = 0; i < kOwn + kShared; ++i) {
    clients.push_back(instance_->SignIn(alice_, "alice-pw"));
    ASSERT_TRUE(clients.back());
  }

  std::set<std::string> sameWritten = {"start"};  // under mutex_
  std::vector<std::string> lastOwn(kOwn);
  std::vector<int> callsPerClient(kOwn + kShared, 0);
  std::atomic<int> raceCreated{0}, raceQueued{0};
  std::atomic<int> waiting{kOwn + kShared};
  Clock::time_point deadline;
  // Under a sanitizer on a busy machine the writers' turns can use up the
  // time: each client still makes its third call, unless it waits past this.
  Clock::time_point starved;
  const auto more = [&](int calls) { return Clock::now() < deadline || (calls <= 2 && Clock::now() < starved); };
  std::atomic<bool> go{false};

  const auto ownEditor = [&](int i) {
    CVeltService& client = *clients[i];
    const std::string& uri = own[i];
    std::string last = "start";
    --waiting;
    while (!go) std::this_thread::yield();
    for (int k = 0; more(callsPerClient[i]); ++k) {
      const std::string value = "own " + std::to_string(i) + "-" + std::to_string(k) + " <'\"&>";
      const CallOutcome update = Call(client, "UpdateShareField", {{"uri", uri}, {"field", value}});
      Record("UpdateShareField", uri);
      ++callsPerClient[i];
      if (!update.ok) {
        Failed("UpdateShareField " + uri + ": " + update.fault);
        continue;
      }
      last = value;
      if (k % 3 == 2) {
        const CallOutcome read = Call(client, "GetShareField", {{"uri", uri}});
        Record("GetShareField", uri);
        ++callsPerClient[i];
        // Nobody else writes this field: it holds this editor's last value.
        if (!read.ok || read.decoded != FieldAnswer(last)) Failed("own read " + read.decoded + read.fault);
      }
    }
    lastOwn[i] = last;
  };

  const auto sharedEditor = [&](int j) {
    CVeltService& client = *clients[kOwn + j];
    int& calls = callsPerClient[kOwn + j];
    --waiting;
    while (!go) std::this_thread::yield();
    // All of them create the same field at once: one row, one creator.
    const CallOutcome put =
        Call(client, "PutShareField", {{"author", alice_}, {"name", "race"}, {"field", "race " + std::to_string(j)}});
    Record("PutShareField", "race");
    ++calls;
    if (put.ok && put.decoded.starts_with("<root><resultCode>0</resultCode>")) {
      ++raceCreated;
    } else if ((put.ok && put.decoded.starts_with("<root><resultCode>1</resultCode><resumeID>")) ||
               put.status == kAlreadyExisting) {
      ++raceQueued;
    } else {
      Failed("race put: " + put.decoded + put.fault);
    }
    for (int k = 0; more(calls); ++k) {
      const std::string value = "same " + std::to_string(j) + "-" + std::to_string(k) + " '\"<&>";
      {
        std::lock_guard lock(mutex_);
        sameWritten.insert(value);
      }
      const CallOutcome update = Call(client, "UpdateShareField", {{"uri", same}, {"field", value}});
      Record("UpdateShareField", same);
      ++calls;
      if (!update.ok) Failed("UpdateShareField same: " + update.fault);
      if (k % 3 == 1) {
        const CallOutcome read = Call(client, "GetShareField", {{"uri", same}});
        Record("GetShareField", same);
        ++calls;
        const std::optional<std::string> text = read.ok ? OnlyChildText(read.decoded, "field") : std::nullopt;
        std::lock_guard lock(mutex_);
        if (!text || !sameWritten.contains(*text)) {
          if (++failures_ <= 10) failureTexts_.push_back("same read " + read.decoded + read.fault);
        }
      }
      if (k % 5 == 4) {
        // A put over the existing field is queued, never a second row.
        const CallOutcome again =
            Call(client, "PutShareField", {{"author", alice_}, {"name", "same"}, {"field", value}});
        Record("PutShareField", "same");
        ++calls;
        if (!again.ok || !again.decoded.starts_with("<root><resultCode>1</resultCode><resumeID>"))
          Failed("put over same: " + again.decoded + again.fault);
      }
    }
  };

  std::vector<std::thread> threads;
  for (int i = 0; i < kOwn; ++i) threads.emplace_back(ownEditor, i);
  for (int j = 0; j < kShared; ++j) threads.emplace_back(sharedEditor, j);
  while (waiting > 0) std::this_thread::yield();
  deadline = Clock::now() + duration;
  starved = deadline + std::chrono::seconds(60);
  go = true;
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(failures_, 0);
  for (const std::string& text : failureTexts_) ADD_FAILURE() << text;
  for (size_t i = 0; i < callsPerClient.size(); ++i) EXPECT_GT(callsPerClient[i], 2) << "client " << i;
  EXPECT_EQ(raceCreated.load(), 1);
  EXPECT_EQ(raceQueued.load(), kShared - 1);
  EXPECT_TRUE(instance_->Running());

  // One row per URN, each holding a value written to it.
  const std::vector<CollabRow> rows = instance_->CollabRows(alice_);
  std::map<std::string, std::vector<CollabRow>> byUri;
  for (const CollabRow& row : rows) byUri[row.uri].push_back(row);
  EXPECT_EQ(rows.size(), static_cast<size_t>(kOwn + 2));
  EXPECT_EQ(byUri.size(), static_cast<size_t>(kOwn + 2));
  for (const auto& [uri, found] : byUri) EXPECT_EQ(found.size(), 1u) << uri;
  for (int i = 0; i < kOwn; ++i) {
    ASSERT_EQ(byUri[own[i]].size(), 1u);
    EXPECT_EQ(byUri[own[i]].front().field, lastOwn[i]) << own[i];
  }
  ASSERT_EQ(byUri[same].size(), 1u);
  EXPECT_TRUE(sameWritten.contains(byUri[same].front().field)) << byUri[same].front().field;
  ASSERT_EQ(byUri[race].size(), 1u);
  EXPECT_TRUE(byUri[race].front().field.starts_with("race ")) << byUri[race].front().field;
  // The value the creator put, not one that was queued.
  CallOutcome read = Call(*alice, "GetShareField", {{"uri", race}});
  ASSERT_TRUE(read.ok) << read.fault;
  EXPECT_EQ(read.decoded, FieldAnswer(byUri[race].front().field));
  Record("GetShareField", race);

  // At the detailed level every call leaves its begin row and its outcome row,
  // with the call's target (the name for a put, the URN otherwise).
  std::map<std::pair<std::string, std::string>, int> logged;
  for (const LogRow& row : instance_->Rows(alice_)) {
    if (row.op == "PutShareField" || row.op == "UpdateShareField" || row.op == "GetShareField")
      logged[{row.op, row.target}] += 1;
  }
  std::map<std::pair<std::string, std::string>, int> expected;
  for (const auto& [call, count] : calls_) expected[call] = 2 * count;
  EXPECT_EQ(logged.size(), expected.size());
  for (const auto& [call, count] : expected)
    EXPECT_EQ(logged[call], count) << call.first << " " << call.second;
}

// The share fields being shared live in memory, reached by every request:
// owners start, manage and end sharing while others list attendees and rows.
TEST_P(CollabConcurrency, SharingFromManyClients) {
  QUOR_START_COLLAB(InstanceOptions{});
  constexpr int kOwners = 8, kReaders = 4;
  const auto duration = std::chrono::seconds(2);
  std::vector<std::string> uris;
  for (int i = 0; i < kOwners; ++i) uris.push_back(PutNew(*alice, alice_, "shared-" + std::to_string(i), "start"));
  std::vector<std::unique_ptr<CVeltService>> clients;
  for (int i = 0; i < kOwners + kReaders; ++i) {
    clients.push_back(instance_->SignIn(i < kOwners ? alice_ : bob_, i < kOwners ? "alice-pw" : "bob-pw"));
    ASSERT_TRUE(clients.back());
  }
  std::vector<std::string> saved(kOwners, "start");
  std::vector<int> rounds(kOwners + kReaders, 0);
  std::atomic<int> waiting{kOwners + kReaders};
  std::atomic<bool> go{false};
  Clock::time_point deadline;
  const auto expectOk = [&](const CallOutcome& call, const std::string& what) {
    if (!call.ok) Failed(what + ": " + call.fault);
  };

  const auto owner = [&](int i) {
    CVeltService& client = *clients[i];
    const std::string& uri = uris[i];
    --waiting;
    while (!go) std::this_thread::yield();
    for (int k = 0; Clock::now() < deadline; ++k, ++rounds[i]) {
      const CallOutcome start = Call(client, "StartSharing", {{"ipaddress", "10.0.0." + std::to_string(i)}, {"uri", uri}});
      expectOk(start, "StartSharing " + uri);
      expectOk(Call(client, "AddAttendee", {{"uri", uri}, {"attendee", admin_}}), "AddAttendee");
      const CallOutcome list = Call(client, "GetAttendeesList", {{"uri", uri}});
      if (list.decoded != "<root><attendee>" + alice_ + "</attendee><attendee>" + admin_ + "</attendee></root>")
        Failed("attendees of " + uri + ": " + list.decoded + list.fault);
      const std::string value = "saved " + std::to_string(i) + "-" + std::to_string(k);
      const CallOutcome save = Call(client, "SaveSharing", {{"uri", uri}, {"field", value}});
      expectOk(save, "SaveSharing");
      if (save.ok) saved[i] = value;
      expectOk(Call(client, "DeleteAttendee", {{"uri", uri}, {"attendee", admin_}}), "DeleteAttendee");
      expectOk(Call(client, "EndSharing", {{"uri", uri}}), "EndSharing");
    }
  };
  const auto reader = [&](int r) {
    CVeltService& client = *clients[kOwners + r];
    --waiting;
    while (!go) std::this_thread::yield();
    for (int k = 0; Clock::now() < deadline; ++k, ++rounds[kOwners + r]) {
      const CallOutcome list = Call(client, "GetAttendeesList", {{"uri", uris[k % kOwners]}});
      if (!list.ok && list.status != kNotActive) Failed("GetAttendeesList: " + list.fault);
      if (list.ok && !list.decoded.starts_with("<root><attendee>" + alice_ + "</attendee>"))
        Failed("attendees: " + list.decoded);
      expectOk(Call(client, "GetShareFieldAttribute", {{"uri", uris[k % kOwners]}}), "GetShareFieldAttribute");
      // bob is not the owner: his attempts change nothing.
      const CallOutcome end = Call(client, "EndSharing", {{"uri", uris[k % kOwners]}});
      if (end.ok || (end.status != kOwnerOnly && end.status != kNotActive)) Failed("bob's EndSharing: " + end.fault);
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kOwners; ++i) threads.emplace_back(owner, i);
  for (int r = 0; r < kReaders; ++r) threads.emplace_back(reader, r);
  while (waiting > 0) std::this_thread::yield();
  deadline = Clock::now() + duration;
  go = true;
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(failures_, 0);
  for (const std::string& text : failureTexts_) ADD_FAILURE() << text;
  for (size_t i = 0; i < rounds.size(); ++i) EXPECT_GT(rounds[i], 0) << "client " << i;
  for (int i = 0; i < kOwners; ++i) {
    EXPECT_EQ(Call(*alice, "GetAttendeesList", {{"uri", uris[i]}}).status, kNotActive) << uris[i];
    EXPECT_EQ(RowOf(uris[i]).field, saved[i]);
  }
  EXPECT_EQ(instance_->CollabRows(alice_).size(), static_cast<size_t>(kOwners));
  EXPECT_TRUE(instance_->Running());
}

INSTANTIATE_TEST_SUITE_P(Engines, CollabConcurrency, ::testing::Values(Database::Sqlite, Database::Postgres),
                         EngineName);

}  // namespace
}  // namespace quor::admin::testing
