#include "platform/ado/ado.h"

#include <limits>

#include "platform/base/thread_annotations.h"
#include "platform/odbc/odbc.h"
#include "platform/text/text.h"

namespace quor::ado {
namespace {

// A failure this layer finds itself, with the SQLSTATE a driver would give.
Status Own(HRESULT code, std::string_view sqlState, std::string text) {
  Status failure(code, std::move(text));
  failure.SetDiagnostic(sqlState, 0);
  return failure;
}

Status Closed() { return Own(adErrObjectClosed, "08003", "the connection is closed"); }

constexpr std::string_view kNotFoundText =
    "Item cannot be found in the collection corresponding to the requested name or ordinal.";

// Splits an OLE DB connection string into key/value pairs. Values may be
// quoted with ' or " (the quote doubled inside); keys compare without case.
// adErrInvalidArgument for a text that is no connection string.
Status ParseOleDb(std::string_view s, std::vector<std::pair<std::string, std::string>>& out) {
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ';' || s[i] == ' ' || s[i] == '\t')) ++i;
    if (i >= s.size()) break;
    const size_t eq = s.find('=', i);
    if (eq == std::string_view::npos)
      return Own(adErrInvalidArgument, "HY000", text::Format("connection string item without '=': %s", s.substr(i)));
    std::string key(text::TrimAscii(s.substr(i, eq - i)));
    i = eq + 1;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    std::string value;
    if (i < s.size() && (s[i] == '"' || s[i] == '\'')) {
      const char q = s[i++];
      bool closed = false;
      while (i < s.size()) {
        if (s[i] == q) {
          if (i + 1 < s.size() && s[i + 1] == q) {
            value.push_back(q);
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        value.push_back(s[i++]);
      }
      if (!closed) return Own(adErrInvalidArgument, "HY000", text::Format("unterminated quoted value for %s", key));
      while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
      if (i < s.size() && s[i] != ';')
        return Own(adErrInvalidArgument, "HY000", text::Format("text after the quoted value of %s", key));
    } else {
      const size_t end = s.find(';', i);
      value = std::string(text::TrimAscii(s.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i)));
      i = end == std::string_view::npos ? s.size() : end;
    }
    if (key.empty()) return Own(adErrInvalidArgument, "HY000", "connection string item without a name");
    out.emplace_back(std::move(key), std::move(value));
  }
  return {};
}

const std::string* Find(const std::vector<std::pair<std::string, std::string>>& items,
                        std::initializer_list<std::string_view> names) {
  for (auto it = items.rbegin(); it != items.rend(); ++it)
    for (auto name : names)
      if (text::EqualsNoCase(it->first, name)) return &it->second;
  return nullptr;
}

// Whether an ODBC connection string already names `key`.
bool OdbcHasKey(std::string_view odbc, std::string_view key) {
  for (const auto& item : text::Split(odbc, ';')) {
    const auto eq = item.find('=');
    if (eq != std::string::npos && text::EqualsNoCase(text::TrimAscii(std::string_view(item).substr(0, eq)), key))
      return true;
  }
  return false;
}

void AppendOdbc(std::string& odbc, std::string_view key, const std::string* value) {
  if (!value || value->empty() || OdbcHasKey(odbc, key)) return;
  if (!odbc.empty() && odbc.back() != ';') odbc.push_back(';');
  odbc += key;
  odbc.push_back('=');
  odbc += odbc::QuoteConnectionValue(*value);
}

com::Variant ToVariant(const odbc::Value& v) {
  switch (v.kind) {
    case odbc::Value::Kind::Null: return com::Variant::Null();
    case odbc::Value::Kind::Integer:
      if (v.integer >= std::numeric_limits<int32_t>::min() && v.integer <= std::numeric_limits<int32_t>::max())
        return com::Variant(static_cast<int32_t>(v.integer));
      return com::Variant(static_cast<int64_t>(v.integer));
    case odbc::Value::Kind::Double: return com::Variant(v.real);
    case odbc::Value::Kind::Text: return com::Variant(com::Bstr::FromUtf8(v.text));
    case odbc::Value::Kind::Binary: {
      com::SafeArray bytes(com::VT_UI1, com::SafeArray::Bound{0, static_cast<uint32_t>(v.text.size())});
      std::copy(v.text.begin(), v.text.end(), bytes.Bytes().begin());
      return com::Variant(std::move(bytes));
    }
  }
  return {};
}

// A server that folds unquoted names to lower case (PostgreSQL) reports them
// so; the stores name their columns in upper case, the standard's fold.
std::string UnfoldName(const std::string& name) {
  return name == text::ToLowerAscii(name) ? text::ToUpperAscii(name) : name;
}

// This layer's code for a failed statement on `link`: the cases the driver
// layer tells apart stay apart, a link the driver reports dead is gone
// whatever the statement said, anything else is DB_E_ERRORSINCOMMAND. The
// driver's text and diagnostic stay as they are.
Status StatementFailure(const odbc::Connection* link, Status failure) {
  HRESULT code = failure.code();
  switch (code) {
    case E_OUTOFMEMORY: return failure;  // the budget's refusal is the call's answer
    case DB_E_INTEGRITYVIOLATION:
    case DB_E_NOTABLE:
    case DB_E_DATAOVERFLOW:
    case DB_E_CANNOTCONNECT: break;
    default: code = DB_E_ERRORSINCOMMAND;
  }
  if (code != DB_E_CANNOTCONNECT && (!link || link->Lost())) code = DB_E_CANNOTCONNECT;
  return std::move(failure).WithCode(code);
}

// A transaction call's failure as the driver layer gave it, but on a link
// the driver reports dead that it is gone.
Status TransactionFailure(const odbc::Connection& link, Status failure) {
  if (failure.ok() || failure.code() == DB_E_CANNOTCONNECT || !link.Lost()) return failure;
  return std::move(failure).WithCode(DB_E_CANNOTCONNECT);
}

}  // namespace

Result<std::string> MapConnectionString(std::string_view oledb) {
  std::vector<std::pair<std::string, std::string>> items;
  QUOR_RETURN_IF_ERROR(ParseOleDb(oledb, items));
  const std::string* provider = Find(items, {"Provider"});
  const std::string* dataSource = Find(items, {"Data Source", "Server", "Address"});
  const std::string* catalog = Find(items, {"Initial Catalog", "Database"});
  const std::string* user = Find(items, {"User ID", "User Id", "UID", "User"});
  const std::string* password = Find(items, {"Password", "PWD"});
  const std::string* extended = Find(items, {"Extended Properties"});
  const std::string providerName = provider ? *provider : std::string("MSDASQL");

  std::string out;
  if (text::StartsWithNoCase(providerName, "MSDASQL")) {
    if (extended && !extended->empty()) {
      out = *extended;
    } else if (dataSource && !dataSource->empty()) {
      out = "DSN=" + odbc::QuoteConnectionValue(*dataSource);
    } else {
      return Own(adErrInvalidConnection, "IM002", "the ODBC provider needs Extended Properties or a Data Source");
    }
    AppendOdbc(out, "UID", user);
    AppendOdbc(out, "PWD", password);
  } else if (text::StartsWithNoCase(providerName, "SQLOLEDB") || text::StartsWithNoCase(providerName, "SQLNCLI") ||
             text::StartsWithNoCase(providerName, "MSOLEDBSQL")) {
    out = "DRIVER={FreeTDS}";
    AppendOdbc(out, "Server", dataSource);
    AppendOdbc(out, "Database", catalog);
    AppendOdbc(out, "UID", user);
    AppendOdbc(out, "PWD", password);
  } else if (text::StartsWithNoCase(providerName, "OraOLEDB") || text::StartsWithNoCase(providerName, "MSDAORA")) {
    out = "DRIVER={Oracle}";
    AppendOdbc(out, "DBQ", dataSource);
    AppendOdbc(out, "UID", user);
    AppendOdbc(out, "PWD", password);
  } else {
    return Own(adErrProviderNotFound, "IM002", text::Format("Provider cannot be found: %s", providerName));
  }
  return out;
}

std::string QuoteConnectionValue(std::string_view value) {
  const bool plain = value.find_first_of(";\"'") == std::string_view::npos && value == text::TrimAscii(value);
  if (plain) return std::string(value);
  std::string out = "\"";
  for (char c : value) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  out.push_back('"');
  return out;
}

// ---- Statement cache ------------------------------------------------------------

// Idle statements of one connection by SQL text, so that a store running the
// same statement again skips allocating and preparing it. Bounded; the least
// recently used goes first.
class StatementCache {
 public:
  explicit StatementCache(std::shared_ptr<odbc::Connection> connection) : connection_(std::move(connection)) {}

  std::unique_ptr<odbc::Statement> Take(const std::string& sql) {
    {
      MutexLock lock(mutex_);
      for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
        if (it->first == sql) {
          auto statement = std::move(it->second);
          idle_.erase(std::next(it).base());
          return statement;
        }
      }
    }
    return std::make_unique<odbc::Statement>(connection_);
  }

  void Give(std::string sql, std::unique_ptr<odbc::Statement> statement) {
    if (!statement || !statement->valid()) return;
    statement->CloseCursor();
    MutexLock lock(mutex_);
    idle_.emplace_back(std::move(sql), std::move(statement));
    if (idle_.size() > kCapacity) idle_.erase(idle_.begin());
  }

 private:
  static constexpr size_t kCapacity = 32;
  std::shared_ptr<odbc::Connection> connection_;
  Mutex mutex_;
  std::vector<std::pair<std::string, std::unique_ptr<odbc::Statement>>> idle_ QUOR_GUARDED_BY(mutex_);
};

// ---- Connection -------------------------------------------------------------------

Connection::Connection() = default;
Connection::~Connection() { Close(); }

Status Connection::Open(std::u16string_view connectionString) {
  if (!connectionString.empty()) connectionString_ = com::Bstr(connectionString);
  Close();
  QUOR_ASSIGN_OR_RETURN(const std::string odbcText, MapConnectionString(connectionString_.ToUtf8()));
  auto connection = std::make_shared<odbc::Connection>();
  // The driver layer's code says why: refused credentials, no server, else E_FAIL.
  QUOR_RETURN_IF_ERROR(connection->Open(odbcText, timeout_));
  dbms_ = connection->DbmsName();
  cache_ = std::make_shared<StatementCache>(connection);
  odbc_ = std::move(connection);
  return Status();
}

void Connection::Close() {
  if (odbc_ && inTransaction_) {
    odbc_->Rollback().Ignore();
    odbc_->SetAutoCommit(true).Ignore();
  }
  inTransaction_ = false;
  // Record sets still open keep the driver connection until they close.
  cache_.reset();
  odbc_.reset();
}


long Connection::State() const { return odbc_ && odbc_->IsOpen() ? adStateOpen : adStateClosed; }

Status Connection::Execute(std::u16string_view sql, int64_t* recordsAffected, std::unique_ptr<Recordset>* rows) {
  Command command;
  command.SetActiveConnection(this);
  command.SetCommandText(sql);
  return command.Execute(recordsAffected, rows);
}

Status Connection::OpenSchema(SchemaKind kind, const std::vector<std::u16string>& restrictions,
                              std::unique_ptr<Recordset>& rows) {
  rows.reset();
  if (State() != adStateOpen) return Closed();
  // On a server that folds unquoted names to lower case, names the stores
  // write in upper case are looked up, and reported, in that fold.
  const bool folds = FoldsToLower();
  auto restriction = [&](size_t i) -> std::optional<std::string> {
    if (i >= restrictions.size() || restrictions[i].empty()) return std::nullopt;
    std::string value = text::Narrow(restrictions[i]);
    if (folds && (i == 2 || (kind == adSchemaColumns && i == 3)) && value == text::ToUpperAscii(value))
      value = text::ToLowerAscii(value);
    return value;
  };
  auto statement = std::make_unique<odbc::Statement>(odbc_);
  if (!statement->valid()) return StatementFailure(odbc_.get(), statement->allocationStatus());
  Status listed;
  switch (kind) {
    case adSchemaCatalogs:
      listed = statement->Tables(std::string("%"), std::string(), std::string(), std::string());
      break;
    case adSchemaTables:
      listed = statement->Tables(restriction(0), restriction(1), restriction(2).value_or("%"), restriction(3));
      break;
    case adSchemaColumns:
      listed = statement->Columns(restriction(0), restriction(1), restriction(2).value_or("%"), restriction(3));
      break;
    default: return Own(adErrInvalidArgument, "HY024", "unsupported schema kind");
  }
  if (!listed.ok()) return StatementFailure(odbc_.get(), std::move(listed));
  std::unique_ptr<Recordset> recordset(new Recordset(*this, std::move(statement)));
  if (folds) recordset->foldedValues_ = {u"TABLE_NAME", u"COLUMN_NAME"};
  QUOR_RETURN_IF_ERROR(recordset->Start());
  rows = std::move(recordset);
  return Status();
}

bool Connection::FoldsToLower() const { return text::EqualsNoCase(dbms_, "PostgreSQL"); }

Status Connection::BeginTrans() {
  if (!odbc_) return Closed();
  if (inTransaction_) return Own(E_FAIL, "25000", "a transaction is already open on this connection");
  QUOR_RETURN_IF_ERROR(TransactionFailure(*odbc_, odbc_->SetAutoCommit(false)));
  inTransaction_ = true;
  return Status();
}

Status Connection::CommitTrans() {
  if (!odbc_) return Closed();
  if (!inTransaction_) return Own(E_FAIL, "25000", "no transaction is open on this connection");
  Status committed = odbc_->Commit();
  if (!committed.ok()) odbc_->Rollback().Ignore();
  odbc_->SetAutoCommit(true).Ignore();
  inTransaction_ = false;
  return TransactionFailure(*odbc_, std::move(committed));
}

Status Connection::RollbackTrans() {
  if (!odbc_) return Closed();
  if (!inTransaction_) return Own(E_FAIL, "25000", "no transaction is open on this connection");
  Status rolledBack = odbc_->Rollback();
  odbc_->SetAutoCommit(true).Ignore();
  inTransaction_ = false;
  return TransactionFailure(*odbc_, std::move(rolledBack));
}

// ---- Command ----------------------------------------------------------------------

Parameter Command::CreateParameter(std::u16string_view name, DataType type, ParameterDirection direction, long size,
                                   com::Variant value) {
  return Parameter{std::u16string(name), type, direction, size, std::move(value)};
}

Status Command::BindParameters(std::vector<odbc::Param>& params) {
  const auto mismatch = [](const char* text) { return Own(DISP_E_TYPEMISMATCH, "07006", text); };
  params.reserve(parameters_.size());
  for (const auto& p : parameters_) {
    odbc::Param bound;
    bound.direction = p.direction == adParamOutput        ? odbc::Param::Direction::Output
                      : p.direction == adParamInputOutput ? odbc::Param::Direction::InputOutput
                                                          : odbc::Param::Direction::Input;
    const com::Variant value = p.value.Dereferenced();
    const bool isNull = value.IsNull() || value.IsEmpty();
    switch (p.type) {
      case adInteger: {
        bound.kind = odbc::Param::Kind::Integer;
        int32_t n = 0;
        if (!isNull) {
          if (FAILED(value.ToI4(n))) return mismatch("an integer parameter holds no number");
          bound.value = n;
        }
        break;
      }
      case adBigInt: {
        bound.kind = odbc::Param::Kind::BigInt;
        com::Variant converted;
        if (!isNull) {
          if (FAILED(value.ChangeType(com::VT_I8, converted))) return mismatch("a big integer parameter holds no number");
          bound.value = converted.I8();
        }
        break;
      }
      case adDouble: {
        bound.kind = odbc::Param::Kind::Double;
        double d = 0;
        if (!isNull) {
          if (FAILED(value.ToR8(d))) return mismatch("a number parameter holds no number");
          bound.value = d;
        }
        break;
      }
      default: {
        bound.kind = odbc::Param::Kind::Text;
        bound.outputSize = p.size > 0 ? static_cast<size_t>(p.size) : 4000;
        com::Bstr textValue;
        if (!isNull) {
          if (FAILED(value.ToBstr(textValue))) return mismatch("a text parameter cannot be read as text");
          // An input is bound from the value's own text, not a copy of it.
          if (bound.direction == odbc::Param::Direction::Input)
            bound.value = odbc::SharedText{textValue.Share(), textValue.Utf8()};
          else
            bound.value = textValue.ToUtf8();
        }
        break;
      }
    }
    params.push_back(std::move(bound));
  }
  return Status();
}

// The command's statement from its connection's cache, its parameters bound.
Status Command::Ready(std::vector<odbc::Param>& params, std::string& sql,
                      std::unique_ptr<odbc::Statement>& statement) {
  if (!connection_) return Own(adErrInvalidConnection, "08003", "The command has no active connection.");
  Connection& connection = *connection_;
  if (connection.State() != adStateOpen) return Closed();
  QUOR_RETURN_IF_ERROR(BindParameters(params));
  sql = text::Narrow(text_);
  statement = connection.Cache()->Take(sql);
  if (!statement->valid()) return StatementFailure(connection.Handle().get(), statement->allocationStatus());
  return Status();
}

Status Command::Execute(int64_t* recordsAffected, std::unique_ptr<Recordset>* rows) {
  if (rows) rows->reset();
  std::vector<odbc::Param> params;
  std::string sql;
  std::unique_ptr<odbc::Statement> statement;
  QUOR_RETURN_IF_ERROR(Ready(params, sql, statement));
  Connection& connection = *connection_;
  const auto& cache = connection.Cache();
  if (Status ran = statement->Execute(sql, params); !ran.ok()) {
    cache->Give(std::move(sql), std::move(statement));
    return StatementFailure(connection.Handle().get(), std::move(ran));
  }

  for (size_t i = 0; i < params.size(); ++i) {
    if (parameters_[i].direction == adParamInput) continue;
    const auto& v = params[i].value;
    com::Variant out;
    if (std::holds_alternative<std::monostate>(v)) out = com::Variant::Null();
    else if (auto* n = std::get_if<int32_t>(&v)) out = com::Variant(*n);
    else if (auto* n64 = std::get_if<int64_t>(&v)) out = com::Variant(*n64);
    else if (auto* d = std::get_if<double>(&v)) out = com::Variant(*d);
    else if (auto* s = std::get_if<std::string>(&v)) out = com::Variant(com::Bstr::FromUtf8(*s));
    if (parameters_[i].value.IsByRef()) parameters_[i].value.AssignThroughRef(out);
    else parameters_[i].value = std::move(out);
  }

  if (recordsAffected) *recordsAffected = statement->columns().empty() ? statement->RowCount() : -1;
  if (rows && !statement->columns().empty()) {
    std::unique_ptr<Recordset> recordset(new Recordset(connection, std::move(statement), std::move(sql)));
    QUOR_RETURN_IF_ERROR(recordset->Start());
    *rows = std::move(recordset);
    return Status();
  }
  cache->Give(std::move(sql), std::move(statement));
  return Status();
}

Status Command::ReadText(const std::function<Status(uint64_t bytes)>& reserve, std::string& text, bool& found,
                         bool& null) {
  text.clear();
  found = null = false;
  std::vector<odbc::Param> params;
  std::string sql;
  std::unique_ptr<odbc::Statement> statement;
  QUOR_RETURN_IF_ERROR(Ready(params, sql, statement));
  Connection& connection = *connection_;
  const auto& cache = connection.Cache();
  Status read = statement->Execute(sql, params);
  if (read.ok() && statement->columns().empty()) read = Own(adErrObjectClosed, "24000", "The statement returned no rows.");
  if (read.ok()) {
    const Result<bool> fetched = statement->Fetch();
    if (!fetched.ok()) read = fetched.status();
    else if ((found = *fetched)) read = statement->ReadText(0, reserve, text, null);
  }
  // Closed as it goes back: the driver lets its copy of the row go.
  cache->Give(std::move(sql), std::move(statement));
  if (read.ok()) return read;
  text = std::string();
  return read.code() == adErrObjectClosed ? read : StatementFailure(connection.Handle().get(), std::move(read));
}

// ---- Recordset ----------------------------------------------------------------------

Recordset::Recordset(Connection& owner, std::unique_ptr<odbc::Statement> statement, std::string sql)
    : statement_(std::move(statement)), sql_(std::move(sql)), foldsToLower_(owner.FoldsToLower()) {
  if (!sql_.empty()) cache_ = owner.Cache();
}

Recordset::~Recordset() { Close(); }

Status Recordset::Start() {
  for (const auto& column : statement_->columns())
    names_.push_back(text::Widen(foldsToLower_ ? UnfoldName(column.name) : column.name));
  for (const auto& name : names_) {
    bool fold = false;
    for (const auto& folded : foldedValues_) fold |= text::EqualsNoCase(name, folded);
    foldColumn_.push_back(fold);
  }
  return ReadRow();
}

Status Recordset::ReadRow() {
  row_.clear();
  Result<bool> fetched = statement_->Fetch();
  if (!fetched.ok() || !*fetched) {
    eof_ = true;
    return fetched.ok() ? Status() : StatementFailure(statement_->connection().get(), fetched.status());
  }
  eof_ = false;
  row_.reserve(names_.size());
  for (size_t i = 0; i < names_.size(); ++i) {
    Result<odbc::Value> got = statement_->Get(i);
    if (!got.ok()) {
      eof_ = true;
      row_.clear();
      return StatementFailure(statement_->connection().get(), got.status());
    }
    odbc::Value& value = *got;
    if (foldColumn_[i] && value.kind == odbc::Value::Kind::Text) value.text = UnfoldName(value.text);
    row_.push_back(ToVariant(value));
  }
  return Status();
}

Status Recordset::MoveNext() {
  if (!statement_) return Own(adErrObjectClosed, "24000", "The record set is closed.");
  if (eof_) return Own(adErrNoCurrentRecord, "24000", "There is no current record.");
  return ReadRow();
}

void Recordset::Close() {
  if (auto cache = cache_.lock(); cache && statement_) cache->Give(std::move(sql_), std::move(statement_));
  cache_.reset();
  statement_.reset();
  row_.clear();
  eof_ = true;
}

Status Recordset::GetValue(long index, com::Variant& value) const {
  if (index < 0 || static_cast<size_t>(index) >= names_.size())
    return Own(adErrItemNotFound, "42S22", std::string(kNotFoundText));
  if (eof_ || row_.empty()) return Own(adErrNoCurrentRecord, "24000", "There is no current record.");
  value = row_[static_cast<size_t>(index)];
  return Status();
}

Status Recordset::GetValue(std::u16string_view name, com::Variant& value) const {
  for (size_t i = 0; i < names_.size(); ++i)
    if (text::EqualsNoCase(names_[i], name)) return GetValue(static_cast<long>(i), value);
  return Own(adErrItemNotFound, "42S22", std::string(kNotFoundText));
}

}  // namespace quor::ado
