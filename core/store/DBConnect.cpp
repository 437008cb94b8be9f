#include "core/store/DBConnect.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "platform/com/classstore.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

// Idle connections kept for the next leases; more are closed when they come back.
constexpr size_t kIdleKept = 16;
// A connection that moved a value this long is closed when its lease ends:
// the drivers keep buffers of the largest value they moved (libpq's never
// shrink, SQLite's page cache stays full) for as long as it lives.
constexpr uint64_t kLargeValue = uint64_t{1} << 20;

bool HasLargeText(std::span<const com::Variant> params) {
  for (const com::Variant& value : params)
    if (value.Type() == com::VT_BSTR) {
      const com::Bstr& text = value.GetBstr();
      if ((text.HoldsUtf8() ? text.Utf8().size() : text.Length()) >= kLargeValue) return true;
    }
  return false;
}
// How long a SQLite statement waits for another process's writer.
constexpr std::u16string_view kSqliteBusyTimeout = u"PRAGMA busy_timeout = 30000";
// The pause after a failed reopen, doubled after each, up to the cap.
constexpr std::chrono::milliseconds kFirstPause{1000};
constexpr std::chrono::milliseconds kPauseCap{4000};
// A reopen waits no longer than this for the server.
constexpr int kReopenTimeoutSeconds = 5;
constexpr std::string_view kNotOpenText = "The database connection has not been opened.";

ado::Parameter Bind(const com::Variant& value) {
  const com::Variant v = value.Dereferenced();
  ado::DataType type = ado::adBSTR;
  if (v.Type() == com::VT_I4 || v.Type() == com::VT_I2 || v.Type() == com::VT_UI1) type = ado::adInteger;
  else if (v.Type() == com::VT_I8) type = ado::adBigInt;
  return ado::Command::CreateParameter(u"", type, ado::adParamInput, 0, v);
}

// Drivers may quote the connection string back in a message: its password
// never leaves here.
std::string WithoutSecrets(std::string text) {
  for (std::string_view key : {"pwd=", "password="}) {
    size_t from = 0;
    while (true) {
      const std::string lower = text::ToLowerAscii(text);
      const size_t at = lower.find(key, from);
      if (at == std::string::npos) break;
      const size_t start = at + key.size();
      const size_t end = text.find_first_of(";}\" \n", start);
      text.replace(start, (end == std::string::npos ? text.size() : end) - start, "***");
      from = start + 3;
    }
  }
  return text;
}

// The finer codes of the data layer that the repository's stores, and the
// wire, never saw: a failure with one of them answers the call's own code.
constexpr HRESULT kOpenMerged[] = {ado::DB_SEC_E_AUTH_FAILED, ado::DB_E_CANNOTCONNECT};
constexpr HRESULT kStatementMerged[] = {ado::DB_E_NOTABLE, ado::DB_E_DATAOVERFLOW, ado::DB_E_CANNOTCONNECT};
constexpr HRESULT kTransactionMerged[] = {ado::DB_E_INTEGRITYVIOLATION, ado::DB_E_NOTABLE, ado::DB_E_DATAOVERFLOW,
                                          ado::DB_E_CANNOTCONNECT};

// The repository's form of a data-layer failure: its code merged as above
// into `merged`, the driver's text without secrets, its diagnostic kept.
Status Repository(const Status& failure, HRESULT merged, std::span<const HRESULT> finer) {
  HRESULT code = failure.code();
  if (std::find(finer.begin(), finer.end(), code) != finer.end()) code = merged;
  std::string text = failure.message().empty()
                         ? text::Format("The database call failed (0x%08X).", static_cast<uint32_t>(failure.code()))
                         : WithoutSecrets(failure.message());
  Status status(code, std::move(text));
  status.SetDiagnostic(failure.SqlState(), failure.NativeError());
  return status;
}

Status WithState(HRESULT code, std::string_view sqlState, std::string text) {
  Status status(code, std::move(text));
  status.SetDiagnostic(sqlState, 0);
  return status;
}

}  // namespace

struct CDBConnect::Slot {
  std::unique_ptr<ado::Connection> connection;
  com::Bstr lastFieldValue{u""};
  // Why the slot holds no connection: the open that failed.
  Status unopened;
  // The last failed statement or transaction call of the lease.
  Status failure;
  std::unique_lock<std::mutex> writer;  // held while the slot writes to SQLite
  bool inTransaction = false;
  uint64_t epoch = 0;
  // A statement or transaction call failed: the connection is closed, not
  // pooled, when its lease ends.
  bool failed = false;
  // The open transaction's first failure: it can only roll back.
  Status transactionFailure;
  // It moved a large value: closed, not pooled, when its lease ends.
  bool large = false;
};

namespace {

struct Binding {
  const CDBConnect* db;
  void* slot;
  int depth;
};

// The leases of the calling thread, innermost last.
thread_local std::vector<Binding> t_leases;

Binding* FindBinding(const CDBConnect* db) {
  for (auto it = t_leases.rbegin(); it != t_leases.rend(); ++it)
    if (it->db == db) return &*it;
  return nullptr;
}

}  // namespace

CDBConnect::CDBConnect() : primary_(std::make_unique<Slot>()) { com::CoInitialize(); }

CDBConnect::~CDBConnect() {
  idle_.clear();
  primary_.reset();
  com::CoUninitialize();
}

CDBConnect::Slot& CDBConnect::Current() const {
  if (const Binding* b = FindBinding(this)) return *static_cast<Slot*>(b->slot);
  return *primary_;
}

com::Bstr& CDBConnect::LastFieldValue() { return Current().lastFieldValue; }

std::unique_ptr<CDBConnect::Slot> CDBConnect::OpenSlot() {
  auto slot = std::make_unique<Slot>();
  slot->epoch = epoch_.load();
  auto connection = std::make_unique<ado::Connection>();
  connection->SetConnectionTimeout(kReopenTimeoutSeconds);
  if (const Status opened = connection->Open(connectionText_); !opened.ok()) {
    slot->unopened = Repository(opened, E_FAIL, kOpenMerged);
    return slot;  // without a connection: its statements fail as on a closed one
  }
  // A database first reached here (it was down when the server started)
  // gets what Open would have given it.
  if (text::EqualsNoCase(connection->DbmsName(), "SQLite")) {
    if (!sqlite_.exchange(true)) connection->Execute(u"PRAGMA journal_mode = WAL", nullptr, nullptr).Ignore();
    connection->Execute(kSqliteBusyTimeout, nullptr, nullptr).Ignore();
  }
  slot->connection = std::move(connection);
  return slot;
}

std::unique_ptr<CDBConnect::Slot> CDBConnect::Acquire() {
  if (connectionText_.empty()) {
    // Never opened: the lease sees what the first connection saw.
    auto slot = std::make_unique<Slot>();
    slot->unopened = primary_->unopened;
    return slot;
  }
  {
    MutexLock lock(poolMutex_);
    while (!idle_.empty()) {
      auto slot = std::move(idle_.back());
      idle_.pop_back();
      if (slot->epoch != epoch_.load()) continue;  // closed here, by nobody's lease
      slot->connection->Handle()->Owner().Take("CDBConnect::Lease");
      return slot;
    }
  }
  return Reopen();
}

std::unique_ptr<CDBConnect::Slot> CDBConnect::Reopen() {
  {
    MutexLock lock(linkMutex_);
    if (down_) {
      if (attempting_ || std::chrono::steady_clock::now() < nextAttempt_) {
        // Another lease is reopening, or the pause is not over: answer now.
        auto slot = std::make_unique<Slot>();
        slot->unopened = WithState(E_FAIL, "08001", downText_);
        return slot;
      }
      attempting_ = true;
    }
  }
  auto slot = OpenSlot();
  bool wasDown = false;
  std::string reason;
  {
    MutexLock lock(linkMutex_);
    wasDown = down_;
    attempting_ = false;
    if (slot->connection) {
      down_ = false;
      pause_ = std::chrono::milliseconds(0);
    } else {
      // The database is down: the pause starts, or grows when it was down
      // already.
      down_ = true;
      pause_ = pause_.count() == 0 ? kFirstPause : std::min(pause_ * 2, kPauseCap);
      nextAttempt_ = std::chrono::steady_clock::now() + pause_;
      downText_ = slot->unopened.message();
      reason = text::Format("%s (next attempt in %lld ms)", downText_, static_cast<long long>(pause_.count()));
    }
  }
  if (reporter_ && slot->connection && wasDown) reporter_(true, std::string());
  if (reporter_ && !slot->connection) reporter_(false, reason);
  return slot;
}

void CDBConnect::MarkDown(const std::string& text) {
  epoch_.fetch_add(1);
  DropIdle();
  bool first = false;
  {
    MutexLock lock(linkMutex_);
    if (!down_) {
      // The next lease tries at once; the pause grows only if that fails.
      first = true;
      down_ = true;
      attempting_ = false;
      pause_ = std::chrono::milliseconds(0);
      nextAttempt_ = std::chrono::steady_clock::now();
      downText_ = text;
    }
  }
  if (first && reporter_) reporter_(false, text);
}

bool CDBConnect::LinkLost(Slot& slot) {
  if (!slot.connection) return false;
  if (ado::LinkLost(slot.failure)) return true;
  if (slot.inTransaction) return false;  // a failed transaction answers nothing until it rolls back
  // The statement's failure may be the server's: a connection that cannot
  // run the simplest statement has lost it.
  RecordsetHolder rows;
  const Status pinged = slot.connection->Execute(u"SELECT 1", nullptr, &rows);
  rows.reset();
  return !pinged.ok();
}

Status CDBConnect::Failed(Slot& slot, const Status& failure, HRESULT merged, std::span<const HRESULT> finer) {
  Status status = Repository(failure, merged, finer);
  if (slot.inTransaction && slot.transactionFailure.ok()) slot.transactionFailure = status;
  // A duplicate key on its own changes nothing, nor does a statement the
  // memory budget refused before it ran; anything else leaves the
  // connection in a state not worth trusting.
  const HRESULT code = status.code();
  if ((code == ado::DB_E_INTEGRITYVIOLATION || code == E_OUTOFMEMORY) && !slot.inTransaction) return status;
  slot.failed = true;
  slot.failure = status;
  // What the data layer said of the link, before the codes were merged.
  if (ado::LinkLost(failure)) MarkDown(status.message());
  return status;
}

void CDBConnect::DropIdle() {
  std::vector<std::unique_ptr<Slot>> dropped;
  {
    MutexLock lock(poolMutex_);
    dropped.swap(idle_);
  }
  // Closed outside the pool's lock: leases go on meanwhile.
}

void CDBConnect::Release(std::unique_ptr<Slot> slot) {
  // What the call raised for its caller outlives the clean-up's own statements.
  struct KeepErrorInfo {
    std::optional<com::ErrorInfo> info = com::GetErrorInfo();
    ~KeepErrorInfo() {
      if (info) com::SetErrorInfo(std::move(*info));
      else com::ClearErrorInfo();
    }
  } keep;
  if (slot->inTransaction && slot->connection) {
    if (Status rolledBack = slot->connection->RollbackTrans(); !rolledBack.ok()) {
      slot->failed = true;
      slot->failure = std::move(rolledBack);
    }
    slot->inTransaction = false;
  }
  slot->transactionFailure = Status();
  LeaveWriter(*slot);
  if (!slot->connection || slot->connection->State() != ado::adStateOpen) return;
  if (slot->failed) {
    // Closed rather than pooled; when it cannot even answer a ping the
    // server is gone and the pool with it.
    if (slot->epoch == epoch_.load() && LinkLost(*slot)) MarkDown(slot->failure.message());
    return;
  }
  if (slot->epoch != epoch_.load() || slot->large) return;
  slot->lastFieldValue = com::Bstr(u"");
  MutexLock lock(poolMutex_);
  if (idle_.size() >= kIdleKept) return;  // closed by this thread, which still holds it
  // Pooled: nobody holds it until the next lease takes it.
  slot->connection->Handle()->Owner().Give();
  idle_.push_back(std::move(slot));
}

void CDBConnect::EnterWriter(Slot& slot) {
  if (sqlite_ && !slot.writer.owns_lock()) slot.writer = std::unique_lock(writer_);
}

void CDBConnect::LeaveWriter(Slot& slot) {
  if (slot.writer.owns_lock()) slot.writer.unlock();
}

CDBConnect::Lease::Lease(CDBConnect* db) : db_(db) {
  if (!db_) return;
  if (Binding* b = FindBinding(db_)) {
    ++b->depth;
    bound_ = true;
    return;
  }
  t_leases.push_back({db_, db_->Acquire().release(), 1});
  bound_ = true;
}

CDBConnect::Lease::~Lease() {
  if (!bound_) return;
  Binding* b = FindBinding(db_);
  if (!b || --b->depth > 0) return;
  std::unique_ptr<Slot> slot(static_cast<Slot*>(b->slot));
  t_leases.erase(t_leases.begin() + (b - t_leases.data()));
  db_->Release(std::move(slot));
}

Status CDBConnect::UnknownError() { return WithState(E_FAIL, "HY000", "Unknown Error"); }

Status CDBConnect::NotOpen() {
  // The open that failed says why, else the slot was never opened.
  const Status& why = Current().unopened;
  Status closed(ado::adErrObjectClosed, why.message().empty() ? std::string(kNotOpenText) : why.message());
  closed.SetDiagnostic(why.SqlState().empty() ? std::string_view("08003") : why.SqlState(), why.NativeError());
  return closed;
}

Status CDBConnect::Open(std::string_view provider, const com::Bstr& dataSource, const com::Bstr& initialCatalog,
                        const com::Bstr& userId, const com::Bstr& password, const com::Bstr& extendedProperties) {
  provider_ = std::string(provider);
  dataSource_ = dataSource.ToUtf8();
  initialCatalog_ = initialCatalog.ToUtf8();

  std::string text = text::Format("Provider=%s;Data Source=%s;User Id=%s;Password=%s", ado::QuoteConnectionValue(provider_),
                                  ado::QuoteConnectionValue(dataSource_), ado::QuoteConnectionValue(userId.ToUtf8()),
                                  ado::QuoteConnectionValue(password.ToUtf8()));
  if (provider_ == "SQLOLEDB.1")
    text += text::Format(";Initial Catalog=%s", ado::QuoteConnectionValue(initialCatalog_));
  if (!extendedProperties.Empty())
    text += text::Format(";Extended Properties=%s", ado::QuoteConnectionValue(extendedProperties.ToUtf8()));

  // Only the thread that opens uses the first connection; the pool starts anew.
  DropIdle();
  connectionText_.clear();
  sqlite_ = false;
  Slot& slot = *primary_;
  slot.connection = std::make_unique<ado::Connection>();
  slot.unopened = Status();
  const std::u16string wide = text::Widen(text);
  if (const Status opened = slot.connection->Open(wide); !opened.ok()) {
    slot.unopened = Repository(opened, E_FAIL, kOpenMerged);
    // A string that names a reachable kind of database but whose server did
    // not answer: the leases reopen it once it is back.
    if (slot.unopened.code() == E_FAIL) {
      connectionText_ = wide;
      MutexLock lock(linkMutex_);
      down_ = true;
      pause_ = kFirstPause;
      nextAttempt_ = std::chrono::steady_clock::now();
      downText_ = slot.unopened.message();
    }
    return slot.unopened;
  }
  connectionText_ = wide;
  {
    MutexLock lock(linkMutex_);
    down_ = false;
    pause_ = std::chrono::milliseconds(0);
  }
  sqlite_ = text::EqualsNoCase(slot.connection->DbmsName(), "SQLite");
  if (sqlite_) {
    // WAL lets readers go on while one connection writes; the mode stays
    // with the database file.
    slot.connection->Execute(u"PRAGMA journal_mode = WAL", nullptr, nullptr).Ignore();
    slot.connection->Execute(kSqliteBusyTimeout, nullptr, nullptr).Ignore();
  }
  // The first connection serves whichever thread runs without a lease next
  // (the module may be loaded by one thread and unloaded by another).
  slot.connection->Handle()->Owner().Give();
  return Status();
}

long CDBConnect::GetState() const {
  const Slot& slot = Current();
  return slot.connection ? slot.connection->State() : ado::adStateClosed;
}

std::string CDBConnect::DbmsName() const {
  const Slot& slot = Current();
  return slot.connection ? slot.connection->DbmsName() : std::string();
}

CommandHolder CDBConnect::NewCommand() {
  auto command = std::make_unique<ado::Command>();
  command->SetActiveConnection(Current().connection.get());
  return command;
}

Status CDBConnect::BeginTrans() {
  Slot& slot = Current();
  if (!slot.connection) return NotOpen();
  EnterWriter(slot);
  if (const Status begun = slot.connection->BeginTrans(); !begun.ok()) {
    LeaveWriter(slot);
    return Failed(slot, begun, E_FAIL, kTransactionMerged);
  }
  slot.inTransaction = true;
  slot.transactionFailure = Status();
  return Status();
}

Status CDBConnect::CommitTrans() {
  Slot& slot = Current();
  if (!slot.connection) return NotOpen();
  if (slot.inTransaction && !slot.transactionFailure.ok()) {
    // A transaction the database failed in part is never committed; the
    // failure told is the transaction's, not the roll-back's.
    Status failure = slot.transactionFailure;
    RollbackTrans().Ignore();
    return failure;
  }
  const Status committed = slot.connection->CommitTrans();
  slot.inTransaction = slot.connection->InTransaction();
  if (!slot.inTransaction) LeaveWriter(slot);
  if (committed.ok()) return committed;
  return Failed(slot, committed, E_FAIL, kTransactionMerged);
}

Status CDBConnect::RollbackTrans() {
  Slot& slot = Current();
  if (!slot.connection) return NotOpen();
  const Status rolledBack = slot.connection->RollbackTrans();
  slot.inTransaction = slot.connection->InTransaction();
  slot.transactionFailure = Status();
  if (!slot.inTransaction) LeaveWriter(slot);
  if (rolledBack.ok()) return rolledBack;
  return Failed(slot, rolledBack, E_FAIL, kTransactionMerged);
}

Status CDBConnect::Run(CommandHolder& command, RecordsetHolder* rows, std::string_view sql,
                       std::span<const com::Variant> params, int64_t* rowsAffected) {
  Slot& slot = Current();
  if (!slot.connection) return NotOpen();
  if (!command) command = NewCommand();
  command->SetActiveConnection(slot.connection.get());
  command->SetCommandText(text::Widen(sql));
  for (const auto& value : params) command->AppendParameter(Bind(value));
  if (HasLargeText(params)) slot.large = true;
  // A statement without rows writes: outside a transaction it holds the
  // writer for itself alone.
  const bool ownWrite = !rows && !slot.inTransaction;
  if (ownWrite) EnterWriter(slot);
  const Status ran = command->Execute(rowsAffected, rows);
  if (ownWrite) LeaveWriter(slot);
  if (ran.ok()) return ran;
  return Failed(slot, ran, ado::DB_E_ERRORSINCOMMAND, kStatementMerged);
}

Status CDBConnect::ReadText(std::string_view sql, std::span<const com::Variant> params,
                            const std::function<Status(uint64_t bytes)>& reserve, std::string& text, bool& found) {
  text.clear();
  found = false;
  Slot& slot = Current();
  if (!slot.connection) return NotOpen();
  CommandHolder command = NewCommand();
  command->SetCommandText(text::Widen(sql));
  for (const auto& value : params) command->AppendParameter(Bind(value));
  bool null = false;
  const Status read = command->ReadText(reserve, text, found, null);
  if (text.size() >= kLargeValue) slot.large = true;
  if (read.ok()) return read;
  return Failed(slot, read, ado::DB_E_ERRORSINCOMMAND, kStatementMerged);
}

uint64_t CDBConnect::TextReadHolds(uint64_t utf8Bytes) const {
  const Slot& slot = Current();
  const auto handle = slot.connection ? slot.connection->Handle() : nullptr;
  return handle ? handle->TextReadHolds(utf8Bytes) : 0;
}

Status CDBConnect::ExecuteQuery(CommandHolder& command, RecordsetHolder& rows, std::string_view sql,
                                std::span<const com::Variant> params) {
  command.reset();
  rows.reset();
  Status status = Run(command, &rows, sql, params, nullptr);
  if (status.ok() && !rows) {
    // A statement without rows: walkers see an empty result.
    return WithState(ado::adErrObjectClosed, "24000", "The statement returned no rows.");
  }
  return status;
}

Status CDBConnect::ExecuteUpdateWithParam(CommandHolder& command, std::string_view sql) {
  if (!command) return UnknownError();
  return Run(command, nullptr, sql, {}, nullptr);
}

Status CDBConnect::ExecuteNonQuery(std::string_view sql, std::span<const com::Variant> params) {
  int64_t ignored = 0;
  return ExecuteNonQuery(sql, params, ignored);
}

Status CDBConnect::ExecuteNonQuery(std::string_view sql, std::span<const com::Variant> params,
                                   int64_t& rowsAffected) {
  CommandHolder command;
  return Run(command, nullptr, sql, params, &rowsAffected);
}

void CDBConnect::ReleaseQuery(CommandHolder& command, RecordsetHolder& rows) {
  rows.reset();
  command.reset();
}

Status CDBConnect::GetFieldString(const RecordsetHolder& rows, std::string_view column) {
  if (!rows) return UnknownError();
  com::Variant value;
  QUOR_RETURN_IF_ERROR(rows->GetValue(text::Widen(column), value));
  com::Bstr textValue;
  if (const HRESULT hr = value.ToBstr(textValue); FAILED(hr)) return WithState(hr, "22018", "The value has no text form.");
  LastFieldValue() = std::move(textValue);
  return Status();
}

Status CDBConnect::GetFieldValue(const RecordsetHolder& rows, std::string_view column, const com::Bstr*& value) {
  Status status = GetFieldString(rows, column);
  if (status.ok()) value = &LastFieldValue();
  return status;
}

bool CDBConnect::UsesDriverCatalog() const {
  return text::StartsWithNoCase(provider_, "MSDASQL");
}

Status CDBConnect::ListFromDriverCatalog(ado::SchemaKind kind, std::vector<std::u16string> restrictions,
                                         std::string_view column, std::vector<com::Bstr>& list) {
  list.clear();
  Slot& slot = Current();
  if (!slot.connection) return NotOpen();
  RecordsetHolder rows;
  if (const Status listed = slot.connection->OpenSchema(kind, restrictions, rows); !listed.ok())
    return Repository(listed, ado::DB_E_ERRORSINCOMMAND, kStatementMerged);
  for (; !rows->Eof();) {
    // A NULL name (a driver without catalogs) is no entry.
    if (GetFieldString(rows, column).ok()) list.push_back(LastFieldValue());
    QUOR_RETURN_IF_ERROR(MoveNext(rows));
  }
  return Status();
}

Status CDBConnect::MoveNext(const RecordsetHolder& rows) {
  if (!rows) return UnknownError();
  const Status moved = rows->MoveNext();
  return moved.ok() ? moved : Repository(moved, ado::DB_E_ERRORSINCOMMAND, kStatementMerged);
}

Status CDBConnect::ListFromQuery(std::string_view sql, std::span<const com::Variant> params, std::string_view column,
                                 std::vector<com::Bstr>& list) {
  list.clear();
  CommandHolder command;
  RecordsetHolder rows;
  Status status = ExecuteQuery(command, rows, sql, params);
  if (!status.ok()) return status;
  for (; !rows->Eof();) {
    status = GetFieldString(rows, column);
    if (!status.ok()) break;
    list.push_back(LastFieldValue());
    status = MoveNext(rows);
    if (!status.ok()) break;
  }
  ReleaseQuery(command, rows);
  return status;
}

// ---- SQL Server -----------------------------------------------------------------

Status CSqlServerDBConnect::GetCatalogList(std::vector<com::Bstr>& list) {
  if (UsesDriverCatalog()) return ListFromDriverCatalog(ado::adSchemaCatalogs, {}, "TABLE_CAT", list);
  return ListFromQuery("select name as CATALOG from master.dbo.sysdatabases where dbid > 4", {}, "CATALOG", list);
}

Status CSqlServerDBConnect::GetTableList(std::vector<com::Bstr>& list) {
  if (UsesDriverCatalog()) return ListFromDriverCatalog(ado::adSchemaTables, {u"", u"", u"%", u"TABLE"}, "TABLE_NAME", list);
  return ListFromQuery("SELECT name as TABLE_NAME FROM sysobjects WHERE xtype = 'U '", {}, "TABLE_NAME", list);
}

Status CSqlServerDBConnect::GetColumnList(std::string_view table, std::vector<com::Bstr>& list) {
  if (UsesDriverCatalog())
    return ListFromDriverCatalog(ado::adSchemaColumns, {u"", u"", text::Widen(table)}, "COLUMN_NAME", list);
  const com::Variant params[] = {com::Variant(com::Bstr::FromUtf8(table))};
  return ListFromQuery(
      "SELECT COLUMN_NAME FROM INFORMATION_SCHEMA.COLUMNS WHERE TABLE_NAME = ? ORDER BY ORDINAL_POSITION", params,
      "COLUMN_NAME", list);
}

// ---- Oracle ---------------------------------------------------------------------

Status COracleDBConnect::GetCatalogList(std::vector<com::Bstr>& list) {
  if (UsesDriverCatalog()) return ListFromDriverCatalog(ado::adSchemaCatalogs, {}, "TABLE_CAT", list);
  return ListFromQuery("SELECT OWNER as CATALOG FROM ALL_TABLES GROUP BY OWNER", {}, "CATALOG", list);
}

Status COracleDBConnect::GetTableList(std::vector<com::Bstr>& list) {
  if (UsesDriverCatalog()) return ListFromDriverCatalog(ado::adSchemaTables, {u"", u"", u"%", u"TABLE"}, "TABLE_NAME", list);
  const com::Variant params[] = {com::Variant(com::Bstr::FromUtf8(InitialCatalog()))};
  return ListFromQuery("SELECT TABLE_NAME FROM ALL_TABLES WHERE OWNER = ?", params, "TABLE_NAME", list);
}

Status COracleDBConnect::GetColumnList(std::string_view table, std::vector<com::Bstr>& list) {
  if (UsesDriverCatalog())
    return ListFromDriverCatalog(ado::adSchemaColumns, {u"", u"", text::Widen(table)}, "COLUMN_NAME", list);
  const com::Variant params[] = {com::Variant(com::Bstr::FromUtf8(table))};
  return ListFromQuery("SELECT COLUMN_NAME FROM ALL_TAB_COLUMNS WHERE TABLE_NAME = ? ORDER BY COLUMN_ID", params,
                       "COLUMN_NAME", list);
}

}  // namespace quor::core
