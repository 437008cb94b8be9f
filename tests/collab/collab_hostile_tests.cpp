// Hostile names, texts and URNs: quotes, comment and statement separators,
// markup, wildcards and path pieces are data. Each is stored and answered as
// given, breaks no statement, and reaches no row but its own; URNs that name
// no row change nothing, even for an administrator, who may touch every row.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

using namespace collab;

const std::vector<std::string> kHostileNames = {
    "x'; DELETE FROM QUORCOLLAB; --",
    "n' OR '1'='1",
    "a<b>&c;\"d\"",
    "../../etc/passwd",
    "100% _wild_ *",
    "\xE5\x90\x8D\xE5\x89\x8D'--;<&>..",
    "back\\slash '' doubled",
};

class CollabHostile : public CollabRoad {};

TEST_P(CollabHostile, NamesAndTextsAreData) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string victimText = "bob's untouched text";
  const std::string victim = PutNew(*bob, bob_, "victim", victimText);
  ASSERT_FALSE(victim.empty());
  ASSERT_TRUE(Call(*bob, "PutMessage", {{"uri", victim}, {"message", "bob's message"}}).ok);
  const CollabRow victimRow = RowOf(victim);

  std::vector<std::string> uris;
  for (const std::string& name : kHostileNames) {
    SCOPED_TRACE(name);
    const std::string field = "value of " + name + " '); DROP TABLE QUORCOLLAB; --";
    const std::string uri = PutNew(*alice, alice_, name, field);
    ASSERT_FALSE(uri.empty());
    uris.push_back(uri);
    CallOutcome got = Call(*alice, "GetShareField", {{"uri", uri}});
    ASSERT_TRUE(got.ok) << got.fault;
    EXPECT_EQ(got.decoded, FieldAnswer(field));
    CallOutcome byName = Call(*alice, "GetShareFieldURI", {{"author", alice_}, {"name", name}});
    ASSERT_TRUE(byName.ok) << byName.fault;
    EXPECT_NE(byName.decoded.find("<uri>" + XmlText(uri) + "</uri>"), std::string::npos) << byName.decoded;
    EXPECT_EQ(ChildTexts(byName.decoded).size(), 1u) << byName.decoded;

    // The same texts as a message and as an ACL entry's user and rights.
    ASSERT_TRUE(Call(*alice, "PutMessage", {{"uri", uri}, {"message", name}}).ok);
    got = Call(*alice, "GetMessage", {{"uri", uri}});
    ASSERT_TRUE(got.ok) << got.fault;
    EXPECT_EQ(got.decoded, "<root><message>" + XmlText(name) + "</message></root>");
    ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", name}, {"accright", name}}).ok);
    got = Call(*alice, "GetACLEntry", {{"uri", uri}, {"acluser", name}});
    ASSERT_TRUE(got.ok) << got.fault;
    EXPECT_EQ(got.decoded, "<control><user>" + XmlText(name) + "</user><access>" + XmlText(name) + "</access></control>");
    // bob is named by no entry, however odd the entries are.
    EXPECT_EQ(Call(*bob, "GetShareField", {{"uri", uri}}).status, kAccessDenied);
    // A put over it is queued under the name as given.
    CallOutcome again = Call(*alice, "PutShareField", {{"author", alice_}, {"name", name}, {"field", "again"}});
    ASSERT_TRUE(again.ok) << again.fault;
    EXPECT_TRUE(again.decoded.starts_with("<root><resultCode>1</resultCode><resumeID>")) << again.decoded;
    CallOutcome queued = Call(*alice, "GetResumeIDList", {{"name", name}});
    ASSERT_TRUE(queued.ok) << queued.fault;
    EXPECT_EQ(ChildTexts(queued.decoded).size(), 1u) << queued.decoded;
    EXPECT_NE(queued.decoded.find("<method>ForcePutShareField</method><name>" + XmlText(name) + "</name>"),
              std::string::npos)
        << queued.decoded;
    // The field is still updated in place.
    ASSERT_TRUE(Call(*alice, "UpdateShareField", {{"uri", uri}, {"field", field + " (2)"}}).ok);
  }

  // Exactly one row per put, each holding what it was given.
  std::vector<CollabRow> rows = instance_->CollabRows(alice_);
  ASSERT_EQ(rows.size(), kHostileNames.size());
  for (const std::string& name : kHostileNames) {
    const CollabRow row = RowOf(CollabUri(alice_, name));
    EXPECT_EQ(row.author, alice_);
    EXPECT_EQ(row.name, name);
    EXPECT_EQ(row.field, "value of " + name + " '); DROP TABLE QUORCOLLAB; -- (2)");
    EXPECT_EQ(row.message, name);
    EXPECT_EQ(row.owner, alice_);
  }
  EXPECT_EQ(RowOf(victim), victimRow);

  // An address of any form is kept and answered as given.
  const std::string address = "<host a='1'> & \"2\" -- ;";
  ASSERT_TRUE(Call(*alice, "StartSharing", {{"ipaddress", address}, {"uri", uris.front()}}).ok);
  CallOutcome attribute = Call(*bob, "GetShareFieldAttribute", {{"uri", uris.front()}});
  ASSERT_TRUE(attribute.ok) << attribute.fault;
  EXPECT_NE(attribute.decoded.find("<ipaddress>" + XmlText(address) + "</ipaddress>"), std::string::npos)
      << attribute.decoded;
  ASSERT_TRUE(Call(*alice, "EndSharing", {{"uri", uris.front()}}).ok);

  // An author that carries the same punctuation.
  const std::string author = alice_ + "'; UPDATE QUORCOLLAB SET FIELD = 'x'; --";
  const std::string odd = PutNew(*alice, author, "n", "odd author");
  ASSERT_FALSE(odd.empty());
  EXPECT_EQ(RowOf(odd).author, author);
  EXPECT_EQ(RowOf(victim), victimRow);

  // Removing the hostile names removes those rows alone.
  for (const std::string& uri : uris) {
    CallOutcome removed = Call(*alice, "RemoveShareField", {{"uri", uri}});
    EXPECT_TRUE(removed.ok) << uri << ": " << removed.fault;
  }
  rows = instance_->CollabRows(alice_);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows.front().uri, odd);
  EXPECT_EQ(RowOf(victim), victimRow);
}

TEST_P(CollabHostile, UrisNamingNoRowChangeNothing) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string victim = PutNew(*bob, bob_, "victim", "bob's text");
  const std::string mine = PutNew(*alice, alice_, "mine", "alice's text");
  ASSERT_FALSE(victim.empty() || mine.empty());
  // Other tests' rows may come and go on PostgreSQL: ours are compared.
  const auto ours = [&] {
    std::vector<CollabRow> rows = instance_->CollabRows(alice_);
    for (CollabRow& row : instance_->CollabRows(bob_)) rows.push_back(std::move(row));
    return rows;
  };
  const std::vector<CollabRow> before = ours();
  ASSERT_EQ(before.size(), 2u);

  const std::string prefix = "urn:vocontent:covodb000:";
  const std::vector<std::string> hostile = {
      victim + "' OR '1'='1",
      victim + "'; DELETE FROM QUORCOLLAB; --",
      prefix + "%",
      prefix + bob_ + "-vic%",
      prefix + bob_ + "-victi_",
      prefix + "../" + bob_ + "-victim",
      prefix + bob_ + "-victim<&>",
      victim + " ",
      prefix + "' UNION SELECT FIELD FROM QUORCOLLAB --",
  };
  for (const std::string& uri : hostile) {
    SCOPED_TRACE(uri);
    // The administrator may touch every row: only the URN keeps these away.
    EXPECT_EQ(Call(*admin, "GetShareField", {{"uri", uri}}).status, kUriInvalid);
    EXPECT_EQ(Call(*admin, "UpdateShareField", {{"uri", uri}, {"field", "overwritten"}}).status, kUriInvalid);
    EXPECT_EQ(Call(*admin, "RemoveShareField", {{"uri", uri}}).status, kUriInvalid);
    EXPECT_EQ(Call(*admin, "PutMessage", {{"uri", uri}, {"message", "m"}}).status, kUriInvalid);
    EXPECT_EQ(Call(*admin, "UpdateMessage", {{"uri", uri}, {"message", "m"}}).status, kUriInvalid);
    EXPECT_EQ(Call(*admin, "RemoveMessage", {{"uri", uri}}).status, kUriInvalid);
    EXPECT_EQ(Call(*admin, "PutACL", {{"uri", uri}, {"acl", DefaultAcl(admin_)}}).status, kUriInvalid);
    EXPECT_EQ(Call(*admin, "DeleteACL", {{"uri", uri}}).status, kUriInvalid);
    EXPECT_EQ(Call(*admin, "PutACLEntry", {{"uri", uri}, {"acluser", admin_}, {"accright", "r"}}).status, kNoAcl);
    EXPECT_EQ(Call(*admin, "LockVO", {{"uri", uri}}).status, kUriInvalid);
    EXPECT_EQ(Call(*admin, "UnlockVO", {{"uri", uri}}).status, kUriInvalid);
    EXPECT_EQ(Call(*admin, "StartSharing", {{"ipaddress", "127.0.0.1"}, {"uri", uri}}).status, kOwnerOnly);
    CallOutcome attribute = Call(*admin, "GetShareFieldAttribute", {{"uri", uri}});
    ASSERT_TRUE(attribute.ok) << attribute.fault;
    EXPECT_EQ(attribute.decoded, "<root/>");
  }
  CallOutcome byName = Call(*admin, "GetShareFieldURI", {{"author", bob_ + "' OR '1'='1"}, {"name", "victim"}});
  ASSERT_TRUE(byName.ok) << byName.fault;
  EXPECT_EQ(byName.decoded, "<root/>");
  byName = Call(*admin, "GetShareFieldURI", {{"author", "%"}, {"name", "%"}});
  ASSERT_TRUE(byName.ok) << byName.fault;
  EXPECT_EQ(byName.decoded, "<root/>");
  EXPECT_EQ(ours(), before);
}

// Author "x-y" with name "z" and author "x" with name "y-z" make the same URN:
// a put finds the field by its URN, so the second pair meets the first
// pair's field and is answered as that pair would be; the row stays.
TEST_P(CollabHostile, UrnCollisionsMeetTheSameField) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string first = PutNew(*alice, alice_ + "-b", "c", "first");
  ASSERT_FALSE(first.empty());
  ASSERT_EQ(first, CollabUri(alice_, "b-c"));
  const std::vector<CollabRow> before = instance_->CollabRows(alice_);

  for (const auto& [author, name] : {std::pair{alice_, std::string("b-c")}, std::pair{alice_ + "-b", std::string("c")}}) {
    SCOPED_TRACE(author + " / " + name);
    CallOutcome again = Call(*alice, "PutShareField", {{"author", author}, {"name", name}, {"field", "second"}});
    ASSERT_TRUE(again.ok) << again.fault;
    EXPECT_TRUE(again.decoded.starts_with("<root><resultCode>1</resultCode><resumeID>")) << again.decoded;
    const std::vector<std::string> parts = ChildTexts(again.decoded);
    ASSERT_EQ(parts.size(), 3u) << again.decoded;
    EXPECT_FALSE(parts[1].empty()) << again.decoded;
    EXPECT_EQ(parts[2], "There is corrupted data. If want to overwrite, resume this process.");
  }
  // bob may not read the row: refused alike for either pair.
  const CallOutcome owners = Call(*bob, "PutShareField", {{"author", alice_ + "-b"}, {"name", "c"}, {"field", "b"}});
  EXPECT_FALSE(owners.ok) << owners.decoded;
  const CallOutcome other = Call(*bob, "PutShareField", {{"author", alice_}, {"name", "b-c"}, {"field", "bob's"}});
  EXPECT_FALSE(other.ok) << other.decoded;
  EXPECT_EQ(other.status, owners.status) << other.fault;
  EXPECT_EQ(instance_->CollabRows(alice_), before);
}

// Texts far beyond any statement's length. A name becomes part of the URN,
// the table's key: an engine may refuse one that long, but only cleanly.
TEST_P(CollabHostile, LongTextsFitOrAreRefusedCleanly) {
  QUOR_START_COLLAB(InstanceOptions{});
  uint32_t seed = 12345;
  const auto noise = [&](size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) {
      seed = seed * 1103515245u + 12345u;
      text += "abcdefghijklmnopqrstuvwxyz0123456789'<&>-"[(seed >> 16) % 41];
    }
    return text;
  };
  const std::string longName = noise(10000);
  CallOutcome put = Call(*alice, "PutShareField", {{"author", alice_}, {"name", longName}, {"field", "long name"}});
  if (put.ok) {
    const std::string uri = CollabUri(alice_, longName);
    EXPECT_EQ(put.decoded, "<root><resultCode>0</resultCode><uri>" + XmlText(uri) + "</uri></root>");
    CallOutcome got = Call(*alice, "GetShareField", {{"uri", uri}});
    ASSERT_TRUE(got.ok) << got.fault;
    EXPECT_EQ(got.decoded, FieldAnswer("long name"));
    EXPECT_EQ(RowOf(uri).name, longName);
    EXPECT_TRUE(Call(*alice, "RemoveShareField", {{"uri", uri}}).ok);
  } else {
    EXPECT_NE(put.status, S_OK) << put.fault;
  }
  EXPECT_TRUE(instance_->CollabRows(alice_).empty());

  // Texts that are no key travel whole on every engine.
  const std::string uri = PutNew(*alice, alice_, "long-texts", "short");
  ASSERT_FALSE(uri.empty());
  const std::string message = noise(100000);
  ASSERT_TRUE(Call(*alice, "PutMessage", {{"uri", uri}, {"message", message}}).ok);
  CallOutcome got = Call(*alice, "GetMessage", {{"uri", uri}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_TRUE(got.decoded == "<root><message>" + XmlText(message) + "</message></root>");
  const std::string user = noise(5000), rights = "r" + noise(3000);
  CallOutcome entry = Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", user}, {"accright", rights}});
  ASSERT_TRUE(entry.ok) << entry.fault;
  entry = Call(*alice, "GetACLEntry", {{"uri", uri}, {"acluser", user}});
  ASSERT_TRUE(entry.ok) << entry.fault;
  EXPECT_TRUE(entry.decoded ==
              "<control><user>" + XmlText(user) + "</user><access>" + XmlText(rights) + "</access></control>");
  EXPECT_TRUE(RowOf(uri).message == message);
  EXPECT_TRUE(instance_->Running());
}

INSTANTIATE_TEST_SUITE_P(Engines, CollabHostile, ::testing::Values(Database::Sqlite, Database::Postgres),
                         EngineName);

}  // namespace
}  // namespace quor::admin::testing
