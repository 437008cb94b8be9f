#include "admin/snapin/TableData.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <utility>

namespace quor::admin::snapin {

namespace {

constexpr int kTextWidthLimit = 260;
constexpr int kOtherWidth = 20;

bool IsText(oledb::DBTYPE type) {
  return type == oledb::DBTYPE_STR || type == oledb::DBTYPE_WSTR || type == static_cast<oledb::DBTYPE>(8);
}

std::string TextOf(const odbc::Value& value) {
  switch (value.kind) {
    case odbc::Value::Kind::Null: return {};
    case odbc::Value::Kind::Integer: return std::to_string(value.integer);
    case odbc::Value::Kind::Double: {
      std::array<char, 32> buffer{};
      const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value.real);
      return ec == std::errc() ? std::string(buffer.data(), end) : std::string();
    }
    case odbc::Value::Kind::Text:
    case odbc::Value::Kind::Binary: return value.text;
  }
  return {};
}

std::string Field(const oledb::Rowset& rows, std::string_view column) {
  odbc::Value value;
  return SUCCEEDED(rows.Get(column, value)) ? TextOf(value) : std::string();
}

}  // namespace

CTableData::CTableData() = default;
CTableData::~CTableData() = default;

int CTableData::LoadColumns(oledb::Session& session, std::string_view table) {
  columns_.clear();
  rows_.reset();
  onRow_ = false;
  oledb::Restrictions restrictions;
  if (!schema_.empty()) restrictions.schema = schema_;
  restrictions.name = std::string(table);
  std::unique_ptr<oledb::Rowset> rows;
  if (FAILED(session.GetSchemaRowset(oledb::Schema::Columns, restrictions, rows))) return 1;
  // The listing takes the name as a pattern ("_" matches any character), and
  // without a schema it may list a same-named table of several schemas: keep
  // the table named exactly, in the first schema listed.
  std::optional<std::string> listedSchema;
  while (rows->Next() == S_OK) {
    if (Field(*rows, "TABLE_NAME") != table) continue;
    const std::string rowSchema = Field(*rows, "TABLE_SCHEMA");
    if (!listedSchema) listedSchema = rowSchema;
    if (rowSchema != *listedSchema) continue;
    CColumnInfo column;
    column.name = Field(*rows, "COLUMN_NAME");
    odbc::Value value;
    if (SUCCEEDED(rows->Get("DATA_TYPE", value)) && value.kind == odbc::Value::Kind::Integer)
      column.type = static_cast<oledb::DBTYPE>(value.integer);
    column.width = kOtherWidth;
    if (IsText(column.type)) {
      int64_t length = 0;
      if (SUCCEEDED(rows->Get("CHARACTER_MAXIMUM_LENGTH", value)) && value.kind == odbc::Value::Kind::Integer)
        length = value.integer;
      // A text without a stated length (TEXT, CLOB) gets the widest column.
      column.width = length <= 0 ? kTextWidthLimit : static_cast<int>(std::min<int64_t>(length, kTextWidthLimit));
    }
    columns_.push_back(std::move(column));
  }
  return 1;
}

int CTableData::Open(oledb::Session& session, std::string_view table, std::string_view schema) {
  schema_ = std::string(schema);
  LoadColumns(session, table);
  if (FAILED(session.Execute("SELECT * FROM " + QualifiedName(table, schema), rows_))) {
    rows_.reset();
    return 0;
  }
  // The statement's own columns are what the rows hold; should the schema
  // listing disagree (a name it could not find), they take its place.
  const auto& selected = rows_->Columns();
  bool same = selected.size() == columns_.size();
  for (size_t i = 0; same && i < selected.size(); ++i) same = selected[i].name == columns_[i].name;
  if (!same) {
    columns_.clear();
    for (const oledb::Column& c : selected) {
      CColumnInfo column;
      column.name = c.name;
      column.type = c.type;
      column.width = IsText(c.type) ? (c.size == 0 ? kTextWidthLimit
                                                   : static_cast<int>(std::min<uint64_t>(c.size, kTextWidthLimit)))
                                    : kOtherWidth;
      columns_.push_back(std::move(column));
    }
  }
  return 1;
}

bool CTableData::MoveNext() {
  onRow_ = rows_ && rows_->Next() == S_OK;
  return onRow_;
}

int CTableData::ColumnCount() const { return static_cast<int>(columns_.size()); }

std::string CTableData::ColumnName(int index) const {
  return index >= 0 && index < ColumnCount() ? columns_[static_cast<size_t>(index)].name : std::string();
}

int CTableData::ColumnWidth(int index) const {
  return index >= 0 && index < ColumnCount() ? columns_[static_cast<size_t>(index)].width : 0;
}

bool CTableData::ColumnText(int index, std::string& text) const {
  text.clear();
  if (!onRow_ || index < 0 || index >= ColumnCount()) return false;
  odbc::Value value;
  if (FAILED(rows_->Get(static_cast<size_t>(index), value))) return false;
  text = TextOf(value);
  return true;
}

bool CTableData::ColumnIsNull(int index) const {
  if (!onRow_ || index < 0 || index >= ColumnCount()) return false;
  odbc::Value value;
  return SUCCEEDED(rows_->Get(static_cast<size_t>(index), value)) && value.IsNull();
}

int CTableData::PrimaryKeyColumns(oledb::Session& session, std::string_view table, std::vector<std::string>& keys) {
  keys.clear();
  oledb::Restrictions restrictions;
  restrictions.name = std::string(table);
  std::unique_ptr<oledb::Rowset> rows;
  if (table.empty() || FAILED(session.GetSchemaRowset(oledb::Schema::PrimaryKeys, restrictions, rows))) return 0;
  std::vector<std::pair<int64_t, std::string>> ordered;
  std::optional<std::string> listedSchema;
  while (rows->Next() == S_OK) {
    const std::string rowSchema = Field(*rows, "TABLE_SCHEMA");
    if (!listedSchema) listedSchema = rowSchema;
    if (rowSchema != *listedSchema) continue;
    odbc::Value ordinal;
    const int64_t position =
        SUCCEEDED(rows->Get("ORDINAL", ordinal)) && ordinal.kind == odbc::Value::Kind::Integer ? ordinal.integer : 0;
    ordered.emplace_back(position, Field(*rows, "COLUMN_NAME"));
  }
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [position, name] : ordered) keys.push_back(std::move(name));
  return static_cast<int>(keys.size());
}

int64_t CTableData::ExecuteStatement(oledb::Session& session, std::string_view sql,
                                     std::vector<oledb::Parameter>& params) {
  std::unique_ptr<oledb::Rowset> result;
  if (FAILED(session.Execute(sql, params, result))) return -1;
  return result && result->RowsAffected() > 0 ? result->RowsAffected() : 0;
}

std::string CTableData::QualifiedName(std::string_view table, std::string_view schema) {
  if (schema.empty()) return oledb::QuoteIdentifier(table);
  return oledb::QuoteIdentifier(schema) + "." + oledb::QuoteIdentifier(table);
}

}  // namespace quor::admin::snapin
