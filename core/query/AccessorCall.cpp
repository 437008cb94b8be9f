#include "core/query/AccessorCall.h"

#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "platform/com/classstore.h"
#include "platform/com/dispatch.h"
#include "platform/com/errorinfo.h"

#include <utility>

namespace quor::core {
namespace detail {

Status CallLateBound(std::u16string_view progID, std::u16string_view method, const com::Bstr& first,
                      const com::Bstr& second, LateBoundAnswer& answer) {
  // Balanced within the call, so the thread's state is as the caller left it.
  com::CoInitialize();
  struct Uninitialize {
    ~Uninitialize() { com::CoUninitialize(); }
  } uninitialize;

  com::CLSID clsid;
  QUOR_RETURN_IF_ERROR(com::StatusOf(com::CLSIDFromProgID(progID, clsid)));
  com::ComPtr<com::IDispatch> component;
  QUOR_RETURN_IF_ERROR(com::StatusOf(com::CoCreateInstance(clsid, component)));
  com::DISPID id = com::DISPID_UNKNOWN;
  QUOR_RETURN_IF_ERROR(com::StatusOf(component->GetIDOfName(method, id)));

  const com::Variant args[] = {com::Variant(first), com::Variant(second)};
  com::Variant result;
  com::ExcepInfo exception;
  answer.invoked = component->Invoke(id, com::DISPATCH_METHOD, args, &result, &exception, nullptr);
  if (result.Type() == com::VT_BSTR) {
    answer.isText = true;
    answer.text = std::move(result.GetBstr());  // an answer can be large: not copied
  } else if (answer.invoked == DISP_E_EXCEPTION) {
    answer.raised = true;
    answer.exceptionCode = exception.wCode;
    answer.exceptionStatus = exception.scode;
    answer.exceptionDescription = exception.description;
  }
  return Status();
}

}  // namespace detail

Status CallAccessor(const com::Bstr& queryText, const com::Bstr& configText, std::u16string_view progID,
                    std::u16string_view methodName, com::Bstr& answer) {
  detail::LateBoundAnswer call;
  QUOR_RETURN_IF_ERROR(detail::CallLateBound(progID, methodName, queryText, configText, call));

  if (SUCCEEDED(call.invoked)) {
    answer = com::Bstr();
    if (!call.isText) return Status();
    if (!CServiceHelpers::IsFaultResult(call.text)) {
      answer = std::move(call.text);
      return Status();
    }
    // A fault always fails the statement, whatever number it carries; the
    // error information it sets (in the accessor's name) stands.
    return com::StatusOf(
        com::ReportStatus(CServiceHelpers::ParseFaultResult(call.text, QS_E_ACCESSOR_ACCESS_FAILED), progID));
  }
  if (call.isText) {
    answer = std::move(call.text);
    return com::StatusOf(call.invoked);
  }
  answer = call.raised ? CServiceHelpers::MakeAccessorFault(
                             {call.exceptionCode, call.exceptionDescription, call.exceptionStatus})
                       : com::Bstr();
  return Status(QS_E_ACCESSOR_ACCESS_FAILED);
}

}  // namespace quor::core
