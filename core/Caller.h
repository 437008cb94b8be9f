// The calling user as the request frame resolved it before any store runs:
// the name its request was signed with, whether it is an administrator, and
// the groups it belongs to (at every depth). Stores judge rights from this
// value alone, so no directory look-up runs while a store's gate is held.
#pragma once

#include <string_view>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/text/text.h"

namespace quor::core {

struct Caller {
  com::Bstr name;
  bool administrator = false;
  std::vector<com::Bstr> groups;
  // Directory names match without case; the registry's group lists match
  // exactly.
  bool groupsIgnoreCase = false;

  bool InGroup(std::u16string_view group) const {
    for (const auto& g : groups) {
      if (groupsIgnoreCase ? text::EqualsNoCase(g.View(), group) : g.View() == group) return true;
    }
    return false;
  }
};

}  // namespace quor::core
