#include "core/XmlHelpers.h"

#include "platform/base/win32_error.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::core {

com::Bstr AnsiToBstr(std::string_view text) { return com::Bstr::FromUtf8(text); }

long BstrToAnsi(const com::Bstr& text, std::string& narrow) {
  narrow = text::Narrow(text.View());
  return ERROR_SUCCESS;
}

int SetElementAttribute(const xml::NodePtr& node, std::string_view name, std::string_view value) {
  if (!node) throw com::ComError(E_POINTER);
  if (node->nodeType() != xml::NodeType::Element) throw com::ComError(E_NOINTERFACE);
  if (!node->setAttribute(name, value)) throw com::ComError(E_INVALIDARG);
  return 0;
}

xml::NodePtr CopyXmlTree(const xml::NodePtr& source) {
  if (!source) throw com::ComError(E_POINTER);
  auto copy = source->cloneNode(true);
  if (!copy) throw com::ComError(E_FAIL);
  return copy;
}

int CopyXmlTreeWithText(const xml::NodePtr& destination, const xml::NodePtr& source) {
  if (!destination || !source) throw com::ComError(E_POINTER);
  if (destination->nodeName() != source->nodeName()) return E_FAIL;
  int appended = 0;
  for (auto child = source->firstChild(); child; child = child->nextSibling()) {
    if (!destination->appendChild(CopyXmlTree(child))) throw com::ComError(E_FAIL);
    appended = 1;
  }
  return appended;
}

int MatchXmlNodes(const xml::NodePtr& parent, std::string_view name, com::Bstr& text) {
  if (!parent) throw com::ComError(E_POINTER);
  text = com::Bstr();
  for (auto child = parent->firstChild(); child; child = child->nextSibling()) {
    if (child->nodeName() != name) continue;
    if (child->hasChildNodes()) {
      const std::string value = child->text();
      if (!value.empty()) text = com::Bstr::FromUtf8(value);
    }
    break;
  }
  return 0;
}

xml::NodePtr FindTopLevel(const xml::DocumentPtr& document, std::string_view name) {
  if (!document) return nullptr;
  for (auto node = document->firstChild(); node; node = node->nextSibling())
    if (node->nodeName() == name) return node;
  return nullptr;
}

}  // namespace quor::core
