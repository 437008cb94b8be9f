#include "admin/snapin/ItemPropertyPage.h"

#include <utility>

namespace quor::admin::snapin {

CItemPropertyPage::CItemPropertyPage(std::string title, std::vector<Line> lines)
    : title_(std::move(title)), lines_(std::move(lines)) {}

std::vector<console::PageField> CItemPropertyPage::Fields() const {
  std::vector<console::PageField> fields;
  fields.reserve(lines_.size());
  for (size_t i = 0; i < lines_.size(); ++i)
    fields.push_back(
        console::MakeField(std::to_string(i), lines_[i].label, console::FieldKind::ReadOnlyText, lines_[i].value));
  return fields;
}

}  // namespace quor::admin::snapin
