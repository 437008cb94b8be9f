#include "platform/oledb/oledb.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <charconv>

#include "platform/ado/ado.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::oledb {
namespace {

constexpr char16_t kSource[] = u"Quor.OleDb";

// Keeps the failure for LastFailure and raises it for the component's edge.
HRESULT Raise(Status& held, Status failure) {
  held = std::move(failure);
  return com::RaiseError(held.code(), com::Bstr(kSource), com::Bstr::FromUtf8(held.message()));
}

// A failure to connect: refused credentials are told apart.
HRESULT ConnectionStatus(const Status& failure) {
  return failure.code() == odbc::DB_SEC_E_AUTH_FAILED ? DB_SEC_E_AUTH_FAILED : E_FAIL;
}

// ODBC's names for the catalog functions' columns, and OLE DB's.
std::string SchemaColumnName(std::string name) {
  name = text::ToUpperAscii(name);
  static constexpr std::pair<std::string_view, std::string_view> kRenames[] = {
      {"TABLE_CAT", "TABLE_CATALOG"},         {"TABLE_SCHEM", "TABLE_SCHEMA"},
      {"PROCEDURE_CAT", "PROCEDURE_CATALOG"}, {"PROCEDURE_SCHEM", "PROCEDURE_SCHEMA"},
      {"COLUMN_SIZE", "CHARACTER_MAXIMUM_LENGTH"},
      {"KEY_SEQ", "ORDINAL"},
      // psqlODBC's procedure-column listing misspells the schema column.
      {"PROCEDUR_SCHEM", "PROCEDURE_SCHEMA"},
  };
  for (const auto& [from, to] : kRenames)
    if (name == from) return std::string(to);
  return name;
}

// ODBC's parameter kinds (SQL_PARAM_*) as OLE DB's DBPARAMTYPE: 1 input,
// 2 input and output, 3 output, 4 return value; a result column has none.
int64_t ParameterType(int64_t odbcKind) {
  switch (odbcKind) {
    case SQL_PARAM_INPUT: return 1;
    case SQL_PARAM_INPUT_OUTPUT: return 2;
    case SQL_PARAM_OUTPUT: return 3;
    case SQL_RETURN_VALUE: return 4;
    default: return 0;
  }
}

std::string_view FileName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A setting added to an ODBC string that does not give it itself.
void AddSetting(std::string& odbcString, std::string_view key, std::string_view value) {
  if (odbc::ConnectionValue(odbcString, key)) return;
  if (!odbcString.empty() && odbcString.back() != ';') odbcString += ';';
  odbcString.append(key).append("=").append(value);
}

}  // namespace

void AddCursorFetch(std::string& odbcString) {
  if (!FileName(odbc::DriverFile(odbcString)).starts_with("psqlodbc")) return;
  // psqlODBC reads the whole result of a query into memory before it hands
  // out the first row, unless it reads through a cursor, a batch of rows at
  // a time. A string that says so itself keeps what it says.
  AddSetting(odbcString, "UseDeclareFetch", "1");
  AddSetting(odbcString, "Fetch", std::to_string(kCursorFetchRows));
}

void AddStepReads(std::string& odbcString) {
  // The SQLite driver reads a whole result when the statement runs, unless
  // it steps; stepping, it names some columns' types otherwise, which the
  // odbc layer tells before it picks how to read.
  if (FileName(odbc::DriverFile(odbcString)).starts_with("libsqlite3odbc")) AddSetting(odbcString, "StepAPI", "1");
}

DBTYPE DbTypeOfSqlType(int16_t sqlType) {
  switch (sqlType) {
    case SQL_CHAR: case SQL_VARCHAR: case SQL_LONGVARCHAR: return DBTYPE_STR;
    case SQL_WCHAR: case SQL_WVARCHAR: case SQL_WLONGVARCHAR: return DBTYPE_WSTR;
    case SQL_NUMERIC: case SQL_DECIMAL: return DBTYPE_NUMERIC;
    case SQL_INTEGER: return DBTYPE_I4;
    case SQL_SMALLINT: return DBTYPE_I2;
    case SQL_TINYINT: return DBTYPE_UI1;
    case SQL_BIGINT: return DBTYPE_I8;
    case SQL_BIT: return DBTYPE_BOOL;
    case SQL_REAL: return DBTYPE_R4;
    case SQL_FLOAT: case SQL_DOUBLE: return DBTYPE_R8;
    case SQL_DATETIME: case SQL_TYPE_DATE: return DBTYPE_DBDATE;
    case SQL_TIME: case SQL_TYPE_TIME: return DBTYPE_DBTIME;
    case SQL_TIMESTAMP: case SQL_TYPE_TIMESTAMP: return DBTYPE_DBTIMESTAMP;
    case SQL_BINARY: case SQL_VARBINARY: case SQL_LONGVARBINARY: return DBTYPE_BYTES;
    case SQL_GUID: return DBTYPE_GUID;
    default: return DBTYPE_WSTR;
  }
}

std::string QuoteIdentifier(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  out.push_back('"');
  return out;
}

HRESULT StatusOf(const Status& failure) {
  switch (failure.code()) {
    case odbc::DB_E_NOTABLE:
    case odbc::DB_E_DATAOVERFLOW:
    case odbc::DB_E_INTEGRITYVIOLATION: return failure.code();
    default: return DB_E_ERRORSINCOMMAND;
  }
}

// ---- DataSource ---------------------------------------------------------------

DataSource::DataSource() = default;
DataSource::~DataSource() { Uninitialize(); }

HRESULT DataSource::Fail(HRESULT code, std::string text) { return Raise(failure_, Status(code, std::move(text))); }

HRESULT DataSource::SetProperty(DBPROPID id, std::string value) {
  if (IsInitialized()) return Fail(DB_E_ALREADYINITIALIZED, "the data source is initialised already");
  if (id == DBPROP_INIT_TIMEOUT) {
    int seconds = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (ec != std::errc() || end != value.data() + value.size() || seconds < 0)
      return Fail(DB_E_BADPROPERTYVALUE, text::Format("the connection timeout is not a number of seconds: %s", value));
    timeoutSeconds_ = seconds;
  }
  properties_[id] = std::move(value);
  return S_OK;
}

HRESULT DataSource::Initialize(std::string_view provider) {
  if (IsInitialized()) return Fail(DB_E_ALREADYINITIALIZED, "the data source is initialised already");
  if (text::TrimAscii(provider).empty()) return Fail(E_INVALIDARG, "no provider was given");

  // The properties as an OLE DB connection string, which platform/ado maps to
  // the ODBC driver that plays the provider's part.
  std::string oledb = "Provider=" + ado::QuoteConnectionValue(provider);
  auto add = [&](std::string_view key, DBPROPID id) {
    const auto it = properties_.find(id);
    if (it == properties_.end() || it->second.empty()) return;
    oledb += ';';
    oledb += key;
    oledb += '=';
    oledb += ado::QuoteConnectionValue(it->second);
  };
  add("Data Source", DBPROP_INIT_DATASOURCE);
  add("Initial Catalog", DBPROP_INIT_CATALOG);
  add("User ID", DBPROP_AUTH_USERID);
  add("Password", DBPROP_AUTH_PASSWORD);
  add("Extended Properties", DBPROP_INIT_PROVIDERSTRING);

  Result<std::string> mapped = ado::MapConnectionString(oledb);
  if (!mapped.ok()) {
    const HRESULT code = mapped.status().code() == ado::adErrProviderNotFound ? REGDB_E_CLASSNOTREG : E_FAIL;
    return Raise(failure_, mapped.status().WithCode(code));
  }
  std::string odbcString = std::move(mapped).value();
  AddCursorFetch(odbcString);
  AddStepReads(odbcString);

  auto connection = std::make_shared<odbc::Connection>();
  if (Status opened = connection->Open(odbcString, timeoutSeconds_); !opened.ok()) {
    const HRESULT code = ConnectionStatus(opened);
    return Raise(failure_, std::move(opened).WithCode(code));
  }
  odbcString_ = std::move(odbcString);
  dbms_ = connection->DbmsName();
  connection_ = std::move(connection);
  failure_ = Status();
  return S_OK;
}

void DataSource::Uninitialize() {
  connection_.reset();
  connectionHandedOut_ = false;
  odbcString_.clear();
  dbms_.clear();
}

HRESULT DataSource::CreateSession(std::unique_ptr<Session>& session) {
  session.reset();
  if (!IsInitialized()) return Fail(DB_E_NOTINITIALIZED, "the data source is not initialised");
  std::shared_ptr<odbc::Connection> connection;
  // The first session takes the connection made to initialise; later ones
  // connect again.
  if (!connectionHandedOut_) {
    connection = connection_;
    connectionHandedOut_ = true;
  } else {
    connection = std::make_shared<odbc::Connection>();
    if (Status opened = connection->Open(odbcString_, timeoutSeconds_); !opened.ok()) {
      const HRESULT code = ConnectionStatus(opened);
      return Raise(failure_, std::move(opened).WithCode(code));
    }
  }
  session.reset(new Session(std::move(connection)));
  return S_OK;
}

// ---- Session ------------------------------------------------------------------

Session::Session(std::shared_ptr<odbc::Connection> connection) : connection_(std::move(connection)) {}

Session::~Session() {
  if (inTransaction_) Abort();
}

HRESULT Session::Fail(HRESULT code, std::string text) { return Raise(failure_, Status(code, std::move(text))); }

HRESULT Session::Failure(const Status& failure) { return Raise(failure_, Status(failure).WithCode(StatusOf(failure))); }

HRESULT Session::StartTransaction() {
  if (inTransaction_) return Fail(XACT_E_XTIONEXISTS, "a transaction is open already on this session");
  if (const Status set = connection_->SetAutoCommit(false); !set.ok()) return Fail(E_FAIL, set.message());
  inTransaction_ = true;
  return S_OK;
}

HRESULT Session::Commit() {
  if (!inTransaction_) return Fail(XACT_E_NOTRANSACTION, "no transaction is open on this session");
  const Status committed = connection_->Commit();
  if (!committed.ok()) connection_->Rollback().Ignore();
  connection_->SetAutoCommit(true).Ignore();
  inTransaction_ = false;
  return committed.ok() ? S_OK : Fail(E_FAIL, committed.message());
}

HRESULT Session::Abort() {
  if (!inTransaction_) return Fail(XACT_E_NOTRANSACTION, "no transaction is open on this session");
  const Status rolledBack = connection_->Rollback();
  connection_->SetAutoCommit(true).Ignore();
  inTransaction_ = false;
  return rolledBack.ok() ? S_OK : Fail(E_FAIL, rolledBack.message());
}

HRESULT Session::Execute(std::string_view sql, std::unique_ptr<Rowset>& result) {
  std::vector<Parameter> none;
  return Execute(sql, none, result);
}

HRESULT Session::Execute(std::string_view sql, std::vector<Parameter>& params, std::unique_ptr<Rowset>& result) {
  result.reset();
  if (text::TrimAscii(sql).empty()) return Fail(DB_E_NOCOMMAND, "the command has no text");
  auto statement = std::make_unique<odbc::Statement>(connection_);
  if (!statement->valid()) return Failure(statement->allocationStatus());
  statement->SetNarrowText(narrowText_);
  // What the driver takes for rows it reads whole is reserved while it
  // takes it; a refusal stops the statement, which then takes nothing.
  statement->CountDriverRows(true);
  if (const Status ran = statement->Execute(sql, params); !ran.ok())
    return ran.code() == E_OUTOFMEMORY ? Fail(E_OUTOFMEMORY, ran.message()) : Failure(ran);
  // Held while the rowset lives, at what the driver took: nothing for a
  // change, whose driver took no rows.
  com::MemoryHold driverRows = statement->TakeDriverRows();
  if (const Status room = driverRows.GrowTo(statement->columns().empty() ? 0 : statement->DriverHeld()); !room.ok())
    return Fail(E_OUTOFMEMORY, room.message());
  result.reset(new Rowset(std::move(statement), Rowset::Kind::Command, std::move(driverRows)));
  return S_OK;
}

HRESULT Session::Describe(std::string_view sql, std::vector<Column>& columns) {
  columns.clear();
  if (text::TrimAscii(sql).empty()) return Fail(DB_E_NOCOMMAND, "the command has no text");
  auto statement = std::make_unique<odbc::Statement>(connection_);
  if (!statement->valid()) return Failure(statement->allocationStatus());
  if (const Status described = statement->Describe(sql); !described.ok()) return Failure(described);
  columns = Rowset(std::move(statement), Rowset::Kind::Command).Columns();
  return S_OK;
}

HRESULT Session::GetSchemaRowset(Schema schema, const Restrictions& r, std::unique_ptr<Rowset>& rows) {
  rows.reset();
  auto statement = std::make_unique<odbc::Statement>(connection_);
  if (!statement->valid()) return Failure(statement->allocationStatus());
  // Drivers differ on a null table name; "%" asks for every one.
  const std::string all = "%";
  Status listed;
  switch (schema) {
    case Schema::Tables:
      listed = statement->Tables(r.catalog, r.schema, r.name.value_or(all), r.item);
      break;
    case Schema::Views:
      listed = statement->Tables(r.catalog, r.schema, r.name.value_or(all), std::string("VIEW"));
      break;
    case Schema::Columns:
      listed = statement->Columns(r.catalog, r.schema, r.name.value_or(all), r.item.value_or(all));
      break;
    case Schema::Procedures:
      listed = statement->Procedures(r.catalog, r.schema, r.name.value_or(all));
      break;
    case Schema::ProcedureParameters:
      listed = statement->ProcedureColumns(r.catalog, r.schema, r.name.value_or(all), r.item);
      break;
    case Schema::PrimaryKeys:
      // No pattern here: the table is named exactly.
      if (!r.name || r.name->empty()) return Fail(E_INVALIDARG, "the primary key listing needs a table name");
      if (text::EqualsNoCase(connection_->DbmsName(), "SQLite")) {
        // The SQLite driver numbers a key's columns in table order; the
        // engine itself knows the key's order.
        std::vector<odbc::Param> params{odbc::Param::Text(*r.name), odbc::Param::Text(*r.name),
                                        odbc::Param::Text(r.schema.value_or("main"))};
        listed = statement->Execute(
            "SELECT NULL AS TABLE_CAT, NULL AS TABLE_SCHEM, ? AS TABLE_NAME, name AS COLUMN_NAME, pk AS KEY_SEQ, "
            "NULL AS PK_NAME FROM pragma_table_info(?, ?) WHERE pk > 0 ORDER BY pk",
            params);
      } else {
        listed = statement->PrimaryKeys(r.catalog, r.schema, *r.name);
      }
      break;
  }
  if (!listed.ok()) return Fail(E_FAIL, listed.message());
  rows.reset(new Rowset(std::move(statement), Rowset::Kind::Schema));
  return S_OK;
}

// ---- Rowset ----------------------------------------------------------------------

Rowset::Rowset(std::unique_ptr<odbc::Statement> statement, Kind kind, com::MemoryHold driverRows)
    : driverRows_(std::move(driverRows)), statement_(std::move(statement)), kind_(kind) {
  Describe();
}

Rowset::~Rowset() = default;

HRESULT Rowset::Failure(const Status& failure) { return Raise(failure_, Status(failure).WithCode(StatusOf(failure))); }

void Rowset::Describe() {
  columns_.clear();
  row_.clear();
  onRow_ = fetched_ = false;
  dataTypeColumn_ = parameterTypeColumn_ = -1;
  for (const auto& c : statement_->columns()) {
    Column column{kind_ == Kind::Schema ? SchemaColumnName(c.name) : c.name, DbTypeOfSqlType(c.sqlType), c.sqlType,
                  c.size, c.nullable};
    if (kind_ == Kind::Schema) {
      // The procedure-column listing names its kind COLUMN_TYPE.
      if (column.name == "COLUMN_TYPE") {
        column.name = "PARAMETER_TYPE";
        parameterTypeColumn_ = static_cast<int>(columns_.size());
      } else if (column.name == "DATA_TYPE") {
        dataTypeColumn_ = static_cast<int>(columns_.size());
      }
    }
    columns_.push_back(std::move(column));
  }
  // Parameters are columns by another name in ODBC's procedure listing.
  if (parameterTypeColumn_ >= 0)
    for (auto& c : columns_)
      if (c.name == "COLUMN_NAME") c.name = "PARAMETER_NAME";
  rowsAffected_ = columns_.empty() ? statement_->RowCount() : -1;
}

// Schema listings speak OLE DB's codes, not ODBC's.
std::int64_t Rowset::Translated(size_t column, std::int64_t value) const {
  if (static_cast<int>(column) == dataTypeColumn_) return DbTypeOfSqlType(static_cast<int16_t>(value));
  if (static_cast<int>(column) == parameterTypeColumn_) return ParameterType(value);
  return value;
}

HRESULT Rowset::Fetch() {
  row_.clear();
  onRow_ = fetched_ = false;
  if (columns_.empty()) return S_FALSE;
  const Result<bool> fetched = statement_->Fetch();
  if (!fetched.ok()) return Failure(fetched.status());
  if (!*fetched) return S_FALSE;
  fetched_ = true;
  return S_OK;
}

HRESULT Rowset::Read(size_t ordinal, odbc::ValueView& value) {
  if (ordinal >= columns_.size())
    return com::RaiseError(DB_E_BADCOLUMNID, com::Bstr(kSource), com::Bstr(u"No column has that ordinal."));
  if (!fetched_) return com::RaiseError(E_UNEXPECTED, com::Bstr(kSource), com::Bstr(u"There is no current row."));
  Result<odbc::ValueView> read = statement_->Read(ordinal);
  if (!read.ok()) return Failure(read.status());
  value = *read;
  if (value.kind == odbc::Value::Kind::Integer) value.integer = Translated(ordinal, value.integer);
  return S_OK;
}

HRESULT Rowset::Next() {
  row_.clear();
  onRow_ = fetched_ = false;
  if (columns_.empty()) return S_FALSE;
  const Result<bool> fetched = statement_->Fetch();
  if (!fetched.ok()) return Failure(fetched.status());
  if (!*fetched) return S_FALSE;
  row_.resize(columns_.size());
  for (size_t i = 0; i < columns_.size(); ++i) {
    Result<odbc::Value> got = statement_->Get(i);
    if (!got.ok()) {
      row_.clear();
      return Failure(got.status());
    }
    row_[i] = std::move(*got);
  }
  for (size_t i = 0; i < row_.size(); ++i)
    if (row_[i].kind == odbc::Value::Kind::Integer) row_[i].integer = Translated(i, row_[i].integer);
  onRow_ = true;
  return S_OK;
}

HRESULT Rowset::Get(size_t ordinal, odbc::Value& value) const {
  if (ordinal >= columns_.size())
    return com::RaiseError(DB_E_BADCOLUMNID, com::Bstr(kSource), com::Bstr(u"No column has that ordinal."));
  if (!onRow_) return com::RaiseError(E_UNEXPECTED, com::Bstr(kSource), com::Bstr(u"There is no current row."));
  value = row_[ordinal];
  return S_OK;
}

HRESULT Rowset::Get(std::string_view name, odbc::Value& value) const {
  for (size_t i = 0; i < columns_.size(); ++i)
    if (text::EqualsNoCase(columns_[i].name, name)) return Get(i, value);
  return com::RaiseError(DB_E_BADCOLUMNID, com::Bstr(kSource), com::Bstr::FromUtf8("No column is named " + std::string(name)));
}

HRESULT Rowset::NextResult() {
  const Result<bool> next = statement_->NextResult();
  if (!next.ok() || !*next) {
    columns_.clear();
    row_.clear();
    onRow_ = fetched_ = false;
    return next.ok() ? S_FALSE : Failure(next.status());
  }
  Describe();
  return S_OK;
}

HRESULT Rowset::ReadOutputs(std::vector<Parameter>& params) {
  if (kind_ != Kind::Command)
    return com::RaiseError(E_UNEXPECTED, com::Bstr(kSource), com::Bstr(u"A schema listing has no parameters."));
  if (const Status read = statement_->ReadOutputs(params); !read.ok()) return Failure(read);
  return S_OK;
}

}  // namespace quor::oledb
