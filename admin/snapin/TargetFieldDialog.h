// The target field dialog: the name and the type of the column one source
// column of a unify rule maps onto.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console/snapin.h"

namespace quor::admin::snapin {

class CTargetFieldDialog final : public console::IModalDialog {
 public:
  // Control ids.
  static constexpr std::string_view kName = "235";
  static constexpr std::string_view kType = "237";
  static constexpr std::string_view kOk = "1";
  static constexpr std::string_view kCancel = "2";
  // Ends with OK and an empty name and type: the caller drops the mapping.
  static constexpr std::string_view kClear = "238";

  // Names and types are cut to this many characters.
  static constexpr std::size_t kMaxChars = 260;

  CTargetFieldDialog(std::string_view targetName, std::string_view targetType);

  // Runs modally through the module's dialog host; IDOK or IDCANCEL.
  int DoModal();
  // The initial values, replaced by the values read when OK ended the dialog.
  const std::string& TargetName() const { return targetName_; }
  const std::string& TargetType() const { return targetType_; }

  // The type names the list offers, in the list's (sorted) order.
  static const std::vector<std::string>& TypeNames();

  std::string Caption() const override { return "Target Field"; }
  void Open() override;
  std::vector<console::PageField> Fields() const override;
  bool SetValue(std::string_view id, std::string_view value) override;
  bool Press(std::string_view id) override;
  void Cancel() override;
  bool Ended() const override { return result_ != 0; }
  int Result() const override { return result_; }

 private:
  void Ok();

  std::string targetName_, targetType_;
  std::string nameField_;
  std::size_t typeIndex_ = 0;
  int result_ = 0;
};

}  // namespace quor::admin::snapin
