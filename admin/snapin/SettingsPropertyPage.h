// The root node's "Registry Setting" page as the console host sees it: the
// service settings page's controls offered as fields, edits passed through,
// Apply checked and written by the page model.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "admin/RegistryAccess.h"
#include "admin/settings/ServiceSettingsPage.h"
#include "platform/console/snapin.h"

namespace quor::admin::snapin {

class CServiceSettingsPropertyPage final : public console::IPropertyPage {
 public:
  // Fills from the registry at once, as the page does when it opens.
  explicit CServiceSettingsPropertyPage(RegistryAccess registry = {});

  std::string Title() const override;
  std::vector<console::PageField> Fields() const override;
  bool SetValue(std::string_view id, std::string_view value) override;
  // The "..." buttons: the host's folder chooser, opening on the edit's text.
  bool Press(std::string_view id) override;
  bool Changed() const override { return page_.Modified(); }
  console::PageApplyResult Apply() override;

 private:
  ServiceSettingsPage page_;
};

}  // namespace quor::admin::snapin
