#include "admin/RegistryAccess.h"

#include <optional>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace quor::admin {

namespace {

std::string FullPath(std::string_view key) {
  std::string path = "Software\\Velt";
  if (!key.empty()) (path += '\\') += key;
  return path;
}

}  // namespace

uint32_t RegistryAccess::ReadNumber(std::string_view key, std::string_view name) const {
  reg::Key k;
  uint32_t number = 0;
  if (k.Open(reg::Hive::LocalMachine, FullPath(key)) != reg::ERROR_SUCCESS) return 0;
  return k.GetDword(name, number) == reg::ERROR_SUCCESS ? number : 0;
}

std::string RegistryAccess::ReadNumberText(std::string_view key, std::string_view name) const {
  reg::Key k;
  if (k.Open(reg::Hive::LocalMachine, FullPath(key)) != reg::ERROR_SUCCESS) return {};
  uint32_t number = 0;
  if (k.GetDword(name, number) != reg::ERROR_SUCCESS) number = 0;
  return std::to_string(number);
}

bool RegistryAccess::WriteNumber(std::string_view key, std::string_view name, std::string_view decimal) const {
  const std::optional<uint32_t> number = text::ParseUInt32(decimal);
  if (!number) return false;
  reg::Key k;
  return k.Create(reg::Hive::LocalMachine, FullPath(key)) == reg::ERROR_SUCCESS &&
         k.SetDword(name, *number) == reg::ERROR_SUCCESS;
}

std::string RegistryAccess::ReadText(std::string_view key, std::string_view name) const {
  reg::Key k;
  std::string value;
  if (k.Open(reg::Hive::LocalMachine, FullPath(key)) != reg::ERROR_SUCCESS) return {};
  if (k.GetString(name, value) != reg::ERROR_SUCCESS) return {};
  return value;
}

bool RegistryAccess::WriteText(std::string_view key, std::string_view name, std::string_view value) const {
  if (value.find('\0') != std::string_view::npos) return false;
  reg::Key k;
  return k.Create(reg::Hive::LocalMachine, FullPath(key)) == reg::ERROR_SUCCESS &&
         k.SetString(name, value) == reg::ERROR_SUCCESS;
}

std::string RegistryAccess::ListSubkeys(std::string_view fullPath) const {
  reg::Key k;
  std::vector<std::string> names;
  if (k.Open(reg::Hive::LocalMachine, fullPath) != reg::ERROR_SUCCESS || k.EnumSubKeys(names) != reg::ERROR_SUCCESS)
    return {};
  std::string joined;
  for (const auto& name : names) {
    if (!joined.empty()) joined += ',';
    joined += name;
  }
  return joined;
}

std::string FindProgIdKey(std::string_view path) {
  std::string_view base = path;
  if (const size_t slash = base.find_last_of("\\/"); slash != std::string_view::npos) base.remove_prefix(slash + 1);
  if (const size_t dot = base.rfind('.'); dot != std::string_view::npos) base = base.substr(0, dot);
  // Every key begins with the empty text: a path without a base name names no class.
  if (base.empty()) return {};
  reg::Key classes;
  if (classes.Open(reg::Hive::ClassesRoot, "") != reg::ERROR_SUCCESS) return {};
  std::string name;
  for (uint32_t i = 0; classes.EnumSubKey(i, name) == reg::ERROR_SUCCESS; ++i)
    if (std::string_view(name).substr(0, base.size()) == base) return name;
  return {};
}

}  // namespace quor::admin
