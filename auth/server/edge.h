// The outer edge of the component operations of Auth and AccountInfo: the
// thread's error information is cleared first, what is raised inside becomes
// the returned status with error information (source: the class's
// programmatic identifier when the raise named none).
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
  HRESULT hr = util::CatchRaised(source, iid, std::forward<Fn>(fn));
  if (hr > 0) {
    hr = util::StatusFromSystemError(hr);
    try {
      std::optional<com::ErrorInfo> info = com::GetErrorInfo();
      if (!info) info = com::ErrorInfo{iid, com::Bstr(source), com::Bstr(util::FormatErrorText(hr)), hr, {}, 0};
      info->code = hr;
      com::SetErrorInfo(std::move(*info));
    } catch (...) {
    }
  }
  return hr;
}

}  // namespace quor::auth
