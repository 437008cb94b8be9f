// GridPage's worker: each table of a response document becomes an XHTML
// table with a border, a caption, a header row and one row per record.
#pragma once

#include "platform/com/status.h"
#include "platform/xml/dom.h"
#include "transform/common/stream_source.h"

namespace quor::transform {

class CTransXHTMLImpl {
 public:
  // Builds "response" > "html" > "table"* from `source`; kInvalidSource
  // unless `source` is a response document. Values go in as element text, so
  // serialising escapes them. Keeps no state between calls.
  Status Convert(xml::Document& source, xml::NodePtr& output) const;

 private:
  // A "th" for each child of the record that has a "name" attribute.
  static Status BuildHeaderRow(xml::Document& doc, const xml::NodePtr& record, xml::NodePtr& row);
  // A "td" for each "column" child of the record.
  static Status BuildDataRow(xml::Document& doc, const xml::NodePtr& record, xml::NodePtr& row);
};

// The same conversion on a source read piece by piece, its output the text
// the engine makes of Convert's (a cell of blanks alone has no text).
class CTransXHTMLStream final : public StreamConversion {
 protected:
  void StartDocument() override;
  void StartTable(const std::optional<std::string>& name) override;
  void Record(std::span<const SourceChild> children) override;
  void EndTable() override;
  void EndDocument() override;

 private:
  bool anyTable_ = false;
  bool firstRecord_ = true;
};

}  // namespace quor::transform
