// The outer edge of the component operations of Auth and AccountInfo: the
// thread's error information is cleared first, then a failure inside becomes
// the returned status with error information (util::CatchAtEdge; source: the
// class's programmatic identifier when the failure named none).
//
// Registry and other system failures are raised as their HRESULTs (2 ->
// 0x80070002, util::Fail), so no failure leaves here as a positive status,
// which would read as success to any caller that tests for failure.
#pragma once

#include <string_view>
#include <utility>

#include "auth/util/error.h"
#include "platform/com/errorinfo.h"

namespace quor::auth {

template <typename Fn>
HRESULT OperationEdge(std::u16string_view source, const com::IID& iid, Fn&& fn) noexcept {
  com::ClearErrorInfo();
  return util::CatchAtEdge(source, iid, std::forward<Fn>(fn));
}

}  // namespace quor::auth
