#include "platform/com/errorinfo.h"

#include "platform/text/text.h"

namespace quor::com {
namespace {
// The one process-wide slot per thread (this library is shared, so every
// component server sees the same one).
thread_local std::optional<ErrorInfo> t_current;
}  // namespace

void SetErrorInfo(ErrorInfo info) { t_current = std::move(info); }
void ClearErrorInfo() { t_current.reset(); }

std::optional<ErrorInfo> GetErrorInfo() {
  std::optional<ErrorInfo> out = std::move(t_current);
  t_current.reset();
  return out;
}

bool HasErrorInfo() { return t_current.has_value(); }

HRESULT RaiseError(HRESULT code, Bstr source, Bstr description, const Guid& iid) {
  SetErrorInfo({iid, std::move(source), std::move(description), code, {}, 0});
  return code;
}

HRESULT ReportStatus(const Status& status, std::u16string_view source, const Guid& iid) {
  // At the edge a success code of any kind passes as it is, with no error
  // information: the contract's callers read it with SUCCEEDED.
  if (SUCCEEDED(status.code())) return status.code();
  if (!status.message().empty())
    return RaiseError(status.code(), Bstr(source), Bstr::FromUtf8(status.message()), iid);
  if (!HasErrorInfo()) return RaiseError(status.code(), Bstr(source), Bstr::FromUtf8(HResultText(status.code())), iid);
  return status.code();
}

Status TakeStatus(HRESULT code) {
  if (SUCCEEDED(code)) return Status(code);
  std::optional<ErrorInfo> info = GetErrorInfo();
  if (!info || info->description.Empty()) return Status(code);
  return Status(code, info->description.ToUtf8());
}

ComError::ComError(HRESULT code, Bstr description, Bstr source)
    : code_(code), description_(std::move(description)), source_(std::move(source)) {
  message_ = description_.Empty() ? HResultText(code_) : description_.ToUtf8();
  message_ += text::Format(" (0x%08X)", static_cast<uint32_t>(code_));
}

HRESULT StatusFromError(const ComError& error, std::u16string_view source, const Guid& iid) {
  Bstr from = error.Source().IsNull() ? Bstr(source) : error.Source();
  if (!error.Description().IsNull())
    return RaiseError(error.Code(), std::move(from), error.Description(), iid);
  if (!HasErrorInfo()) return RaiseError(error.Code(), std::move(from), Bstr::FromUtf8(HResultText(error.Code())), iid);
  return error.Code();
}

}  // namespace quor::com
