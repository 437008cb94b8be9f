// The snap-in's two image strips, bitmaps 102 (16 by 16 images) and 103 (32
// by 32): drawings of our own, one per image index the nodes use, on the
// strips' transparent colour.
#pragma once

#include "platform/console/snapin.h"

namespace quor::admin::snapin {

// Images 0 to 22: every index a node or row names, and the few between.
inline constexpr int kStripImageCount = 23;

// The strip of bitmap `resourceId` with its pixels; for an id the module
// has no bitmap of, the id alone (no pixels).
console::ImageStrip LoadStrip(int resourceId);

}  // namespace quor::admin::snapin
