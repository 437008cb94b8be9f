// This server's place in the repository, for the state that lasts only as
// long as the server that made it: the share fields being shared and the
// resume queue.
//
// Each server process writes its rows under an id of its own. Where several
// servers share the repository (PostgreSQL) the id has a row in QUORSERVER,
// renewed every second by a thread of its own on the repository's clock; a
// row not renewed within the lease is a server that stopped or died, and
// what it made goes with it: no server reads it from then on, and the
// renewals of the others delete it. A server whose own lease lapsed (its
// repository was out of reach) takes a new id, so what it made before is
// gone for it as for the others, as it would be after a restart.
//
// A repository of one server (SQLite, and the others) renews nothing: the
// rows of this run's id are the live ones, and those of earlier runs are
// deleted when the server first reaches it.
//
// The tables are made when missing, on the first call that needs them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/store/DBConnect.h"
#include "platform/base/thread_annotations.h"
#include "platform/com/bstr.h"
#include "platform/com/status.h"
#include "platform/com/variant.h"

namespace quor::core {

class CServerLease {
 public:
  static constexpr std::chrono::milliseconds kRenewal{1000};
  // Longer than a few renewals, so that one slow round trip loses nothing.
  static constexpr std::chrono::milliseconds kLease{5000};

  enum class Kind { Unknown, Single, Shared };

  CServerLease();
  ~CServerLease();
  CServerLease(const CServerLease&) = delete;
  CServerLease& operator=(const CServerLease&) = delete;

  // Begins on `db`, the calls' repository (not owned; it outlives Stop): the
  // renewal thread starts and takes this server's place as soon as the
  // repository answers. The renewals run on `renewals`, a database of their
  // own, when given: a link they find lost then leaves the calls' pool alone,
  // and they never wait for a call's connection.
  void Start(CDBConnect* db, std::unique_ptr<CDBConnect> renewals = nullptr) QUOR_EXCLUDES(mutex_);
  // Ends: the renewals stop and this server's rows go.
  void Stop() QUOR_EXCLUDES(mutex_);

  CDBConnect* Connection() const { return db_.load(std::memory_order_acquire); }

  // Whether several servers may share the repository, as far as the calling
  // thread's connection tells (Unknown without one).
  Kind KindOf() QUOR_EXCLUDES(mutex_);
  // The tables there and this server's place taken, on the calling thread's
  // connection: success, or the database's failure (tried again next time).
  Status Ready() QUOR_EXCLUDES(mutex_);
  // The id this server's rows are written under now.
  std::string Id() const QUOR_EXCLUDES(mutex_);

  // A condition on a SERVERID column naming a live server, and the value it
  // binds (one '?').
  std::string LiveCondition(std::string_view column) QUOR_EXCLUDES(mutex_);
  com::Variant LiveValue() QUOR_EXCLUDES(mutex_);

  // The repository's clock in milliseconds, as SQL of the shared kind.
  static constexpr std::string_view kNowMs = "CAST(EXTRACT(EPOCH FROM clock_timestamp()) * 1000 AS BIGINT)";

 private:
  Kind KindOf(CDBConnect& db);
  Status ReadyOn(CDBConnect& db) QUOR_EXCLUDES(mutex_);
  void Renewals() QUOR_EXCLUDES(mutex_);
  // One renewal: the place taken if it is not, its row renewed (a new id
  // when it had lapsed), the rows of gone servers deleted.
  void Renew() QUOR_EXCLUDES(mutex_);
  Status TakePlace(CDBConnect& db) QUOR_REQUIRES(mutex_);
  Status MakeTables(CDBConnect& db, Kind kind);
  static std::string NewId();

  // Set by Start and Stop, read by every call.
  std::atomic<CDBConnect*> db_{nullptr};
  std::atomic<bool> ready_{false};
  // Known from the first connection on; the same from every thread.
  std::atomic<Kind> kind_{Kind::Unknown};
  // Guards the id and the thread's stop request; held across the statements
  // that take the place, so that it is taken once, and never across a
  // renewal's.
  mutable Mutex mutex_;
  std::string id_ QUOR_GUARDED_BY(mutex_);
  bool stopping_ QUOR_GUARDED_BY(mutex_) = false;
  std::condition_variable_any wake_;
  // Started and joined by Start and Stop, on the module's thread, which also
  // sets the renewals' database while no renewal runs.
  std::thread thread_;
  std::unique_ptr<CDBConnect> own_;
  CDBConnect* renewals_ = nullptr;
};

// Texts kept in one column: each followed by a newline, with "\\" and "\n"
// escaped. A missing text is kept as an empty one.
std::string JoinTexts(std::span<const com::Bstr> texts);
std::vector<com::Bstr> SplitTexts(std::string_view joined);

}  // namespace quor::core
