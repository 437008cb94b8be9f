// The site configuration file: reading, writing, locking and following it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/webconfig/webconfig.h"
#include "testing/TempDir.h"

using namespace quor::webconfig;
using quor::Result;
using quor::Status;
namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

using TempFolder = quor::test::TempDir;

SiteConfig Sample() {
  SiteConfig c;
  Site& s = c.Ensure("web01", 3);
  s.scriptMaps = {".asp,/bin/asp,1,GET,HEAD", ".sod,/opt/listener,5,POST"};
  VirtualDirectory vd{"QuorService", "/srv/quor/IIS", {}, {}};
  vd.files.push_back({"QuorServiceCore.xml", "guest & <co>", true, false});
  vd.directories.push_back({"resource", true});
  vd.directories.push_back({"resource/locked", false});
  s.virtualDirectories.push_back(vd);
  s.unloadCount = 7;
  return c;
}

}  // namespace

TEST(ScriptMapTest, EntriesReadApartAndVerbsChecked) {
  auto wsdl = ScriptMap::Parse(".wsdl,C:\\soap\\listener.dll,5,GET, POST, HEAD");
  ASSERT_TRUE(wsdl);
  EXPECT_EQ(wsdl->extension, ".wsdl");
  EXPECT_EQ(wsdl->executable, "C:\\soap\\listener.dll");
  EXPECT_EQ(wsdl->flags, 5u);
  EXPECT_EQ(wsdl->verbs, (std::vector<std::string>{"GET", "POST", "HEAD"}));
  EXPECT_TRUE(wsdl->Allows("HEAD"));
  EXPECT_FALSE(wsdl->Allows("PUT"));
  EXPECT_FALSE(wsdl->Allows("get"));  // methods are case-sensitive
  EXPECT_TRUE(wsdl->RequiresFile());
  EXPECT_EQ(wsdl->AllowHeader(), "GET, POST, HEAD");

  auto any = ScriptMap::Parse(".cgi,/x,1");
  ASSERT_TRUE(any);
  EXPECT_TRUE(any->verbs.empty());
  EXPECT_TRUE(any->Allows("DELETE"));
  EXPECT_FALSE(any->RequiresFile());

  EXPECT_FALSE(ScriptMap::Parse(".sod,/x"));
  EXPECT_FALSE(ScriptMap::Parse(".sod,/x,five,POST"));
  EXPECT_FALSE(ScriptMap::Parse(",/x,5,POST"));
  EXPECT_FALSE(ScriptMap::Parse(""));
}

TEST(SiteTest, LookupsCompareWithoutCaseAndByExtensionField) {
  SiteConfig c = Sample();
  ASSERT_NE(c.Find("WEB01", 3), nullptr);
  EXPECT_EQ(c.Find("web01", 1), nullptr);
  EXPECT_EQ(c.Find("web02", 3), nullptr);
  Site& s = *c.Find("web01", 3);
  EXPECT_TRUE(s.FindScriptMap(".SOD"));
  EXPECT_EQ(s.FindScriptMap(".sod")->executable, "/opt/listener");
  // ".asp" is in the list but ".as" is not: the field, not a substring, counts.
  EXPECT_FALSE(s.FindScriptMap(".as"));
  EXPECT_FALSE(s.FindScriptMap("sod"));

  ASSERT_NE(s.FindVirtualDirectory("quorservice"), nullptr);
  VirtualDirectory& vd = *s.FindVirtualDirectory("QUORSERVICE");
  EXPECT_NE(vd.FindFile("quorservicecore.XML"), nullptr);
  // Folder settings: the nearest one decides, none means read-only.
  EXPECT_FALSE(vd.Writable(""));
  EXPECT_TRUE(vd.Writable("resource"));
  EXPECT_TRUE(vd.Writable("Resource/deep/er"));
  EXPECT_FALSE(vd.Writable("resource/locked"));
  EXPECT_FALSE(vd.Writable("resource/locked/below"));
  EXPECT_FALSE(vd.Writable("other"));
  EXPECT_FALSE(vd.Writable("resourcex"));

  EXPECT_TRUE(s.RemoveVirtualDirectory("quorService"));
  EXPECT_FALSE(s.RemoveVirtualDirectory("QuorService"));
}

TEST(SiteTest, SitePathsReadApart) {
  std::string host;
  uint32_t n = 0;
  EXPECT_TRUE(ParseSitePath("IIS://localhost/W3SVC/1/ROOT", host, n));
  EXPECT_EQ(host, "localhost");
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(ParseSitePath("iis://Web01/w3svc/12/root", host, n));
  EXPECT_EQ(host, "Web01");
  EXPECT_EQ(n, 12u);
  for (const char* bad : {"IIS://localhost/W3SVC/0/ROOT", "IIS://localhost/W3SVC/x/ROOT", "IIS:///W3SVC/1/ROOT",
                          "IIS://h/W3SVC/1", "IIS://h/W3SVC/1/ROOT/QuorService", "http://h/W3SVC/1/ROOT",
                          "IIS://h/W3SVC/-1/ROOT", "IIS://h/W3SVC/99999999999/ROOT"})
    EXPECT_FALSE(ParseSitePath(bad, host, n)) << bad;
}

TEST(SiteConfigTest, SerializeParseRoundTripsAndKeepsNoPassword) {
  const SiteConfig c = Sample();
  const std::string text = c.Serialize();
  EXPECT_TRUE(text.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?><sites>")) << text;
  EXPECT_NE(text.find("anonymousPasswordGiven=\"true\""), std::string::npos);
  EXPECT_EQ(text.find("Pass=\""), std::string::npos);

  Result<SiteConfig> parsed = SiteConfig::Parse(text);
  ASSERT_TRUE(parsed.ok()) << parsed.status().message();
  const SiteConfig& back = *parsed;
  ASSERT_EQ(back.sites.size(), 1u);
  const Site& s = back.sites[0];
  EXPECT_EQ(s.host, "web01");
  EXPECT_EQ(s.number, 3u);
  EXPECT_EQ(s.unloadCount, 7u);
  EXPECT_EQ(s.scriptMaps, c.sites[0].scriptMaps);
  ASSERT_EQ(s.virtualDirectories.size(), 1u);
  const VirtualDirectory& vd = s.virtualDirectories[0];
  EXPECT_EQ(vd.path, "/srv/quor/IIS");
  ASSERT_EQ(vd.files.size(), 1u);
  EXPECT_EQ(vd.files[0].anonymousUserName, "guest & <co>");
  EXPECT_TRUE(vd.files[0].anonymousPasswordGiven);
  EXPECT_FALSE(vd.files[0].anonymousPasswordSync);
  ASSERT_EQ(vd.directories.size(), 2u);
  EXPECT_TRUE(vd.directories[0].accessWrite);
  // The same configuration always writes the same bytes.
  EXPECT_EQ(back.Serialize(), text);
}

TEST(SiteConfigTest, DamagedOrForeignFilesAreRefused) {
  const char* bad[] = {
      "",
      "<sites>",
      "<config/>",
      "<sites><site host=\"h\"/></sites>",
      "<sites><site host=\"h\" number=\"x\"/></sites>",
      "<sites><site host=\"h\" number=\"0\"/></sites>",
      "<sites><site host=\"h\" number=\"1\" unload=\"-1\"/></sites>",
      "<sites><site host=\"h\" number=\"1\"/><site host=\"H\" number=\"1\"/></sites>",
      "<sites><site host=\"h\" number=\"1\" colour=\"red\"/></sites>",
      "<sites><site host=\"h\" number=\"1\"><other/></site></sites>",
      "<sites><site host=\"h\" number=\"1\">text</site></sites>",
      "<sites><site host=\"h\" number=\"1\"><virtualDirectory name=\"a/b\" path=\"/x\"/></site></sites>",
      "<sites><site host=\"h\" number=\"1\"><virtualDirectory name=\"v\"/></site></sites>",
      "<sites><site host=\"h\" number=\"1\"><virtualDirectory name=\"v\" path=\"/x\"/>"
      "<virtualDirectory name=\"V\" path=\"/y\"/></site></sites>",
      "<sites><site host=\"h\" number=\"1\"><virtualDirectory name=\"v\" path=\"/x\">"
      "<directory name=\"../up\" accessWrite=\"true\"/></virtualDirectory></site></sites>",
      "<sites><site host=\"h\" number=\"1\"><virtualDirectory name=\"v\" path=\"/x\">"
      "<directory name=\"r\" accessWrite=\"yes\"/></virtualDirectory></site></sites>",
      "<sites><site host=\"h\" number=\"1\"><virtualDirectory name=\"v\" path=\"/x\">"
      "<file name=\"f\" anonymousUserPass=\"secret\"/></virtualDirectory></site></sites>",
  };
  for (const char* text : bad) {
    const Status status = SiteConfig::Parse(text).status();
    EXPECT_EQ(status.code(), kMalformed) << text;
    EXPECT_FALSE(status.message().empty()) << text;
  }
  Result<SiteConfig> c = SiteConfig::Parse("<sites>\n  <!-- none yet -->\n</sites>");
  ASSERT_TRUE(c.ok()) << c.status().message();
  EXPECT_TRUE(c->sites.empty());
}

TEST(SiteConfigFileTest, UpdateWritesAtomicallyOnlyWhenChanged) {
  TempFolder dir;
  const fs::path file = dir.Path() / "sites.xml";
  // A missing file reads as empty.
  Result<SiteConfig> loaded = Load(file);
  ASSERT_TRUE(loaded.ok()) << loaded.status().message();
  EXPECT_TRUE(loaded->sites.empty());

  Status status = Update(file, [](SiteConfig& c) { c = Sample(); return true; });
  ASSERT_TRUE(status.ok()) << status.message();
  const std::string first = ReadAll(file);
  EXPECT_EQ(first, Sample().Serialize());
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);

  // No change, no write: the same file (inode) stays.
  ASSERT_TRUE(Update(file, [](SiteConfig& c) { c.Ensure("WEB01", 3); return true; }).ok());
  struct stat after {};
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  // An abandoned edit writes nothing.
  ASSERT_TRUE(Update(file, [](SiteConfig& c) { c.sites.clear(); return false; }).ok());
  EXPECT_EQ(ReadAll(file), first);

  // An edit the file cannot hold is refused and changes nothing.
  EXPECT_EQ(Update(file, [](SiteConfig& c) { c.Ensure("web01", 3).virtualDirectories.push_back({"../x", "/y", {}, {}}); return true; }).code(),
            kInvalid);
  EXPECT_EQ(ReadAll(file), first);

  // No temporary files are left behind.
  for (const auto& e : fs::directory_iterator(dir.Path()))
    EXPECT_TRUE(e.path().filename() == "sites.xml" || e.path().filename() == "sites.xml.lock") << e.path();
}

TEST(SiteConfigFileTest, UnparsableFileIsNeverOverwritten) {
  TempFolder dir;
  const fs::path file = dir.Path() / "sites.xml";
  const std::string damaged = "<sites><site host=\"h\" number=\"1\"><virtualDirectory";
  std::ofstream(file, std::ios::binary) << damaged;
  bool called = false;
  const Status status = Update(file, [&](SiteConfig& c) { called = true; c = Sample(); return true; });
  EXPECT_EQ(status.code(), kMalformed);
  EXPECT_FALSE(called);
  EXPECT_NE(status.message().find("sites.xml"), std::string::npos) << status.message();
  EXPECT_EQ(ReadAll(file), damaged);
  EXPECT_EQ(Load(file).status().code(), kMalformed);
}

TEST(SiteConfigFileTest, ConcurrentUpdatesLoseNothing) {
  TempFolder dir;
  const fs::path file = dir.Path() / "sites.xml";
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&file] {
      for (int i = 0; i < 25; ++i) {
        const Status status = Update(file, [](SiteConfig& c) { ++c.Ensure("localhost", 1).unloadCount; return true; });
        EXPECT_TRUE(status.ok()) << status.message();
      }
    });
  }
  for (auto& t : threads) t.join();
  Result<SiteConfig> c = Load(file);
  ASSERT_TRUE(c.ok()) << c.status().message();
  ASSERT_NE(c->Find("localhost", 1), nullptr);
  EXPECT_EQ(c->Find("localhost", 1)->unloadCount, 100u);
}

TEST(SiteConfigFileTest, DefaultPathFollowsTheEnvironment) {
  const char* oldSite = std::getenv("QUOR_SITE_CONFIG");
  const char* oldReg = std::getenv("QUOR_REGISTRY");
  const std::string keepSite = oldSite ? oldSite : "", keepReg = oldReg ? oldReg : "";
  ::setenv("QUOR_SITE_CONFIG", "/a/b/mine.xml", 1);
  ::setenv("QUOR_REGISTRY", "/r/registry.reg", 1);
  EXPECT_EQ(DefaultPath(), fs::path("/a/b/mine.xml"));
  ::unsetenv("QUOR_SITE_CONFIG");
  EXPECT_EQ(DefaultPath(), fs::path("/r/sites.xml"));
  ::unsetenv("QUOR_REGISTRY");
  EXPECT_EQ(DefaultPath(), fs::path("/etc/quor/sites.xml"));
  if (oldSite) ::setenv("QUOR_SITE_CONFIG", keepSite.c_str(), 1);
  if (oldReg) ::setenv("QUOR_REGISTRY", keepReg.c_str(), 1);
}

TEST(WatcherTest, FollowsChangesAndKeepsTheLastGoodConfiguration) {
  TempFolder dir;
  const fs::path file = dir.Path() / "sites.xml";
  Watcher w(file);
  Status error;
  auto c = w.Current(&error);
  EXPECT_TRUE(c->sites.empty());
  EXPECT_TRUE(error.ok());

  ASSERT_TRUE(Update(file, [](SiteConfig& s) { s = Sample(); return true; }).ok());
  c = w.Current(&error);
  ASSERT_NE(c->Find("web01", 3), nullptr);
  EXPECT_EQ(w.Current().get(), c.get());  // unchanged file: the same snapshot

  // A damaged file: reported once, the last good configuration stays.
  {
    std::ofstream out(dir.Path() / "tmp", std::ios::binary);
    out << "<sites><oops";
  }
  fs::rename(dir.Path() / "tmp", file);
  auto kept = w.Current(&error);
  EXPECT_FALSE(error.message().empty());
  EXPECT_EQ(kept.get(), c.get());
  w.Current(&error);
  EXPECT_TRUE(error.ok());

  // Repaired: followed again; removed: empty.
  ASSERT_EQ(Update(file, [](SiteConfig& s) { s.Ensure("other", 1); return true; }).code(), kMalformed);
  fs::remove(file);
  ASSERT_TRUE(Update(file, [](SiteConfig& s) { s.Ensure("other", 1); return true; }).ok());
  c = w.Current(&error);
  EXPECT_TRUE(error.ok());
  EXPECT_NE(c->Find("other", 1), nullptr);
  EXPECT_EQ(c->Find("web01", 3), nullptr);
  fs::remove(file);
  EXPECT_TRUE(w.Current()->sites.empty());
}
