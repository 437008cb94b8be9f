// Helpers the content store's source files share; not part of its interface.
#pragma once

#include <string_view>

#include "core/store/CollabDBConnectImpl_Detail.h"

namespace quor::core::vo {

inline constexpr std::string_view kClass = "CVODBConnectImpl";

using collab::AclElement;
using collab::Column;
using collab::Kw;
using collab::Now;
using collab::ResultOk;
using collab::RootAnswer;
using collab::SameText;
using collab::Value;
using collab::View;

inline bool Missing(const com::Bstr& text) { return text.IsNull() || text.Empty(); }

}  // namespace quor::core::vo
