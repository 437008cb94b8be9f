// Fixtures for snap-in tests: offline (no display, a registry file of the
// test's own) and against a real quor-server, with the recording host as
// the module's dialogs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "admin/VeltService.h"
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/SnapInModule.h"
#include "testing/OutsideSql.h"
#include "testing/RecordingHost.h"
#include "testing/ServerInstance.h"
#include "testing/ServerProcess.h"

namespace quor::admin::snapin::testing {

class OfflineSnapinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* previous = std::getenv("QUOR_REGISTRY")) previousRegistry_ = previous;
    ::setenv("QUOR_REGISTRY", (dir_.Path() / "registry.reg").c_str(), 1);
    Module::SetDialogs(&host_);
  }
  void TearDown() override {
    Module::SetDialogs(nullptr);
    CMessageBox::SetTaskModal(false);
    if (previousRegistry_)
      ::setenv("QUOR_REGISTRY", previousRegistry_->c_str(), 1);
    else
      ::unsetenv("QUOR_REGISTRY");
  }

  soap::testing::TempDir dir_;
  std::optional<std::string> previousRegistry_;
  console::testing::RecordingHost host_;
};

// The recording host as the module's dialogs, nothing else.
class HostedDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { Module::SetDialogs(&host_); }
  void TearDown() override { Module::SetDialogs(nullptr); }
  console::testing::RecordingHost host_;
};

// A connection file naming a SQLite database, with a service role when given.
inline std::string SqliteConnectionFile(std::string_view dsn, const std::string& file, std::string_view role = {}) {
  std::string text = "<OLEDBSetting>";
  if (!role.empty()) text += "<quorservice>" + std::string(role) + "</quorservice>";
  return text + "<Provider>MSDASQL.1</Provider><DataSource>" + std::string(dsn) +
         "</DataSource><InitialCatalog>main</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" + file +
         "</ExtendedProperties></OLEDBSetting>";
}

// Runs SQL on a SQLite file with the sqlite3 program (fed on its standard
// input, so that no shell stands between); its output, "|" between columns.
inline std::string RunSqlite(const std::filesystem::path& db, const std::string& sql) {
  const std::filesystem::path script = db.string() + ".sql";
  std::ofstream(script, std::ios::binary) << sql << "\n";
  return oledb::testing::Capture("sqlite3 -batch '" + db.string() + "' < '" + script.string() + "' 2>&1");
}

// The snap-in against a running quor-server with the administrator signed
// in. Start* report through gtest: callers check HasFatalFailure() and
// IsSkipped(). TearDown puts every piece of module state back.
class SnapinServerTest : public ::testing::Test {
 protected:
  // Starts the server, signs the administrator in and sets the recording
  // host as the module's dialogs.
  void StartServer(const admin::testing::InstanceOptions& options) {
    instance_ = std::make_unique<admin::testing::ServerInstance>();
    instance_->Start(options);
    ASSERT_FALSE(HasFatalFailure());
    if (IsSkipped()) return;
    client_ = instance_->SignIn("administrator", "pw");
    ASSERT_TRUE(client_);
    Module::SetDialogs(&host_);
  }
  // StartServer, then the snap-in with one view. No logon reply: the
  // snap-in's own root stays signed out; the service, when a test wants one,
  // is set on the module.
  void StartSnapin(const admin::testing::InstanceOptions& options) {
    ASSERT_NO_FATAL_FAILURE(StartServer(options));
    if (IsSkipped()) return;
    snapin_ = com::MakeObject<CQuorAdminMMC>();
    ASSERT_EQ(snapin_->Initialize(&host_), S_OK);
    ASSERT_EQ(snapin_->CreateComponent(view_.Put()), S_OK);
    ASSERT_EQ(view_->Initialize(&host_), S_OK);
    host_.messageBoxes.clear();
  }
  void TearDown() override {
    Module::SetService(nullptr);
    if (view_) view_->Destroy(0);
    view_ = {};
    if (snapin_) snapin_->Destroy();
    snapin_ = {};
    Module::SetDialogs(nullptr);
    Module::SetHomeDir("");
    Module::SetResultPaneFlag(0);
    if (client_) client_->EndSession();
    client_.reset();
    instance_.reset();
  }

  // A SQLite file made with the sqlite3 program, removed with the fixture.
  std::string MakeSqlite(std::string_view name, const std::string& sql) {
    const std::filesystem::path file = scratch_.Path() / (std::string(name) + ".db");
    std::filesystem::remove(file);
    EXPECT_EQ(RunSqlite(file, sql), "") << name;
    return file.string();
  }

  com::ComPtr<console::IDataObject> DataOf(CSnapInItem& node, uint32_t type) {
    com::ComPtr<console::IDataObject> object;
    EXPECT_EQ(node.GetDataObject(object.Put(), type), S_OK);
    return object;
  }
  HRESULT Expand(CSnapInItem& node, console::ScopeHandle self) {
    return snapin_->Notify(DataOf(node, console::CCT_SCOPE).Get(), console::MMCN_EXPAND, 1,
                           static_cast<std::intptr_t>(self));
  }
  HRESULT Notify(CSnapInItem& node, uint32_t event, std::intptr_t arg = 0, uint32_t type = console::CCT_SCOPE,
                 std::intptr_t param = 0) {
    return view_->Notify(DataOf(node, type).Get(), event, arg, param);
  }
  HRESULT Command(CSnapInItem& node, long command, uint32_t type = console::CCT_SCOPE) {
    return snapin_->Command(command, DataOf(node, type).Get());
  }
  // The texts of the error boxes shown so far.
  std::vector<std::string> Errors() const {
    std::vector<std::string> texts;
    for (const auto& box : host_.messageBoxes)
      if (box.caption == "Error") texts.push_back(box.text);
    return texts;
  }

  soap::testing::TempDir scratch_;
  std::unique_ptr<admin::testing::ServerInstance> instance_;
  std::unique_ptr<CVeltService> client_;
  console::testing::RecordingHost host_;
  com::ComPtr<CQuorAdminMMC> snapin_;
  com::ComPtr<console::IComponent> view_;
};

}  // namespace quor::admin::snapin::testing
