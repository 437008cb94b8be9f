// What the authentication tests share: a temporary key folder and registry
// file per test, and capture of raised statuses.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <type_traits>
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

// The status and error description of the failure `fn` (returning a Status
// or a Result) gave (S_OK when it did not fail).
template <typename Fn>
std::pair<HRESULT, std::string> Raised(Fn&& fn) {
  com::ClearErrorInfo();
  Status status;
  if constexpr (std::is_same_v<std::invoke_result_t<Fn>, Status>)
    status = fn();
  else
    status = fn().status();
  if (status.code() == S_OK) return {S_OK, {}};
  auto info = com::GetErrorInfo();
  return {status.code(), info ? info->description.ToUtf8() : std::string("(no error information)")};
}

// The value of a call that must succeed.
template <typename T>
T Must(Result<T> result) {
  EXPECT_TRUE(result.ok()) << result.status().Text();
  return result.ok() ? std::move(result).value() : T();
}
inline void Must(const Status& status) { EXPECT_TRUE(status.ok()) << status.Text(); }

inline std::string Utf8(const Bstr& b) { return b.ToUtf8(); }

}  // namespace quor::auth::testing
