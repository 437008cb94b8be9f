#include "core/store/ServerLease.h"

#include <random>

#include "core/StatusCodes.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

enum class Dialect { Postgres, Sqlite, SqlServer };

Dialect DialectOf(const CDBConnect& db) {
  const std::string name = db.DbmsName();
  if (text::EqualsNoCase(name, "PostgreSQL")) return Dialect::Postgres;
  if (text::EqualsNoCase(name, "SQLite")) return Dialect::Sqlite;
  return Dialect::SqlServer;
}

// The tables as sql/ carries them.
std::vector<std::string_view> TablesOf(Dialect dialect) {
  switch (dialect) {
    case Dialect::Postgres:
      return {
          "CREATE TABLE IF NOT EXISTS QUORSERVER (SERVERID TEXT NOT NULL PRIMARY KEY, RENEWED BIGINT NOT NULL)",
          "CREATE TABLE IF NOT EXISTS QUORSHARING (VOURI TEXT NOT NULL PRIMARY KEY, SERVERID TEXT NOT NULL, "
          "AUTHOR TEXT, NAME TEXT, OWNER TEXT, IPADDRESS TEXT, MESSAGE TEXT, ACCESSLIST TEXT, "
          "ATTENDEES TEXT NOT NULL)",
          "CREATE TABLE IF NOT EXISTS QUORSIGNIN (SIGNINKEY TEXT NOT NULL PRIMARY KEY, FAILURES INTEGER NOT NULL, "
          "LASTFAILURE BIGINT NOT NULL, HELDUNTIL BIGINT NOT NULL)",
          "CREATE TABLE IF NOT EXISTS QUORRESUME (RESUMENO BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY, "
          "SERVERID TEXT NOT NULL, OPERATION TEXT NOT NULL, VOUSER TEXT, NAME TEXT, ARGUMENTS TEXT NOT NULL)",
      };
    case Dialect::Sqlite:
      return {
          "CREATE TABLE IF NOT EXISTS QUORSERVER (SERVERID TEXT NOT NULL PRIMARY KEY, RENEWED INTEGER NOT NULL)",
          "CREATE TABLE IF NOT EXISTS QUORSHARING (VOURI TEXT NOT NULL PRIMARY KEY, SERVERID TEXT NOT NULL, "
          "AUTHOR TEXT, NAME TEXT, OWNER TEXT, IPADDRESS TEXT, MESSAGE TEXT, ACCESSLIST TEXT, "
          "ATTENDEES TEXT NOT NULL)",
          "CREATE TABLE IF NOT EXISTS QUORSIGNIN (SIGNINKEY TEXT NOT NULL PRIMARY KEY, FAILURES INTEGER NOT NULL, "
          "LASTFAILURE INTEGER NOT NULL, HELDUNTIL INTEGER NOT NULL)",
          "CREATE TABLE IF NOT EXISTS QUORRESUME (RESUMENO INTEGER PRIMARY KEY AUTOINCREMENT, "
          "SERVERID TEXT NOT NULL, OPERATION TEXT NOT NULL, VOUSER TEXT, NAME TEXT, ARGUMENTS TEXT NOT NULL)",
      };
    case Dialect::SqlServer:
      return {
          "IF OBJECT_ID('QUORSERVER', 'U') IS NULL CREATE TABLE QUORSERVER (SERVERID NVARCHAR(64) NOT NULL "
          "PRIMARY KEY, RENEWED BIGINT NOT NULL)",
          "IF OBJECT_ID('QUORSHARING', 'U') IS NULL CREATE TABLE QUORSHARING (VOURI NVARCHAR(450) NOT NULL "
          "PRIMARY KEY, SERVERID NVARCHAR(64) NOT NULL, AUTHOR NVARCHAR(MAX), NAME NVARCHAR(MAX), OWNER NVARCHAR(MAX), "
          "IPADDRESS NVARCHAR(MAX), MESSAGE NVARCHAR(MAX), ACCESSLIST NVARCHAR(MAX), ATTENDEES NVARCHAR(MAX) NOT NULL)",
          "IF OBJECT_ID('QUORSIGNIN', 'U') IS NULL CREATE TABLE QUORSIGNIN (SIGNINKEY NVARCHAR(450) NOT NULL "
          "PRIMARY KEY, FAILURES INT NOT NULL, LASTFAILURE BIGINT NOT NULL, HELDUNTIL BIGINT NOT NULL)",
          "IF OBJECT_ID('QUORRESUME', 'U') IS NULL CREATE TABLE QUORRESUME (RESUMENO BIGINT IDENTITY(1,1) "
          "PRIMARY KEY, SERVERID NVARCHAR(64) NOT NULL, OPERATION NVARCHAR(64) NOT NULL, VOUSER NVARCHAR(MAX), "
          "NAME NVARCHAR(MAX), ARGUMENTS NVARCHAR(MAX) NOT NULL)",
      };
  }
  return {};
}

com::Variant Text(const std::string& text) { return com::Variant(com::Bstr::FromUtf8(text)); }

}  // namespace

CServerLease::CServerLease() {
  MutexLock lock(mutex_);
  id_ = NewId();
}

CServerLease::~CServerLease() { Stop(); }

std::string CServerLease::NewId() {
  std::random_device random;
  std::string id;
  for (int i = 0; i < 4; ++i) id += text::Format("%08x", static_cast<uint32_t>(random()));
  return id;
}

void CServerLease::Start(CDBConnect* db, std::unique_ptr<CDBConnect> renewals) {
  if (!db || thread_.joinable()) return;
  own_ = std::move(renewals);
  renewals_ = own_ ? own_.get() : db;
  db_.store(db, std::memory_order_release);
  {
    MutexLock lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { Renewals(); });
}

void CServerLease::Stop() {
  if (thread_.joinable()) {
    {
      MutexLock lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  CDBConnect* db = renewals_;
  if (db && ready_.load(std::memory_order_acquire)) {
    // What this server made ends with it; a server that cannot say so
    // leaves it to the lease.
    CDBConnect::Lease lease(db);
    const com::Variant id[] = {Text(Id())};
    if (KindOf(*db) == Kind::Shared) {
      db->ExecuteNonQuery("DELETE FROM QUORSHARING WHERE SERVERID = ?", id).Ignore();
      db->ExecuteNonQuery("DELETE FROM QUORSERVER WHERE SERVERID = ?", id).Ignore();
    }
    db->ExecuteNonQuery("DELETE FROM QUORRESUME WHERE SERVERID = ?", id).Ignore();
  }
  MutexLock lock(mutex_);
  ready_.store(false, std::memory_order_release);
  kind_.store(Kind::Unknown, std::memory_order_release);
  id_ = NewId();
  db_.store(nullptr, std::memory_order_release);
  renewals_ = nullptr;
  own_.reset();
}

CServerLease::Kind CServerLease::KindOf() {
  CDBConnect* db = Connection();
  return db ? KindOf(*db) : kind_.load(std::memory_order_acquire);
}

CServerLease::Kind CServerLease::KindOf(CDBConnect& db) {
  if (const Kind known = kind_.load(std::memory_order_acquire); known != Kind::Unknown) return known;
  if (db.GetState() == 0) return Kind::Unknown;
  const Kind kind = DialectOf(db) == Dialect::Postgres ? Kind::Shared : Kind::Single;
  kind_.store(kind, std::memory_order_release);
  return kind;
}

std::string CServerLease::Id() const {
  MutexLock lock(mutex_);
  return id_;
}

std::string CServerLease::LiveCondition(std::string_view column) {
  if (KindOf() == Kind::Shared)
    return std::string(column) + " IN (SELECT SERVERID FROM QUORSERVER WHERE RENEWED > " + std::string(kNowMs) +
           " - ?)";
  return std::string(column) + " = ?";
}

com::Variant CServerLease::LiveValue() {
  if (KindOf() == Kind::Shared) return com::Variant(static_cast<int64_t>(kLease.count()));
  return Text(Id());
}

Status CServerLease::MakeTables(CDBConnect& db, Kind kind) {
  const Dialect dialect = kind == Kind::Shared ? Dialect::Postgres : DialectOf(db);
  for (const std::string_view sql : TablesOf(dialect)) QUOR_RETURN_IF_ERROR(db.ExecuteNonQuery(sql));
  return Status();
}

Status CServerLease::Ready() {
  CDBConnect* db = Connection();
  if (!db) return ready_.load(std::memory_order_acquire) ? Status() : Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  return ReadyOn(*db);
}

Status CServerLease::ReadyOn(CDBConnect& db) {
  if (ready_.load(std::memory_order_acquire)) return Status();
  const Kind kind = KindOf(db);
  if (kind == Kind::Unknown) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  MutexLock lock(mutex_);
  if (ready_.load(std::memory_order_acquire)) return Status();
  QUOR_RETURN_IF_ERROR(MakeTables(db, kind));
  return TakePlace(db);
}

Status CServerLease::TakePlace(CDBConnect& db) {
  const com::Variant id[] = {Text(id_)};
  if (kind_.load(std::memory_order_acquire) == Kind::Shared) {
    QUOR_RETURN_IF_ERROR(db.ExecuteNonQuery(
        "INSERT INTO QUORSERVER (SERVERID, RENEWED) VALUES (?, " + std::string(kNowMs) + ")", id));
  } else {
    // The queue of an earlier run of the one server ended with it.
    QUOR_RETURN_IF_ERROR(db.ExecuteNonQuery("DELETE FROM QUORRESUME WHERE SERVERID <> ?", id));
  }
  ready_.store(true, std::memory_order_release);
  return Status();
}

void CServerLease::Renewals() {
  for (;;) {
    Renew();
    const auto next = std::chrono::steady_clock::now() + kRenewal;
    MutexLock lock(mutex_);
    while (!stopping_ && std::chrono::steady_clock::now() < next) wake_.wait_until(mutex_, next);
    if (stopping_) return;
  }
}

void CServerLease::Renew() {
  CDBConnect* db = renewals_;
  if (!db) return;
  if (ready_.load(std::memory_order_acquire) && kind_.load(std::memory_order_acquire) == Kind::Single)
    return;  // nothing to renew
  CDBConnect::Lease lease(db);
  if (!ReadyOn(*db).ok() || KindOf(*db) != Kind::Shared) return;
  const std::string now(kNowMs);
  const com::Variant lapse(static_cast<int64_t>(kLease.count()));
  // The statements run outside the lock: calls reading the id do not wait
  // for the repository.
  const std::string id = Id();
  const com::Variant renew[] = {Text(id), lapse};
  int64_t renewed = 0;
  if (!db->ExecuteNonQuery("UPDATE QUORSERVER SET RENEWED = " + now + " WHERE SERVERID = ? AND RENEWED > " + now +
                               " - ?",
                           renew, renewed)
           .ok())
    return;
  if (renewed == 0) {
    // The lease lapsed, and what this server made went with it: it goes on
    // as a server that has just started.
    const std::string fresh = NewId();
    const com::Variant place[] = {Text(fresh)};
    if (!db->ExecuteNonQuery("INSERT INTO QUORSERVER (SERVERID, RENEWED) VALUES (?, " + now + ")", place).ok()) return;
    MutexLock lock(mutex_);
    id_ = fresh;
  }
  // The rows of servers gone, then the servers.
  const com::Variant lapsed[] = {lapse};
  const std::string live = "SERVERID IN (SELECT SERVERID FROM QUORSERVER WHERE RENEWED > " + now + " - ?)";
  db->ExecuteNonQuery("DELETE FROM QUORSHARING WHERE NOT " + live, lapsed).Ignore();
  db->ExecuteNonQuery("DELETE FROM QUORRESUME WHERE NOT " + live, lapsed).Ignore();
  db->ExecuteNonQuery("DELETE FROM QUORSERVER WHERE RENEWED <= " + now + " - ?", lapsed).Ignore();
  // Sign-in counts a day old have long been forgotten.
  const com::Variant day[] = {com::Variant(int64_t{24} * 3600 * 1000)};
  db->ExecuteNonQuery("DELETE FROM QUORSIGNIN WHERE LASTFAILURE < " + now + " - ? AND HELDUNTIL < " + now, day)
      .Ignore();
}

std::string JoinTexts(std::span<const com::Bstr> texts) {
  std::string joined;
  for (const com::Bstr& text : texts) {
    for (const char c : text.Utf8()) {
      if (c == '\\')
        joined += "\\\\";
      else if (c == '\n')
        joined += "\\n";
      else
        joined += c;
    }
    joined += '\n';
  }
  return joined;
}

std::vector<com::Bstr> SplitTexts(std::string_view joined) {
  std::vector<com::Bstr> texts;
  std::string text;
  for (size_t i = 0; i < joined.size(); ++i) {
    const char c = joined[i];
    if (c == '\n') {
      texts.push_back(com::Bstr::FromUtf8(text));
      text.clear();
    } else if (c == '\\' && i + 1 < joined.size()) {
      text += joined[++i] == 'n' ? '\n' : joined[i];
    } else {
      text += c;
    }
  }
  return texts;
}

}  // namespace quor::core
