// The dialog types live with the console host, whose Qt dialogs draw them;
// the console's pages keep using them under their admin names.
#pragma once

#include "platform/console/DialogTypes.h"

namespace quor::admin {

using console::kIdCancel;
using console::kIdOk;
using console::Notice;
using console::Rect;

}  // namespace quor::admin
