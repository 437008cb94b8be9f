// Conversions between narrow (UTF-8) and wide texts, and the DOM operations
// the configuration loaders and the query engine share. They keep no state.
// The DOM operations fail with E_POINTER for a missing node and E_FAIL for a
// refused change.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/status.h"
#include "platform/xml/dom.h"

namespace quor::core {

// Narrow text to a new wide text; an empty text gives an empty (not null) one.
com::Bstr AnsiToBstr(std::string_view text);
// Wide text to narrow; 0, or the platform's error number. Characters that
// cannot be written (unpaired surrogates) become '?'. Null gives "".
long BstrToAnsi(const com::Bstr& text, std::string& narrow);

// Sets an attribute of an element node: E_NOINTERFACE for another kind of
// node, E_INVALIDARG when the element refuses it.
Status SetElementAttribute(const xml::NodePtr& node, std::string_view name, std::string_view value);
// A copy of `source` and its whole subtree, in the source's document, detached.
Result<xml::NodePtr> CopyXmlTree(const xml::NodePtr& source);
// Appends copies of the source's children to `destination` when both carry the
// same name: 1 when something was appended, 0 when the source has no child,
// E_FAIL (nothing changed) when the names differ; a failing status when a
// node is missing or a copy is refused.
Result<int> CopyXmlTreeWithText(const xml::NodePtr& destination, const xml::NodePtr& source);
// The text of the first child of `parent` named `name` exactly; null when
// there is none or its text is empty.
Status MatchXmlNodes(const xml::NodePtr& parent, std::string_view name, com::Bstr& text);

// The first top-level node of `document` named `name` exactly, or null.
xml::NodePtr FindTopLevel(const xml::DocumentPtr& document, std::string_view name);

}  // namespace quor::core
