// A snap-in under test without a display: a registry file of the test's own
// (QUOR_REGISTRY, restored afterwards) and the recording host as the
// module's dialogs.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "admin/snapin/SnapInModule.h"
#include "platform/console/testing/RecordingHost.h"
#include "platform/soap/tests/server_process.h"

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

}  // namespace quor::admin::snapin::testing
