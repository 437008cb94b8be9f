// The maintenance dialogs of one repository table, read and changed directly
// over the console's own connection: CTableDataDlg shows every row,
// CDeleteRecordsDlg deletes the selected rows by their primary key and
// CResetTableDlg empties the table. All three are models the host draws.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "admin/snapin/TableData.h"
#include "platform/console/snapin.h"

namespace quor::admin::snapin {

class COleDbSetting;

class CTableDataDlg : public console::IModalDialog {
 public:
  // Control ids.
  static constexpr std::string_view kGrid = "218";
  static constexpr std::string_view kTabCaption = "220";
  static constexpr std::string_view kClose = "230";

  // `connection` is not owned and must outlive the dialog.
  CTableDataDlg(COleDbSetting& connection, std::string table);
  ~CTableDataDlg() override;

  // Runs modally through the module's dialog host; always 2 (IDCANCEL when
  // there is no host and nothing ran).
  int DoModal();

  // The rows as last loaded: their texts, and which cells were NULL.
  const std::vector<std::string>& ColumnNames() const { return columns_; }
  const std::vector<std::vector<std::string>>& Rows() const { return rows_; }

  std::string Caption() const override { return table_; }
  void Open() override;
  std::vector<console::PageField> Fields() const override;
  bool SetValue(std::string_view id, std::string_view value) override;
  bool Press(std::string_view id) override;
  void Cancel() override;
  bool Ended() const override { return result_ != 0; }
  int Result() const override { return result_; }

 protected:
  // Reads every row again; false (and the list as it was) when the table
  // cannot be read.
  bool LoadRows();
  virtual bool MultiSelect() const { return false; }
  virtual void OnSelectionChanged() {}
  // The dialog's own button; false when `id` is none of its buttons.
  virtual bool PressOwn(std::string_view /*id*/) { return false; }
  virtual void AddOwnFields(std::vector<console::PageField>& /*fields*/) const {}

  COleDbSetting& connection_;
  std::string table_;
  std::string schema_;  // empty: the statements name the table alone
  CTableData data_;
  std::vector<std::string> columns_;
  std::vector<oledb::DBTYPE> types_;
  std::vector<std::vector<std::string>> rows_;
  std::vector<std::vector<bool>> nulls_;  // nulls_[row][column]
  std::vector<std::size_t> selection_;    // ascending row indices
  int result_ = 0;
};

class CDeleteRecordsDlg final : public CTableDataDlg {
 public:
  static constexpr std::string_view kDelete = "228";

  using CTableDataDlg::CTableDataDlg;

  bool DeleteEnabled() const { return deleteEnabled_; }

  void Open() override;

 protected:
  bool MultiSelect() const override { return true; }
  void OnSelectionChanged() override;
  bool PressOwn(std::string_view id) override;
  void AddOwnFields(std::vector<console::PageField>& fields) const override;

 private:
  void DeleteSelected();
  // Deletes the row by its key inside a transaction that is kept only when
  // exactly that one row went.
  bool DeleteRow(std::size_t row, const std::vector<int>& keyColumns, const std::vector<std::string>& keys);

  bool deleteEnabled_ = false;
};

class CResetTableDlg final : public CTableDataDlg {
 public:
  static constexpr std::string_view kReset = "501";

  using CTableDataDlg::CTableDataDlg;

  bool ResetEnabled() const { return resetEnabled_; }

  void Open() override;

 protected:
  bool PressOwn(std::string_view id) override;
  void AddOwnFields(std::vector<console::PageField>& fields) const override;

 private:
  void Reset();

  bool resetEnabled_ = true;
};

}  // namespace quor::admin::snapin
