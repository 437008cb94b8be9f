#include "platform/com/bstr.h"

#include "platform/text/text.h"

namespace quor::com {

Bstr Bstr::FromUtf8(std::string_view utf8) { return Bstr(text::Widen(utf8)); }

std::string Bstr::ToUtf8() const { return text::Narrow(text_); }

}  // namespace quor::com
