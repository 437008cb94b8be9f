#include "admin/snapin/TableDialogs.h"

#include <algorithm>
#include <utility>

#include "admin/snapin/OleDbSetting.h"
#include "admin/snapin/SnapInModule.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

bool IsIntegerType(oledb::DBTYPE type) {
  switch (type) {
    case oledb::DBTYPE_I1:
    case oledb::DBTYPE_I2:
    case oledb::DBTYPE_I4:
    case oledb::DBTYPE_I8:
    case oledb::DBTYPE_UI1:
      return true;
    default:
      return false;
  }
}

// A key value as the parameter of its column: integers as numbers, so that a
// server with strict types compares them as such; everything else as text.
oledb::Parameter KeyParameter(oledb::DBTYPE type, const std::string& value) {
  if (IsIntegerType(type))
    if (const auto number = text::ParseInt64(value)) return oledb::Parameter::Big(*number);
  return oledb::Parameter::Text(value);
}

}  // namespace

// ---- CTableDataDlg ----------------------------------------------------------------------

CTableDataDlg::CTableDataDlg(COleDbSetting& connection, std::string table)
    : connection_(connection), table_(std::move(table)) {}

CTableDataDlg::~CTableDataDlg() = default;

int CTableDataDlg::DoModal() {
  console::IDialogHost* host = Module::Dialogs();
  return host ? host->RunModal(*this) : console::IDCANCEL;
}

void CTableDataDlg::Open() {
  result_ = 0;
  LoadRows();
}

bool CTableDataDlg::LoadRows() {
  oledb::Session* session = connection_.Session();
  if (!session || data_.Open(*session, table_, schema_) != 1) return false;
  columns_.clear();
  types_.clear();
  for (int i = 0; i < data_.ColumnCount(); ++i) {
    columns_.push_back(data_.ColumnName(i));
    types_.push_back(data_.Columns()[static_cast<size_t>(i)].type);
  }
  rows_.clear();
  nulls_.clear();
  selection_.clear();
  while (data_.MoveNext()) {
    std::vector<std::string> cells(columns_.size());
    std::vector<bool> nulls(columns_.size());
    for (size_t i = 0; i < columns_.size(); ++i) {
      data_.ColumnText(static_cast<int>(i), cells[i]);
      nulls[i] = data_.ColumnIsNull(static_cast<int>(i));
    }
    rows_.push_back(std::move(cells));
    nulls_.push_back(std::move(nulls));
  }
  return true;
}

std::vector<console::PageField> CTableDataDlg::Fields() const {
  std::vector<console::PageField> fields;
  fields.push_back(console::MakeField(std::string(kTabCaption), "", console::FieldKind::ReadOnlyText, "Data"));
  console::PageField grid = console::MakeField(std::string(kGrid), "", console::FieldKind::Grid,
                                               console::GridValue(selection_));
  grid.columns = columns_;
  grid.rows = rows_;
  grid.multiSelect = MultiSelect();
  fields.push_back(std::move(grid));
  AddOwnFields(fields);
  fields.push_back(console::MakeField(std::string(kClose), "Close", console::FieldKind::Button));
  return fields;
}

bool CTableDataDlg::SetValue(std::string_view id, std::string_view value) {
  if (id != kGrid) return false;
  std::vector<size_t> wanted = console::GridSelection(value);
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  // A selection naming rows the list does not have changes nothing.
  if (!wanted.empty() && wanted.back() >= rows_.size()) return false;
  if (wanted.size() > 1 && !MultiSelect()) return false;
  selection_ = std::move(wanted);
  if (!selection_.empty()) OnSelectionChanged();
  return true;
}

bool CTableDataDlg::Press(std::string_view id) {
  if (Ended()) return false;
  if (id == kClose) {
    result_ = console::IDCANCEL;
    return true;
  }
  return PressOwn(id);
}

void CTableDataDlg::Cancel() { result_ = console::IDCANCEL; }

// ---- CDeleteRecordsDlg ------------------------------------------------------------------

void CDeleteRecordsDlg::Open() {
  deleteEnabled_ = false;
  CTableDataDlg::Open();
}

void CDeleteRecordsDlg::OnSelectionChanged() { deleteEnabled_ = true; }

void CDeleteRecordsDlg::AddOwnFields(std::vector<console::PageField>& fields) const {
  fields.push_back(console::MakeField(std::string(kDelete), "Delete", console::FieldKind::Button, "", deleteEnabled_));
}

bool CDeleteRecordsDlg::PressOwn(std::string_view id) {
  if (id != kDelete || !deleteEnabled_) return false;
  DeleteSelected();
  return true;
}

void CDeleteRecordsDlg::DeleteSelected() {
  oledb::Session* session = connection_.Session();
  std::vector<std::string> keys;
  if (session) CTableData::PrimaryKeyColumns(*session, table_, keys);
  if (session && keys.empty()) {
    // Without a key a row cannot be told apart from its equals, and a
    // statement without a condition would take every row.
    CMessageBox::Error(
        text::Format("Error: The table %s has no primary key; its records cannot be deleted one by one.", table_));
    return;
  }
  std::vector<int> keyColumns;
  for (const std::string& key : keys) {
    const auto at = std::find(columns_.begin(), columns_.end(), key);
    keyColumns.push_back(at == columns_.end() ? -1 : static_cast<int>(at - columns_.begin()));
  }
  int deleted = 0;
  if (session)
    for (size_t row : selection_)
      if (DeleteRow(row, keyColumns, keys)) ++deleted;
  if (deleted == 0) {
    CMessageBox::Information("Error: Unable to delete the selected record(s).");
    return;
  }
  CMessageBox::Information(text::Format("%d record(s) deleted.", deleted));
  LoadRows();
  deleteEnabled_ = false;
}

bool CDeleteRecordsDlg::DeleteRow(size_t row, const std::vector<int>& keyColumns,
                                  const std::vector<std::string>& keys) {
  if (row >= rows_.size()) return false;
  std::string sql = "DELETE FROM " + CTableData::QualifiedName(table_, schema_);
  std::vector<oledb::Parameter> params;
  for (size_t k = 0; k < keys.size(); ++k) {
    const int column = keyColumns[k];
    if (column < 0) return false;  // the key is not among the columns shown
    const auto c = static_cast<size_t>(column);
    sql += k == 0 ? " WHERE " : " AND ";
    sql += oledb::QuoteIdentifier(keys[k]);
    if (nulls_[row][c]) {
      sql += " IS NULL";
    } else {
      sql += " = ?";
      params.push_back(KeyParameter(types_[c], rows_[row][c]));
    }
  }
  oledb::Session& session = *connection_.Session();
  if (FAILED(session.StartTransaction())) return false;
  if (CTableData::ExecuteStatement(session, sql, params) != 1) {
    session.Abort();
    return false;
  }
  return SUCCEEDED(session.Commit());
}

// ---- CResetTableDlg ---------------------------------------------------------------------

void CResetTableDlg::Open() {
  resetEnabled_ = true;
  CTableDataDlg::Open();
}

void CResetTableDlg::AddOwnFields(std::vector<console::PageField>& fields) const {
  fields.push_back(console::MakeField(std::string(kReset), "Reset", console::FieldKind::Button, "", resetEnabled_));
}

bool CResetTableDlg::PressOwn(std::string_view id) {
  if (id != kReset || !resetEnabled_) return false;
  Reset();
  return true;
}

void CResetTableDlg::Reset() {
  if (CMessageBox::Warning(text::Format("Are you sure you want to delete every record of %s?", table_)) !=
      console::IDYES)
    return;
  oledb::Session* session = connection_.Session();
  std::vector<oledb::Parameter> none;
  if (!session || CTableData::ExecuteStatement(*session, "DELETE FROM " + CTableData::QualifiedName(table_, schema_),
                                               none) < 0) {
    CMessageBox::Information("Error: Unable to reset the table " + table_);
    return;
  }
  CMessageBox::Information(table_ + " reset.");
  LoadRows();
  resetEnabled_ = false;
}

}  // namespace quor::admin::snapin
