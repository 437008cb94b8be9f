// The content store's resources on SQLite and PostgreSQL with a temporary
// ResourceDir: records and their locations on disk, relocation, attributes,
// the update check, ACLs, and hostile names and leaves.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/ServiceModule.h"
#include "core/StatusCodes.h"
#include "core/store/VODBConnectImpl.h"
#include "core/store/tests/RepositoryFixture.h"
#include "core/tests/TestInstance.h"
#include "platform/xml/dom.h"

using namespace quor;
using namespace quor::core;
using com::Bstr;
using quor::core::testing::Awkward;
using quor::core::testing::Texts;
namespace fs = std::filesystem;

namespace {

// `user` as the request frame resolves it before a store is called.
Caller As(const com::Bstr& user) { return CServiceModule::Instance().EnsureUtils().ResolveCaller(user); }

const Bstr kAlice(u"alice");
const Bstr kBob(u"bob");
const Bstr kNone;
constexpr std::string_view kBase = "http://127.0.0.1:1/QuorService/resource";

Bstr U(std::string_view utf8) { return Bstr::FromUtf8(utf8); }


// Every entry below `root`, to prove a refused request left the disk alone.
std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> entries;
  for (const auto& e : fs::recursive_directory_iterator(root)) entries.push_back(e.path().string());
  std::sort(entries.begin(), entries.end());
  return entries;
}

class ResourceStoreTest : public quor::core::testing::RepositoryTest {
 protected:
  void SetUp() override {
    RepositoryTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    dir_ = instance_.root() + "/resource";
    outside_ = instance_.root() + "/outside";
    fs::create_directories(dir_);
    fs::create_directories(outside_);
    std::ofstream(outside_ + "/passwd") << "root";
    EXPECT_TRUE(instance_.ServiceKey().SetString("ResourceURL", std::string(kBase)).ok());
    EXPECT_TRUE(instance_.ServiceKey().SetString("ResourceDir", dir_).ok());
    store_ = std::make_unique<CVODBConnectImpl>(&db_);
    store_->Init().Ignore();
  }
  void TearDown() override {
    if (!IsSqlite() && db_.GetState() == 1) {
      const com::Variant like[] = {com::Variant(U("%" + tag_ + "%"))};
      db_.ExecuteNonQuery("DELETE FROM QUORVESKRES WHERE NAME LIKE ?", like).Ignore();
      if (poisoned_) {
        db_.ExecuteNonQuery("DROP TRIGGER IF EXISTS rpoison_" + tag_ + " ON QUORVESKRES").Ignore();
        db_.ExecuteNonQuery("DROP FUNCTION IF EXISTS rpoison_" + tag_ + "()").Ignore();
      }
    }
    store_.reset();
    RepositoryTest::TearDown();
  }

  Bstr Name(std::string_view name) const { return U(Tagged(name)); }
  std::string ColumnOf(const Bstr& name, std::string_view column) {
    CommandHolder command;
    RecordsetHolder rows;
    const com::Variant params[] = {com::Variant(name)};
    EXPECT_EQ(db_.ExecuteQuery(command, rows, "SELECT * FROM QUORVESKRES WHERE NAME = ?", params).code(), 0);
    std::string value = "(none)";
    if (rows && !rows->Eof()) value = db_.GetFieldString(rows, column).code() == 0 ? db_.LastFieldValue().ToUtf8() : "(null)";
    db_.ReleaseQuery(command, rows);
    return value;
  }
  void SetColumn(const Bstr& name, std::string_view column, std::string_view value) {
    const com::Variant params[] = {com::Variant(U(value)), com::Variant(name)};
    ASSERT_EQ(db_.ExecuteNonQuery("UPDATE QUORVESKRES SET " + std::string(column) + " = ? WHERE NAME = ?", params).code(), 0);
  }
  Bstr PutWith(const Bstr& name, const Bstr& module, const Bstr& version, const Bstr& leaf = kNone,
               const Bstr& user = kAlice) {
    Bstr result;
    EXPECT_EQ(store_
                  ->PutVOResourcewithAttribute(As(user), name, module, U("carol"), version, U("exe"), U("id1"),
                                               U("a <tool> & more"), leaf, U("p=1"), result)
                  .code(),
              S_OK);
    return result;
  }
  bool IsSkipped() const { return ::testing::Test::IsSkipped(); }

  quor::core::testing::TestInstance instance_;
  std::string dir_, outside_;
  std::unique_ptr<CVODBConnectImpl> store_;
  bool poisoned_ = false;
};

}  // namespace

TEST_P(ResourceStoreTest, PutRecordsTheLocationAndMakesItsFolder) {
  const Bstr name = Name("logo.png");
  Bstr result;
  ASSERT_EQ(store_->PutVOResource(As(kAlice), name, result).code(), S_OK);
  const std::string folder = dir_ + "/urn_voresource_" + name.ToUtf8();
  const std::string url = std::string(kBase) + "/urn_voresource_" + name.ToUtf8() + "/" + name.ToUtf8();
  EXPECT_EQ(result, U("<root><resultCode>0</resultCode><url>" + url + "</url></root>"));
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(ColumnOf(name, "VORESOURCEDIR"), folder + "/" + name.ToUtf8());
  EXPECT_EQ(ColumnOf(name, "VORESOURCEURI"), "urn:voresource:" + name.ToUtf8());
  EXPECT_EQ(ColumnOf(name, "CLIENTLOCATION"), "(null)");

  // A second put of the name makes nothing.
  Bstr again;
  EXPECT_EQ(store_->PutVOResource(As(kBob), name, again).code(), S_OK);
  EXPECT_TRUE(again.IsNull());
  Bstr uris;
  ASSERT_EQ(store_->GetVOResourceURI(name, uris).code(), S_OK);
  EXPECT_EQ(Texts(uris, "VORESOURCEURI").size(), 1u);

  Bstr urlAnswer;
  ASSERT_EQ(store_->GetVOResourceURL(As(kAlice), name, urlAnswer).code(), S_OK);
  EXPECT_EQ(Texts(urlAnswer, "url"), std::vector<std::string>{url});
  EXPECT_EQ(store_->GetVOResourceURL(As(kBob), name, urlAnswer).code(), QS_E_CONTENT_READ_RIGHT_REQUIRED);
  EXPECT_EQ(store_->GetVOResourceURL(As(kAlice), Name("unknown"), urlAnswer).code(), QS_E_ACL_NOT_FOUND);
  ASSERT_EQ(store_->GetVOResourceURI(Name("unknown"), uris).code(), S_OK);
  EXPECT_EQ(uris, u"<root/>");
}

TEST_P(ResourceStoreTest, AttributesPropsAndListings) {
  const Bstr name = Name("tool"), module = Name("mod");
  const Bstr put = PutWith(name, module, U("1.0"), U(Tagged("bin") + "/tool.exe"));
  EXPECT_EQ(Texts(put, "url"), std::vector<std::string>{std::string(kBase) + "/" + Tagged("bin") + "/tool.exe"});
  EXPECT_TRUE(fs::is_directory(dir_ + "/" + Tagged("bin"))) << "a leaf's own folder is made";
  EXPECT_EQ(ColumnOf(name, "CLIENTLOCATION"), "vesk\\bin\\");

  Bstr attribute;
  ASSERT_EQ(store_->GetVOResourceAttribute(As(kAlice), name, attribute).code(), S_OK);
  EXPECT_EQ(Texts(attribute, "description"), std::vector<std::string>{"a <tool> & more"});
  EXPECT_EQ(Texts(attribute, "props"), std::vector<std::string>{"p=1"});
  EXPECT_EQ(Texts(attribute, "VOACL").size(), 1u) << "the ACL is embedded as XML";

  Bstr result;
  const std::u16string longText(501, u'x');
  ASSERT_EQ(store_
                ->UpdateVOResourceAttribute(As(kAlice), name, kNone, U("dave"), U("2.0"), kNone, kNone, Bstr(longText),
                                            result)
                .code(),
            S_OK);
  EXPECT_EQ(ColumnOf(name, "CREATOR"), "dave");
  EXPECT_EQ(ColumnOf(name, "DESCRIPTION").size(), 500u);
  EXPECT_EQ(ColumnOf(name, "MODULENAME"), module.ToUtf8()) << "what is not given stays";
  EXPECT_EQ(
      store_->UpdateVOResourceAttribute(As(kAlice), name, U(""), U(""), kNone, kNone, kNone, kNone, result).code(),
      QS_E_RESOURCE_ATTRIBUTE_UPDATE_FAILED);
  EXPECT_EQ(store_->UpdateVOResourceAttribute(As(kBob), name, U("x"), kNone, kNone, kNone, kNone, kNone, result).code(),
            QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED);
  EXPECT_EQ(
      store_->UpdateVOResourceAttribute(As(kAlice), Name("none"), U("x"), kNone, kNone, kNone, kNone, kNone, result)
          .code(),
      QS_E_URI_INVALID);

  ASSERT_EQ(
      store_->RemoveVOResourceAttribute(As(kAlice), name, kNone, U("TRUE"), U("false"), kNone, kNone, kNone, result)
          .code(),
      S_OK);
  EXPECT_EQ(ColumnOf(name, "CREATOR"), "");
  EXPECT_EQ(ColumnOf(name, "VERSION"), "2.0");

  ASSERT_EQ(store_->UpdateVOResourceProps(As(kAlice), name, U("it's <p>"), result).code(), S_OK);
  EXPECT_EQ(ColumnOf(name, "PROPS"), "it's <p>");

  // The module list gives the newest version of the module.
  const Bstr older = Name("tool-old");
  PutWith(older, module, U("1.5"), U(Tagged("bin") + "/old.exe"));
  Bstr list;
  ASSERT_EQ(store_->GetVOResourceAttributeList(As(kAlice), module, list).code(), S_OK);
  EXPECT_EQ(Texts(list, "name"), std::vector<std::string>{name.ToUtf8()});
  ASSERT_EQ(store_->GetVOResourceModuleNameList(As(kAlice), list).code(), S_OK);
  const auto modules = Texts(list, "modulename");
  EXPECT_EQ(std::count(modules.begin(), modules.end(), module.ToUtf8()), 1);
  ASSERT_EQ(store_->GetAllVOResourceAttributeList(As(kAlice), list).code(), S_OK);
  EXPECT_GE(Texts(list, "content").size(), 2u);

  EXPECT_EQ(store_->RemoveVOResource(As(kBob), name, result).code(), QS_E_DELETE_RIGHT_REQUIRED);
  ASSERT_EQ(store_->RemoveVOResource(As(kAlice), name, result).code(), S_OK);
  EXPECT_EQ(ColumnOf(name, "NAME"), "(none)");
}

TEST_P(ResourceStoreTest, TheUpdateCheckComparesTimesNotTexts) {
  const Bstr a = Name("a"), b = Name("b");
  PutWith(a, Name("mod-a"), U("1"));
  PutWith(b, Name("mod-b"), U("1"));
  SetColumn(a, "UPDATEDATE", "2004/10/1 0:0:0");
  SetColumn(b, "UPDATEDATE", "09/29/2004 23:59:59");  // the padded layout of the plain put
  Bstr result;
  ASSERT_EQ(store_->GetVOResourceUpdate(As(kAlice), U("2004/9/30"), result).code(), S_OK);
  auto modules = Texts(result, "MODULENAME");
  EXPECT_NE(std::find(modules.begin(), modules.end(), Tagged("mod-a")), modules.end());
  EXPECT_EQ(std::find(modules.begin(), modules.end(), Tagged("mod-b")), modules.end());
  // The stored text comes back as it is.
  const auto stamps = Texts(result, "UPDATEDATE");
  EXPECT_NE(std::find(stamps.begin(), stamps.end(), "2004/10/1 0:0:0"), stamps.end());

  ASSERT_EQ(store_->GetVOResourceUpdate(As(kAlice), U("09/28/2004 00:00:00"), result).code(), S_OK);
  modules = Texts(result, "MODULENAME");
  EXPECT_NE(std::find(modules.begin(), modules.end(), Tagged("mod-b")), modules.end());
  EXPECT_EQ(store_->GetVOResourceUpdate(As(kAlice), U("2004/9/30' OR '1'='1"), result).code(), QS_E_ARGUMENT_INVALID);
}

TEST_P(ResourceStoreTest, RelocationMovesTheRowBeforeTheFile) {
  const Bstr name = Name("doc.txt");
  Bstr result;
  ASSERT_EQ(store_->PutVOResource(As(kAlice), name, result).code(), S_OK);
  const std::string oldPath = ColumnOf(name, "VORESOURCEDIR");
  std::ofstream(oldPath) << "v1";

  // Without the write right nothing moves.
  EXPECT_EQ(store_->UpdateVOResourceURL(As(kBob), name, U("x.txt"), result).code(), QS_E_CONTENT_WRITE_RIGHT_REQUIRED);
  EXPECT_TRUE(fs::exists(oldPath));

  // Relocating to the same place keeps the file.
  ASSERT_EQ(store_->UpdateVOResourceURL(As(kAlice), name, kNone, result).code(), S_OK);
  EXPECT_EQ(ColumnOf(name, "VORESOURCEDIR"), oldPath);
  EXPECT_TRUE(fs::exists(oldPath)) << "the path did not change: nothing deleted";

  const std::string leaf = Tagged("moved") + "/doc.txt";
  ASSERT_EQ(store_->UpdateVOResourceURL(As(kAlice), name, U(leaf), result).code(), S_OK);
  EXPECT_EQ(Texts(result, "url"), std::vector<std::string>{std::string(kBase) + "/" + leaf});
  EXPECT_EQ(ColumnOf(name, "VORESOURCEDIR"), dir_ + "/" + leaf);
  EXPECT_FALSE(fs::exists(oldPath));
  EXPECT_FALSE(fs::exists(fs::path(oldPath).parent_path())) << "the emptied default folder goes";
  EXPECT_TRUE(fs::is_directory(dir_ + "/" + Tagged("moved")));

  // A row whose recorded path was planted outside never deletes there.
  SetColumn(name, "VORESOURCEDIR", outside_ + "/passwd");
  ASSERT_EQ(store_->UpdateVOResourceURL(As(kAlice), name, kNone, result).code(), S_OK);
  EXPECT_TRUE(fs::exists(outside_ + "/passwd"));

  EXPECT_EQ(store_->UpdateVOResourceURL(As(kAlice), Name("none"), kNone, result).code(), QS_E_ACL_NOT_FOUND);
}

TEST_P(ResourceStoreTest, HostileNamesAndLeavesTouchNothing) {
  const auto before = Tree(instance_.root());
  Bstr result;
  for (const char* name : {"../../etc/passwd", "/etc/passwd", "a/b", "..", "a\\b"}) {
    EXPECT_EQ(store_->PutVOResource(As(kAlice), U(name), result).code(), QS_E_NAME_INVALID) << name;
    EXPECT_EQ(store_
                  ->PutVOResourcewithAttribute(As(kAlice), U(name), U("m"), kNone, U("1"), kNone, kNone, kNone, kNone,
                                               kNone, result)
                  .code(),
              QS_E_NAME_INVALID)
        << name;
    EXPECT_EQ(ColumnOf(U(name), "NAME"), "(none)");
  }
  const Bstr name = Name("ok");
  for (const char* leaf : {"../../etc/passwd", "../outside/passwd", "/etc/passwd", "C:\\x"}) {
    EXPECT_EQ(store_
                  ->PutVOResourcewithAttribute(As(kAlice), name, U("m"), kNone, U("1"), kNone, kNone, kNone, U(leaf),
                                               kNone, result)
                  .code(),
              QS_E_ARGUMENT_INVALID)
        << leaf;
  }
  EXPECT_EQ(ColumnOf(name, "NAME"), "(none)");
  EXPECT_EQ(Tree(instance_.root()), before);

  ASSERT_EQ(store_->PutVOResource(As(kAlice), name, result).code(), S_OK);
  const std::string path = ColumnOf(name, "VORESOURCEDIR");
  EXPECT_EQ(store_->UpdateVOResourceURL(As(kAlice), name, U("../outside/passwd"), result).code(),
            QS_E_ARGUMENT_INVALID);
  EXPECT_EQ(ColumnOf(name, "VORESOURCEDIR"), path);
  EXPECT_TRUE(fs::exists(outside_ + "/passwd"));
}

TEST_P(ResourceStoreTest, UnsetSettingsAreRefusedBeforeAnything) {
  EXPECT_TRUE(instance_.ServiceKey().DeleteValue("ResourceDir").ok());
  CVODBConnectImpl unset(&db_);
  unset.Init().Ignore();
  const auto before = Tree(instance_.root());
  Bstr result;
  EXPECT_EQ(unset.PutVOResource(As(kAlice), Name("x"), result).code(), QS_E_RESOURCE_DIR_NOT_SET);
  EXPECT_EQ(ColumnOf(Name("x"), "NAME"), "(none)");
  EXPECT_EQ(Tree(instance_.root()), before);
}

TEST_P(ResourceStoreTest, AclsAreReadWrittenAndReset) {
  const Bstr name = Name("acl");
  Bstr result;
  ASSERT_EQ(store_->PutVOResource(As(kAlice), name, result).code(), S_OK);
  EXPECT_EQ(store_->GetResourceACL(As(kBob), name, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);
  ASSERT_EQ(store_->PutResourceACLEntry(As(kAlice), name, kBob, U("rar"), result).code(), S_OK);
  ASSERT_EQ(store_->GetResourceACLEntry(As(kBob), name, kBob, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "access"), std::vector<std::string>{"rar"});
  EXPECT_EQ(store_->PutResourceACLEntry(As(kBob), name, kBob, U("aw"), result).code(),
            QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED);
  ASSERT_EQ(store_->UpdateResourceACLEntry(As(kAlice), name, kBob, U("raraw"), result).code(), S_OK);
  ASSERT_EQ(store_->GetResourceACL(As(kBob), name, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "user").size(), 3u);
  ASSERT_EQ(store_->DeleteResourceACLEntry(As(kAlice), name, kBob, result).code(), S_OK);
  EXPECT_EQ(store_->GetResourceACLEntry(As(kBob), name, kBob, result).code(), QS_E_ACCESS_RIGHT_INSUFFICIENT);

  // Reset, not emptied: the caller's default document, owner first.
  ASSERT_EQ(store_->DeleteResourceACL(As(kAlice), name, result).code(), S_OK);
  const std::string acl = ColumnOf(name, "ACCESSLIST");
  EXPECT_NE(acl, "");
  ASSERT_EQ(store_->GetResourceACL(As(kAlice), name, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "user"), (std::vector<std::string>{"alice", "administrator"}));

  EXPECT_EQ(store_->PutResourceACL(As(kAlice), name, Bstr(std::u16string(4001, u'x')), result).code(),
            QS_E_ACL_TOO_LONG);
  const std::string document =
      "<VOACL><control><user>everyone</user><access>rwdarawad</access></"
      "control></VOACL>";
  ASSERT_EQ(store_->UpdateResourceACL(As(kAlice), name, U(document), result).code(), S_OK);
  EXPECT_EQ(ColumnOf(name, "ACCESSLIST"), document);
  EXPECT_EQ(store_->GetResourceACL(As(kAlice), Name("none"), result).code(), QS_E_URI_INVALID);
  EXPECT_TRUE(result.IsNull());
}

TEST_P(ResourceStoreTest, ForcedPutMovesAndWritesInOneTransaction) {
  const Bstr name = Name("forced");
  PutWith(name, Name("mod"), U("1"));
  const std::string oldPath = ColumnOf(name, "VORESOURCEDIR");
  std::ofstream(oldPath) << "v1";
  Bstr result;
  // bob may relocate (w) but not write attributes: nothing changes, old file stays.
  ASSERT_EQ(store_->PutResourceACLEntry(As(kAlice), name, kBob, U("rw"), result).code(), S_OK);
  EXPECT_EQ(store_
                ->ForcePutVOResourcewithAttribute(As(kBob), name, U("m2"), kNone, U("2"), kNone, kNone, kNone,
                                                  U(Tagged("f") + "/x"), kNone, result)
                .code(),
            QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED);
  EXPECT_EQ(ColumnOf(name, "VORESOURCEDIR"), oldPath);
  EXPECT_TRUE(fs::exists(oldPath));

  ASSERT_EQ(store_
                ->ForcePutVOResourcewithAttribute(As(kAlice), name, U("m2"), kNone, U("2"), kNone, kNone, kNone,
                                                  U(Tagged("f") + "/x"), U("q=2"), result)
                .code(),
            S_OK);
  EXPECT_EQ(ColumnOf(name, "MODULENAME"), "m2");
  EXPECT_EQ(ColumnOf(name, "CREATOR"), "") << "a missing attribute is cleared";
  EXPECT_EQ(ColumnOf(name, "PROPS"), "q=2");
  EXPECT_EQ(ColumnOf(name, "VORESOURCEDIR"), dir_ + "/" + Tagged("f") + "/x");
  EXPECT_FALSE(fs::exists(oldPath));

  ASSERT_EQ(store_->ForcePutVOResource(As(kAlice), name, result).code(), S_OK);
  EXPECT_EQ(Texts(result, "url"),
            std::vector<std::string>{std::string(kBase) + "/urn_voresource_" + name.ToUtf8() + "/" + name.ToUtf8()});
}

TEST_P(ResourceStoreTest, AFailedForcedPutChangesNothing) {
  // The database refuses the last write of the replay (its props).
  const std::string poison = Tagged("poison");
  if (IsSqlite()) {
    ASSERT_EQ(db_.ExecuteNonQuery("CREATE TRIGGER poison BEFORE UPDATE ON QUORVESKRES WHEN "
                                  "NEW.PROPS = '" +
                                  poison + "' BEGIN SELECT RAISE(ABORT, 'poisoned'); END")
                  .code(),
              0);
  } else {
    poisoned_ = true;
    ASSERT_EQ(db_.ExecuteNonQuery("CREATE OR REPLACE FUNCTION rpoison_" + tag_ +
                                  "() RETURNS trigger AS $$ BEGIN IF NEW.PROPS = '" + poison +
                                  "' THEN RAISE EXCEPTION 'poisoned'; END IF; RETURN "
                                  "NEW; END $$ LANGUAGE plpgsql")
                  .code(),
              0);
    ASSERT_EQ(db_.ExecuteNonQuery("CREATE TRIGGER rpoison_" + tag_ +
                                  " BEFORE UPDATE ON QUORVESKRES FOR EACH ROW "
                                  "EXECUTE FUNCTION rpoison_" +
                                  tag_ + "()")
                  .code(),
              0);
  }
  const Bstr name = Name("precious");
  PutWith(name, Name("mod"), U("1"));
  const std::string oldPath = ColumnOf(name, "VORESOURCEDIR");
  std::ofstream(oldPath) << "v1";
  Bstr result;
  EXPECT_LT(store_
                ->ForcePutVOResourcewithAttribute(As(kAlice), name, U("m2"), U("c2"), U("2"), U("t"), U("i"), U("d"),
                                                  U(Tagged("g") + "/x"), U(poison), result)
                .code(),
            0);
  EXPECT_EQ(ColumnOf(name, "VORESOURCEDIR"), oldPath) << "the relocation was rolled back";
  EXPECT_EQ(ColumnOf(name, "MODULENAME"), Tagged("mod"));
  EXPECT_EQ(ColumnOf(name, "VERSION"), "1");
  EXPECT_TRUE(fs::exists(oldPath)) << "the old file stays while the row names it";
  EXPECT_FALSE(fs::exists(dir_ + "/" + Tagged("g"))) << "the folder made for the move goes again";
  // The connection is usable afterwards, outside any transaction.
  ASSERT_EQ(store_->UpdateVOResourceProps(As(kAlice), name, U("later"), result).code(), S_OK);
  EXPECT_EQ(ColumnOf(name, "PROPS"), "later");
}

QUOR_INSTANTIATE_ENGINES(ResourceStoreTest);
