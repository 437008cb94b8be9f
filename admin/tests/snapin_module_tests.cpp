// The snap-in library as the host meets it: registered by quor-regsvr,
// created by ProgID through the component runtime, and unregistered again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "admin/snapin/SnapInModule.h"
#include "platform/com/classstore.h"
#include "platform/registry/registry.h"
#include "testing/RecordingHost.h"
#include "testing/ServerProcess.h"

namespace quor::admin::snapin {
namespace {

namespace st = soap::testing;
using namespace console;

class SnapinModule : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* previous = std::getenv("QUOR_REGISTRY")) previousRegistry_ = previous;
    registry_ = dir_.Path() / "registry.reg";
    ::setenv("QUOR_REGISTRY", registry_.c_str(), 1);
    env_ = st::Environment({"QUOR_REGISTRY=" + registry_.string()});
  }
  void TearDown() override {
    com::CoFreeUnusedLibraries();
    if (previousRegistry_)
      ::setenv("QUOR_REGISTRY", previousRegistry_->c_str(), 1);
    else
      ::unsetenv("QUOR_REGISTRY");
  }
  st::RunResult RegSvr(std::vector<std::string> args) {
    args.push_back(std::string(QUOR_LIB_DIR) + "/libQuorAdminMMC.so");
    return st::RunProgram(std::string(QUOR_BIN_DIR) + "/quor-regsvr", args, env_, dir_.Path());
  }
  bool KeyExists(reg::Hive hive, std::string_view path) {
    reg::Registry registry(registry_);
    reg::Key key(registry);
    return key.Open(hive, path).ok();
  }
  std::string Value(reg::Hive hive, std::string_view path, std::string_view name) {
    reg::Registry registry(registry_);
    reg::Key key(registry);
    if (!key.Open(hive, path).ok()) return "(none)";
    const auto value = key.GetString(name);
    return value.ok() ? *value : "(none)";
  }

  st::TempDir dir_;
  std::filesystem::path registry_;
  std::vector<std::string> env_;
  std::optional<std::string> previousRegistry_;
};

constexpr std::string_view kSnapinKey = "Software\\Microsoft\\MMC\\Snapins\\{0E445EDE-7C1C-47F8-A299-E2B7F9446781}";
constexpr std::string_view kNodeTypeKey = "Software\\Microsoft\\MMC\\NodeTypes\\{7560B67F-BC85-46D3-92A3-527678FC80A9}";
constexpr std::string_view kClsidKey = "CLSID\\{0E445EDE-7C1C-47F8-A299-E2B7F9446781}";

TEST_F(SnapinModule, RegistersCreatesByProgIdAndUnregisters) {
  st::RunResult r = RegSvr({"-s"});
  ASSERT_EQ(r.status, 0) << r.output;

  // The class store's keys and the console's own.
  EXPECT_EQ(Value(reg::Hive::ClassesRoot, "QuorAdmin.QuorAdminMMC\\CurVer", ""), "QuorAdmin.QuorAdminMMC.1");
  EXPECT_EQ(Value(reg::Hive::ClassesRoot, "QuorAdmin.QuorAdminMMC.1", ""), "QuorAdminMMC Class");
  EXPECT_EQ(Value(reg::Hive::ClassesRoot, std::string(kClsidKey) + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(Value(reg::Hive::ClassesRoot, std::string(kClsidKey) + "\\TypeLib", ""),
            "{A0203B89-1A87-43E1-A175-502B4F647A92}");
  EXPECT_EQ(Value(reg::Hive::LocalMachine, kSnapinKey, ""), "QuorAdminMMC");
  EXPECT_EQ(Value(reg::Hive::LocalMachine, kSnapinKey, "NameString"), "QuorAdminMMC");
  EXPECT_EQ(Value(reg::Hive::LocalMachine, kSnapinKey, "About"), "{0C0E5AA5-F6BE-4B26-8E99-063E5365144E}");
  EXPECT_TRUE(KeyExists(reg::Hive::LocalMachine, std::string(kSnapinKey) + "\\StandAlone"));
  EXPECT_TRUE(KeyExists(reg::Hive::LocalMachine,
                        std::string(kSnapinKey) + "\\NodeTypes\\{7560B67F-BC85-46D3-92A3-527678FC80A9}"));
  EXPECT_TRUE(KeyExists(reg::Hive::LocalMachine, kNodeTypeKey));

  {
    // Created as the host creates it, and driven through its interfaces.
    com::ComPtr<IComponentData> data;
    ASSERT_EQ(com::CreateObject(u"QuorAdmin.QuorAdminMMC", data), S_OK);
    EXPECT_EQ(data->Initialize(nullptr), E_POINTER);
    com::ComPtr<IPersistStream> persist;
    ASSERT_EQ(data->QueryInterface(IPersistStream::kIid, persist.PutVoid()), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    EXPECT_EQ(persist->InitNew(), S_OK);
    console::testing::RecordingHost host;
    ASSERT_EQ(data->Initialize(&host), S_OK);
    EXPECT_EQ(host.logonRequests.size(), 1u) << "the root signs in when the console arrives";
    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Service Logon cancelled."});
    ScopeItem root;
    root.mask = SDI_STR | SDI_IMAGE;
    ASSERT_EQ(data->GetDisplayInfo(root), S_OK);
    EXPECT_EQ(root.text, "Quor Server Manager");
    EXPECT_EQ(root.image, 1);
    EXPECT_EQ(data->Destroy(), S_OK);

    com::ComPtr<ISnapinAbout> about;
    ASSERT_EQ(com::CoCreateInstance(kClsidQuorAdminMMCAbout, about), S_OK);
    std::string text;
    ASSERT_EQ(about->GetProvider(text), S_OK);
    EXPECT_EQ(text, "QuorAdmin Provider");
  }

  r = RegSvr({"-u", "-s"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(KeyExists(reg::Hive::LocalMachine, kSnapinKey));
  EXPECT_FALSE(KeyExists(reg::Hive::LocalMachine, kNodeTypeKey));
  EXPECT_FALSE(KeyExists(reg::Hive::ClassesRoot, "QuorAdmin.QuorAdminMMC"));
  com::CLSID clsid;
  EXPECT_EQ(com::CLSIDFromProgID(u"QuorAdmin.QuorAdminMMC", clsid), CO_E_CLASSSTRING);
}

}  // namespace
}  // namespace quor::admin::snapin
