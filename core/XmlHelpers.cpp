#include "core/XmlHelpers.h"

#include "platform/base/win32_error.h"
#include "platform/text/text.h"

namespace quor::core {

com::Bstr AnsiToBstr(std::string_view text) { return com::Bstr::FromUtf8(text); }

long BstrToAnsi(const com::Bstr& text, std::string& narrow) {
  narrow = text::Narrow(text.View());
  return ERROR_SUCCESS;
}

Status SetElementAttribute(const xml::NodePtr& node, std::string_view name, std::string_view value) {
  if (!node) return Status(E_POINTER);
  if (node->nodeType() != xml::NodeType::Element) return Status(E_NOINTERFACE);
  if (!node->setAttribute(name, value)) return Status(E_INVALIDARG);
  return Status();
}

Result<xml::NodePtr> CopyXmlTree(const xml::NodePtr& source) {
  if (!source) return Status(E_POINTER);
  auto copy = source->cloneNode(true);
  if (!copy) return Status(E_FAIL);
  return copy;
}

Result<int> CopyXmlTreeWithText(const xml::NodePtr& destination, const xml::NodePtr& source) {
  if (!destination || !source) return Status(E_POINTER);
  // Different names are an answer, not a failure.
  if (destination->nodeName() != source->nodeName()) return static_cast<int>(E_FAIL);
  int appended = 0;
  for (auto child = source->firstChild(); child; child = child->nextSibling()) {
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyXmlTree(child));
    if (!destination->appendChild(copy)) return Status(E_FAIL);
    appended = 1;
  }
  return appended;
}

Status MatchXmlNodes(const xml::NodePtr& parent, std::string_view name, com::Bstr& text) {
  if (!parent) return Status(E_POINTER);
  text = com::Bstr();
  for (auto child = parent->firstChild(); child; child = child->nextSibling()) {
    if (child->nodeName() != name) continue;
    if (child->hasChildNodes()) {
      const std::string value = child->text();
      if (!value.empty()) text = com::Bstr::FromUtf8(value);
    }
    break;
  }
  return Status();
}

xml::NodePtr FindTopLevel(const xml::DocumentPtr& document, std::string_view name) {
  if (!document) return nullptr;
  for (auto node = document->firstChild(); node; node = node->nextSibling())
    if (node->nodeName() == name) return node;
  return nullptr;
}

}  // namespace quor::core
