#include "admin/snapin/ServiceDataDlg.h"

#include <algorithm>
#include <utility>

#include "admin/VeltService.h"
#include "admin/snapin/SnapInModule.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

using console::FieldKind;
using console::PageField;

// The element name at the start of an element's XML text.
std::string ElementName(std::string_view xml) {
  if (!xml.starts_with('<')) return {};
  xml.remove_prefix(1);
  return std::string(xml.substr(0, xml.find_first_of(" \t\r\n/>")));
}

}  // namespace

std::vector<ServiceName> ListServiceNames(std::string_view provider, std::string_view dsn, std::string_view catalog,
                                          std::string_view table) {
  CVeltService* service = Module::Service();
  if (!service) return {};
  std::string joined;
  const int count = service->ListNames("get", "column", provider, dsn, catalog, table, joined);
  std::vector<ServiceName> names;
  // ListNames leaves the cursor on the answer's list; the names are read
  // from there rather than split at "," again.
  for (int i = 0; i < count; ++i) {
    ServiceName entry;
    entry.element = ElementName(service->GetChildXml(i));
    if (service->MoveToChild(i) != S_OK) break;
    entry.name = service->GetAttribute("name");
    entry.type = service->GetAttribute("type");
    service->MoveToParent();
    names.push_back(std::move(entry));
  }
  service->MoveToRoot();
  return names;
}

CServiceDataDlg::CServiceDataDlg(std::string_view provider, std::string_view dsn, std::string_view catalog,
                                 std::string_view table)
    : provider_(provider), dsn_(dsn), catalog_(catalog), table_(table) {}

CServiceDataDlg::~CServiceDataDlg() = default;

int CServiceDataDlg::DoModal() {
  console::IDialogHost* host = Module::Dialogs();
  return host ? host->RunModal(*this) : console::IDCANCEL;
}

std::string CServiceDataDlg::DataCaption(int rowCount) {
  return text::Format(rowCount > 1 ? "Data (First %d rows)" : "Data (First %d row)", rowCount);
}

void CServiceDataDlg::Open() {
  result_ = 0;
  const CVeltService* service = Module::Service();
  dataCaption_ = DataCaption(service ? service->GetRowCount() : 5);
  LoadColumns();
  LoadRecords();
}

void CServiceDataDlg::LoadColumns() {
  columns_.clear();
  for (ServiceName& column : ListServiceNames(provider_, dsn_, catalog_, table_)) columns_.push_back(std::move(column.name));
}

// The answer holds the response, the table in it, and the table's records;
// child j of a record is the text of column j. A failed query leaves no rows.
void CServiceDataDlg::LoadRecords() {
  records_.clear();
  selection_.clear();
  CVeltService* service = Module::Service();
  if (!service || !service->QueryTarget("get", "record", provider_, dsn_, catalog_, table_)) return;
  service->MoveToRoot();
  if (service->MoveToChild(0) != S_OK) return;
  if (service->ChildCount() > 0 && service->MoveToChild(0) != S_OK) return;
  const int count = service->ChildCount();
  for (int i = 0; i < count; ++i) {
    if (service->MoveToChild(i) != S_OK) break;
    std::vector<std::string> cells;
    const int fields = service->ChildCount();
    for (int j = 0; j < fields; ++j) cells.push_back(service->GetChildText(j));
    service->MoveToParent();
    records_.push_back(std::move(cells));
  }
  service->MoveToRoot();
}

std::string CServiceDataDlg::CellText(std::string_view column, std::size_t row) const {
  const auto header = std::find(columns_.begin(), columns_.end(), column);
  if (header == columns_.end() || row >= records_.size()) return {};
  const auto index = static_cast<std::size_t>(header - columns_.begin());
  return index < records_[row].size() ? records_[row][index] : std::string();
}

std::vector<PageField> CServiceDataDlg::DataFields() const {
  PageField grid = console::MakeField(std::string(kList), {}, FieldKind::Grid, selection_);
  grid.columns = columns_;
  // Fields beyond the last header have no column to show in.
  for (const std::vector<std::string>& record : records_) {
    const auto shown = std::min(record.size(), columns_.size());
    grid.rows.emplace_back(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(shown));
  }
  return {
      console::MakeField(std::string(kDataCaption), {}, FieldKind::ReadOnlyText, dataCaption_),
      std::move(grid),
      console::MakeField(std::string(kClose), "Close", FieldKind::Button),
  };
}

std::vector<PageField> CServiceDataDlg::Fields() const { return DataFields(); }

bool CServiceDataDlg::SetValue(std::string_view id, std::string_view value) {
  if (Ended() || id != kList) return false;
  const std::vector<std::size_t> rows = console::GridSelection(value);
  if (rows.size() > 1) return false;
  if (!rows.empty() && rows.front() >= records_.size()) return false;
  selection_ = console::GridValue(rows);
  return true;
}

bool CServiceDataDlg::Press(std::string_view id) {
  if (Ended()) return false;
  if (id != kClose) return false;
  OnClose();
  return true;
}

void CServiceDataDlg::Cancel() {
  if (!Ended()) OnClose();
}

void CServiceDataDlg::OnClose() { EndDialog(console::IDCANCEL); }

}  // namespace quor::admin::snapin
