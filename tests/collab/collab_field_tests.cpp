// Share fields over the wire: texts stored and answered exactly, the rows the
// puts leave, who may read, write and remove them (owner, a granted user, an
// administrator), the row lists, and the refusals that change nothing.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

using namespace collab;

// Length in UTF-16 code units of a UTF-8 text.
size_t Utf16Length(std::string_view utf8) {
  size_t units = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) == 0x80) continue;  // continuation byte
    units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

// About 1 MB of text with everything that must survive the trip: quotes,
// markup characters, SQL punctuation, Japanese, a character outside the BMP,
// line ends and tabs.
std::string BigField() {
  const std::string piece =
      "line \"double\" 'single' <tag attr='x'>&amp; & </tag> -- ; %_ "
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88 "
      "\xF0\x9F\x98\x80\r\n\t";
  std::string text;
  for (int i = 0; text.size() < (1u << 20); ++i) text += std::to_string(i) + " " + piece;
  return text;
}

// Where two long texts part, for the failure message.
std::string FirstDifference(const std::string& actual, const std::string& expected) {
  if (actual == expected) return "equal";
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  const auto around = [&](const std::string& text) {
    const size_t from = at < 40 ? 0 : at - 40;
    return "[" + text.substr(from, 80) + "]";
  };
  return "sizes " + std::to_string(actual.size()) + "/" + std::to_string(expected.size()) + ", first difference at " +
         std::to_string(at) + ": got " + around(actual) + " expected " + around(expected);
}

const std::regex kLocalTime("[0-9]{4}/[0-9]{1,2}/[0-9]{1,2} [0-9]{1,2}:[0-9]{1,2}:[0-9]{1,2}");

class CollabFields : public CollabRoad {};

TEST_P(CollabFields, PutReadUpdateRemoveExactly) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string quoted = "He said \"it's <fine>\" & left; -- 'x' = 'x'\n\ttabbed \\ back";
  const std::string japanese =
      "\xE5\x85\xB1\xE6\x9C\x89\xE3\x83\x95\xE3\x82\xA3\xE3\x83\xBC\xE3\x83\xAB\xE3\x83\x89\xE3\x80\x8C"
      "\xE4\xBC\x9A\xE8\xAD\xB0\xE3\x80\x8D \xF0\x9F\x98\x80";
  const std::string big = BigField();

  struct Case {
    std::string name, text;
  };
  const std::vector<Case> cases = {{"quoted", quoted},
                                   {"\xE6\x97\xA5\xE6\x9C\xAC", japanese},
                                   {"big", big},
                                   {"empty", ""},
                                   {"spaces", "  leading and trailing  "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string uri = PutNew(*alice, alice_, c.name, c.text);
    ASSERT_FALSE(uri.empty());
    const CallOutcome got = Call(*alice, "GetShareField", {{"uri", uri}});
    ASSERT_TRUE(got.ok) << got.fault;
    // Read back as XML, the text is the one put (a carriage return may travel
    // as a character reference).
    const std::optional<std::string> back = OnlyChildText(got.decoded, "field");
    ASSERT_TRUE(back) << got.decoded.substr(0, 200);
    EXPECT_TRUE(*back == c.text) << FirstDifference(*back, c.text);
    if (c.text.find('\r') == std::string::npos) {
      EXPECT_EQ(got.decoded, FieldAnswer(c.text));
    }

    // The row as a new share field starts.
    const CollabRow row = RowOf(uri);
    EXPECT_EQ(row.author, alice_);
    EXPECT_EQ(row.name, c.name);
    EXPECT_TRUE(row.field == c.text) << FirstDifference(row.field, c.text);
    EXPECT_EQ(row.fieldLength, std::to_string(Utf16Length(c.text)));
    EXPECT_EQ(row.owner, alice_);
    EXPECT_EQ(row.message, "");
    EXPECT_EQ(row.lock, "0");
    EXPECT_EQ(row.accessLevel, "0");
    EXPECT_EQ(row.acl, DefaultAcl(alice_));
    EXPECT_TRUE(std::regex_match(row.created, kLocalTime)) << row.created;
    EXPECT_EQ(row.updated, row.created);
  }
  ASSERT_EQ(instance_->CollabRows(alice_).size(), cases.size());

  // An update replaces the text (and its length), and answers nothing.
  const std::string uri = CollabUri(alice_, "quoted");
  const CollabRow before = RowOf(uri);
  const std::string updated = "updated \xE6\x9B\xB4\xE6\x96\xB0 <b>'ok'</b> & \"done\"";
  CallOutcome update = Call(*alice, "UpdateShareField", {{"uri", uri}, {"field", updated}});
  ASSERT_TRUE(update.ok) << update.fault;
  EXPECT_EQ(update.decoded, "");
  CallOutcome got = Call(*alice, "GetShareField", {{"uri", uri}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, FieldAnswer(updated));
  CollabRow after = RowOf(uri);
  EXPECT_EQ(after.field, updated);
  EXPECT_EQ(after.fieldLength, std::to_string(Utf16Length(updated)));
  EXPECT_EQ(after.updated, before.updated);  // a text update leaves the stamp
  EXPECT_EQ(after.created, before.created);
  // The big field shrinks to nothing and grows again.
  const std::string bigUri = CollabUri(alice_, "big");
  ASSERT_TRUE(Call(*alice, "UpdateShareField", {{"uri", bigUri}, {"field", ""}}).ok);
  EXPECT_EQ(RowOf(bigUri).fieldLength, "0");
  ASSERT_TRUE(Call(*alice, "UpdateShareField", {{"uri", bigUri}, {"field", big}}).ok);
  got = Call(*alice, "GetShareField", {{"uri", bigUri}});
  ASSERT_TRUE(got.ok) << got.fault;
  const std::optional<std::string> back = OnlyChildText(got.decoded, "field");
  ASSERT_TRUE(back);
  EXPECT_TRUE(*back == big) << FirstDifference(*back, big);

  // Removal, once.
  CallOutcome removed = Call(*alice, "RemoveShareField", {{"uri", uri}});
  ASSERT_TRUE(removed.ok) << removed.fault;
  EXPECT_EQ(removed.decoded, kResultOk);
  EXPECT_EQ(Call(*alice, "GetShareField", {{"uri", uri}}).status, kUriInvalid);
  EXPECT_EQ(Call(*alice, "RemoveShareField", {{"uri", uri}}).status, kUriInvalid);
  EXPECT_EQ(Call(*alice, "UpdateShareField", {{"uri", uri}, {"field", "x"}}).status, kUriInvalid);
  EXPECT_EQ(Call(*alice, "GetShareField", {{"uri", ""}}).status, kUriMissing);
  EXPECT_EQ(instance_->CollabRows(alice_).size(), cases.size() - 1);
  // A field of that name can be put anew.
  EXPECT_FALSE(PutNew(*alice, alice_, "quoted", "again").empty());
}

TEST_P(CollabFields, RightsOfOwnerGranteeAndAdministrator) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string text = "alice's plan: <draft> & \"ideas\"";
  const std::string uri = PutNew(*alice, alice_, "plan", text);
  ASSERT_FALSE(uri.empty());
  const CollabRow original = RowOf(uri);

  // bob holds no entry: nothing of it is his.
  EXPECT_EQ(Call(*bob, "GetShareField", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(Call(*bob, "UpdateShareField", {{"uri", uri}, {"field", "bob was here"}}).status, kAccessDenied);
  EXPECT_EQ(Call(*bob, "RemoveShareField", {{"uri", uri}}).status, kAccessDenied);
  // Putting the same author and name is no way around it: the field exists,
  // bob may not read it, and no second row and no take-over follow.
  CallOutcome takeover = Call(*bob, "PutShareField", {{"author", alice_}, {"name", "plan"}, {"field", "mine now"}});
  EXPECT_FALSE(takeover.ok) << takeover.decoded;
  EXPECT_EQ(takeover.status, kAccessDenied) << takeover.fault;
  EXPECT_EQ(instance_->CollabRows(alice_), std::vector<CollabRow>{original});
  // Nor can bob grant himself anything.
  EXPECT_EQ(Call(*bob, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "r"}}).status, kAccessDenied);

  // alice grants bob reading.
  CallOutcome grant = Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "r"}});
  ASSERT_TRUE(grant.ok) << grant.fault;
  EXPECT_EQ(grant.decoded, kResultOk);
  CallOutcome read = Call(*bob, "GetShareField", {{"uri", uri}});
  ASSERT_TRUE(read.ok) << read.fault;
  EXPECT_EQ(read.decoded, FieldAnswer(text));
  // Reading is not writing, nor removing.
  EXPECT_EQ(Call(*bob, "UpdateShareField", {{"uri", uri}, {"field", "bob was here"}}).status, kAccessDenied);
  EXPECT_EQ(Call(*bob, "RemoveShareField", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(RowOf(uri).field, text);
  EXPECT_EQ(RowOf(uri).owner, alice_);

  // The administrator entry of the default document: full rights.
  read = Call(*admin, "GetShareField", {{"uri", uri}});
  ASSERT_TRUE(read.ok) << read.fault;
  EXPECT_EQ(read.decoded, FieldAnswer(text));
  const std::string edited = "edited by the administrator";
  CallOutcome update = Call(*admin, "UpdateShareField", {{"uri", uri}, {"field", edited}});
  ASSERT_TRUE(update.ok) << update.fault;
  read = Call(*alice, "GetShareField", {{"uri", uri}});
  ASSERT_TRUE(read.ok) << read.fault;
  EXPECT_EQ(read.decoded, FieldAnswer(edited));
  EXPECT_EQ(RowOf(uri).owner, alice_);

  // Write without read: "w" alone lets bob write and still not read.
  ASSERT_TRUE(Call(*alice, "UpdateACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "w"}}).ok);
  update = Call(*bob, "UpdateShareField", {{"uri", uri}, {"field", "written blind"}});
  EXPECT_TRUE(update.ok) << update.fault;
  EXPECT_EQ(Call(*bob, "GetShareField", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(RowOf(uri).field, "written blind");

  // An administrator removes another user's share field.
  CallOutcome removed = Call(*admin, "RemoveShareField", {{"uri", uri}});
  ASSERT_TRUE(removed.ok) << removed.fault;
  EXPECT_EQ(removed.decoded, kResultOk);
  EXPECT_TRUE(instance_->CollabRows(alice_).empty());
}

TEST_P(CollabFields, ListsAndLookups) {
  QUOR_START_COLLAB(InstanceOptions{});
  if (!instance_->IsPostgres()) {
    CallOutcome none = Call(*alice, "GetShareFieldList");
    ASSERT_TRUE(none.ok) << none.fault;
    EXPECT_EQ(none.decoded, "<root/>");
    none = Call(*alice, "GetShareFieldURIList");
    ASSERT_TRUE(none.ok) << none.fault;
    EXPECT_EQ(none.decoded, "<root/>");
  }
  const std::string one = PutNew(*alice, alice_, "one", "first");
  const std::string two = PutNew(*bob, bob_, "two", "second");
  ASSERT_FALSE(one.empty() || two.empty());
  const CollabRow row = RowOf(one);

  const std::string expectedOne = "<field><author>" + alice_ + "</author><name>one</name><uri>" + one +
                                  "</uri><owner>" + alice_ +
                                  "</owner><ipaddress/><message/><active>false</active><createdate>" + row.created +
                                  "</createdate><updatedate>" + row.updated +
                                  "</updatedate><lock_status>0</lock_status><acl>" + DefaultAcl(alice_) +
                                  "</acl></field>";
  // Lists and look-ups ask for no right: bob sees alice's row too.
  CallOutcome attribute = Call(*bob, "GetShareFieldAttribute", {{"uri", one}});
  ASSERT_TRUE(attribute.ok) << attribute.fault;
  EXPECT_EQ(attribute.decoded, "<root>" + expectedOne + "</root>");
  CallOutcome byName = Call(*bob, "GetShareFieldURI", {{"author", alice_}, {"name", "one"}});
  ASSERT_TRUE(byName.ok) << byName.fault;
  EXPECT_EQ(byName.decoded, "<root>" + expectedOne + "</root>");
  byName = Call(*bob, "GetShareFieldURI", {{"author", alice_}, {"name", "nothing"}});
  ASSERT_TRUE(byName.ok) << byName.fault;
  EXPECT_EQ(byName.decoded, "<root/>");
  attribute = Call(*bob, "GetShareFieldAttribute", {{"uri", one + "x"}});
  ASSERT_TRUE(attribute.ok) << attribute.fault;
  EXPECT_EQ(attribute.decoded, "<root/>");

  // The whole lists hold both of ours (other tests' rows may be there too).
  CallOutcome uris = Call(*alice, "GetShareFieldURIList");
  ASSERT_TRUE(uris.ok) << uris.fault;
  std::vector<std::string> ours;
  for (const std::string& uri : ChildTexts(uris.decoded))
    if (uri == one || uri == two) ours.push_back(uri);
  std::sort(ours.begin(), ours.end());
  EXPECT_EQ(ours, (std::vector<std::string>{one, two}));
  CallOutcome list = Call(*alice, "GetShareFieldList");
  ASSERT_TRUE(list.ok) << list.fault;
  EXPECT_NE(list.decoded.find(expectedOne), std::string::npos) << list.decoded.substr(0, 2000);
  EXPECT_NE(list.decoded.find("<uri>" + two + "</uri><owner>" + bob_ + "</owner>"), std::string::npos);
  if (!instance_->IsPostgres()) {
    const size_t fields = ChildTexts(list.decoded).size();
    EXPECT_EQ(fields, 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, CollabFields, ::testing::Values(Database::Sqlite, Database::Postgres), EngineName);

// ---- Compressed answers ----------------------------------------------------------------

// The field answers (GetShareField, StartSharing) choose compression for
// themselves: always at threshold 1, from a length of the threshold on above
// it; every other answer only when it is longer than a threshold above 1.
class CollabCompression : public CollabRoad {
 protected:
  // Whether the last answer travelled compressed (it decodes to `call` anyway).
  bool Compressed(CVeltService& client, const CallOutcome& call) {
    EXPECT_TRUE(call.ok) << call.fault;
    const auto raw = RawOutputs(client);
    if (raw.size() != 2u) {
      ADD_FAILURE() << "outputs: " << raw.size();
      return false;
    }
    const std::string sent = raw[0].value.ToUtf8();
    return sent != call.decoded && sent.find("<root") == std::string::npos;
  }
};

TEST_P(CollabCompression, AtOneOnlyTheFieldAnswers) {
  InstanceOptions options;
  options.compressThreshold = 1;
  QUOR_START_COLLAB(options);
  const std::string uri = PutNew(*alice, alice_, "small", "x");
  ASSERT_FALSE(uri.empty());
  CallOutcome got = Call(*alice, "GetShareField", {{"uri", uri}});
  EXPECT_TRUE(Compressed(*alice, got));
  EXPECT_EQ(got.decoded, FieldAnswer("x"));
  CallOutcome start = Call(*alice, "StartSharing", {{"ipaddress", "h"}, {"uri", uri}});
  EXPECT_TRUE(Compressed(*alice, start));
  EXPECT_EQ(start.decoded, FieldAnswer("x"));
  CallOutcome list = Call(*alice, "GetAttendeesList", {{"uri", uri}});
  EXPECT_FALSE(Compressed(*alice, list));
  CallOutcome message = Call(*alice, "GetMessage", {{"uri", uri}});
  EXPECT_FALSE(Compressed(*alice, message));
  CallOutcome attribute = Call(*alice, "GetShareFieldAttribute", {{"uri", uri}});
  EXPECT_FALSE(Compressed(*alice, attribute));
  // A 1 MB field, compressed, arrives whole.
  const std::string big = BigField();
  ASSERT_TRUE(Call(*alice, "EndSharing", {{"uri", uri}}).ok);
  ASSERT_TRUE(Call(*alice, "UpdateShareField", {{"uri", uri}, {"field", big}}).ok);
  got = Call(*alice, "GetShareField", {{"uri", uri}});
  EXPECT_TRUE(Compressed(*alice, got));
  EXPECT_LT(RawOutputs(*alice)[0].value.Length(), big.size() / 4);
  const std::optional<std::string> back = OnlyChildText(got.decoded, "field");
  ASSERT_TRUE(back);
  EXPECT_TRUE(*back == big) << FirstDifference(*back, big);
}

TEST_P(CollabCompression, AboveOneTheLengthDecides) {
  InstanceOptions options;
  options.compressThreshold = 100;
  QUOR_START_COLLAB(options);
  // "<root><field>" + 72 characters + "</field></root>": exactly 100.
  const std::string uri = PutNew(*alice, alice_, "edge", std::string(72, 'f'));
  ASSERT_FALSE(uri.empty());
  CallOutcome got = Call(*alice, "GetShareField", {{"uri", uri}});
  ASSERT_EQ(got.decoded.size(), 100u);
  EXPECT_TRUE(Compressed(*alice, got));
  ASSERT_TRUE(Call(*alice, "UpdateShareField", {{"uri", uri}, {"field", std::string(71, 'f')}}).ok);
  got = Call(*alice, "GetShareField", {{"uri", uri}});
  ASSERT_EQ(got.decoded.size(), 99u);
  EXPECT_FALSE(Compressed(*alice, got));
  // "<root><message>" + 68 characters + "</message></root>": 100, kept plain; 101 compressed.
  ASSERT_TRUE(Call(*alice, "PutMessage", {{"uri", uri}, {"message", std::string(68, 'm')}}).ok);
  CallOutcome message = Call(*alice, "GetMessage", {{"uri", uri}});
  ASSERT_EQ(message.decoded.size(), 100u);
  EXPECT_FALSE(Compressed(*alice, message));
  ASSERT_TRUE(Call(*alice, "UpdateMessage", {{"uri", uri}, {"message", std::string(69, 'm')}}).ok);
  message = Call(*alice, "GetMessage", {{"uri", uri}});
  ASSERT_EQ(message.decoded.size(), 101u);
  EXPECT_TRUE(Compressed(*alice, message));
}

INSTANTIATE_TEST_SUITE_P(Engines, CollabCompression, ::testing::Values(Database::Sqlite), EngineName);

}  // namespace
}  // namespace quor::admin::testing
