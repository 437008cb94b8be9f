#include "platform/console/snapin.h"

#include <cstdio>

#include "platform/text/text.h"

namespace quor::console {

std::vector<uint8_t> WideBytes(std::string_view text) {
  const std::u16string wide = text::Widen(text);
  std::vector<uint8_t> out;
  out.reserve((wide.size() + 1) * 2);
  for (char16_t c : wide) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::vector<uint8_t> GuidBytes(const com::Guid& guid) {
  std::vector<uint8_t> out;
  out.reserve(16);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(guid.data1 >> shift));
  for (int shift = 0; shift < 16; shift += 8) out.push_back(static_cast<uint8_t>(guid.data2 >> shift));
  for (int shift = 0; shift < 16; shift += 8) out.push_back(static_cast<uint8_t>(guid.data3 >> shift));
  out.insert(out.end(), guid.data4.begin(), guid.data4.end());
  return out;
}

std::string TextFromWideBytes(std::span<const uint8_t> bytes) {
  if (bytes.size() % 2 != 0) return {};
  std::u16string wide;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    if (c == 0) break;
    wide.push_back(c);
  }
  return text::Narrow(wide);
}

std::vector<size_t> GridSelection(std::string_view value) {
  std::vector<size_t> rows;
  while (!value.empty()) {
    const size_t comma = value.find(',');
    const std::string_view part = value.substr(0, comma);
    if (const auto number = text::ParseInt64(part); number && *number >= 0) rows.push_back(static_cast<size_t>(*number));
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return rows;
}

std::string GridValue(const std::vector<size_t>& rows) {
  std::string value;
  for (size_t row : rows) {
    if (!value.empty()) value += ',';
    value += std::to_string(row);
  }
  return value;
}

std::string NotificationName(uint32_t event) {
  switch (event) {
    case MMCN_ACTIVATE:
      return "MMCN_ACTIVATE";
    case MMCN_ADD_IMAGES:
      return "MMCN_ADD_IMAGES";
    case MMCN_BTN_CLICK:
      return "MMCN_BTN_CLICK";
    case MMCN_CLICK:
      return "MMCN_CLICK";
    case MMCN_COLUMN_CLICK:
      return "MMCN_COLUMN_CLICK";
    case MMCN_CONTEXTMENU:
      return "MMCN_CONTEXTMENU";
    case MMCN_DBLCLICK:
      return "MMCN_DBLCLICK";
    case MMCN_DELETE:
      return "MMCN_DELETE";
    case MMCN_EXPAND:
      return "MMCN_EXPAND";
    case MMCN_PROPERTY_CHANGE:
      return "MMCN_PROPERTY_CHANGE";
    case MMCN_REFRESH:
      return "MMCN_REFRESH";
    case MMCN_REMOVE_CHILDREN:
      return "MMCN_REMOVE_CHILDREN";
    case MMCN_RENAME:
      return "MMCN_RENAME";
    case MMCN_SELECT:
      return "MMCN_SELECT";
    case MMCN_SHOW:
      return "MMCN_SHOW";
    case MMCN_VIEW_CHANGE:
      return "MMCN_VIEW_CHANGE";
    default:
      break;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(event));
  return text;
}

}  // namespace quor::console
