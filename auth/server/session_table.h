// The process-wide session table: open sessions by identifier. Every Auth
// object of the process sees the same sessions. A session stays until
// CloseSession removes it, it goes unused for longer than the idle lifetime
// (it is then dropped when next looked up, or when room is made), or it is
// the longest idle one when the table is full and a session is entered. One
// lock guards the map and each entry's time of last use; it is held only
// for one insertion, look-up, removal or sweep, never while a verifier is
// checked or a session works.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "auth/session.h"
#include "auth/util/lock.h"
#include "platform/time/clock.h"

namespace quor::auth {

class SessionTable {
 public:
  static SessionTable& Instance();

  // Enters the session under its identifier, drawing a new identifier while
  // the one it has is taken (EnterUnique); its idle time starts at `now`.
  // When the table already holds `limit` sessions, the ones idle for longer
  // than `idle` go first and, if that frees no room, the longest idle one.
  Status Register(const std::shared_ptr<SessionImpl>& session, size_t limit, std::chrono::seconds idle,
                  time::TimePoint now) QUOR_EXCLUDES(lock_);
  // The session with the identifier, its idle time restarted at `now`; null
  // when there is none or it has been idle for longer than `idle` (it is
  // removed then).
  std::shared_ptr<SessionImpl> Find(const std::u16string& identifier, std::chrono::seconds idle, time::TimePoint now)
      QUOR_EXCLUDES(lock_);
  // Removes the entry only when it still holds `session`, so two closes of
  // one session remove it once. True when this call removed it.
  bool Remove(const SessionImpl& session) QUOR_EXCLUDES(lock_);
  size_t Size() QUOR_EXCLUDES(lock_);

 private:
  struct Entry {
    std::shared_ptr<SessionImpl> session;
    time::TimePoint lastUsed;
  };
  // Makes room for one more session, handing the sessions it removes to
  // `dropped`.
  void MakeRoom(size_t limit, std::chrono::seconds idle, time::TimePoint now,
                std::vector<std::shared_ptr<SessionImpl>>& dropped) QUOR_REQUIRES(lock_);

  util::CriticalSection lock_;
  std::map<std::u16string, Entry> sessions_ QUOR_GUARDED_BY(lock_);  // the entries and their lastUsed
};

}  // namespace quor::auth
