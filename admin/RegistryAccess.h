// The console's registry values under HKEY_LOCAL_MACHINE\Software\Velt: its
// own (Log; QuorService Service, UserName, Password, RowCount; ServiceInfo
// subkeys) and the service's (HomeDir and the rest of the service key).
// Failures are silent: a missing key or value reads as empty text or 0, and a
// failed write leaves the registry as it was.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quor::admin {

class RegistryAccess {
 public:
  // Keys are relative to Software\Velt; an empty key is Software\Velt itself.
  uint32_t ReadNumber(std::string_view key, std::string_view name) const;
  // The number as decimal text; empty when the key is missing.
  std::string ReadNumberText(std::string_view key, std::string_view name) const;
  // Writes report whether the value was stored. A number write refuses text
  // that is not wholly a 32-bit decimal number rather than storing 0.
  bool WriteNumber(std::string_view key, std::string_view name, std::string_view decimal) const;
  std::string ReadText(std::string_view key, std::string_view name) const;
  // A text holding a NUL is refused: the readers would cut it there.
  bool WriteText(std::string_view key, std::string_view name, std::string_view value) const;
  // The subkey names of a full HKEY_LOCAL_MACHINE path, joined with ",".
  std::string ListSubkeys(std::string_view fullPath) const;

  std::string ReadServiceText(std::string_view name) const { return ReadText("QuorService", name); }
  std::string ReadServiceNumberText(std::string_view name) const { return ReadNumberText("QuorService", name); }
  std::string ReadServicesText(std::string_view name) const { return ReadText("Services", name); }
  bool WriteServiceText(std::string_view name, std::string_view value) const {
    return WriteText("QuorService", name, value);
  }
};

// The first key under HKEY_CLASSES_ROOT whose name begins with the base name
// of `path` (less folders and extension; case counts); empty when none does.
std::string FindProgIdKey(std::string_view path);

}  // namespace quor::admin
