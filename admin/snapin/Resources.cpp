#include "admin/snapin/Resources.h"

namespace quor::admin::snapin {

namespace {

struct StringEntry {
  int id;
  std::string_view text;
};

constexpr StringEntry kStrings[] = {
    {IDS_DESCRIPTION, "QuorAdmin Description"},
    {IDS_PROVIDER, "QuorAdmin Provider"},
    {IDS_VERSION, "QuorAdmin Version 1.0"},
    {ID_RELOAD_CONFIG, "Reload Configuration Files"},
    {ID_RELOAD_TRANSFORM, "Reload Transformer Files"},
    {ID_RELOAD_UNIFY, "Reload Unify Tables"},
    {ID_NEW_DATABASE_CONNECTION, "New Database Connection"},
    {ID_NEW_NATIVE_DB, "New Native DB"},
    {ID_ADD_TRANSFORMER, "Add Transformer"},
    {ID_REMOVE, "Remove"},
    {ID_ADD_USER, "Add User"},
};

constexpr MenuEntry kRootTask[] = {
    {"&Reload Configuration Files", ID_RELOAD_CONFIG},
    {"&Reload Transformer Files", ID_RELOAD_TRANSFORM},
    {"&Reload Unify Tables", ID_RELOAD_UNIFY},
};
constexpr MenuEntry kDatabasesTop[] = {{"&New Database Connection", ID_NEW_DATABASE_CONNECTION}};
constexpr MenuEntry kNativeDbTop[] = {{"&New Native DB", ID_NEW_NATIVE_DB}};
constexpr MenuEntry kTransformersTop[] = {{"&Add Transformer", ID_ADD_TRANSFORMER}};
constexpr MenuEntry kRemoveTop[] = {{"&Remove", ID_REMOVE}};
constexpr MenuEntry kUsersTop[] = {{"&Add User", ID_ADD_USER}};

const MenuResource kMenus[] = {
    {IDR_ROOT_MENU, {{{}, {}, kRootTask, {}}}},
    {IDR_NO_COMMANDS_MENU, {}},
    {IDR_DATABASES_MENU, {{kDatabasesTop, {}, {}, {}}}},
    {IDR_NATIVEDB_MENU, {{kNativeDbTop, {}, {}, {}}}},
    {IDR_TRANSFORMERS_MENU, {{kTransformersTop, {}, {}, {}}}},
    {IDR_REMOVE_MENU, {{kRemoveTop, {}, {}, {}}}},
    {IDR_USERS_MENU, {{kUsersTop, {}, {}, {}}}},
};

}  // namespace

const MenuResource* FindMenu(int id) {
  for (const MenuResource& menu : kMenus)
    if (menu.id == id) return &menu;
  return nullptr;
}

std::string_view LoadString(int id) {
  for (const StringEntry& entry : kStrings)
    if (entry.id == id) return entry.text;
  return {};
}

}  // namespace quor::admin::snapin
