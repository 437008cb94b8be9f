#include "core/RequestFrame.h"

#include <vector>

#include "core/QuorServiceUtils.h"
#include "core/StatusCodes.h"

namespace quor::core {

using com::Bstr;

Status CRequestFrame::Unwrap(const Bstr& user, std::u16string_view operation,
                             std::span<const std::u16string_view> names, std::span<Bstr> args,
                             Bstr& principal) const {
  std::vector<ArgumentEntry> table;
  table.reserve(1 + args.size());
  table.push_back({std::u16string(operation), nullptr, 0});
  for (size_t i = 0; i < args.size() && i < names.size(); ++i) table.push_back({std::u16string(names[i]), &args[i], 0});
  return Status(context_.utils.UnwrapArgs(user, table, principal).code());
}

Bstr CRequestFrame::Wrap(const Bstr& user, std::u16string_view operation, Bstr& result, uint32_t flag) const {
  std::vector<ArgumentEntry> wrap{{std::u16string(operation), nullptr, 0}, {u"result", &result, flag}};
  Bstr reskey;
  if (!context_.utils.WrapResult(user, wrap, reskey).ok()) return Bstr(u"");
  return reskey;
}

HRESULT CRequestFrame::Raise(const Status& outcome, const Bstr& text) {
  const HRESULT status = outcome.code();
  const bool ownWords = text.Empty() && !IsKnownStatus(status);
  CServiceHelpers::RaiseServiceError(kErrorSource, status, ownWords ? Bstr::FromUtf8(UnknownStatusText(outcome)) : text);
  return status;
}

}  // namespace quor::core
