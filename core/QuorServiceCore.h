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

#include "core/store/CollabDBConnectImpl.h"
#include "core/store/LogDBConnectImpl.h"
#include "core/store/VODBConnectImpl.h"
#include "platform/com/dispatch.h"

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
    HRESULT (CQuorServiceCore::*store)(OpCall&) = nullptr;
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
  static HRESULT CheckServiceReady();
  HRESULT LogOperation(std::u16string_view operation, const com::Bstr& principal, const com::Bstr& target);
  // The text of a failure whose status has none: the database's own message
  // on the calling thread's connection, else the status's generic text.
  static com::Bstr FailureReason(HRESULT status);
  void ReportError(std::u16string_view operation, const com::Bstr& principal, const com::Bstr& target,
                   const com::Bstr& result, HRESULT status, std::string_view detail = {});

  // Store operations behind the data operations (named in the table).
  // Query: one query engine for the call.
  HRESULT RunQuery(OpCall& call);
  HRESULT NoStore(OpCall& call);
  HRESULT PutCollabLog(OpCall& call);
  HRESULT PutLog(OpCall& call);
  HRESULT GetLog(OpCall& call);
  HRESULT GetLogCount(OpCall& call);
  HRESULT GetLogIDList(OpCall& call);
  HRESULT GetLogs(OpCall& call);
  HRESULT GetCategoryLogIDList(OpCall& call);
  HRESULT GetLogbyUser(OpCall& call);
  HRESULT GetCategoryLogbyUser(OpCall& call);
  HRESULT GetCompressThreshold(OpCall& call);
  HRESULT GetAdminUserList(OpCall& call);
  HRESULT GetGroupList(OpCall& call);
  HRESULT GetGroupUserList(OpCall& call);
  HRESULT GetOwnGroupList(OpCall& call);

  // Share fields, messages, sharing and attendees (the collaboration store).
  HRESULT PutShareField(OpCall& call);
  HRESULT GetShareField(OpCall& call);
  HRESULT UpdateShareField(OpCall& call);
  HRESULT RemoveShareField(OpCall& call);
  HRESULT GetShareFieldList(OpCall& call);
  HRESULT GetShareFieldURIList(OpCall& call);
  HRESULT GetShareFieldAttribute(OpCall& call);
  HRESULT GetShareFieldURI(OpCall& call);
  HRESULT PutMessage(OpCall& call);
  HRESULT GetMessage(OpCall& call);
  HRESULT UpdateMessage(OpCall& call);
  HRESULT RemoveMessage(OpCall& call);
  HRESULT StartSharing(OpCall& call);
  HRESULT EndSharing(OpCall& call);
  HRESULT SaveSharing(OpCall& call);
  HRESULT GetAttendeesList(OpCall& call);
  HRESULT AddAttendee(OpCall& call);  // also ChangeOwner
  HRESULT DeleteAttendee(OpCall& call);
  HRESULT GetURLUnsupported(OpCall& call);
  HRESULT GetConferenceManagerURL(OpCall& call);
  // ACLs of either store, chosen by the uri.
  HRESULT GetACL(OpCall& call);
  HRESULT PutACL(OpCall& call);
  HRESULT UpdateACL(OpCall& call);
  HRESULT DeleteACL(OpCall& call);
  HRESULT GetACLEntry(OpCall& call);
  HRESULT PutACLEntry(OpCall& call);
  HRESULT UpdateACLEntry(OpCall& call);
  HRESULT DeleteACLEntry(OpCall& call);
  // Locks of either store, chosen by the uri's kind.
  HRESULT LockVO(OpCall& call);
  HRESULT UnlockVO(OpCall& call);
  // Vesk objects: content, content with locks, lists and URNs (the content
  // store).
  HRESULT GetVOContent(OpCall& call);
  HRESULT GetVOContentbyURI(OpCall& call);
  HRESULT PutVOContent(OpCall& call);
  HRESULT UpdateVOContent(OpCall& call);
  HRESULT UpdateVOContentbyURI(OpCall& call);
  HRESULT RemoveVOContent(OpCall& call);
  HRESULT RemoveVOContentbyURI(OpCall& call);
  HRESULT GetVOContentwithLock(OpCall& call);
  HRESULT GetVOContentbyURIwithLock(OpCall& call);
  HRESULT UpdateVOContentwithUnlock(OpCall& call);
  HRESULT UpdateVOContentbyURIwithUnlock(OpCall& call);
  HRESULT GetVOList(OpCall& call);
  HRESULT GetVOURIList(OpCall& call);
  HRESULT GetVOURI(OpCall& call);
  HRESULT GetVOAttribute(OpCall& call);
  HRESULT PutVOURI(OpCall& call);
  HRESULT RemoveVOURI(OpCall& call);
  HRESULT GetAllVOList(OpCall& call);
  HRESULT GetAllVOURIList(OpCall& call);
  HRESULT GetAllVOUserList(OpCall& call);
  // Resources: records, locations, attributes, properties and ACLs (the
  // content store).
  HRESULT PutVOResource(OpCall& call);
  HRESULT PutVOResourcewithAttribute(OpCall& call);
  HRESULT RemoveVOResource(OpCall& call);
  HRESULT GetVOResourceURI(OpCall& call);
  HRESULT GetVOResourceURIList(OpCall& call);
  HRESULT GetVOResourceURL(OpCall& call);
  HRESULT UpdateVOResourceURL(OpCall& call);
  HRESULT UpdateVOResourceAttribute(OpCall& call);
  HRESULT RemoveVOResourceAttribute(OpCall& call);
  HRESULT UpdateVOResourceProps(OpCall& call);
  HRESULT GetVOResourceAttribute(OpCall& call);
  HRESULT GetVOResourceAttributeList(OpCall& call);
  HRESULT GetVOResourceUpdate(OpCall& call);
  HRESULT GetAllVOResourceAttributeList(OpCall& call);
  HRESULT GetVOResourceModuleNameList(OpCall& call);
  HRESULT GetResourceACL(OpCall& call);
  HRESULT GetResourceACLEntry(OpCall& call);
  HRESULT PutResourceACL(OpCall& call);
  HRESULT PutResourceACLEntry(OpCall& call);
  HRESULT UpdateResourceACL(OpCall& call);
  HRESULT UpdateResourceACLEntry(OpCall& call);
  HRESULT DeleteResourceACL(OpCall& call);
  HRESULT DeleteResourceACLEntry(OpCall& call);
  // The resume queue.
  HRESULT ResumeServiceProcess(OpCall& call);
  HRESULT GetResumeIDList(OpCall& call);

 private:
  std::unique_ptr<CLogDBConnectImpl> log_;
  CCollabDBConnectImpl* collab_ = nullptr;  // the module's; never null after construction
  CVODBConnectImpl* vo_ = nullptr;          // the module's content store; never null after construction
};

}  // namespace quor::core
