// The service core as a component server: its classes, the entries the
// component runtime and the registration program call, and the module's
// start-up and shut-down when the runtime loads and unloads the library.
#include "core/ServiceModule.h"
#include "core/QuorServiceCore.h"
#include "core/QuorServiceCoreAdmin.h"
#include "platform/com/errorinfo.h"
#include "platform/com/server.h"

namespace {

using namespace quor::com;

// Both endpoints are made with what the module hands their frame.
template <typename T>
HRESULT CreateEndpoint(const IID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return CatchErrors(u"", GUID_NULL, [&] {
    ComPtr<T> object = MakeObject<T>(quor::core::CServiceModule::Instance().Frame());
    return object->QueryInterface(iid, out);
  });
}

const server::ClassInfo kClasses[] = {
    {quor::core::CLSID_QuorServiceCore, "QuorServiceCore.QuorServiceCore.1", "QuorServiceCore.QuorServiceCore",
     "QuorServiceCore Class", "Apartment", &CreateEndpoint<quor::core::CQuorServiceCore>},
    {quor::core::CLSID_QuorServiceCoreAdmin, "QuorServiceCore.QuorServiceCoreAdmin.1",
     "QuorServiceCore.QuorServiceCoreAdmin", "QuorServiceCoreAdmin Class", "Apartment",
     &CreateEndpoint<quor::core::CQuorServiceCoreAdmin>},
};

}  // namespace

QUOR_COM_SERVER_EXPORTS(kClasses)

extern "C" [[gnu::visibility("default")]] HRESULT QuorDllAttach() {
  return quor::com::ReportStatus(quor::core::CServiceModule::Instance().InitInstance(), u"QuorServiceCore");
}

extern "C" [[gnu::visibility("default")]] void QuorDllDetach() { quor::core::CServiceModule::Instance().ExitInstance(); }
