// The snap-in library (lib/libQuorAdminMMC.so): its classes for the component
// runtime, and the console's own registration of the snap-in beside the
// class store's keys.
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/SnapInModule.h"
#include "platform/com/server.h"
#include "platform/registry/registry.h"

namespace quor::admin::snapin {

namespace {

const com::server::ClassInfo kClasses[] = {
    {kClsidQuorAdminMMC, "QuorAdmin.QuorAdminMMC.1", "QuorAdmin.QuorAdminMMC", "QuorAdminMMC Class", "Apartment",
     &com::server::CreateInstance<CQuorAdminMMC>},
    {kClsidQuorAdminMMCAbout, "", "", "QuorAdminMMC Class About", "Apartment",
     &com::server::CreateInstance<CQuorAdminMMCAbout>},
};

const std::string kSnapinKey = "Software\\Microsoft\\MMC\\Snapins\\" + kClsidQuorAdminMMC.Format();
const std::string kNodeTypeKey = "Software\\Microsoft\\MMC\\NodeTypes\\{7560B67F-BC85-46D3-92A3-527678FC80A9}";

Status WriteConsoleKeys() {
  reg::Registry& registry = reg::Registry::Default();
  reg::Key snapin(registry);
  QUOR_RETURN_IF_ERROR(snapin.Create(reg::Hive::LocalMachine, kSnapinKey));
  for (const auto& [name, value] : {std::pair<std::string_view, std::string>{"", "QuorAdminMMC"},
                                    {"NameString", "QuorAdminMMC"},
                                    {"About", kClsidQuorAdminMMCAbout.Format()}})
    QUOR_RETURN_IF_ERROR(snapin.SetString(name, value));
  reg::Key sub(registry);
  QUOR_RETURN_IF_ERROR(sub.Create(snapin, "NodeTypes\\{7560B67F-BC85-46D3-92A3-527678FC80A9}"));
  QUOR_RETURN_IF_ERROR(sub.Create(snapin, "StandAlone"));
  QUOR_RETURN_IF_ERROR(sub.Create(reg::Hive::LocalMachine, kNodeTypeKey));
  reg::Key typeLib(registry);
  QUOR_RETURN_IF_ERROR(typeLib.Create(reg::Hive::ClassesRoot, "CLSID\\" + kClsidQuorAdminMMC.Format() + "\\TypeLib"));
  return typeLib.SetString("", kLibidQuorAdmin.Format());
}

void RemoveConsoleKeys() {
  reg::Registry& registry = reg::Registry::Default();
  // Best effort: a key already gone is what we want.
  registry.DeleteKeyTree(reg::Hive::LocalMachine, kSnapinKey).Ignore();
  registry.DeleteKeyTree(reg::Hive::LocalMachine, kNodeTypeKey).Ignore();
}

}  // namespace

}  // namespace quor::admin::snapin

extern "C" [[gnu::visibility("default")]] HRESULT DllGetClassObject(const quor::com::CLSID& clsid,
                                                                    const quor::com::IID& iid, void** out) {
  return quor::com::server::GetClassObject(quor::admin::snapin::kClasses, clsid, iid, out);
}

extern "C" [[gnu::visibility("default")]] HRESULT DllCanUnloadNow() { return quor::com::server::CanUnloadNow(); }

extern "C" [[gnu::visibility("default")]] HRESULT DllRegisterServer() {
  using namespace quor::admin::snapin;
  if (HRESULT hr = quor::com::server::RegisterClasses(kClasses, reinterpret_cast<const void*>(&DllCanUnloadNow));
      FAILED(hr))
    return hr;
  if (!WriteConsoleKeys().ok()) {
    RemoveConsoleKeys();
    quor::com::server::UnregisterClasses(kClasses);
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

extern "C" [[gnu::visibility("default")]] HRESULT DllUnregisterServer() {
  using namespace quor::admin::snapin;
  RemoveConsoleKeys();
  return quor::com::server::UnregisterClasses(kClasses);
}
