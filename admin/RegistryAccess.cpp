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
  if (!k.Open(reg::Hive::LocalMachine, FullPath(key)).ok()) return 0;
  const auto number = k.GetDword(name);
  return number.ok() ? *number : 0;
}

std::string RegistryAccess::ReadNumberText(std::string_view key, std::string_view name) const {
  reg::Key k;
  if (!k.Open(reg::Hive::LocalMachine, FullPath(key)).ok()) return {};
  const auto number = k.GetDword(name);
  return std::to_string(number.ok() ? *number : 0);
}

bool RegistryAccess::WriteNumber(std::string_view key, std::string_view name, std::string_view decimal) const {
  const std::optional<uint32_t> number = text::ParseUInt32(decimal);
  if (!number) return false;
  reg::Key k;
  return k.Create(reg::Hive::LocalMachine, FullPath(key)).ok() && k.SetDword(name, *number).ok();
}

std::string RegistryAccess::ReadText(std::string_view key, std::string_view name) const {
  reg::Key k;
  if (!k.Open(reg::Hive::LocalMachine, FullPath(key)).ok()) return {};
  auto value = k.GetString(name);
  if (!value.ok()) return {};
  return std::move(*value);
}

bool RegistryAccess::WriteText(std::string_view key, std::string_view name, std::string_view value) const {
  if (value.find('\0') != std::string_view::npos) return false;
  reg::Key k;
  return k.Create(reg::Hive::LocalMachine, FullPath(key)).ok() && k.SetString(name, value).ok();
}

std::string RegistryAccess::ListSubkeys(std::string_view fullPath) const {
  reg::Key k;
  if (!k.Open(reg::Hive::LocalMachine, fullPath).ok()) return {};
  const auto names = k.EnumSubKeys();
  if (!names.ok()) return {};
  std::string joined;
  for (const auto& name : *names) {
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
  if (!classes.Open(reg::Hive::ClassesRoot, "").ok()) return {};
  for (uint32_t i = 0;; ++i) {
    auto name = classes.EnumSubKey(i);
    if (!name.ok()) break;
    if (std::string_view(*name).substr(0, base.size()) == base) return std::move(*name);
  }
  return {};
}

}  // namespace quor::admin
