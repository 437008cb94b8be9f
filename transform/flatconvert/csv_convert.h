// FlatConvert's worker: each table of a response document becomes a caption
// and one block of comma-separated text.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/status.h"
#include "platform/xml/dom.h"
#include "transform/common/stream_source.h"

namespace quor::transform {

class CTransCSVImpl {
 public:
  // Builds "response" > "table" > ("caption", "csv" holding one CDATA
  // section) from `source`; kInvalidSource unless `source` is a response
  // document. Keeps no state between calls.
  Status Convert(xml::Document& source, xml::NodePtr& output) const;

  // Appends `value` as one field: written as it is unless it holds a comma,
  // a quote or a line break, which make it a quoted field with its quotes
  // doubled.
  static void AppendField(std::string& line, std::string_view value);

 private:
  // The names of the record's children (their "name" attributes), one field
  // each; a child without the attribute gives none.
  static Status AppendHeader(const xml::NodePtr& record, std::string& buffer);
  // The texts of the record's "column" children, one field each.
  static Status AppendRow(const xml::NodePtr& record, std::string& buffer);
};

// The same conversion on a source read piece by piece, its output the text
// the engine makes of Convert's: the comma-separated text in CDATA
// sections cut where it holds "]]>" and around each carriage return, which
// travels as a reference (a parser would fold a raw one).
class CTransCSVStream final : public StreamConversion {
 protected:
  void StartDocument() override;
  void StartTable(const std::optional<std::string>& name) override;
  void Record(std::span<const SourceChild> children) override;
  void EndTable() override;
  void EndDocument() override;

 private:
  void PutData(std::string_view data);

  std::string line_;
  bool anyTable_ = false;
  bool firstRecord_ = true;
  bool anyData_ = false;    // of this table
  bool inSection_ = false;  // a CDATA section is open
  char last_[2] = {};       // the table's last two characters
};

}  // namespace quor::transform
