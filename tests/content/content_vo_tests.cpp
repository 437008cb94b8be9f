// Vesk objects over the wire, on SQLite and PostgreSQL: content by name and
// by URN, compressed reads, ACLs, the lock table, the administrators' URN
// operations and lists, and hostile names.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

using namespace collab;

inline constexpr HRESULT kAdministratorOnly = static_cast<HRESULT>(0x8100006B);
inline constexpr HRESULT kVeskLocked = static_cast<HRESULT>(0x8100006F);

std::string VOUri(std::string_view owner, std::string_view name) {
  return "urn:vocontent:vodb000:" + std::string(owner) + "-" + std::string(name);
}

std::string ContentAnswer(std::string_view text) {
  return text.empty() ? "<root/>" : "<root>" + XmlText(text) + "</root>";
}

// The texts of the elements named `name` anywhere in `answer`, in order.
std::vector<std::string> Texts(const std::string& answer, std::string_view name) {
  auto document = xml::Document::Create();
  EXPECT_TRUE(document->loadXML(answer)) << answer.substr(0, 200);
  std::vector<std::string> texts;
  std::vector<xml::NodePtr> pending{document->documentElement()};
  while (!pending.empty()) {
    auto node = pending.back();
    pending.pop_back();
    if (!node) continue;
    if (node->nodeName() == name) texts.push_back(node->text());
    auto children = node->childNodes();
    for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(*it);
  }
  return texts;
}

size_t Count(const std::vector<std::string>& texts, const std::string& value) {
  return static_cast<size_t>(std::count(texts.begin(), texts.end(), value));
}

// One row of QUORVESK, as the database holds it (NULL read as "").
struct VORow {
  std::string user, name, length, content, lock, acl;
};

class ContentRoad : public CollabRoad {
 protected:
  void TearDown() override {
    // PostgreSQL's tables are shared: this test's objects go with it.
    if (instance_ && instance_->IsPostgres() && !instance_->Odbc().empty()) {
      core::CSqlServerDBConnect db;
      if (Open(db).ok()) {
        for (const std::string& user : {admin_, alice_, bob_}) {
          if (user.empty()) continue;
          const com::Variant like[] = {com::Variant(com::Bstr::FromUtf8("%" + user + "%"))};
          db.ExecuteNonQuery("DELETE FROM QUORVESK WHERE VOURI LIKE ?", like).Ignore();
        }
      }
    }
    CollabRoad::TearDown();
  }

  Status Open(core::CDBConnect& db) const {
    return db.Open("MSDASQL.1", com::Bstr(u""), com::Bstr(u""), com::Bstr(u""), com::Bstr(u""),
                   com::Bstr::FromUtf8(instance_->Odbc()));
  }

  // The row of `uri`; nullopt when there is none.
  std::optional<VORow> RowOf(std::string_view uri) {
    core::CSqlServerDBConnect db;
    if (const Status opened = Open(db); !opened.ok()) {
      ADD_FAILURE() << "cannot open the repository: " << opened.message();
      return std::nullopt;
    }
    core::CommandHolder command;
    core::RecordsetHolder set;
    const com::Variant params[] = {com::Variant(com::Bstr::FromUtf8(uri))};
    if (const Status read = db.ExecuteQuery(command, set,
                                            "SELECT VOUSER, NAME, CONTENTLEN, CONTENT, LOCK_STATUS, ACCESSLIST "
                                            "FROM QUORVESK WHERE VOURI = ?",
                                            params);
        !read.ok()) {
      ADD_FAILURE() << read.message();
      return std::nullopt;
    }
    const auto field = [&](std::string_view column) {
      return db.GetFieldString(set, column).code() == 0 ? db.LastFieldValue().ToUtf8() : std::string();
    };
    std::optional<VORow> row;
    if (!set->Eof())
      row = VORow{field("VOUSER"), field("NAME"), field("CONTENTLEN"), field("CONTENT"), field("LOCK_STATUS"),
                  field("ACCESSLIST")};
    db.ReleaseQuery(command, set);
    return row;
  }

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

  // Puts `user`'s object; its URN, or "" (with a failure).
  std::string Put(CVeltService& client, std::string_view user, std::string_view name, std::string_view content) {
    const CallOutcome put = Call(client, "PutVOContent", {{"name", name}, {"content", content}});
    EXPECT_TRUE(put.ok) << name << ": " << put.fault;
    EXPECT_EQ(put.decoded, kResultOk);
    return put.ok ? VOUri(user, name) : std::string();
  }
};

TEST_P(ContentRoad, AliceKeepsHerObjects) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string text = "Plan: <b>'all' & \"more\"</b>\n\xE6\x97\xA5\xE6\x9C\xAC";
  const std::string uri = Put(*alice, alice_, "plan", text);
  ASSERT_FALSE(uri.empty());
  CallOutcome got = Call(*alice, "GetVOContent", {{"name", "plan"}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, ContentAnswer(text));
  got = Call(*alice, "GetVOContentbyURI", {{"uri", uri}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, ContentAnswer(text));
  auto row = RowOf(uri);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->content, text);
  EXPECT_EQ(row->user, alice_);
  EXPECT_EQ(row->length, "30") << "UTF-16 code units";

  // Overwrite by put, by name and by URN.
  ASSERT_TRUE(Call(*alice, "PutVOContent", {{"name", "plan"}, {"content", "v2"}}).ok);
  EXPECT_EQ(Call(*alice, "GetVOContent", {{"name", "plan"}}).decoded, ContentAnswer("v2"));
  CallOutcome update = Call(*alice, "UpdateVOContent", {{"name", "plan"}, {"content", "v3"}});
  ASSERT_TRUE(update.ok) << update.fault;
  EXPECT_EQ(update.decoded, kResultOk);
  update = Call(*alice, "UpdateVOContentbyURI", {{"uri", uri}, {"content", "v4"}});
  ASSERT_TRUE(update.ok) << update.fault;
  EXPECT_EQ(update.decoded, "");
  EXPECT_EQ(RowOf(uri)->content, "v4");

  // Lists and URNs of her own objects.
  const std::string second = Put(*alice, alice_, "notes", "n");
  CallOutcome list = Call(*alice, "GetVOList");
  ASSERT_TRUE(list.ok) << list.fault;
  auto listed = Texts(list.decoded, "uri");
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{second, uri}));
  CallOutcome uris = Call(*alice, "GetVOURIList");
  ASSERT_TRUE(uris.ok) << uris.fault;
  listed = Texts(uris.decoded, "uri");
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{second, uri}));
  EXPECT_TRUE(uris.decoded.starts_with("<root><uri>")) << uris.decoded;
  CallOutcome one = Call(*bob, "GetVOURI", {{"vouser", alice_}, {"name", "notes"}});
  ASSERT_TRUE(one.ok) << one.fault;
  EXPECT_EQ(one.decoded, "<root><uri>" + XmlText(second) + "</uri></root>");
  CallOutcome attribute = Call(*bob, "GetVOAttribute", {{"uri", uri}});
  ASSERT_TRUE(attribute.ok) << attribute.fault;
  EXPECT_EQ(Texts(attribute.decoded, "name"), std::vector<std::string>{"plan"});
  EXPECT_EQ(Call(*bob, "GetVOList").decoded, "<root/>");

  // bob has no rights and no objects of that name.
  EXPECT_EQ(Call(*bob, "GetVOContentbyURI", {{"uri", uri}}).status, kAccessDenied);
  EXPECT_EQ(Call(*bob, "GetVOContent", {{"name", "plan"}}).decoded, "<root/>");
  EXPECT_EQ(Call(*bob, "RemoveVOContentbyURI", {{"uri", uri}}).status, kAccessDenied);

  CallOutcome removed = Call(*alice, "RemoveVOContent", {{"name", "plan"}});
  ASSERT_TRUE(removed.ok) << removed.fault;
  EXPECT_EQ(removed.decoded, kResultOk);
  EXPECT_FALSE(RowOf(uri));
  EXPECT_EQ(Call(*alice, "GetVOContent", {{"name", "plan"}}).decoded, "<root/>");
  EXPECT_EQ(Call(*alice, "GetVOContentbyURI", {{"uri", uri}}).status, kUriInvalid);
  ASSERT_TRUE(Call(*alice, "RemoveVOContentbyURI", {{"uri", second}}).ok);
  EXPECT_FALSE(RowOf(second));
}

TEST_P(ContentRoad, ContentReadsChooseCompressionListsDoNot) {
  InstanceOptions options;
  options.compressThreshold = 100;
  QUOR_START_COLLAB(options);
  // "<root>" + 87 characters + "</root>": exactly 100.
  ASSERT_FALSE(Put(*alice, alice_, "edge", std::string(87, 'c')).empty());
  CallOutcome got = Call(*alice, "GetVOContent", {{"name", "edge"}});
  ASSERT_EQ(got.decoded.size(), 100u);
  EXPECT_TRUE(Compressed(*alice, got));
  got = Call(*alice, "GetVOContentbyURI", {{"uri", VOUri(alice_, "edge")}});
  EXPECT_TRUE(Compressed(*alice, got));
  EXPECT_EQ(got.decoded, ContentAnswer(std::string(87, 'c')));
  ASSERT_TRUE(Call(*alice, "UpdateVOContent", {{"name", "edge"}, {"content", std::string(86, 'c')}}).ok);
  got = Call(*alice, "GetVOContent", {{"name", "edge"}});
  ASSERT_EQ(got.decoded.size(), 99u);
  EXPECT_FALSE(Compressed(*alice, got));

  // Any other answer of exactly 100 characters stays plain.
  const std::string name(100 - 47 - alice_.size(), 'n');
  ASSERT_FALSE(Put(*alice, alice_, name, "x").empty());
  CallOutcome uri = Call(*alice, "GetVOURI", {{"vouser", alice_}, {"name", name}});
  ASSERT_EQ(uri.decoded.size(), 100u) << uri.decoded;
  EXPECT_FALSE(Compressed(*alice, uri));
  // The list decides by the length only, never by choice.
  CallOutcome list = Call(*alice, "GetVOList");
  EXPECT_EQ(Compressed(*alice, list), list.decoded.size() > 100u);
  CallOutcome empty = Call(*bob, "GetVOList");
  EXPECT_FALSE(Compressed(*bob, empty));
  EXPECT_EQ(empty.decoded, "<root/>");
}

TEST_P(ContentRoad, AclsGrantBobReadThenWrite) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string uri = Put(*alice, alice_, "shared", "first");
  ASSERT_FALSE(uri.empty());
  CallOutcome acl = Call(*alice, "GetACL", {{"uri", uri}});
  ASSERT_TRUE(acl.ok) << acl.fault;
  EXPECT_EQ(acl.decoded, "<root>" + DefaultAcl(alice_) + "</root>");
  EXPECT_EQ(Call(*bob, "GetACL", {{"uri", uri}}).status, kAccessDenied);

  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "r"}}).ok);
  CallOutcome read = Call(*bob, "GetVOContentbyURI", {{"uri", uri}});
  ASSERT_TRUE(read.ok) << read.fault;
  EXPECT_EQ(read.decoded, ContentAnswer("first"));
  EXPECT_EQ(Call(*bob, "UpdateVOContentbyURI", {{"uri", uri}, {"content", "bob"}}).status, kAccessDenied);
  EXPECT_EQ(RowOf(uri)->content, "first");

  ASSERT_TRUE(Call(*alice, "UpdateACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "rw"}}).ok);
  CallOutcome entry = Call(*alice, "GetACLEntry", {{"uri", uri}, {"acluser", bob_}});
  ASSERT_TRUE(entry.ok) << entry.fault;
  EXPECT_EQ(entry.decoded, "<control><user>" + XmlText(bob_) + "</user><access>rw</access></control>");
  ASSERT_TRUE(Call(*bob, "UpdateVOContentbyURI", {{"uri", uri}, {"content", "by bob"}}).ok);
  EXPECT_EQ(RowOf(uri)->content, "by bob");
  EXPECT_EQ(Call(*bob, "RemoveVOContentbyURI", {{"uri", uri}}).status, kAccessDenied);

  ASSERT_TRUE(Call(*alice, "DeleteACLEntry", {{"uri", uri}, {"acluser", bob_}}).ok);
  EXPECT_EQ(RowOf(uri)->acl, DefaultAcl(alice_));
  EXPECT_EQ(Call(*bob, "GetVOContentbyURI", {{"uri", uri}}).status, kAccessDenied);
  // A whole document, then the reset to the caller's default.
  const std::string everyone =
      "<VOACL><control><user>everyone</user><access>r</access></control>" + DefaultAcl(alice_).substr(7);
  ASSERT_TRUE(Call(*alice, "PutACL", {{"uri", uri}, {"acl", everyone}}).ok);
  EXPECT_TRUE(Call(*bob, "GetVOContentbyURI", {{"uri", uri}}).ok);
  ASSERT_TRUE(Call(*alice, "DeleteACL", {{"uri", uri}}).ok);
  EXPECT_EQ(RowOf(uri)->acl, DefaultAcl(alice_));
  EXPECT_EQ(Call(*bob, "GetVOContentbyURI", {{"uri", uri}}).status, kAccessDenied);
}

TEST_P(ContentRoad, TheLockTable) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string uri = Put(*alice, alice_, "doc", "v1");
  ASSERT_FALSE(uri.empty());
  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "rw"}}).ok);

  CallOutcome lock = Call(*alice, "LockVO", {{"uri", uri}});
  ASSERT_TRUE(lock.ok) << lock.fault;
  EXPECT_EQ(lock.decoded, kResultOk);
  EXPECT_EQ(RowOf(uri)->lock, alice_);
  lock = Call(*alice, "LockVO", {{"uri", uri}});
  ASSERT_TRUE(lock.ok) << lock.fault;
  EXPECT_EQ(lock.decoded, "") << "the holder locking again";
  EXPECT_EQ(Call(*bob, "LockVO", {{"uri", uri}}).status, kVeskLocked);
  EXPECT_EQ(Call(*bob, "GetVOContentbyURIwithLock", {{"uri", uri}}).status, kVeskLocked);

  // bob's writes are refused while alice holds it; nobody removes it.
  EXPECT_EQ(Call(*bob, "UpdateVOContentbyURI", {{"uri", uri}, {"content", "bob"}}).status, kLockedByOther);
  EXPECT_EQ(Call(*bob, "UpdateVOContentbyURIwithUnlock", {{"uri", uri}, {"content", "bob"}}).status, kLockedByOther);
  EXPECT_EQ(Call(*alice, "RemoveVOContent", {{"name", "doc"}}).status, kObjectLocked);
  EXPECT_EQ(Call(*bob, "UnlockVO", {{"uri", uri}}).status, kUnlockRefused);
  EXPECT_EQ(RowOf(uri)->content, "v1");
  EXPECT_EQ(RowOf(uri)->lock, alice_);

  // Her update with unlock writes and releases.
  CallOutcome update = Call(*alice, "UpdateVOContentwithUnlock", {{"name", "doc"}, {"content", "v2"}});
  ASSERT_TRUE(update.ok) << update.fault;
  EXPECT_EQ(update.decoded, kResultOk);
  EXPECT_EQ(RowOf(uri)->content, "v2");
  EXPECT_EQ(RowOf(uri)->lock, "0");

  // bob takes it by URN and updates with unlock.
  CallOutcome take = Call(*bob, "GetVOContentbyURIwithLock", {{"uri", uri}});
  ASSERT_TRUE(take.ok) << take.fault;
  EXPECT_EQ(RowOf(uri)->lock, bob_);
  EXPECT_EQ(Call(*alice, "UpdateVOContent", {{"name", "doc"}, {"content", "alice"}}).status, kLockedByOther);
  ASSERT_TRUE(Call(*bob, "UpdateVOContentbyURIwithUnlock", {{"uri", uri}, {"content", "v3"}}).ok);
  EXPECT_EQ(RowOf(uri)->content, "v3");
  EXPECT_EQ(RowOf(uri)->lock, "0");

  // alice locks by name; the administrator forces it open.
  ASSERT_TRUE(Call(*alice, "GetVOContentwithLock", {{"name", "doc"}}).ok);
  EXPECT_EQ(Call(*alice, "GetVOContentwithLock", {{"name", "doc"}}).status, kVeskLocked);
  CallOutcome forced = Call(*admin, "UnlockVO", {{"uri", uri}});
  ASSERT_TRUE(forced.ok) << forced.fault;
  EXPECT_EQ(forced.decoded, kResultOk);
  EXPECT_EQ(RowOf(uri)->lock, "0");
  ASSERT_TRUE(Call(*alice, "RemoveVOContent", {{"name", "doc"}}).ok);
  EXPECT_FALSE(RowOf(uri));
}

TEST_P(ContentRoad, AnAdministratorManagesObjectsByUrn) {
  QUOR_START_COLLAB(InstanceOptions{});
  EXPECT_EQ(Call(*alice, "PutVOURI", {{"vouser", bob_}, {"name", "given"}}).status, kAdministratorOnly);
  CallOutcome put = Call(*admin, "PutVOURI", {{"vouser", alice_}, {"name", "given"}});
  ASSERT_TRUE(put.ok) << put.fault;
  EXPECT_EQ(put.decoded, kResultOk);
  const std::string uri = VOUri(alice_, "given");
  auto row = RowOf(uri);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->user, alice_);
  EXPECT_EQ(row->length, "0");
  EXPECT_EQ(row->acl, DefaultAcl(alice_));
  EXPECT_EQ(Call(*admin, "PutVOURI", {{"vouser", alice_}, {"name", "given"}}).status, kAlreadyExisting);
  // The empty object is hers to write.
  ASSERT_FALSE(Put(*alice, alice_, "given", "filled").empty());
  EXPECT_EQ(RowOf(uri)->content, "filled");
  ASSERT_FALSE(Put(*alice, alice_, "more", "m").empty());
  ASSERT_FALSE(Put(*bob, bob_, "bobs", "b").empty());

  for (const char* method : {"GetAllVOList", "GetAllVOURIList", "GetAllVOUserList"})
    EXPECT_EQ(Call(*alice, method).status, kAdministratorOnly) << method;
  CallOutcome all = Call(*admin, "GetAllVOList");
  ASSERT_TRUE(all.ok) << all.fault;
  auto uris = Texts(all.decoded, "uri");
  for (const std::string& u : {uri, VOUri(alice_, "more"), VOUri(bob_, "bobs")}) EXPECT_EQ(Count(uris, u), 1u) << u;
  all = Call(*admin, "GetAllVOURIList");
  ASSERT_TRUE(all.ok) << all.fault;
  uris = Texts(all.decoded, "uri");
  for (const std::string& u : {uri, VOUri(alice_, "more"), VOUri(bob_, "bobs")}) EXPECT_EQ(Count(uris, u), 1u) << u;
  all = Call(*admin, "GetAllVOUserList");
  ASSERT_TRUE(all.ok) << all.fault;
  const auto users = Texts(all.decoded, "user");
  // The owner of each object: an owner of two objects twice.
  EXPECT_EQ(Count(users, alice_), 2u) << all.decoded;
  EXPECT_EQ(Count(users, bob_), 1u);

  // RemoveVOURI: administrators only; a locked object goes too.
  ASSERT_TRUE(Call(*alice, "LockVO", {{"uri", uri}}).ok);
  EXPECT_EQ(Call(*alice, "RemoveVOURI", {{"uri", uri}}).status, kAdministratorOnly);
  CallOutcome removed = Call(*admin, "RemoveVOURI", {{"uri", uri}});
  ASSERT_TRUE(removed.ok) << removed.fault;
  EXPECT_EQ(removed.decoded, kResultOk);
  EXPECT_FALSE(RowOf(uri));
  EXPECT_EQ(Call(*admin, "RemoveVOURI", {{"uri", uri}}).status, kUriInvalid);
}

TEST_P(ContentRoad, HostileNamesStayNames) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string bystander = Put(*bob, bob_, "bystander", "untouched");
  for (const std::string name : {"'; DROP TABLE QUORVESK; --", "../../etc/passwd", "a'b\"c<d>&e", "x' OR '1'='1",
                                 "\xE6\x97\xA5'\xE6\x9C\xAC"}) {
    SCOPED_TRACE(name);
    const std::string uri = Put(*alice, alice_, name, name);
    ASSERT_FALSE(uri.empty());
    CallOutcome got = Call(*alice, "GetVOContent", {{"name", name}});
    ASSERT_TRUE(got.ok) << got.fault;
    EXPECT_EQ(got.decoded, ContentAnswer(name));
    CallOutcome one = Call(*alice, "GetVOURI", {{"vouser", alice_}, {"name", name}});
    EXPECT_EQ(Texts(one.decoded, "uri"), std::vector<std::string>{uri});
    ASSERT_TRUE(Call(*alice, "RemoveVOContent", {{"name", name}}).ok);
    EXPECT_FALSE(RowOf(uri));
  }
  // A URN collision with another owner's object is refused, not merged:
  // (bob, "by-stander") and (bob + "-by", "stander") make the same URN.
  const std::string taken = Put(*bob, bob_, "by-stander", "bob's");
  EXPECT_EQ(Call(*admin, "PutVOURI", {{"vouser", bob_ + "-by"}, {"name", "stander"}}).status, kAlreadyExisting);
  EXPECT_EQ(RowOf(taken)->user, bob_);
  EXPECT_EQ(RowOf(taken)->content, "bob's");
  EXPECT_EQ(RowOf(bystander)->content, "untouched");
  EXPECT_EQ(Call(*alice, "LockVO", {{"uri", "urn:voresource:x"}}).status, kUriInvalid);
}

// Every form that reads a content answers its stored bytes, whole and
// streamed (past the answer the dispatcher holds): characters of every
// UTF-8 length, markup to escape, the empty content, an object made with
// none (NULL) and no object at all. The forms that take the lock answer the
// lock's result, not the content.
TEST_P(ContentRoad, EveryReadFormAnswersTheStoredBytes) {
  QUOR_START_COLLAB(InstanceOptions{});
  const std::string mixed = "a<b c=\"1\">&amp;</b>'\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80]]>\t\n";
  std::string large;
  while (large.size() < (300u << 10)) large += mixed;
  ASSERT_TRUE(Call(*admin, "PutVOURI", {{"vouser", alice_}, {"name", "none"}}).ok);
  const std::pair<std::string, std::string> contents[] = {{"mixed", mixed}, {"empty", ""}, {"large", large}, {"none", ""}};
  for (const auto& [name, text] : contents) {
    const std::string uri = name == "none" ? VOUri(alice_, name) : Put(*alice, alice_, name, text);
    ASSERT_FALSE(uri.empty()) << name;
    for (const auto& [method, param, value] : {std::tuple<std::string, std::string, std::string>{"GetVOContent", "name", name},
                                               {"GetVOContentbyURI", "uri", uri}}) {
      const CallOutcome got = Call(*alice, method, {{param, value}});
      ASSERT_TRUE(got.ok) << method << " " << name << ": " << got.fault;
      EXPECT_TRUE(got.decoded == ContentAnswer(text)) << method << " " << name << ": " << got.decoded.substr(0, 200);
    }
    // The same content again is no change, read back to be compared.
    const CallOutcome same = Call(*alice, "UpdateVOContent", {{"name", name}, {"content", text}});
    ASSERT_TRUE(same.ok) << same.fault;
    EXPECT_EQ(same.decoded, "") << name;
    const CallOutcome locked = Call(*alice, "GetVOContentwithLock", {{"name", name}});
    ASSERT_TRUE(locked.ok) << locked.fault;
    EXPECT_EQ(locked.decoded, kResultOk);
    ASSERT_TRUE(Call(*alice, "UnlockVO", {{"uri", uri}}).ok);
    const CallOutcome byUri = Call(*alice, "GetVOContentbyURIwithLock", {{"uri", uri}});
    ASSERT_TRUE(byUri.ok) << byUri.fault;
    EXPECT_EQ(byUri.decoded, kResultOk);
    ASSERT_TRUE(Call(*alice, "UnlockVO", {{"uri", uri}}).ok);
  }
  EXPECT_EQ(Call(*alice, "GetVOContent", {{"name", "missing"}}).decoded, "<root/>");
  EXPECT_EQ(Call(*alice, "GetVOContentbyURI", {{"uri", VOUri(alice_, "missing")}}).status, kUriInvalid);
}

INSTANTIATE_TEST_SUITE_P(Engines, ContentRoad, ::testing::Values(Database::Sqlite, Database::Postgres), EngineName);

}  // namespace
}  // namespace quor::admin::testing
