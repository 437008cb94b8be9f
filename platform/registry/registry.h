// The file-backed registry.
//
// Keys live under three hives and hold typed values. Key and value names
// compare without case and keep the case they were first written with; values
// enumerate in the order they were first written, subkeys in the order they
// were created. Everything is kept in one text file in the registry export
// format so that people can read and edit it (the layout is described at the
// top of registry.cpp).
//
// Every call reports a Status (a Result when it reads something) whose code is
// HRESULT_FROM_WIN32 of one of the platform's error numbers (ERROR_FILE_NOT_FOUND
// for a missing key or value, ERROR_BADDB for a damaged file, ...); callers
// test them with IsNotFound or Win32Error.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/win32_error.h"
#include "platform/com/status.h"

namespace quor::reg {

using quor::ERROR_ACCESS_DENIED;
using quor::ERROR_BADDB;
using quor::ERROR_CANTWRITE;
using quor::ERROR_FILE_NOT_FOUND;
using quor::ERROR_INVALID_DATA;
using quor::ERROR_INVALID_HANDLE;
using quor::ERROR_INVALID_PARAMETER;
using quor::ERROR_KEY_DELETED;
using quor::ERROR_MORE_DATA;
using quor::ERROR_NO_MORE_ITEMS;
using quor::ERROR_SUCCESS;
// A value exists but has another type than the one asked for.
inline constexpr long ERROR_DATATYPE_MISMATCH = 1629;

// A status carrying one of the numbers above (success for ERROR_SUCCESS).
inline Status Win32Status(long error, std::string message = {}) {
  return error == ERROR_SUCCESS ? Status() : Status(HRESULT_FROM_WIN32(error), std::move(message));
}
// The platform's number a registry status carries (ERROR_SUCCESS for success).
inline long Win32Error(const Status& status) {
  if (status.ok()) return ERROR_SUCCESS;
  return HRESULT_FACILITY(status.code()) == FACILITY_WIN32 ? static_cast<long>(HRESULT_CODE(status.code()))
                                                           : static_cast<long>(status.code());
}
template <typename T>
long Win32Error(const Result<T>& result) {
  return Win32Error(result.status());
}
// A missing key or value.
inline bool IsNotFound(const Status& status) { return status.code() == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND); }

enum class Hive { LocalMachine, ClassesRoot, CurrentUser };

// "HKEY_LOCAL_MACHINE", "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER".
std::string_view HiveName(Hive hive);
// The full names above (any case) and the short forms HKLM, HKCR, HKCU.
std::optional<Hive> ParseHive(std::string_view name);

// The platform's value type numbers.
enum class ValueType : uint32_t {
  None = 0,
  String = 1,        // REG_SZ
  ExpandString = 2,  // REG_EXPAND_SZ (never expanded here)
  Binary = 3,        // REG_BINARY
  Dword = 4,         // REG_DWORD, little-endian
  MultiString = 7,   // REG_MULTI_SZ
};

// A value as the registry holds it: its type and its bytes. Texts are UTF-8
// (the narrow code page) with their terminating NUL, as the platform's narrow
// calls hand them out; a multi-string is NUL-separated with a final extra NUL.
struct Value {
  ValueType type = ValueType::None;
  std::vector<uint8_t> data;

  static Value String(std::string_view text);
  static Value ExpandString(std::string_view text);
  static Value Dword(uint32_t number);
  static Value MultiString(std::span<const std::string> texts);
  static Value Binary(std::span<const uint8_t> bytes);

  // The typed readings; nullopt when the type does not match (a string type
  // reads up to its first NUL; a DWORD needs exactly four bytes).
  std::optional<std::string> AsString() const;  // String or ExpandString
  std::optional<uint32_t> AsDword() const;
  std::optional<std::vector<std::string>> AsMultiString() const;

  bool operator==(const Value&) const = default;
};

struct NamedValue {
  std::string name;  // empty for the key's default value
  Value value;
};

// One registry file. Reads see the file's current content (it is read again
// whenever it changed on disk); every write happens under an exclusive lock on
// "<file>.lock", re-reads the file, and replaces it atomically. Thread-safe.
class Registry {
 public:
  explicit Registry(std::filesystem::path file);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // The registry named by $QUOR_REGISTRY (or kDefaultPath when unset). One
  // instance per path for the life of the process.
  static Registry& Default();
  static constexpr std::string_view kDefaultPath = "/etc/quor/registry.reg";

  const std::filesystem::path& Path() const;

  // Success when the file is missing or loads; ERROR_BADDB when it is damaged,
  // with the reason as the message (e.g. "<file>: line 7: bad hex data").
  Status Check();

  // Removes a key with all its subkeys and values.
  Status DeleteKeyTree(Hive hive, std::string_view path);

  struct State;  // the loaded tree and its file identity (registry.cpp)

 private:
  friend class Key;
  std::unique_ptr<State> state_;
};

// A handle on one key: a hive and a path with '\' separators (an empty path
// is the hive itself). The handle holds no file resource; every call looks the
// key up again, so a key deleted meanwhile (by this or another process) gives
// ERROR_KEY_DELETED.
class Key {
 public:
  Key() = default;
  explicit Key(Registry& registry) : registry_(&registry) {}
  Key(Key&& other) noexcept;
  Key& operator=(Key&& other) noexcept;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() { Close(); }

  // Opens an existing key: ERROR_FILE_NOT_FOUND when it does not exist.
  Status Open(Hive hive, std::string_view path);
  Status Open(const Key& parent, std::string_view subPath);
  // Opens the key, creating it and any missing parent on the way.
  Status Create(Hive hive, std::string_view path, bool* created = nullptr);
  Status Create(const Key& parent, std::string_view subPath, bool* created = nullptr);
  void Close();
  bool IsOpen() const { return open_; }

  Hive GetHive() const { return hive_; }
  // The key's path with the case stored in the registry.
  const std::string& Path() const { return path_; }

  // Reading. A missing value gives ERROR_FILE_NOT_FOUND; a value of another
  // type ERROR_DATATYPE_MISMATCH. String reads accept String and ExpandString.
  Result<Value> GetValue(std::string_view name) const;
  Result<std::string> GetString(std::string_view name) const;
  Result<uint32_t> GetDword(std::string_view name) const;
  Result<std::vector<std::string>> GetMultiString(std::string_view name) const;
  Result<std::vector<uint8_t>> GetBinary(std::string_view name) const;

  // Writing. A new value goes to the end of the key's list; an existing one
  // keeps its place (and the case of its name).
  Status SetValue(std::string_view name, const Value& value);
  Status SetString(std::string_view name, std::string_view text);
  Status SetExpandString(std::string_view name, std::string_view text);
  Status SetDword(std::string_view name, uint32_t number);
  Status SetMultiString(std::string_view name, std::span<const std::string> texts);
  Status SetBinary(std::string_view name, std::span<const uint8_t> bytes);
  Status DeleteValue(std::string_view name);
  // Removes the subkey (a relative path, not empty) with everything below it.
  Status DeleteSubKeyTree(std::string_view subPath);

  Result<std::vector<std::string>> EnumSubKeys() const;
  Result<std::vector<NamedValue>> EnumValues() const;
  // By position, for callers that walk from index 0 until
  // ERROR_NO_MORE_ITEMS.
  Result<std::string> EnumSubKey(uint32_t index) const;
  Result<NamedValue> EnumValue(uint32_t index) const;
  // The key's last-write stamp, in nanoseconds since the epoch. It grows on
  // every change of the key's values or of its list of subkeys, whichever
  // process made it.
  Result<uint64_t> LastWrite() const;

 private:
  Registry& Reg() const { return registry_ ? *registry_ : Registry::Default(); }

  Registry* registry_ = nullptr;
  bool open_ = false;
  Hive hive_ = Hive::LocalMachine;
  std::string path_;
};

}  // namespace quor::reg
