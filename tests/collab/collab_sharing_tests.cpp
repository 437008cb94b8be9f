// Working on a share field together: sharing with attendees, the resume
// queue that settles a put over an existing field, and locks.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

using namespace collab;

const std::string kCorrupted = "There is corrupted data. If want to overwrite, resume this process.";

std::string Attendees(const std::vector<std::string>& names) {
  std::string out = "<root>";
  for (const std::string& name : names) out += "<attendee>" + XmlText(name) + "</attendee>";
  return out + "</root>";
}

class CollabSharing : public CollabRoad {
 protected:
  // A put over an existing field: the resume entry's key, "" (with a failure)
  // when the answer is not the corrupted-data answer.
  std::string PutExisting(CVeltService& client, std::string_view author, std::string_view name,
                          std::string_view field) {
    const CallOutcome put = Call(client, "PutShareField", {{"author", author}, {"name", name}, {"field", field}});
    EXPECT_TRUE(put.ok) << put.fault;
    std::smatch match;
    static const std::regex answer("<root><resultCode>1</resultCode><resumeID>(RESUME:[0-9]+)</resumeID>"
                                   "<Description>(.*)</Description></root>");
    if (!std::regex_match(put.decoded, match, answer)) {
      ADD_FAILURE() << "not the corrupted-data answer: " << put.decoded;
      return {};
    }
    EXPECT_EQ(match[2].str(), kCorrupted);
    return match[1].str();
  }
  static std::string Listed(std::string_view key, std::string_view name) {
    return "<resumelist><resumeID>" + std::string(key) + "</resumeID><method>ForcePutShareField</method><name>" +
           XmlText(name) + "</name></resumelist>";
  }
  static long Number(const std::string& key) { return std::stol(key.substr(key.find(':') + 1)); }
  // None of this test's entries listed. An empty queue answers "<root></root>";
  // over PostgreSQL the queue is every server's of the repository, other tests'
  // included, so a list without ours may also be "<root/>".
  void ExpectNoneQueued(const std::string& decoded) const {
    if (GetParam() == Database::Postgres)
      EXPECT_TRUE(decoded == "<root></root>" || decoded == "<root/>") << decoded;
    else
      EXPECT_EQ(decoded, "<root></root>");
  }
};

TEST_P(CollabSharing, OwnerSharesWithAttendees) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string uri = PutNew(*alice, alice_, "plan", "v1 <draft>");
  ASSERT_FALSE(uri.empty());
  const std::string ip = "10.1.2.3";

  // Only the owner starts sharing, and only a field that exists.
  EXPECT_EQ(Call(*bob, "StartSharing", {{"ipaddress", ip}, {"uri", uri}}).status, kOwnerOnly);
  EXPECT_EQ(Call(*admin, "StartSharing", {{"ipaddress", ip}, {"uri", uri}}).status, kOwnerOnly);
  EXPECT_EQ(Call(*alice, "StartSharing", {{"ipaddress", ip}, {"uri", CollabUri(alice_, "none")}}).status, kOwnerOnly);
  EXPECT_EQ(Call(*alice, "GetAttendeesList", {{"uri", uri}}).status, kNotActive);
  EXPECT_EQ(Call(*alice, "EndSharing", {{"uri", uri}}).status, kNotActive);

  CallOutcome start = Call(*alice, "StartSharing", {{"ipaddress", ip}, {"uri", uri}});
  ASSERT_TRUE(start.ok) << start.fault;
  EXPECT_EQ(start.decoded, FieldAnswer("v1 <draft>"));
  EXPECT_EQ(Call(*alice, "StartSharing", {{"ipaddress", ip}, {"uri", uri}}).status, kActive);
  // Anyone may see who takes part.
  CallOutcome list = Call(*bob, "GetAttendeesList", {{"uri", uri}});
  ASSERT_TRUE(list.ok) << list.fault;
  EXPECT_EQ(list.decoded, Attendees({alice_}));
  CallOutcome attribute = Call(*bob, "GetShareFieldAttribute", {{"uri", uri}});
  ASSERT_TRUE(attribute.ok) << attribute.fault;
  EXPECT_NE(attribute.decoded.find("<ipaddress>" + ip + "</ipaddress><message/><active>true</active>"),
            std::string::npos)
      << attribute.decoded;

  // Attendees are checked against the ACL as it was when sharing started.
  EXPECT_EQ(Call(*alice, "AddAttendee", {{"uri", uri}, {"attendee", bob_}}).status, kReadRightRequired);
  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "r"}}).ok);
  EXPECT_EQ(Call(*alice, "AddAttendee", {{"uri", uri}, {"attendee", bob_}}).status, kReadRightRequired);
  CallOutcome end = Call(*alice, "EndSharing", {{"uri", uri}});
  ASSERT_TRUE(end.ok) << end.fault;
  EXPECT_EQ(end.decoded, kResultOk);
  EXPECT_EQ(Call(*alice, "EndSharing", {{"uri", uri}}).status, kNotActive);
  attribute = Call(*bob, "GetShareFieldAttribute", {{"uri", uri}});
  ASSERT_TRUE(attribute.ok) << attribute.fault;
  EXPECT_NE(attribute.decoded.find("<ipaddress/><message/><active>false</active>"), std::string::npos)
      << attribute.decoded;

  ASSERT_TRUE(Call(*alice, "StartSharing", {{"ipaddress", ip}, {"uri", uri}}).ok);
  EXPECT_EQ(Call(*bob, "AddAttendee", {{"uri", uri}, {"attendee", bob_}}).status, kOwnerOnly);
  CallOutcome added = Call(*alice, "AddAttendee", {{"uri", uri}, {"attendee", bob_}});
  ASSERT_TRUE(added.ok) << added.fault;
  EXPECT_EQ(added.decoded, kResultOk);
  EXPECT_EQ(Call(*alice, "AddAttendee", {{"uri", uri}, {"attendee", bob_}}).status, kAlreadyAttendee);
  // ChangeOwner adds an attendee, exactly as AddAttendee does.
  CallOutcome changed = Call(*alice, "ChangeOwner", {{"uri", uri}, {"newowner", admin_}});
  ASSERT_TRUE(changed.ok) << changed.fault;
  EXPECT_EQ(changed.decoded, kResultOk);
  EXPECT_EQ(Call(*alice, "ChangeOwner", {{"uri", uri}, {"newowner", admin_}}).status, kAlreadyAttendee);
  list = Call(*alice, "GetAttendeesList", {{"uri", uri}});
  ASSERT_TRUE(list.ok) << list.fault;
  EXPECT_EQ(list.decoded, Attendees({alice_, bob_, admin_}));

  EXPECT_EQ(Call(*alice, "DeleteAttendee", {{"uri", uri}, {"attendee", alice_}}).status, kCannotDeleteOwner);
  EXPECT_EQ(Call(*alice, "DeleteAttendee", {{"uri", uri}, {"attendee", "carol"}}).status, kNotAttendee);
  EXPECT_EQ(Call(*bob, "DeleteAttendee", {{"uri", uri}, {"attendee", bob_}}).status, kOwnerOnly);
  CallOutcome deleted = Call(*alice, "DeleteAttendee", {{"uri", uri}, {"attendee", admin_}});
  ASSERT_TRUE(deleted.ok) << deleted.fault;
  EXPECT_EQ(deleted.decoded, kResultOk);
  list = Call(*bob, "GetAttendeesList", {{"uri", uri}});
  ASSERT_TRUE(list.ok) << list.fault;
  EXPECT_EQ(list.decoded, Attendees({alice_, bob_}));

  // While shared, the plain operations keep off; the owner saves.
  EXPECT_EQ(Call(*alice, "UpdateShareField", {{"uri", uri}, {"field", "plain"}}).status, kActive);
  EXPECT_EQ(Call(*alice, "RemoveShareField", {{"uri", uri}}).status, kActive);
  EXPECT_EQ(Call(*alice, "LockVO", {{"uri", uri}}).status, kActive);
  EXPECT_EQ(Call(*bob, "SaveSharing", {{"uri", uri}, {"field", "bob's save"}}).status, kOwnerOnly);
  EXPECT_EQ(Call(*bob, "EndSharing", {{"uri", uri}}).status, kOwnerOnly);
  const std::string saved = "v2 saved <by> alice & \"co\" \xE5\x85\xB1\xE6\x9C\x89";
  CallOutcome save = Call(*alice, "SaveSharing", {{"uri", uri}, {"field", saved}});
  ASSERT_TRUE(save.ok) << save.fault;
  EXPECT_EQ(save.decoded, "");
  CallOutcome read = Call(*bob, "GetShareField", {{"uri", uri}});
  ASSERT_TRUE(read.ok) << read.fault;
  EXPECT_EQ(read.decoded, FieldAnswer(saved));
  EXPECT_EQ(RowOf(uri).fieldLength, "29");  // UTF-16 code units
  list = Call(*alice, "GetAttendeesList", {{"uri", uri}});
  EXPECT_EQ(list.decoded, Attendees({alice_, bob_}));  // still shared

  end = Call(*alice, "EndSharing", {{"uri", uri}});
  ASSERT_TRUE(end.ok) << end.fault;
  EXPECT_EQ(Call(*alice, "GetAttendeesList", {{"uri", uri}}).status, kNotActive);
  EXPECT_EQ(Call(*alice, "SaveSharing", {{"uri", uri}, {"field", "late"}}).status, kNotActive);
  EXPECT_EQ(Call(*alice, "AddAttendee", {{"uri", uri}, {"attendee", bob_}}).status, kOwnerOnly);
  EXPECT_EQ(Call(*alice, "DeleteAttendee", {{"uri", uri}, {"attendee", bob_}}).status, kOwnerOnly);
  EXPECT_TRUE(Call(*alice, "UpdateShareField", {{"uri", uri}, {"field", "plain again"}}).ok);
  EXPECT_EQ(RowOf(uri).field, "plain again");

  // The rows name the share field (not the address) as the target: a begin
  // row for each of alice's four starts and her two changes of owner, and a
  // failure row for each refusal (two starts, one change).
  size_t starts = 0, owners = 0;
  for (const LogRow& row : instance_->Rows(alice_)) {
    if (row.op == "StartSharing") {
      ++starts;
      EXPECT_TRUE(row.target == uri || row.target == CollabUri(alice_, "none")) << row.target;
    }
    if (row.op == "ChangeOwner") {
      ++owners;
      EXPECT_EQ(row.target, uri);
    }
  }
  EXPECT_EQ(starts, 6u);
  EXPECT_EQ(owners, 3u);
}

TEST_P(CollabSharing, EndingOneSharingLeavesTheOthers) {
  QUOR_START_COLLAB(InstanceOptions{});
  std::vector<std::string> uris;
  for (const char* name : {"first", "second", "third"}) uris.push_back(PutNew(*alice, alice_, name, name));
  ASSERT_EQ(uris.size(), 3u);
  const std::string bobs = PutNew(*bob, bob_, "bobs", "bob's");
  for (const std::string& uri : uris) ASSERT_TRUE(Call(*alice, "StartSharing", {{"ipaddress", "a"}, {"uri", uri}}).ok);
  ASSERT_TRUE(Call(*bob, "StartSharing", {{"ipaddress", "b"}, {"uri", bobs}}).ok);
  // Owners manage their own sharing only.
  EXPECT_EQ(Call(*alice, "EndSharing", {{"uri", bobs}}).status, kOwnerOnly);
  ASSERT_TRUE(Call(*alice, "EndSharing", {{"uri", uris[1]}}).ok);
  EXPECT_EQ(Call(*alice, "GetAttendeesList", {{"uri", uris[0]}}).decoded, Attendees({alice_}));
  EXPECT_EQ(Call(*alice, "GetAttendeesList", {{"uri", uris[1]}}).status, kNotActive);
  EXPECT_EQ(Call(*alice, "GetAttendeesList", {{"uri", uris[2]}}).decoded, Attendees({alice_}));
  EXPECT_EQ(Call(*alice, "GetAttendeesList", {{"uri", bobs}}).decoded, Attendees({bob_}));
  ASSERT_TRUE(Call(*alice, "EndSharing", {{"uri", uris[0]}}).ok);
  ASSERT_TRUE(Call(*alice, "EndSharing", {{"uri", uris[2]}}).ok);
  ASSERT_TRUE(Call(*bob, "EndSharing", {{"uri", bobs}}).ok);
  for (const std::string& uri : uris) EXPECT_EQ(Call(*alice, "GetAttendeesList", {{"uri", uri}}).status, kNotActive);
}

// ---- The resume queue ------------------------------------------------------------------

TEST_P(CollabSharing, APutOverAnExistingFieldIsSettledOnce) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string uri = PutNew(*alice, alice_, "draft", "v1");
  ASSERT_FALSE(uri.empty());
  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "r"}}).ok);
  ASSERT_TRUE(Call(*alice, "PutMessage", {{"uri", uri}, {"message", "kept until replaced"}}).ok);
  CallOutcome listed = Call(*alice, "GetResumeIDList", {{"name", "draft"}});
  ASSERT_TRUE(listed.ok) << listed.fault;
  ExpectNoneQueued(listed.decoded);

  // A put during sharing: nothing written, an entry to settle.
  ASSERT_TRUE(Call(*alice, "StartSharing", {{"ipaddress", "10.0.0.1"}, {"uri", uri}}).ok);
  const CollabRow original = RowOf(uri);
  const std::string k1 = PutExisting(*alice, alice_, "draft", "v2 during sharing");
  ASSERT_FALSE(k1.empty());
  EXPECT_EQ(RowOf(uri), original);
  listed = Call(*alice, "GetResumeIDList", {{"name", "draft"}});
  ASSERT_TRUE(listed.ok) << listed.fault;
  EXPECT_EQ(listed.decoded, "<root>" + Listed(k1, "draft") + "</root>");
  // Entries are listed to their user only, by name.
  EXPECT_EQ(Call(*bob, "GetResumeIDList", {{"name", "draft"}}).decoded, "<root/>");
  EXPECT_EQ(Call(*alice, "GetResumeIDList", {{"name", "other"}}).decoded, "<root/>");

  // Another user cannot settle it, nor learn that it exists; it stays.
  CallOutcome settle = Call(*bob, "ResumeServiceProcess", {{"resumeID", k1}, {"flag", "TRUE"}});
  EXPECT_EQ(settle.status, kResumeUnknown) << settle.fault;
  EXPECT_EQ(Call(*alice, "GetResumeIDList", {{"name", "draft"}}).decoded, "<root>" + Listed(k1, "draft") + "</root>");
  EXPECT_EQ(RowOf(uri), original);

  // While the field is shared the forced put is refused like any write; the
  // entry is used up and the field untouched.
  settle = Call(*alice, "ResumeServiceProcess", {{"resumeID", k1}, {"flag", "true"}});
  EXPECT_EQ(settle.status, kActive) << settle.fault;
  EXPECT_EQ(RowOf(uri), original);
  EXPECT_EQ(Call(*alice, "ResumeServiceProcess", {{"resumeID", k1}, {"flag", "true"}}).status, kResumeUnknown);
  ASSERT_TRUE(Call(*alice, "EndSharing", {{"uri", uri}}).ok);

  // Settled after sharing: applied once.
  const std::string k2 = PutExisting(*alice, alice_, "draft", "v3 <resumed> & 'forced'");
  ASSERT_FALSE(k2.empty());
  EXPECT_GT(Number(k2), Number(k1));  // keys are never given twice
  settle = Call(*alice, "ResumeServiceProcess", {{"resumeID", k2}, {"flag", "true"}});
  ASSERT_TRUE(settle.ok) << settle.fault;
  EXPECT_EQ(settle.decoded, kResultOk);
  CallOutcome read = Call(*alice, "GetShareField", {{"uri", uri}});
  ASSERT_TRUE(read.ok) << read.fault;
  EXPECT_EQ(read.decoded, FieldAnswer("v3 <resumed> & 'forced'"));
  // The replaced row starts afresh: default ACL (bob's entry gone), no message.
  CollabRow replaced = RowOf(uri);
  EXPECT_EQ(replaced.owner, alice_);
  EXPECT_EQ(replaced.message, "");
  EXPECT_EQ(replaced.lock, "0");
  EXPECT_EQ(replaced.acl, DefaultAcl(alice_));
  EXPECT_EQ(instance_->CollabRows(alice_).size(), 1u);
  EXPECT_EQ(Call(*bob, "GetShareField", {{"uri", uri}}).status, kAccessDenied);
  settle = Call(*alice, "ResumeServiceProcess", {{"resumeID", k2}, {"flag", "true"}});
  EXPECT_EQ(settle.status, kResumeUnknown) << settle.fault;
  EXPECT_EQ(RowOf(uri), replaced);

  // Any other flag drops the entry.
  const std::string k3 = PutExisting(*alice, alice_, "draft", "dropped");
  ASSERT_FALSE(k3.empty());
  settle = Call(*alice, "ResumeServiceProcess", {{"resumeID", k3}, {"flag", "no"}});
  ASSERT_TRUE(settle.ok) << settle.fault;
  EXPECT_EQ(settle.decoded, kResultOk);
  EXPECT_EQ(RowOf(uri), replaced);
  EXPECT_EQ(Call(*alice, "ResumeServiceProcess", {{"resumeID", k3}, {"flag", "TRUE"}}).status, kResumeUnknown);
  const std::string k4 = PutExisting(*alice, alice_, "draft", "dropped too");
  ASSERT_TRUE(Call(*alice, "ResumeServiceProcess", {{"resumeID", k4}, {"flag", ""}}).ok);
  EXPECT_EQ(RowOf(uri), replaced);

  // An administrator settles another user's entry; it runs as that user.
  const std::string k5 = PutExisting(*alice, alice_, "draft", "v4 by the administrator's word");
  settle = Call(*admin, "ResumeServiceProcess", {{"resumeID", k5}, {"flag", "True"}});
  ASSERT_TRUE(settle.ok) << settle.fault;
  EXPECT_EQ(settle.decoded, kResultOk);
  EXPECT_EQ(RowOf(uri).field, "v4 by the administrator's word");
  EXPECT_EQ(RowOf(uri).owner, alice_);

  const std::set<std::string> keys = {k1, k2, k3, k4, k5};
  EXPECT_EQ(keys.size(), 5u);
  EXPECT_EQ(Call(*alice, "ResumeServiceProcess", {{"resumeID", "RESUME:999999"}, {"flag", "TRUE"}}).status,
            kResumeUnknown);
  EXPECT_EQ(Call(*alice, "ResumeServiceProcess", {{"resumeID", "' OR '1'='1"}, {"flag", "TRUE"}}).status,
            kResumeUnknown);
  EXPECT_EQ(instance_->CollabRows(alice_).size(), 1u);
}

TEST_P(CollabSharing, TheForcedPutChecksWhatAWriteChecks) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string uri = PutNew(*alice, alice_, "guarded", "v1");
  ASSERT_FALSE(uri.empty());
  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "r"}}).ok);

  // bob may read, so his put is queued; replaying it would overwrite alice's
  // field with his row, which his rights do not allow.
  const std::string mine = PutExisting(*bob, alice_, "guarded", "bob's take-over");
  ASSERT_FALSE(mine.empty());
  EXPECT_EQ(Call(*bob, "GetResumeIDList", {{"name", "guarded"}}).decoded, "<root>" + Listed(mine, "guarded") + "</root>");
  EXPECT_EQ(Call(*alice, "GetResumeIDList", {{"name", "guarded"}}).decoded, "<root/>");
  const CollabRow original = RowOf(uri);
  CallOutcome settle = Call(*bob, "ResumeServiceProcess", {{"resumeID", mine}, {"flag", "TRUE"}});
  EXPECT_FALSE(settle.ok) << settle.decoded;
  EXPECT_NE(settle.status, S_OK);
  EXPECT_EQ(RowOf(uri), original);
  EXPECT_EQ(Call(*bob, "ResumeServiceProcess", {{"resumeID", mine}, {"flag", "TRUE"}}).status, kResumeUnknown);

  // Every right the replay needs must be held: delete without write is not enough.
  ASSERT_TRUE(Call(*alice, "UpdateACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "rd"}}).ok);
  const std::string partial = PutExisting(*bob, alice_, "guarded", "bob's second try");
  ASSERT_FALSE(partial.empty());
  const CollabRow granted = RowOf(uri);
  settle = Call(*bob, "ResumeServiceProcess", {{"resumeID", partial}, {"flag", "TRUE"}});
  EXPECT_FALSE(settle.ok) << settle.decoded;
  EXPECT_EQ(RowOf(uri), granted);

  // A lock held by someone else stops the replay too.
  ASSERT_TRUE(Call(*alice, "UpdateACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "rw"}}).ok);
  ASSERT_TRUE(Call(*bob, "LockVO", {{"uri", uri}}).ok);
  const std::string key = PutExisting(*alice, alice_, "guarded", "alice's overwrite");
  ASSERT_FALSE(key.empty());
  const CollabRow locked = RowOf(uri);
  settle = Call(*alice, "ResumeServiceProcess", {{"resumeID", key}, {"flag", "TRUE"}});
  EXPECT_EQ(settle.status, kLockedByOther) << settle.fault;
  EXPECT_EQ(RowOf(uri), locked);
  EXPECT_EQ(locked.lock, bob_);

  // A put by someone who may not read the field queues nothing.
  ASSERT_TRUE(Call(*alice, "DeleteACLEntry", {{"uri", uri}, {"acluser", bob_}}).ok);
  CallOutcome put = Call(*bob, "PutShareField", {{"author", alice_}, {"name", "guarded"}, {"field", "again"}});
  EXPECT_EQ(put.status, kAccessDenied) << put.fault << put.decoded;
  ExpectNoneQueued(Call(*bob, "GetResumeIDList", {{"name", "guarded"}}).decoded);
  EXPECT_EQ(instance_->CollabRows(alice_).size(), 1u);
}

// With every right, another user's replayed put replaces the field: the row
// starts afresh as his.
TEST_P(CollabSharing, AReplayWithEveryRightReplacesTheOwner) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string uri = PutNew(*alice, alice_, "handover", "alice's");
  ASSERT_FALSE(uri.empty());
  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "rwd"}}).ok);
  const std::string key = PutExisting(*bob, alice_, "handover", "bob's");
  ASSERT_FALSE(key.empty());
  CallOutcome settle = Call(*bob, "ResumeServiceProcess", {{"resumeID", key}, {"flag", "TRUE"}});
  ASSERT_TRUE(settle.ok) << settle.fault;
  EXPECT_EQ(settle.decoded, kResultOk);
  const CollabRow row = RowOf(uri);
  EXPECT_EQ(row.author, alice_);
  EXPECT_EQ(row.name, "handover");
  EXPECT_EQ(row.field, "bob's");
  EXPECT_EQ(row.owner, bob_);
  EXPECT_EQ(row.acl, DefaultAcl(bob_));
  EXPECT_EQ(Call(*alice, "GetShareField", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(instance_->CollabRows(alice_).size(), 1u);
}

// Rows outlive the server; sharing, attendees, sessions and queued puts do not.
TEST_P(CollabSharing, ARestartKeepsFieldsAndForgetsTheRest) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string uri = PutNew(*alice, alice_, "lasting", "kept");
  ASSERT_FALSE(uri.empty());
  ASSERT_TRUE(Call(*alice, "PutMessage", {{"uri", uri}, {"message", "kept too"}}).ok);
  ASSERT_TRUE(Call(*alice, "LockVO", {{"uri", uri}}).ok);
  ASSERT_TRUE(Call(*alice, "StartSharing", {{"ipaddress", "h"}, {"uri", uri}}).ok);
  const std::string key = PutExisting(*alice, alice_, "lasting", "queued");
  ASSERT_FALSE(key.empty());
  const CollabRow before = RowOf(uri);

  alice->EndSession();
  ASSERT_NO_FATAL_FAILURE(instance_->Restart());
  alice = instance_->SignIn(alice_, "alice-pw");
  ASSERT_TRUE(alice);
  EXPECT_EQ(RowOf(uri), before);
  EXPECT_EQ(RowOf(uri).lock, alice_);
  EXPECT_EQ(Call(*alice, "GetAttendeesList", {{"uri", uri}}).status, kNotActive);
  ExpectNoneQueued(Call(*alice, "GetResumeIDList", {{"name", "lasting"}}).decoded);
  EXPECT_EQ(Call(*alice, "ResumeServiceProcess", {{"resumeID", key}, {"flag", "TRUE"}}).status, kResumeUnknown);
  CallOutcome got = Call(*alice, "GetShareField", {{"uri", uri}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, FieldAnswer("kept"));
  // No longer shared: the plain update goes through (the lock is alice's own).
  EXPECT_TRUE(Call(*alice, "UpdateShareField", {{"uri", uri}, {"field", "after"}}).ok);
  // The queue starts again, and a stale key from before reaches nobody else's entry.
  const std::string fresh = PutExisting(*alice, alice_, "lasting", "queued again");
  ASSERT_FALSE(fresh.empty());
  bob->EndSession();
  bob = instance_->SignIn(bob_, "bob-pw");
  ASSERT_TRUE(bob);
  EXPECT_EQ(Call(*bob, "ResumeServiceProcess", {{"resumeID", fresh}, {"flag", "TRUE"}}).status, kResumeUnknown);
  EXPECT_EQ(RowOf(uri).field, "after");
}

// ---- Locks -----------------------------------------------------------------------------

TEST_P(CollabSharing, LockStatusFollowsTheOperations) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string uri = PutNew(*alice, alice_, "locked", "v1");
  ASSERT_FALSE(uri.empty());
  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "rw"}}).ok);
  const auto lockStatus = [&] {
    const CallOutcome attribute = Call(*bob, "GetShareFieldAttribute", {{"uri", uri}});
    std::smatch match;
    static const std::regex lock("<lock_status>(.*)</lock_status>");
    if (!attribute.ok || !std::regex_search(attribute.decoded, match, lock)) return std::string("(unread)");
    return match[1].str();
  };
  EXPECT_EQ(RowOf(uri).lock, "0");
  EXPECT_EQ(lockStatus(), "0");

  const CollabRow fresh = RowOf(uri);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  CallOutcome lock = Call(*alice, "LockVO", {{"uri", uri}});
  ASSERT_TRUE(lock.ok) << lock.fault;
  EXPECT_EQ(lock.decoded, kResultOk);
  EXPECT_EQ(RowOf(uri).lock, alice_);
  EXPECT_NE(RowOf(uri).updated, fresh.updated);  // a lock change stamps the row
  EXPECT_EQ(lockStatus(), alice_);
  // Locking again: nothing to do.
  lock = Call(*alice, "LockVO", {{"uri", uri}});
  ASSERT_TRUE(lock.ok) << lock.fault;
  EXPECT_EQ(lock.decoded, "");

  // Another user: no lock, no write, no unlock.
  EXPECT_EQ(Call(*bob, "LockVO", {{"uri", uri}}).status, kAlreadyLocked);
  EXPECT_EQ(Call(*bob, "UpdateShareField", {{"uri", uri}, {"field", "bob's"}}).status, kLockedByOther);
  EXPECT_EQ(Call(*bob, "UnlockVO", {{"uri", uri}}).status, kUnlockRefused);
  EXPECT_EQ(RowOf(uri).field, "v1");
  EXPECT_EQ(RowOf(uri).lock, alice_);
  // The holder writes; nobody removes a locked field.
  EXPECT_TRUE(Call(*alice, "UpdateShareField", {{"uri", uri}, {"field", "v2"}}).ok);
  EXPECT_EQ(Call(*alice, "RemoveShareField", {{"uri", uri}}).status, kObjectLocked);
  EXPECT_EQ(Call(*admin, "RemoveShareField", {{"uri", uri}}).status, kObjectLocked);

  // An administrator unlocks what another user holds.
  CallOutcome unlock = Call(*admin, "UnlockVO", {{"uri", uri}});
  ASSERT_TRUE(unlock.ok) << unlock.fault;
  EXPECT_EQ(unlock.decoded, kResultOk);
  EXPECT_EQ(RowOf(uri).lock, "0");
  EXPECT_EQ(lockStatus(), "0");
  // Unlocking an unlocked field: nothing to do, nothing written.
  const CollabRow unlocked = RowOf(uri);
  unlock = Call(*alice, "UnlockVO", {{"uri", uri}});
  ASSERT_TRUE(unlock.ok) << unlock.fault;
  EXPECT_EQ(unlock.decoded, "");
  EXPECT_EQ(RowOf(uri), unlocked);

  // bob's turn: now alice is the other user.
  ASSERT_TRUE(Call(*bob, "LockVO", {{"uri", uri}}).ok);
  EXPECT_EQ(RowOf(uri).lock, bob_);
  EXPECT_EQ(Call(*alice, "LockVO", {{"uri", uri}}).status, kAlreadyLocked);
  EXPECT_EQ(Call(*alice, "UpdateShareField", {{"uri", uri}, {"field", "alice's"}}).status, kLockedByOther);
  EXPECT_EQ(Call(*alice, "UnlockVO", {{"uri", uri}}).status, kUnlockRefused);
  EXPECT_EQ(Call(*alice, "StartSharing", {{"ipaddress", "x"}, {"uri", uri}}).ok, true);
  EXPECT_EQ(Call(*alice, "SaveSharing", {{"uri", uri}, {"field", "saved"}}).status, kLockedByOther);
  ASSERT_TRUE(Call(*alice, "EndSharing", {{"uri", uri}}).ok);
  EXPECT_TRUE(Call(*bob, "UpdateShareField", {{"uri", uri}, {"field", "v3"}}).ok);
  unlock = Call(*bob, "UnlockVO", {{"uri", uri}});
  ASSERT_TRUE(unlock.ok) << unlock.fault;
  EXPECT_EQ(unlock.decoded, kResultOk);
  EXPECT_EQ(RowOf(uri).lock, "0");
  EXPECT_EQ(RowOf(uri).field, "v3");

  // Locking needs the read right.
  ASSERT_TRUE(Call(*alice, "DeleteACLEntry", {{"uri", uri}, {"acluser", bob_}}).ok);
  EXPECT_EQ(Call(*bob, "LockVO", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(RowOf(uri).lock, "0");

  // URNs of no share field.
  for (const std::string& other :
       {"urn:voresource:" + alice_, std::string("URN:VOCONTENT:COVODB000:x"), CollabUri(alice_, "none")}) {
    EXPECT_EQ(Call(*alice, "LockVO", {{"uri", other}}).status, kUriInvalid) << other;
    EXPECT_EQ(Call(*alice, "UnlockVO", {{"uri", other}}).status, kUriInvalid) << other;
  }
  CallOutcome removed = Call(*alice, "RemoveShareField", {{"uri", uri}});
  EXPECT_TRUE(removed.ok) << removed.fault;
}

INSTANTIATE_TEST_SUITE_P(Engines, CollabSharing, ::testing::Values(Database::Sqlite, Database::Postgres),
                         EngineName);

}  // namespace
}  // namespace quor::admin::testing
