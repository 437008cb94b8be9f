// The share fields being shared, with their attendees. They last as long as
// the server that started the sharing: in its memory where the repository
// belongs to one server, and in QUORSHARING, under that server's lease
// (ServerLease.h), where several servers share it, so that every server
// sees and enforces the same sharing.
//
// The collaboration store calls these inside its gate, its writers also
// holding the share field's RowLock: a look-up and the change that follows
// it see the same entry on every server. Each call runs on the calling
// thread's repository connection.
#pragma once

#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/store/DBConnect.h"
#include "core/store/ServerLease.h"
#include "platform/base/thread_annotations.h"
#include "platform/com/bstr.h"
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

class CSharingList {
 public:
  // `db` is the store's connection, `lease` this server's; neither is owned.
  CSharingList(CDBConnect* db, CServerLease& lease) : db_(db), lease_(lease) {}
  CSharingList(const CSharingList&) = delete;
  CSharingList& operator=(const CSharingList&) = delete;

  // The entry of `uri`, or none when the share field is not being shared.
  Result<std::optional<ActiveShareField>> Find(const com::Bstr& uri) QUOR_EXCLUDES(mutex_);
  // Lists `entry` with its owner as the one attendee; QS_E_FIELD_ACTIVE when
  // its URN is listed already.
  Status Add(ActiveShareField entry) QUOR_EXCLUDES(mutex_);
  Status Remove(const com::Bstr& uri) QUOR_EXCLUDES(mutex_);
  // The attendees of a listed entry replaced; QS_E_FIELD_NOT_ACTIVE when the
  // entry is gone.
  Status SetAttendees(const com::Bstr& uri, const std::vector<com::Bstr>& attendees) QUOR_EXCLUDES(mutex_);
  // The address of every listed entry, by URN.
  Result<std::map<std::u16string, com::Bstr>> Addresses() QUOR_EXCLUDES(mutex_);

 private:
  // Whether the list is the repository's; failing without a connection.
  Result<bool> InRepository();

  CDBConnect* db_;
  CServerLease& lease_;
  // The list of a server of its own, in the order sharing started.
  Mutex mutex_;
  std::list<ActiveShareField> local_ QUOR_GUARDED_BY(mutex_);
};

}  // namespace quor::core
