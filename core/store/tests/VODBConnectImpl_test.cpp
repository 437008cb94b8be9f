// The content store's Vesk objects on SQLite and PostgreSQL: content by name
// and by URN, locks, ACLs, lists, URN administration, the resume queue's
// forced put, and hostile input.
#include "core/store/VODBConnectImpl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <thread>

#include "core/ServiceModule.h"
#include "core/store/ResumeQueue.h"
#include "core/StatusCodes.h"
#include "core/store/tests/RepositoryFixture.h"
#include "platform/xml/dom.h"

using namespace quor;
using namespace quor::core;
using com::Bstr;
using quor::core::testing::Awkward;
using quor::core::testing::Texts;

namespace {

// `user` as the request frame resolves it before a store is called.
Caller As(const com::Bstr& user) { return CServiceModule::Instance().EnsureUtils().ResolveCaller(user); }

const Bstr kAlice(u"alice");
const Bstr kBob(u"bob");
const Bstr kCarol(u"carol");
const Bstr kAdmin(u"administrator");
const Bstr kOk(u"<root><resultCode>0</resultCode></root>");

Bstr U(std::string_view utf8) { return Bstr::FromUtf8(utf8); }



// The content of a content answer ("<root>text</root>").
std::u16string ContentOf(const Bstr& answer) {
  const auto texts = Texts(answer, "root");
  EXPECT_EQ(texts.size(), 1u) << answer.ToUtf8().substr(0, 200);
  return texts.empty() ? u"" : Bstr::FromUtf8(texts[0]).Str();
}

size_t Count(const std::vector<std::string>& texts, const std::string& value) {
  return static_cast<size_t>(std::count(texts.begin(), texts.end(), value));
}

class VOStoreTest : public quor::core::testing::RepositoryTest {
 protected:
  void TearDown() override {
    if (!IsSqlite() && db_.GetState() == 1 && poisoned_) {
      db_.ExecuteNonQuery("DROP TRIGGER IF EXISTS poison_" + tag_ + " ON QUORVESK").Ignore();
      db_.ExecuteNonQuery("DROP FUNCTION IF EXISTS poison_" + tag_ + "()").Ignore();
    }
    RepositoryTest::TearDown();
  }

  Bstr Name(std::string_view name) const { return U(Tagged(name)); }
  static Bstr UriOf(const Bstr& owner, const Bstr& name) { return CQuorServiceUtils::MakeVOContentURIW(owner, name); }

  // `user`'s new object `name` holding `content`; its URN.
  Bstr Put(const Bstr& name, const Bstr& content, const Bstr& user = kAlice) {
    Bstr result;
    EXPECT_EQ(store_.PutVOContent(As(user), name, content, result).code(), S_OK);
    EXPECT_EQ(result, kOk);
    return UriOf(user, name);
  }
  std::u16string Read(const Bstr& uri, const Bstr& user = kAlice) {
    Bstr result;
    EXPECT_EQ(store_.GetVOContentbyURI(As(user), uri, result).code(), S_OK);
    return ContentOf(result);
  }
  void Grant(const Bstr& uri, const Bstr& who, std::u16string_view rights) {
    Bstr result;
    ASSERT_EQ(store_.PutACLEntry(As(kAlice), uri, who, Bstr(rights), result).code(), S_OK);
  }
  // A column of the row of `uri` as text, or "(none)" without a row.
  std::string ColumnOf(const Bstr& uri, std::string_view column) {
    CommandHolder command;
    RecordsetHolder rows;
    const com::Variant params[] = {com::Variant(uri)};
    EXPECT_EQ(db_.ExecuteQuery(command, rows, "SELECT * FROM QUORVESK WHERE VOURI = ?", params).code(), 0);
    std::string value = "(none)";
    if (rows && !rows->Eof()) value = db_.GetFieldString(rows, column).code() == 0 ? db_.LastFieldValue().ToUtf8() : "(null)";
    db_.ReleaseQuery(command, rows);
    return value;
  }
  int64_t OurRows() {
    CommandHolder command;
    RecordsetHolder rows;
    const com::Variant params[] = {com::Variant(U("%" + tag_ + "%"))};
    EXPECT_EQ(db_.ExecuteQuery(command, rows, "SELECT COUNT(*) AS N FROM QUORVESK WHERE VOURI LIKE ?", params).code(), 0);
    int64_t n = -1;
    if (rows && !rows->Eof() && db_.GetFieldString(rows, "N").code() == 0) n = std::stoll(db_.LastFieldValue().ToUtf8());
    db_.ReleaseQuery(command, rows);
    return n;
  }
  // Makes the database refuse statements of `kind` ("INSERT" or "UPDATE")
  // on rows meeting `condition` (in terms of NEW).
  void Poison(std::string_view kind, const std::string& condition) {
    if (IsSqlite()) {
      ASSERT_EQ(db_.ExecuteNonQuery("CREATE TRIGGER poison BEFORE " + std::string(kind) + " ON QUORVESK WHEN " +
                                    condition + " BEGIN SELECT RAISE(ABORT, 'poisoned'); END").code(),
                0);
      return;
    }
    poisoned_ = true;
    ASSERT_EQ(db_.ExecuteNonQuery("CREATE OR REPLACE FUNCTION poison_" + tag_ + "() RETURNS trigger AS $$ BEGIN IF " +
                                  condition +
                                  " THEN RAISE EXCEPTION 'poisoned'; END IF; "
                                  "RETURN NEW; END $$ LANGUAGE plpgsql")
                  .code(),
              0);
    ASSERT_EQ(db_.ExecuteNonQuery("CREATE TRIGGER poison_" + tag_ + " BEFORE " + std::string(kind) +
                                  " ON QUORVESK FOR EACH ROW EXECUTE FUNCTION poison_" + tag_ + "()").code(),
              0);
  }

  CVODBConnectImpl store_{&db_};
  bool poisoned_ = false;
};

}  // namespace

TEST_P(VOStoreTest, ContentRoundTripsByNameAndByUri) {
  const Bstr big(Awkward(1 << 20));
  const Bstr name = U("\xE8\xA8\x88 'q' 50% & <x> " + Tagged("big"));
  const Bstr uri = Put(name, big);
  Bstr result;
  ASSERT_EQ(store_.GetVOContent(As(kAlice), name, result).code(), S_OK);
  EXPECT_EQ(ContentOf(result), big.Str());
  EXPECT_TRUE(result.View().starts_with(u"<root>it's 50% &lt;b&gt;&amp;amp; \"q\""))
      << "the content is character data: " << result.ToUtf8().substr(0, 60);
  EXPECT_EQ(Read(uri), big.Str());
  EXPECT_EQ(ColumnOf(uri, "CONTENTLEN"), std::to_string(big.Length()));
  EXPECT_EQ(ColumnOf(uri, "VOUSER"), "alice");
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "0");
  EXPECT_EQ(ColumnOf(uri, "CREATEDATE"), ColumnOf(uri, "UPDATEDATE"));

  // Overwrites by name (put and update) and by URN.
  ASSERT_EQ(store_.PutVOContent(As(kAlice), name, Bstr(u"second"), result).code(), S_OK);
  EXPECT_EQ(Read(uri), u"second");
  ASSERT_EQ(store_.UpdateVOContentA(As(kAlice), name, Bstr(u"third"), result).code(), S_OK);
  EXPECT_EQ(result, kOk);
  EXPECT_EQ(Read(uri), u"third");
  Bstr none;
  ASSERT_EQ(store_.UpdateVOContentbyURI(As(kAlice), uri, Bstr(u"\u65e5 fourth"), none).code(), S_OK);
  EXPECT_TRUE(none.IsNull()) << "the update by URN answers nothing";
  EXPECT_EQ(Read(uri), u"\u65e5 fourth");
  EXPECT_EQ(ColumnOf(uri, "CONTENTLEN"), "8");
  EXPECT_EQ(OurRows(), 1);

  // Absent objects and arguments.
  ASSERT_EQ(store_.GetVOContent(As(kBob), name, result).code(), S_OK);
  EXPECT_EQ(result, u"<root/>") << "bob owns no such object";
  EXPECT_EQ(store_.GetVOContentbyURI(As(kAlice), UriOf(kAlice, Name("none")), result).code(), QS_E_URI_INVALID);
  EXPECT_EQ(store_.GetVOContentbyURI(As(kAlice), Bstr(), result).code(), QS_E_URI_NOT_SPECIFIED);
  EXPECT_EQ(store_.UpdateVOContentbyURI(As(kAlice), uri, Bstr(), result).code(), QS_E_URI_OR_CONTENT_NOT_SPECIFIED);
  EXPECT_EQ(store_.UpdateVOContentA(As(kAlice), Name("none"), Bstr(u"x"), result).code(), QS_E_URI_INVALID);
  EXPECT_EQ(OurRows(), 1) << "an update makes no object";

  ASSERT_EQ(store_.RemoveVOContent(As(kAlice), name, result).code(), S_OK);
  EXPECT_EQ(result, kOk);
  EXPECT_EQ(ColumnOf(uri, "NAME"), "(none)");
  ASSERT_EQ(store_.GetVOContent(As(kAlice), name, result).code(), S_OK);
  EXPECT_EQ(result, u"<root/>");
  EXPECT_EQ(store_.RemoveVOContent(As(kAlice), name, result).code(), QS_E_URI_INVALID);
  const Bstr other = Put(Name("other"), Bstr(u"x"));
  ASSERT_EQ(store_.RemoveVOContentbyURI(As(kAlice), other, result).code(), S_OK);
  EXPECT_EQ(OurRows(), 0);
}

TEST_P(VOStoreTest, ExistenceIsTheRowAndComparisonsTheStoredText) {
  // An object made empty by an administrator is written by its owner's put.
  const Bstr name = Name("empty");
  Bstr result;
  ASSERT_EQ(store_.PutVOURI(As(kAdmin), kAlice, name, result).code(), S_OK);
  const Bstr uri = UriOf(kAlice, name);
  EXPECT_EQ(ColumnOf(uri, "CONTENTLEN"), "0");
  ASSERT_EQ(store_.PutVOContent(As(kAlice), name, Bstr(u"<a>"), result).code(), S_OK);
  EXPECT_EQ(Read(uri), u"<a>");

  // New text equal to the escaped form of the old is new text.
  ASSERT_EQ(store_.UpdateVOContentA(As(kAlice), name, Bstr(u"&lt;a&gt;"), result).code(), S_OK);
  EXPECT_EQ(Read(uri), u"&lt;a&gt;");
  ASSERT_EQ(store_.LockVO(As(kAlice), uri, result).code(), S_OK);
  ASSERT_EQ(store_.UpdateVOContentwithUnlock(As(kAlice), name, Bstr(u"&amp;lt;a&amp;gt;"), result).code(), S_OK);
  EXPECT_EQ(Read(uri), u"&amp;lt;a&amp;gt;");
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "0");

  // The same text again writes nothing and answers nothing.
  Bstr none;
  ASSERT_EQ(store_.UpdateVOContentA(As(kAlice), name, Bstr(u"&amp;lt;a&amp;gt;"), none).code(), S_OK);
  EXPECT_TRUE(none.IsNull());
}

TEST_P(VOStoreTest, AFailingReadIsAFailureNotAnEmptyObject) {
  if (!IsSqlite()) GTEST_SKIP() << "renames the shared table";
  const Bstr name = Name("gone");
  const Bstr uri = Put(name, Bstr(u"x"));
  ASSERT_EQ(db_.ExecuteNonQuery("ALTER TABLE QUORVESK RENAME TO QUORVESK_AWAY").code(), 0);
  Bstr result;
  EXPECT_LT(store_.GetVOContent(As(kAlice), name, result).code(), 0);
  EXPECT_LT(store_.GetVOContentbyURI(As(kAlice), uri, result).code(), 0);
  EXPECT_LT(store_.PutVOContent(As(kAlice), name, Bstr(u"y"), result).code(), 0);
  EXPECT_LT(store_.GetVOList(As(kAlice), result).code(), 0);
  EXPECT_TRUE(result.IsNull()) << "no answer for a failure";
  ASSERT_EQ(db_.ExecuteNonQuery("ALTER TABLE QUORVESK_AWAY RENAME TO QUORVESK").code(), 0);
  EXPECT_EQ(Read(uri), u"x");
}

TEST_P(VOStoreTest, UrnCollisionsAreRefused) {
  // ("x-y", "z") and ("x", "y-z") make the same URN.
  const Bstr owner1 = U("x-y"), name1 = Name("z");
  const Bstr owner2 = U("x"), name2 = U("y-" + Tagged("z"));
  const Bstr uri = UriOf(owner1, name1);
  ASSERT_EQ(uri, UriOf(owner2, name2));
  Bstr result;
  ASSERT_EQ(store_.PutVOContent(As(owner1), name1, Bstr(u"one"), result).code(), S_OK);
  EXPECT_EQ(store_.PutVOContent(As(owner2), name2, Bstr(u"two"), result).code(), QS_E_VESK_EXISTS);
  EXPECT_EQ(store_.PutVOURI(As(kAdmin), owner2, name2, result).code(), QS_E_VESK_EXISTS);
  EXPECT_EQ(store_.PutVOURI(As(kAdmin), owner1, name1, result).code(), QS_E_VESK_EXISTS);
  EXPECT_EQ(OurRows(), 1);
  EXPECT_EQ(ColumnOf(uri, "VOUSER"), "x-y");
  EXPECT_EQ(Read(uri, owner1), u"one");

  // The by-name operations of the other owner never reach this object, even
  // with rights on it.
  ASSERT_EQ(store_.PutACLEntry(As(owner1), uri, owner2, Bstr(u"rwd"), result).code(), S_OK);
  EXPECT_EQ(store_.GetVOContentwithLock(As(owner2), name2, result).code(), QS_E_NAME_INVALID);
  EXPECT_EQ(store_.UpdateVOContentwithUnlock(As(owner2), name2, Bstr(u"two"), result).code(), QS_E_NAME_INVALID);
  EXPECT_EQ(store_.UpdateVOContentA(As(owner2), name2, Bstr(u"two"), result).code(), QS_E_URI_INVALID);
  EXPECT_EQ(store_.RemoveVOContent(As(owner2), name2, result).code(), QS_E_URI_INVALID);
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "0");
  EXPECT_EQ(Read(uri, owner1), u"one");
  EXPECT_EQ(OurRows(), 1);
}

TEST_P(VOStoreTest, MultiStatementWritesAreAllOrNothing) {
  const std::string poison = Tagged("poison");
  Poison("UPDATE", "NEW.CONTENT = '" + poison + "' OR (NEW.LOCK_STATUS = '0' AND NEW.CONTENT = 'unlock " + poison +
                       "')");
  // A new object's row comes with its content, never as an empty row
  // written again.
  const Bstr name = Name("fresh");
  Bstr result;
  EXPECT_EQ(Read(Put(name, U(poison))), Bstr::FromUtf8(poison).Str());

  // The release of the lock is refused after the new content went in.
  const Bstr kept = Name("kept");
  const Bstr uri = Put(kept, Bstr(u"before"));
  ASSERT_EQ(store_.GetVOContentwithLock(As(kAlice), kept, result).code(), S_OK);
  EXPECT_LT(store_.UpdateVOContentwithUnlock(As(kAlice), kept, U("unlock " + poison), result).code(), 0);
  EXPECT_EQ(Read(uri), u"before");
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "alice");
  EXPECT_LT(store_.UpdateVOContentbyURIwithUnlock(As(kAlice), uri, U("unlock " + poison), result).code(), 0);
  EXPECT_EQ(Read(uri), u"before");
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "alice");
  // The connection is usable afterwards, outside any transaction.
  ASSERT_EQ(store_.UpdateVOContentwithUnlock(As(kAlice), kept, Bstr(u"after"), result).code(), S_OK);
  EXPECT_EQ(Read(uri), u"after");
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "0");
}

TEST_P(VOStoreTest, LockTable) {
  const Bstr name = Name("locked");
  const Bstr uri = Put(name, Bstr(u"v1"));
  Grant(uri, kBob, u"rwd");
  Bstr result, none;
  // Unlocked -> held by alice; again by alice: nothing; by bob: refused.
  EXPECT_EQ(store_.LockVO(As(kAlice), Bstr(), result).code(), QS_E_URI_NOT_SPECIFIED);
  EXPECT_EQ(store_.LockVO(As(kAlice), UriOf(kAlice, Name("none")), result).code(), QS_E_ACL_NOT_FOUND);
  EXPECT_EQ(store_.LockVO(As(kCarol), uri, result).code(), QS_E_CONTENT_READ_RIGHT_REQUIRED);
  ASSERT_EQ(store_.LockVO(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(result, kOk);
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "alice");
  ASSERT_EQ(store_.LockVO(As(kAlice), uri, none).code(), S_OK);
  EXPECT_TRUE(none.IsNull());
  EXPECT_EQ(store_.LockVO(As(kBob), uri, result).code(), QS_E_VESK_ALREADY_LOCKED);
  EXPECT_EQ(store_.GetVOContentwithLock(As(kAlice), name, result).code(), QS_E_VESK_ALREADY_LOCKED);
  EXPECT_EQ(store_.GetVOContentbyURIwithLock(As(kBob), uri, result).code(), QS_E_VESK_ALREADY_LOCKED);

  // Writes by another are refused; removals by anybody.
  EXPECT_EQ(store_.UpdateVOContentbyURI(As(kBob), uri, Bstr(u"bob"), result).code(), QS_E_VESK_LOCKED_BY_OTHER);
  EXPECT_EQ(store_.UpdateVOContentbyURIwithUnlock(As(kBob), uri, Bstr(u"bob"), result).code(),
            QS_E_VESK_LOCKED_BY_OTHER);
  EXPECT_EQ(store_.RemoveVOContent(As(kAlice), name, result).code(), QS_E_OBJECT_LOCKED);
  EXPECT_EQ(store_.RemoveVOContentbyURI(As(kBob), uri, result).code(), QS_E_OBJECT_LOCKED);
  EXPECT_EQ(store_.ForceUnlockVO(As(kBob), uri, result).code(), QS_E_UNLOCK_NOT_ALLOWED);
  EXPECT_EQ(Read(uri), u"v1");
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "alice");
  // The same content by another user is no change, and no refusal.
  ASSERT_EQ(store_.UpdateVOContentbyURI(As(kBob), uri, Bstr(u"v1"), none).code(), S_OK);

  // The holder's update with unlock writes and releases; unchanged content
  // keeps the lock.
  ASSERT_EQ(store_.UpdateVOContentwithUnlock(As(kAlice), name, Bstr(u"v1"), none).code(), S_OK);
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "alice");
  ASSERT_EQ(store_.UpdateVOContentwithUnlock(As(kAlice), name, Bstr(u"v2"), result).code(), S_OK);
  EXPECT_EQ(result, kOk);
  EXPECT_EQ(Read(uri), u"v2");
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "0");

  // bob takes it by URN; the administrator forces it open.
  ASSERT_EQ(store_.GetVOContentbyURIwithLock(As(kBob), uri, result).code(), S_OK);
  EXPECT_EQ(result, kOk) << "the lock's answer, not the content";
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "bob");
  EXPECT_EQ(store_.UpdateVOContentA(As(kAlice), name, Bstr(u"alice"), result).code(), QS_E_VESK_LOCKED_BY_OTHER);
  ASSERT_EQ(store_.ForceUnlockVO(As(kAdmin), uri, result).code(), S_OK);
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "0");
  ASSERT_EQ(store_.ForceUnlockVO(As(kAlice), uri, none).code(), S_OK);
  EXPECT_TRUE(none.IsNull()) << "unlocking an unlocked object answers nothing";

  // Without "r": each operation's own refusal.
  EXPECT_EQ(store_.GetVOContentbyURIwithLock(As(kCarol), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(store_.ForceUnlockVO(As(kCarol), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  ASSERT_EQ(store_.GetVOContentwithLock(As(kAlice), name, result).code(), S_OK);
  ASSERT_EQ(store_.ForceUnlockVO(As(kAlice), uri, result).code(), S_OK) << "the holder unlocks";
  ASSERT_EQ(store_.RemoveVOContentbyURI(As(kBob), uri, result).code(), S_OK);
  EXPECT_EQ(OurRows(), 0);
}

TEST_P(VOStoreTest, AclDocumentsAndEntries) {
  const Bstr uri = Put(Name("acl"), Bstr(u"secret"));
  Bstr result;
  ASSERT_EQ(store_.GetACL(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "user"), (std::vector<std::string>{"alice", "administrator"}));
  EXPECT_TRUE(result.View().starts_with(u"<root><VOACL")) << result.ToUtf8();
  EXPECT_EQ(store_.GetACL(As(kBob), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_TRUE(result.IsNull());
  EXPECT_EQ(store_.GetVOContentbyURI(As(kBob), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(store_.PutACLEntry(As(kBob), uri, kBob, Bstr(u"rwd"), result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(store_.PutACLEntry(As(kAlice), uri, Bstr(u""), Bstr(u"r"), result).code(), QS_E_ARGUMENT_NULL);
  EXPECT_EQ(store_.GetACLEntry(As(kAlice), uri, Bstr(), result).code(), QS_E_ARGUMENT_NULL);

  // bob may read, then write.
  Grant(uri, kBob, u"r");
  EXPECT_EQ(Read(uri, kBob), u"secret");
  EXPECT_EQ(store_.UpdateVOContentbyURI(As(kBob), uri, Bstr(u"bob"), result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  ASSERT_EQ(store_.GetACLEntry(As(kAlice), uri, kBob, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "user"), std::vector<std::string>{"bob"});
  ASSERT_EQ(store_.UpdateACLEntry(As(kAlice), uri, kBob, Bstr(u"rw"), result).code(), S_OK);
  ASSERT_EQ(store_.UpdateVOContentbyURI(As(kBob), uri, Bstr(u"by bob"), result).code(), S_OK);
  EXPECT_EQ(Read(uri), u"by bob");
  EXPECT_EQ(store_.RemoveVOContentbyURI(As(kBob), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  ASSERT_EQ(store_.DeleteACLEntry(As(kAlice), uri, kBob, result).code(), S_OK);
  EXPECT_EQ(store_.GetVOContentbyURI(As(kBob), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);

  // DeleteACL resets to the caller's default ACL, here the administrator's.
  ASSERT_EQ(store_.DeleteACL(As(kAdmin), uri, result).code(), S_OK);
  ASSERT_EQ(store_.GetACL(As(kAdmin), uri, result).code(), S_OK);
  EXPECT_EQ(Count(Texts(result, "user"), "alice"), 0u);
  EXPECT_EQ(store_.GetVOContentbyURI(As(kAlice), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);

  // Any text is stored; rights tests on a text that is no ACL then fail.
  ASSERT_EQ(store_.PutACL(As(kAdmin), uri, Bstr(u"not <xml"), result).code(), S_OK);
  EXPECT_EQ(ColumnOf(uri, "ACCESSLIST"), "not <xml");
  EXPECT_LT(store_.GetACL(As(kAdmin), uri, result).code(), 0);
  EXPECT_EQ(store_.GetACL(As(kAdmin), UriOf(kAlice, Name("none")), result).code(), QS_E_URI_INVALID);
}

TEST_P(VOStoreTest, ListsAndUrnAdministration) {
  const Bstr one = Put(Name("one"), Bstr(u"1"));
  const Bstr two = Put(Name("two"), Bstr(u"2"));
  Bstr result;
  EXPECT_EQ(store_.PutVOURI(As(kAlice), kBob, Name("b"), result).code(), QS_E_ADMINISTRATOR_ONLY);
  EXPECT_EQ(store_.PutVOURI(As(kAdmin), Bstr(u""), Name("b"), result).code(), QS_E_ARGUMENT_NULL);
  EXPECT_EQ(OurRows(), 2);
  ASSERT_EQ(store_.PutVOURI(As(kAdmin), kAlice, Name("three"), result).code(), S_OK);
  EXPECT_EQ(result, kOk);
  const Bstr three = UriOf(kAlice, Name("three"));
  EXPECT_EQ(ColumnOf(three, "CONTENT"), "");
  EXPECT_EQ(ColumnOf(three, "LOCK_STATUS"), "0");
  ASSERT_EQ(store_.GetACL(As(kAlice), three, result).code(), S_OK)
      << "the owner's default ACL, not the administrator's";
  EXPECT_EQ(Texts(result, "user"), (std::vector<std::string>{"alice", "administrator"}));
  const Bstr bobs = UriOf(kBob, Name("b"));
  ASSERT_EQ(store_.PutVOURI(As(kAdmin), kBob, Name("b"), result).code(), S_OK);

  ASSERT_EQ(store_.GetVOList(As(kAlice), result).code(), S_OK);
  auto uris = Texts(result, "uri");
  EXPECT_EQ(Count(uris, one.ToUtf8()) + Count(uris, two.ToUtf8()) + Count(uris, three.ToUtf8()), 3u);
  EXPECT_EQ(Count(uris, bobs.ToUtf8()), 0u);
  ASSERT_EQ(store_.GetVOAttribute(As(kBob), one, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "name"), std::vector<std::string>{Tagged("one")});
  EXPECT_EQ(Texts(result, "lock_status"), std::vector<std::string>{"0"});
  EXPECT_EQ(Texts(result, "user"), (std::vector<std::string>{"alice", "alice", "administrator"}))
      << "the owner, then the ACL as elements";
  ASSERT_EQ(store_.GetVOAttribute(As(kBob), UriOf(kAlice, Name("none")), result).code(), S_OK);
  EXPECT_EQ(result, u"<root/>");
  ASSERT_EQ(store_.GetVOURIList(As(kBob), result).code(), S_OK);
  EXPECT_EQ(Count(Texts(result, "uri"), bobs.ToUtf8()), 1u);
  EXPECT_EQ(Count(Texts(result, "uri"), one.ToUtf8()), 0u);
  ASSERT_EQ(store_.GetVOURI(As(kBob), kAlice, Name("two"), result).code(), S_OK);
  EXPECT_EQ(Texts(result, "uri"), std::vector<std::string>{two.ToUtf8()});

  ASSERT_EQ(store_.GetVOListAll(result).code(), S_OK);
  uris = Texts(result, "uri");
  for (const Bstr& uri : {one, two, three, bobs}) EXPECT_EQ(Count(uris, uri.ToUtf8()), 1u);
  ASSERT_EQ(store_.GetVOURIListAll(result).code(), S_OK);
  uris = Texts(result, "uri");
  for (const Bstr& uri : {one, two, three, bobs}) EXPECT_EQ(Count(uris, uri.ToUtf8()), 1u);
  ASSERT_EQ(store_.GetVOUserListAll(result).code(), S_OK);
  const auto users = Texts(result, "user");
  // One entry per object: alice owns three here (the table is shared with
  // other runs on PostgreSQL).
  EXPECT_GE(Count(users, "alice"), 3u) << result.ToUtf8();
  EXPECT_EQ(Count(users, "bob"), 1u);

  // RemoveVOURI: administrators only, locked objects too.
  ASSERT_EQ(store_.LockVO(As(kAlice), one, result).code(), S_OK);
  EXPECT_EQ(store_.RemoveVOURI(As(kAlice), one, result).code(), QS_E_ADMINISTRATOR_ONLY);
  ASSERT_EQ(store_.RemoveVOURI(As(kAdmin), one, result).code(), S_OK);
  EXPECT_EQ(result, kOk);
  EXPECT_EQ(ColumnOf(one, "NAME"), "(none)");
  EXPECT_EQ(store_.RemoveVOURI(As(kAdmin), one, result).code(), QS_E_URI_INVALID);
  EXPECT_EQ(OurRows(), 3);
}

TEST_P(VOStoreTest, HostileTextsTouchNoOtherRow) {
  const Bstr bystander = Put(Name("bystander"), Bstr(u"untouched"));
  const std::vector<std::string> hostile = {"'",           "x'--",       "a; DROP TABLE QUORVESK; --",
                                            "<b>&amp;",    "../../etc",  "100%_",
                                            "' OR '1'='1", "\"; DELETE", "\xE6\x97\xA5'\xE6\x9C\xAC"};
  for (const auto& text : hostile) {
    SCOPED_TRACE(text);
    const Bstr name = U(text + Tagged(""));
    const Bstr uri = Put(name, U(text));
    EXPECT_EQ(Read(uri), U(text).Str());
    Bstr result;
    ASSERT_EQ(store_.UpdateVOContentA(As(kAlice), name, U(text + text), result).code(), S_OK);
    ASSERT_EQ(store_.PutACLEntry(As(kAlice), uri, U(text), U("r"), result).code(), S_OK);
    EXPECT_EQ(Read(uri, U(text)), U(text + text).Str()) << "the hostile user name reads through its entry";
    ASSERT_EQ(store_.GetVOURI(As(kAlice), kAlice, name, result).code(), S_OK);
    EXPECT_EQ(Texts(result, "uri"), std::vector<std::string>{uri.ToUtf8()});
    ASSERT_EQ(store_.GetVOContent(As(kAlice), U(text), result).code(), S_OK);
    EXPECT_EQ(result, u"<root/>");
    EXPECT_EQ(store_.RemoveVOContentbyURI(As(kAlice), U(text), result).code(), QS_E_URI_INVALID);
    ASSERT_EQ(store_.RemoveVOContent(As(kAlice), name, result).code(), S_OK);
    EXPECT_EQ(ColumnOf(uri, "NAME"), "(none)");
  }
  EXPECT_EQ(Read(bystander), u"untouched");
  EXPECT_EQ(OurRows(), 1);
}

TEST_P(VOStoreTest, TheReplayedForcedPutChangesNothing) {
  const Bstr name = Name("replayed");
  const Bstr uri = Put(name, Bstr(u"as it was"));
  CResumeQueue queue(lease_, As);
  const Bstr key = queue.MakeResumeKey(u"ForcePutVOContent", {Bstr(u"new"), name, kAlice}).value();
  CCollabDBConnectImpl collab(&db_, queue);
  Bstr result;
  EXPECT_EQ(queue.ReplayResumeEntry(Caller{kBob, false, {}, false}, key, Bstr(u"TRUE"), result, collab).code(),
            QS_E_RESUME_ID_NOT_AVAILABLE);
  ASSERT_EQ(queue.ReplayResumeEntry(Caller{kAlice, false, {}, false}, key, Bstr(u"TRUE"), result, collab).code(), S_OK);
  EXPECT_EQ(Read(uri), u"as it was");
  EXPECT_EQ(queue.ReplayResumeEntry(Caller{kAlice, false, {}, false}, key, Bstr(u"TRUE"), result, collab).code(),
            QS_E_RESUME_ID_NOT_AVAILABLE)
      << "replayed once";
  ASSERT_EQ(store_.ForcePutVOContent(As(kAlice), name, Bstr(u"new"), result).code(), S_OK);
  EXPECT_EQ(Read(uri), u"as it was");
  EXPECT_EQ(OurRows(), 1);
}

TEST_P(VOStoreTest, ConcurrentLockersLeaveOneHolder) {
  const Bstr uri = Put(Name("contended"), Bstr(u"x"));
  Grant(uri, U("everyone"), u"rw");
  constexpr int kThreads = 8;
  std::vector<HRESULT> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      // Each thread is a call: it holds a connection of its own, as calls do.
      const CDBConnect::Lease lease(&db_);
      Bstr result;
      outcomes[i] = store_.LockVO(As(U("user" + std::to_string(i))), uri, result).code();
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), S_OK), 1);
  EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), QS_E_VESK_ALREADY_LOCKED), kThreads - 1);
  const std::string holder = ColumnOf(uri, "LOCK_STATUS");
  const auto winner = std::find(outcomes.begin(), outcomes.end(), S_OK) - outcomes.begin();
  EXPECT_EQ(holder, "user" + std::to_string(winner));
}

TEST_P(VOStoreTest, ConcurrentPutsOfANewNameMakeOneRow) {
  // Two stores stand for two servers on one database: their gates do not
  // hold each other up, so their puts meet in the database.
  CVODBConnectImpl other(&db_);
  constexpr int kThreads = 8, kNames = 6;
  std::vector<int> succeeded(kThreads, 0);
  std::latch connected(kThreads);  // connections open one at a time; the puts start together
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      const CDBConnect::Lease lease(&db_);
      connected.arrive_and_wait();
      for (int n = 0; n < kNames; ++n) {
        Bstr result;
        const Bstr name = Name("raced" + std::to_string(n));
        CVODBConnectImpl& store = i % 2 ? other : store_;
        succeeded[i] += store.PutVOContent(As(kAlice), name, U("put " + std::to_string(i)), result).code() == S_OK;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(succeeded, std::vector<int>(kThreads, kNames));
  EXPECT_EQ(OurRows(), kNames);
  for (int n = 0; n < kNames; ++n) {
    const Bstr uri = UriOf(kAlice, Name("raced" + std::to_string(n)));
    const std::string content = ColumnOf(uri, "CONTENT");
    EXPECT_TRUE(content.starts_with("put ")) << content;
    EXPECT_EQ(ColumnOf(uri, "CONTENTLEN"), std::to_string(content.size()));
  }
}

QUOR_INSTANTIATE_ENGINES(VOStoreTest);
