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

const server::ClassInfo kClasses[] = {
    {quor::core::CLSID_QuorServiceCore, "QuorServiceCore.QuorServiceCore.1", "QuorServiceCore.QuorServiceCore",
     "QuorServiceCore Class", "Apartment", &server::CreateInstance<quor::core::CQuorServiceCore>},
    {quor::core::CLSID_QuorServiceCoreAdmin, "QuorServiceCore.QuorServiceCoreAdmin.1",
     "QuorServiceCore.QuorServiceCoreAdmin", "QuorServiceCoreAdmin Class", "Apartment",
     &server::CreateInstance<quor::core::CQuorServiceCoreAdmin>},
};

}  // namespace

QUOR_COM_SERVER_EXPORTS(kClasses)

extern "C" [[gnu::visibility("default")]] HRESULT QuorDllAttach() {
  return quor::com::ReportStatus(quor::core::CServiceModule::Instance().InitInstance(), u"QuorServiceCore");
}

extern "C" [[gnu::visibility("default")]] void QuorDllDetach() { quor::core::CServiceModule::Instance().ExitInstance(); }
