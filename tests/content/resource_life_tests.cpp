// A resource's life over quor-server on SQLite and PostgreSQL: put with its
// attributes, its folder made below ResourceDir and the file fetched at its
// URL, attributes and props changed, relocated, listed, found by the update
// check, its ACL read, changed and reset, removed; and hostile names and
// leaves refused with nothing outside ResourceDir touched.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "testing/ServerInstance.h"
#include "platform/soap/http_client.h"
#include "testing/TempDir.h"

namespace quor::admin::testing {
namespace {

using namespace collab;
namespace fs = std::filesystem;

constexpr HRESULT kNameInvalid = static_cast<HRESULT>(0x81000082);
constexpr HRESULT kArgumentInvalid = static_cast<HRESULT>(0x81000087);
constexpr HRESULT kWriteRightRequired = static_cast<HRESULT>(0x81000007);
constexpr HRESULT kDeleteRightRequired = static_cast<HRESULT>(0x8100004C);
// The path the server publishes ResourceDir under; the host part of the
// recorded URLs is replaced by the test server's own.
constexpr std::string_view kResourcePath = "/QuorService/resource";
constexpr std::string_view kResourceHost = "http://127.0.0.1";

// Texts of the elements named `name` anywhere in `answer`, in order.
std::vector<std::string> Texts(std::string_view answer, std::string_view name) {
  std::vector<std::string> texts;
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(answer)) {
    ADD_FAILURE() << "not XML: " << answer;
    return texts;
  }
  std::vector<xml::NodePtr> pending{doc->documentElement()};
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

std::vector<std::string> Tree(const fs::path& root) {
  std::vector<std::string> entries;
  for (const auto& e : fs::recursive_directory_iterator(root)) entries.push_back(e.path().string());
  std::sort(entries.begin(), entries.end());
  return entries;
}

class ResourceLife : public CollabRoad {
 protected:
  void StartWithResources() {
    root_ = temp_.emplace("quor-e2e-res").Path();
    dir_ = root_ / "resource";
    outside_ = root_ / "outside";
    fs::create_directories(dir_);
    fs::create_directories(outside_ / "etc");
    std::ofstream(outside_ / "etc" / "passwd") << "root:x:0:0";
    InstanceOptions options;
    options.resourceUrl = std::string(kResourceHost) + std::string(kResourcePath);
    options.resourceDir = dir_.string();
    StartCollab(options);
  }
  void TearDown() override {
    if (instance_ && instance_->IsPostgres() && !alice_.empty()) {
      core::CSqlServerDBConnect db;
      if (db.Open("MSDASQL.1", com::Bstr(u""), com::Bstr(u""), com::Bstr(u""), com::Bstr(u""),
                  com::Bstr::FromUtf8(instance_->Odbc())).code() == 0) {
        const com::Variant like[] = {com::Variant(com::Bstr::FromUtf8("%" + alice_ + "%"))};
        db.ExecuteNonQuery("DELETE FROM QUORVESKRES WHERE NAME LIKE ? OR MODULENAME LIKE ?",
                           std::vector<com::Variant>{like[0], like[0]}).Ignore();
      }
    }
    CollabRoad::TearDown();
    temp_.reset();
  }
  // The test server's address of a recorded URL.
  std::string Served(const std::string& url) const {
    EXPECT_TRUE(url.starts_with(std::string(kResourceHost) + std::string(kResourcePath))) << url;
    return instance_->Url(url.substr(kResourceHost.size()));
  }
  soap::HttpReply Fetch(const std::string& url) {
    soap::HttpClient http;
    Result<soap::HttpReply> reply = http.Get(Served(url));
    EXPECT_EQ(reply.status().code(), S_OK);
    return reply.ok() ? std::move(*reply) : soap::HttpReply{};
  }
  // The one url of an answer.
  static std::string UrlOf(const CallOutcome& answer) {
    const auto urls = Texts(answer.decoded, "url");
    EXPECT_EQ(urls.size(), 1u) << answer.decoded;
    return urls.empty() ? std::string() : urls.front();
  }

  std::optional<quor::test::TempDir> temp_;
  fs::path root_, dir_, outside_;
};

TEST_P(ResourceLife, PutServeUpdateRelocateListAndRemove) {
  StartWithResources();
  if (HasFatalFailure() || IsSkipped()) return;
  const std::string name = alice_ + "-tool.bin", module = alice_ + "-mod";

  CallOutcome put = Call(*alice, "PutVOResourcewithAttribute",
                         {{"name", name},
                          {"modulename", module},
                          {"creator", "carol"},
                          {"version", "1.0"},
                          {"type", "exe"},
                          {"id", "T1"},
                          {"description", "a <tool> & co"},
                          {"urlleaf", ""},
                          {"props", "p=1"}});
  ASSERT_TRUE(put.ok) << put.fault;
  const std::string url = UrlOf(put);
  EXPECT_EQ(url, std::string(kResourceHost) + std::string(kResourcePath) + "/urn_voresource_" + name + "/" + name);
  const fs::path folder = dir_ / ("urn_voresource_" + name);
  ASSERT_TRUE(fs::is_directory(folder)) << "the default folder is made below ResourceDir";

  // The file put at that location is served at the URL.
  std::ofstream(folder / name, std::ios::binary) << "version one";
  soap::HttpReply reply = Fetch(url);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "version one");

  CallOutcome got = Call(*alice, "GetVOResourceURL", {{"name", name}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(UrlOf(got), url);
  EXPECT_EQ(Call(*bob, "GetVOResourceURL", {{"name", name}}).status, kReadRightRequired);
  got = Call(*alice, "GetVOResourceURI", {{"name", name}});
  EXPECT_EQ(got.decoded, "<root><VORESOURCEURI>urn:voresource:" + XmlText(name) + "</VORESOURCEURI></root>");

  // Attributes and props.
  ASSERT_TRUE(Call(*alice, "UpdateVOResourceAttribute",
                   {{"name", name},
                    {"modulename", ""},
                    {"creator", "dave"},
                    {"version", "2.0"},
                    {"type", ""},
                    {"id", ""},
                    {"description", ""}})
                  .ok);
  ASSERT_TRUE(Call(*alice, "RemoveVOResourceAttribute",
                   {{"name", name},
                    {"modulename", "false"},
                    {"creator", "false"},
                    {"version", "false"},
                    {"type", "TRUE"},
                    {"id", "false"},
                    {"description", "false"}})
                  .ok);
  ASSERT_TRUE(Call(*alice, "UpdateVOResourceProps", {{"name", name}, {"props", "p=2 & <q>"}}).ok);
  got = Call(*alice, "GetVOResourceAttribute", {{"name", name}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(Texts(got.decoded, "creator"), std::vector<std::string>{"dave"});
  EXPECT_EQ(Texts(got.decoded, "version"), std::vector<std::string>{"2.0"});
  EXPECT_EQ(Texts(got.decoded, "type"), std::vector<std::string>{""});
  EXPECT_EQ(Texts(got.decoded, "description"), std::vector<std::string>{"a <tool> & co"});
  EXPECT_EQ(Texts(got.decoded, "props"), std::vector<std::string>{"p=2 & <q>"});

  // Module lists.
  got = Call(*alice, "GetVOResourceAttributeList", {{"modulename", module}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(Texts(got.decoded, "name"), std::vector<std::string>{name});
  got = Call(*alice, "GetVOResourceModuleNameList");
  ASSERT_TRUE(got.ok) << got.fault;
  const auto modules = Texts(got.decoded, "modulename");
  EXPECT_EQ(std::count(modules.begin(), modules.end(), module), 1);
  got = Call(*alice, "GetAllVOResourceAttributeList");
  ASSERT_TRUE(got.ok) << got.fault;
  const auto names = Texts(got.decoded, "name");
  EXPECT_EQ(std::count(names.begin(), names.end(), name), 1);

  // The update check by date: a change stamped 2004/10/1 is newer than 2004/9/30.
  {
    core::CSqlServerDBConnect db;
    ASSERT_EQ(db.Open("MSDASQL.1", com::Bstr(u""), com::Bstr(u""), com::Bstr(u""), com::Bstr(u""),
                      com::Bstr::FromUtf8(instance_->Odbc())).code(),
              0);
    const com::Variant params[] = {com::Variant(com::Bstr(u"2004/10/1 0:0:0")),
                                   com::Variant(com::Bstr::FromUtf8(name))};
    ASSERT_EQ(db.ExecuteNonQuery("UPDATE QUORVESKRES SET UPDATEDATE = ? WHERE NAME = ?", params).code(), 0);
  }
  got = Call(*alice, "GetVOResourceUpdate", {{"lastupdate", "2004/9/30"}});
  ASSERT_TRUE(got.ok) << got.fault;
  auto updated = Texts(got.decoded, "MODULENAME");
  EXPECT_EQ(std::count(updated.begin(), updated.end(), module), 1) << got.decoded;
  got = Call(*alice, "GetVOResourceUpdate", {{"lastupdate", "2004/10/2"}});
  ASSERT_TRUE(got.ok) << got.fault;
  updated = Texts(got.decoded, "MODULENAME");
  EXPECT_EQ(std::count(updated.begin(), updated.end(), module), 0) << got.decoded;

  // Relocation: bob may not; alice moves it to a leaf of her own.
  EXPECT_EQ(Call(*bob, "UpdateVOResourceURL", {{"name", name}, {"urlleaf", "x/y.bin"}}).status, kWriteRightRequired);
  const std::string leaf = alice_ + "/v2/tool.bin";
  CallOutcome moved = Call(*alice, "UpdateVOResourceURL", {{"name", name}, {"urlleaf", leaf}});
  ASSERT_TRUE(moved.ok) << moved.fault;
  const std::string newUrl = UrlOf(moved);
  EXPECT_EQ(newUrl, std::string(kResourceHost) + std::string(kResourcePath) + "/" + leaf);
  EXPECT_FALSE(fs::exists(folder / name)) << "the old file goes once the row has moved";
  ASSERT_TRUE(fs::is_directory(dir_ / alice_ / "v2")) << "the new location is made";
  std::ofstream(dir_ / leaf, std::ios::binary) << "version two";
  reply = Fetch(newUrl);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "version two");
  got = Call(*alice, "GetVOResourceURL", {{"name", name}});
  EXPECT_EQ(UrlOf(got), newUrl);

  // Removal: the rows go, the file stays where it was served.
  EXPECT_EQ(Call(*bob, "RemoveVOResource", {{"name", name}}).status, kDeleteRightRequired);
  ASSERT_TRUE(Call(*alice, "RemoveVOResource", {{"name", name}}).ok);
  got = Call(*alice, "GetVOResourceURI", {{"name", name}});
  EXPECT_EQ(got.decoded, "<root/>");
  EXPECT_EQ(Call(*alice, "GetVOResourceURL", {{"name", name}}).status, kNoAcl);
}

TEST_P(ResourceLife, AclsArePutReadUpdatedDeletedAndReset) {
  StartWithResources();
  if (HasFatalFailure() || IsSkipped()) return;
  const std::string name = alice_ + "-acl";
  CallOutcome put = Call(*alice, "PutVOResource", {{"name", name}});
  ASSERT_TRUE(put.ok) << put.fault;
  EXPECT_TRUE(put.decoded.starts_with("<root><resultCode>0</resultCode><url>")) << put.decoded;

  CallOutcome got = Call(*alice, "GetResourceACL", {{"name", name}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, "<root>" + DefaultAcl(alice_) + "</root>");
  EXPECT_EQ(Call(*bob, "GetResourceACL", {{"name", name}}).status, kAccessDenied);

  ASSERT_TRUE(Call(*alice, "PutResourceACLEntry", {{"name", name}, {"acluser", bob_}, {"accright", "rar"}}).ok);
  got = Call(*bob, "GetResourceACLEntry", {{"name", name}, {"acluser", bob_}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, "<control><user>" + XmlText(bob_) + "</user><access>rar</access></control>");
  EXPECT_EQ(Call(*alice, "PutResourceACLEntry", {{"name", name}, {"acluser", bob_}, {"accright", "r"}}).status,
            kUserInAcl);
  ASSERT_TRUE(Call(*alice, "UpdateResourceACLEntry", {{"name", name}, {"acluser", bob_}, {"accright", "rwaraw"}}).ok);
  // bob may now relocate it to the default place.
  EXPECT_TRUE(Call(*bob, "UpdateVOResourceURL", {{"name", name}, {"urlleaf", ""}}).ok);
  ASSERT_TRUE(Call(*alice, "DeleteResourceACLEntry", {{"name", name}, {"acluser", bob_}}).ok);
  EXPECT_EQ(Call(*bob, "GetResourceACL", {{"name", name}}).status, kAccessDenied);

  const std::string everyone = "<VOACL><control><user>" + XmlText(alice_) +
                               "</user><access>rwdarawad</access></control>"
                               "<control><user>everyone</user><access>rar</access></control></VOACL>";
  ASSERT_TRUE(Call(*alice, "UpdateResourceACL", {{"name", name}, {"acl", everyone}}).ok);
  got = Call(*bob, "GetResourceACL", {{"name", name}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, "<root>" + everyone + "</root>");

  // Deleting resets to the caller's default document: nobody is locked out.
  ASSERT_TRUE(Call(*alice, "DeleteResourceACL", {{"name", name}}).ok);
  got = Call(*alice, "GetResourceACL", {{"name", name}});
  ASSERT_TRUE(got.ok) << got.fault;
  EXPECT_EQ(got.decoded, "<root>" + DefaultAcl(alice_) + "</root>");
  EXPECT_EQ(Call(*bob, "GetResourceACL", {{"name", name}}).status, kAccessDenied);
  EXPECT_EQ(Call(*alice, "GetResourceACL", {{"name", alice_ + "-none"}}).status, kUriInvalid);
}

TEST_P(ResourceLife, HostileNamesAndLeavesTouchNothingOutside) {
  StartWithResources();
  if (HasFatalFailure() || IsSkipped()) return;
  const auto before = Tree(root_);
  const std::string passwd = (outside_ / "etc" / "passwd").string();
  for (const std::string& name : {std::string("../../etc/passwd"), passwd, alice_ + "/x", std::string("..")}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Call(*alice, "PutVOResource", {{"name", name}}).status, kNameInvalid);
    EXPECT_EQ(Call(*alice, "PutVOResourcewithAttribute",
                   {{"name", name},
                    {"modulename", "m"},
                    {"creator", ""},
                    {"version", "1"},
                    {"type", ""},
                    {"id", ""},
                    {"description", ""},
                    {"urlleaf", ""},
                    {"props", ""}})
                  .status,
              kNameInvalid);
  }
  const std::string name = alice_ + "-ok";
  for (const std::string& leaf : {std::string("../../etc/passwd"), std::string("../outside/etc/passwd"), passwd}) {
    SCOPED_TRACE(leaf);
    EXPECT_EQ(Call(*alice, "PutVOResourcewithAttribute",
                   {{"name", name},
                    {"modulename", "m"},
                    {"creator", ""},
                    {"version", "1"},
                    {"type", ""},
                    {"id", ""},
                    {"description", ""},
                    {"urlleaf", leaf},
                    {"props", ""}})
                  .status,
              kArgumentInvalid);
  }
  EXPECT_EQ(Tree(root_), before) << "nothing made, nothing removed";
  EXPECT_EQ(Call(*alice, "GetVOResourceURI", {{"name", name}}).decoded, "<root/>");

  // Markup and quotes in a name are data: the answered URL is escaped XML.
  const std::string odd = alice_ + "-it's <a&b>";
  CallOutcome put = Call(*alice, "PutVOResource", {{"name", odd}});
  ASSERT_TRUE(put.ok) << put.fault;
  EXPECT_NE(put.decoded.find("&lt;a&amp;b&gt;"), std::string::npos) << put.decoded;
  EXPECT_EQ(UrlOf(put), std::string(kResourceHost) + std::string(kResourcePath) + "/urn_voresource_" + odd + "/" + odd);
  EXPECT_TRUE(fs::is_directory(dir_ / ("urn_voresource_" + odd)));

  // An existing resource cannot be moved out either, and its file stays.
  ASSERT_TRUE(Call(*alice, "PutVOResource", {{"name", name}}).ok);
  const fs::path file = dir_ / ("urn_voresource_" + name) / name;
  std::ofstream(file) << "data";
  for (const std::string& leaf : {std::string("../../etc/passwd"), std::string("../outside/etc/passwd"), passwd}) {
    SCOPED_TRACE(leaf);
    EXPECT_EQ(Call(*alice, "UpdateVOResourceURL", {{"name", name}, {"urlleaf", leaf}}).status, kArgumentInvalid);
  }
  EXPECT_TRUE(fs::exists(file));
  EXPECT_TRUE(fs::exists(passwd));
  // The server serves nothing outside its folder either.
  soap::HttpClient http;
  const Result<soap::HttpReply> reply = http.Get(instance_->Url(std::string(kResourcePath) + "/../../etc/passwd"));
  ASSERT_EQ(reply.status().code(), S_OK);
  EXPECT_NE(reply->body, "root:x:0:0");
}

INSTANTIATE_TEST_SUITE_P(Engines, ResourceLife, ::testing::Values(Database::Sqlite, Database::Postgres), EngineName);

}  // namespace
}  // namespace quor::admin::testing
