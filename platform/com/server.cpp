#include "platform/com/server.h"

#include <dlfcn.h>

#include <filesystem>
#include <string>

#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace quor::com::server {
namespace {

constexpr std::u16string_view kSource = u"quor::com registration";

HRESULT Fail(std::string_view what, const Status& rc) {
  return RaiseError(SELFREG_E_CLASS, Bstr(kSource),
                    Bstr::FromUtf8(text::Format("%s: registry error %d", what, static_cast<int>(reg::Win32Error(rc)))));
}

// Creates HKEY_CLASSES_ROOT\<path> and sets its default value.
Status SetDefault(const std::string& path, std::string_view value, reg::Key* key = nullptr) {
  reg::Key local;
  reg::Key& k = key ? *key : local;
  QUOR_RETURN_IF_ERROR(k.Create(reg::Hive::ClassesRoot, path));
  return k.SetString("", value);
}

// Removes the ProgID key when it names this class (or no class at all):
// another class may have taken the name since.
Status RemoveProgId(std::string_view progId, const std::string& clsidText) {
  if (progId.empty()) return Status();
  std::string name(progId);
  reg::Key key;
  Status rc = key.Open(reg::Hive::ClassesRoot, name + "\\CLSID");
  if (rc.ok()) {
    auto value = key.GetString("");
    if (value.ok() && !text::EqualsNoCase(text::TrimAscii(*value), clsidText)) return Status();
  } else if (!reg::IsNotFound(rc)) {
    return rc;
  }
  rc = reg::Registry::Default().DeleteKeyTree(reg::Hive::ClassesRoot, name);
  return reg::IsNotFound(rc) ? Status() : rc;
}

}  // namespace

HRESULT RegisterClasses(std::span<const ClassInfo> classes, const void* addressInLibrary) {
  Dl_info info{};
  if (!::dladdr(addressInLibrary, &info) || !info.dli_fname || !*info.dli_fname)
    return RaiseError(SELFREG_E_CLASS, Bstr(kSource), Bstr(u"cannot find the server library's path"));
  std::error_code ec;
  std::filesystem::path library = std::filesystem::canonical(info.dli_fname, ec);
  if (ec) library = std::filesystem::absolute(info.dli_fname, ec);
  if (Status rc = reg::Registry::Default().Check(); !rc.ok())
    return RaiseError(
        SELFREG_E_CLASS, Bstr(kSource),
        Bstr::FromUtf8(rc.message().empty() ? text::Format("registry error %d", static_cast<int>(reg::Win32Error(rc)))
                                            : rc.message()));

  for (const ClassInfo& c : classes) {
    const std::string clsid = c.clsid.Format();
    const std::string classKey = "CLSID\\" + clsid;
    Status rc = SetDefault(classKey, c.description);
    if (!rc.ok()) return Fail(classKey, rc);
    reg::Key server;
    rc = SetDefault(classKey + "\\InprocServer32", library.string(), &server);
    if (rc.ok() && !c.threadingModel.empty()) rc = server.SetString("ThreadingModel", c.threadingModel);
    if (!rc.ok()) return Fail(classKey + "\\InprocServer32", rc);
    if (!c.progId.empty()) {
      rc = SetDefault(classKey + "\\ProgID", c.progId);
      if (rc.ok()) rc = SetDefault(std::string(c.progId), c.description);
      if (rc.ok()) rc = SetDefault(std::string(c.progId) + "\\CLSID", clsid);
      if (!rc.ok()) return Fail(c.progId, rc);
    }
    if (!c.versionIndependentProgId.empty()) {
      const std::string vi(c.versionIndependentProgId);
      rc = SetDefault(classKey + "\\VersionIndependentProgID", vi);
      if (rc.ok()) rc = SetDefault(vi, c.description);
      if (rc.ok()) rc = SetDefault(vi + "\\CLSID", clsid);
      if (rc.ok() && !c.progId.empty()) rc = SetDefault(vi + "\\CurVer", c.progId);
      if (!rc.ok()) return Fail(vi, rc);
    }
    reg::Key programmable;
    rc = programmable.Create(reg::Hive::ClassesRoot, classKey + "\\Programmable");
    if (!rc.ok()) return Fail(classKey + "\\Programmable", rc);
  }
  return S_OK;
}

HRESULT UnregisterClasses(std::span<const ClassInfo> classes) {
  if (Status rc = reg::Registry::Default().Check(); !rc.ok())
    return RaiseError(
        SELFREG_E_CLASS, Bstr(kSource),
        Bstr::FromUtf8(rc.message().empty() ? text::Format("registry error %d", static_cast<int>(reg::Win32Error(rc)))
                                            : rc.message()));
  for (const ClassInfo& c : classes) {
    const std::string clsid = c.clsid.Format();
    if (Status rc = RemoveProgId(c.progId, clsid); !rc.ok()) return Fail(c.progId, rc);
    if (Status rc = RemoveProgId(c.versionIndependentProgId, clsid); !rc.ok())
      return Fail(c.versionIndependentProgId, rc);
    Status rc = reg::Registry::Default().DeleteKeyTree(reg::Hive::ClassesRoot, "CLSID\\" + clsid);
    if (!rc.ok() && !reg::IsNotFound(rc)) return Fail("CLSID\\" + clsid, rc);
  }
  return S_OK;
}

}  // namespace quor::com::server
