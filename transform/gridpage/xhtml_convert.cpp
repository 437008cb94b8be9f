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

HRESULT CTransXHTMLImpl::Convert(xml::Document& source, xml::NodePtr& output) const {
  output = nullptr;
  xml::NodePtr result = source.createElement("response");
  xml::NodePtr html = source.createElement("html");
  result->appendChild(html);
  xml::NodePtr response = ResponseElement(source);
  if (!response) return kInvalidSource;
  for (xml::NodePtr table = response->firstChild(); table; table = table->nextSibling()) {
    if (!IsElement(*table, "table")) return kInvalidSource;
    xml::NodePtr outTable = source.createElement("table");
    outTable->setAttribute("border", "1");
    xml::NodePtr caption;
    if (HRESULT hr = BuildCaption(source, table, caption); FAILED(hr)) return hr;
    outTable->appendChild(caption);
    if (xml::NodePtr first = table->firstChild()) {
      xml::NodePtr row;
      if (HRESULT hr = BuildHeaderRow(source, first, row); FAILED(hr)) return hr;
      outTable->appendChild(row);
      for (xml::NodePtr record = first; record; record = record->nextSibling()) {
        if (HRESULT hr = BuildDataRow(source, record, row); FAILED(hr)) return hr;
        outTable->appendChild(row);
      }
    }
    html->appendChild(outTable);
  }
  output = std::move(result);
  return S_OK;
}

HRESULT CTransXHTMLImpl::BuildHeaderRow(xml::Document& doc, const xml::NodePtr& record, xml::NodePtr& row) {
  if (!record) return kNoRecordNode;
  row = doc.createElement("tr");
  for (xml::NodePtr child = record->firstChild(); child; child = child->nextSibling())
    if (std::optional<std::string> name = child->getAttribute("name")) row->appendChild(Cell(doc, "th", *name));
  return S_OK;
}

HRESULT CTransXHTMLImpl::BuildDataRow(xml::Document& doc, const xml::NodePtr& record, xml::NodePtr& row) {
  if (!record) return kNoRecordNode;
  row = doc.createElement("tr");
  for (xml::NodePtr child = record->firstChild(); child; child = child->nextSibling())
    if (IsElement(*child, "column")) row->appendChild(Cell(doc, "td", child->text()));
  return S_OK;
}

}  // namespace quor::transform
