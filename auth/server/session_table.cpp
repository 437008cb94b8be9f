#include "auth/server/session_table.h"

#include <mutex>

namespace quor::auth {

SessionTable& SessionTable::Instance() {
  static SessionTable table;
  return table;
}

void SessionTable::Register(const std::shared_ptr<SessionImpl>& session) {
  EnterUnique(*session, [&](const std::u16string& identifier) {
    std::lock_guard guard(lock_);
    return sessions_.emplace(identifier, session).second;
  });
}

std::shared_ptr<SessionImpl> SessionTable::Find(const std::u16string& identifier) {
  std::lock_guard guard(lock_);
  auto it = sessions_.find(identifier);
  return it == sessions_.end() ? nullptr : it->second;
}

bool SessionTable::Remove(const SessionImpl& session) {
  std::shared_ptr<SessionImpl> removed;
  {
    std::lock_guard guard(lock_);
    auto it = sessions_.find(session.Identifier());
    if (it == sessions_.end() || it->second.get() != &session) return false;
    removed = std::move(it->second);
    sessions_.erase(it);
  }
  // The session itself goes when its last user lets it go, outside the lock.
  return true;
}

size_t SessionTable::Size() {
  std::lock_guard guard(lock_);
  return sessions_.size();
}

}  // namespace quor::auth
