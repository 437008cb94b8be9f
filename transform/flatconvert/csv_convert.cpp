#include "transform/flatconvert/csv_convert.h"

#include "transform/common/conversion.h"
#include "transform/common/fault.h"

namespace quor::transform {

Status CTransCSVImpl::Convert(xml::Document& source, xml::NodePtr& output) const {
  output = nullptr;
  xml::NodePtr response = ResponseElement(source);
  if (!response) return Status(kInvalidSource);
  // The output is built as new nodes of the source's document, which is
  // itself only read.
  xml::Document& doc = source;
  xml::NodePtr result = doc.createElement("response");
  std::string buffer;
  for (xml::NodePtr table = response->firstChild(); table; table = table->nextSibling()) {
    if (!xml::IsElement(*table, "table")) return Status(kInvalidSource);
    buffer.clear();
    xml::NodePtr outTable = doc.createElement("table");
    xml::NodePtr caption;
    QUOR_RETURN_IF_ERROR(BuildCaption(doc, table, caption));
    outTable->appendChild(caption);
    if (xml::NodePtr first = table->firstChild()) {
      QUOR_RETURN_IF_ERROR(AppendHeader(first, buffer));
      buffer += '\n';
      for (xml::NodePtr record = first; record; record = record->nextSibling()) {
        QUOR_RETURN_IF_ERROR(AppendRow(record, buffer));
        buffer += '\n';
      }
    }
    // One CDATA section; the serialiser splits it where a value holds "]]>".
    xml::NodePtr csv = doc.createElement("csv");
    csv->appendChild(doc.createCDATASection(buffer));
    outTable->appendChild(csv);
    result->appendChild(outTable);
  }
  output = std::move(result);
  return Status();
}

void CTransCSVImpl::AppendField(std::string& line, std::string_view value) {
  if (value.find_first_of(",\"\r\n") == std::string_view::npos) {
    line += value;
    return;
  }
  line += '"';
  for (char c : value) {
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

Status CTransCSVImpl::AppendHeader(const xml::NodePtr& record, std::string& buffer) {
  if (!record) return Status(kNoRecordNode);
  bool first = true;
  for (xml::NodePtr child = record->firstChild(); child; child = child->nextSibling()) {
    std::optional<std::string> name = child->getAttribute("name");
    if (!name) continue;
    if (!first) buffer += ',';
    first = false;
    AppendField(buffer, *name);
  }
  return Status();
}

Status CTransCSVImpl::AppendRow(const xml::NodePtr& record, std::string& buffer) {
  if (!record) return Status(kNoRecordNode);
  bool first = true;
  for (xml::NodePtr child = record->firstChild(); child; child = child->nextSibling()) {
    if (!xml::IsElement(*child, "column")) continue;
    // Every value is a field, an empty one too: a separator goes between
    // any two, so no column shifts when leading values are empty.
    if (!first) buffer += ',';
    first = false;
    AppendField(buffer, child->text());
  }
  return Status();
}

void CTransCSVStream::StartDocument() { Out() += "<response>"; }

void CTransCSVStream::StartTable(const std::optional<std::string>& name) {
  anyTable_ = true;
  firstRecord_ = true;
  anyData_ = inSection_ = false;
  last_[0] = last_[1] = 0;
  Out() += "<table>";
  AppendTextElement(Out(), "caption", name ? std::string_view(*name) : std::string_view());
  Out() += "<csv>";
}

void CTransCSVStream::Record(std::span<const SourceChild> children) {
  line_.clear();
  bool first = true;
  if (firstRecord_) {
    firstRecord_ = false;
    for (const SourceChild& child : children) {
      if (!child.name) continue;
      if (!first) line_ += ',';
      first = false;
      CTransCSVImpl::AppendField(line_, *child.name);
    }
    line_ += '\n';
    first = true;
  }
  for (const SourceChild& child : children) {
    if (child.tag != "column") continue;
    if (!first) line_ += ',';
    first = false;
    CTransCSVImpl::AppendField(line_, child.text);
  }
  line_ += '\n';
  PutData(line_);
}

void CTransCSVStream::PutData(std::string_view data) {
  std::string& out = Out();
  if (!data.empty()) anyData_ = true;
  while (!data.empty()) {
    const std::size_t stop = data.find_first_of("\r>");
    const std::string_view run = data.substr(0, stop);
    if (!run.empty()) {
      if (!inSection_) out += "<![CDATA[";
      inSection_ = true;
      out += run;
      last_[0] = run.size() > 1 ? run[run.size() - 2] : last_[1];
      last_[1] = run.back();
    }
    if (stop == std::string_view::npos) return;
    const char c = data[stop];
    data.remove_prefix(stop + 1);
    if (c == '\r') {
      if (inSection_) out += "]]>";
      inSection_ = false;
      out += "&#xD;";
    } else {
      // "]]>" cannot stay in one section: it ends after "]]".
      if (inSection_ && last_[0] == ']' && last_[1] == ']') out += "]]><![CDATA[";
      if (!inSection_) out += "<![CDATA[";
      inSection_ = true;
      out += '>';
    }
    last_[0] = last_[1];
    last_[1] = c;
  }
}

void CTransCSVStream::EndTable() {
  if (!anyData_) Out() += "<![CDATA[";
  if (inSection_ || !anyData_) Out() += "]]>";
  Out() += "</csv></table>";
}

void CTransCSVStream::EndDocument() {
  if (!anyTable_) {
    Out().pop_back();
    Out() += "/>";
    return;
  }
  Out() += "</response>";
}

}  // namespace quor::transform
