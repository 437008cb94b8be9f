// One table of a database read directly over a COleDbSetting's session: its
// columns from the schema, its rows as text, its primary key, and the
// statements the maintenance dialogs send (values always bound as
// parameters).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/oledb/oledb.h"

namespace quor::admin::snapin {

struct CColumnInfo {
  std::string name;
  oledb::DBTYPE type = oledb::DBTYPE_WSTR;
  int width = 0;  // display width in characters
};

class CTableData {
 public:
  CTableData();
  ~CTableData();

  // The table's columns from the schema; an unknown table gives none.
  int LoadColumns(oledb::Session& session, std::string_view table);
  // Runs "SELECT * FROM <table>" (schema-qualified when `schema` is not
  // empty, names quoted); 1 when it ran.
  int Open(oledb::Session& session, std::string_view table, std::string_view schema = {});
  // True while a next row was fetched.
  bool MoveNext();
  int ColumnCount() const;
  std::string ColumnName(int index) const;
  int ColumnWidth(int index) const;
  // The current row's whole text of that column (empty for NULL); false
  // when there is no such column or no current row.
  bool ColumnText(int index, std::string& text) const;
  // Whether the current row's value of that column is NULL.
  bool ColumnIsNull(int index) const;
  const std::vector<CColumnInfo>& Columns() const { return columns_; }

  // The primary-key columns of `table`, in key order.
  static int PrimaryKeyColumns(oledb::Session& session, std::string_view table, std::vector<std::string>& keys);
  // Runs one statement with its parameters; the rows it changed, or -1 when
  // it failed.
  static int64_t ExecuteStatement(oledb::Session& session, std::string_view sql,
                                  std::vector<oledb::Parameter>& params);
  // "<schema>.<table>" or "<table>", each name quoted for SQL.
  static std::string QualifiedName(std::string_view table, std::string_view schema = {});

 private:
  std::vector<CColumnInfo> columns_;
  std::unique_ptr<oledb::Rowset> rows_;
  bool onRow_ = false;
  std::string schema_;  // the schema Open was given; LoadColumns restricts to it
};

}  // namespace quor::admin::snapin
