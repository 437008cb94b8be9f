#include "platform/com/guid.h"

#include "platform/text/text.h"

namespace quor::com {

std::string Guid::Format() const {
  return text::Format("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1, data2, data3, data4[0], data4[1],
                      data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
}

std::u16string Guid::FormatWide() const { return text::Widen(Format()); }

}  // namespace quor::com
