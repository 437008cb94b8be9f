// The input and save-configuration dialog models belong to the console host
// (its Qt dialogs sit on them); the console's pages reach them by these names.
#pragma once

#include "admin/settings/DialogTypes.h"
#include "platform/console/InputDialog.h"

namespace quor::admin {

using console::CompleteConfigFileName;
using console::InputDialog;
using console::SaveConfigDialog;

}  // namespace quor::admin
