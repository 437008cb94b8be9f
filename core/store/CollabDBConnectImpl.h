// The collaboration store: share fields (rows of QUORCOLLAB) with their
// messages, ACL documents and locks, and the share fields being shared, with
// their attendees, which last as long as the server that started the sharing.
//
// Every operation takes the verified calling user first and answers through
// `result` (left null where the operation answers nothing). Values reach the
// database only as bound parameters.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/store/DBConnect.h"
#include "core/store/OperationGate.h"
#include "core/store/SharingList.h"
#include "core/store/StoreRows.h"
#include "platform/base/thread_annotations.h"
#include "platform/com/bstr.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"

namespace quor::core {

class CResumeQueue;

class CCollabDBConnectImpl {
 public:
  // `connection` is the shared connection and `queue` the process's resume
  // queue, whose lease the sharing list lasts by; the store owns neither.
  CCollabDBConnectImpl(CDBConnect* connection, CResumeQueue& queue);
  virtual ~CCollabDBConnectImpl();
  CCollabDBConnectImpl(const CCollabDBConnectImpl&) = delete;
  CCollabDBConnectImpl& operator=(const CCollabDBConnectImpl&) = delete;

  // Ready for its calls; the settings are the module's business.
  Status Init();
  // The connection its rows go over.
  CDBConnect* Connection() const { return db_; }

  // ---- Share fields ----
  // A new share field, answered with its URN; for an existing one the caller
  // may read, the corrupted-data answer with a resume entry for the forced put.
  Status PutShareField(const Caller& caller, const com::Bstr& author, const com::Bstr& name, const com::Bstr& field,
                       com::Bstr& result);
  // Replaces the share field with a new row of the caller's, when a put by
  // the caller would be allowed to overwrite it (write and delete rights, not
  // shared, not locked by someone else).
  Status ForcePutShareField(const Caller& caller, const com::Bstr& author, const com::Bstr& name,
                            const com::Bstr& field, com::Bstr& result);
  Status GetShareField(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status UpdateShareField(const Caller& caller, const com::Bstr& uri, const com::Bstr& field, com::Bstr& result);
  Status RemoveShareField(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status GetShareFieldList(const Caller& caller, com::Bstr& result);
  Status GetShareFieldURIList(const Caller& caller, com::Bstr& result);
  Status GetShareFieldURI(const Caller& caller, const com::Bstr& author, const com::Bstr& name, com::Bstr& result);
  Status GetShareFieldAttribute(const Caller& caller, const com::Bstr& uri, com::Bstr& result);

  // ---- Messages ----
  Status PutMessage(const Caller& caller, const com::Bstr& uri, const com::Bstr& message, com::Bstr& result);
  Status GetMessage(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status UpdateMessage(const Caller& caller, const com::Bstr& uri, const com::Bstr& message, com::Bstr& result);
  Status RemoveMessage(const Caller& caller, const com::Bstr& uri, com::Bstr& result);

  // ---- Sharing and attendees ----
  Status StartSharing(const Caller& caller, const com::Bstr& ipaddress, const com::Bstr& uri, com::Bstr& result);
  Status EndSharing(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status SaveSharing(const Caller& caller, const com::Bstr& uri, const com::Bstr& field, com::Bstr& result);
  Status GetAttendeesList(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  // The attendee comes resolved, as its rights are checked like a caller's.
  Status AddAttendee(const Caller& caller, const com::Bstr& uri, const Caller& attendee, com::Bstr& result);
  Status DeleteAttendee(const Caller& caller, const com::Bstr& uri, const com::Bstr& attendee, com::Bstr& result);
  // A copy of the active entry of `uri`, if the share field is being shared.
  Result<std::optional<ActiveShareField>> FindActiveField(const com::Bstr& uri);

  // ---- ACLs ----
  Status GetACL(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status PutACL(const Caller& caller, const com::Bstr& uri, const com::Bstr& acl, com::Bstr& result);
  Status UpdateACL(const Caller& caller, const com::Bstr& uri, const com::Bstr& acl, com::Bstr& result);
  Status DeleteACL(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status GetACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser, com::Bstr& result);
  Status PutACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser, const com::Bstr& accright,
                     com::Bstr& result);
  Status UpdateACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser, const com::Bstr& accright,
                        com::Bstr& result);
  Status DeleteACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser, com::Bstr& result);

  // ---- Locks and conference URLs ----
  Status LockVO(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status ForceUnlockVO(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  // "<root><url>...</url></root>" from the registry value ConferenceManagerURL.
  Status GetConferenceManagerURL(const Caller& caller, com::Bstr& result);
  // Application sharing and video conferences have no server side: E_NOTIMPL.
  Status GetURLUnsupported(const Caller& caller, const com::Bstr& author, const com::Bstr& name, com::Bstr& result);

 private:
  // The row a URN names, as far as the checks need it.
  struct RowState {
    bool found = false;
    com::Bstr author, name, owner, message, acl, lock;
  };

  bool Ready() const { return rows_.Ready(); }

  // "<root>" with one "field" element per row describing the share field.
  Status QueryList(std::string_view sql, std::span<const com::Variant> params, com::Bstr& result);
  // The row of `uri`; `found` false when there is none.
  Status QueryRow(const com::Bstr& uri, RowState& row);

  // ---- Writes ----
  Status InsertShareField(const com::Bstr& author, const Caller& caller, const com::Bstr& name, const com::Bstr& field);
  Status WriteField(const com::Bstr& uri, const com::Bstr& field);
  // The checks and write of UpdateShareField after its sharing check.
  Status UpdateFieldChecked(const Caller& caller, const com::Bstr& uri, const com::Bstr& field);
  // The row of `uri` for a lock operation, after the read right.
  Status LockRow(const Caller& caller, const com::Bstr& uri, RowState& row);

  // ---- The active list ----
  // QS_E_FIELD_ACTIVE while `uri` is being shared, else success (or the
  // failure of the look-up).
  Status RefuseShared(const com::Bstr& uri);

  CDBConnect* db_;
  CResumeQueue& queue_;
  // The rows of QUORCOLLAB by VOURI; stateless, shared by every thread.
  store::StoreRows rows_;
  // Writing operations one at a time and alone: an operation's checks and
  // its writes see the same row and the same active list. Readers together.
  // Re-entered by operations that build on one another (StartSharing reads
  // through GetShareField, PutShareField through the row look-up).
  mutable OperationGate operation_;
  CSharingList sharing_;
};

}  // namespace quor::core
