#include "auth/util/regkey.h"

#include "auth/util/error.h"

namespace quor::auth::util {
namespace {

void Check(const Status& status, std::string_view call) {
  if (!status.ok()) Raise(static_cast<HRESULT>(reg::Win32Error(status)), call);
}

}  // namespace

void RegistryKey::CreateKey(reg::Hive parent, std::string_view subKey) {
  reg::Key key;
  Check(key.Create(parent, subKey), "RegCreateKeyEx");
  key_ = std::move(key);
}

void RegistryKey::CreateKey(const RegistryKey& parent, std::string_view subKey) {
  reg::Key key;
  Check(key.Create(parent.key_, subKey), "RegCreateKeyEx");
  key_ = std::move(key);
}

void RegistryKey::OpenKey(reg::Hive parent, std::string_view subKey) {
  reg::Key key;
  Check(key.Open(parent, subKey), "RegOpenKeyEx");
  key_ = std::move(key);
}

void RegistryKey::OpenKey(const RegistryKey& parent, std::string_view subKey) {
  reg::Key key;
  Check(key.Open(parent.key_, subKey), "RegOpenKeyEx");
  key_ = std::move(key);
}

long RegistryKey::DeleteKey(reg::Hive parent, std::string_view subKey) {
  long rc = reg::Win32Error(reg::Registry::Default().DeleteKeyTree(parent, subKey));
  if (rc != reg::ERROR_SUCCESS && rc != reg::ERROR_FILE_NOT_FOUND) Raise(HRESULT_FROM_WIN32(rc), "SHDeleteKey");
  return rc;
}

RegistryKey RegistryKey::DuplicateKeyHandle() const {
  RegistryKey copy;
  long rc = key_.IsOpen() ? reg::Win32Error(copy.key_.Open(key_.GetHive(), key_.Path())) : reg::ERROR_INVALID_HANDLE;
  if (rc != reg::ERROR_SUCCESS) Raise(HRESULT_FROM_WIN32(rc), "DuplicateHandle");
  return copy;
}

void RegistryKey::GetValue(std::string_view name, uint32_t& out) const {
  Result<reg::Value> read = key_.GetValue(name);
  Check(read.status(), "getValue(DWORD)");
  const reg::Value& value = *read;
  std::optional<uint32_t> number = value.AsDword();
  if (value.type != reg::ValueType::Dword || !number)
    Raise(static_cast<HRESULT>(reg::ERROR_DATATYPE_MISMATCH), "getValue(DWORD");
  out = *number;
}

void RegistryKey::GetValue(std::string_view name, std::string& out) const {
  Result<reg::Value> read = key_.GetValue(name);
  Check(read.status(), "getValue(CStr)");
  const reg::Value& value = *read;
  std::optional<std::string> text = value.AsString();
  if (!text) Raise(static_cast<HRESULT>(reg::ERROR_DATATYPE_MISMATCH), "getValue(CStr)");
  out = std::move(*text);
}

void RegistryKey::SetValue(std::string_view name, uint32_t value) {
  Check(key_.SetDword(name, value), "RegSetValueEx");
}

void RegistryKey::SetValue(std::string_view name, reg::ValueType type, std::string_view text) {
  reg::Value value = type == reg::ValueType::ExpandString ? reg::Value::ExpandString(text) : reg::Value::String(text);
  if (type != reg::ValueType::String && type != reg::ValueType::ExpandString)
    Raise(static_cast<HRESULT>(reg::ERROR_INVALID_PARAMETER), "RegSetValueEx");
  Check(key_.SetValue(name, value), "RegSetValueEx");
}

long RegistryKey::DeleteValue(std::string_view name) {
  const Status status = key_.DeleteValue(name);
  if (!reg::IsNotFound(status)) Check(status, "RegDeleteValue");
  return reg::Win32Error(status);
}

std::vector<reg::NamedValue> RegistryKey::EnumValues() const {
  Result<std::vector<reg::NamedValue>> values = key_.EnumValues();
  Check(values.status(), "RegEnumValue");
  return std::move(*values);
}

uint32_t RegistryKey::GetValueCount() const {
  Result<std::vector<reg::NamedValue>> values = key_.EnumValues();
  Check(values.status(), "RegQueryInfoKey");
  return static_cast<uint32_t>(values->size());
}

uint64_t RegistryKey::GetLastWriteTime() const {
  Result<uint64_t> stamp = key_.LastWrite();
  Check(stamp.status(), "RegQueryInfoKey");
  return *stamp;
}

}  // namespace quor::auth::util
