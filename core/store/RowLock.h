// The other servers' part of a store's gate. Several quor-server processes
// may share one PostgreSQL repository, and a store's OperationGate orders
// only the writers of its own process. A RowLock, taken inside the gate for
// the length of a writing operation, makes the writers of one row (a table
// and its key) on every server pass one at a time, so a check and the write
// that follows it see the same row there too: a PostgreSQL advisory lock of
// the session, taken on the calling thread's connection and released when
// the RowLock ends (or by the server when the connection goes). The
// operation's statements run as before, each committing on its own, and it
// answers as before. Other databases take nothing: an SQLite repository
// belongs to one server.
//
// When the lock cannot be taken (the link is gone, say) the operation runs
// without it, and its own statements answer for the database. Taking and
// releasing leave the thread's error information and the connection's last
// texts as they were.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/store/DBConnect.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"

namespace quor::core::store {

class RowLock {
 public:
  // `db` may be null or closed: nothing is taken.
  RowLock(CDBConnect* db, std::string_view table, const com::Bstr& key);
  ~RowLock();
  RowLock(const RowLock&) = delete;
  RowLock& operator=(const RowLock&) = delete;

  bool Held() const { return held_; }

  // The advisory lock's number for a row: the same on every server (FNV-1a
  // over the table's name and the key's UTF-8 text). Two rows that share a
  // number only wait for each other.
  static int64_t KeyOf(std::string_view table, const com::Bstr& key);

 private:
  CDBConnect* db_ = nullptr;
  int64_t key_ = 0;
  bool held_ = false;
};

}  // namespace quor::core::store
