// FlatConvert's worker: each table of a response document becomes a caption
// and one block of comma-separated text.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/xml/dom.h"

namespace quor::transform {

class CTransCSVImpl {
 public:
  // Builds "response" > "table" > ("caption", "csv" holding one CDATA
  // section) from `source`; kInvalidSource unless `source` is a response
  // document. Keeps no state between calls.
  HRESULT Convert(xml::Document& source, xml::NodePtr& output) const;

 private:
  // Appends `value` as one field: written as it is unless it holds a comma,
  // a quote or a line break, which make it a quoted field with its quotes
  // doubled.
  static void AppendField(std::string& line, std::string_view value);
  // The names of the record's children (their "name" attributes), one field
  // each; a child without the attribute gives none.
  static HRESULT AppendHeader(const xml::NodePtr& record, std::string& buffer);
  // The texts of the record's "column" children, one field each.
  static HRESULT AppendRow(const xml::NodePtr& record, std::string& buffer);
};

}  // namespace quor::transform
