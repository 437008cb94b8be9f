// Connections, commands and record sets in the manner the service core's stores
// use them, over platform/odbc. Connection strings keep the OLE DB form
// (Provider=...;Data Source=...;...) and are mapped to the ODBC driver that
// plays that provider's part.
//
// Every failing call answers a failing Status: the driver's text as its
// message, the driver's SQLSTATE and native error as its diagnostic (this
// layer's own failures carry the SQLSTATE a driver would give).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"
#include "platform/odbc/odbc.h"
#include "platform/com/variant.h"

namespace quor::ado {

// Codes of failed statements: a broken constraint, a table that is not
// there, a value too long for its column, the link to the server gone
// (SQLSTATE class 08 or the driver's dead flag), a refusal of the memory
// budget (E_OUTOFMEMORY), anything else DB_E_ERRORSINCOMMAND.
inline constexpr HRESULT DB_E_INTEGRITYVIOLATION = odbc::DB_E_INTEGRITYVIOLATION;
inline constexpr HRESULT DB_E_NOTABLE = odbc::DB_E_NOTABLE;
inline constexpr HRESULT DB_E_DATAOVERFLOW = odbc::DB_E_DATAOVERFLOW;
inline constexpr HRESULT DB_E_CANNOTCONNECT = odbc::DB_E_CANNOTCONNECT;
inline constexpr HRESULT DB_E_ERRORSINCOMMAND = static_cast<HRESULT>(0x80040E14u);
// Of a failed open: the server refused the credentials; DB_E_CANNOTCONNECT
// when it could not be reached; E_FAIL otherwise.
inline constexpr HRESULT DB_SEC_E_AUTH_FAILED = odbc::DB_SEC_E_AUTH_FAILED;
// This layer's own.
inline constexpr HRESULT adErrItemNotFound = static_cast<HRESULT>(0x800A0CC1u);
inline constexpr HRESULT adErrNoCurrentRecord = static_cast<HRESULT>(0x800A0BCDu);
inline constexpr HRESULT adErrObjectClosed = static_cast<HRESULT>(0x800A0E78u);
inline constexpr HRESULT adErrProviderNotFound = static_cast<HRESULT>(0x800A0E7Au);
inline constexpr HRESULT adErrInvalidConnection = static_cast<HRESULT>(0x800A0E7Du);
inline constexpr HRESULT adErrInvalidArgument = static_cast<HRESULT>(0x800A0BB9u);

enum ObjectState : long { adStateClosed = 0, adStateOpen = 1 };
enum DataType : long { adInteger = 3, adDouble = 5, adBSTR = 8, adBigInt = 20, adVarWChar = 202, adLongVarWChar = 203 };
enum ParameterDirection : long { adParamInput = 1, adParamOutput = 2, adParamInputOutput = 3 };
enum SchemaKind : long { adSchemaCatalogs = 1, adSchemaColumns = 4, adSchemaTables = 20 };

// The OLE DB connection string's ODBC counterpart. MSDASQL takes the ODBC
// string from Extended Properties (or a DSN from Data Source); SQLOLEDB maps to
// FreeTDS and OraOLEDB to the Oracle driver. Values are quoted as ODBC needs.
// adErrProviderNotFound for a provider without an ODBC counterpart.
Result<std::string> MapConnectionString(std::string_view oledb);

// Whether a failure says the link to the server is gone: nothing more runs
// on that connection.
inline bool LinkLost(const Status& failure) {
  return failure.code() == DB_E_CANNOTCONNECT || failure.SqlState().starts_with("08");
}

// Quotes a value for an OLE DB connection string: unchanged when it holds no
// ';', quote or leading/trailing blank; otherwise in double quotes, inner
// double quotes doubled.
std::string QuoteConnectionValue(std::string_view value);

class Recordset;
class StatementCache;

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void SetConnectionString(std::u16string_view text) { connectionString_ = com::Bstr(text); }
  const com::Bstr& ConnectionString() const { return connectionString_; }
  // Seconds to wait for the server when opening (15 by default).
  void SetConnectionTimeout(int seconds) { timeout_ = seconds; }

  // Opens with `connectionString`, or with the ConnectionString property when
  // it is empty. Never prompts.
  Status Open(std::u16string_view connectionString = {});
  void Close();
  long State() const;

  // Runs `sql`; a statement with rows hands them out in `rows` (when given).
  Status Execute(std::u16string_view sql, int64_t* recordsAffected, std::unique_ptr<Recordset>* rows);

  // The server's catalogs, tables or columns through the driver's catalog
  // calls. Restrictions in order: catalog, schema, table, then table type
  // (tables) or column name (columns); an empty text means no restriction.
  // Rows carry the driver's column names (TABLE_CAT, TABLE_NAME, COLUMN_NAME...).
  Status OpenSchema(SchemaKind kind, const std::vector<std::u16string>& restrictions,
                    std::unique_ptr<Recordset>& rows);

  Status BeginTrans();
  Status CommitTrans();
  Status RollbackTrans();
  bool InTransaction() const { return inTransaction_; }

  // The driver's name for the server ("PostgreSQL", "SQLite", ...).
  const std::string& DbmsName() const { return dbms_; }
  // Whether the server folds unquoted names to lower case.
  bool FoldsToLower() const;

  // For the command and record set of this layer.
  std::shared_ptr<odbc::Connection> Handle() const { return odbc_; }
  // Statements prepared before, kept for the same texts.
  const std::shared_ptr<StatementCache>& Cache() const { return cache_; }

 private:
  com::Bstr connectionString_;
  int timeout_ = 15;
  std::shared_ptr<odbc::Connection> odbc_;
  std::shared_ptr<StatementCache> cache_;
  std::string dbms_;
  bool inTransaction_ = false;
};

struct Parameter {
  std::u16string name;
  DataType type = adBSTR;
  ParameterDirection direction = adParamInput;
  long size = 0;
  com::Variant value;
};

class Command {
 public:
  void SetActiveConnection(Connection* connection) { connection_ = connection; }
  Connection* ActiveConnection() const { return connection_; }
  void SetCommandText(std::u16string_view text) { text_ = std::u16string(text); }
  const std::u16string& CommandText() const { return text_; }

  static Parameter CreateParameter(std::u16string_view name, DataType type, ParameterDirection direction, long size,
                                   com::Variant value);
  void AppendParameter(Parameter parameter) { parameters_.push_back(std::move(parameter)); }
  std::vector<Parameter>& Parameters() { return parameters_; }

  // Runs the text with the parameters bound to its '?' markers in order.
  // Output parameters receive their values.
  Status Execute(int64_t* recordsAffected, std::unique_ptr<Recordset>* rows);
  // Runs the text (input parameters only) and reads the first column of its
  // first row as text straight into `text`, UTF-8 as the driver gives it
  // where it can (odbc::Statement::ReadText: `reserve` is told what the read
  // holds before it is taken). `found` is false when there is no row, `null`
  // when the value is NULL. The statement, and with it the driver's copy of
  // the row, is let go before this returns.
  Status ReadText(const std::function<Status(uint64_t bytes)>& reserve, std::string& text, bool& found,
                  bool& null);

 private:
  // The parameters as the statement binds them.
  Status BindParameters(std::vector<odbc::Param>& params);
  Status Ready(std::vector<odbc::Param>& params, std::string& sql, std::unique_ptr<odbc::Statement>& statement);

  Connection* connection_ = nullptr;
  std::u16string text_;
  std::vector<Parameter> parameters_;
};

// A forward-only record set positioned on its current row.
class Recordset {
 public:
  ~Recordset();
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  bool Eof() const { return eof_; }
  Status MoveNext();
  void Close();

  long FieldCount() const { return static_cast<long>(names_.size()); }
  // Field names as the stores write them (a server that folds unquoted names
  // to lower case gets them back in upper case).
  const std::vector<std::u16string>& FieldNames() const { return names_; }
  // By name without case; adErrItemNotFound when the row has no such field,
  // adErrNoCurrentRecord at the end.
  Status GetValue(std::u16string_view name, com::Variant& value) const;
  Status GetValue(long index, com::Variant& value) const;

 private:
  friend class Connection;
  friend class Command;
  Recordset(Connection& owner, std::unique_ptr<odbc::Statement> statement, std::string sql = {});
  Status Start();
  Status ReadRow();

  std::unique_ptr<odbc::Statement> statement_;
  // Where the statement goes back when the rows are done.
  std::weak_ptr<StatementCache> cache_;
  std::string sql_;
  bool foldsToLower_ = false;
  std::vector<std::u16string> names_;
  std::vector<com::Variant> row_;
  bool eof_ = true;
  // Schema rows: identifier values given back in the stores' case.
  std::vector<std::u16string> foldedValues_;
  std::vector<bool> foldColumn_;
};

}  // namespace quor::ado
