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

long WriteConsoleKeys() {
  reg::Registry& registry = reg::Registry::Default();
  reg::Key snapin(registry);
  if (long rc = snapin.Create(reg::Hive::LocalMachine, kSnapinKey); rc != reg::ERROR_SUCCESS) return rc;
  for (const auto& [name, value] : {std::pair<std::string_view, std::string>{"", "QuorAdminMMC"},
                                    {"NameString", "QuorAdminMMC"},
                                    {"About", kClsidQuorAdminMMCAbout.Format()}})
    if (long rc = snapin.SetString(name, value); rc != reg::ERROR_SUCCESS) return rc;
  reg::Key sub(registry);
  if (long rc = sub.Create(snapin, "NodeTypes\\{7560B67F-BC85-46D3-92A3-527678FC80A9}"); rc != reg::ERROR_SUCCESS)
    return rc;
  if (long rc = sub.Create(snapin, "StandAlone"); rc != reg::ERROR_SUCCESS) return rc;
  if (long rc = sub.Create(reg::Hive::LocalMachine, kNodeTypeKey); rc != reg::ERROR_SUCCESS) return rc;
  reg::Key typeLib(registry);
  if (long rc = typeLib.Create(reg::Hive::ClassesRoot, "CLSID\\" + kClsidQuorAdminMMC.Format() + "\\TypeLib");
      rc != reg::ERROR_SUCCESS)
    return rc;
  return typeLib.SetString("", kLibidQuorAdmin.Format());
}

void RemoveConsoleKeys() {
  reg::Registry& registry = reg::Registry::Default();
  registry.DeleteKeyTree(reg::Hive::LocalMachine, kSnapinKey);
  registry.DeleteKeyTree(reg::Hive::LocalMachine, kNodeTypeKey);
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
  if (WriteConsoleKeys() != quor::reg::ERROR_SUCCESS) {
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
