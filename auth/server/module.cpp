// QuorAuth as a component server: its three classes and the entries the
// component runtime and the registration program call. Session objects are
// made by LookupSession; one made by class is bound to no session and
// answers E_UNEXPECTED.
#include "auth/ids.h"
#include "auth/server/account_info.h"
#include "auth/server/auth_object.h"
#include "auth/session_object.h"
#include "platform/com/server.h"

namespace {

using namespace quor::com;
using namespace quor::auth;

const server::ClassInfo kClasses[] = {
    {kAuthClsid, kAuthProgId, kAuthVersionIndependentProgId, kAuthDescription, "Apartment",
     &server::CreateInstance<Auth>},
    {kSessionClsid, kSessionProgId, kSessionVersionIndependentProgId, kSessionDescription, "Apartment",
     &server::CreateInstance<Session>},
    {kAccountInfoClsid, kAccountInfoProgId, kAccountInfoVersionIndependentProgId, kAccountInfoDescription, "Apartment",
     &server::CreateInstance<AccountInfo>},
};

}  // namespace

QUOR_COM_SERVER_EXPORTS(kClasses)
