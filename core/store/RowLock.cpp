#include "core/store/RowLock.h"

#include <optional>

#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::core::store {

namespace {

// Whether the calling thread's connection reaches PostgreSQL.
bool Shared(const CDBConnect& db) {
  return db.GetState() != 0 && text::EqualsNoCase(db.DbmsName(), "PostgreSQL");
}

// Runs one advisory-lock function on `key`; whatever it leaves behind on the
// thread and the connection is put back as it was.
bool RunLockCall(CDBConnect& db, std::string_view sql, int64_t key) {
  std::optional<com::ErrorInfo> info = com::GetErrorInfo();
  const com::Bstr fieldValue = db.LastFieldValue();
  const com::Variant params[] = {com::Variant(key)};
  CommandHolder command;
  RecordsetHolder rows;
  const bool ran = db.ExecuteQuery(command, rows, sql, params).ok();
  db.ReleaseQuery(command, rows);
  db.LastFieldValue() = fieldValue;
  if (info)
    com::SetErrorInfo(std::move(*info));
  else
    com::ClearErrorInfo();
  return ran;
}

}  // namespace

int64_t RowLock::KeyOf(std::string_view table, const com::Bstr& key) {
  uint64_t hash = 14695981039346656037ull;
  const auto mix = [&](std::string_view bytes) {
    for (const char c : bytes) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 1099511628211ull;
    }
  };
  mix(table);
  mix(std::string_view("\0", 1));
  mix(key.Utf8());
  return static_cast<int64_t>(hash);
}

RowLock::RowLock(CDBConnect* db, std::string_view table, const com::Bstr& key) {
  if (!db || !Shared(*db)) return;
  db_ = db;
  key_ = KeyOf(table, key);
  held_ = RunLockCall(*db_, "SELECT pg_advisory_lock(?)", key_);
}

RowLock::~RowLock() {
  // A release that fails leaves the connection marked failed: it is closed
  // rather than pooled, and the lock goes with it.
  if (held_) RunLockCall(*db_, "SELECT pg_advisory_unlock(?)", key_);
}

}  // namespace quor::core::store
