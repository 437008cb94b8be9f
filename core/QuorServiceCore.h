// The service core's main component: one operation per SOAP operation, each
// run through the request frame (trace, ready gate, unwrap of the caller's
// arguments through its session, begin row, store operation, error report,
// wrap of the result into a response key).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/ResponseStream.h"
#include "core/store/CollabDBConnectImpl.h"
#include "core/store/LogDBConnectImpl.h"
#include "core/store/VODBConnectImpl.h"
#include "platform/com/dispatch.h"
#include "platform/com/status.h"

namespace quor::core {

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
  const com::Bstr& principal;
  std::vector<com::Bstr>& args;
  com::Bstr& result;
  // Set for an operation that may send its result while it makes it: the
  // result is then written here instead (see ResponseStream).
  ResponseStream* stream = nullptr;
};

class CQuorServiceCore : public com::DispatchObject<CQuorServiceCore, IQuorServiceCore, com::ISupportErrorInfo> {
 public:
  static constexpr std::u16string_view kErrorSource = u"QuorServer";

  CQuorServiceCore();
  ~CQuorServiceCore();

  HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override;
  static std::span<const com::DispatchEntry<CQuorServiceCore>> DispatchTable();

  // What a data operation is, for its frame.
  struct Operation {
    std::u16string_view name;
    std::array<std::u16string_view, 9> params{};  // [in] after `user`
    uint8_t count = 0;
    Status (CQuorServiceCore::*store)(OpCall&) = nullptr;
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
  static Status CheckServiceReady();
  // A log row whose write fails costs the call nothing.
  void LogOperation(std::u16string_view operation, const com::Bstr& principal, const com::Bstr& target);
  // The text of a failure whose status has none: the database's own message
  // on the calling thread's connection, else the status's generic text.
  static com::Bstr FailureReason(HRESULT status);
  // The frame's report at the edge: the log rows and the error information
  // of a failed call.
  void ReportError(std::u16string_view operation, const com::Bstr& principal, const com::Bstr& target,
                   const com::Bstr& result, HRESULT status, std::string_view detail = {});

  // Store operations behind the data operations (named in the table). A
  // store's failure keeps its code, a success code included.
  // Query: one query engine for the call.
  Status RunQuery(OpCall& call);
  Status NoStore(OpCall& call);
  Status PutCollabLog(OpCall& call);
  Status PutLog(OpCall& call);
  Status GetLog(OpCall& call);
  Status GetLogCount(OpCall& call);
  Status GetLogIDList(OpCall& call);
  Status GetLogs(OpCall& call);
  Status GetCategoryLogIDList(OpCall& call);
  Status GetLogbyUser(OpCall& call);
  Status GetCategoryLogbyUser(OpCall& call);
  Status GetCompressThreshold(OpCall& call);
  Status GetAdminUserList(OpCall& call);
  Status GetGroupList(OpCall& call);
  Status GetGroupUserList(OpCall& call);
  Status GetOwnGroupList(OpCall& call);

  // Share fields, messages, sharing and attendees (the collaboration store).
  Status PutShareField(OpCall& call);
  Status GetShareField(OpCall& call);
  Status UpdateShareField(OpCall& call);
  Status RemoveShareField(OpCall& call);
  Status GetShareFieldList(OpCall& call);
  Status GetShareFieldURIList(OpCall& call);
  Status GetShareFieldAttribute(OpCall& call);
  Status GetShareFieldURI(OpCall& call);
  Status PutMessage(OpCall& call);
  Status GetMessage(OpCall& call);
  Status UpdateMessage(OpCall& call);
  Status RemoveMessage(OpCall& call);
  Status StartSharing(OpCall& call);
  Status EndSharing(OpCall& call);
  Status SaveSharing(OpCall& call);
  Status GetAttendeesList(OpCall& call);
  Status AddAttendee(OpCall& call);  // also ChangeOwner
  Status DeleteAttendee(OpCall& call);
  Status GetURLUnsupported(OpCall& call);
  Status GetConferenceManagerURL(OpCall& call);
  // ACLs of either store, chosen by the uri.
  Status GetACL(OpCall& call);
  Status PutACL(OpCall& call);
  Status UpdateACL(OpCall& call);
  Status DeleteACL(OpCall& call);
  Status GetACLEntry(OpCall& call);
  Status PutACLEntry(OpCall& call);
  Status UpdateACLEntry(OpCall& call);
  Status DeleteACLEntry(OpCall& call);
  // Locks of either store, chosen by the uri's kind.
  Status LockVO(OpCall& call);
  Status UnlockVO(OpCall& call);
  // Vesk objects: content, content with locks, lists and URNs (the content
  // store).
  Status GetVOContent(OpCall& call);
  Status GetVOContentbyURI(OpCall& call);
  Status PutVOContent(OpCall& call);
  Status UpdateVOContent(OpCall& call);
  Status UpdateVOContentbyURI(OpCall& call);
  Status RemoveVOContent(OpCall& call);
  Status RemoveVOContentbyURI(OpCall& call);
  Status GetVOContentwithLock(OpCall& call);
  Status GetVOContentbyURIwithLock(OpCall& call);
  Status UpdateVOContentwithUnlock(OpCall& call);
  Status UpdateVOContentbyURIwithUnlock(OpCall& call);
  Status GetVOList(OpCall& call);
  Status GetVOURIList(OpCall& call);
  Status GetVOURI(OpCall& call);
  Status GetVOAttribute(OpCall& call);
  Status PutVOURI(OpCall& call);
  Status RemoveVOURI(OpCall& call);
  Status GetAllVOList(OpCall& call);
  Status GetAllVOURIList(OpCall& call);
  Status GetAllVOUserList(OpCall& call);
  // Resources: records, locations, attributes, properties and ACLs (the
  // content store).
  Status PutVOResource(OpCall& call);
  Status PutVOResourcewithAttribute(OpCall& call);
  Status RemoveVOResource(OpCall& call);
  Status GetVOResourceURI(OpCall& call);
  Status GetVOResourceURIList(OpCall& call);
  Status GetVOResourceURL(OpCall& call);
  Status UpdateVOResourceURL(OpCall& call);
  Status UpdateVOResourceAttribute(OpCall& call);
  Status RemoveVOResourceAttribute(OpCall& call);
  Status UpdateVOResourceProps(OpCall& call);
  Status GetVOResourceAttribute(OpCall& call);
  Status GetVOResourceAttributeList(OpCall& call);
  Status GetVOResourceUpdate(OpCall& call);
  Status GetAllVOResourceAttributeList(OpCall& call);
  Status GetVOResourceModuleNameList(OpCall& call);
  Status GetResourceACL(OpCall& call);
  Status GetResourceACLEntry(OpCall& call);
  Status PutResourceACL(OpCall& call);
  Status PutResourceACLEntry(OpCall& call);
  Status UpdateResourceACL(OpCall& call);
  Status UpdateResourceACLEntry(OpCall& call);
  Status DeleteResourceACL(OpCall& call);
  Status DeleteResourceACLEntry(OpCall& call);
  // The resume queue.
  Status ResumeServiceProcess(OpCall& call);
  Status GetResumeIDList(OpCall& call);

 private:
  std::unique_ptr<CLogDBConnectImpl> log_;
  CCollabDBConnectImpl* collab_ = nullptr;  // the module's; never null after construction
  CVODBConnectImpl* vo_ = nullptr;          // the module's content store; never null after construction
};

}  // namespace quor::core
