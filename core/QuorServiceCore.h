// The service core's main component: one operation per SOAP operation, each
// run through the request frame (trace, ready gate, unwrap of the caller's
// arguments through its session, begin row, store operation, error report,
// wrap of the result into a response key).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/Caller.h"
#include "core/ResponseStream.h"
#include "core/RequestFrame.h"
#include "core/ServiceFrame.h"
#include "core/store/CollabDBConnectImpl.h"
#include "core/store/LogDBConnectImpl.h"
#include "core/store/VODBConnectImpl.h"
#include "platform/com/dispatch.h"
#include "platform/com/status.h"

namespace quor::core {

class CQuorServiceUtils;

inline constexpr com::CLSID CLSID_QuorServiceCore = com::Guid::Literal("{BF263AA6-1442-4AAA-8026-E0E4B0FBB408}");

// Dual in the original; here its operations are reached by name (dispatch
// identifiers 1 to 98 in interface order).
struct IQuorServiceCore : com::IDispatch {
  QUOR_COM_INTERFACE(com::IDispatch, "{A555EAEB-755C-489C-A8AE-A17AE4736A50}");

 protected:
  ~IQuorServiceCore() = default;
};

// One argument of an operation as the frame hands it to the store: the
// caller's principal, the decoded [in] arguments after `user` in interface
// order, and the result text (null until the store writes it).
struct OpCall {
  OpCall(const CQuorServiceUtils& utils, const com::Bstr& principal, std::vector<com::Bstr>& args, com::Bstr& result,
         ResponseStream* stream)
      : principal(principal), args(args), result(result), stream(stream), utils_(utils) {}
  const com::Bstr& principal;
  std::vector<com::Bstr>& args;
  com::Bstr& result;
  // Set for an operation that may send its result while it makes it: the
  // result is then written here instead (see ResponseStream).
  ResponseStream* stream = nullptr;
  // The principal with its rights, asked of the directory once, before any
  // store is called.
  const Caller& Resolved();

 private:
  const CQuorServiceUtils& utils_;
  std::optional<Caller> caller_;
};

class CQuorServiceCore : public com::DispatchObject<CQuorServiceCore, IQuorServiceCore, com::ISupportErrorInfo> {
 public:
  static constexpr std::u16string_view kErrorSource = CRequestFrame::kErrorSource;

  explicit CQuorServiceCore(FrameContext context);
  ~CQuorServiceCore();

  HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override;
  static std::span<const com::DispatchEntry<CQuorServiceCore>> DispatchTable();

  // What a data operation is, for its frame.
  struct Operation {
    std::u16string_view name;
    std::array<std::u16string_view, 9> params{};  // [in] after `user`
    uint8_t count = 0;
    // What the operation does once the frame has let it through: a store
    // method (see Call and the calls after it) or a member of this class.
    struct Target {
      Status (*run)(CQuorServiceCore&, OpCall&) = nullptr;
      int8_t args = -1;  // the [in] arguments it reads; -1 for a member's own
    } call;
    uint32_t flags = 0;
    int8_t target = 0;  // index into params; -1 for none
  };
  static std::span<const Operation> Operations();

  // The frame of a data operation (also reached through the dispatch table).
  HRESULT RunOperation(const Operation& op, const com::Bstr& user, std::span<const com::Bstr> in, com::Bstr& reskey,
                       com::Bstr& result);

  // ---- The sign-in operations and Exec, outside the frame ----
  HRESULT CreateTicket(const com::Bstr& authority, const com::Bstr& realm, const com::Bstr& principal,
                       const com::Bstr& credential, com::Bstr* fullPrincipal, com::Bstr* ticket);
  HRESULT OpenSession(const com::Bstr& service, const com::Bstr& ticket, const com::Bstr& tokenScheme,
                      const com::Bstr& tokenSeed, com::Bstr* sessionKey, com::Bstr* verifier, com::Bstr* locator);
  HRESULT CloseSession(const com::Bstr& sessionKey, const com::Bstr& verifier, com::Bstr* result);
  HRESULT Exec(const com::Bstr& user, const com::Bstr& command, com::Bstr* reskey, com::Bstr* result);

  // ---- Frame parts ----
  Status CheckServiceReady() const;
  // A log row whose write fails costs the call nothing.
  void LogOperation(std::u16string_view operation, const com::Bstr& principal, const com::Bstr& target);
  // The frame's report at the edge: the log rows and the error information
  // of a failed call. The outcome's message is the detail the event log
  // adds; a status the service does not know is told by the database's own
  // words when the repository's driver reported it (its SQLSTATE says so),
  // else by the status's generic text.
  void ReportError(std::u16string_view operation, const com::Bstr& principal, const com::Bstr& target,
                   const com::Bstr& result, const Status& outcome);

  // ---- The calls a row of the operation table makes ----
  // (defined in QuorServiceCore_Calls.h, for the table alone.) A store's
  // status is the call's, message included.
  //
  // Call<&Store::Method>: the store method with the resolved caller (the
  // principal's name for a method that takes a name), the row's arguments in
  // order, the result and, for a method that takes one, the call's stream.
  template <auto Method>
  static Status Call(CQuorServiceCore& core, OpCall& call);
  // The same without the caller.
  template <auto Method>
  static Status CallNoUser(CQuorServiceCore& core, OpCall& call);
  // The ACL method of the store whose URNs the uri (the first argument) has
  // the prefix of; `InvalidUri` for any other uri.
  template <auto OfContent, auto OfCollab, HRESULT InvalidUri>
  static Status CallAcl(CQuorServiceCore& core, OpCall& call);
  // A lock method: the collaboration store's for a share field's uri, the
  // content store's for any other (the frame refused a uri of no kind).
  template <auto OfCollab, auto OfContent>
  static Status CallLock(CQuorServiceCore& core, OpCall& call);
  // A member of this class, for what is more than a store's call.
  template <Status (CQuorServiceCore::*Member)(OpCall&)>
  static Status CallMember(CQuorServiceCore& core, OpCall& call) {
    return (core.*Member)(call);
  }

  // The operations that are more than one store method.
  // Query: one query engine for the call.
  Status RunQuery(OpCall& call);
  Status NoStore(OpCall& call);
  Status GetCompressThreshold(OpCall& call);
  Status GetAdminUserList(OpCall& call);
  Status GetGroupList(OpCall& call);
  Status GetGroupUserList(OpCall& call);
  Status GetOwnGroupList(OpCall& call);
  // An attendee is measured against the share field's ACL as its own
  // caller, resolved before the store is entered.
  Status AddAttendee(OpCall& call);
  // The resume queue.
  Status ResumeServiceProcess(OpCall& call);
  Status GetResumeIDList(OpCall& call);

 private:
  template <typename Store>
  static Store& StoreOf(CQuorServiceCore& core);

  CRequestFrame frame_;
  const FrameContext& context_ = frame_.Context();
  CCollabDBConnectImpl* collab_ = nullptr;  // the module's; never null after construction
  CVODBConnectImpl* vo_ = nullptr;          // the module's content store; never null after construction
};

}  // namespace quor::core
