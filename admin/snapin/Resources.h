// The snap-in's resources: bitmaps, the string table and the context menus,
// kept as data so that node logic reads them as it would a resource module.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace quor::admin::snapin {

// Image strips: 16 by 16 and 32 by 32 images, cyan as the transparent colour.
inline constexpr int IDB_SMALL_STRIP = 102;
inline constexpr int IDB_LARGE_STRIP = 103;
inline constexpr uint32_t kStripMask = 0xFFFF00;  // RGB(0, 255, 255)

// String table entries used outside the menus.
inline constexpr int IDS_DESCRIPTION = 106;
inline constexpr int IDS_PROVIDER = 107;
inline constexpr int IDS_VERSION = 108;

// Menu resources.
inline constexpr int IDR_ROOT_MENU = 104;
inline constexpr int IDR_NO_COMMANDS_MENU = 206;
inline constexpr int IDR_DATABASES_MENU = 208;
inline constexpr int IDR_NATIVEDB_MENU = 216;
inline constexpr int IDR_TRANSFORMERS_MENU = 221;
inline constexpr int IDR_REMOVE_MENU = 225;
inline constexpr int IDR_USERS_MENU = 261;

// Commands.
inline constexpr long ID_RELOAD_CONFIG = 32776;
inline constexpr long ID_RELOAD_TRANSFORM = 32777;
inline constexpr long ID_RELOAD_UNIFY = 32778;
inline constexpr long ID_NEW_DATABASE_CONNECTION = 32785;
inline constexpr long ID_ADD_TRANSFORMER = 32800;
inline constexpr long ID_REMOVE = 32802;
inline constexpr long ID_NEW_NATIVE_DB = 32793;
inline constexpr long ID_ADD_USER = 32825;

struct MenuEntry {
  std::string_view text;
  long commandId = 0;
  bool isText = true;  // separators and pop-ups are not
};

// The four pop-ups of a context menu, in the order TOP, NEW, TASK, VIEW.
struct MenuResource {
  int id = 0;
  std::array<std::span<const MenuEntry>, 4> popups;
};

// Null when the module has no such menu.
const MenuResource* FindMenu(int id);
// Empty when the table has no such entry.
std::string_view LoadString(int id);

}  // namespace quor::admin::snapin
