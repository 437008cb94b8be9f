// The ACL documents of share fields over the wire: whole-document and entry
// operations, what each right lets a user do, the routing by URN prefix; the
// messages of share fields; the conference-manager URL.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

using namespace collab;

std::string Entry(std::string_view user, std::string_view rights) {
  return "<control><user>" + XmlText(user) + "</user><access>" + std::string(rights) + "</access></control>";
}

class CollabAcl : public CollabRoad {};

TEST_P(CollabAcl, EntriesGrantWhatTheySay) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string text = "guarded";
  const std::string uri = PutNew(*alice, alice_, "guarded", text);
  ASSERT_FALSE(uri.empty());
  const std::string owner = Entry(alice_, "rwdarawad"), administrator = Entry("administrator", "rwdarawad");

  CallOutcome acl = Call(*alice, "GetACL", {{"uri", uri}});
  ASSERT_TRUE(acl.ok) << acl.fault;
  EXPECT_EQ(acl.decoded, "<root>" + DefaultAcl(alice_) + "</root>");
  CallOutcome entry = Call(*alice, "GetACLEntry", {{"uri", uri}, {"acluser", alice_}});
  ASSERT_TRUE(entry.ok) << entry.fault;
  EXPECT_EQ(entry.decoded, owner);
  entry = Call(*alice, "GetACLEntry", {{"uri", uri}, {"acluser", bob_}});
  ASSERT_TRUE(entry.ok) << entry.fault;
  EXPECT_EQ(entry.decoded, "");
  EXPECT_EQ(Call(*bob, "GetACL", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(Call(*bob, "GetACLEntry", {{"uri", uri}, {"acluser", alice_}}).status, kAccessDenied);

  // Adding an entry appends it; a second one for the same user is refused.
  CallOutcome put = Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "r"}});
  ASSERT_TRUE(put.ok) << put.fault;
  EXPECT_EQ(put.decoded, kResultOk);
  const std::string withBob = "<VOACL>" + owner + administrator + Entry(bob_, "r") + "</VOACL>";
  EXPECT_EQ(RowOf(uri).acl, withBob);
  EXPECT_EQ(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "w"}}).status, kUserInAcl);
  EXPECT_EQ(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", "carol"}, {"accright", ""}}).status,
            kArgumentNullStatus);
  EXPECT_EQ(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", ""}, {"accright", "r"}}).status,
            kArgumentNullStatus);
  EXPECT_EQ(Call(*alice, "GetACLEntry", {{"uri", uri}, {"acluser", ""}}).status, kArgumentNullStatus);
  EXPECT_EQ(RowOf(uri).acl, withBob);

  // "r" reads the field, not the ACL, and edits nothing.
  EXPECT_TRUE(Call(*bob, "GetShareField", {{"uri", uri}}).ok);
  EXPECT_EQ(Call(*bob, "GetACL", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(Call(*bob, "UpdateACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "rwdarawad"}}).status,
            kAccessDenied);
  EXPECT_EQ(Call(*bob, "PutACL", {{"uri", uri}, {"acl", "<VOACL>" + Entry(bob_, "rwdarawad") + "</VOACL>"}}).status,
            kAccessDenied);
  EXPECT_EQ(Call(*bob, "DeleteACL", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(RowOf(uri).acl, withBob);

  // "ar" reads the ACL and not the field.
  CallOutcome update = Call(*alice, "UpdateACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "ar"}});
  ASSERT_TRUE(update.ok) << update.fault;
  EXPECT_EQ(update.decoded, kResultOk);
  acl = Call(*bob, "GetACL", {{"uri", uri}});
  ASSERT_TRUE(acl.ok) << acl.fault;
  EXPECT_EQ(acl.decoded, "<root><VOACL>" + owner + administrator + Entry(bob_, "ar") + "</VOACL></root>");
  EXPECT_EQ(Call(*bob, "GetShareField", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(Call(*alice, "UpdateACLEntry", {{"uri", uri}, {"acluser", "carol"}, {"accright", "r"}}).status,
            kNoAclEntry);

  // Removing the entry takes the rights away; it can go only once.
  CallOutcome removed = Call(*alice, "DeleteACLEntry", {{"uri", uri}, {"acluser", bob_}});
  ASSERT_TRUE(removed.ok) << removed.fault;
  EXPECT_EQ(removed.decoded, kResultOk);
  EXPECT_EQ(RowOf(uri).acl, DefaultAcl(alice_));
  EXPECT_EQ(Call(*bob, "GetACL", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(Call(*alice, "DeleteACLEntry", {{"uri", uri}, {"acluser", bob_}}).status, kNoAclEntry);

  // "everyone" is every user; entries are tried in order until one grants.
  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "ar"}}).ok);
  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", "everyone"}, {"accright", "r"}}).ok);
  CallOutcome read = Call(*bob, "GetShareField", {{"uri", uri}});
  ASSERT_TRUE(read.ok) << read.fault;
  EXPECT_EQ(read.decoded, FieldAnswer(text));

  // Entry edits end in a write of the whole document: "ad" alone does not
  // delete an entry, "ad" with "aw" does.
  ASSERT_TRUE(Call(*alice, "UpdateACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "ad"}}).ok);
  const std::string withEveryone = RowOf(uri).acl;
  EXPECT_EQ(Call(*bob, "DeleteACLEntry", {{"uri", uri}, {"acluser", "everyone"}}).status, kAccessDenied);
  EXPECT_EQ(RowOf(uri).acl, withEveryone);
  ASSERT_TRUE(Call(*alice, "UpdateACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "adaw"}}).ok);
  removed = Call(*bob, "DeleteACLEntry", {{"uri", uri}, {"acluser", "everyone"}});
  ASSERT_TRUE(removed.ok) << removed.fault;
  EXPECT_EQ(RowOf(uri).acl, "<VOACL>" + owner + administrator + Entry(bob_, "adaw") + "</VOACL>");

  // Deleting the ACL resets it to the caller's default document.
  CallOutcome reset = Call(*alice, "DeleteACL", {{"uri", uri}});
  ASSERT_TRUE(reset.ok) << reset.fault;
  EXPECT_EQ(reset.decoded, kResultOk);
  EXPECT_EQ(RowOf(uri).acl, DefaultAcl(alice_));
  EXPECT_EQ(Call(*bob, "GetShareField", {{"uri", uri}}).status, kAccessDenied);
  reset = Call(*admin, "DeleteACL", {{"uri", uri}});
  ASSERT_TRUE(reset.ok) << reset.fault;
  EXPECT_EQ(RowOf(uri).acl, DefaultAcl(admin_));
  // Now alice herself holds no entry.
  EXPECT_EQ(Call(*alice, "GetShareField", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_TRUE(Call(*admin, "GetShareField", {{"uri", uri}}).ok);
}

// An entry may name a group of the directory: its members hold its rights.
TEST_P(CollabAcl, GroupEntriesGrantTheirMembers) {
  InstanceOptions options;
  options.members = {{"editors", "bob"}, {"viewers", "admin"}};
  QUOR_START_COLLAB(options);
  const std::string uri = PutNew(*alice, alice_, "grouped", "for editors");
  ASSERT_FALSE(uri.empty());
  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", "viewers"}, {"accright", "ar"}}).ok);
  EXPECT_EQ(Call(*bob, "GetShareField", {{"uri", uri}}).status, kAccessDenied);
  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", "editors"}, {"accright", "rw"}}).ok);
  CallOutcome read = Call(*bob, "GetShareField", {{"uri", uri}});
  ASSERT_TRUE(read.ok) << read.fault;
  EXPECT_EQ(read.decoded, FieldAnswer("for editors"));
  EXPECT_TRUE(Call(*bob, "UpdateShareField", {{"uri", uri}, {"field", "edited by an editor"}}).ok);
  // The group's rights, not more: "ar" is not among them.
  EXPECT_EQ(Call(*bob, "GetACL", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(RowOf(uri).field, "edited by an editor");
  // Without the group's entry, membership gives nothing.
  ASSERT_TRUE(Call(*alice, "DeleteACLEntry", {{"uri", uri}, {"acluser", "editors"}}).ok);
  EXPECT_EQ(Call(*bob, "GetShareField", {{"uri", uri}}).status, kAccessDenied);
}

TEST_P(CollabAcl, WholeDocuments) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string uri = PutNew(*alice, alice_, "whole", "text");
  ASSERT_FALSE(uri.empty());

  // A document with a declaration and a comment is stored as given; the
  // answers embed its document element.
  const std::string element = "<VOACL>" + Entry(alice_, "rwdarawad") + Entry(bob_, "r") + "</VOACL>";
  const std::string declared = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!-- kept as given -->" + element;
  CallOutcome put = Call(*alice, "PutACL", {{"uri", uri}, {"acl", declared}});
  ASSERT_TRUE(put.ok) << put.fault;
  EXPECT_EQ(put.decoded, kResultOk);
  EXPECT_EQ(RowOf(uri).acl, declared);
  CallOutcome acl = Call(*alice, "GetACL", {{"uri", uri}});
  ASSERT_TRUE(acl.ok) << acl.fault;
  EXPECT_EQ(acl.decoded, "<root>" + element + "</root>");
  CallOutcome attribute = Call(*alice, "GetShareFieldAttribute", {{"uri", uri}});
  ASSERT_TRUE(attribute.ok) << attribute.fault;
  EXPECT_NE(attribute.decoded.find("<acl>" + element + "</acl>"), std::string::npos) << attribute.decoded;
  // The declared document is read like any other.
  EXPECT_TRUE(Call(*bob, "GetShareField", {{"uri", uri}}).ok);
  EXPECT_EQ(Call(*bob, "UpdateShareField", {{"uri", uri}, {"field", "x"}}).status, kAccessDenied);
  // The administrator entry is gone with the old document.
  EXPECT_EQ(Call(*admin, "GetShareField", {{"uri", uri}}).status, kAccessDenied);

  CallOutcome update = Call(*alice, "UpdateACL", {{"uri", uri}, {"acl", DefaultAcl(alice_)}});
  ASSERT_TRUE(update.ok) << update.fault;
  EXPECT_EQ(update.decoded, kResultOk);
  EXPECT_EQ(RowOf(uri).acl, DefaultAcl(alice_));
  EXPECT_EQ(Call(*bob, "GetShareField", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_TRUE(Call(*admin, "GetShareField", {{"uri", uri}}).ok);

  // A text that is no XML is stored verbatim; from then on every check fails
  // to load it, and only the lists (which check nothing) show it.
  const std::string broken = "not <xml & 'at all'";
  ASSERT_TRUE(Call(*alice, "PutACL", {{"uri", uri}, {"acl", broken}}).ok);
  EXPECT_EQ(RowOf(uri).acl, broken);
  EXPECT_EQ(Call(*alice, "GetShareField", {{"uri", uri}}).status, kXmlLoadFailed);
  EXPECT_EQ(Call(*admin, "GetACL", {{"uri", uri}}).status, kXmlLoadFailed);
  attribute = Call(*alice, "GetShareFieldAttribute", {{"uri", uri}});
  ASSERT_TRUE(attribute.ok) << attribute.fault;
  EXPECT_NE(attribute.decoded.find("<acl>" + XmlText(broken) + "</acl>"), std::string::npos) << attribute.decoded;

  // An empty VOACL grants nothing to anyone.
  const std::string other = PutNew(*alice, alice_, "empty-acl", "text");
  ASSERT_TRUE(Call(*alice, "PutACL", {{"uri", other}, {"acl", "<VOACL/>"}}).ok);
  EXPECT_EQ(Call(*alice, "GetShareField", {{"uri", other}}).status, kAccessDenied);
  EXPECT_EQ(Call(*admin, "GetShareField", {{"uri", other}}).status, kAccessDenied);
}

TEST_P(CollabAcl, RoutedByThePrefixOfTheUri) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string uri = PutNew(*alice, alice_, "routed", "text");
  ASSERT_FALSE(uri.empty());
  const std::string resource = "urn:voresource:" + alice_;
  std::string capitals = uri;
  for (char& c : capitals) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  struct Op {
    const char* method;
    uint32_t invalid;
  };
  for (const Op& op : {Op{"GetACL", 0x81000020}, Op{"PutACL", 0x81000021}, Op{"UpdateACL", 0x81000022},
                       Op{"DeleteACL", 0x81000023}, Op{"GetACLEntry", 0x81000024}, Op{"PutACLEntry", 0x81000025},
                       Op{"UpdateACLEntry", 0x81000026}, Op{"DeleteACLEntry", 0x81000027}}) {
    for (const std::string& target : {resource, capitals, std::string("anything")}) {
      const std::string method = op.method;
      CallOutcome call;
      if (method == "GetACL" || method == "DeleteACL") {
        call = Call(*admin, method, {{"uri", target}});
      } else if (method == "PutACL" || method == "UpdateACL") {
        call = Call(*admin, method, {{"uri", target}, {"acl", DefaultAcl(bob_)}});
      } else if (method == "GetACLEntry" || method == "DeleteACLEntry") {
        call = Call(*admin, method, {{"uri", target}, {"acluser", alice_}});
      } else {
        call = Call(*admin, method, {{"uri", target}, {"acluser", bob_}, {"accright", "r"}});
      }
      EXPECT_EQ(call.status, static_cast<HRESULT>(op.invalid)) << method << " " << target << ": " << call.fault;
      EXPECT_NE(call.fault.find("Invalid URI is specified in " + method + "."), std::string::npos) << call.fault;
    }
  }
  EXPECT_EQ(RowOf(uri).acl, DefaultAcl(alice_));

  // A share-field URN without a row.
  const std::string unknown = CollabUri(alice_, "no-such-field");
  EXPECT_EQ(Call(*admin, "GetACL", {{"uri", unknown}}).status, kUriInvalid);
  EXPECT_EQ(Call(*admin, "PutACL", {{"uri", unknown}, {"acl", DefaultAcl(admin_)}}).status, kUriInvalid);
  EXPECT_EQ(Call(*admin, "DeleteACL", {{"uri", unknown}}).status, kUriInvalid);
  EXPECT_EQ(Call(*admin, "GetACLEntry", {{"uri", unknown}, {"acluser", alice_}}).status, kNoAcl);
  EXPECT_EQ(Call(*admin, "PutACLEntry", {{"uri", unknown}, {"acluser", bob_}, {"accright", "r"}}).status, kNoAcl);
  EXPECT_TRUE(instance_->CollabRows(alice_).size() == 1u);
}

// ---- Messages --------------------------------------------------------------------------

TEST_P(CollabAcl, MessagesPutUpdatedReadRemoved) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string uri = PutNew(*alice, alice_, "talk", "field text");
  ASSERT_FALSE(uri.empty());
  const auto messageAnswer = [](std::string_view message) {
    return message.empty() ? std::string("<root><message/></root>")
                           : "<root><message>" + XmlText(message) + "</message></root>";
  };

  CallOutcome got = Call(*alice, "GetMessage", {{"uri", uri}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, messageAnswer(""));

  const std::string first = "Meet at 10 in <room \"A\"> & bring 'notes' \xE4\xBC\x9A\xE8\xAD\xB0 -- ;";
  CallOutcome put = Call(*alice, "PutMessage", {{"uri", uri}, {"message", first}});
  ASSERT_TRUE(put.ok) << put.fault;
  EXPECT_EQ(put.decoded, kResultOk);
  got = Call(*alice, "GetMessage", {{"uri", uri}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, messageAnswer(first));
  EXPECT_EQ(RowOf(uri).message, first);

  // A message is put only where there is none; the refusal shows the one there.
  put = Call(*alice, "PutMessage", {{"uri", uri}, {"message", "second"}});
  EXPECT_EQ(put.status, kMessageExists) << put.fault;
  EXPECT_EQ(FaultDescription(*alice), messageAnswer(first));
  EXPECT_EQ(RowOf(uri).message, first);

  const std::string second = "moved to 11 & <online>";
  CallOutcome update = Call(*alice, "UpdateMessage", {{"uri", uri}, {"message", second}});
  ASSERT_TRUE(update.ok) << update.fault;
  EXPECT_EQ(update.decoded, kResultOk);
  got = Call(*alice, "GetMessage", {{"uri", uri}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, messageAnswer(second));

  // Messages are attributes: "r" is not enough, "ar" reads, "aw" writes, "ad" removes.
  EXPECT_EQ(Call(*bob, "GetMessage", {{"uri", uri}}).status, kAccessDenied);
  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "r"}}).ok);
  EXPECT_EQ(Call(*bob, "GetMessage", {{"uri", uri}}).status, kAccessDenied);
  ASSERT_TRUE(Call(*alice, "UpdateACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "ar"}}).ok);
  got = Call(*bob, "GetMessage", {{"uri", uri}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, messageAnswer(second));
  EXPECT_EQ(Call(*bob, "UpdateMessage", {{"uri", uri}, {"message", "bob's"}}).status, kAccessDenied);
  EXPECT_EQ(Call(*bob, "RemoveMessage", {{"uri", uri}}).status, kAccessDenied);
  ASSERT_TRUE(Call(*alice, "UpdateACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "araw"}}).ok);
  EXPECT_TRUE(Call(*bob, "UpdateMessage", {{"uri", uri}, {"message", "bob's"}}).ok);
  EXPECT_EQ(Call(*bob, "RemoveMessage", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(RowOf(uri).message, "bob's");

  CallOutcome removed = Call(*alice, "RemoveMessage", {{"uri", uri}});
  ASSERT_TRUE(removed.ok) << removed.fault;
  EXPECT_EQ(removed.decoded, kResultOk);
  got = Call(*alice, "GetMessage", {{"uri", uri}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, messageAnswer(""));
  EXPECT_EQ(RowOf(uri).message, "");
  // Message changes stamp the row; text updates do not.
  const CollabRow stamped = RowOf(uri);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_TRUE(Call(*alice, "UpdateShareField", {{"uri", uri}, {"field", "field text"}}).ok);
  EXPECT_EQ(RowOf(uri).updated, stamped.updated);
  ASSERT_TRUE(Call(*alice, "UpdateMessage", {{"uri", uri}, {"message", ""}}).ok);
  EXPECT_NE(RowOf(uri).updated, stamped.updated);
  EXPECT_EQ(RowOf(uri).created, stamped.created);

  // Empty again: a put is taken.
  EXPECT_TRUE(Call(*alice, "PutMessage", {{"uri", uri}, {"message", "third"}}).ok);
  EXPECT_EQ(RowOf(uri).message, "third");
  EXPECT_EQ(RowOf(uri).field, "field text");

  const std::string unknown = CollabUri(alice_, "nothing");
  EXPECT_EQ(Call(*alice, "GetMessage", {{"uri", unknown}}).status, kUriInvalid);
  EXPECT_EQ(Call(*alice, "PutMessage", {{"uri", unknown}, {"message", "m"}}).status, kUriInvalid);
  EXPECT_EQ(Call(*alice, "UpdateMessage", {{"uri", unknown}, {"message", "m"}}).status, kUriInvalid);
  EXPECT_EQ(Call(*alice, "RemoveMessage", {{"uri", unknown}}).status, kUriInvalid);
  EXPECT_EQ(instance_->CollabRows(alice_).size(), 1u);
}

// ---- Conference URLs -------------------------------------------------------------------

TEST_P(CollabAcl, ConferenceManagerUrlFromTheRegistryEscaped) {
  QUOR_START_COLLAB(InstanceOptions{});
  constexpr HRESULT notSet = kConferenceUrlNotSet;
  CallOutcome url = Call(*bob, "GetConferenceManagerURL");
  EXPECT_EQ(url.status, notSet) << url.fault;
  EXPECT_NE(url.fault.find("Conference Manager URL is not set."), std::string::npos) << url.fault;
  ASSERT_NO_FATAL_FAILURE(instance_->SetServiceValue("ConferenceManagerURL", ""));
  EXPECT_EQ(Call(*bob, "GetConferenceManagerURL").status, notSet);

  const std::string value = "https://conf.example/manager?room=a&user=<b>&note='x'";
  ASSERT_NO_FATAL_FAILURE(instance_->SetServiceValue("ConferenceManagerURL", value));
  url = Call(*bob, "GetConferenceManagerURL");
  ASSERT_TRUE(url.ok) << url.fault;
  EXPECT_EQ(url.decoded,
            "<root><url>https://conf.example/manager?room=a&amp;user=&lt;b&gt;&amp;note='x'</url></root>");
  // It is XML that reads back as the value.
  const xml::DocumentPtr doc = xml::Document::Create();
  ASSERT_TRUE(doc->loadXML(url.decoded)) << url.decoded;
  EXPECT_EQ(doc->documentElement()->text(), value);

  ASSERT_NO_FATAL_FAILURE(instance_->SetServiceValue("ConferenceManagerURL", std::nullopt));
  EXPECT_EQ(Call(*alice, "GetConferenceManagerURL").status, notSet);

  // Application sharing and video conferences have no server side, and
  // nothing more to say: the event log's line holds the status alone.
  for (const char* method : {"GetApplicationShareURL", "GetVideoConferenceListURL", "GetVideoConferenceURL"}) {
    const CallOutcome call = Call(*alice, method, {{"author", alice_}, {"name", "x"}});
    EXPECT_EQ(call.status, kNotImplemented) << method << ": " << call.fault;
    // The client reads errorInfo's description, then its status: the
    // description is there and empty, and so is the fault string.
    EXPECT_EQ(call.fault, " [0x80004001]") << method;
    const Result<soap::Answer> answer = soap::ParseAnswer(alice->LastAnswer());
    ASSERT_TRUE(answer.ok()) << alice->LastAnswer();
    EXPECT_EQ(answer->fault.description, "") << alice->LastAnswer();
  }
  const std::string events = instance_->Events();
  constexpr std::string_view kStatus = "\t[0x80004001]", kLineEnd = " \n";
  size_t lines = 0;
  for (size_t at = events.find(kStatus); at != std::string::npos; at = events.find(kStatus, at + 1), ++lines)
    EXPECT_EQ(events.substr(at + kStatus.size(), kLineEnd.size()), kLineEnd) << events;
  EXPECT_EQ(lines, 3u) << events;
}

INSTANTIATE_TEST_SUITE_P(Engines, CollabAcl, ::testing::Values(Database::Sqlite, Database::Postgres), EngineName);

// The conference URL needs no database; the share fields do.
class CollabWithoutDatabase : public RoadTest {};

TEST_F(CollabWithoutDatabase, ConferenceUrlStillAnswers) {
  InstanceOptions options;
  options.database = Database::SqliteUnopenable;
  QUOR_START_INSTANCE(options);
  ASSERT_NO_FATAL_FAILURE(instance_->SetServiceValue("ConferenceManagerURL", "http://conf.example/m?a=1&b=2"));
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  CallOutcome url = Call(*client, "GetConferenceManagerURL");
  ASSERT_TRUE(url.ok) << url.fault;
  EXPECT_EQ(url.decoded, "<root><url>http://conf.example/m?a=1&amp;b=2</url></root>");
  const std::string uri = CollabUri("administrator", "x");
  EXPECT_EQ(Call(*client, "GetShareField", {{"uri", uri}}).status, kDatabaseMissing);
  EXPECT_EQ(Call(*client, "PutShareField", {{"author", "administrator"}, {"name", "x"}, {"field", "f"}}).status,
            kDatabaseMissing);
  EXPECT_TRUE(instance_->Running());
}

}  // namespace
}  // namespace quor::admin::testing
