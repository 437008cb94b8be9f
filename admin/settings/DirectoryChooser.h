// The chooser model belongs to the console host (its Qt chooser sits on it);
// the console's pages reach it by these names.
#pragma once

#include "admin/settings/DialogTypes.h"
#include "platform/console/DirectoryChooser.h"

namespace quor::admin {

using console::ChooserEntry;
using console::DirectoryChooser;
using console::FolderPath;

}  // namespace quor::admin
