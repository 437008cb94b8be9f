#include "auth/util/regkey.h"

#include "auth/util/error.h"

namespace quor::auth::util {
namespace {

// The registry's number as this service's status for a failed call.
Status Failed(long number, std::string_view call) { return Fail(StatusFromSystemError(number), call); }

Status Check(const Status& status, std::string_view call) {
  return status.ok() ? Status() : Failed(reg::Win32Error(status), call);
}

}  // namespace

Status RegistryKey::CreateKey(reg::Hive parent, std::string_view subKey) {
  reg::Key key;
  QUOR_RETURN_IF_ERROR(Check(key.Create(parent, subKey), "RegCreateKeyEx"));
  key_ = std::move(key);
  return Status();
}

Status RegistryKey::CreateKey(const RegistryKey& parent, std::string_view subKey) {
  reg::Key key;
  QUOR_RETURN_IF_ERROR(Check(key.Create(parent.key_, subKey), "RegCreateKeyEx"));
  key_ = std::move(key);
  return Status();
}

Status RegistryKey::OpenKey(reg::Hive parent, std::string_view subKey) {
  reg::Key key;
  QUOR_RETURN_IF_ERROR(Check(key.Open(parent, subKey), "RegOpenKeyEx"));
  key_ = std::move(key);
  return Status();
}

Status RegistryKey::OpenKey(const RegistryKey& parent, std::string_view subKey) {
  reg::Key key;
  QUOR_RETURN_IF_ERROR(Check(key.Open(parent.key_, subKey), "RegOpenKeyEx"));
  key_ = std::move(key);
  return Status();
}

Result<long> RegistryKey::DeleteKey(reg::Hive parent, std::string_view subKey) {
  const long rc = reg::Win32Error(reg::Registry::Default().DeleteKeyTree(parent, subKey));
  if (rc != reg::ERROR_SUCCESS && rc != reg::ERROR_FILE_NOT_FOUND) return Failed(rc, "SHDeleteKey");
  return rc;
}

Result<RegistryKey> RegistryKey::DuplicateKeyHandle() const {
  RegistryKey copy;
  const long rc =
      key_.IsOpen() ? reg::Win32Error(copy.key_.Open(key_.GetHive(), key_.Path())) : reg::ERROR_INVALID_HANDLE;
  if (rc != reg::ERROR_SUCCESS) return Failed(rc, "DuplicateHandle");
  return copy;
}

Status RegistryKey::GetValue(std::string_view name, uint32_t& out) const {
  Result<reg::Value> read = key_.GetValue(name);
  QUOR_RETURN_IF_ERROR(Check(read.status(), "getValue(DWORD)"));
  const reg::Value& value = *read;
  std::optional<uint32_t> number = value.AsDword();
  if (value.type != reg::ValueType::Dword || !number) return Failed(reg::ERROR_DATATYPE_MISMATCH, "getValue(DWORD");
  out = *number;
  return Status();
}

Status RegistryKey::GetValue(std::string_view name, std::string& out) const {
  Result<reg::Value> read = key_.GetValue(name);
  QUOR_RETURN_IF_ERROR(Check(read.status(), "getValue(CStr)"));
  std::optional<std::string> text = read->AsString();
  if (!text) return Failed(reg::ERROR_DATATYPE_MISMATCH, "getValue(CStr)");
  out = std::move(*text);
  return Status();
}

Status RegistryKey::SetValue(std::string_view name, uint32_t value) {
  return Check(key_.SetDword(name, value), "RegSetValueEx");
}

Status RegistryKey::SetValue(std::string_view name, reg::ValueType type, std::string_view text) {
  if (type != reg::ValueType::String && type != reg::ValueType::ExpandString)
    return Failed(reg::ERROR_INVALID_PARAMETER, "RegSetValueEx");
  reg::Value value = type == reg::ValueType::ExpandString ? reg::Value::ExpandString(text) : reg::Value::String(text);
  return Check(key_.SetValue(name, value), "RegSetValueEx");
}

Result<long> RegistryKey::DeleteValue(std::string_view name) {
  const Status status = key_.DeleteValue(name);
  if (!status.ok() && !reg::IsNotFound(status)) return Check(status, "RegDeleteValue");
  return reg::Win32Error(status);
}

Result<std::vector<reg::NamedValue>> RegistryKey::EnumValues() const {
  Result<std::vector<reg::NamedValue>> values = key_.EnumValues();
  QUOR_RETURN_IF_ERROR(Check(values.status(), "RegEnumValue"));
  return values;
}

Result<uint32_t> RegistryKey::GetValueCount() const {
  Result<std::vector<reg::NamedValue>> values = key_.EnumValues();
  QUOR_RETURN_IF_ERROR(Check(values.status(), "RegQueryInfoKey"));
  return static_cast<uint32_t>(values->size());
}

Result<uint64_t> RegistryKey::GetLastWriteTime() const {
  Result<uint64_t> stamp = key_.LastWrite();
  QUOR_RETURN_IF_ERROR(Check(stamp.status(), "RegQueryInfoKey"));
  return stamp;
}

}  // namespace quor::auth::util
