// What the authentication tests share: a temporary key folder and registry
// file per test, and capture of raised statuses.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "auth/mac.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"
#include "testing/TempDir.h"

namespace quor::auth::testing {

using TempDir = quor::test::TempDir;

// Each test gets its own key folder and registry file.
class AuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QUOR_KEYDIR", (dir.Path() / "keys").c_str(), 1);
    ::setenv("QUOR_REGISTRY", (dir.Path() / "registry.reg").c_str(), 1);
  }
  void TearDown() override { time::SetFixedTime(std::nullopt); }

  TempDir dir;
};

// The status and error description that `fn` raised (S_OK when it did not).
template <typename Fn>
std::pair<HRESULT, std::string> Raised(Fn&& fn) {
  com::ClearErrorInfo();
  try {
    fn();
  } catch (const com::ComError& e) {
    auto info = com::GetErrorInfo();
    return {e.Code(), info ? info->description.ToUtf8() : std::string("(no error information)")};
  }
  return {S_OK, {}};
}

inline std::string Utf8(const Bstr& b) { return b.ToUtf8(); }

}  // namespace quor::auth::testing
