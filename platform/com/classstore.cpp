#include "platform/com/classstore.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "platform/base/thread_annotations.h"
#include "platform/com/errorinfo.h"
#include "platform/com/server.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace quor::com {
namespace {

constexpr std::u16string_view kSource = u"quor::com";

thread_local int t_initCount = 0;

// Reads the default value of HKEY_CLASSES_ROOT\<path>.
// ERROR_FILE_NOT_FOUND when the key or value is missing.
Result<std::string> ReadDefault(const std::string& path) {
  reg::Key key;
  QUOR_RETURN_IF_ERROR(key.Open(reg::Hive::ClassesRoot, path));
  return key.GetString("");
}

bool RegistryBroken(const Status& status) {
  const long rc = reg::Win32Error(status);
  return rc != reg::ERROR_SUCCESS && rc != reg::ERROR_FILE_NOT_FOUND && rc != reg::ERROR_KEY_DELETED &&
         rc != reg::ERROR_DATATYPE_MISMATCH && rc != reg::ERROR_INVALID_PARAMETER;
}

HRESULT RegistryError(const Status& status) {
  std::string reason = reg::Registry::Default().Check().message();
  if (reason.empty()) reason = text::Format("registry error %d", static_cast<int>(reg::Win32Error(status)));
  return RaiseError(REGDB_E_READREGDB, Bstr(kSource), Bstr::FromUtf8(reason));
}

// ---- Loaded server libraries --------------------------------------------------------

struct Library {
  void* handle = nullptr;
  server::DllGetClassObjectFn getClassObject = nullptr;
  server::DllCanUnloadNowFn canUnloadNow = nullptr;
  server::QuorDllDetachFn detach = nullptr;
};

class Libraries {
 public:
  HRESULT Get(const std::string& path, server::DllGetClassObjectFn& getClassObject) {
    RecursiveMutexLock lock(mutex_);
    if (auto it = loaded_.find(path); it != loaded_.end()) {
      getClassObject = it->second.getClassObject;
      return S_OK;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      int err = errno;
      return RaiseError(CO_E_DLLNOTFOUND, Bstr(kSource),
                        Bstr::FromUtf8(text::Format("%s: %s", path, std::strerror(err))));
    }
    // The runtime may be re-entered from the library's start-up (it may
    // create other objects): the mutex is recursive.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* why = ::dlerror();
      return RaiseError(HRESULT_BAD_EXE_FORMAT, Bstr(kSource),
                        Bstr::FromUtf8(text::Format("%s: cannot load: %s", path, why ? why : "unknown reason")));
    }
    Library lib;
    lib.handle = handle;
    lib.getClassObject = reinterpret_cast<server::DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
    if (!lib.getClassObject) {
      ::dlclose(handle);
      return RaiseError(CO_E_ERRORINDLL, Bstr(kSource),
                        Bstr::FromUtf8(text::Format("%s: not a component server (no DllGetClassObject)", path)));
    }
    lib.canUnloadNow = reinterpret_cast<server::DllCanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
    lib.detach = reinterpret_cast<server::QuorDllDetachFn>(::dlsym(handle, "QuorDllDetach"));
    if (auto attach = reinterpret_cast<server::QuorDllAttachFn>(::dlsym(handle, "QuorDllAttach"))) {
      HRESULT hr = attach();
      if (FAILED(hr)) {
        ::dlclose(handle);
        if (!HasErrorInfo())
          RaiseError(hr, Bstr(kSource), Bstr::FromUtf8(text::Format("%s: module start-up failed", path)));
        return hr;
      }
    }
    loaded_.emplace(path, lib);
    // Registered after the library's own static objects, so that the
    // library is shut down at exit before they are destroyed.
    std::atexit(&DetachAllAtExit);
    getClassObject = lib.getClassObject;
    return S_OK;
  }

  void FreeUnused() {
    RecursiveMutexLock lock(mutex_);
    for (auto it = loaded_.begin(); it != loaded_.end();) {
      Library& lib = it->second;
      if (lib.canUnloadNow && lib.canUnloadNow() == S_OK) {
        if (lib.detach) lib.detach();
        ::dlclose(lib.handle);
        it = loaded_.erase(it);
      } else {
        ++it;
      }
    }
  }

  static Libraries& Instance() {
    // Never destroyed: libraries stay mapped until the process ends.
    static Libraries* instance = new Libraries;
    return *instance;
  }

 private:
  static void DetachAllAtExit() {
    Libraries& self = Instance();
    RecursiveMutexLock lock(self.mutex_);
    for (auto& [path, lib] : self.loaded_) {
      if (auto detach = std::exchange(lib.detach, nullptr)) detach();
    }
  }

  RecursiveMutex mutex_;
  std::map<std::string, Library> loaded_ QUOR_GUARDED_BY(mutex_);
};

}  // namespace

HRESULT CoInitialize() { return t_initCount++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize() {
  if (t_initCount > 0) --t_initCount;
}

int CoInitializeCount() { return t_initCount; }

HRESULT CLSIDFromProgID(std::string_view progId, CLSID& clsid) {
  clsid = GUID_NULL;
  if (progId.empty() || progId.find('\\') != std::string_view::npos) return CO_E_CLASSSTRING;
  std::string name(progId);
  Result<std::string> value = ReadDefault(name + "\\CLSID");
  if (reg::IsNotFound(value.status())) {
    // A version-independent ProgID may only name its current version.
    Result<std::string> current = ReadDefault(name + "\\CurVer");
    if (RegistryBroken(current.status())) return RegistryError(current.status());
    if (current.ok() && !current->empty() && current->find('\\') == std::string::npos &&
        !text::EqualsNoCase(*current, name))
      value = ReadDefault(*current + "\\CLSID");
  }
  if (RegistryBroken(value.status())) return RegistryError(value.status());
  if (!value.ok()) return CO_E_CLASSSTRING;
  auto parsed = Guid::Parse(text::TrimAscii(*value));
  if (!parsed) return CO_E_CLASSSTRING;
  clsid = *parsed;
  return S_OK;
}

HRESULT CLSIDFromProgID(std::u16string_view progId, CLSID& clsid) {
  std::string narrow;
  if (!text::Utf16ToUtf8(progId, narrow)) {
    clsid = GUID_NULL;
    return CO_E_CLASSSTRING;
  }
  return CLSIDFromProgID(std::string_view(narrow), clsid);
}

HRESULT ProgIDFromCLSID(const CLSID& clsid, Bstr& progId) {
  Result<std::string> value = ReadDefault("CLSID\\" + clsid.Format() + "\\ProgID");
  if (RegistryBroken(value.status())) return RegistryError(value.status());
  if (!value.ok() || value->empty()) return REGDB_E_CLASSNOTREG;
  progId = Bstr::FromUtf8(*value);
  return S_OK;
}

HRESULT CoGetClassObject(const CLSID& clsid, uint32_t context, const IID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  Result<std::string> path = ReadDefault("CLSID\\" + clsid.Format() + "\\InprocServer32");
  if (RegistryBroken(path.status())) return RegistryError(path.status());
  if (!path.ok() || text::TrimAscii(*path).empty()) return REGDB_E_CLASSNOTREG;
  server::DllGetClassObjectFn getClassObject = nullptr;
  if (HRESULT hr = Libraries::Instance().Get(*path, getClassObject); FAILED(hr)) return hr;
  return getClassObject(clsid, iid, out);
}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, uint32_t context, const IID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  ComPtr<IClassFactory> factory;
  if (HRESULT hr = CoGetClassObject(clsid, context, IClassFactory::kIid, factory.PutVoid()); FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, iid, out);
}

void CoFreeUnusedLibraries() { Libraries::Instance().FreeUnused(); }

}  // namespace quor::com
