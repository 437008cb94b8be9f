// The resume queue: writes a store refused to make over existing data, each
// kept until its client replays or drops it. Process-wide, in memory only;
// every call takes its lock.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string_view>
#include <vector>

#include "core/Caller.h"
#include "platform/base/thread_annotations.h"
#include "platform/com/bstr.h"
#include "platform/com/status.h"

namespace quor::core {

class CCollabDBConnectImpl;
class CDBConnect;

// A write a store refused to make over existing data, kept until its client
// settles it: the forced operation and its argument values. The layout of the
// values depends on the operation (see ResumeQueue.cpp).
struct ResumeEntry {
  int64_t number = 0;
  com::Bstr key;  // "RESUME:<number>"
  com::Bstr operation;
  std::vector<com::Bstr> arguments;

  // The values naming the user who made the entry and the object's name; null
  // for a layout of no known operation.
  const com::Bstr* User() const;
  const com::Bstr* Name() const;
};

class CResumeQueue {
 public:
  // `resolve`: a user with its rights, as the request frame resolves a
  // caller; a replay runs as the entry's user. Without it a user is its name
  // alone.
  using Resolver = std::function<Caller(const com::Bstr& user)>;
  explicit CResumeQueue(Resolver resolve = {}) : resolve_(std::move(resolve)) {}
  CResumeQueue(const CResumeQueue&) = delete;
  CResumeQueue& operator=(const CResumeQueue&) = delete;

  // Queues an entry and answers its key. Numbers come from one counter for
  // the life of the object: a key is never handed out twice.
  com::Bstr MakeResumeKey(std::u16string_view operation, std::vector<com::Bstr> arguments)
      QUOR_EXCLUDES(mutex_);
  std::optional<ResumeEntry> FindResumeEntry(const com::Bstr& key) const QUOR_EXCLUDES(mutex_);
  // Settles an entry: flag "TRUE" (any case) replays its forced operation on
  // `collab` (a content write on a store of its own over the same
  // connection), any other flag drops it. Only the entry's own user or an
  // administrator may settle it; for anyone else the key does not exist. The
  // entry leaves the queue before the replay, so it is settled once.
  Status ReplayResumeEntry(const Caller& caller, const com::Bstr& resumeID, const com::Bstr& flag, com::Bstr& result,
                           CCollabDBConnectImpl& collab) QUOR_EXCLUDES(mutex_);
  // "<root>" with a "resumelist" element (resumeID, method, name) per entry of
  // `user` (and of `name`, when one is given).
  Status GetResumeIDList(const com::Bstr& user, const com::Bstr& name, com::Bstr& result) const
      QUOR_EXCLUDES(mutex_);

 private:
  Caller Resolve(const com::Bstr& user) const;

  const Resolver resolve_;
  mutable Mutex mutex_;
  std::list<ResumeEntry> queue_ QUOR_GUARDED_BY(mutex_);
  int64_t nextNumber_ QUOR_GUARDED_BY(mutex_) = 0;
};

}  // namespace quor::core
