#include "core/store/DBConnect.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "platform/com/classstore.h"
#include "platform/com/errorinfo.h"
#include "platform/odbc/odbc.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

// Idle connections kept for the next leases; more are closed when they come back.
constexpr size_t kIdleKept = 16;
// How long a SQLite statement waits for another process's writer.
constexpr std::u16string_view kSqliteBusyTimeout = u"PRAGMA busy_timeout = 30000";
// The pause after a failed reopen, doubled after each, up to the cap.
constexpr std::chrono::milliseconds kFirstPause{1000};
constexpr std::chrono::milliseconds kPauseCap{4000};
// A reopen waits no longer than this for the server.
constexpr int kReopenTimeoutSeconds = 5;
constexpr std::u16string_view kNotOpenText = u"The database connection has not been opened.";

ado::Parameter Bind(const com::Variant& value) {
  const com::Variant v = value.Dereferenced();
  ado::DataType type = ado::adBSTR;
  if (v.Type() == com::VT_I4 || v.Type() == com::VT_I2 || v.Type() == com::VT_UI1) type = ado::adInteger;
  else if (v.Type() == com::VT_I8) type = ado::adBigInt;
  return ado::Command::CreateParameter(u"", type, ado::adParamInput, 0, v);
}

// Drivers may quote the connection string back in a message: its password
// never leaves here.
com::Bstr WithoutSecrets(std::string text) {
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
  return com::Bstr::FromUtf8(text);
}

}  // namespace

struct CDBConnect::Slot {
  std::unique_ptr<ado::Connection> connection;
  com::Bstr lastFieldValue{u""};
  com::Bstr lastErrorText{u""};
  std::unique_lock<std::mutex> writer;  // held while the slot writes to SQLite
  bool inTransaction = false;
  uint64_t epoch = 0;
  // A statement or transaction call failed: the connection is closed, not
  // pooled, when its lease ends.
  bool failed = false;
  // The open transaction saw a failure: it can only roll back.
  HRESULT transactionFailure = 0;
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
com::Bstr& CDBConnect::LastErrorText() { return Current().lastErrorText; }

std::unique_ptr<CDBConnect::Slot> CDBConnect::OpenSlot() {
  auto slot = std::make_unique<Slot>();
  slot->epoch = epoch_.load();
  auto connection = std::make_unique<ado::Connection>();
  connection->SetConnectionTimeout(kReopenTimeoutSeconds);
  com::ClearErrorInfo();
  const HRESULT hr = connection->Open(connectionText_);
  if (FAILED(hr)) {
    auto info = com::GetErrorInfo();
    slot->lastErrorText = info && !info->description.IsNull() && !info->description.Empty()
                              ? WithoutSecrets(info->description.ToUtf8())
                              : com::Bstr(u"Unknown Error");
    return slot;  // without a connection: its statements fail as on a closed one
  }
  // A database first reached here (it was down when the server started)
  // gets what Open would have given it.
  if (text::EqualsNoCase(connection->DbmsName(), "SQLite")) {
    if (!sqlite_.exchange(true)) connection->Execute(u"PRAGMA journal_mode = WAL", nullptr, nullptr);
    connection->Execute(kSqliteBusyTimeout, nullptr, nullptr);
  }
  slot->connection = std::move(connection);
  return slot;
}

std::unique_ptr<CDBConnect::Slot> CDBConnect::Acquire() {
  if (connectionText_.empty()) {
    // Never opened: the lease sees what the first connection saw.
    auto slot = std::make_unique<Slot>();
    slot->lastErrorText = primary_->lastErrorText;
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
        slot->lastErrorText = com::Bstr::FromUtf8(downText_);
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
      downText_ = slot->lastErrorText.ToUtf8();
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
  const auto handle = slot.connection->Handle();
  if (!handle || handle->Lost()) return true;
  if (slot.inTransaction) return false;  // a failed transaction answers nothing until it rolls back
  // The statement's failure may be the server's: a connection that cannot
  // run the simplest statement has lost it.
  RecordsetHolder rows;
  const HRESULT hr = slot.connection->Execute(u"SELECT 1", nullptr, &rows);
  rows.reset();
  com::ClearErrorInfo();
  return FAILED(hr);
}

void CDBConnect::NoteFailure(Slot& slot, HRESULT status) {
  if (slot.inTransaction && slot.transactionFailure == 0) slot.transactionFailure = status;
  // A duplicate key on its own changes nothing, nor does a statement the
  // memory budget refused before it ran; anything else leaves the
  // connection in a state not worth trusting.
  if ((status == ado::DB_E_INTEGRITYVIOLATION || status == E_OUTOFMEMORY) && !slot.inTransaction) return;
  slot.failed = true;
  if (slot.connection && slot.connection->Handle() && slot.connection->Handle()->Lost())
    MarkDown(slot.lastErrorText.ToUtf8());
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
    if (FAILED(slot->connection->RollbackTrans())) slot->failed = true;
    slot->inTransaction = false;
    com::ClearErrorInfo();
  }
  slot->transactionFailure = 0;
  LeaveWriter(*slot);
  if (!slot->connection || slot->connection->State() != ado::adStateOpen) return;
  if (slot->failed) {
    // Closed rather than pooled; when it cannot even answer a ping the
    // server is gone and the pool with it.
    if (slot->epoch == epoch_.load() && LinkLost(*slot)) MarkDown(slot->lastErrorText.ToUtf8());
    return;
  }
  if (slot->epoch != epoch_.load()) return;
  slot->lastFieldValue = com::Bstr(u"");
  slot->lastErrorText = com::Bstr(u"");
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

Status CDBConnect::Fail(HRESULT status) {
  if (status < 0) {
    // The data layer left its description on the thread.
    auto info = com::GetErrorInfo();
    Slot& slot = Current();
    if (info && !info->description.IsNull() && !info->description.Empty())
      slot.lastErrorText = WithoutSecrets(info->description.ToUtf8());
    else if (slot.connection && !slot.connection->LastError().empty())
      slot.lastErrorText = WithoutSecrets(slot.connection->LastError());
    else
      slot.lastErrorText = com::Bstr::FromUtf8(text::Format("The database call failed (0x%08X).", static_cast<uint32_t>(status)));
    return Status(status, slot.lastErrorText.ToUtf8());
  }
  return UnknownError();
}

Status CDBConnect::UnknownError() {
  LastErrorText() = com::Bstr(u"Unknown Error");
  return Status(E_FAIL, "Unknown Error");
}

Status CDBConnect::NotOpen() {
  if (LastErrorText().Empty()) LastErrorText() = com::Bstr(kNotOpenText);
  return Status(ado::adErrObjectClosed, LastErrorText().ToUtf8());
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
  com::ClearErrorInfo();
  const std::u16string wide = text::Widen(text);
  const HRESULT hr = slot.connection->Open(wide);
  if (FAILED(hr)) {
    Status status = Fail(hr);
    // A string that names a reachable kind of database but whose server did
    // not answer: the leases reopen it once it is back.
    if (hr == E_FAIL) {
      connectionText_ = wide;
      MutexLock lock(linkMutex_);
      down_ = true;
      pause_ = kFirstPause;
      nextAttempt_ = std::chrono::steady_clock::now();
      downText_ = slot.lastErrorText.ToUtf8();
    }
    return status;
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
    slot.connection->Execute(u"PRAGMA journal_mode = WAL", nullptr, nullptr);
    slot.connection->Execute(kSqliteBusyTimeout, nullptr, nullptr);
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
  com::ClearErrorInfo();
  const HRESULT hr = slot.connection->BeginTrans();
  if (FAILED(hr)) {
    LeaveWriter(slot);
    Status status = Fail(hr);
    NoteFailure(slot, status.code());
    return status;
  }
  slot.inTransaction = true;
  slot.transactionFailure = 0;
  return Status();
}

Status CDBConnect::CommitTrans() {
  Slot& slot = Current();
  if (!slot.connection) return NotOpen();
  if (slot.inTransaction && slot.transactionFailure != 0) {
    // A transaction the database failed in part is never committed.
    const HRESULT failure = slot.transactionFailure;
    const com::Bstr reason = slot.lastErrorText;
    // The failure told is the transaction's, not the roll-back's.
    RollbackTrans().Ignore();
    LastErrorText() = reason;
    return Status(failure, reason.ToUtf8());
  }
  com::ClearErrorInfo();
  const HRESULT hr = slot.connection->CommitTrans();
  slot.inTransaction = slot.connection->InTransaction();
  if (!slot.inTransaction) LeaveWriter(slot);
  if (!FAILED(hr)) return Status();
  Status status = Fail(hr);
  NoteFailure(slot, status.code());
  return status;
}

Status CDBConnect::RollbackTrans() {
  Slot& slot = Current();
  if (!slot.connection) return NotOpen();
  com::ClearErrorInfo();
  const HRESULT hr = slot.connection->RollbackTrans();
  slot.inTransaction = slot.connection->InTransaction();
  slot.transactionFailure = 0;
  if (!slot.inTransaction) LeaveWriter(slot);
  if (!FAILED(hr)) return Status();
  Status status = Fail(hr);
  NoteFailure(slot, status.code());
  return status;
}

Status CDBConnect::Run(CommandHolder& command, RecordsetHolder* rows, std::string_view sql,
                       std::span<const com::Variant> params, int64_t* rowsAffected) {
  Slot& slot = Current();
  if (!slot.connection) return NotOpen();
  if (!command) command = NewCommand();
  command->SetActiveConnection(slot.connection.get());
  command->SetCommandText(text::Widen(sql));
  for (const auto& value : params) command->AppendParameter(Bind(value));
  // A statement without rows writes: outside a transaction it holds the
  // writer for itself alone.
  const bool ownWrite = !rows && !slot.inTransaction;
  if (ownWrite) EnterWriter(slot);
  com::ClearErrorInfo();
  const HRESULT hr = command->Execute(rowsAffected, rows);
  if (ownWrite) LeaveWriter(slot);
  if (!FAILED(hr)) return Status();
  Status status = Fail(hr);
  NoteFailure(slot, status.code());
  return status;
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
  com::ClearErrorInfo();
  bool null = false;
  const HRESULT hr = command->ReadText(reserve, text, found, null);
  if (!FAILED(hr)) return Status();
  Status status = Fail(hr);
  NoteFailure(slot, status.code());
  return status;
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
    LastErrorText() = com::Bstr(u"The statement returned no rows.");
    return Status(ado::adErrObjectClosed, "The statement returned no rows.");
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
  com::ClearErrorInfo();
  com::Variant value;
  HRESULT hr = rows->GetValue(text::Widen(column), value);
  if (FAILED(hr)) return Fail(hr);
  com::Bstr textValue;
  hr = value.ToBstr(textValue);
  if (FAILED(hr)) {
    LastErrorText() = com::Bstr(u"The value has no text form.");
    return Status(hr, "The value has no text form.");
  }
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
  com::ClearErrorInfo();
  HRESULT hr = slot.connection->OpenSchema(kind, restrictions, rows);
  if (FAILED(hr)) return Fail(hr);
  for (; !rows->Eof(); hr = rows->MoveNext()) {
    if (FAILED(hr)) return Fail(hr);
    // A NULL name (a driver without catalogs) is no entry.
    if (!GetFieldString(rows, column).ok()) continue;
    list.push_back(LastFieldValue());
  }
  return FAILED(hr) ? Fail(hr) : Status();
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
    com::ClearErrorInfo();
    const HRESULT hr = rows->MoveNext();
    if (FAILED(hr)) {
      status = Fail(hr);
      break;
    }
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
