// The first rows of one table of a service data source, read through the
// service (never from the database itself): its columns and at most the
// client's row count of records.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console/snapin.h"

namespace quor::admin::snapin {

// One entry of a name listing of the service: its "name" and "type"
// attributes and its element name ("catalog", "schema", "column", ...).
struct ServiceName {
  std::string name, type, element;
};

// The service's name listing ("get", "column") for the level the four texts
// give, read from the answer itself so that a name holding "," stays whole;
// empty when there is no client or the query failed.
std::vector<ServiceName> ListServiceNames(std::string_view provider, std::string_view dsn, std::string_view catalog,
                                          std::string_view table);

class CServiceDataDlg : public console::IModalDialog {
 public:
  // Control ids.
  static constexpr std::string_view kDataCaption = "220";
  static constexpr std::string_view kList = "218";
  static constexpr std::string_view kClose = "230";

  CServiceDataDlg(std::string_view provider, std::string_view dsn, std::string_view catalog, std::string_view table);
  ~CServiceDataDlg() override;

  // Runs modally through the module's dialog host; the dialog's result.
  int DoModal();

  // The text of a cell under the column headed exactly `column`; empty when
  // no header matches or the row is not there.
  std::string CellText(std::string_view column, std::size_t row) const;
  const std::vector<std::string>& Columns() const { return columns_; }
  const std::vector<std::vector<std::string>>& Records() const { return records_; }
  // "Data (First 5 rows)", "Data (First 1 row)".
  static std::string DataCaption(int rowCount);

  std::string Caption() const override { return table_; }
  void Open() override;
  std::vector<console::PageField> Fields() const override;
  bool SetValue(std::string_view id, std::string_view value) override;
  bool Press(std::string_view id) override;
  void Cancel() override;
  bool Ended() const override { return result_ != 0; }
  int Result() const override { return result_; }

 protected:
  // The fields of the data page: its caption, the record grid and Close.
  std::vector<console::PageField> DataFields() const;
  void LoadColumns();
  void LoadRecords();
  // Close and Cancel of the viewer; a derived dialog replaces them.
  virtual void OnClose();
  void EndDialog(int result) { result_ = result; }

  const std::string& Provider() const { return provider_; }
  const std::string& Dsn() const { return dsn_; }
  const std::string& Catalog() const { return catalog_; }
  const std::string& Table() const { return table_; }

 private:
  std::string provider_, dsn_, catalog_, table_;
  std::string dataCaption_;
  std::vector<std::string> columns_;
  std::vector<std::vector<std::string>> records_;
  std::string selection_;
  int result_ = 0;
};

}  // namespace quor::admin::snapin
