// The resume queue: writes a store refused to make over existing data, each
// kept until its client replays or drops it. The entries are rows of
// QUORRESUME, so any server of the repository settles them; each lasts as
// long as the server that made it (ServerLease.h). Their numbers come from
// the table's identity, so a key is never handed out twice, by any server,
// before or after a restart.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "core/Caller.h"
#include "core/store/ServerLease.h"
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
  // `lease` is this server's (not owned): the entries are written under it.
  explicit CResumeQueue(CServerLease& lease, Resolver resolve = {}) : lease_(lease), resolve_(std::move(resolve)) {}
  CResumeQueue(const CResumeQueue&) = delete;
  CResumeQueue& operator=(const CResumeQueue&) = delete;

  CServerLease& Lease() const { return lease_; }

  // Queues an entry and answers its key.
  Result<com::Bstr> MakeResumeKey(std::u16string_view operation, std::vector<com::Bstr> arguments);
  // The live entry of `key`; none also when it cannot be read.
  std::optional<ResumeEntry> FindResumeEntry(const com::Bstr& key) const;
  // Settles an entry: flag "TRUE" (any case) replays its forced operation on
  // `collab` (a content write on a store of its own over the same
  // connection), any other flag drops it. Only the entry's own user or an
  // administrator may settle it; for anyone else the key does not exist. The
  // entry leaves the queue before the replay, so it is settled once,
  // whichever servers are asked.
  Status ReplayResumeEntry(const Caller& caller, const com::Bstr& resumeID, const com::Bstr& flag, com::Bstr& result,
                           CCollabDBConnectImpl& collab);
  // "<root>" with a "resumelist" element (resumeID, method, name) per entry of
  // `user` (and of `name`, when one is given).
  Status GetResumeIDList(const com::Bstr& user, const com::Bstr& name, com::Bstr& result) const;

 private:
  Caller Resolve(const com::Bstr& user) const;
  // The connection, once the table is there.
  Result<CDBConnect*> Repository() const;
  // The entry of the current row of a QUORRESUME read.
  static ResumeEntry EntryOf(CDBConnect& db, const RecordsetHolder& rows);

  CServerLease& lease_;
  const Resolver resolve_;
};

}  // namespace quor::core
