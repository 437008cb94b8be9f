// What both transformers share around their conversion: the entry behaviour
// of Convert (parse the source, convert, serialise or answer a fault
// document) and the reading of a response document's tables.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/com/status.h"
#include "platform/xml/dom.h"
#include "transform/common/fault.h"

namespace quor::transform {

// A conversion: reads the parsed source and builds the output "response"
// element, or answers a failure code (and no output).
using Conversion = std::function<Status(xml::Document& source, xml::NodePtr& output)>;

// The whole of Convert: parses `src` into a new document, runs `convert` and
// answers the output element's XML text, or the fault document of the
// failure. Never throws and never answers a partial result.
std::string RunConvert(std::u16string_view src, const FaultSource& faults, const Conversion& convert) noexcept;

// The "response" element that must be the document's first node; null when
// the first node is missing or is anything else.
xml::NodePtr ResponseElement(const xml::Document& source);

// The "caption" element of an output table: the text of the source table's
// "name" attribute, no text without one. kNoTableNode for a missing table.
Status BuildCaption(xml::Document& doc, const xml::NodePtr& table, xml::NodePtr& caption);

}  // namespace quor::transform
