// The class store: ProgID -> CLSID -> in-process server library, kept under
// HKEY_CLASSES_ROOT of the registry (Registry::Default(), i.e. the file named
// by QUOR_REGISTRY) in the platform's layout:
//
//   <ProgID>\CLSID                 default = "{CLSID}"
//   <ProgID>\CurVer                default = the versioned ProgID
//   CLSID\{CLSID}                  default = class description
//   CLSID\{CLSID}\InprocServer32   default = absolute path of the .so,
//                                  ThreadingModel = "Apartment" | "Both" | ...
//   CLSID\{CLSID}\ProgID, CLSID\{CLSID}\VersionIndependentProgID
//
// Server libraries are loaded with dlopen(RTLD_NOW | RTLD_LOCAL) once per
// path and kept loaded until CoFreeUnusedLibraries finds them unused. On
// first load the runtime calls the library's optional QuorDllAttach (module
// start-up); before unloading, and at process exit, its optional
// QuorDllDetach. Objects are called directly on the calling thread whatever
// the threading model says.
//
// Initialisation: CoInitialize/CoUninitialize keep a per-thread count, but
// creation does not require it: every thread may create objects.
#pragma once

#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/unknown.h"

namespace quor::com {

inline constexpr uint32_t CLSCTX_INPROC_SERVER = 0x1;
inline constexpr uint32_t CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr uint32_t CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr uint32_t CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr uint32_t CLSCTX_ALL = 0x17;

// S_OK for the first call on a thread, S_FALSE for the nested ones.
HRESULT CoInitialize();
// Balances one CoInitialize; extra calls are ignored.
void CoUninitialize();
// This thread's CoInitialize count.
int CoInitializeCount();

// CO_E_CLASSSTRING for an unknown ProgID (or one whose CLSID value is not a
// GUID); a version-independent ProgID without a CLSID subkey follows CurVer.
// REGDB_E_READREGDB when the registry file is damaged or unreadable.
HRESULT CLSIDFromProgID(std::u16string_view progId, CLSID& clsid);
HRESULT CLSIDFromProgID(std::string_view progId, CLSID& clsid);
// REGDB_E_CLASSNOTREG when the class has no ProgID.
HRESULT ProgIDFromCLSID(const CLSID& clsid, Bstr& progId);

// Loads the class's server and asks it for its class object. Statuses:
// REGDB_E_CLASSNOTREG (no such class, no InprocServer32, or a context
// without CLSCTX_INPROC_SERVER), CO_E_DLLNOTFOUND (the library file is
// missing), HRESULT_BAD_EXE_FORMAT (the file is not a loadable library),
// CO_E_ERRORINDLL (it exports no DllGetClassObject), the server's own status
// otherwise. A failure to load leaves error information with the reason.
HRESULT CoGetClassObject(const CLSID& clsid, uint32_t context, const IID& iid, void** out);
// As CoGetClassObject, then IClassFactory::CreateInstance. An outer object
// gives CLASS_E_NOAGGREGATION: aggregation is not supported.
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, uint32_t context, const IID& iid, void** out);

template <typename T>
HRESULT CoCreateInstance(const CLSID& clsid, ComPtr<T>& out, uint32_t context = CLSCTX_INPROC_SERVER) {
  return CoCreateInstance(clsid, nullptr, context, T::kIid, out.PutVoid());
}

// CLSIDFromProgID, then CoCreateInstance in-process.
template <typename T>
HRESULT CreateObject(std::u16string_view progId, ComPtr<T>& out) {
  CLSID clsid;
  if (HRESULT hr = CLSIDFromProgID(progId, clsid); FAILED(hr)) return hr;
  return CoCreateInstance(clsid, out);
}

// Unloads every loaded server whose DllCanUnloadNow answers S_OK (after its
// QuorDllDetach).
void CoFreeUnusedLibraries();

}  // namespace quor::com
