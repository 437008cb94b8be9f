// The property page of a result item that only shows what the item holds:
// one read-only line per value, nothing to apply.
#pragma once

#include <string>
#include <vector>

#include "platform/console/snapin.h"

namespace quor::admin::snapin {

class CItemPropertyPage final : public console::IPropertyPage {
 public:
  struct Line {
    std::string label;
    std::string value;
  };
  // The fields' ids are the lines' positions, from "0".
  CItemPropertyPage(std::string title, std::vector<Line> lines);

  std::string Title() const override { return title_; }
  std::vector<console::PageField> Fields() const override;

 private:
  std::string title_;
  std::vector<Line> lines_;
};

}  // namespace quor::admin::snapin
