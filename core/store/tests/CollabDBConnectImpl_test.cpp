// The collaboration store on SQLite and PostgreSQL: share fields, rights,
// the resume queue's forced put, messages, sharing, ACLs, locks and hostile
// input.
#include "core/store/CollabDBConnectImpl.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <tuple>

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

Bstr U(std::string_view utf8) { return Bstr::FromUtf8(utf8); }



// The field text of a GetShareField answer.
std::u16string FieldOf(const Bstr& answer) {
  const auto texts = Texts(answer, "field");
  EXPECT_EQ(texts.size(), 1u);
  return texts.empty() ? u"" : Bstr::FromUtf8(texts[0]).Str();
}

class CollabStoreTest : public quor::core::testing::RepositoryTest {
 protected:
  void TearDown() override {
    if (!IsSqlite() && db_.GetState() == 1) {
      const com::Variant like[] = {com::Variant(U("%" + tag_ + "%"))};
      db_.ExecuteNonQuery("DELETE FROM QUORCOLLAB WHERE VOURI LIKE ?", like).Ignore();
      if (poisoned_) {
        db_.ExecuteNonQuery("DROP TRIGGER IF EXISTS poison_" + tag_ + " ON QUORCOLLAB").Ignore();
        db_.ExecuteNonQuery("DROP FUNCTION IF EXISTS poison_" + tag_ + "()").Ignore();
      }
    }
    RepositoryTest::TearDown();
  }

  Bstr Name(std::string_view name) const { return U(Tagged(name)); }
  static Bstr UriOf(const Bstr& author, const Bstr& name) {
    return CQuorServiceUtils::MakeCoVOContentURIW(author, name);
  }

  // alice's new share field `name` holding `field`; its URN.
  Bstr Put(const Bstr& name, const Bstr& field, const Bstr& user = kAlice) {
    Bstr result;
    EXPECT_EQ(store_.PutShareField(As(user), user, name, field, result).code(), S_OK);
    const Bstr uri = UriOf(user, name);
    EXPECT_TRUE(result.View().starts_with(u"<root><resultCode>0</resultCode><uri>")) << result.ToUtf8();
    EXPECT_EQ(Texts(result, "uri"), std::vector<std::string>{uri.ToUtf8()});
    return uri;
  }
  std::u16string Read(const Bstr& uri, const Bstr& user = kAlice) {
    Bstr result;
    EXPECT_EQ(store_.GetShareField(As(user), uri, result).code(), S_OK);
    return FieldOf(result);
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
    EXPECT_EQ(db_.ExecuteQuery(command, rows, "SELECT * FROM QUORCOLLAB WHERE VOURI = ?", params).code(), 0);
    std::string value = "(none)";
    if (rows && !rows->Eof()) value = db_.GetFieldString(rows, column).code() == 0 ? db_.LastFieldValue().ToUtf8() : "(null)";
    db_.ReleaseQuery(command, rows);
    return value;
  }
  int64_t Rows(std::string_view where, const Bstr& value) {
    CommandHolder command;
    RecordsetHolder rows;
    const com::Variant params[] = {com::Variant(value)};
    EXPECT_EQ(
        db_.ExecuteQuery(command, rows, "SELECT COUNT(*) AS N FROM QUORCOLLAB WHERE " + std::string(where), params).code(), 0);
    int64_t n = -1;
    if (rows && !rows->Eof() && db_.GetFieldString(rows, "N").code() == 0) n = std::stoll(db_.LastFieldValue().ToUtf8());
    db_.ReleaseQuery(command, rows);
    return n;
  }
  int64_t OurRows() { return Rows("VOURI LIKE ?", U("%" + tag_ + "%")); }
  CResumeQueue& Queue() { return queue_; }

  CResumeQueue queue_{lease_, As};
  CCollabDBConnectImpl store_{&db_, queue_};
  bool poisoned_ = false;
};

}  // namespace

TEST_P(CollabStoreTest, ShareFieldsRoundTripExactly) {
  const Bstr big(Awkward(1 << 20));
  const Bstr name = U("\xE8\xA8\x88\xE7\x94\xBB 'q' 50% & <x> " + Tagged("big"));
  const Bstr uri = Put(name, big);
  EXPECT_EQ(Read(uri), big.Str());
  EXPECT_EQ(ColumnOf(uri, "FIELDLEN"), std::to_string(big.Length()));
  EXPECT_EQ(ColumnOf(uri, "OWNER"), "alice");
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "0");
  EXPECT_EQ(ColumnOf(uri, "MESSAGE"), "");
  EXPECT_EQ(ColumnOf(uri, "CREATEDATE"), ColumnOf(uri, "UPDATEDATE"));

  Bstr result;
  const Bstr small(u"\u65e5\u672c 'a''b' %_ &lt; <![CDATA[x]]>");
  ASSERT_EQ(store_.UpdateShareField(As(kAlice), uri, small, result).code(), S_OK);
  EXPECT_TRUE(result.IsNull()) << "an update answers nothing";
  EXPECT_EQ(Read(uri), small.Str());
  EXPECT_EQ(ColumnOf(uri, "FIELDLEN"), std::to_string(small.Length()));
  ASSERT_EQ(store_.UpdateShareField(As(kAlice), uri, Bstr(), result).code(), S_OK);
  EXPECT_EQ(Read(uri), u"");
  EXPECT_EQ(ColumnOf(uri, "FIELDLEN"), "0");
  EXPECT_EQ(Rows("VOURI = ?", uri), 1);

  // The lists see the row with its attributes.
  ASSERT_EQ(store_.GetShareFieldAttribute(As(kBob), uri, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "name"), std::vector<std::string>{name.ToUtf8()});
  EXPECT_EQ(Texts(result, "active"), std::vector<std::string>{"false"});
  EXPECT_EQ(Texts(result, "user"), (std::vector<std::string>{"alice", "administrator"})) << "the ACL as elements";
  ASSERT_EQ(store_.GetShareFieldURI(As(kBob), kAlice, name, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "uri"), std::vector<std::string>{uri.ToUtf8()});
  ASSERT_EQ(store_.GetShareFieldURIList(As(kBob), result).code(), S_OK);
  const auto uris = Texts(result, "uri");
  EXPECT_EQ(std::count(uris.begin(), uris.end(), uri.ToUtf8()), 1);

  ASSERT_EQ(store_.RemoveShareField(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(result, u"<root><resultCode>0</resultCode></root>");
  EXPECT_EQ(store_.GetShareField(As(kAlice), uri, result).code(), QS_E_URI_INVALID);
  EXPECT_EQ(Rows("VOURI = ?", uri), 0);
  EXPECT_EQ(store_.GetShareField(As(kAlice), Bstr(), result).code(), QS_E_URI_NOT_SPECIFIED);
  ASSERT_EQ(store_.GetShareFieldAttribute(As(kBob), uri, result).code(), S_OK);
  EXPECT_EQ(result, u"<root/>");
}

TEST_P(CollabStoreTest, RightsAreGrantedPerEntryAndToken) {
  const Bstr uri = Put(Name("plans"), Bstr(u"secret"));
  Bstr result;
  EXPECT_EQ(store_.GetShareField(As(kBob), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_TRUE(result.IsNull());
  EXPECT_EQ(store_.UpdateShareField(As(kBob), uri, Bstr(u"x"), result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(store_.RemoveShareField(As(kBob), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(store_.PutACLEntry(As(kBob), uri, kBob, Bstr(u"rwd"), result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT)
      << "nobody grants himself rights";

  Grant(uri, kBob, u"r");
  EXPECT_EQ(Read(uri, kBob), u"secret");
  EXPECT_EQ(store_.UpdateShareField(As(kBob), uri, Bstr(u"x"), result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  // Write alone lets carol write but not read.
  Grant(uri, kCarol, u"w");
  ASSERT_EQ(store_.UpdateShareField(As(kCarol), uri, Bstr(u"from carol"), result).code(), S_OK);
  EXPECT_EQ(store_.GetShareField(As(kCarol), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  // The administrator entry of the default ACL.
  EXPECT_EQ(Read(uri, kAdmin), u"from carol");
  ASSERT_EQ(store_.UpdateShareField(As(kAdmin), uri, Bstr(u"from admin"), result).code(), S_OK);
  EXPECT_EQ(Read(uri, kBob), u"from admin");
  ASSERT_EQ(store_.RemoveShareField(As(kAdmin), uri, result).code(), S_OK);
  EXPECT_EQ(Rows("VOURI = ?", uri), 0);
}

TEST_P(CollabStoreTest, PuttingAnExistingFieldQueuesTheForcedPut) {
  const Bstr name = Name("draft");
  const Bstr uri = Put(name, Bstr(u"first"));
  Bstr result;
  ASSERT_EQ(store_.PutShareField(As(kAlice), kAlice, name, Bstr(u"second"), result).code(), S_OK);
  const auto keys = Texts(result, "resumeID");
  ASSERT_EQ(keys.size(), 1u) << result.ToUtf8();
  EXPECT_EQ(result, U("<root><resultCode>1</resultCode><resumeID>" + keys[0] +
                      "</resumeID><Description>There is corrupted data. If "
                      "want to overwrite, resume this "
                      "process.</Description></root>"));
  EXPECT_EQ(Read(uri), u"first") << "nothing is written before the client decides";
  EXPECT_EQ(Rows("VOURI = ?", uri), 1);
  Bstr list;
  ASSERT_EQ(Queue().GetResumeIDList(kAlice, name, list).code(), S_OK);
  EXPECT_EQ(Texts(list, "resumeID"), keys);
  EXPECT_EQ(Texts(list, "method"), std::vector<std::string>{"ForcePutShareField"});

  // Someone who may not read the field learns no more than that, and takes
  // nothing over: no entry, no row.
  EXPECT_EQ(store_.PutShareField(As(kBob), kAlice, name, Bstr(u"bob's"), result).code(),
            QS_E_ACCESS_RIGHT_INSUFFICIENT);
  ASSERT_EQ(Queue().GetResumeIDList(kBob, name, list).code(), S_OK);
  EXPECT_TRUE(Texts(list, "resumeID").empty()) << list.ToUtf8();
  EXPECT_EQ(Read(uri), u"first");
  EXPECT_EQ(Rows("VOURI = ?", uri), 1);
}

// An insert the driver reports failed is judged by its row: one that landed
// is stored (not "already existing"), one refused before it wrote is that
// failure with the database's words.
TEST_P(CollabStoreTest, AFailedInsertIsJudgedByItsRow) {
  if (!IsSqlite()) GTEST_SKIP() << "the triggers are SQLite's";
  const Bstr landed = Name("landed"), refused = Name("refused");
  for (const auto& [when, name, raise] : {std::tuple{"AFTER", &landed, "FAIL, 'reported lost'"},
                                          std::tuple{"BEFORE", &refused, "ABORT, 'not taken'"}}) {
    ASSERT_EQ(db_.ExecuteNonQuery(std::string("CREATE TRIGGER t_") + when + " " + when +
                                  " INSERT ON QUORCOLLAB WHEN NEW.NAME = '" + name->ToUtf8() +
                                  "' BEGIN SELECT RAISE(" + raise + "); END").code(),
              0);
  }
  Bstr result;
  EXPECT_EQ(store_.PutShareField(As(kAlice), kAlice, landed, Bstr(u"kept"), result).code(), S_OK);
  EXPECT_EQ(Read(UriOf(kAlice, landed)), u"kept");

  const Status failed = store_.PutShareField(As(kAlice), kAlice, refused, Bstr(u"x"), result);
  EXPECT_TRUE(FAILED(failed.code()));
  EXPECT_NE(failed.code(), QS_E_VESK_EXISTS);
  EXPECT_NE(failed.message().find("not taken"), std::string::npos) << failed.message();
  EXPECT_EQ(ColumnOf(UriOf(kAlice, refused), "FIELD"), "(none)");
}

TEST_P(CollabStoreTest, UrnCollisionsMeetTheSameRow) {
  // ("x-y", "z") and ("x", "y-z") make the same URN.
  const Bstr author1 = U("x-y"), name1 = Name("z");
  const Bstr author2 = U("x"), name2 = U("y-" + Tagged("z"));
  ASSERT_EQ(UriOf(author1, name1), UriOf(author2, name2));
  Bstr result;
  ASSERT_EQ(store_.PutShareField(As(kAlice), author1, name1, Bstr(u"one"), result).code(), S_OK);
  // A put finds the share field by its URN: the corrupted-data answer.
  ASSERT_EQ(store_.PutShareField(As(kAlice), author2, name2, Bstr(u"two"), result).code(), S_OK);
  EXPECT_EQ(Texts(result, "resultCode"), std::vector<std::string>{"1"}) << result.ToUtf8();
  EXPECT_EQ(store_.ForcePutShareField(As(kAlice), author2, name2, Bstr(u"two"), result).code(), QS_E_VESK_EXISTS);
  const Bstr uri = UriOf(author1, name1);
  EXPECT_EQ(Read(uri), u"one");
  EXPECT_EQ(ColumnOf(uri, "AUTHOR"), "x-y");
  EXPECT_EQ(Rows("VOURI = ?", uri), 1);
  // The table's key refuses a second row for the URN whatever the store thinks.
  const com::Variant params[] = {com::Variant(uri)};
  EXPECT_NE(db_.ExecuteNonQuery("INSERT INTO QUORCOLLAB (AUTHOR, NAME, "
                                "FIELDLEN, VOURI) VALUES ('x', 'y', 0, ?)",
                                params)
                .code(),
            0);
}

TEST_P(CollabStoreTest, ResumeIsSettledOnceByItsUserOrAnAdministrator) {
  const Bstr name = Name("report");
  const Bstr uri = Put(name, Bstr(u"v1"));
  const auto queue = [&](const Bstr& field) {
    Bstr result;
    EXPECT_EQ(store_.PutShareField(As(kAlice), kAlice, name, field, result).code(), S_OK);
    const auto keys = Texts(result, "resumeID");
    return keys.empty() ? Bstr() : U(keys[0]);
  };
  const Bstr key = queue(Bstr(u"v2 \u65e5"));
  Bstr result;
  EXPECT_EQ(Queue().ReplayResumeEntry(Caller{kBob, false, {}, false}, key, Bstr(u"TRUE"), result, store_).code(),
            QS_E_RESUME_ID_NOT_AVAILABLE);
  EXPECT_EQ(Read(uri), u"v1");
  ASSERT_EQ(Queue().ReplayResumeEntry(Caller{kAlice, false, {}, false}, key, Bstr(u"true"), result, store_).code(),
            S_OK);
  EXPECT_EQ(result, u"<root><resultCode>0</resultCode></root>");
  EXPECT_EQ(Read(uri), u"v2 \u65e5");
  EXPECT_EQ(Rows("VOURI = ?", uri), 1);
  EXPECT_EQ(Queue().ReplayResumeEntry(Caller{kAlice, false, {}, false}, key, Bstr(u"TRUE"), result, store_).code(),
            QS_E_RESUME_ID_NOT_AVAILABLE);

  // An administrator settles it for its user; the row is the user's.
  const Bstr adminKey = queue(Bstr(u"v3"));
  ASSERT_EQ(Queue().ReplayResumeEntry(Caller{kAdmin, true, {}, false}, adminKey, Bstr(u"True"), result, store_).code(),
            S_OK);
  EXPECT_EQ(Read(uri), u"v3");
  EXPECT_EQ(ColumnOf(uri, "OWNER"), "alice");
  // Any other flag drops the entry and writes nothing.
  const Bstr dropped = queue(Bstr(u"v4"));
  ASSERT_EQ(Queue().ReplayResumeEntry(Caller{kAlice, false, {}, false}, dropped, Bstr(u"no"), result, store_).code(),
            S_OK);
  EXPECT_EQ(Read(uri), u"v3");
  EXPECT_FALSE(Queue().FindResumeEntry(dropped));
}

// The number of a key "RESUME:<n>"; -1 for any other text.
int64_t NumberOf(const Bstr& key) {
  const std::string text = key.ToUtf8();
  return text.starts_with("RESUME:") ? std::stoll(text.substr(7)) : -1;
}

TEST_P(CollabStoreTest, ResumeKeysAreNeverHandedOutTwice) {
  // Users of this test alone: the queue of a shared repository is every
  // server's.
  const Bstr alice = U(Tagged("alice")), bob = U(Tagged("bob"));
  const auto put = [&](const Bstr& user, const Bstr& name) {
    return Queue().MakeResumeKey(u"ForcePutShareField", {Bstr(u"text"), user, name, Bstr(u"author")}).value();
  };
  std::vector<Bstr> keys = {put(alice, Bstr(u"a")), put(alice, Bstr(u"b")), put(bob, Bstr(u"a"))};
  Bstr result;
  ASSERT_EQ(Queue().ReplayResumeEntry(Caller{bob, false, {}, false}, keys[2], Bstr(u"no"), result, store_).code(), S_OK);
  keys.push_back(put(bob, Bstr(u"c")));
  for (const Bstr& key : {keys[0], keys[1], keys[3]}) {
    const Bstr owner = key == keys[3] ? bob : alice;
    ASSERT_EQ(Queue().ReplayResumeEntry(Caller{owner, false, {}, false}, key, Bstr(u""), result, store_).code(), S_OK);
  }
  EXPECT_FALSE(Queue().FindResumeEntry(keys[0]));
  keys.push_back(put(alice, Bstr(u"d")));
  // A fresh file numbers from 0; a shared one goes on from the others'.
  for (size_t i = 1; i < keys.size(); ++i) EXPECT_LT(NumberOf(keys[i - 1]), NumberOf(keys[i])) << "never again";
  if (IsSqlite()) {
    EXPECT_EQ(keys.front(), u"RESUME:0");
    EXPECT_EQ(keys.back(), u"RESUME:4") << "nor after the queue was emptied";
  }
  // A key of another form names no entry, though its number is a live one.
  const Bstr live = put(alice, Bstr(u"e"));
  const std::string number = std::to_string(NumberOf(live));
  for (const std::string& odd : {"RESUME:0" + number, "resume:" + number, "RESUME:" + number + " ",
                                std::string("RESUME:-1"), std::string("RESUME:")})
    EXPECT_EQ(Queue().ReplayResumeEntry(Caller{alice, false, {}, false}, U(odd), Bstr(u"no"), result, store_).code(),
              QS_E_RESUME_ID_NOT_AVAILABLE)
        << odd;
  EXPECT_TRUE(Queue().FindResumeEntry(live));
}

TEST_P(CollabStoreTest, OnlyItsUserOrAnAdministratorSettlesAResumeEntry) {
  const Bstr alice = U(Tagged("alice")), bob = U(Tagged("bob"));
  const auto make = [&](std::u16string_view operation, std::vector<Bstr> args) {
    return Queue().MakeResumeKey(operation, std::move(args)).value();
  };
  const Bstr key = make(u"ForcePutShareField", {Bstr(u"t"), alice, Bstr(u"n"), Bstr(u"a")});
  Bstr result;
  EXPECT_EQ(Queue().ReplayResumeEntry(Caller{bob, false, {}, false}, key, Bstr(u"TRUE"), result, store_).code(),
            QS_E_RESUME_ID_NOT_AVAILABLE);
  EXPECT_TRUE(result.IsNull());
  ASSERT_TRUE(Queue().FindResumeEntry(key)) << "another user's attempt leaves the entry";
  // The owner drops it with any flag but TRUE; once settled, it is gone.
  ASSERT_EQ(Queue().ReplayResumeEntry(Caller{alice, false, {}, false}, key, Bstr(u"FALSE"), result, store_).code(),
            S_OK);
  EXPECT_EQ(result, u"<root><resultCode>0</resultCode></root>");
  EXPECT_EQ(Queue().ReplayResumeEntry(Caller{alice, false, {}, false}, key, Bstr(u"FALSE"), result, store_).code(),
            QS_E_RESUME_ID_NOT_AVAILABLE);

  const Bstr other = make(u"ForcePutShareField", {Bstr(u"t"), alice, Bstr(u"n"), Bstr(u"a")});
  ASSERT_EQ(Queue().ReplayResumeEntry(Caller{bob, true, {}, false}, other, Bstr(u"drop"), result, store_).code(), S_OK)
      << "an administrator";
  EXPECT_FALSE(Queue().FindResumeEntry(other));

  // TRUE in any case replays; the store answers for itself (here: one
  // without a database), and the entry is settled all the same.
  CCollabDBConnectImpl offline(nullptr, Queue());
  const Bstr replayed = make(u"ForcePutShareField", {Bstr(u"t"), alice, Bstr(u"n"), Bstr(u"a")});
  EXPECT_EQ(Queue().ReplayResumeEntry(Caller{alice, false, {}, false}, replayed, Bstr(u"tRuE"), result, offline).code(),
            QS_E_NATIVE_DB_NOT_INSTALLED);
  EXPECT_FALSE(Queue().FindResumeEntry(replayed));

  const Bstr odd = make(u"ForceSomethingElse", {Bstr(u"t"), alice, Bstr(u"n"), Bstr(u"a")});
  EXPECT_EQ(Queue().ReplayResumeEntry(Caller{alice, false, {}, false}, odd, Bstr(u"TRUE"), result, store_).code(),
            QS_E_QUEUE_ENTRY_UNRECOGNIZED);
  EXPECT_FALSE(Queue().FindResumeEntry(odd));
  // An entry of no known layout has no user: only an administrator settles it.
  const Bstr shapeless = make(u"ForcePutShareField", {alice});
  EXPECT_EQ(Queue().ReplayResumeEntry(Caller{alice, false, {}, false}, shapeless, Bstr(u"no"), result, store_).code(),
            QS_E_RESUME_ID_NOT_AVAILABLE);
  ASSERT_EQ(Queue().ReplayResumeEntry(Caller{alice, true, {}, false}, shapeless, Bstr(u"no"), result, store_).code(),
            S_OK);
}

TEST_P(CollabStoreTest, ResumeListsTheEntriesOfTheCaller) {
  const Bstr alice = U(Tagged("alice")), bob = U(Tagged("bob"));
  Bstr result;
  if (IsSqlite()) {
    ASSERT_EQ(Queue().GetResumeIDList(alice, Bstr(), result).code(), S_OK);
    EXPECT_EQ(result, u"<root></root>") << "an empty queue";
  }
  // Texts with a newline and a backslash come back as they went in.
  const Bstr awkward(u"notes & <plans>\\n\n\\");
  const auto make = [&](std::u16string_view operation, std::vector<Bstr> args) {
    return Queue().MakeResumeKey(operation, std::move(args)).value().ToUtf8();
  };
  const std::string first = make(u"ForcePutShareField", {Bstr(u"t"), alice, awkward, Bstr(u"a")});
  make(u"ForcePutShareField", {Bstr(u"t"), bob, Bstr(u"notes"), Bstr(u"a")});
  const std::string third = make(u"ForcePutVOContent", {Bstr(u"content"), Bstr(u"doc"), alice});
  make(u"ForcePutShareField", {Bstr(u"odd")});

  ASSERT_EQ(Queue().GetResumeIDList(alice, Bstr(u""), result).code(), S_OK);
  EXPECT_EQ(result, U("<root><resumelist><resumeID>" + first +
                      "</resumeID><method>ForcePutShareField</method>"
                      "<name>notes &amp; &lt;plans&gt;\\n\n\\</name></resumelist>"
                      "<resumelist><resumeID>" +
                      third +
                      "</resumeID><method>ForcePutVOContent</method><name>doc</name></resumelist>"
                      "</root>"));
  const auto entry = Queue().FindResumeEntry(U(first));
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->arguments, (std::vector<Bstr>{Bstr(u"t"), alice, awkward, Bstr(u"a")}));
  ASSERT_EQ(Queue().GetResumeIDList(alice, Bstr(u"doc"), result).code(), S_OK);
  EXPECT_EQ(result, U("<root><resumelist><resumeID>" + third +
                      "</resumeID><method>ForcePutVOContent</method><name>doc</name></resumelist></root>"));
  ASSERT_EQ(Queue().GetResumeIDList(U(Tagged("carol")), Bstr(), result).code(), S_OK);
  EXPECT_EQ(result, u"<root/>");
}

TEST_P(CollabStoreTest, TheForcedPutChecksWhatAPutWould) {
  const Bstr name = Name("shared");
  const Bstr uri = Put(name, Bstr(u"alice's"));
  Grant(uri, kBob, u"r");
  Bstr result;
  // bob may read, so his put is queued; replacing needs write and delete.
  ASSERT_EQ(store_.PutShareField(As(kBob), kAlice, name, Bstr(u"bob's"), result).code(), S_OK);
  Bstr key = U(Texts(result, "resumeID").at(0));
  EXPECT_EQ(Queue().ReplayResumeEntry(Caller{kBob, false, {}, false}, key, Bstr(u"TRUE"), result, store_).code(),
            QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(Read(uri), u"alice's");
  EXPECT_EQ(ColumnOf(uri, "OWNER"), "alice");

  // Not over a lock of someone else.
  ASSERT_EQ(store_.UpdateACLEntry(As(kAlice), uri, kBob, Bstr(u"rwd"), result).code(), S_OK);
  ASSERT_EQ(store_.PutShareField(As(kBob), kAlice, name, Bstr(u"bob's"), result).code(), S_OK);
  key = U(Texts(result, "resumeID").at(0));
  ASSERT_EQ(store_.LockVO(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(Queue().ReplayResumeEntry(Caller{kBob, false, {}, false}, key, Bstr(u"TRUE"), result, store_).code(),
            QS_E_VESK_LOCKED_BY_OTHER);
  EXPECT_EQ(Read(uri), u"alice's");
  ASSERT_EQ(store_.ForceUnlockVO(As(kAlice), uri, result).code(), S_OK);

  // Not while the field is being shared.
  ASSERT_EQ(store_.PutShareField(As(kBob), kAlice, name, Bstr(u"bob's"), result).code(), S_OK);
  key = U(Texts(result, "resumeID").at(0));
  ASSERT_EQ(store_.StartSharing(As(kAlice), Bstr(u"10.0.0.1"), uri, result).code(), S_OK);
  EXPECT_EQ(Queue().ReplayResumeEntry(Caller{kBob, false, {}, false}, key, Bstr(u"TRUE"), result, store_).code(),
            QS_E_FIELD_ACTIVE);
  ASSERT_EQ(store_.EndSharing(As(kAlice), uri, result).code(), S_OK);

  // With the rights and nothing in the way, bob's row replaces alice's.
  ASSERT_EQ(store_.PutShareField(As(kBob), kAlice, name, Bstr(u"bob's"), result).code(), S_OK);
  key = U(Texts(result, "resumeID").at(0));
  ASSERT_EQ(Queue().ReplayResumeEntry(Caller{kBob, false, {}, false}, key, Bstr(u"TRUE"), result, store_).code(), S_OK);
  EXPECT_EQ(Read(uri, kBob), u"bob's");
  EXPECT_EQ(ColumnOf(uri, "OWNER"), "bob");
  EXPECT_EQ(Rows("VOURI = ?", uri), 1);
}

TEST_P(CollabStoreTest, AFailedReplacementLosesNothing) {
  // The database refuses the new row after the old one was deleted.
  const std::string poison = Tagged("poison");
  if (IsSqlite()) {
    ASSERT_EQ(db_.ExecuteNonQuery("CREATE TRIGGER poison BEFORE INSERT ON QUORCOLLAB WHEN "
                                  "NEW.FIELD = '" +
                                  poison + "' BEGIN SELECT RAISE(ABORT, 'poisoned'); END")
                  .code(),
              0);
  } else {
    poisoned_ = true;
    ASSERT_EQ(db_.ExecuteNonQuery("CREATE OR REPLACE FUNCTION poison_" + tag_ +
                                  "() RETURNS trigger AS $$ BEGIN IF NEW.FIELD = '" + poison +
                                  "' THEN RAISE EXCEPTION 'poisoned'; END IF; RETURN "
                                  "NEW; END $$ LANGUAGE plpgsql")
                  .code(),
              0);
    ASSERT_EQ(db_.ExecuteNonQuery("CREATE TRIGGER poison_" + tag_ +
                                  " BEFORE INSERT ON QUORCOLLAB FOR EACH ROW "
                                  "EXECUTE FUNCTION poison_" +
                                  tag_ + "()")
                  .code(),
              0);
  }
  const Bstr name = Name("precious");
  const Bstr uri = Put(name, Bstr(u"keep me"));
  Bstr result;
  ASSERT_EQ(store_.PutMessage(As(kAlice), uri, Bstr(u"and me"), result).code(), S_OK);
  EXPECT_LT(store_.ForcePutShareField(As(kAlice), kAlice, name, U(poison), result).code(), 0);
  EXPECT_EQ(Read(uri), u"keep me");
  EXPECT_EQ(ColumnOf(uri, "MESSAGE"), "and me");
  EXPECT_EQ(Rows("VOURI = ?", uri), 1);
  // The connection is usable afterwards, outside any transaction.
  ASSERT_EQ(store_.UpdateShareField(As(kAlice), uri, Bstr(u"later"), result).code(), S_OK);
  EXPECT_EQ(Read(uri), u"later");
}

TEST_P(CollabStoreTest, Messages) {
  const Bstr uri = Put(Name("msg"), Bstr(u"f"));
  Bstr result;
  const Bstr message(u"see 'notes' -- 100% & <more> \u65e5\u672c");
  ASSERT_EQ(store_.PutMessage(As(kAlice), uri, message, result).code(), S_OK);
  EXPECT_EQ(result, u"<root><resultCode>0</resultCode></root>");
  ASSERT_EQ(store_.GetMessage(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "message"), std::vector<std::string>{message.ToUtf8()});
  Bstr again;
  EXPECT_EQ(store_.PutMessage(As(kAlice), uri, Bstr(u"other"), again).code(), QS_E_SHARE_MESSAGE_EXISTS);
  EXPECT_EQ(Texts(again, "message"), std::vector<std::string>{message.ToUtf8()});
  // Someone who may write but not read the message is not shown it.
  Grant(uri, kBob, u"aw");
  Bstr hidden;
  EXPECT_EQ(store_.PutMessage(As(kBob), uri, Bstr(u"bob"), hidden).code(), QS_E_SHARE_MESSAGE_EXISTS);
  EXPECT_TRUE(hidden.IsNull()) << hidden.ToUtf8();
  EXPECT_EQ(store_.GetMessage(As(kBob), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(store_.RemoveMessage(As(kBob), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(store_.GetMessage(As(kCarol), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);

  ASSERT_EQ(store_.UpdateMessage(As(kBob), uri, Bstr(u"bob's word"), result).code(), S_OK);
  ASSERT_EQ(store_.GetMessage(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(result, u"<root><message>bob's word</message></root>");
  ASSERT_EQ(store_.RemoveMessage(As(kAlice), uri, result).code(), S_OK);
  ASSERT_EQ(store_.GetMessage(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(result, u"<root><message/></root>");
  EXPECT_EQ(store_.GetMessage(As(kAlice), UriOf(kAlice, Name("nothing")), result).code(), QS_E_URI_INVALID);
}

TEST_P(CollabStoreTest, SharingAndAttendees) {
  const Bstr uri = Put(Name("meeting"), Bstr(u"agenda"));
  const Bstr other = Put(Name("other"), Bstr(u"o"));
  Grant(uri, kBob, u"r");
  Bstr result;
  EXPECT_EQ(store_.StartSharing(As(kBob), Bstr(u"10.0.0.2"), uri, result).code(), QS_E_OWNER_ONLY);
  EXPECT_EQ(store_.StartSharing(As(kAlice), Bstr(u"10.0.0.1"), UriOf(kAlice, Name("none")), result).code(),
            QS_E_OWNER_ONLY);
  EXPECT_EQ(store_.GetAttendeesList(As(kAlice), uri, result).code(), QS_E_FIELD_NOT_ACTIVE);
  ASSERT_EQ(store_.StartSharing(As(kAlice), Bstr(u"10.0.0.1"), uri, result).code(), S_OK);
  EXPECT_EQ(result, u"<root><field>agenda</field></root>");
  EXPECT_EQ(store_.StartSharing(As(kAlice), Bstr(u"10.0.0.1"), uri, result).code(), QS_E_FIELD_ACTIVE);
  ASSERT_EQ(store_.StartSharing(As(kAlice), Bstr(u"10.0.0.3"), other, result).code(), S_OK);

  ASSERT_EQ(store_.GetAttendeesList(As(kCarol), uri, result).code(), S_OK);
  EXPECT_EQ(result, u"<root><attendee>alice</attendee></root>");
  EXPECT_EQ(store_.AddAttendee(As(kBob), uri, As(kCarol), result).code(), QS_E_OWNER_ONLY);
  EXPECT_EQ(store_.AddAttendee(As(kAlice), uri, As(kCarol), result).code(), QS_E_CONTENT_READ_RIGHT_REQUIRED);
  // Attendees are measured against the ACL of when sharing began.
  Grant(uri, kCarol, u"r");
  EXPECT_EQ(store_.AddAttendee(As(kAlice), uri, As(kCarol), result).code(), QS_E_CONTENT_READ_RIGHT_REQUIRED);
  ASSERT_EQ(store_.AddAttendee(As(kAlice), uri, As(kBob), result).code(), S_OK);
  EXPECT_EQ(store_.AddAttendee(As(kAlice), uri, As(kBob), result).code(), QS_E_ALREADY_ATTENDEE);
  ASSERT_EQ(store_.AddAttendee(As(kAlice), uri, As(kAdmin), result).code(), S_OK);
  ASSERT_EQ(store_.GetAttendeesList(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "attendee"), (std::vector<std::string>{"alice", "bob", "administrator"}));

  // The row lists show it active with the owner's address.
  ASSERT_EQ(store_.GetShareFieldAttribute(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "active"), std::vector<std::string>{"true"});
  EXPECT_EQ(Texts(result, "ipaddress"), std::vector<std::string>{"10.0.0.1"});
  // While shared, only the owner's saves write it.
  EXPECT_EQ(store_.UpdateShareField(As(kAlice), uri, Bstr(u"x"), result).code(), QS_E_FIELD_ACTIVE);
  EXPECT_EQ(store_.RemoveShareField(As(kAlice), uri, result).code(), QS_E_FIELD_ACTIVE);
  EXPECT_EQ(store_.LockVO(As(kAlice), uri, result).code(), QS_E_FIELD_ACTIVE);
  EXPECT_EQ(store_.SaveSharing(As(kBob), uri, Bstr(u"bob"), result).code(), QS_E_OWNER_ONLY);
  Bstr saved;
  ASSERT_EQ(store_.SaveSharing(As(kAlice), uri, Bstr(u"minutes"), saved).code(), S_OK);
  EXPECT_TRUE(saved.IsNull());
  EXPECT_EQ(Read(uri), u"minutes");
  EXPECT_EQ(ColumnOf(uri, "FIELDLEN"), "7");

  EXPECT_EQ(store_.DeleteAttendee(As(kAlice), uri, kAlice, result).code(), QS_E_CANNOT_DELETE_OWNER);
  EXPECT_EQ(store_.DeleteAttendee(As(kAlice), uri, kCarol, result).code(), QS_E_USER_NOT_ATTENDEE);
  EXPECT_EQ(store_.DeleteAttendee(As(kBob), uri, kBob, result).code(), QS_E_OWNER_ONLY);
  ASSERT_EQ(store_.DeleteAttendee(As(kAlice), uri, kBob, result).code(), S_OK);
  ASSERT_EQ(store_.GetAttendeesList(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "attendee"), (std::vector<std::string>{"alice", "administrator"}));

  EXPECT_EQ(store_.EndSharing(As(kBob), uri, result).code(), QS_E_OWNER_ONLY);
  ASSERT_EQ(store_.EndSharing(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(store_.EndSharing(As(kAlice), uri, result).code(), QS_E_FIELD_NOT_ACTIVE);
  EXPECT_EQ(store_.SaveSharing(As(kAlice), uri, Bstr(u"late"), result).code(), QS_E_FIELD_NOT_ACTIVE);
  EXPECT_FALSE(store_.FindActiveField(uri).value());
  EXPECT_TRUE(store_.FindActiveField(other).value()) << "ending one sharing leaves the others";
  ASSERT_EQ(store_.UpdateShareField(As(kAlice), uri, Bstr(u"after"), result).code(), S_OK);
  ASSERT_EQ(store_.EndSharing(As(kAlice), other, result).code(), S_OK);
}

TEST_P(CollabStoreTest, AclDocumentsAndEntries) {
  const Bstr uri = Put(Name("acl"), Bstr(u"f"));
  Bstr result;
  ASSERT_EQ(store_.GetACL(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(result,
            u"<root><VOACL><control><user>alice</"
            u"user><access>rwdarawad</access></control>"
            u"<control><user>administrator</user><access>rwdarawad</"
            u"access></control></VOACL></root>");
  // A stored document with a declaration and a comment is answered as its
  // element alone, here and in the row lists.
  ASSERT_EQ(store_
                .PutACL(As(kAlice), uri,
                        Bstr(u"<?xml version=\"1.0\"?><!-- mine "
                             u"--><VOACL><control><user>alice</user>"
                             u"<access>rwdarawad</access></control></VOACL>"),
                        result)
                .code(),
            S_OK);
  ASSERT_EQ(store_.GetACL(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(result,
            u"<root><VOACL><control><user>alice</user><access>rwdarawad</"
            u"access></control></VOACL></root>");
  ASSERT_EQ(store_.GetShareFieldAttribute(As(kAlice), uri, result).code(), S_OK);
  EXPECT_NE(result.ToUtf8().find("<acl><VOACL><control>"), std::string::npos) << result.ToUtf8();

  // Entries.
  EXPECT_EQ(store_.GetACLEntry(As(kBob), uri, kAlice, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_TRUE(result.IsNull());
  ASSERT_EQ(store_.PutACLEntry(As(kAlice), uri, kBob, Bstr(u"ar"), result).code(), S_OK);
  EXPECT_EQ(store_.PutACLEntry(As(kAlice), uri, kBob, Bstr(u"r"), result).code(), QS_E_ACL_USER_EXISTS);
  EXPECT_EQ(store_.PutACLEntry(As(kAlice), uri, kCarol, Bstr(u""), result).code(), QS_E_ARGUMENT_NULL);
  EXPECT_EQ(store_.PutACLEntry(As(kAlice), uri, Bstr(), Bstr(u"r"), result).code(), QS_E_ARGUMENT_NULL);
  ASSERT_EQ(store_.GetACLEntry(As(kBob), uri, kBob, result).code(), S_OK);
  EXPECT_EQ(result, u"<control><user>bob</user><access>ar</access></control>");
  ASSERT_EQ(store_.GetACLEntry(As(kBob), uri, kCarol, result).code(), S_OK);
  EXPECT_TRUE(result.IsNull());
  ASSERT_EQ(store_.UpdateACLEntry(As(kAlice), uri, kBob, Bstr(u"arad"), result).code(), S_OK);
  // Deleting an entry writes the document back, which needs "aw" too.
  EXPECT_EQ(store_.DeleteACLEntry(As(kBob), uri, kAlice, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  ASSERT_EQ(store_.GetACLEntry(As(kAlice), uri, kAlice, result).code(), S_OK);
  EXPECT_FALSE(result.IsNull()) << "the refused delete changed nothing";
  EXPECT_EQ(store_.UpdateACLEntry(As(kAlice), uri, kCarol, Bstr(u"r"), result).code(), QS_E_ACL_USER_NOT_FOUND);
  ASSERT_EQ(store_.DeleteACLEntry(As(kAlice), uri, kBob, result).code(), S_OK);
  EXPECT_EQ(store_.DeleteACLEntry(As(kAlice), uri, kBob, result).code(), QS_E_ACL_USER_NOT_FOUND);
  EXPECT_EQ(store_.GetACLEntry(As(kAlice), UriOf(kAlice, Name("none")), kAlice, result).code(), QS_E_ACL_NOT_FOUND);

  // A text that is no XML is stored as given, and locks everyone out.
  ASSERT_EQ(store_.UpdateACL(As(kAlice), uri, Bstr(u"not <xml"), result).code(), S_OK);
  ASSERT_EQ(store_.GetShareFieldAttribute(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "acl"), std::vector<std::string>{"not <xml"});
  EXPECT_EQ(store_.GetACL(As(kAdmin), uri, result).code(), QS_E_XML_LOAD_FAILED);
  // DeleteACL resets to the caller's default document.
  ASSERT_EQ(store_
                .UpdateACL(As(kAlice), uri,
                           Bstr(u"<VOACL><control><user>bob</user><access>ad</"
                                u"access></control></VOACL>"),
                           result)
                .code(),
            QS_E_XML_LOAD_FAILED);
  ASSERT_EQ(
      db_.ExecuteNonQuery("UPDATE QUORCOLLAB SET ACCESSLIST = ? WHERE VOURI = ?",
                          std::vector<com::Variant>{com::Variant(Bstr(u"<VOACL><control><user>bob</user><access>ad</"
                                                                      u"access></control></VOACL>")),
                                                    com::Variant(uri)})
          .code(),
      0);
  ASSERT_EQ(store_.DeleteACL(As(kBob), uri, result).code(), S_OK);
  ASSERT_EQ(store_.GetACL(As(kBob), uri, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "user"), (std::vector<std::string>{"bob", "administrator"}));
  EXPECT_EQ(store_.GetACL(As(kAlice), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
}

TEST_P(CollabStoreTest, Locks) {
  const Bstr uri = Put(Name("locked"), Bstr(u"f"));
  Grant(uri, kBob, u"rwd");
  Bstr result;
  EXPECT_EQ(store_.LockVO(As(kCarol), uri, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(store_.LockVO(As(kAlice), Bstr(), result).code(), QS_E_URI_NOT_SPECIFIED);
  EXPECT_EQ(store_.LockVO(As(kAlice), UriOf(kAlice, Name("none")), result).code(), QS_E_URI_INVALID);
  ASSERT_EQ(store_.LockVO(As(kAlice), uri, result).code(), S_OK);
  EXPECT_EQ(result, u"<root><resultCode>0</resultCode></root>");
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "alice");
  Bstr none;
  ASSERT_EQ(store_.LockVO(As(kAlice), uri, none).code(), S_OK);
  EXPECT_TRUE(none.IsNull()) << "the holder locking again changes nothing";
  EXPECT_EQ(store_.LockVO(As(kBob), uri, result).code(), QS_E_SHARE_FIELD_ALREADY_LOCKED);

  // Another user's writes are refused while it is locked; the holder's are not.
  EXPECT_EQ(store_.UpdateShareField(As(kBob), uri, Bstr(u"bob"), result).code(), QS_E_VESK_LOCKED_BY_OTHER);
  ASSERT_EQ(store_.UpdateShareField(As(kAlice), uri, Bstr(u"alice"), result).code(), S_OK);
  EXPECT_EQ(store_.RemoveShareField(As(kAlice), uri, result).code(), QS_E_OBJECT_LOCKED);
  EXPECT_EQ(store_.RemoveShareField(As(kBob), uri, result).code(), QS_E_OBJECT_LOCKED);
  EXPECT_EQ(store_.ForceUnlockVO(As(kBob), uri, result).code(), QS_E_UNLOCK_NOT_ALLOWED);
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "alice");

  // The administrator (who holds "r" through the default ACL) unlocks it.
  ASSERT_EQ(store_.ForceUnlockVO(As(kAdmin), uri, result).code(), S_OK);
  EXPECT_EQ(ColumnOf(uri, "LOCK_STATUS"), "0");
  Bstr unlocked;
  ASSERT_EQ(store_.ForceUnlockVO(As(kAlice), uri, unlocked).code(), S_OK);
  EXPECT_TRUE(unlocked.IsNull()) << "an unlock of an unlocked field answers nothing";
  ASSERT_EQ(store_.LockVO(As(kBob), uri, result).code(), S_OK);
  ASSERT_EQ(store_.ForceUnlockVO(As(kBob), uri, result).code(), S_OK) << "the holder unlocks";
  ASSERT_EQ(store_.RemoveShareField(As(kBob), uri, result).code(), S_OK);
}

TEST_P(CollabStoreTest, HostileTextsTouchNoOtherRow) {
  const Bstr bystander = Put(Name("bystander"), Bstr(u"untouched"));
  const std::vector<std::string> hostile = {"'",           "x'--",       "a; DROP TABLE QUORCOLLAB; --",
                                            "<b>&amp;",    "../../etc",  "100%_",
                                            "' OR '1'='1", "\"; DELETE", "\xE6\x97\xA5'\xE6\x9C\xAC"};
  for (const auto& text : hostile) {
    SCOPED_TRACE(text);
    const Bstr name = U(text + Tagged(""));
    const Bstr uri = Put(name, U(text));
    EXPECT_EQ(Read(uri), U(text).Str());
    Bstr result;
    ASSERT_EQ(store_.UpdateShareField(As(kAlice), uri, U(text + text), result).code(), S_OK);
    ASSERT_EQ(store_.PutMessage(As(kAlice), uri, U(text), result).code(), S_OK);
    ASSERT_EQ(store_.PutACLEntry(As(kAlice), uri, U(text), U("r"), result).code(), S_OK);
    ASSERT_EQ(store_.GetACLEntry(As(kAlice), uri, U(text), result).code(), S_OK);
    EXPECT_EQ(Texts(result, "user"), std::vector<std::string>{text});
    EXPECT_EQ(Read(uri, U(text)), U(text + text).Str()) << "the hostile user name reads through its entry";
    ASSERT_EQ(store_.GetShareFieldURI(As(kAlice), kAlice, name, result).code(), S_OK);
    EXPECT_EQ(Texts(result, "uri"), std::vector<std::string>{uri.ToUtf8()});
    // A URN made of the same texts names no row.
    EXPECT_EQ(store_.GetShareField(As(kAlice), U("urn:vocontent:covodb000:" + text), result).code(), QS_E_URI_INVALID);
    EXPECT_EQ(store_.RemoveShareField(As(kAlice), U(text), result).code(), QS_E_URI_INVALID);
    ASSERT_EQ(store_.RemoveShareField(As(kAlice), uri, result).code(), S_OK);
    EXPECT_EQ(Rows("VOURI = ?", uri), 0);
  }
  EXPECT_EQ(Read(bystander), u"untouched");
  EXPECT_EQ(ColumnOf(bystander, "MESSAGE"), "");
  EXPECT_EQ(OurRows(), 1);
}

TEST_P(CollabStoreTest, ConcurrentEditorsLeaveOneRowAndAWrittenValue) {
  const Bstr shared = Put(Name("together"), Bstr(u"start"));
  Grant(shared, U("everyone"), u"rw");
  constexpr int kThreads = 8, kRounds = 10;
  std::vector<Bstr> own(kThreads);
  for (int t = 0; t < kThreads; ++t) own[t] = Put(Name("own" + std::to_string(t)), Bstr(u"start"));
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const Bstr user = U("editor" + std::to_string(t));
      for (int round = 0; round < kRounds; ++round) {
        // Each round is a call: it holds a connection of its own, as calls do.
        const CDBConnect::Lease lease(&db_);
        Bstr result;
        const Bstr value = U("t" + std::to_string(t) + "r" + std::to_string(round));
        if (store_.UpdateShareField(As(user), shared, value, result).code() != S_OK) ++failures;
        if (store_.UpdateShareField(As(kAlice), own[t], value, result).code() != S_OK) ++failures;
        if (store_.GetShareField(As(user), shared, result).code() != S_OK) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  const std::string last = Bstr(Read(shared)).ToUtf8();
  std::set<std::string> written;
  for (int t = 0; t < kThreads; ++t)
    for (int round = 0; round < kRounds; ++round) written.insert("t" + std::to_string(t) + "r" + std::to_string(round));
  EXPECT_TRUE(written.count(last)) << last;
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(Read(own[t]), U("t" + std::to_string(t) + "r" + std::to_string(kRounds - 1)).Str());
  EXPECT_EQ(OurRows(), kThreads + 1);
}

QUOR_INSTANTIATE_ENGINES(CollabStoreTest);
