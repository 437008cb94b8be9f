// The module kit for in-process server libraries.
//
// A server library lists its classes once and exports the standard entries
// with one macro:
//
//   const quor::com::server::ClassInfo kClasses[] = {
//       {kClsidEcho, "QuorTest.Echo.1", "QuorTest.Echo", "Echo Class", "Apartment",
//        &quor::com::server::CreateInstance<Echo>},
//   };
//   QUOR_COM_SERVER_EXPORTS(kClasses)
//
// which defines DllGetClassObject (one class factory per class),
// DllCanUnloadNow (no live objects and no server locks), DllRegisterServer
// and DllUnregisterServer (the class store's keys, with the library's own
// path found with dladdr).
//
// A library may also define the optional module start-up and shut-down
// entries, called by the runtime when it loads and before it unloads the
// library (and at process exit):
//
//   extern "C" [[gnu::visibility("default")]] HRESULT QuorDllAttach();
//   extern "C" [[gnu::visibility("default")]] void QuorDllDetach();
#pragma once

#include <span>
#include <string_view>

#include "platform/com/errorinfo.h"
#include "platform/com/object.h"
#include "platform/com/unknown.h"

namespace quor::com::server {

// The entries' types, as the runtime and the registration program look them up.
using DllGetClassObjectFn = HRESULT (*)(const CLSID& clsid, const IID& iid, void** out);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();
using QuorDllAttachFn = HRESULT (*)();
using QuorDllDetachFn = void (*)();

using CreateFn = HRESULT (*)(const IID& iid, void** out);

struct ClassInfo {
  CLSID clsid;
  std::string_view progId;                    // versioned, e.g. "QuorTest.Echo.1"; may be empty
  std::string_view versionIndependentProgId;  // e.g. "QuorTest.Echo"; may be empty
  std::string_view description;
  std::string_view threadingModel;  // "Apartment", "Both", "Free"
  CreateFn create;
};

// Creates a T (a ComObject) and answers `iid` from it.
template <typename T>
HRESULT CreateInstance(const IID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return CatchErrors(u"", GUID_NULL, [&] {
    ComPtr<T> object = MakeObject<T>();
    return object->QueryInterface(iid, out);
  });
}

// Writes and removes the class store keys of `classes`; `addressInLibrary`
// is any address inside the server library (its path is found from it).
// SELFREG_E_CLASS with error information on failure.
HRESULT RegisterClasses(std::span<const ClassInfo> classes, const void* addressInLibrary);
HRESULT UnregisterClasses(std::span<const ClassInfo> classes);

// The class factory of one class. Hidden: each library has its own, counting
// its own server locks. Factories do not count as live objects.
class [[gnu::visibility("hidden")]] ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(CreateFn create) : create_(create) {}
  HRESULT QueryInterface(const IID& iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IUnknown::kIid && iid != IClassFactory::kIid) return E_NOINTERFACE;
    AddRef();
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  uint32_t AddRef() override { return refs_.fetch_add(1) + 1; }
  uint32_t Release() override {
    uint32_t left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }
  HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return create_(iid, out);
  }
  HRESULT LockServer(bool lock) override {
    if (lock)
      ++module::LockCount();
    else
      --module::LockCount();
    return S_OK;
  }

 private:
  ~ClassFactory() = default;
  CreateFn create_;
  std::atomic<uint32_t> refs_{0};
};

[[gnu::visibility("hidden")]] inline HRESULT GetClassObject(std::span<const ClassInfo> classes, const CLSID& clsid,
                                                            const IID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  for (const ClassInfo& c : classes) {
    if (c.clsid != clsid) continue;
    ComPtr<ClassFactory> factory(new ClassFactory(c.create));
    return factory->QueryInterface(iid, out);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

[[gnu::visibility("hidden")]] inline HRESULT CanUnloadNow() {
  return module::ObjectCount() == 0 && module::LockCount() == 0 ? S_OK : S_FALSE;
}

}  // namespace quor::com::server

#define QUOR_COM_SERVER_EXPORTS(classTable)                                                                       \
  extern "C" [[gnu::visibility("default")]] HRESULT DllGetClassObject(const ::quor::com::CLSID& clsid,            \
                                                                      const ::quor::com::IID& iid, void** out) {  \
    return ::quor::com::server::GetClassObject(classTable, clsid, iid, out);                                      \
  }                                                                                                               \
  extern "C" [[gnu::visibility("default")]] HRESULT DllCanUnloadNow() {                                           \
    return ::quor::com::server::CanUnloadNow();                                                                   \
  }                                                                                                               \
  extern "C" [[gnu::visibility("default")]] HRESULT DllRegisterServer() {                                         \
    return ::quor::com::server::RegisterClasses(classTable, reinterpret_cast<const void*>(&DllCanUnloadNow));     \
  }                                                                                                               \
  extern "C" [[gnu::visibility("default")]] HRESULT DllUnregisterServer() {                                       \
    return ::quor::com::server::UnregisterClasses(classTable);                                                    \
  }
