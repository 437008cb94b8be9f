// The log-time stamp, status raising, the standard result text and the fault
// texts.
#include <string>

#include "core/KeywordTable.h"
#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"
#include "platform/time/clock.h"
#include "platform/xml/dom.h"
#include "platform/xml/escape.h"

namespace quor::core {
namespace {

// The number of a fault text is written as a signed decimal, as the data
// accessor writes its own: a failing status is negative and reads back whole.
com::Bstr MakeFaultText(std::string_view actor, int32_t number, const com::Bstr& description,
                        std::string_view marker) {
  // What XML cannot carry becomes U+FFFD, so the text always loads again.
  const std::string escaped = xml::Escaped(
      description.ToUtf8(), {.decimalReferences = true, .invalid = xml::EscapeRules::Invalid::Replace});
  return com::Bstr::FromUtf8(text::Format(
      "<fault><faultactor>%s</faultactor><detail><ErrorInfo><number>%d</number>"
      "<description>%s%s</description></ErrorInfo></detail></fault>",
      actor, number, escaped, marker));
}

bool IsNamed(const xml::NodePtr& node, KeywordIndex keyword) {
  return node->nodeName() == CKeywordTable::Instance().Narrow(keyword);
}

}  // namespace

std::string CServiceHelpers::FormatLogTime() {
  const auto t = time::LocalTime();
  return text::Format("%d/%d/%d %d:%d:%d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

Status CServiceHelpers::ServiceError(HRESULT status, const com::Bstr& text) {
  return Status(status, text.Empty() ? std::string(StatusText(status)) : text.ToUtf8());
}

void CServiceHelpers::RaiseServiceError(std::u16string_view source, HRESULT status, const com::Bstr& text) {
  com::Bstr description = text.Empty() ? com::Bstr::FromUtf8(StatusText(status)) : text;
  com::SetErrorInfo({com::GUID_NULL, com::Bstr(source), std::move(description), status, {}, 0});
}

com::Bstr CServiceHelpers::FormatResultCode(int32_t code) {
  return com::Bstr::FromUtf8(text::Format("<root><resultCode>%d</resultCode></root>", code));
}

com::Bstr CServiceHelpers::MakeTransformerFault(const CallException& exception) {
  return MakeFaultText("IQuorTransformer", exception.status ? exception.status : exception.code, exception.description, "111");
}

com::Bstr CServiceHelpers::MakeAccessorFault(const CallException& exception) {
  return MakeFaultText("IQuorAccessor", exception.status ? exception.status : exception.code, exception.description, "222");
}

bool CServiceHelpers::IsFaultResult(const com::Bstr& text) {
  return !text.IsNull() && text.View().starts_with(CKeywordTable::Instance().Get(KW_FAULT_PREFIX).View());
}

Status CServiceHelpers::ParseFaultResult(const com::Bstr& text) { return ParseFaultResult(text, E_FAIL); }

Status CServiceHelpers::ParseFaultResult(const com::Bstr& text, HRESULT notFailing) {
  if (text.IsNull()) return Status(E_FAIL);
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(text.View())) return Status(QS_E_XML_LOAD_FAILED);

  const xml::NodePtr fault = doc->firstChild();
  if (!fault) return Status(E_POINTER);
  if (!IsNamed(fault, KW_FAULT)) return Status(E_FAIL);
  const xml::NodePtr actor = fault->firstChild();
  if (!actor) return Status(E_POINTER);
  if (!IsNamed(actor, KW_FAULTACTOR)) return Status(E_FAIL);
  const xml::NodePtr detail = actor->nextSibling();
  if (!detail) return Status(E_POINTER);
  if (!IsNamed(detail, KW_DETAIL)) return Status(E_FAIL);

  // Below "detail" only the order counts, not the names.
  const xml::NodePtr errorInfo = detail->firstChild();
  const xml::NodePtr number = errorInfo ? errorInfo->firstChild() : nullptr;
  const xml::NodePtr description = number ? number->nextSibling() : nullptr;
  if (!description) return Status(E_POINTER);

  // A fault always fails the call: a number that is not a failing status, or
  // none at all, still gives one.
  const std::optional<int32_t> read = text::ScanInt32(number->text());
  const HRESULT status = read && FAILED(*read) ? *read : notFailing;
  return ServiceError(status, com::Bstr::FromUtf8(description->text()));
}

}  // namespace quor::core
