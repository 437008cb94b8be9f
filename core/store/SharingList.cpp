#include "core/store/SharingList.h"

#include <algorithm>

#include "core/StatusCodes.h"
#include "core/store/StoreRows.h"

namespace quor::core {

using store::Column;
using store::Value;

Result<bool> CSharingList::InRepository() {
  // Without a repository yet nothing can be shared: the list is the
  // server's own, as it is for a repository of one server.
  if (lease_.KindOf() != CServerLease::Kind::Shared) return false;
  QUOR_RETURN_IF_ERROR(lease_.Ready());
  return true;
}

Result<std::optional<ActiveShareField>> CSharingList::Find(const com::Bstr& uri) {
  QUOR_ASSIGN_OR_RETURN(const bool shared, InRepository());
  if (!shared) {
    MutexLock lock(mutex_);
    for (const auto& entry : local_)
      if (entry.uri.View() == uri.View()) return std::optional<ActiveShareField>(entry);
    return std::optional<ActiveShareField>();
  }
  CommandHolder command;
  RecordsetHolder rows;
  const com::Variant params[] = {Value(uri), lease_.LiveValue()};
  QUOR_RETURN_IF_ERROR(db_->ExecuteQuery(
      command, rows,
      "SELECT AUTHOR, NAME, OWNER, IPADDRESS, MESSAGE, ACCESSLIST, ATTENDEES FROM QUORSHARING WHERE VOURI = ? AND " +
          lease_.LiveCondition("SERVERID"),
      params));
  std::optional<ActiveShareField> found;
  if (!rows->Eof()) {
    found.emplace();
    found->uri = uri;
    found->author = Column(*db_, rows, "AUTHOR");
    found->name = Column(*db_, rows, "NAME");
    found->owner = Column(*db_, rows, "OWNER");
    found->ipaddress = Column(*db_, rows, "IPADDRESS");
    found->message = Column(*db_, rows, "MESSAGE");
    found->acl = Column(*db_, rows, "ACCESSLIST");
    found->attendees = SplitTexts(Column(*db_, rows, "ATTENDEES").Utf8());
  }
  db_->ReleaseQuery(command, rows);
  return found;
}

Status CSharingList::Add(ActiveShareField entry) {
  entry.attendees = {entry.owner};
  QUOR_ASSIGN_OR_RETURN(const bool shared, InRepository());
  if (!shared) {
    MutexLock lock(mutex_);
    for (const auto& listed : local_)
      if (listed.uri.View() == entry.uri.View()) return Status(QS_E_FIELD_ACTIVE);
    local_.push_back(std::move(entry));
    return Status();
  }
  // An entry left by a server that is gone gives way.
  const com::Variant params[] = {Value(entry.uri),
                                 com::Variant(com::Bstr::FromUtf8(lease_.Id())),
                                 Value(entry.author),
                                 Value(entry.name),
                                 Value(entry.owner),
                                 Value(entry.ipaddress),
                                 Value(entry.message),
                                 Value(entry.acl),
                                 com::Variant(com::Bstr::FromUtf8(JoinTexts(entry.attendees))),
                                 lease_.LiveValue()};
  int64_t added = 0;
  QUOR_RETURN_IF_ERROR(db_->ExecuteNonQuery(
      "INSERT INTO QUORSHARING (VOURI, SERVERID, AUTHOR, NAME, OWNER, IPADDRESS, MESSAGE, ACCESSLIST, ATTENDEES) "
      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (VOURI) DO UPDATE SET SERVERID = EXCLUDED.SERVERID, "
      "AUTHOR = EXCLUDED.AUTHOR, NAME = EXCLUDED.NAME, OWNER = EXCLUDED.OWNER, IPADDRESS = EXCLUDED.IPADDRESS, "
      "MESSAGE = EXCLUDED.MESSAGE, ACCESSLIST = EXCLUDED.ACCESSLIST, ATTENDEES = EXCLUDED.ATTENDEES WHERE NOT " +
          lease_.LiveCondition("QUORSHARING.SERVERID"),
      params, added));
  return added == 0 ? Status(QS_E_FIELD_ACTIVE) : Status();
}

Status CSharingList::Remove(const com::Bstr& uri) {
  QUOR_ASSIGN_OR_RETURN(const bool shared, InRepository());
  if (!shared) {
    MutexLock lock(mutex_);
    local_.remove_if([&](const auto& e) { return e.uri.View() == uri.View(); });
    return Status();
  }
  const com::Variant params[] = {Value(uri)};
  return db_->ExecuteNonQuery("DELETE FROM QUORSHARING WHERE VOURI = ?", params);
}

Status CSharingList::SetAttendees(const com::Bstr& uri, const std::vector<com::Bstr>& attendees) {
  QUOR_ASSIGN_OR_RETURN(const bool shared, InRepository());
  if (!shared) {
    MutexLock lock(mutex_);
    const auto listed =
        std::find_if(local_.begin(), local_.end(), [&](const auto& e) { return e.uri.View() == uri.View(); });
    if (listed == local_.end()) return Status(QS_E_FIELD_NOT_ACTIVE);
    listed->attendees = attendees;
    return Status();
  }
  const com::Variant params[] = {com::Variant(com::Bstr::FromUtf8(JoinTexts(attendees))), Value(uri),
                                 lease_.LiveValue()};
  int64_t changed = 0;
  QUOR_RETURN_IF_ERROR(db_->ExecuteNonQuery(
      "UPDATE QUORSHARING SET ATTENDEES = ? WHERE VOURI = ? AND " + lease_.LiveCondition("SERVERID"), params, changed));
  return changed == 0 ? Status(QS_E_FIELD_NOT_ACTIVE) : Status();
}

Result<std::map<std::u16string, com::Bstr>> CSharingList::Addresses() {
  std::map<std::u16string, com::Bstr> addresses;
  QUOR_ASSIGN_OR_RETURN(const bool shared, InRepository());
  if (!shared) {
    MutexLock lock(mutex_);
    for (const auto& entry : local_) addresses.emplace(std::u16string(entry.uri.View()), entry.ipaddress);
    return addresses;
  }
  CommandHolder command;
  RecordsetHolder rows;
  const com::Variant params[] = {lease_.LiveValue()};
  QUOR_RETURN_IF_ERROR(db_->ExecuteQuery(
      command, rows, "SELECT VOURI, IPADDRESS FROM QUORSHARING WHERE " + lease_.LiveCondition("SERVERID"), params));
  while (!rows->Eof()) {
    addresses.emplace(std::u16string(Column(*db_, rows, "VOURI").View()), Column(*db_, rows, "IPADDRESS"));
    if (Status moved = db_->MoveNext(rows); !moved.ok()) {
      db_->ReleaseQuery(command, rows);
      return moved;
    }
  }
  db_->ReleaseQuery(command, rows);
  return addresses;
}

}  // namespace quor::core
