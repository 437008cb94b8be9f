// The Native DB folder: the service's own repository tables, reached
// directly over the connection file under HomeDir/config whose service role
// is VODB. One row per table with its status; double-clicking a ready table
// opens its maintenance dialog.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "admin/snapin/SnapInItem.h"

namespace quor::admin::snapin {

class COleDbSetting;

class CRepositoryDBItem final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  static constexpr std::string_view kUnknown = "Unknown";
  static constexpr std::string_view kConnectionError = "Connection Error";
  static constexpr std::string_view kTableNotFound = "Table Not Found";
  static constexpr std::string_view kReady = "Ready";
  static constexpr std::string_view kPageTitle = "MMCNodeDB";

  enum Kind { kView = 0, kDeleteRecords = 1, kResetTable = 2 };

  // Opens the connection file, or (with an empty one) asks for a new
  // connection and writes its file; then checks that the table exists.
  CRepositoryDBItem(std::string objectName, std::string connectionFile, std::string tableName,
                    std::string description);
  ~CRepositoryDBItem() override;

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;
  std::string GetResultPaneColInfo(int column) override;

  // Opens the maintenance dialog of the table, or tells the status when the
  // table is not ready.
  void Maintain();

  const std::string& ObjectName() const { return displayName_; }
  const std::string& Description() const { return description_; }
  const std::string& TableName() const { return tableName_; }
  const std::string& Status() const { return status_; }
  const std::string& ConnectionFile() const { return connectionFile_; }
  int MaintenanceKind() const { return kind_; }
  void SetMaintenanceKind(int kind) { kind_ = kind; }
  // Whether the set-up wrote a new connection file.
  bool Written() const { return written_; }
  COleDbSetting* Connection() const { return connection_.get(); }

  // Inserts the row with the image of its table.
  HRESULT InsertRow(console::IResultData& result, int image);

 protected:
  // "MMCNodeDB": the row's four texts and the connection file, read-only.
  std::vector<std::unique_ptr<console::IPropertyPage>> MakePages() override;

 private:
  // False when the set-up failed (the caller shows the error box).
  bool SetUp();
  bool DescribeNew();
  void CheckTable();

  std::string description_;
  std::string tableName_;
  std::string listedTable_;  // the table's name as the database lists it
  std::string status_{kUnknown};
  std::string connectionFile_;
  int kind_ = kView;
  bool written_ = false;
  std::string provider_, dataSource_, catalog_;
  std::unique_ptr<COleDbSetting> connection_;
};

class CNativeDBNode final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  static constexpr std::string_view kDescription =
      "[To maintain the repository, double click at the repository object.]";
  enum Slot { kContent, kResource, kCollaboration, kLog, kSlotCount };

  // Finds the repository connection file and makes its items.
  CNativeDBNode();
  ~CNativeDBNode() override;

  HRESULT Command(long commandId, uint32_t type) override;

  CRepositoryDBItem* Item(Slot slot) const { return items_[slot].get(); }

 protected:
  long MenuItemState(long commandId) override;
  HRESULT OnShow(console::IConsole& console, bool showing) override;
  HRESULT OnRefresh(console::IConsole& console, std::intptr_t param) override;

 private:
  void Discover();
  void InsertRows(console::IResultData& result);
  void NewNativeDB();

  std::array<std::unique_ptr<CRepositoryDBItem>, kSlotCount> items_;
  std::string tableName_;                // the table of an item made by New Native DB
  console::IConsole* shown_ = nullptr;  // the view showing our rows
};

}  // namespace quor::admin::snapin
