#include "transform/gridpage/xhtml_convert.h"

#include "transform/common/conversion.h"
#include "transform/common/fault.h"

namespace quor::transform {

namespace {

xml::NodePtr Cell(xml::Document& doc, std::string_view tag, std::string_view text) {
  xml::NodePtr cell = doc.createElement(tag);
  cell->setText(text);
  return cell;
}

}  // namespace

Status CTransXHTMLImpl::Convert(xml::Document& source, xml::NodePtr& output) const {
  output = nullptr;
  xml::NodePtr result = source.createElement("response");
  xml::NodePtr html = source.createElement("html");
  result->appendChild(html);
  xml::NodePtr response = ResponseElement(source);
  if (!response) return Status(kInvalidSource);
  for (xml::NodePtr table = response->firstChild(); table; table = table->nextSibling()) {
    if (!xml::IsElement(*table, "table")) return Status(kInvalidSource);
    xml::NodePtr outTable = source.createElement("table");
    outTable->setAttribute("border", "1");
    xml::NodePtr caption;
    QUOR_RETURN_IF_ERROR(BuildCaption(source, table, caption));
    outTable->appendChild(caption);
    if (xml::NodePtr first = table->firstChild()) {
      xml::NodePtr row;
      QUOR_RETURN_IF_ERROR(BuildHeaderRow(source, first, row));
      outTable->appendChild(row);
      for (xml::NodePtr record = first; record; record = record->nextSibling()) {
        QUOR_RETURN_IF_ERROR(BuildDataRow(source, record, row));
        outTable->appendChild(row);
      }
    }
    html->appendChild(outTable);
  }
  output = std::move(result);
  return Status();
}

Status CTransXHTMLImpl::BuildHeaderRow(xml::Document& doc, const xml::NodePtr& record, xml::NodePtr& row) {
  if (!record) return Status(kNoRecordNode);
  row = doc.createElement("tr");
  for (xml::NodePtr child = record->firstChild(); child; child = child->nextSibling())
    if (std::optional<std::string> name = child->getAttribute("name")) row->appendChild(Cell(doc, "th", *name));
  return Status();
}

Status CTransXHTMLImpl::BuildDataRow(xml::Document& doc, const xml::NodePtr& record, xml::NodePtr& row) {
  if (!record) return Status(kNoRecordNode);
  row = doc.createElement("tr");
  for (xml::NodePtr child = record->firstChild(); child; child = child->nextSibling())
    if (xml::IsElement(*child, "column")) row->appendChild(Cell(doc, "td", child->text()));
  return Status();
}

void CTransXHTMLStream::StartDocument() { Out() += "<response><html>"; }

void CTransXHTMLStream::StartTable(const std::optional<std::string>& name) {
  anyTable_ = true;
  firstRecord_ = true;
  Out() += "<table border=\"1\">";
  AppendTextElement(Out(), "caption", name ? std::string_view(*name) : std::string_view());
}

void CTransXHTMLStream::Record(std::span<const SourceChild> children) {
  std::string& out = Out();
  // A row without cells is written "<tr/>".
  const auto row = [&](auto&& cells) {
    const std::size_t start = out.size();
    out += "<tr>";
    cells();
    if (out.size() == start + 4) {
      out.resize(start);
      out += "<tr/>";
    } else {
      out += "</tr>";
    }
  };
  if (firstRecord_) {
    firstRecord_ = false;
    row([&] {
      for (const SourceChild& child : children)
        if (child.name) AppendTextElement(out, "th", *child.name);
    });
  }
  row([&] {
    for (const SourceChild& child : children)
      if (child.tag == "column") AppendTextElement(out, "td", child.text);
  });
}

void CTransXHTMLStream::EndTable() { Out() += "</table>"; }

void CTransXHTMLStream::EndDocument() {
  if (!anyTable_) {
    Out().resize(Out().size() - 1);
    Out() += "/>";
  }
  Out() += anyTable_ ? "</html></response>" : "</response>";
}

}  // namespace quor::transform
