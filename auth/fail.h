// Failures inside the authentication service: they name the Auth class as
// their source (its programmatic identifier, once the class is registered).
#pragma once

#include <source_location>
#include <string_view>

#include "auth/ids.h"
#include "auth/util/error.h"

namespace quor::auth {

inline Status Fail(HRESULT code, std::string_view text = {},
                   std::source_location where = std::source_location::current()) {
  return util::Fail(code, kAuthClsid, text, where);
}

}  // namespace quor::auth
