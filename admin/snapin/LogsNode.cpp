#include "admin/snapin/LogsNode.h"

#include "admin/VeltService.h"
#include "admin/snapin/ItemPropertyPage.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"
#include "admin/snapin/VeskNode.h"

namespace quor::admin::snapin {

namespace {

constexpr std::array<ResultColumn, 5> kColumns = {{{"ID", 100, false},
                                                 {"Date and Time", 100, false},
                                                 {"Operation", 100, false},
                                                 {"Target", 200, false},
                                                 {"Description", 300, true}}};

// The record child shown in each column, and the one naming the user.
constexpr std::array<int, 5> kColumnChild = {0, 5, 2, 3, 1};
constexpr int kUserChild = 6;

}  // namespace

// ---- CLogEntryItem ------------------------------------------------------------------------

const NodeIdentity CLogEntryItem::kIdentity{
    "EAE65C05-E204-4B57-84AA-23671732B809", "Log", IDR_NO_COMMANDS_MENU, 8, 2, true};

CLogEntryItem::CLogEntryItem(std::array<std::string, 5> texts)
    : CSnapInItem(texts[0], kIdentity), texts_(std::move(texts)) {}

HRESULT CLogEntryItem::Notify(uint32_t event, std::intptr_t arg, std::intptr_t, CQuorAdminMMC* componentData,
                              CQuorAdminMMCComponent* component, uint32_t) {
  if (event == console::MMCN_SELECT) EnablePropertiesOnSelect(arg, componentData, component);
  return event == console::MMCN_EXPAND || event == console::MMCN_SHOW ? S_OK : E_NOTIMPL;
}

std::vector<std::unique_ptr<console::IPropertyPage>> CLogEntryItem::MakePages() {
  std::vector<CItemPropertyPage::Line> lines;
  for (size_t column = 0; column < texts_.size(); ++column)
    lines.push_back({std::string(kColumns[column].title), texts_[column]});
  std::vector<std::unique_ptr<console::IPropertyPage>> pages;
  pages.push_back(std::make_unique<CItemPropertyPage>(std::string(kIdentity.dataName), std::move(lines)));
  return pages;
}

std::string CLogEntryItem::GetResultPaneColInfo(int column) {
  Module::SetResultPaneFlag(0);
  return column >= 0 && column < static_cast<int>(texts_.size()) ? texts_[static_cast<size_t>(column)] : std::string();
}

// ---- CLogsNode ----------------------------------------------------------------------------

const NodeIdentity CLogsNode::kIdentity{"447B303D-4A9D-4694-AA47-8E3D61A4B65C", "Logs", IDR_NO_COMMANDS_MENU, 7};

CLogsNode::CLogsNode(std::string userName) : CSnapInItem("Logs", kIdentity), user_(std::move(userName)) {}

CLogsNode::~CLogsNode() = default;

bool CLogsNode::Fetch() {
  items_.clear();
  if (!CallService("GetCategoryLogbyUser", {{"opuser", user_}, {"category", "application"}})) return false;
  CVeltService& answer = *Module::Service();
  answer.MoveToRoot();
  const int count = answer.ChildCount();
  for (int i = 0; i < count; ++i) {
    answer.MoveToRoot();
    if (FAILED(answer.MoveToChild(i))) continue;
    // The service selects by user already; this keeps the list to the node's
    // user whatever the answer holds.
    if (!SameUserName(answer.GetChildText(kUserChild), user_)) continue;
    std::array<std::string, 5> texts;
    for (size_t column = 0; column < texts.size(); ++column) texts[column] = answer.GetChildText(kColumnChild[column]);
    items_.push_back(std::make_unique<CLogEntryItem>(std::move(texts)));
  }
  answer.MoveToRoot();
  return true;
}

void CLogsNode::DeleteRows(console::IResultData& result) {
  for (auto& item : items_) item->DeleteRow(result);
}

void CLogsNode::InsertRows(console::IResultData& result) {
  for (auto& item : items_) item->InsertRow(result);
}

HRESULT CLogsNode::OnShow(console::IConsole& console, bool showing) {
  return ShowItemRows(console, showing, items_, nullptr, kColumns, "", [&](console::IResultData& result) {
    // Rows of an earlier fetch still shown go before their items do.
    DeleteRows(result);
    Fetch();
    InsertRows(result);
  });
}

HRESULT CLogsNode::OnRefresh(console::IConsole& console, std::intptr_t) {
  console::IResultData* result = console.ResultData();
  if (!result) return E_UNEXPECTED;
  DeleteRows(*result);
  Fetch();
  InsertRows(*result);
  return S_OK;
}

}  // namespace quor::admin::snapin
