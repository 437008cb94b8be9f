// The collaboration store: share fields (rows of QUORCOLLAB) with their
// messages, ACL documents and locks, and the share fields being shared, with
// their attendees, which live only in memory.
//
// Every operation takes the verified calling user first and answers through
// `result` (left null where the operation answers nothing). Values reach the
// database only as bound parameters.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/store/DBConnect.h"
#include "core/store/OperationGate.h"
#include "core/store/StoreRows.h"
#include "platform/com/bstr.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"

namespace quor::core {

// A share field being shared: the row as it was when sharing started, the
// address its owner gave, and the attendees (the owner first).
struct ActiveShareField {
  com::Bstr author;
  com::Bstr name;
  com::Bstr uri;
  com::Bstr owner;
  com::Bstr ipaddress;
  com::Bstr message;
  com::Bstr acl;  // attendees are checked against this copy
  std::vector<com::Bstr> attendees;
};

class CCollabDBConnectImpl {
 public:
  // `connection` is the shared connection; the store does not own it.
  explicit CCollabDBConnectImpl(CDBConnect* connection);
  virtual ~CCollabDBConnectImpl();
  CCollabDBConnectImpl(const CCollabDBConnectImpl&) = delete;
  CCollabDBConnectImpl& operator=(const CCollabDBConnectImpl&) = delete;

  // Reads the settings the store relies on that are still unread. 0 unless a
  // loader failed (negative).
  HRESULT Init();

  // ---- Share fields ----
  // A new share field, answered with its URN; for an existing one the caller
  // may read, the corrupted-data answer with a resume entry for the forced put.
  HRESULT PutShareField(const com::Bstr& user, const com::Bstr& author, const com::Bstr& name, const com::Bstr& field,
                        com::Bstr& result);
  // Replaces the share field with a new row of the caller's, when a put by
  // the caller would be allowed to overwrite it (write and delete rights, not
  // shared, not locked by someone else).
  HRESULT ForcePutShareField(const com::Bstr& user, const com::Bstr& author, const com::Bstr& name,
                             const com::Bstr& field, com::Bstr& result);
  HRESULT GetShareField(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT UpdateShareField(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& field, com::Bstr& result);
  HRESULT RemoveShareField(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT GetShareFieldList(const com::Bstr& user, com::Bstr& result);
  HRESULT GetShareFieldURIList(const com::Bstr& user, com::Bstr& result);
  HRESULT GetShareFieldURI(const com::Bstr& user, const com::Bstr& author, const com::Bstr& name, com::Bstr& result);
  HRESULT GetShareFieldAttribute(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);

  // ---- Messages ----
  HRESULT PutMessage(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& message, com::Bstr& result);
  HRESULT GetMessage(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT UpdateMessage(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& message, com::Bstr& result);
  HRESULT RemoveMessage(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);

  // ---- Sharing and attendees ----
  HRESULT StartSharing(const com::Bstr& user, const com::Bstr& ipaddress, const com::Bstr& uri, com::Bstr& result);
  HRESULT EndSharing(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT SaveSharing(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& field, com::Bstr& result);
  HRESULT GetAttendeesList(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT AddAttendee(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& attendee, com::Bstr& result);
  HRESULT DeleteAttendee(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& attendee, com::Bstr& result);
  // A copy of the active entry of `uri`, if the share field is being shared.
  std::optional<ActiveShareField> FindActiveField(const com::Bstr& uri) const;

  // ---- ACLs ----
  HRESULT GetACL(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT PutACL(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acl, com::Bstr& result);
  HRESULT UpdateACL(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acl, com::Bstr& result);
  HRESULT DeleteACL(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT GetACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser, com::Bstr& result);
  HRESULT PutACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser, const com::Bstr& accright,
                      com::Bstr& result);
  HRESULT UpdateACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                         const com::Bstr& accright, com::Bstr& result);
  HRESULT DeleteACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser, com::Bstr& result);

  // ---- Locks and conference URLs ----
  HRESULT LockVO(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT ForceUnlockVO(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  // "<root><url>...</url></root>" from the registry value ConferenceManagerURL.
  HRESULT GetConferenceManagerURL(const com::Bstr& user, com::Bstr& result);
  // Application sharing and video conferences have no server side: E_NOTIMPL.
  HRESULT GetURLUnsupported(const com::Bstr& user, const com::Bstr& author, const com::Bstr& name, com::Bstr& result);

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
  Status InsertShareField(const com::Bstr& author, const com::Bstr& user, const com::Bstr& name,
                          const com::Bstr& field);
  Status WriteField(const com::Bstr& uri, const com::Bstr& field);
  // The checks and write of UpdateShareField after its sharing check.
  Status UpdateFieldChecked(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& field);
  // The row of `uri` for a lock operation, after the read right.
  Status LockRow(const com::Bstr& user, const com::Bstr& uri, RowState& row);

  // ---- The active list (guarded by activeMutex_) ----
  Status AddActiveField(ActiveShareField entry);
  // The listed entry of `uri`, or the end; the caller holds activeMutex_.
  std::list<ActiveShareField>::iterator Listed(const com::Bstr& uri);

  CDBConnect* db_;
  // The rows of QUORCOLLAB by VOURI; stateless, shared by every thread.
  store::StoreRows rows_;
  // Writing operations one at a time and alone: an operation's checks and
  // its writes see the same row and the same active list. Readers together.
  // Re-entered by operations that build on one another (StartSharing reads
  // through GetShareField, PutShareField through the row look-up).
  mutable OperationGate operation_;
  mutable std::mutex activeMutex_;
  std::list<ActiveShareField> active_;
};

}  // namespace quor::core
