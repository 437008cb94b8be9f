// The Transformers folder: one row per transformer definition file in the
// service's HomeDir/transform folder. The console works on the files
// directly; the service rereads them on ReLoadTransform.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "admin/snapin/SnapInItem.h"

namespace quor::admin::snapin {

class CTransformersNode;

// One definition file: its six texts, its path and whether it was removed.
class CTransformerItem final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  enum Field { kProgId, kMethod, kSource, kRule, kResult, kDescription, kFieldCount };

  explicit CTransformerItem(CTransformersNode* owner = nullptr);

  // With a path, loads that file (false when it is no XML document); with an
  // empty path, runs the add procedure. True when the item ends with a path.
  bool LoadOrCreate(std::string_view path);
  // Writes the definition file from the six texts; false (with the error
  // box) when it cannot be saved.
  bool Write(std::string_view path) const;

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;
  HRESULT AddMenuItems(console::IContextMenuCallback* callback, long allowed, uint32_t type) override;
  HRESULT Command(long commandId, uint32_t type) override;
  std::string GetResultPaneColInfo(int column) override;

  const std::string& Value(Field field) const { return fields_[field]; }
  void SetValue(Field field, std::string value) { fields_[field] = std::move(value); }
  const std::string& Path() const { return path_; }
  bool Removed() const { return removed_; }


  // The element names of the six texts, in file order.
  static std::string_view ElementName(Field field);

 private:
  bool Load(std::string_view path);
  bool RunAdd();
  void Edit(console::IResultData* result);
  // `proceedUnlessNo`: the host's delete goes on unless the answer is no.
  void Remove(console::IResultData* result, bool proceedUnlessNo);

  CTransformersNode* owner_;
  std::array<std::string, kFieldCount> fields_;
  std::string path_;
  bool removed_ = false;
};

class CTransformersNode final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  static constexpr std::string_view kDescription =
      "[To edit the transformer configuration, double click at the transformer name.]";
  // Names the registration program when set; otherwise quor-regsvr beside
  // the running program, else on PATH.
  static constexpr const char* kRegistrationProgramVariable = "QUOR_REGSVR";

  CTransformersNode();
  ~CTransformersNode() override;

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;
  HRESULT Command(long commandId, uint32_t type) override;

  // Rebuilds the item list from the transform folder.
  void Scan();
  const std::vector<std::unique_ptr<CTransformerItem>>& Items() const { return items_; }
  // The result pane while this node is shown; null otherwise.
  console::IResultData* ShownResult() const;

  // `home` + "/" when needed + "transform/"; empty for an empty home.
  static std::string TransformFolder(std::string_view home);

 protected:
  HRESULT OnShow(console::IConsole& console, bool showing) override;
  HRESULT OnRefresh(console::IConsole& console, std::intptr_t param) override;

 private:
  void InsertRows(console::IResultData& result);

  std::vector<std::unique_ptr<CTransformerItem>> items_;
  console::IConsole* shown_ = nullptr;  // the view showing our rows
};

}  // namespace quor::admin::snapin
