#include "platform/com/server.h"

#include <dlfcn.h>

#include <filesystem>
#include <string>

#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace quor::com::server {
namespace {

constexpr std::u16string_view kSource = u"quor::com registration";

HRESULT Fail(std::string_view what, long rc) {
  return RaiseError(SELFREG_E_CLASS, Bstr(kSource),
                    Bstr::FromUtf8(text::Format("%s: registry error %d", what, static_cast<int>(rc))));
}

// Creates HKEY_CLASSES_ROOT\<path> and sets its default value.
long SetDefault(const std::string& path, std::string_view value, reg::Key* key = nullptr) {
  reg::Key local;
  reg::Key& k = key ? *key : local;
  if (long rc = k.Create(reg::Hive::ClassesRoot, path); rc != reg::ERROR_SUCCESS) return rc;
  return k.SetString("", value);
}

// Removes the ProgID key when it names this class (or no class at all):
// another class may have taken the name since.
long RemoveProgId(std::string_view progId, const std::string& clsidText) {
  if (progId.empty()) return reg::ERROR_SUCCESS;
  std::string name(progId);
  reg::Key key;
  long rc = key.Open(reg::Hive::ClassesRoot, name + "\\CLSID");
  if (rc == reg::ERROR_SUCCESS) {
    std::string value;
    if (key.GetString("", value) == reg::ERROR_SUCCESS && !text::EqualsNoCase(text::TrimAscii(value), clsidText))
      return reg::ERROR_SUCCESS;
  } else if (rc != reg::ERROR_FILE_NOT_FOUND) {
    return rc;
  }
  rc = reg::Registry::Default().DeleteKeyTree(reg::Hive::ClassesRoot, name);
  return rc == reg::ERROR_FILE_NOT_FOUND ? reg::ERROR_SUCCESS : rc;
}

}  // namespace

HRESULT RegisterClasses(std::span<const ClassInfo> classes, const void* addressInLibrary) {
  Dl_info info{};
  if (!::dladdr(addressInLibrary, &info) || !info.dli_fname || !*info.dli_fname)
    return RaiseError(SELFREG_E_CLASS, Bstr(kSource), Bstr(u"cannot find the server library's path"));
  std::error_code ec;
  std::filesystem::path library = std::filesystem::canonical(info.dli_fname, ec);
  if (ec) library = std::filesystem::absolute(info.dli_fname, ec);
  std::string reason;
  if (long rc = reg::Registry::Default().Check(&reason); rc != reg::ERROR_SUCCESS)
    return RaiseError(SELFREG_E_CLASS, Bstr(kSource),
                      Bstr::FromUtf8(reason.empty() ? text::Format("registry error %d", static_cast<int>(rc)) : reason));

  for (const ClassInfo& c : classes) {
    const std::string clsid = c.clsid.Format();
    const std::string classKey = "CLSID\\" + clsid;
    long rc = SetDefault(classKey, c.description);
    if (rc != reg::ERROR_SUCCESS) return Fail(classKey, rc);
    reg::Key server;
    rc = SetDefault(classKey + "\\InprocServer32", library.string(), &server);
    if (rc == reg::ERROR_SUCCESS && !c.threadingModel.empty()) rc = server.SetString("ThreadingModel", c.threadingModel);
    if (rc != reg::ERROR_SUCCESS) return Fail(classKey + "\\InprocServer32", rc);
    if (!c.progId.empty()) {
      rc = SetDefault(classKey + "\\ProgID", c.progId);
      if (rc == reg::ERROR_SUCCESS) rc = SetDefault(std::string(c.progId), c.description);
      if (rc == reg::ERROR_SUCCESS) rc = SetDefault(std::string(c.progId) + "\\CLSID", clsid);
      if (rc != reg::ERROR_SUCCESS) return Fail(c.progId, rc);
    }
    if (!c.versionIndependentProgId.empty()) {
      const std::string vi(c.versionIndependentProgId);
      rc = SetDefault(classKey + "\\VersionIndependentProgID", vi);
      if (rc == reg::ERROR_SUCCESS) rc = SetDefault(vi, c.description);
      if (rc == reg::ERROR_SUCCESS) rc = SetDefault(vi + "\\CLSID", clsid);
      if (rc == reg::ERROR_SUCCESS && !c.progId.empty()) rc = SetDefault(vi + "\\CurVer", c.progId);
      if (rc != reg::ERROR_SUCCESS) return Fail(vi, rc);
    }
    reg::Key programmable;
    rc = programmable.Create(reg::Hive::ClassesRoot, classKey + "\\Programmable");
    if (rc != reg::ERROR_SUCCESS) return Fail(classKey + "\\Programmable", rc);
  }
  return S_OK;
}

HRESULT UnregisterClasses(std::span<const ClassInfo> classes) {
  std::string reason;
  if (long rc = reg::Registry::Default().Check(&reason); rc != reg::ERROR_SUCCESS)
    return RaiseError(SELFREG_E_CLASS, Bstr(kSource),
                      Bstr::FromUtf8(reason.empty() ? text::Format("registry error %d", static_cast<int>(rc)) : reason));
  for (const ClassInfo& c : classes) {
    const std::string clsid = c.clsid.Format();
    if (long rc = RemoveProgId(c.progId, clsid); rc != reg::ERROR_SUCCESS) return Fail(c.progId, rc);
    if (long rc = RemoveProgId(c.versionIndependentProgId, clsid); rc != reg::ERROR_SUCCESS)
      return Fail(c.versionIndependentProgId, rc);
    long rc = reg::Registry::Default().DeleteKeyTree(reg::Hive::ClassesRoot, "CLSID\\" + clsid);
    if (rc != reg::ERROR_SUCCESS && rc != reg::ERROR_FILE_NOT_FOUND) return Fail("CLSID\\" + clsid, rc);
  }
  return S_OK;
}

}  // namespace quor::com::server
