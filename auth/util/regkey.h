// An owning registry key whose failures are raised (auth/util/error.h) with
// the registry's own error number as the status, not converted to an
// HRESULT, and the failing call's name as the text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

namespace quor::auth::util {

class RegistryKey {
 public:
  RegistryKey() = default;
  RegistryKey(RegistryKey&&) noexcept = default;
  RegistryKey& operator=(RegistryKey&&) noexcept = default;

  bool IsOpen() const { return key_.IsOpen(); }
  void Close() { key_.Close(); }
  reg::Key& Get() { return key_; }

  // Opens the key, creating it and its missing parents.
  void CreateKey(reg::Hive parent, std::string_view subKey);
  void CreateKey(const RegistryKey& parent, std::string_view subKey);
  void OpenKey(reg::Hive parent, std::string_view subKey);
  void OpenKey(const RegistryKey& parent, std::string_view subKey);
  // Removes the key with all its subkeys. Success and ERROR_FILE_NOT_FOUND are
  // returned; other errors are raised as HRESULTs.
  static long DeleteKey(reg::Hive parent, std::string_view subKey);
  // Another handle on the same key.
  RegistryKey DuplicateKeyHandle() const;

  // A REG_DWORD of four bytes; any other type raises
  // ERROR_DATATYPE_MISMATCH (1629).
  void GetValue(std::string_view name, uint32_t& value) const;
  // A REG_SZ or REG_EXPAND_SZ (not expanded); other types raise 1629.
  void GetValue(std::string_view name, std::string& value) const;
  void SetValue(std::string_view name, uint32_t value);
  void SetValue(std::string_view name, reg::ValueType type, std::string_view text);
  // ERROR_FILE_NOT_FOUND is returned, not raised.
  long DeleteValue(std::string_view name);
  // Every value in the key's order.
  std::vector<reg::NamedValue> EnumValues() const;
  uint32_t GetValueCount() const;
  // The key's last-write stamp (nanoseconds since the epoch).
  uint64_t GetLastWriteTime() const;

 private:
  reg::Key key_;
};

}  // namespace quor::auth::util
