// The outer edge of the component operations of Auth and AccountInfo: the
// thread's error information is cleared first, a failure inside becomes the
// returned status with error information (source: the class's programmatic
// identifier when the failure named none).
//
// Registry failures are raised with the system's positive error numbers; a
// positive status would read as success to any caller that tests for
// failure, so it leaves the edge as the HRESULT of that error (2 ->
// 0x80070002).
#pragma once

#include <string_view>
#include <utility>

#include "auth/util/error.h"
#include "platform/com/errorinfo.h"

namespace quor::auth {

template <typename Fn>
HRESULT OperationEdge(std::u16string_view source, const com::IID& iid, Fn&& fn) noexcept {
  com::ClearErrorInfo();
  const HRESULT hr = util::CatchAtEdge(source, iid, std::forward<Fn>(fn));
  if (hr <= 0) return hr;
  return com::CatchErrors(source, iid, [&] {
    const HRESULT failure = util::StatusFromSystemError(hr);
    std::optional<com::ErrorInfo> info = com::GetErrorInfo();
    if (!info) info = com::ErrorInfo{iid, com::Bstr(source), com::Bstr(util::FormatErrorText(failure)), failure, {}, 0};
    info->code = failure;
    com::SetErrorInfo(std::move(*info));
    return failure;
  });
}

}  // namespace quor::auth
