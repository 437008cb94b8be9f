#include "accessor/legacy_db_fault.h"

#include <cstdint>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/text/text.h"
#include "platform/xml/escape.h"

namespace quor::accessor {
namespace {

// The accessor's own texts, by code - 0x82000000 + 110.
constexpr struct {
  unsigned id;
  std::string_view text;
} kStrings[] = {
    {100, "QuorAccessor"},
    {113, "The exception happened in parsing config content."},
    {114, "The exception happened in Legacy database accessing."},
    {115, "The exception happened in transaction processing."},
    {119, "The installed config file has invalid root tag."},
    {133, "The query argument is invalid."},
    {136, "The from Table is not specified."},
    {137, "The Update table is not specified."},
    {138, "The into Table is not specified."},
    {139, "The value content is not specified."},
    {140, "The set content is not specified."},
    {141, "Non supported tag is used in query argument."},
    {142, "The specified table does not exist."},
    {144, "The query argument is invalid as SQL statement."},
    {145, "The query argument is empty."},
    {146, "The value of group tag is invalid."},
    {147, "The value of order tag is invalid."},
    {148, "The value of option tag is invlaid."},
    {150, "The initialization of OLEDB properties was failed."},
    {151, "The specified target doesn't exist."},
    {152, "The specified stored procedure doesn't exist."},
    {153, "The content of set tag is invalid."},
    {154, "The content of value tag is invalid."},
    {155, "The content of rowcount tag is invalid."},
    {156, "XML Loading was failed."},
};

}  // namespace

std::string FaultDescription(HRESULT code) {
  const auto bits = static_cast<std::uint32_t>(code);
  if (HRESULT_FACILITY(code) == FACILITY_WIN32) {
    if (auto message = com::SystemMessageText(HRESULT_CODE(code))) return *message;
    return text::Format("Error %X", bits);
  }
  if ((bits & 0x80040E00u) == 0x80040E00u) return text::Format("OLEDB Error :0x%X", bits);
  // Only the accessor's own codes have texts of ours: a foreign status that
  // shares their low bits must not borrow one.
  if ((bits & 0xFFFF0000u) == 0x82000000u) {
    const unsigned id = (bits & 0xFFFFu) + 110;
    for (const auto& entry : kStrings) {
      if (entry.id == id) return std::string(entry.text);
    }
  }
  return text::Format("QuorAccessor Error :0x%X", bits);
}

std::string CreateLegacyDBFaultResult(HRESULT code) {
  std::string out = "<fault><faultactor>ILegacyDBAccessor</faultactor><detail><ErrorInfo><number>";
  out += std::to_string(code);
  out += "</number><description>";
  xml::AppendEscaped(out, FaultDescription(code));
  out += "</description></ErrorInfo></detail></fault>";
  return out;
}

}  // namespace quor::accessor
