// quor-server serving by the site configuration, prepared and taken off by
// the real SiteSetup while the server runs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <fstream>
#include <map>

#include "platform/base/unique_fd.h"
#include "platform/soap/envelope.h"
#include "platform/soap/http_client.h"
#include "testing/RawHttp.h"
#include "testing/ServerProcess.h"

using namespace quor;
using namespace quor::soap;
using namespace quor::soap::testing;
using namespace std::chrono_literals;
using com::Bstr;

namespace {

const fs::path kBin = QUOR_BIN_DIR;
const fs::path kLib = QUOR_LIB_DIR;

using HttpAnswer = quor::test::RawAnswer;
HttpAnswer Send(int port, std::string_view method, std::string_view path, std::string_view body = {}) {
  return quor::test::RawRequest(port, method, path, body, std::chrono::seconds(10));
}

// Runs SiteSetup in `folder` with the server's registry (so its sites.xml).
RunResult SiteSetup(const ServerProcess& server, const fs::path& folder, const std::vector<std::string>& args) {
  RunResult r;
  std::vector<std::string> owned = {(kBin / "SiteSetup").string()};
  owned.insert(owned.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = Environment({"QUOR_REGISTRY=" + (server.Dir() / "registry.reg").string()});
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const fs::path err = folder / "setup.err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, owned[0].c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return r;
  r.status = WaitFor(pid, 30s);
  r.output = ReadFile(err);
  return r;
}

std::string Call(int port, std::string_view path, std::string_view method, std::vector<NamedValue> params,
                 int& status) {
  const HttpAnswer a = Send(port, "POST", path, WriteRequest(method, params));
  status = a.status;
  return a.body;
}

std::string FirstOutput(const std::string& raw) {
  const Result<Answer> answer = ParseAnswer(raw);
  if (!answer.ok()) return "<unreadable: " + answer.status().message() + ">";
  if (answer->isFault) return "<fault: " + answer->fault.description + ">";
  return answer->outputs.empty() ? "<none>" : answer->outputs[0].value.ToUtf8();
}

}  // namespace

TEST(SiteServerTest, SetUpAndRemovalTakeEffectWithoutARestart) {
  TempDir install;
  const fs::path iis = install.Path() / "IIS";
  fs::create_directories(iis / "resource");
  fs::create_directories(iis / "notes");
  std::ofstream(iis / "hello.txt") << "hello";
  std::ofstream(install.Path() / "secret.txt") << "SECRET";
  fs::create_symlink(install.Path() / "secret.txt", iis / "link.txt");
  fs::create_directory_symlink(install.Path(), iis / "resource" / "up");

  // The core endpoint's path is given the test component; the administration
  // file name takes the administration class, which is not registered.
  ServerProcess server({kBin, kLib, {"libquor_soap_test_plugin.so"},
                        {"--site", "1", "--endpoint", "/QuorService/QuorServiceCore.sod=QuorSoapTest.Shapes"}});
  ASSERT_EQ(server.Error(), "");
  const int port = server.Port();
  const std::string core = "/QuorService/QuorServiceCore.sod";
  int status = 0;

  // No site yet: nothing is served.
  Call(port, core, "Stamp", {{"user", Bstr(u"tok")}}, status);
  EXPECT_EQ(status, 404);
  EXPECT_EQ(Send(port, "GET", "/QuorService/hello.txt").status, 404);

  RunResult setup = SiteSetup(server, install.Path(), {"localhost", "1", "/opt/quor/listener", "svc", "pw"});
  ASSERT_EQ(setup.status, 0) << setup.output;

  // Both maps want their file to exist: until it does, there is nothing
  // there, whatever the verb.
  Call(port, core, "Stamp", {{"user", Bstr(u"tok")}}, status);
  EXPECT_EQ(status, 404);
  EXPECT_EQ(Send(port, "GET", core).status, 404);
  EXPECT_EQ(Send(port, "GET", "/QuorService/QuorServiceCore.wsdl").status, 404);
  for (const char* name : {"QuorServiceCore.sod", "QuorServiceCoreAdmin.sod", "QuorServiceCore.wsdl"})
    std::ofstream(iis / name) << "";
  // Not a plain file, or a link: not the file the map wants.
  fs::create_directory(iis / "folder.sod");
  EXPECT_EQ(Send(port, "POST", "/QuorService/folder.sod", "<x/>").status, 404);
  fs::create_symlink(iis / "QuorServiceCore.sod", iis / "linked.sod");
  EXPECT_EQ(Send(port, "POST", "/QuorService/linked.sod", "<x/>").status, 403);

  // SOAP calls by the .sod map; the path compares without case.
  EXPECT_EQ(FirstOutput(Call(port, core, "Stamp", {{"user", Bstr(u"tok")}}, status)), "result:tok");
  EXPECT_EQ(status, 200);
  EXPECT_EQ(FirstOutput(Call(port, "/quorservice/QUORSERVICECORE.SOD", "Stamp", {{"user", Bstr(u"t2")}}, status)),
            "result:t2");
  const std::string admin = FirstOutput(Call(port, "/QuorService/QuorServiceCoreAdmin.sod", "ReLoadConfig", {}, status));
  EXPECT_EQ(status, 500);
  EXPECT_NE(admin.find("\"QuorServiceCore.QuorServiceCoreAdmin\""), std::string::npos) << admin;

  // The map's verbs: POST only.
  HttpAnswer a = Send(port, "GET", core);
  EXPECT_EQ(a.status, 405);
  EXPECT_EQ(a.headers["allow"], "POST");
  EXPECT_EQ(Send(port, "PUT", core, "<x/>").status, 405);

  // The description by the .wsdl map.
  a = Send(port, "GET", "/QuorService/QuorServiceCore.wsdl");
  EXPECT_EQ(a.status, 200);
  EXPECT_NE(a.body.find("definitions"), std::string::npos) << a.body;
  EXPECT_NE(a.body.find("Stamp"), std::string::npos);
  EXPECT_NE(a.body.find("/QuorService/QuorServiceCore.sod"), std::string::npos);
  a = Send(port, "DELETE", "/QuorService/QuorServiceCore.wsdl");
  EXPECT_EQ(a.status, 405);
  EXPECT_EQ(a.headers["allow"], "GET, POST, HEAD");

  // Files without a map: read-only, inside the folder, no links followed.
  a = Send(port, "GET", "/QuorService/hello.txt");
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, "hello");
  EXPECT_EQ(Send(port, "HEAD", "/QuorService/hello.txt").status, 200);
  EXPECT_EQ(Send(port, "GET", "/QuorService/link.txt").status, 403);
  EXPECT_EQ(Send(port, "GET", "/QuorService/resource/up/secret.txt").status, 403);
  EXPECT_EQ(Send(port, "GET", "/QuorService/missing.txt").status, 404);
  EXPECT_EQ(Send(port, "GET", "/Other/hello.txt").status, 404);
  a = Send(port, "POST", "/QuorService/hello.txt", "x");
  EXPECT_EQ(a.status, 405);
  EXPECT_EQ(a.headers["allow"], "GET, HEAD");

  // Writing: refused everywhere until the resource folder is made writable.
  EXPECT_EQ(Send(port, "PUT", "/QuorService/resource/new.txt", "data").status, 403);
  EXPECT_EQ(Send(port, "PUT", "/QuorService/notes/new.txt", "data").status, 403);
  EXPECT_FALSE(fs::exists(iis / "resource" / "new.txt"));
  setup = SiteSetup(server, install.Path(), {"localhost", "1", "/opt/quor/listener", "svc", "pw", "ResDirWRITABLE"});
  ASSERT_EQ(setup.status, 0) << setup.output;
  EXPECT_EQ(Send(port, "PUT", "/QuorService/resource/new.txt", "first").status, 201);
  EXPECT_EQ(ReadFile(iis / "resource" / "new.txt"), "first");
  EXPECT_EQ(Send(port, "PUT", "/QuorService/resource/new.txt", "second").status, 204);
  EXPECT_EQ(ReadFile(iis / "resource" / "new.txt"), "second");
  EXPECT_EQ(Send(port, "GET", "/QuorService/resource/new.txt").body, "second");
  // Outside the writable folder, through a link, or over a link: refused.
  EXPECT_EQ(Send(port, "PUT", "/QuorService/notes/new.txt", "data").status, 403);
  EXPECT_EQ(Send(port, "PUT", "/QuorService/top.txt", "data").status, 403);
  EXPECT_EQ(Send(port, "PUT", "/QuorService/resource/up/secret.txt", "pwned").status, 403);
  fs::create_symlink(install.Path() / "secret.txt", iis / "resource" / "trap.txt");
  EXPECT_EQ(Send(port, "PUT", "/QuorService/resource/trap.txt", "pwned").status, 403);
  EXPECT_EQ(Send(port, "PUT", "/QuorService/resource/nofolder/x.txt", "data").status, 409);
  EXPECT_EQ(Send(port, "PUT", "/QuorService/resource/../top.txt", "data").status, 403);
  EXPECT_EQ(Send(port, "PUT", "/QuorService/resource/%2e%2e/top.txt", "data").status, 403);
  EXPECT_EQ(ReadFile(install.Path() / "secret.txt"), "SECRET");
  EXPECT_FALSE(fs::exists(iis / "notes" / "new.txt"));
  EXPECT_FALSE(fs::exists(iis / "top.txt"));
  a = Send(port, "DELETE", "/QuorService/resource/new.txt");
  EXPECT_EQ(a.status, 405);
  EXPECT_EQ(a.headers["allow"], "GET, HEAD, PUT");

  // A damaged file: the last good configuration keeps serving, with a warning.
  const fs::path sites = server.Dir() / "sites.xml";
  const std::string good = ReadFile(sites);
  std::ofstream(server.Dir() / "damaged.xml") << "<sites><site";
  fs::rename(server.Dir() / "damaged.xml", sites);
  EXPECT_EQ(FirstOutput(Call(port, core, "Stamp", {{"user", Bstr(u"still")}}, status)), "result:still");
  EXPECT_NE(server.Events().find("sites.xml"), std::string::npos) << server.Events();
  std::ofstream(server.Dir() / "good.xml") << good;
  fs::rename(server.Dir() / "good.xml", sites);

  // Removal: the directory is gone at once and the applications unloaded.
  setup = SiteSetup(server, install.Path(), {});
  ASSERT_EQ(setup.status, 0) << setup.output;
  Call(port, core, "Stamp", {{"user", Bstr(u"tok")}}, status);
  EXPECT_EQ(status, 404);
  EXPECT_EQ(Send(port, "GET", "/QuorService/hello.txt").status, 404);
  EXPECT_NE(server.Events().find("unloaded"), std::string::npos) << server.Events();

  EXPECT_TRUE(server.Running()) << server.Stderr();
  EXPECT_EQ(server.Stop(), 0) << server.Stderr();
}

TEST(SiteServerTest, SiteOptionsAreChecked) {
  TempDir scratch;
  const std::string program = (kBin / "quor-server").string();
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--site", "0"},
           {"--site", "x"},
           {"--site-host", "web01"},
           {"--site", "1", "--site-host", "a/b"},
           {"--site", "1", "--resource-url", "/r", "--resource-dir", "/tmp"}}) {
    RunResult r = RunProgram(program, args, Environment({}), scratch.Path());
    EXPECT_EQ(r.status, 2) << args[0] << " " << r.output;
    EXPECT_NE(r.output.find("usage: quor-server"), std::string::npos) << r.output;
  }
}

TEST(SiteServerTest, AnotherHostsSiteIsNotServed) {
  TempDir install;
  fs::create_directories(install.Path() / "IIS");
  std::ofstream(install.Path() / "IIS" / "hello.txt") << "hi";
  ServerProcess server({kBin, kLib, {}, {"--site", "1", "--site-host", "web01"}});
  ASSERT_EQ(server.Error(), "");
  ASSERT_EQ(SiteSetup(server, install.Path(), {"localhost", "1", "/l", "u", "p"}).status, 0);
  EXPECT_EQ(Send(server.Port(), "GET", "/QuorService/hello.txt").status, 404);
  ASSERT_EQ(SiteSetup(server, install.Path(), {"WEB01", "1", "/l", "u", "p"}).status, 0);
  const HttpAnswer a = Send(server.Port(), "GET", "/QuorService/hello.txt");
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, "hi");
}

TEST(SiteServerTest, ControlCharactersFromAPathReachTheEventLogEscaped) {
  TempDir install;
  fs::create_directories(install.Path() / "IIS");
  ServerProcess server({kBin, kLib, {}, {"--site", "1"}});
  ASSERT_EQ(server.Error(), "");
  ASSERT_EQ(SiteSetup(server, install.Path(), {"localhost", "1", "/l", "u", "p"}).status, 0);
  const int port = server.Port();
  // Refused paths are logged with the path: a NUL, a line break and DEL by
  // escape, a stray byte, and a walk out of the folder.
  EXPECT_EQ(Send(port, "POST", "/QuorService/a%00b.sod", "<x/>").status, 403);
  EXPECT_EQ(Send(port, "GET", "/QuorService/%0Aforged%09line%7F%FF/../x.txt").status, 403);
  // Raw control bytes never make a request.
  EXPECT_EQ(Send(port, "GET", std::string("/QuorService/r\x01w\x1b.txt")).status, 400);

  const std::string log = server.Events();
  for (unsigned char c : log) ASSERT_TRUE(c == '\n' || c == '\t' || (c >= 0x20 && c != 0x7F)) << int(c) << log;
  EXPECT_NE(log.find("\t/QuorService/a\\x00b.sod\t"), std::string::npos) << log;
  EXPECT_NE(log.find("\t/QuorService/\\nforged\\tline\\x7F\\xFF/../x.txt\t"), std::string::npos) << log;
  EXPECT_EQ(server.Stop(), 0) << server.Stderr();
}
