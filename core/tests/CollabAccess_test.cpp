// URNs, ACL documents and their evaluation, the resume queue's bookkeeping
// and the parts of the collaboration store that need no database.
#include <gtest/gtest.h>

#include "core/QuorServiceUtils.h"
#include "core/ServiceConfig.h"
#include "core/ServiceModule.h"
#include "core/store/ResumeQueue.h"
#include "core/StatusCodes.h"
#include "core/store/CollabDBConnectImpl.h"
#include "core/tests/TestInstance.h"

using namespace quor;
using namespace quor::core;
using com::Bstr;
using quor::core::testing::TestInstance;

namespace {

// `user` as the request frame resolves it before a store is called.
Caller As(const com::Bstr& user) { return CServiceModule::Instance().EnsureUtils().ResolveCaller(user); }

const Bstr kAlice(u"alice");
const Bstr kBob(u"bob");

Bstr Acl(std::u16string_view entries) {
  return Bstr(std::u16string(u"<VOACL>") + std::u16string(entries) + u"</VOACL>");
}
std::u16string Entry(std::u16string_view user, std::u16string_view rights) {
  return std::u16string(u"<control><user>") + std::u16string(user) + u"</user><access>" + std::u16string(rights) +
         u"</access></control>";
}

// The access check as the stores run it.
HRESULT Check(const Bstr& user, std::u16string_view rights, const Bstr& acl) {
  const Status status = CServiceModule::Instance().EnsureUtils().CheckAccessRights(As(user), rights, acl);
  if (status.ok()) return S_OK;
  EXPECT_NE(status.code(), S_OK) << "a refusal always says why";
  return status.code();
}

}  // namespace

// ---- URNs -----------------------------------------------------------------------------

TEST(Urns, BuildersAndTheClassifier) {
  EXPECT_EQ(CQuorServiceUtils::MakeVOContentURI("a-b", "c"), "urn:vocontent:vodb000:a-b-c");
  EXPECT_EQ(CQuorServiceUtils::MakeVOContentURI("a", "b-c"), "urn:vocontent:vodb000:a-b-c");
  EXPECT_EQ(CQuorServiceUtils::MakeVOContentURI("", ""), "urn:vocontent:vodb000:-");
  EXPECT_EQ(CQuorServiceUtils::MakeCoVOContentURI("alice", "notes"), "urn:vocontent:covodb000:alice-notes");
  EXPECT_EQ(CQuorServiceUtils::MakeVOResourceURI(""), "urn:voresource:");
  EXPECT_EQ(CQuorServiceUtils::MakeVOResourceURI("logo.png"), "urn:voresource:logo.png");
  EXPECT_EQ(CQuorServiceUtils::MakeVOResourceDirName("logo.png"), "urn_voresource_logo.png");

  // The wide forms give the same text as the narrow ones, non-ASCII included.
  const Bstr author(u"\u592a\u90ce"), name(u"it's <50%>");
  EXPECT_EQ(CQuorServiceUtils::MakeCoVOContentURIW(author, name).ToUtf8(),
            CQuorServiceUtils::MakeCoVOContentURI(author.ToUtf8(), name.ToUtf8()));
  EXPECT_EQ(CQuorServiceUtils::MakeVOContentURIW(Bstr(), Bstr()), u"urn:vocontent:vodb000:-");

  EXPECT_EQ(CQuorServiceUtils::ClassifyVOURI(Bstr(u"urn:vocontent:vodbX")), 1);
  EXPECT_EQ(CQuorServiceUtils::ClassifyVOURI(Bstr(u"urn:vocontent:covodb000:a-b")), 2);
  EXPECT_EQ(CQuorServiceUtils::ClassifyVOURI(Bstr(u"URN:VOCONTENT:VODB000:a-b")), 0);
  EXPECT_EQ(CQuorServiceUtils::ClassifyVOURI(Bstr(u"urn:voresource:a")), 0);
  EXPECT_EQ(CQuorServiceUtils::ClassifyVOURI(Bstr()), 0);
}

TEST(Urns, ResourceValuesOfTheRegistry) {
  TestInstance instance;
  EXPECT_FALSE(CQuorServiceUtils::ReadResourceURL());
  EXPECT_TRUE(instance.ServiceKey().SetString("ResourceURL", "http://host/QuorService/resource/").ok());
  EXPECT_TRUE(instance.ServiceKey().SetString("ResourceDir", "").ok());
  EXPECT_EQ(CQuorServiceUtils::ReadResourceURL().value_or("none"), "http://host/QuorService/resource/");
  EXPECT_FALSE(CQuorServiceUtils::ReadResourceDir()) << "an empty value is none";
  // The value's buffer holds 261 bytes, its terminator included.
  EXPECT_TRUE(instance.ServiceKey().SetString("ResourceDir", std::string(261, 'd')).ok());
  EXPECT_FALSE(CQuorServiceUtils::ReadResourceDir());
  EXPECT_TRUE(instance.ServiceKey().SetString("ResourceDir", std::string(260, 'd')).ok());
  EXPECT_EQ(CQuorServiceUtils::ReadResourceDir().value_or("").size(), 260u);
}

// ---- ACL documents -----------------------------------------------------------------------

TEST(AclDocuments, DefaultDocumentListsTheOwnerThenAdministrator) {
  Bstr acl;
  ASSERT_EQ(CQuorServiceUtils::MakeDefaultACL(kAlice, acl).code(), S_OK);
  EXPECT_EQ(acl, Acl(Entry(u"alice", u"rwdarawad") + Entry(u"administrator", u"rwdarawad")));
  ASSERT_EQ(CQuorServiceUtils::MakeDefaultACL(Bstr(u"a&b<c>"), acl).code(), S_OK);
  EXPECT_EQ(acl, Acl(Entry(u"a&amp;b&lt;c&gt;", u"rwdarawad") + Entry(u"administrator", u"rwdarawad")));
}

TEST(AclDocuments, EveryRequestedTokenMustBeHeld) {
  const Bstr writeOnly = Acl(Entry(u"alice", u"w"));
  EXPECT_EQ(Check(kAlice, u"w", writeOnly), S_OK);
  EXPECT_EQ(Check(kAlice, u"rw", writeOnly), QS_E_ACCESS_RIGHT_INSUFFICIENT) << "\"rw\" needs \"r\" as well";
  EXPECT_EQ(Check(kAlice, u"wr", writeOnly), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(Check(kAlice, u"rw", Acl(Entry(u"alice", u"r"))), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(Check(kAlice, u"rw", Acl(Entry(u"alice", u"wr"))), S_OK);
  EXPECT_EQ(Check(kAlice, u"wd", Acl(Entry(u"alice", u"rwdarawad"))), S_OK);
  // Attribute tokens are their own rights: "ar" is not "r".
  EXPECT_EQ(Check(kAlice, u"r", Acl(Entry(u"alice", u"arawad"))), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(Check(kAlice, u"ad", Acl(Entry(u"alice", u"rwd"))), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(Check(kAlice, u"aw", Acl(Entry(u"alice", u"raw"))), S_OK);
  // Text no token begins grants nothing, and an empty or unknown request
  // asks for nothing that could be granted.
  EXPECT_EQ(Check(kAlice, u"r", Acl(Entry(u"alice", u"xyz"))), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(Check(kAlice, u"r", Acl(Entry(u"alice", u"xrz"))), S_OK);
  EXPECT_EQ(Check(kAlice, u"", Acl(Entry(u"alice", u"rwdarawad"))), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(Check(kAlice, u"rx", Acl(Entry(u"alice", u"rwdarawad"))), QS_E_ACCESS_RIGHT_INSUFFICIENT);
}

TEST(AclDocuments, WhomAnEntryConcerns) {
  // Entries are tried in order; the first that names the user and grants wins.
  const Bstr acl = Acl(Entry(u"alice", u"r") + Entry(u"everyone", u"w"));
  EXPECT_EQ(Check(kAlice, u"w", acl), S_OK);
  EXPECT_EQ(Check(kBob, u"w", acl), S_OK);
  EXPECT_EQ(Check(kBob, u"r", acl), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  // Names compare exactly.
  EXPECT_EQ(Check(Bstr(u"Alice"), u"r", Acl(Entry(u"alice", u"r"))), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  // "administrator" is every administrator, and the user of that very name.
  const Bstr admins = Acl(Entry(u"administrator", u"rwd"));
  EXPECT_EQ(Check(Bstr(u"administrator"), u"d", admins), S_OK);
  EXPECT_EQ(Check(kBob, u"d", admins), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  CServiceConfig& settings = CServiceModule::Instance().EnsureSettings();
  settings.AdminUsers = {Bstr(u"root")};
  EXPECT_EQ(Check(Bstr(u"root"), u"d", admins), S_OK);
  EXPECT_EQ(Check(Bstr(u"administrator"), u"d", admins), S_OK);
  // A group entry concerns its members.
  settings.UserGroups = {UserGroup{Bstr(u"Staff"), {kBob}}};
  EXPECT_EQ(Check(kBob, u"r", Acl(Entry(u"Staff", u"r"))), S_OK);
  EXPECT_EQ(Check(kAlice, u"r", Acl(Entry(u"Staff", u"r"))), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  settings.AdminUsers.clear();
  settings.UserGroups.clear();
}

TEST(AclDocuments, DocumentsThatGrantNothing) {
  EXPECT_EQ(Check(kAlice, u"r", Bstr()), QS_E_ACL_NOT_FOUND);
  EXPECT_EQ(Check(kAlice, u"r", Bstr(u"")), QS_E_ACL_NOT_FOUND);
  EXPECT_EQ(Check(kAlice, u"r", Bstr(u"<VOACL>")), QS_E_XML_LOAD_FAILED);
  EXPECT_EQ(Check(kAlice, u"r", Bstr(u"<root/>")), QS_E_ACL_NOT_FOUND);
  EXPECT_EQ(Check(kAlice, u"r", Bstr(u"<VOACL/>")), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(Check(kAlice, u"r", Acl(u"<other/>")), QS_E_ACL_NO_CONTROL);
  // A declaration and comments before the document element are passed over.
  EXPECT_EQ(
      Check(kAlice, u"r", Bstr(u"<?xml version=\"1.0\"?><!-- x --><VOACL>" + Entry(u"alice", u"r") + u"</VOACL>")),
      S_OK);
  // An entry without "user" first, or without "access" after it, grants nothing.
  EXPECT_EQ(Check(kAlice, u"r", Acl(u"<control><access>r</access><user>alice</user></control>")),
            QS_E_ACCESS_RIGHT_INSUFFICIENT);
  EXPECT_EQ(Check(kAlice, u"r", Acl(u"<control><user>alice</user></control>")), QS_E_ACCESS_RIGHT_INSUFFICIENT);
}

TEST(AclDocuments, EntryOperations) {
  const Bstr acl = Acl(Entry(u"alice", u"rwdarawad") + Entry(u"bob", u"r") + Entry(u"bob", u"w"));
  Bstr out(u"untouched");
  ASSERT_EQ(CQuorServiceUtils::GetACLEntryFromDocument(kBob, acl, out).code(), S_OK);
  EXPECT_EQ(out, Bstr(Entry(u"bob", u"r")));
  ASSERT_EQ(CQuorServiceUtils::GetACLEntryFromDocument(Bstr(u"carol"), acl, out).code(), S_OK);
  EXPECT_TRUE(out.IsNull());

  EXPECT_EQ(CQuorServiceUtils::PutACLEntryToDocument(kBob, Bstr(u"d"), acl, out).code(), QS_E_ACL_USER_EXISTS);
  EXPECT_TRUE(out.IsNull());
  ASSERT_EQ(CQuorServiceUtils::PutACLEntryToDocument(Bstr(u"c&<"), Bstr(u"ar"), acl, out).code(), S_OK);
  EXPECT_EQ(out, Acl(Entry(u"alice", u"rwdarawad") + Entry(u"bob", u"r") + Entry(u"bob", u"w") +
                     Entry(u"c&amp;&lt;", u"ar")));
  // Only the first entry of a user changes.
  ASSERT_EQ(CQuorServiceUtils::UpdateACLEntryInDocument(kBob, Bstr(u"rw"), acl, out).code(), S_OK);
  EXPECT_EQ(out, Acl(Entry(u"alice", u"rwdarawad") + Entry(u"bob", u"rw") + Entry(u"bob", u"w")));
  ASSERT_EQ(CQuorServiceUtils::DeleteACLEntryFromDocument(kBob, acl, out).code(), S_OK);
  EXPECT_EQ(out, Acl(Entry(u"alice", u"rwdarawad") + Entry(u"bob", u"w")));
  // An entry without "access" gets one.
  ASSERT_EQ(CQuorServiceUtils::UpdateACLEntryInDocument(kBob, Bstr(u"r"), Acl(u"<control><user>bob</user></control>"),
                                                        out)
                .code(),
            S_OK);
  EXPECT_EQ(out, Acl(Entry(u"bob", u"r")));

  EXPECT_EQ(CQuorServiceUtils::UpdateACLEntryInDocument(Bstr(u"carol"), Bstr(u"r"), acl, out).code(),
            QS_E_ACL_USER_NOT_FOUND);
  EXPECT_TRUE(out.IsNull());
  EXPECT_EQ(CQuorServiceUtils::DeleteACLEntryFromDocument(Bstr(u"carol"), acl, out).code(), QS_E_ACL_USER_NOT_FOUND);
  EXPECT_EQ(CQuorServiceUtils::PutACLEntryToDocument(kBob, Bstr(u"r"), Bstr(u"<root/>"), out).code(),
            QS_E_ACL_NOT_FOUND);
  // A text that does not parse leaves the output as it was.
  out = Bstr(u"kept");
  EXPECT_EQ(CQuorServiceUtils::DeleteACLEntryFromDocument(kBob, Bstr(u"<VOACL"), out).code(), QS_E_XML_LOAD_FAILED);
  EXPECT_EQ(out, u"kept");
  // The document written back is the element alone.
  ASSERT_EQ(CQuorServiceUtils::PutACLEntryToDocument(kBob, Bstr(u"r"),
                                                     Bstr(u"<?xml version=\"1.0\"?><!-- c --><VOACL></VOACL>"), out)
                .code(),
            S_OK);
  EXPECT_EQ(out, Acl(Entry(u"bob", u"r")));
}

// ---- The collaboration store without a database ----------------------------------------------

TEST(CollabStore, ConferenceManagerUrlIsEscaped) {
  TestInstance instance;
  CServerLease lease;
  CResumeQueue queue(lease, As);
  CCollabDBConnectImpl store(nullptr, queue);
  Bstr result(u"stale");
  EXPECT_EQ(store.GetConferenceManagerURL(As(kAlice), result).code(), QS_E_CONFERENCE_URL_NOT_SET);
  EXPECT_TRUE(result.IsNull());
  EXPECT_TRUE(instance.ServiceKey().SetString("ConferenceManagerURL", "").ok());
  EXPECT_EQ(store.GetConferenceManagerURL(As(kAlice), result).code(), QS_E_CONFERENCE_URL_NOT_SET);
  EXPECT_TRUE(instance.ServiceKey().SetString("ConferenceManagerURL", "http://conf/join?room=a&who=<b>").ok());
  ASSERT_EQ(store.GetConferenceManagerURL(As(kAlice), result).code(), S_OK);
  EXPECT_EQ(result, u"<root><url>http://conf/join?room=a&amp;who=&lt;b&gt;</url></root>");
  EXPECT_TRUE(instance.ServiceKey().SetString("ConferenceManagerURL", std::string(2048, 'u')).ok());
  EXPECT_EQ(store.GetConferenceManagerURL(As(kAlice), result).code(), QS_E_CONFERENCE_URL_NOT_SET)
      << "longer than its buffer";
  Bstr ignored;
  EXPECT_EQ(store.GetURLUnsupported(As(kAlice), kAlice, Bstr(u"n"), ignored).code(), E_NOTIMPL);
  EXPECT_TRUE(ignored.IsNull());
}

TEST(CollabStore, WithoutDatabaseEveryRowOperationSaysSo) {
  CServerLease lease;
  CResumeQueue queue(lease, As);
  CCollabDBConnectImpl store(nullptr, queue);
  const Bstr uri(u"urn:vocontent:covodb000:alice-notes");
  Bstr result;
  EXPECT_EQ(store.PutShareField(As(kAlice), kAlice, Bstr(u"notes"), Bstr(u"t"), result).code(),
            QS_E_NATIVE_DB_NOT_INSTALLED);
  EXPECT_EQ(store.GetShareField(As(kAlice), uri, result).code(), QS_E_NATIVE_DB_NOT_INSTALLED);
  EXPECT_EQ(store.GetShareFieldList(As(kAlice), result).code(), QS_E_NATIVE_DB_NOT_INSTALLED);
  EXPECT_EQ(store.LockVO(As(kAlice), uri, result).code(), QS_E_NATIVE_DB_NOT_INSTALLED);
  EXPECT_EQ(store.GetShareField(As(kAlice), Bstr(), result).code(), QS_E_URI_NOT_SPECIFIED);
  EXPECT_EQ(store.EndSharing(As(kAlice), uri, result).code(), QS_E_FIELD_NOT_ACTIVE);
  EXPECT_TRUE(result.IsNull());
  // The set-up reads what the settings lack and is ready without a database.
  EXPECT_EQ(store.Init().code(), S_OK);
}
