#include "auth/server/session_table.h"

#include <algorithm>
#include <vector>

namespace quor::auth {

SessionTable& SessionTable::Instance() {
  static SessionTable table;
  return table;
}

void SessionTable::MakeRoom(size_t limit, std::chrono::seconds idle, time::TimePoint now,
                            std::vector<std::shared_ptr<SessionImpl>>& dropped) {
  if (sessions_.size() < limit) return;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (now - it->second.lastUsed > idle) {
      dropped.push_back(std::move(it->second.session));
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
  while (!sessions_.empty() && sessions_.size() >= limit) {
    auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
      return a.second.lastUsed < b.second.lastUsed;
    });
    dropped.push_back(std::move(oldest->second.session));
    sessions_.erase(oldest);
  }
}

Status SessionTable::Register(const std::shared_ptr<SessionImpl>& session, size_t limit,
                              std::chrono::seconds idle, time::TimePoint now) {
  // The sessions dropped to make room go when their last user lets them go,
  // outside the lock.
  std::vector<std::shared_ptr<SessionImpl>> dropped;
  return EnterUnique(*session, [&](const std::u16string& identifier) {
    util::CriticalSectionLock guard(lock_);
    if (sessions_.contains(identifier)) return false;
    MakeRoom(limit, idle, now, dropped);
    sessions_.emplace(identifier, Entry{session, now});
    return true;
  });
}

std::shared_ptr<SessionImpl> SessionTable::Find(const std::u16string& identifier, std::chrono::seconds idle,
                                                time::TimePoint now) {
  std::shared_ptr<SessionImpl> found;
  {
    util::CriticalSectionLock guard(lock_);
    auto it = sessions_.find(identifier);
    if (it == sessions_.end()) return nullptr;
    found = std::move(it->second.session);
    if (now - it->second.lastUsed > idle) {
      sessions_.erase(it);
      return nullptr;  // `found` lets the expired session go outside the lock
    }
    it->second.session = found;
    it->second.lastUsed = std::max(it->second.lastUsed, now);
  }
  return found;
}

bool SessionTable::Remove(const SessionImpl& session) {
  std::shared_ptr<SessionImpl> removed;
  {
    util::CriticalSectionLock guard(lock_);
    auto it = sessions_.find(session.Identifier());
    if (it == sessions_.end() || it->second.session.get() != &session) return false;
    removed = std::move(it->second.session);
    sessions_.erase(it);
  }
  // The session itself goes when its last user lets it go, outside the lock.
  return true;
}

size_t SessionTable::Size() {
  util::CriticalSectionLock guard(lock_);
  return sessions_.size();
}

}  // namespace quor::auth
