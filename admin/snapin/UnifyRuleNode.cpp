#include "admin/snapin/UnifyRuleNode.h"

#include <array>

#include "admin/VeltService.h"
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"
#include "admin/snapin/UnifyRuleEditor.h"

namespace quor::admin::snapin {

namespace {

constexpr std::string_view kItemNodeType = "BDBD40C5-D470-4AEE-9DF0-D0F8372288EA";
constexpr int kFolderImage = 3;

struct KindTraits {
  std::string_view kind;
  std::string_view content;
  int image;
};
// Anything not listed here is treated as "Tables".
constexpr std::array<KindTraits, 4> kKinds = {{{"Views", "view", 6},
                                               {"Stored Procedures", "procedure", 8},
                                               {"Alias", "alias", 20},
                                               {"Synonym", "synonym", 22}}};
constexpr KindTraits kTables{"Tables", "column", 4};

const KindTraits& TraitsOf(std::string_view kind) {
  for (const KindTraits& traits : kKinds)
    if (traits.kind == kind) return traits;
  return kTables;
}

NodeIdentity ItemIdentity(std::string_view kind) {
  const int image = TraitsOf(kind).image;
  return NodeIdentity{kItemNodeType, "Table", IDR_NO_COMMANDS_MENU, image, image, true};
}

constexpr std::array<ResultColumn, 5> kColumns = {{{"Name", 200, false},
                                                 {"Provider", 100, false},
                                                 {"DSN", 100, false},
                                                 {"Catalog/Schema", 100, false},
                                                 {"Description", 200, true}}};

console::IConsole* ConsoleOf(CQuorAdminMMC* componentData, CQuorAdminMMCComponent* component) {
  return componentData ? componentData->Console() : component ? component->Console() : nullptr;
}

}  // namespace

// ---- CUnifyTableItem ----------------------------------------------------------------------

CUnifyTableItem::CUnifyTableItem(std::string provider, std::string dsn, std::string catalog, std::string name,
                                 std::string kind)
    : CSnapInItem(name, ItemIdentity(kind)),
      name_(std::move(name)),
      provider_(std::move(provider)),
      dsn_(std::move(dsn)),
      catalog_(std::move(catalog)),
      kind_(std::move(kind)) {}

HRESULT CUnifyTableItem::Notify(uint32_t event, std::intptr_t, std::intptr_t, CQuorAdminMMC*, CQuorAdminMMCComponent*,
                                uint32_t) {
  switch (event) {
    case console::MMCN_DBLCLICK:
      // Only tables carry a unify rule; the kind is compared as given.
      if (kind_ == "Tables") RunUnifyRuleEditor(provider_, dsn_, catalog_, name_);
      return E_NOTIMPL;
    case console::MMCN_EXPAND:
    case console::MMCN_SHOW:
      return S_OK;
    default:
      return E_NOTIMPL;
  }
}

std::string CUnifyTableItem::GetResultPaneColInfo(int column) {
  Module::SetResultPaneFlag(0);
  switch (column) {
    case 0:
      return name_;
    case 1:
      return provider_;
    case 2:
      return dsn_;
    case 3:
      return catalog_;
    case 4:
      return description_;
    default:
      return {};
  }
}

// ---- CUnifyRuleNode -----------------------------------------------------------------------

const NodeIdentity CUnifyRuleNode::kIdentity{"0CFF68D3-F538-472F-88C3-4FD02D1857F1", "Tables", IDR_NO_COMMANDS_MENU,
                                             kFolderImage};

CUnifyRuleNode::CUnifyRuleNode(std::string kind, std::string provider, std::string dsn, std::string catalog)
    : CSnapInItem(kind, kIdentity),
      kind_(std::move(kind)),
      provider_(std::move(provider)),
      dsn_(std::move(dsn)),
      catalog_(std::move(catalog)) {
  std::string list;
  if (CVeltService* service = Module::Service())
    if (service->ListNames("get", ContentOf(kind_), provider_, dsn_, catalog_, "", list) < 0) list.clear();
  for (std::string& name : SplitNames(list))
    items_.push_back(std::make_unique<CUnifyTableItem>(provider_, dsn_, catalog_, std::move(name), kind_));
}

CUnifyRuleNode::~CUnifyRuleNode() = default;

std::string_view CUnifyRuleNode::ContentOf(std::string_view kind) { return TraitsOf(kind).content; }

int CUnifyRuleNode::ItemImageOf(std::string_view kind) { return TraitsOf(kind).image; }

std::vector<std::string> CUnifyRuleNode::SplitNames(std::string_view list) {
  std::vector<std::string> names;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    if (comma == std::string_view::npos || comma == 0) {
      names.emplace_back(list);
      break;
    }
    names.emplace_back(list.substr(0, comma));
    list.remove_prefix(comma + 1);
  }
  return names;
}

void CUnifyRuleNode::SetFolderImage(int image) {
  scopeData_.image = image;
  scopeData_.openImage = image;
}

HRESULT CUnifyRuleNode::Show(console::IConsole& console, bool showing) {
  console::IResultData* result = console.ResultData();
  if (!result) return E_UNEXPECTED;
  if (!showing) {
    result->DeleteAllRsltItems();
    for (auto& item : items_) item->ForgetRow();
    return S_OK;
  }
  result->SetDescBarText(TraitsOf(kind_).kind == "Tables" ? kTablesDescription : std::string_view());
  InsertColumns(console.HeaderCtrl(), kColumns);
  for (auto& item : items_) item->InsertRow(*result);
  return S_OK;
}

HRESULT CUnifyRuleNode::Notify(uint32_t event, std::intptr_t arg, std::intptr_t, CQuorAdminMMC* componentData,
                               CQuorAdminMMCComponent* component, uint32_t) {
  switch (event) {
    case console::MMCN_EXPAND:
      return S_OK;
    case console::MMCN_SHOW: {
      console::IConsole* console = ConsoleOf(componentData, component);
      return console ? Show(*console, arg != 0) : E_UNEXPECTED;
    }
    default:
      return E_NOTIMPL;
  }
}

}  // namespace quor::admin::snapin
