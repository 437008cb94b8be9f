#include "transform/common/conversion.h"

#include <exception>
#include <new>

namespace quor::transform {

namespace {

Status Convert(std::u16string_view src, const Conversion& convert, std::string& out) {
  xml::DocumentPtr source = xml::Document::Create();
  if (!source->loadXML(src)) {
    // Running out of memory is the parser's own failure; any other text that
    // does not parse leaves the document empty, and the conversion finds no
    // response element in it.
    if (source->parseError().code() == xml::ParseErrorCode::OutOfMemory) return Status(E_OUTOFMEMORY);
  }
  xml::NodePtr output;
  QUOR_RETURN_IF_ERROR(convert(*source, output));
  if (!output) return Status(E_UNEXPECTED);  // a conversion that succeeds always builds its element
  out = output->xml();
  return Status();
}

}  // namespace

std::string RunConvert(std::u16string_view src, const FaultSource& faults, const Conversion& convert) noexcept {
  HRESULT hr;
  std::string out;
  try {
    hr = Convert(src, convert, out).code();
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  } catch (const std::exception&) {
    hr = E_UNEXPECTED;
  }
  if (SUCCEEDED(hr)) return out;
  try {
    return FaultDocument(faults, hr);
  } catch (const std::exception&) {
    // Even the fault could not be built: answer its plainest form, short
    // enough to need no allocation, still a fault to the caller.
    return "<fault></fault>";
  }
}

xml::NodePtr ResponseElement(const xml::Document& source) {
  xml::NodePtr first = source.firstChild();
  if (!first || !xml::IsElement(*first, "response")) return nullptr;
  return first;
}

Status BuildCaption(xml::Document& doc, const xml::NodePtr& table, xml::NodePtr& caption) {
  if (!table) return Status(kNoTableNode);
  caption = doc.createElement("caption");
  for (const xml::Attribute& attribute : table->attributes()) {
    if (attribute.name != "name") continue;
    caption->setText(attribute.value);
    break;
  }
  return Status();
}

}  // namespace quor::transform
