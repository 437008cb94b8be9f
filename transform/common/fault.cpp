#include "transform/common/fault.h"

#include "platform/text/text.h"
#include "platform/xml/dom.h"

namespace quor::transform {

std::string_view Description(HRESULT code, std::span<const StringEntry> strings) {
  // A foreign status that happens to share the low bits of one of ours must
  // not borrow our text.
  if (code != kInvalidSource && code != kNoSourceDocument && code != kNoRecordNode && code != kNoTableNode) return {};
  const unsigned id = HRESULT_CODE(code) + 100;
  for (const StringEntry& entry : strings)
    if (entry.id == id) return entry.text;
  return {};
}

std::string FaultDocument(const FaultSource& source, HRESULT code) {
  xml::DocumentPtr doc = xml::Document::Create();
  auto add = [&](const xml::NodePtr& parent, std::string_view name, std::string_view text = {}) {
    xml::NodePtr element = doc->createElement(name);
    if (!text.empty()) element->setText(text);
    parent->appendChild(element);
    return element;
  };
  xml::NodePtr fault = doc->createElement("fault");
  doc->appendChild(fault);
  add(fault, "faultactor", source.actor);
  xml::NodePtr info = add(add(fault, "detail"), "ErrorInfo");
  add(info, "number", text::Format("%d", static_cast<int32_t>(code)));
  add(info, "description", Description(code, source.strings));
  return fault->xml();
}

}  // namespace quor::transform
