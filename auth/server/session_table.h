// The process-wide session table: open sessions by identifier. Every Auth
// object of the process sees the same sessions; nothing expires, a session
// stays until CloseSession removes it or the process ends. One lock guards
// the map; it is held only for one insertion, look-up or removal, never while
// a verifier is checked or a session works.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "auth/session.h"
#include "auth/util/lock.h"

namespace quor::auth {

class SessionTable {
 public:
  static SessionTable& Instance();

  // Enters the session under its identifier, drawing a new identifier while
  // the one it has is taken (EnterUnique).
  void Register(const std::shared_ptr<SessionImpl>& session);
  // Null when no session has the identifier.
  std::shared_ptr<SessionImpl> Find(const std::u16string& identifier);
  // Removes the entry only when it still holds `session`, so two closes of
  // one session remove it once. True when this call removed it.
  bool Remove(const SessionImpl& session);
  size_t Size();

 private:
  util::CriticalSection lock_;
  std::map<std::u16string, std::shared_ptr<SessionImpl>> sessions_;
};

}  // namespace quor::auth
