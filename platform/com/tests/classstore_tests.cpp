// The class store end to end: the test server registered with the real
// registration program into a temporary registry, created by ProgID and
// called by name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/com/classstore.h"
#include "platform/com/dispatch.h"
#include "platform/registry/registry.h"
#include "testing/TempDir.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace quor::com;

namespace {

const fs::path kPlugin = fs::path(QUOR_LIB_DIR) / "libquor_test_plugin.so";
const fs::path kNotServer = fs::path(QUOR_LIB_DIR) / "libquor_test_not_server.so";
const fs::path kRegsvr = fs::path(QUOR_BIN_DIR) / "quor-regsvr";
constexpr CLSID kEchoClsid = Guid::Literal("{6B1F3C2A-9D4E-4F51-8A7B-2C3D4E5F6071}");

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct RunResult {
  int status = -1;
  std::string output;
};

// Runs quor-regsvr with `args`, each one argv element, no shell.
RunResult RunRegsvr(std::vector<std::string> args, const fs::path& outputFile) {
  std::vector<char*> argv;
  std::string program = kRegsvr.string();
  argv.push_back(program.data());
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  RunResult r;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  r.output = ReadAll(outputFile);
  return r;
}

// The keys and values of a registry file, without the stamps, one per line.
std::string Dump(const fs::path& file) {
  std::string out;
  std::istringstream in(ReadAll(file));
  for (std::string line; std::getline(in, line);)
    if (!line.starts_with("; LastWrite=")) out += line + "\n";
  return out;
}

class ClassStoreTest : public ::testing::Test {
 protected:
  quor::test::TempDir temp_{"quor-com"};

  void SetUp() override {
    dir_ = temp_.Path();
    registry_ = dir_ / "registry.reg";
    log_ = dir_ / "plugin.log";
    ::setenv("QUOR_REGISTRY", registry_.c_str(), 1);
    ::setenv("QUOR_TEST_PLUGIN_LOG", log_.c_str(), 1);
    // Another class registered before: unregistering ours must leave it.
    quor::reg::Key other;
    ASSERT_EQ(quor::reg::Win32Error(
                  other.Create(quor::reg::Hive::ClassesRoot, "CLSID\\{11111111-2222-3333-4444-555555555555}")),
              0);
    ASSERT_EQ(quor::reg::Win32Error(other.SetString("", "Other Class")), 0);
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    ::unsetenv("QUOR_REGISTRY");
    ::unsetenv("QUOR_TEST_PLUGIN_LOG");
  }

  void Register() {
    RunResult r = RunRegsvr({kPlugin.string()}, dir_ / "regsvr.out");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("registered"), std::string::npos) << r.output;
  }

  fs::path dir_, registry_, log_;
};

TEST_F(ClassStoreTest, RegisteredServerIsCreatedByProgIdAndCalledByName) {
  Register();
  EXPECT_EQ(CoInitialize(), S_OK);
  EXPECT_EQ(CoInitialize(), S_FALSE);
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(u"QuorTest.Echo", clsid), S_OK);  // through CurVer's class
  EXPECT_EQ(clsid, kEchoClsid);
  ASSERT_EQ(CLSIDFromProgID(std::string_view("quortest.echo.1"), clsid), S_OK);
  EXPECT_EQ(clsid, kEchoClsid);
  Bstr progId;
  ASSERT_EQ(ProgIDFromCLSID(clsid, progId), S_OK);
  EXPECT_EQ(progId, u"QuorTest.Echo.1");

  ComPtr<IDispatch> echo;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::kIid, echo.PutVoid()), S_OK);
  DISPID id = DISPID_UNKNOWN;
  ASSERT_EQ(echo->GetIDOfName(u"convert", id), S_OK);
  EXPECT_EQ(id, 1);
  Variant args[] = {Variant(u"<response/>"), Variant(u"csv")};
  Variant result;
  ExcepInfo excep;
  ASSERT_EQ(echo->Invoke(id, DISPATCH_METHOD, args, &result, &excep, nullptr), S_OK);
  ASSERT_EQ(result.Type(), VT_BSTR);
  EXPECT_EQ(result.GetBstr(), u"[<response/>|csv]");
  // A missing rule is passed as a null string.
  Variant nullRule[] = {Variant(u"in"), Variant(Bstr())};
  ASSERT_EQ(echo->Invoke(id, DISPATCH_METHOD, nullRule, &result, &excep, nullptr), S_OK);
  EXPECT_EQ(result.GetBstr(), u"[in|(null)]");

  // A failing method reports through the exception record.
  ASSERT_EQ(echo->GetIDOfName(u"Fail", id), S_OK);
  Variant message[] = {Variant(u"The accessing failed.")};
  ASSERT_EQ(echo->Invoke(id, DISPATCH_METHOD, message, &result, &excep, nullptr), DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, static_cast<HRESULT>(0x80040205));
  EXPECT_EQ(excep.description, u"The accessing failed.");
  EXPECT_EQ(excep.source, u"QuorTest.Echo");
  ASSERT_EQ(echo->GetIDOfName(u"Throw", id), S_OK);
  ASSERT_EQ(echo->Invoke(id, DISPATCH_METHOD, message, &result, &excep, nullptr), DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, E_INVALIDARG);
  EXPECT_EQ(excep.source, u"QuorTest.Echo");

  // Other shapes of arguments across the library boundary.
  ASSERT_EQ(echo->GetIDOfName(u"Grid", id), S_OK);
  Variant size[] = {Variant(int32_t{2}), Variant(u"3")};
  ASSERT_EQ(echo->Invoke(id, DISPATCH_METHOD, size, &result, &excep, nullptr), S_OK);
  ASSERT_EQ(result.Type(), VT_ARRAY | VT_I4);
  int32_t at[2] = {2, 3};
  Variant cell;
  ASSERT_EQ(result.Array().GetElement(at, cell), S_OK);
  EXPECT_EQ(cell.I4(), 23);
  ASSERT_EQ(echo->GetIDOfName(u"Swap", id), S_OK);
  Bstr a(u"a"), b;
  Variant refs[] = {Variant::ByRef(&a), Variant::ByRef(&b)};
  ASSERT_EQ(echo->Invoke(id, DISPATCH_METHOD, refs, nullptr, &excep, nullptr), S_OK);
  EXPECT_TRUE(a.IsNull());
  EXPECT_EQ(b, u"a");
  ASSERT_EQ(echo->GetIDOfName(u"Clone", id), S_OK);
  ASSERT_EQ(echo->Invoke(id, DISPATCH_METHOD, {}, &result, &excep, nullptr), S_OK);
  ASSERT_EQ(result.Type(), VT_DISPATCH);
  Variant viaClone;
  Variant cloneArgs[] = {Variant(u"c"), Variant(u"d")};
  ASSERT_EQ(InvokeByName(result.Dispatch(), u"Convert", DISPATCH_METHOD, cloneArgs, &viaClone), S_OK);
  EXPECT_EQ(viaClone.GetBstr(), u"[c|d]");

  ComPtr<ISupportErrorInfo> support = echo.As<ISupportErrorInfo>();
  ASSERT_TRUE(support);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IDispatch::kIid), S_FALSE);

  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(CoInitializeCount(), 0);
}

TEST_F(ClassStoreTest, UnknownClassesAndMissingLibrariesGiveStatuses) {
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(u"QuorTest.Nothing", clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(u"", clsid), CO_E_CLASSSTRING);
  ComPtr<IDispatch> object;
  EXPECT_EQ(CreateObject(u"QuorTest.Echo", object), CO_E_CLASSSTRING) << "not registered yet";
  EXPECT_EQ(CoCreateInstance(kEchoClsid, object), REGDB_E_CLASSNOTREG);
  Bstr progId;
  EXPECT_EQ(ProgIDFromCLSID(kEchoClsid, progId), REGDB_E_CLASSNOTREG);

  // Registered classes whose library is missing or is no component server.
  auto registerAt = [](const char* clsidText, const std::string& path, const char* progIdText) {
    quor::reg::Key key;
    ASSERT_EQ(quor::reg::Win32Error(
                  key.Create(quor::reg::Hive::ClassesRoot, std::string("CLSID\\") + clsidText + "\\InprocServer32")),
              0);
    ASSERT_EQ(quor::reg::Win32Error(key.SetString("", path)), 0);
    ASSERT_EQ(quor::reg::Win32Error(key.Create(quor::reg::Hive::ClassesRoot, std::string(progIdText) + "\\CLSID")), 0);
    ASSERT_EQ(quor::reg::Win32Error(key.SetString("", clsidText)), 0);
  };
  registerAt("{AAAAAAAA-0000-0000-0000-000000000001}", (dir_ / "missing.so").string(), "QuorTest.Missing");
  registerAt("{AAAAAAAA-0000-0000-0000-000000000002}", kNotServer.string(), "QuorTest.NotServer");
  registerAt("{AAAAAAAA-0000-0000-0000-000000000003}", registry_.string(), "QuorTest.NotLibrary");
  ClearErrorInfo();
  EXPECT_EQ(CreateObject(u"QuorTest.Missing", object), CO_E_DLLNOTFOUND);
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_NE(info->description.ToUtf8().find("missing.so"), std::string::npos);
  EXPECT_EQ(CreateObject(u"QuorTest.NotServer", object), CO_E_ERRORINDLL);
  info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_NE(info->description.ToUtf8().find("DllGetClassObject"), std::string::npos);
  EXPECT_EQ(CreateObject(u"QuorTest.NotLibrary", object), HRESULT_BAD_EXE_FORMAT);
  EXPECT_FALSE(object);

  // A ProgID whose CLSID value is not a GUID.
  quor::reg::Key bad;
  ASSERT_EQ(quor::reg::Win32Error(bad.Create(quor::reg::Hive::ClassesRoot, "QuorTest.Bad\\CLSID")), 0);
  ASSERT_EQ(quor::reg::Win32Error(bad.SetString("", "not a guid")), 0);
  EXPECT_EQ(CLSIDFromProgID(u"QuorTest.Bad", clsid), CO_E_CLASSSTRING);

  // Aggregation and out-of-process contexts are not offered.
  Register();
  ComPtr<IDispatch> echo;
  ASSERT_EQ(CreateObject(u"QuorTest.Echo", echo), S_OK);
  void* raw = nullptr;
  EXPECT_EQ(CoCreateInstance(kEchoClsid, echo.Get(), CLSCTX_INPROC_SERVER, IUnknown::kIid, &raw), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(kEchoClsid, nullptr, CLSCTX_LOCAL_SERVER, IUnknown::kIid, &raw), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(raw, nullptr);
  // A class the server does not have.
  quor::reg::Key stray;
  ASSERT_EQ(quor::reg::Win32Error(stray.Create(quor::reg::Hive::ClassesRoot,
                                               "CLSID\\{AAAAAAAA-0000-0000-0000-000000000004}\\InprocServer32")),
            0);
  ASSERT_EQ(quor::reg::Win32Error(stray.SetString("", kPlugin.string())), 0);
  EXPECT_EQ(CoCreateInstance(*Guid::Parse("{AAAAAAAA-0000-0000-0000-000000000004}"), echo), CLASS_E_CLASSNOTAVAILABLE);
}

TEST_F(ClassStoreTest, UnregisteringRemovesExactlyTheClassKeys) {
  const std::string before = Dump(registry_);
  Register();
  const std::string registered = ReadAll(registry_);
  for (const char* key : {"[HKEY_CLASSES_ROOT\\CLSID\\{6B1F3C2A-9D4E-4F51-8A7B-2C3D4E5F6071}\\InprocServer32]",
                          "[HKEY_CLASSES_ROOT\\QuorTest.Echo\\CurVer]", "[HKEY_CLASSES_ROOT\\QuorTest.Echo.1\\CLSID]",
                          "\"ThreadingModel\"=\"Apartment\"", "@=\"QuorTest.Echo.1\""})
    EXPECT_NE(registered.find(key), std::string::npos) << key << "\n" << registered;
  EXPECT_NE(registered.find("@=\"" + fs::canonical(kPlugin).string() + "\""), std::string::npos) << registered;

  RunResult r = RunRegsvr({"-u", kPlugin.string()}, dir_ / "regsvr.out");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(Dump(registry_), before);
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(u"QuorTest.Echo", clsid), CO_E_CLASSSTRING);
  // Unregistering again finds nothing to remove and succeeds.
  r = RunRegsvr({"-u", "-s", kPlugin.string()}, dir_ / "regsvr.out");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "");
}

TEST_F(ClassStoreTest, RegistrationProgramRefusesWhatIsNoServer) {
  const std::string before = ReadAll(registry_);
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const fs::path spaced = dir_ / "name with spaces; rm -rf x.so";
  fs::copy_file(kNotServer, spaced);
  const Case cases[] = {
      {{kNotServer.string()}, 4, "not a component server"},
      {{"-u", kNotServer.string()}, 4, "DllUnregisterServer"},
      {{spaced.string()}, 4, "not a component server"},
      {{(dir_ / "missing.so").string()}, 2, "No such file"},
      {{registry_.string()}, 3, "not a loadable shared library"},
      {{}, 1, "usage"},
      {{"-x", kPlugin.string()}, 1, "unknown option"},
      {{kPlugin.string(), kPlugin.string()}, 1, "exactly one"},
  };
  for (const Case& c : cases) {
    RunResult r = RunRegsvr(c.args, dir_ / "regsvr.out");
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_EQ(ReadAll(registry_), before);
  }
  // A damaged registry is reported and left as it is.
  const std::string damaged = before.substr(0, before.size() / 2);
  std::ofstream(registry_, std::ios::binary | std::ios::trunc) << damaged;
  RunResult r = RunRegsvr({kPlugin.string()}, dir_ / "regsvr.out");
  EXPECT_EQ(r.status, 5) << r.output;
  EXPECT_NE(r.output.find("0x80040201"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(registry_.string()), std::string::npos) << r.output;
  EXPECT_EQ(ReadAll(registry_), damaged);
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(u"QuorTest.Echo", clsid), REGDB_E_READREGDB);
}

TEST_F(ClassStoreTest, ModuleStartUpAndShutDown) {
  Register();
  ComPtr<IDispatch> echo;
  ASSERT_EQ(CreateObject(u"QuorTest.Echo", echo), S_OK);
  ComPtr<IDispatch> second;
  ASSERT_EQ(CreateObject(u"QuorTest.Echo", second), S_OK);
  EXPECT_EQ(ReadAll(log_), "attach\n") << "one start-up per load";
  CoFreeUnusedLibraries();
  EXPECT_EQ(ReadAll(log_), "attach\n") << "objects are alive";
  echo = nullptr;
  second = nullptr;
  CoFreeUnusedLibraries();
  EXPECT_EQ(ReadAll(log_), "attach\ndetach\n");
  ASSERT_EQ(CreateObject(u"QuorTest.Echo", echo), S_OK);
  EXPECT_EQ(ReadAll(log_), "attach\ndetach\nattach\n");
  echo = nullptr;
  CoFreeUnusedLibraries();

  // A failing start-up fails the creation and leaves the library unloaded.
  ::setenv("QUOR_TEST_PLUGIN_FAIL_ATTACH", "1", 1);
  EXPECT_EQ(CreateObject(u"QuorTest.Echo", echo), E_ACCESSDENIED);
  ::unsetenv("QUOR_TEST_PLUGIN_FAIL_ATTACH");
  ASSERT_EQ(CreateObject(u"QuorTest.Echo", echo), S_OK);
  echo = nullptr;
}

TEST_F(ClassStoreTest, LoadedServersShutDownAtProcessExit) {
  Register();
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ComPtr<IDispatch> echo;
    int rc = CreateObject(u"QuorTest.Echo", echo) == S_OK ? 0 : 1;
    echo = nullptr;
    std::exit(rc);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadAll(log_), "attach\ndetach\n");
}

TEST_F(ClassStoreTest, ThreadsCreateAndCallAtOnce) {
  Register();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures, t] {
      CoInitialize();
      for (int i = 0; i < 20; ++i) {
        ComPtr<IDispatch> echo;
        Variant result;
        std::u16string text(1, static_cast<char16_t>(u'a' + t));
        Variant args[] = {Variant(text), Variant(u"r")};
        if (CreateObject(u"QuorTest.Echo", echo) != S_OK ||
            InvokeByName(echo.Get(), u"Convert", DISPATCH_METHOD, args, &result) != S_OK ||
            result.GetBstr() != Bstr(u"[" + text + u"|r]"))
          ++failures;
      }
      CoUninitialize();
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
