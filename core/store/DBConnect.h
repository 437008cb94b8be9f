// The service core's database, through which every store runs its SQL, and
// its two provider classes with their catalog listers.
//
// One CDBConnect stands for one database and keeps a pool of connections to
// it. A connection whose link to the server is gone (SQLSTATE class 08, the
// driver's dead flag, or a failed statement whose ping fails) marks the
// database down: the pool is dropped and the next leases reopen it, one
// attempt at a time with a growing pause between attempts, the others
// answering at once without a connection. A connection on which a statement
// failed (other than a duplicate key outside a transaction) is rolled back
// and closed when its lease ends, never pooled.
//
// A thread that holds a Lease runs every statement, transaction and field
// read through the connection of its lease, so calls on other threads never
// see its transaction or its last read value. A thread without a lease uses
// the connection Open made (start-up, tools, single-threaded tests).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/ado.h"
#include "platform/base/thread_annotations.h"
#include "platform/com/bstr.h"
#include "platform/com/status.h"
#include "platform/com/variant.h"

namespace quor::core {

// A query's command and record set, owned by the caller between ExecuteQuery
// and ReleaseQuery.
using CommandHolder = std::unique_ptr<ado::Command>;
using RecordsetHolder = std::unique_ptr<ado::Recordset>;

// Result convention: success; a failing status of the data layer with the
// code the stores have always seen (the data layer's finer codes for a table
// not there, a value too long, a lost link or refused credentials merged
// into the call's own), the driver's text as its message and the driver's
// SQLSTATE as its diagnostic; E_FAIL with "Unknown Error" for anything else
// (a failure is never a success code).
class CDBConnect {
 public:
  CDBConnect();
  virtual ~CDBConnect();
  CDBConnect(const CDBConnect&) = delete;
  CDBConnect& operator=(const CDBConnect&) = delete;

  // Builds the OLE DB connection string from the parts (values quoted, never
  // pasted raw) and opens it; leases open further connections with the same
  // string. `extendedProperties` carries the driver string of a provider that
  // reaches its database through ODBC. SQLite connections run in WAL mode with
  // a busy time-out, so readers never wait for a writer.
  Status Open(std::string_view provider, const com::Bstr& dataSource, const com::Bstr& initialCatalog,
              const com::Bstr& userId, const com::Bstr& password, const com::Bstr& extendedProperties = {});

  // 1 when open; 0 when closed, also when no connection was ever made or the
  // open failed, so that nothing runs without a database.
  long GetState() const;
  // The server's kind as the calling thread's connection's driver names it
  // ("PostgreSQL", "SQLite"); empty without a connection.
  std::string DbmsName() const;

  // Runs `sql` with `params` bound in order to its '?' markers (an integer
  // variant binds as an integer of its size, anything else as text; NULL as
  // NULL) and
  // leaves the command and its rows in the holders.
  Status ExecuteQuery(CommandHolder& command, RecordsetHolder& rows, std::string_view sql,
                      std::span<const com::Variant> params = {});
  // Runs the caller's prepared command (its parameters appended) with `sql`
  // as its text and drops its rows.
  Status ExecuteUpdateWithParam(CommandHolder& command, std::string_view sql);
  Status ExecuteNonQuery(std::string_view sql, std::span<const com::Variant> params = {});
  // Like ExecuteNonQuery, also giving the number of rows the statement changed.
  Status ExecuteNonQuery(std::string_view sql, std::span<const com::Variant> params, int64_t& rowsAffected);
  void ReleaseQuery(CommandHolder& command, RecordsetHolder& rows);
  // Runs a query (input parameters only) and reads the first column of its
  // first row as UTF-8 text straight into `text`, at its exact size
  // (ado::Command::ReadText): `reserve` is told what the read holds before
  // it is taken, and its refusal is the failure. `found` false when there
  // is no row; NULL reads as empty. The statement and the driver's copy
  // are let go before this returns.
  Status ReadText(std::string_view sql, std::span<const com::Variant> params,
                  const std::function<Status(uint64_t bytes)>& reserve, std::string& text, bool& found);
  // What the calling thread's connection holds at most while it reads a
  // text of `utf8Bytes` that way (0 without a connection).
  uint64_t TextReadHolds(uint64_t utf8Bytes) const;

  // Reads a column of the current row as text into LastFieldValue. NULL has no
  // text form: DISP_E_TYPEMISMATCH, LastFieldValue unchanged.
  Status GetFieldString(const RecordsetHolder& rows, std::string_view column);
  // As GetFieldString; on success `value` points at LastFieldValue's text
  // until the next read.
  Status GetFieldValue(const RecordsetHolder& rows, std::string_view column, const com::Bstr*& value);

  // A command bound to this connection, for ExecuteUpdateWithParam.
  CommandHolder NewCommand();

  // One transaction at a time on the connection; statements run in between
  // commit or roll back together. See DBTransaction.
  Status BeginTrans();
  Status CommitTrans();
  Status RollbackTrans();

  // The catalogs (databases or owners), the tables of the current database,
  // and the columns of one table. The lists are emptied first.
  virtual Status GetCatalogList(std::vector<com::Bstr>& list) = 0;
  virtual Status GetTableList(std::vector<com::Bstr>& list) = 0;
  virtual Status GetColumnList(std::string_view table, std::vector<com::Bstr>& list) = 0;

  // The calling thread's connection's last value read.
  com::Bstr& LastFieldValue();
  // Moves the rows of ExecuteQuery on; a failure as the other calls give it.
  Status MoveNext(const RecordsetHolder& rows);

  // Told when the repository's link goes (up false, with the driver's text),
  // when a reopen fails (up false), and when it is back (up true). Set before
  // the leases begin; called outside the pool's locks.
  using LinkReporter = std::function<void(bool up, const std::string& text)>;
  void SetLinkReporter(LinkReporter reporter) { reporter_ = std::move(reporter); }

  // A connection of the pool held by the calling thread from construction to
  // destruction (both on that thread): one call, with all its transactions.
  // A lease taken while the thread holds one of the same database shares it.
  // A connection goes back to the pool rolled back and with its read values
  // dropped; one that is no longer open, or on which a statement failed, is
  // closed instead. While the database is down a lease may hold no
  // connection: GetState answers 0 and statements fail with the reason.
  class Lease {
   public:
    explicit Lease(CDBConnect* db);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

   private:
    CDBConnect* db_ = nullptr;
    bool bound_ = false;
  };

  const std::string& Provider() const { return provider_; }
  const std::string& DataSource() const { return dataSource_; }
  const std::string& InitialCatalog() const { return initialCatalog_; }

 protected:
  // Providers that reach their database through ODBC list from the driver's
  // catalog calls: the dictionaries of SQL Server and Oracle are not there.
  bool UsesDriverCatalog() const;
  Status ListFromDriverCatalog(ado::SchemaKind kind, std::vector<std::u16string> restrictions,
                               std::string_view column, std::vector<com::Bstr>& list);
  // Runs a dictionary query and appends `column` of every row.
  Status ListFromQuery(std::string_view sql, std::span<const com::Variant> params, std::string_view column,
                       std::vector<com::Bstr>& list);

 private:
  struct Slot;
  friend class Lease;

  Status UnknownError();
  // A call on a slot without a connection.
  Status NotOpen();
  Status Run(CommandHolder& command, RecordsetHolder* rows, std::string_view sql, std::span<const com::Variant> params,
             int64_t* rowsAffected);
  // The calling thread's connection: its lease's, else the first one.
  Slot& Current() const;
  std::unique_ptr<Slot> OpenSlot();
  std::unique_ptr<Slot> Acquire();
  void Release(std::unique_ptr<Slot> slot);
  // A new connection for a lease, through the reopen gate while the
  // database is down.
  std::unique_ptr<Slot> Reopen();
  // A failed statement or transaction call in the repository's form (see
  // the result convention; `finer` are the codes merged into `merged`). It
  // marks the slot so that it is not pooled, and the database down when the
  // data layer said the link is gone.
  Status Failed(Slot& slot, const Status& failure, HRESULT merged, std::span<const HRESULT> finer);
  bool LinkLost(Slot& slot);
  void MarkDown(const std::string& text);
  // Empties the pool, closing its connections.
  void DropIdle();
  // SQLite takes one writer at a time, and a transaction that read before
  // another connection wrote cannot write any more: every write statement,
  // and every transaction from its start to its end, holds writer_.
  void EnterWriter(Slot& slot);
  void LeaveWriter(Slot& slot);

  // Who holds what: a slot, and the connection in it, belongs to the thread
  // whose lease holds it (the connection's HandleOwner checks it); idle slots
  // to nobody, under poolMutex_; the first connection to whichever thread runs
  // without a lease. Set by Open before leases begin and not changed while
  // they run: primary_'s pointer, connectionText_, provider_ and the names.
  std::unique_ptr<Slot> primary_;
  // Empty until an Open got as far as the server (it may have been down).
  std::u16string connectionText_;
  std::atomic<bool> sqlite_{false};
  Mutex poolMutex_;
  // Open connections no lease holds.
  std::vector<std::unique_ptr<Slot>> idle_ QUOR_GUARDED_BY(poolMutex_);
  // Bumped when the link is found gone: connections opened before are not
  // pooled again.
  std::atomic<uint64_t> epoch_{0};

  // The reopen gate.
  Mutex linkMutex_;
  bool down_ QUOR_GUARDED_BY(linkMutex_) = false;
  bool attempting_ QUOR_GUARDED_BY(linkMutex_) = false;  // one lease is reopening
  std::chrono::steady_clock::time_point nextAttempt_ QUOR_GUARDED_BY(linkMutex_){};
  std::chrono::milliseconds pause_ QUOR_GUARDED_BY(linkMutex_){0};
  std::string downText_ QUOR_GUARDED_BY(linkMutex_);
  LinkReporter reporter_;
  // Held by a slot (its unique_lock) from a write's start to its end, across
  // calls, which the analysis cannot follow: see EnterWriter.
  std::mutex writer_;
  std::string provider_;
  std::string dataSource_;
  std::string initialCatalog_;
};

// A transaction that rolls back unless it was committed.
class DBTransaction {
 public:
  explicit DBTransaction(CDBConnect& db) : db_(db) {}
  ~DBTransaction() {
    // A roll-back that fails leaves the connection marked failed, so it is
    // closed rather than pooled.
    if (open_) db_.RollbackTrans().Ignore();
  }
  DBTransaction(const DBTransaction&) = delete;
  DBTransaction& operator=(const DBTransaction&) = delete;

  Status Begin() {
    Status status = db_.BeginTrans();
    open_ = status.ok();
    return status;
  }
  Status Commit() {
    open_ = false;
    return db_.CommitTrans();
  }

 private:
  CDBConnect& db_;
  bool open_ = false;
};

class CSqlServerDBConnect : public CDBConnect {
 public:
  Status GetCatalogList(std::vector<com::Bstr>& list) override;
  Status GetTableList(std::vector<com::Bstr>& list) override;
  Status GetColumnList(std::string_view table, std::vector<com::Bstr>& list) override;
};

class COracleDBConnect : public CDBConnect {
 public:
  Status GetCatalogList(std::vector<com::Bstr>& list) override;
  Status GetTableList(std::vector<com::Bstr>& list) override;
  Status GetColumnList(std::string_view table, std::vector<com::Bstr>& list) override;
};

}  // namespace quor::core
