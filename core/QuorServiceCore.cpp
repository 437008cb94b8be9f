#include "core/QuorServiceCore.h"
#include "core/QuorServiceCore_Calls.h"

#include <initializer_list>
#include <optional>
#include <utility>

#include "core/KeywordTable.h"
#include "core/QuorServiceUtils.h"
#include "core/QuerySettings.h"
#include "core/store/ResumeQueue.h"
#include "core/store/SignInCounts.h"
#include "core/StatusCodes.h"
#include "core/query/QueryEngine.h"
#include "platform/com/memory_budget.h"
#include "platform/com/callcontext.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

using com::Bstr;
using Op = CQuorServiceCore;

// How the directory refuses a wrong credential (ERROR_LOGON_FAILURE), as the
// authentication component hands it on.
constexpr HRESULT kLogonFailure = static_cast<HRESULT>(0x8007052E);

// The warning when the service's counts start holding sign-ins back; the
// event id is the request frame's.
void ReportHeldBack(CEventLogWriter& log, const Bstr& principal, const Bstr& realm, const std::string& address,
                    CSignInCounts::Started started, const SignInLimits& limits) {
  std::string counted;
  if (started.principal) counted = text::Format("%u failed attempts for the principal", limits.principal);
  if (started.address)
    counted += text::Format("%s%u failed attempts from the address", counted.empty() ? "" : " and ", limits.address);
  log.WriteEvent(2, 4096,
                 text::Format("Sign-ins held back on every server of the repository after %s: principal \"%s\" "
                              "(realm \"%s\"), address %s",
                              counted, principal.ToUtf8(), realm.ToUtf8(),
                              address.empty() ? std::string("unknown") : address.substr(2)));
}
using Collab = CCollabDBConnectImpl;
using Vesk = CVODBConnectImpl;
using Log = CLogDBConnectImpl;

// Frame variations of the data operations.
enum : uint32_t {
  kNoReadyGate = 1 << 0,
  kCompressionChoice = 1 << 1,  // the operation picks the result's flag itself
  kEmptyOnFailure = 1 << 2,     // a failed call answers an empty result
  kAdministratorOnly = 1 << 3,
  kLockRouting = 1 << 4,        // the uri's kind is checked before the unwrap
  kStreams = 1 << 5,            // a large result may be sent while it is made
  kLong = 1 << 6,               // may run long in a database before it answers
};

constexpr int8_t kNoTarget = -1;

// A row's parameter names, and their count from them.
#define QUOR_PARAMS(...)                          \
  std::array<std::u16string_view, 9>{__VA_ARGS__}, \
      static_cast<uint8_t>(std::initializer_list<std::u16string_view>{__VA_ARGS__}.size())

// Every data operation in interface order, with the dispatch identifier it
// has there.
struct Entry {
  com::DISPID id;
  Op::Operation op;
};

constexpr Entry kOperations[] = {
    {1, {u"PutShareField", QUOR_PARAMS(u"author", u"name", u"field"), StoreCall<&Collab::PutShareField>, 0, 1}},
    {2, {u"GetShareField", QUOR_PARAMS(u"uri"), StoreCall<&Collab::GetShareField>, kCompressionChoice, 0}},
    {3, {u"UpdateShareField", QUOR_PARAMS(u"uri", u"field"), StoreCall<&Collab::UpdateShareField>, 0, 0}},
    {4, {u"RemoveShareField", QUOR_PARAMS(u"uri"), StoreCall<&Collab::RemoveShareField>, 0, 0}},
    {5, {u"GetShareFieldList", QUOR_PARAMS(), StoreCall<&Collab::GetShareFieldList>, 0, kNoTarget}},
    {6, {u"GetShareFieldURIList", QUOR_PARAMS(), StoreCall<&Collab::GetShareFieldURIList>, 0, kNoTarget}},
    {7, {u"PutMessage", QUOR_PARAMS(u"uri", u"message"), StoreCall<&Collab::PutMessage>, 0, 0}},
    {8, {u"GetMessage", QUOR_PARAMS(u"uri"), StoreCall<&Collab::GetMessage>, 0, 0}},
    {9, {u"UpdateMessage", QUOR_PARAMS(u"uri", u"message"), StoreCall<&Collab::UpdateMessage>, 0, 0}},
    {10, {u"RemoveMessage", QUOR_PARAMS(u"uri"), StoreCall<&Collab::RemoveMessage>, 0, 0}},
    {11, {u"StartSharing", QUOR_PARAMS(u"ipaddress", u"uri"), StoreCall<&Collab::StartSharing>, kCompressionChoice, 1}},
    {12, {u"EndSharing", QUOR_PARAMS(u"uri"), StoreCall<&Collab::EndSharing>, 0, 0}},
    {13, {u"SaveSharing", QUOR_PARAMS(u"uri", u"field"), StoreCall<&Collab::SaveSharing>, 0, 0}},
    {14, {u"GetAttendeesList", QUOR_PARAMS(u"uri"), StoreCall<&Collab::GetAttendeesList>, 0, 0}},
    {15, {u"ChangeOwner", QUOR_PARAMS(u"uri", u"newowner"), MemberCall<&Op::AddAttendee>, 0, 0}},
    {16, {u"AddAttendee", QUOR_PARAMS(u"uri", u"attendee"), MemberCall<&Op::AddAttendee>, 0, 0}},
    {17, {u"DeleteAttendee", QUOR_PARAMS(u"uri", u"attendee"), StoreCall<&Collab::DeleteAttendee>, 0, 0}},
    {18, {u"PutCollabLog", QUOR_PARAMS(u"uri", u"log"), StoreCall<&Log::PutCollabLog>, 0, 0}},
    {19, {u"GetCategoryLogIDList", QUOR_PARAMS(u"category"), StoreCallNoUser<&Log::GetCategoryLogIDList>, 0, 0}},
    {20, {u"DeleteACL", QUOR_PARAMS(u"uri"), AclCall<&Vesk::DeleteACL, &Collab::DeleteACL, QS_E_DELETE_ACL_INVALID_URI>, 0, 0}},
    {21, {u"DeleteACLEntry", QUOR_PARAMS(u"uri", u"acluser"), AclCall<&Vesk::DeleteACLEntry, &Collab::DeleteACLEntry, QS_E_DELETE_ACL_ENTRY_INVALID_URI>, 0, 0}},
    // 22 Exec: outside the frame.
    {23, {u"GetACL", QUOR_PARAMS(u"uri"), AclCall<&Vesk::GetACL, &Collab::GetACL, QS_E_GET_ACL_INVALID_URI>, 0, 0}},
    {24, {u"GetACLEntry", QUOR_PARAMS(u"uri", u"acluser"), AclCall<&Vesk::GetACLEntry, &Collab::GetACLEntry, QS_E_GET_ACL_ENTRY_INVALID_URI>, 0, 0}},
    {25, {u"GetApplicationShareURL", QUOR_PARAMS(u"author", u"name"), StoreCall<&Collab::GetURLUnsupported>, 0, 1}},
    {26, {u"GetLog", QUOR_PARAMS(u"logID"), StoreCallNoUser<&Log::GetLog>, 0, 0}},
    {27, {u"GetLogCount", QUOR_PARAMS(), StoreCallNoUser<&Log::GetLogCount>, 0, kNoTarget}},
    {28, {u"GetLogIDList", QUOR_PARAMS(), StoreCallNoUser<&Log::GetLogIDList>, 0, kNoTarget}},
    {29, {u"GetLogs", QUOR_PARAMS(u"logID", u"count"), StoreCallNoUser<&Log::GetLogs>, 0, 0}},
    {30, {u"GetResumeIDList", QUOR_PARAMS(u"name"), MemberCall<&Op::GetResumeIDList>, 0, 0}},
    {31, {u"GetVideoConferenceListURL", QUOR_PARAMS(u"author", u"name"), StoreCall<&Collab::GetURLUnsupported>, 0, 1}},
    {32, {u"GetVideoConferenceURL", QUOR_PARAMS(u"author", u"name"), StoreCall<&Collab::GetURLUnsupported>, 0, 1}},
    {33, {u"GetVOURIList", QUOR_PARAMS(), StoreCall<&Vesk::GetVOURIList>, 0, kNoTarget}},
    {34, {u"PutACL", QUOR_PARAMS(u"uri", u"acl"), AclCall<&Vesk::PutACL, &Collab::PutACL, QS_E_PUT_ACL_INVALID_URI>, 0, 0}},
    {35, {u"PutACLEntry", QUOR_PARAMS(u"uri", u"acluser", u"accright"), AclCall<&Vesk::PutACLEntry, &Collab::PutACLEntry, QS_E_PUT_ACL_ENTRY_INVALID_URI>, 0, 0}},
    {36, {u"PutLog", QUOR_PARAMS(u"log"), StoreCall<&Log::PutLog>, 0, 0}},
    {37, {u"GetVOContent", QUOR_PARAMS(u"name"), StoreCall<&Vesk::GetVOContent>, kCompressionChoice | kStreams, 0}},
    {38, {u"GetVOContentbyURI", QUOR_PARAMS(u"uri"), StoreCall<&Vesk::GetVOContentbyURI>, kCompressionChoice | kStreams, 0}},
    {39, {u"GetVOList", QUOR_PARAMS(), StoreCall<&Vesk::GetVOList>, 0, kNoTarget}},
    {40, {u"GetVOResourceURI", QUOR_PARAMS(u"name"), StoreCallNoUser<&Vesk::GetVOResourceURI>, 0, 0}},
    {41, {u"GetVOResourceURIList", QUOR_PARAMS(), StoreCallNoUser<&Vesk::GetVOResourceURIList>, 0, kNoTarget}},
    {42, {u"GetVOResourceURL", QUOR_PARAMS(u"name"), StoreCall<&Vesk::GetVOResourceURL>, 0, 0}},
    {43, {u"PutVOContent", QUOR_PARAMS(u"name", u"content"), StoreCall<&Vesk::PutVOContent>, 0, 0}},
    {44, {u"PutVOResource", QUOR_PARAMS(u"name"), StoreCall<&Vesk::PutVOResource>, 0, 0}},
    {45, {u"Query", QUOR_PARAMS(u"sqlstmt"), MemberCall<&Op::RunQuery>, kNoReadyGate | kEmptyOnFailure | kStreams | kLong, 0}},
    {46, {u"RemoveVOContent", QUOR_PARAMS(u"name"), StoreCall<&Vesk::RemoveVOContent>, 0, 0}},
    {47, {u"RemoveVOContentbyURI", QUOR_PARAMS(u"uri"), StoreCall<&Vesk::RemoveVOContentbyURI>, 0, 0}},
    {48, {u"RemoveVOResource", QUOR_PARAMS(u"name"), StoreCall<&Vesk::RemoveVOResource>, 0, 0}},
    {49, {u"ResumeServiceProcess", QUOR_PARAMS(u"resumeID", u"flag"), MemberCall<&Op::ResumeServiceProcess>, kNoReadyGate, 0}},
    {50, {u"UpdateACL", QUOR_PARAMS(u"uri", u"acl"), AclCall<&Vesk::UpdateACL, &Collab::UpdateACL, QS_E_UPDATE_ACL_INVALID_URI>, 0, 0}},
    {51, {u"UpdateACLEntry", QUOR_PARAMS(u"uri", u"acluser", u"accright"), AclCall<&Vesk::UpdateACLEntry, &Collab::UpdateACLEntry, QS_E_UPDATE_ACL_ENTRY_INVALID_URI>, 0, 0}},
    {52, {u"UpdateVOContent", QUOR_PARAMS(u"name", u"content"), StoreCall<&Vesk::UpdateVOContentA>, 0, 0}},
    {53, {u"UpdateVOContentbyURI", QUOR_PARAMS(u"uri", u"content"), StoreCall<&Vesk::UpdateVOContentbyURI>, 0, 0}},
    {54, {u"UpdateVOResource", QUOR_PARAMS(u"uri"), MemberCall<&Op::NoStore>, 0, 0}},
    // 55 CreateTicket, 56 OpenSession, 57 CloseSession: outside the frame.
    {58, {u"GetCompressThreshold", QUOR_PARAMS(), MemberCall<&Op::GetCompressThreshold>, kEmptyOnFailure, kNoTarget}},
    {59, {u"GetAdminUserList", QUOR_PARAMS(), MemberCall<&Op::GetAdminUserList>, kNoReadyGate, kNoTarget}},
    {60, {u"GetGroupList", QUOR_PARAMS(), MemberCall<&Op::GetGroupList>, 0, kNoTarget}},
    {61, {u"GetGroupUserList", QUOR_PARAMS(u"group"), MemberCall<&Op::GetGroupUserList>, 0, kNoTarget}},
    {62, {u"GetAllVOList", QUOR_PARAMS(), StoreCallNoUser<&Vesk::GetVOListAll>, kAdministratorOnly, kNoTarget}},
    {63, {u"GetAllVOURIList", QUOR_PARAMS(), StoreCallNoUser<&Vesk::GetVOURIListAll>, kAdministratorOnly, kNoTarget}},
    {64, {u"GetAllVOUserList", QUOR_PARAMS(), StoreCallNoUser<&Vesk::GetVOUserListAll>, kAdministratorOnly, kNoTarget}},
    {65, {u"GetVOURI", QUOR_PARAMS(u"vouser", u"name"), StoreCall<&Vesk::GetVOURI>, 0, 0}},
    {66, {u"GetVOAttribute", QUOR_PARAMS(u"uri"), StoreCall<&Vesk::GetVOAttribute>, 0, 0}},
    {67, {u"GetShareFieldAttribute", QUOR_PARAMS(u"uri"), StoreCall<&Collab::GetShareFieldAttribute>, 0, 0}},
    {68, {u"GetShareFieldURI", QUOR_PARAMS(u"author", u"name"), StoreCall<&Collab::GetShareFieldURI>, 0, 0}},
    {69, {u"LockVO", QUOR_PARAMS(u"uri"), LockCall<&Collab::LockVO, &Vesk::LockVO>, kLockRouting, 0}},
    {70, {u"UnlockVO", QUOR_PARAMS(u"uri"), LockCall<&Collab::ForceUnlockVO, &Vesk::ForceUnlockVO>, kLockRouting, 0}},
    {71, {u"GetVOContentwithLock", QUOR_PARAMS(u"name"), StoreCall<&Vesk::GetVOContentwithLock>, kCompressionChoice, 0}},
    {72, {u"GetVOContentbyURIwithLock", QUOR_PARAMS(u"uri"), StoreCall<&Vesk::GetVOContentbyURIwithLock>, kCompressionChoice, 0}},
    {73, {u"UpdateVOContentwithUnlock", QUOR_PARAMS(u"name", u"content"), StoreCall<&Vesk::UpdateVOContentwithUnlock>, 0, 0}},
    {74, {u"UpdateVOContentbyURIwithUnlock", QUOR_PARAMS(u"uri", u"content"), StoreCall<&Vesk::UpdateVOContentbyURIwithUnlock>, 0, 0}},
    {75, {u"PutVOURI", QUOR_PARAMS(u"vouser", u"name"), StoreCall<&Vesk::PutVOURI>, 0, 0}},
    {76, {u"RemoveVOURI", QUOR_PARAMS(u"uri"), StoreCall<&Vesk::RemoveVOURI>, 0, 0}},
    {77, {u"GetLogbyUser", QUOR_PARAMS(u"opuser"), StoreCallNoUser<&Log::GetLogbyUser>, 0, 0}},
    {78, {u"GetCategoryLogbyUser", QUOR_PARAMS(u"opuser", u"category"), StoreCallNoUser<&Log::GetCategoryLogbyUser>, 0, 0}},
    {79, {u"GetOwnGroupList", QUOR_PARAMS(), MemberCall<&Op::GetOwnGroupList>, 0, kNoTarget}},
    {80, {u"UpdateVOResourceURL", QUOR_PARAMS(u"name", u"urlleaf"), StoreCall<&Vesk::UpdateVOResourceURL>, 0, 0}},
    {81,
     {u"PutVOResourcewithAttribute",
      QUOR_PARAMS(u"name", u"modulename", u"creator", u"version", u"type", u"id", u"description", u"urlleaf", u"props"),
      StoreCall<&Vesk::PutVOResourcewithAttribute>, 0, 0}},
    {82,
     {u"UpdateVOResourceAttribute",
      QUOR_PARAMS(u"name", u"modulename", u"creator", u"version", u"type", u"id", u"description"), StoreCall<&Vesk::UpdateVOResourceAttribute>, 0, 0}},
    {83,
     {u"RemoveVOResourceAttribute",
      QUOR_PARAMS(u"name", u"modulename", u"creator", u"version", u"type", u"id", u"description"), StoreCall<&Vesk::RemoveVOResourceAttribute>, 0, 0}},
    {84, {u"UpdateVOResourceProps", QUOR_PARAMS(u"name", u"props"), StoreCall<&Vesk::UpdateVOResourceProps>, 0, 0}},
    {85, {u"GetVOResourceAttribute", QUOR_PARAMS(u"name"), StoreCall<&Vesk::GetVOResourceAttribute>, 0, 0}},
    {86, {u"GetVOResourceAttributeList", QUOR_PARAMS(u"modulename"), StoreCall<&Vesk::GetVOResourceAttributeList>, 0, 0}},
    {87, {u"GetAllVOResourceAttributeList", QUOR_PARAMS(), StoreCall<&Vesk::GetAllVOResourceAttributeList>, 0, kNoTarget}},
    {88, {u"GetVOResourceModuleNameList", QUOR_PARAMS(), StoreCall<&Vesk::GetVOResourceModuleNameList>, 0, kNoTarget}},
    {89, {u"GetResourceACL", QUOR_PARAMS(u"name"), StoreCall<&Vesk::GetResourceACL>, 0, 0}},
    {90, {u"GetResourceACLEntry", QUOR_PARAMS(u"name", u"acluser"), StoreCall<&Vesk::GetResourceACLEntry>, 0, 0}},
    {91, {u"PutResourceACL", QUOR_PARAMS(u"name", u"acl"), StoreCall<&Vesk::PutResourceACL>, 0, 0}},
    {92, {u"PutResourceACLEntry", QUOR_PARAMS(u"name", u"acluser", u"accright"), StoreCall<&Vesk::PutResourceACLEntry>, 0, 0}},
    {93, {u"UpdateResourceACL", QUOR_PARAMS(u"name", u"acl"), StoreCall<&Vesk::UpdateResourceACL>, 0, 0}},
    {94,
     {u"UpdateResourceACLEntry", QUOR_PARAMS(u"name", u"acluser", u"accright"), StoreCall<&Vesk::UpdateResourceACLEntry>, 0, 0}},
    {95, {u"DeleteResourceACL", QUOR_PARAMS(u"name"), StoreCall<&Vesk::DeleteResourceACL>, 0, 0}},
    {96, {u"DeleteResourceACLEntry", QUOR_PARAMS(u"name", u"acluser"), StoreCall<&Vesk::DeleteResourceACLEntry>, 0, 0}},
    {97, {u"GetConferenceManagerURL", QUOR_PARAMS(), StoreCall<&Collab::GetConferenceManagerURL>, kNoReadyGate, kNoTarget}},
    {98, {u"GetVOResourceUpdate", QUOR_PARAMS(u"lastupdate"), StoreCall<&Vesk::GetVOResourceUpdate>, 0, 0}},
};
constexpr size_t kOperationCount = sizeof(kOperations) / sizeof(kOperations[0]);

// The identifiers the frame's own methods have in the interface (BuildTable).
constexpr com::DISPID kOwnMethods[] = {22, 55, 56, 57};

// Identifiers ascend in interface order, so none repeats, and none is one
// of the frame's own; a row's target is one of its parameters, and a store
// method reads exactly the row's parameters.
consteval bool RowsAgree() {
  for (size_t i = 0; i < kOperationCount; ++i) {
    if (i > 0 && kOperations[i].id <= kOperations[i - 1].id) return false;
    for (const com::DISPID own : kOwnMethods)
      if (kOperations[i].id == own) return false;
    const Op::Operation& op = kOperations[i].op;
    if (op.target >= static_cast<int>(op.count) || op.target < kNoTarget) return false;
    if (op.call.args >= 0 && op.call.args != op.count) return false;
  }
  return true;
}
static_assert(RowsAgree(), "an operation row repeats an identifier, names a target it has not, or disagrees with its store method");

#undef QUOR_PARAMS

// Texts that prove an identity never reach a log.
const Bstr& Hidden(std::u16string_view what) {
  static const Bstr ticket(u"(ticket)"), sessionKey(u"(session key)");
  return what == u"ticket" ? ticket : sessionKey;
}

Bstr ArgText(const com::Variant& v) {
  const com::Variant value = v.Dereferenced();
  if (value.Type() == com::VT_BSTR) return value.GetBstr();
  Bstr text;
  if (value.IsEmpty() || value.IsNull() || FAILED(value.ToBstr(text))) return Bstr();
  return text;
}

// Calls a data operation from its dispatch arguments: user, the [in]
// arguments, then reskey by reference; result is the return value.
template <size_t I>
com::InvokeOutcome InvokeOperation(CQuorServiceCore& self, std::span<const com::Variant> args, com::Variant* result) {
  const Op::Operation& op = kOperations[I].op;
  if (args.size() < 1u + op.count) return {DISP_E_BADPARAMCOUNT, false, 0};
  std::vector<Bstr> in;
  in.reserve(op.count);
  for (size_t i = 0; i < op.count; ++i) in.push_back(ArgText(args[1 + i]));
  Bstr reskey, text;
  const HRESULT hr = self.RunOperation(op, ArgText(args[0]), in, reskey, text);
  if (args.size() > 1u + op.count && args[1 + op.count].IsByRef()) args[1 + op.count].AssignThroughRef(com::Variant(reskey));
  if (result) *result = com::Variant(std::move(text));
  return {hr, true, 0};
}

com::DispatchEntry<CQuorServiceCore> OperationEntry(const Entry& e,
                                                    com::InvokeOutcome (*invoke)(CQuorServiceCore&,
                                                                                 std::span<const com::Variant>,
                                                                                 com::Variant*)) {
  com::DispatchEntry<CQuorServiceCore> entry{e.op.name, e.id, com::MemberKind::Method, invoke, {}};
  entry.params.push_back({u"user", com::VT_BSTR, com::ParamDirection::In});
  for (size_t i = 0; i < e.op.count; ++i)
    entry.params.push_back({std::u16string(e.op.params[i]), com::VT_BSTR, com::ParamDirection::In});
  entry.params.push_back({u"reskey", com::VT_BYREF | com::VT_BSTR, com::ParamDirection::Out});
  entry.params.push_back({u"result", com::VT_BYREF | com::VT_BSTR, com::ParamDirection::RetVal});
  return entry;
}

template <size_t... I>
std::vector<com::DispatchEntry<CQuorServiceCore>> BuildTable(std::index_sequence<I...>) {
  std::vector<com::DispatchEntry<CQuorServiceCore>> table;
  (table.push_back(OperationEntry(kOperations[I], &InvokeOperation<I>)), ...);
  table.push_back(com::Method<&CQuorServiceCore::Exec>(u"Exec", kOwnMethods[0], {u"user", u"command", u"reskey", u"result"}));
  table.push_back(com::Method<&CQuorServiceCore::CreateTicket>(
      u"CreateTicket", kOwnMethods[1], {u"authority", u"realm", u"principal", u"credential", u"fullPrincipal", u"ticket"}));
  table.push_back(com::Method<&CQuorServiceCore::OpenSession>(
      u"OpenSession", kOwnMethods[2],
      {u"service", u"ticket", u"tokenScheme", u"tokenSeed", u"sessionKey", u"verifier", u"locator"}));
  table.push_back(
      com::Method<&CQuorServiceCore::CloseSession>(u"CloseSession", kOwnMethods[3], {u"sessionKey", u"verifier", u"result"}));
  std::sort(table.begin(), table.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
  return table;
}

// The flag the operations that pick their own compression give "result".
uint32_t ChosenCompression(const CServiceConfig& settings, const Bstr& result) {
  const auto threshold = static_cast<uint32_t>(settings.CompressThreshold);
  if (threshold == 1) return 1;
  if (threshold == 0) return 0;
  return result.Length() >= threshold ? 1 : 0;
}

// Whether this call's result may be sent while it is made: the carrier
// offers a sink, the result is never compressed, and no log row wants the
// whole result.
bool MayStream(const CServiceConfig& settings, uint32_t flags) {
  if (!(flags & kStreams) || !com::CurrentCallContext().resultSink) return false;
  return settings.CompressThreshold == 0 && settings.LogLevel != LOGLEVEL_DETAIL;
}

}  // namespace

const Caller& OpCall::Resolved() {
  if (!caller_) caller_ = utils_.ResolveCaller(principal);
  return *caller_;
}

// ---- The object ---------------------------------------------------------------

CQuorServiceCore::CQuorServiceCore(FrameContext context)
    : frame_(std::move(context)),
      collab_(&context_.collab),
      vo_(&context_.vo) {}

CQuorServiceCore::~CQuorServiceCore() = default;

HRESULT CQuorServiceCore::InterfaceSupportsErrorInfo(const com::IID& iid) {
  return iid == IQuorServiceCore::kIid ? S_OK : S_FALSE;
}

std::span<const com::DispatchEntry<CQuorServiceCore>> CQuorServiceCore::DispatchTable() {
  static const auto table = BuildTable(std::make_index_sequence<kOperationCount>());
  return table;
}

std::span<const CQuorServiceCore::Operation> CQuorServiceCore::Operations() {
  static const auto operations = [] {
    std::vector<Operation> ops;
    for (const auto& e : kOperations) ops.push_back(e.op);
    return ops;
  }();
  return operations;
}

// ---- Frame parts ----------------------------------------------------------------

Status CQuorServiceCore::CheckServiceReady() const {
  const CDBConnect* connection = context_.connection;
  if (connection && connection->GetState() != 0) return Status();
  return CQuorServiceUtils::ServiceError(QS_E_VESK_RESOURCE_DB_NOT_INSTALLED);
}

void CQuorServiceCore::LogOperation(std::u16string_view operation, const Bstr& principal, const Bstr& target) {
  const int32_t level = frame_.LogLevel();
  if (level == LOGLEVEL_DEBUG || level == LOGLEVEL_DETAIL) frame_.Log().InsertLog3(Bstr(operation), principal, target).Ignore();
}

void CQuorServiceCore::ReportError(std::u16string_view operation, const Bstr& principal, const Bstr& target,
                                   const Bstr& result, const Status& outcome) {
  const HRESULT status = outcome.code();
  const std::string& detail = outcome.message();
  const int32_t level = frame_.LogLevel();
  if (status == S_OK) {
    if (level == LOGLEVEL_DETAIL) frame_.Log().InsertLog5(Bstr(operation), principal, target, result, Bstr()).Ignore();
    return;
  }
  Bstr message;
  // A status the service does not know (the data layer's) is told by the
  // reason the database gave.
  Bstr reason;
  if (!IsKnownStatus(status)) reason = Bstr::FromUtf8(UnknownStatusText(outcome));
  if (result.IsNull()) {
    const std::string line =
        text::Format("[0x%X] %s", status, reason.IsNull() ? std::string(StatusText(status)) : reason.ToUtf8());
    // The detail (what a component behind the call answered) is for the
    // administrator's eyes only.
    context_.utils.EventLog.ReportError(4096, detail.empty() ? line : line + " " + std::string(detail));
    message = Bstr::FromUtf8(line);
  }
  if (level != LOGLEVEL_NONE) frame_.Log().InsertLog5(Bstr(operation), principal, target, result, message).Ignore();
  CRequestFrame::Raise(outcome, result);
}

HRESULT CQuorServiceCore::RunOperation(const Operation& op, const Bstr& user, std::span<const Bstr> in,
                                       Bstr& reskey, Bstr& result) {
  const auto lease = frame_.Lease();
  reskey = Bstr(u"");
  result = Bstr(u"");
  if (!(op.flags & kNoReadyGate)) {
    if (const Status ready = CheckServiceReady(); !ready.ok()) return com::ReportStatus(ready, kErrorSource);
  }

  std::vector<Bstr> args(in.begin(), in.end());
  args.resize(op.count);
  const Bstr targetAsReceived = op.target == kNoTarget ? Bstr() : args[op.target];
  Bstr principal(u"");
  Bstr text;  // null until the store writes a result
  Status outcome;  // a failure's message is its own text, for the event log
  // The call's account of the memory it holds: the carrier's, which may
  // already hold its request, or one of its own. Every layer below that
  // holds much reserves in it.
  com::CallContext context = com::CurrentCallContext();
  if (!context.memory) context.memory = std::make_shared<com::CallMemory>();
  com::CallMemory& memory = *context.memory;
  const com::CallContextScope scope(std::move(context));
  // Its carrier keeps such a call off the workers small calls need.
  if (op.flags & kLong) memory.MarkLarge();
  std::optional<ResponseStream> stream;
  if (MayStream(context_.settings, op.flags)) stream.emplace(*com::CurrentCallContext().resultSink, context_.utils, user, op.name);

  // A lock on a uri of no known kind fails before the session is asked.
  if ((op.flags & kLockRouting) && CQuorServiceUtils::ClassifyVOURI(targetAsReceived) == 0) {
    outcome = Status(QS_E_URI_INVALID);
  } else {
    outcome = frame_.Unwrap(user, op.name, std::span(op.params).first(op.count), args, principal);
    if (outcome.ok()) {
      const Bstr target = op.target == kNoTarget ? Bstr() : args[op.target];
      LogOperation(op.name, principal, target);
      OpCall call{context_.utils, principal, args, text, stream ? &*stream : nullptr};
      if ((op.flags & kAdministratorOnly) && !call.Resolved().administrator) {
        outcome = Status(QS_E_ADMINISTRATOR_ONLY);
      } else {
        Status called = op.call.run(*this, call);
        outcome = FAILED(called.code()) ? std::move(called) : Status(called.code());
        if (SUCCEEDED(outcome.code()) && !text.IsNull()) memory.HoldAnswer(text.Length()).Ignore();
        // Refused by the budget at any layer: that is the answer, whatever
        // the layer made of it.
        if (const std::string refusal = memory.Refusal(); !refusal.empty()) {
          outcome = Status(E_OUTOFMEMORY);
          text = Bstr::FromUtf8(refusal);
          context_.utils.EventLog.ReportError(4096, text::Format("[0x%X] %s %s", E_OUTOFMEMORY, text::Narrow(op.name), refusal));
        }
        // A large result made whole leaves in pieces too: it is then not
        // copied again into the answer.
        if (stream && SUCCEEDED(outcome.code()) && !stream->Started() && text.Length() >= ResponseStream::kPiece)
          outcome = stream->WriteWhole(text.Utf8());
      }
    }
  }

  const Bstr& target = op.target == kNoTarget ? Bstr() : (outcome.ok() ? args[op.target] : targetAsReceived);
  ReportError(op.name, principal, target, text, outcome);
  const HRESULT status = outcome.code();

  if (FAILED(status)) {
    if (!(op.flags & kEmptyOnFailure) && !text.IsNull()) result = text;
    return status;
  }
  if (stream && stream->Started()) {
    // The result has gone out; the key over it follows it.
    reskey = stream->End();
    return status;
  }
  Bstr wrapped = text.IsNull() ? Bstr(u"") : text;
  const uint32_t flag = (op.flags & kCompressionChoice) ? ChosenCompression(context_.settings, wrapped) : 0;
  reskey = frame_.Wrap(user, op.name, wrapped, flag);
  result = std::move(wrapped);
  return status;
}

// ---- Sign-in and Exec -------------------------------------------------------------

HRESULT CQuorServiceCore::CreateTicket(const Bstr& authority, const Bstr& realm, const Bstr& principal,
                                       const Bstr& credential, Bstr* fullPrincipal, Bstr* ticket) {
  if (!fullPrincipal || !ticket) return E_POINTER;
  const auto lease = frame_.Lease();
  *fullPrincipal = Bstr(u"");
  *ticket = Bstr(u"");
  LogOperation(u"CreateTicket", principal, authority);
  AuthAccessor* auth = context_.auth;
  // Wrong credentials count for the whole service, on top of what the
  // authentication component counts for this server alone. An empty one
  // reaches no directory and is not counted.
  CSignInCounts& counts = context_.signIns;
  const bool guess = !credential.Empty();
  const std::string who = CSignInCounts::PrincipalKey(principal.View(), realm.View());
  const std::string from = CSignInCounts::AddressKey(com::CurrentCallContext().clientAddress);
  const CSignInCounts::Standing standing = guess ? counts.Look(who, from) : CSignInCounts::Standing{};
  Bstr full, issued;
  HRESULT status = QS_E_AUTH_SERVER_CONNECT_FAILED;
  std::string detail;
  if (standing.held) {
    // Refused as a wrong password is, without asking the directory.
    detail = "Held back: too many failed sign-ins on the servers of this repository";
  } else if (auth) {
    status = auth->CreateTicket(authority, realm, principal, credential, full, issued).code();
    if (guess && status == kLogonFailure) {
      const CSignInCounts::Started started = counts.Failed(who, from);
      if (started.principal || started.address) ReportHeldBack(context_.eventLog, principal, realm, from, started, counts.Limits());
    } else if (SUCCEEDED(status) && standing.principalSeen) {
      counts.Succeeded(who);
    }
    if (FAILED(status)) {
      // Whatever the directory answered, the caller learns only that sign-in
      // failed; the event log keeps the directory's own status and words.
      const auto info = com::GetErrorInfo();
      const std::string words =
          info && !info->description.Empty() ? info->description.ToUtf8() : com::HResultText(status);
      detail = text::Format("The directory answered 0x%X: %s", status, words);
    }
  }
  if (SUCCEEDED(status)) {
    *fullPrincipal = full;
    *ticket = issued;
  } else {
    status = QS_E_AUTH_SERVER_CONNECT_FAILED;
  }
  ReportError(u"CreateTicket", principal, authority, SUCCEEDED(status) ? Hidden(u"ticket") : Bstr(),
              Status(status, std::move(detail)));
  return status;
}

HRESULT CQuorServiceCore::OpenSession(const Bstr& service, const Bstr& ticket, const Bstr& tokenScheme,
                                      const Bstr& tokenSeed, Bstr* sessionKey, Bstr* verifier, Bstr* locator) {
  if (!sessionKey || !verifier || !locator) return E_POINTER;
  const auto lease = frame_.Lease();
  *sessionKey = Bstr(u"");
  *verifier = Bstr(u"");
  *locator = Bstr(u"");
  LogOperation(u"OpenSession", service, Hidden(u"ticket"));
  AuthAccessor* auth = context_.auth;
  Bstr key, check, where;
  HRESULT status = auth ? auth->OpenSession(service, ticket, tokenScheme, tokenSeed, key, check, where).code()
                        : QS_E_AUTH_SERVER_CONNECT_FAILED;
  if (status != S_OK) {
    status = QS_E_AUTH_SERVER_CONNECT_FAILED;
    where = Bstr();
  } else {
    *sessionKey = key;
    *verifier = check;
    *locator = where;
  }
  ReportError(u"OpenSession", service, Hidden(u"ticket"), where, Status(status));
  return status;
}

HRESULT CQuorServiceCore::CloseSession(const Bstr& sessionKey, const Bstr& verifier, Bstr* result) {
  if (!result) return E_POINTER;
  const auto lease = frame_.Lease();
  *result = Bstr(u"");
  LogOperation(u"CloseSession", Bstr(u""), Hidden(u"sessionKey"));
  AuthAccessor* auth = context_.auth;
  const HRESULT status = auth ? auth->CloseSession(sessionKey, verifier).code() : QS_E_AUTH_SERVER_CONNECT_FAILED;
  Bstr text;
  if (SUCCEEDED(status)) text = Bstr::FromUtf8(text::Format("<resultCode>%d</resultCode>", status));
  ReportError(u"CloseSession", Bstr(u""), Hidden(u"sessionKey"), text, Status(status));
  if (!text.IsNull()) *result = text;
  return status;
}

HRESULT CQuorServiceCore::Exec(const Bstr&, const Bstr&, Bstr* reskey, Bstr* result) {
  if (reskey && reskey->IsNull()) *reskey = Bstr(u"");
  if (result && result->IsNull()) *result = Bstr(u"");
  return S_OK;
}

// ---- Store operations ---------------------------------------------------------------

Status CQuorServiceCore::RunQuery(OpCall& c) {
  const std::shared_ptr<const CServiceConfig> inForce = context_.querySettings.Current();
  // The engine may load folders the configuration in force lacks: into this
  // call's own configuration, never into the shared one.
  CServiceConfig settings;
  settings.ShareQueryParts(*inForce);
  CQueryEngine engine(settings);
  if (Status ready = engine.Init(); !ready.ok()) return ready;
  context_.querySettings.Keep(inForce, settings);
  return engine.Execute(c.args[0], c.result, c.stream);
}

Status CQuorServiceCore::NoStore(OpCall& call) {
  call.result = Bstr(u"");
  return Status();
}


Status CQuorServiceCore::GetCompressThreshold(OpCall& c) {
  c.result = Bstr::FromUtf8(
      text::Format("<root><compressthreshold>%d</compressthreshold></root>", context_.utils.GetCompressThreshold()));
  return Status();
}

Status CQuorServiceCore::GetAdminUserList(OpCall& c) { return context_.utils.ListAdminUsers(c.result); }
Status CQuorServiceCore::GetGroupList(OpCall& c) { return context_.utils.ListGroups(c.result); }
Status CQuorServiceCore::GetGroupUserList(OpCall& c) { return context_.utils.ListGroupUsers(c.args[0], c.result); }
Status CQuorServiceCore::AddAttendee(OpCall& c) {
  const Caller attendee = context_.utils.ResolveCaller(c.args[1]);
  return collab_->AddAttendee(c.Resolved(), c.args[0], attendee, c.result);
}
Status CQuorServiceCore::GetOwnGroupList(OpCall& c) { return context_.utils.ListOwnGroups(c.principal, c.result); }

// ---- The resume queue ---------------------------------------------------------------

Status CQuorServiceCore::ResumeServiceProcess(OpCall& c) {
  return context_.resume.ReplayResumeEntry(c.Resolved(), c.args[0], c.args[1], c.result, *collab_);
}
Status CQuorServiceCore::GetResumeIDList(OpCall& c) {
  return context_.resume.GetResumeIDList(c.principal, c.args[0], c.result);
}

}  // namespace quor::core
