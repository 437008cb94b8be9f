// Raising inside the authentication service: errors name the Auth class as
// their source (its programmatic identifier, once the class is registered).
#pragma once

#include <source_location>
#include <string_view>

#include "auth/ids.h"
#include "auth/util/error.h"

namespace quor::auth {

[[noreturn]] inline void Raise(HRESULT code, std::string_view text = {},
                               std::source_location where = std::source_location::current()) {
  util::Raise(code, kAuthClsid, text, where);
}

}  // namespace quor::auth
