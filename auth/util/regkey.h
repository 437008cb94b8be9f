// An owning registry key whose failures are statuses made by Fail
// (auth/util/error.h): the registry's number as a failing status
// (0x80070000 | number) with the failing call's name as the text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/status.h"
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
  Status CreateKey(reg::Hive parent, std::string_view subKey);
  Status CreateKey(const RegistryKey& parent, std::string_view subKey);
  Status OpenKey(reg::Hive parent, std::string_view subKey);
  Status OpenKey(const RegistryKey& parent, std::string_view subKey);
  // Removes the key with all its subkeys: ERROR_SUCCESS, or
  // ERROR_FILE_NOT_FOUND when there was none; other errors fail.
  static Result<long> DeleteKey(reg::Hive parent, std::string_view subKey);
  // Another handle on the same key.
  Result<RegistryKey> DuplicateKeyHandle() const;

  // A REG_DWORD of four bytes; any other type fails with
  // ERROR_DATATYPE_MISMATCH (1629).
  Status GetValue(std::string_view name, uint32_t& value) const;
  // A REG_SZ or REG_EXPAND_SZ (not expanded); other types fail with 1629.
  Status GetValue(std::string_view name, std::string& value) const;
  Status SetValue(std::string_view name, uint32_t value);
  Status SetValue(std::string_view name, reg::ValueType type, std::string_view text);
  // ERROR_SUCCESS, or ERROR_FILE_NOT_FOUND when there was no such value.
  Result<long> DeleteValue(std::string_view name);
  // Every value in the key's order.
  Result<std::vector<reg::NamedValue>> EnumValues() const;
  Result<uint32_t> GetValueCount() const;
  // The key's last-write stamp (nanoseconds since the epoch).
  Result<uint64_t> GetLastWriteTime() const;

 private:
  reg::Key key_;
};

}  // namespace quor::auth::util
