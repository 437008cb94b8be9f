// The data accessor's view of a database: a data source initialised from OLE DB
// initialisation properties, sessions with local transactions, commands with
// parameters bound to their '?' markers, rowsets with column metadata, and the
// schema listings. All of it runs over platform/odbc; the provider names map to
// ODBC drivers exactly as platform/ado maps them.
//
// Every failing call returns a negative status, keeps the driver's text in the
// object's LastError and leaves it as error information on the thread. Nothing
// here ever prompts for credentials.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/com/memory_budget.h"
#include "platform/odbc/odbc.h"

namespace quor::oledb {

using DBPROPID = uint32_t;

// Initialisation properties that reach the ODBC connection. Others (caching
// or masking of credentials, window handles, prompting...) are accepted and
// have no effect: there is nobody to prompt and nothing to cache.
inline constexpr DBPROPID DBPROP_AUTH_PASSWORD = 9;
inline constexpr DBPROPID DBPROP_AUTH_USERID = 12;
inline constexpr DBPROPID DBPROP_INIT_DATASOURCE = 59;
inline constexpr DBPROPID DBPROP_INIT_PROMPT = 64;
inline constexpr DBPROPID DBPROP_INIT_TIMEOUT = 66;
inline constexpr DBPROPID DBPROP_INIT_PROVIDERSTRING = 160;
inline constexpr DBPROPID DBPROP_INIT_CATALOG = 233;

// Statuses callers test.
inline constexpr HRESULT DB_E_ERRORSINCOMMAND = static_cast<HRESULT>(0x80040E14u);
inline constexpr HRESULT DB_E_INTEGRITYVIOLATION = odbc::DB_E_INTEGRITYVIOLATION;
inline constexpr HRESULT DB_E_NOTABLE = odbc::DB_E_NOTABLE;
inline constexpr HRESULT DB_E_ALREADYINITIALIZED = static_cast<HRESULT>(0x80040E52u);
inline constexpr HRESULT DB_E_NOTINITIALIZED = static_cast<HRESULT>(0x80040E12u);
inline constexpr HRESULT DB_E_BADCOLUMNID = static_cast<HRESULT>(0x80040E11u);
inline constexpr HRESULT DB_E_NOCOMMAND = static_cast<HRESULT>(0x80040E0Cu);
inline constexpr HRESULT DB_E_BADPROPERTYVALUE = static_cast<HRESULT>(0x80040E54u);
inline constexpr HRESULT DB_E_DATAOVERFLOW = odbc::DB_E_DATAOVERFLOW;
inline constexpr HRESULT DB_SEC_E_AUTH_FAILED = odbc::DB_SEC_E_AUTH_FAILED;
inline constexpr HRESULT XACT_E_NOTRANSACTION = static_cast<HRESULT>(0x8004D00Eu);
inline constexpr HRESULT XACT_E_XTIONEXISTS = static_cast<HRESULT>(0x8004D013u);

// OLE DB type codes reported for columns and in the schema rowsets' DATA_TYPE.
enum DBTYPE : uint16_t {
  DBTYPE_I2 = 2, DBTYPE_I4 = 3, DBTYPE_R4 = 4, DBTYPE_R8 = 5, DBTYPE_BOOL = 11, DBTYPE_I1 = 16,
  DBTYPE_UI1 = 17, DBTYPE_I8 = 20, DBTYPE_GUID = 72, DBTYPE_BYTES = 128, DBTYPE_STR = 129, DBTYPE_WSTR = 130,
  DBTYPE_NUMERIC = 131, DBTYPE_DBDATE = 133, DBTYPE_DBTIME = 134, DBTYPE_DBTIMESTAMP = 135,
};
// The OLE DB type of an ODBC SQL type code.
DBTYPE DbTypeOfSqlType(int16_t sqlType);

// The rows psqlODBC reads at a time through its cursor.
inline constexpr int kCursorFetchRows = 1000;
// Makes an ODBC string that reaches psqlODBC read query results through a
// cursor (UseDeclareFetch, Fetch), so that a large result is never held
// whole by the driver; other drivers' strings, and settings a string gives
// itself, stay as they are. Initialize does it for every data source.
void AddCursorFetch(std::string& odbcString);
// The same for the SQLite driver: its step mode (StepAPI), in which
// platform/odbc reads row by row the queries whose answers stay the same
// (odbc::Statement::Execute) and reads every other one whole.
void AddStepReads(std::string& odbcString);

// Puts a name (catalog, schema, table, column) in SQL: in double quotes, any
// double quote inside doubled.
std::string QuoteIdentifier(std::string_view name);

// A parameter of a command, bound in order to its '?' markers.
using Parameter = odbc::Param;

struct Column {
  std::string name;
  DBTYPE type = DBTYPE_WSTR;
  int16_t sqlType = 0;
  uint64_t size = 0;  // characters for text, bytes for binary, precision for numbers
  bool nullable = true;
};

class Session;

class DataSource {
 public:
  DataSource();
  ~DataSource();
  DataSource(const DataSource&) = delete;
  DataSource& operator=(const DataSource&) = delete;

  // Sets an initialisation property as text (the timeout as decimal seconds).
  // DB_E_ALREADYINITIALIZED once initialised; DB_E_BADPROPERTYVALUE for a
  // timeout that is not a number of seconds.
  HRESULT SetProperty(DBPROPID id, std::string value);

  // Connects to the data source that `provider` (e.g. "MSDASQL.1",
  // "SQLOLEDB") reaches with the properties set. REGDB_E_CLASSNOTREG for a
  // provider without an ODBC counterpart, DB_SEC_E_AUTH_FAILED when the server
  // refuses the credentials, E_FAIL when it cannot be reached.
  HRESULT Initialize(std::string_view provider);
  void Uninitialize();
  bool IsInitialized() const { return connection_ != nullptr; }

  // The server's name for itself ("PostgreSQL", "SQLite", ...).
  const std::string& DbmsName() const { return dbms_; }
  // The last failure, as it was raised; its message alone.
  const Status& LastFailure() const { return failure_; }
  const std::string& LastError() const { return failure_.message(); }

  // A session of its own connection, so that its transactions are its own.
  HRESULT CreateSession(std::unique_ptr<Session>& session);

 private:
  HRESULT Fail(HRESULT code, std::string text);

  std::map<DBPROPID, std::string> properties_;
  std::string odbcString_;
  int timeoutSeconds_ = 15;
  std::shared_ptr<odbc::Connection> connection_;
  bool connectionHandedOut_ = false;
  std::string dbms_;
  Status failure_;
};

class Rowset;

// The listings of the schema rowsets, with the OLE DB column names
// (TABLE_CATALOG, TABLE_SCHEMA, TABLE_NAME, TABLE_TYPE, COLUMN_NAME,
// PROCEDURE_NAME, PARAMETER_NAME, PARAMETER_TYPE, DATA_TYPE...). PrimaryKeys
// lists one table's key (TABLE_CATALOG, TABLE_SCHEMA, TABLE_NAME,
// COLUMN_NAME, ORDINAL, PK_NAME) in key order; it needs the table's name.
enum class Schema { Tables, Views, Columns, Procedures, ProcedureParameters, PrimaryKeys };

// Schema restrictions; an empty optional means no restriction. `item` is the
// table type (Tables), column name (Columns) or parameter name
// (ProcedureParameters); Views take no item.
struct Restrictions {
  std::optional<std::string> catalog;
  std::optional<std::string> schema;
  std::optional<std::string> name;
  std::optional<std::string> item;
};

class Session {
 public:
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Local transactions: XACT_E_XTIONEXISTS when one is open already,
  // XACT_E_NOTRANSACTION to commit or abort without one. A session that ends
  // with a transaction open aborts it.
  HRESULT StartTransaction();
  HRESULT Commit();
  HRESULT Abort();
  bool InTransaction() const { return inTransaction_; }

  // Runs `sql` with `params` bound to its '?' markers in order. The result
  // comes back as a rowset even when it has no columns (then it only tells
  // the rows affected) and leads on to the batch's further results. Output
  // parameters receive their values when the statement has no rows to read.
  // The rows a driver read whole are held in the call's memory account for
  // as long as the rowset lives: E_OUTOFMEMORY, with the refusal's text,
  // when they do not fit.
  HRESULT Execute(std::string_view sql, std::vector<Parameter>& params, std::unique_ptr<Rowset>& result);
  HRESULT Execute(std::string_view sql, std::unique_ptr<Rowset>& result);
  // The columns a command's result would have, from the driver's
  // description of the prepared command, which is not run: empty when the
  // driver can tell only once it ran.
  HRESULT Describe(std::string_view sql, std::vector<Column>& columns);

  HRESULT GetSchemaRowset(Schema schema, const Restrictions& restrictions, std::unique_ptr<Rowset>& rows);

  // Which character columns of later commands come back as the data
  // source's own bytes (odbc::Value::narrow) for the caller to decode by the
  // encoding it knows them to be in. Schema listings are not affected. None
  // by default.
  void SetNarrowText(odbc::NarrowText which) { narrowText_ = which; }
  // The server's name for itself ("PostgreSQL", "SQLite", ...).
  std::string DbmsName() const { return connection_->DbmsName(); }

  // The last failure, as it was raised; its message alone.
  const Status& LastFailure() const { return failure_; }
  const std::string& LastError() const { return failure_.message(); }

 private:
  friend class DataSource;
  explicit Session(std::shared_ptr<odbc::Connection> connection);
  HRESULT Fail(HRESULT code, std::string text);
  HRESULT Failure(const Status& failure);

  std::shared_ptr<odbc::Connection> connection_;
  bool inTransaction_ = false;
  odbc::NarrowText narrowText_ = odbc::NarrowText::None;
  Status failure_;
};

// A forward-only rowset: Next moves onto each row in turn. A rowset keeps its
// connection alive after the session is gone.
class Rowset {
 public:
  ~Rowset();
  Rowset(const Rowset&) = delete;
  Rowset& operator=(const Rowset&) = delete;

  const std::vector<Column>& Columns() const { return columns_; }
  // Rows changed by the statement (-1 when the result has rows or the driver
  // cannot tell).
  int64_t RowsAffected() const { return rowsAffected_; }

  // Moves to the next row and reads all of it; S_FALSE at the end.
  HRESULT Next();
  // A value of the current row; DB_E_BADCOLUMNID for an ordinal or name
  // outside the columns, E_UNEXPECTED without a current row.
  HRESULT Get(size_t ordinal, odbc::Value& value) const;
  HRESULT Get(std::string_view name, odbc::Value& value) const;

  // Moves to the next row without reading it, for Read to read its values
  // one by one where the driver put them, with no copy; S_FALSE at the end.
  // Get has no values for a row reached this way.
  HRESULT Fetch();
  // A value of the row Fetch moved to, valid until the next Fetch. As Get,
  // and the driver's status when the value cannot be read.
  HRESULT Read(size_t ordinal, odbc::ValueView& value);

  // Moves to the batch's next result; S_FALSE when there is none.
  HRESULT NextResult();

  // Whether rows come from the database as they are fetched: a failure
  // among them surfaces at the fetch that meets it, and rows never fetched
  // are never read.
  bool Stepped() const { return statement_->Stepped(); }

  // Reads the output values of the command into `params`, the vector it was
  // executed with. Some drivers fill them only once every result has been
  // read, so call this after NextResult answered S_FALSE. DB_E_DATAOVERFLOW
  // when a value is longer than its parameter's buffer (outputSize).
  HRESULT ReadOutputs(std::vector<Parameter>& params);

  // The last failure, as it was raised; its message alone.
  const Status& LastFailure() const { return failure_; }
  const std::string& LastError() const { return failure_.message(); }

 private:
  friend class Session;
  enum class Kind { Command, Schema };
  Rowset(std::unique_ptr<odbc::Statement> statement, Kind kind, com::MemoryHold driverRows = {});
  void Describe();
  HRESULT Failure(const Status& failure);
  // A schema listing's integer as OLE DB gives it (types, parameter kinds).
  std::int64_t Translated(size_t column, std::int64_t value) const;

  // What the driver holds for the rows, until the statement goes.
  com::MemoryHold driverRows_;
  std::unique_ptr<odbc::Statement> statement_;
  Kind kind_;
  std::vector<Column> columns_;
  std::vector<odbc::Value> row_;
  bool onRow_ = false;    // Next read the current row into row_
  bool fetched_ = false;  // Fetch moved onto a row that Read reads
  int64_t rowsAffected_ = -1;
  // Schema listings: which columns carry an ODBC code to translate.
  int dataTypeColumn_ = -1;
  int parameterTypeColumn_ = -1;
  Status failure_;
};

// The status a failed statement of platform/odbc maps to: DB_E_NOTABLE for a
// missing table, DB_E_INTEGRITYVIOLATION for a broken constraint,
// DB_E_DATAOVERFLOW for a value too long for its place, DB_E_ERRORSINCOMMAND
// otherwise.
HRESULT StatusOf(const Status& failure);

}  // namespace quor::oledb
