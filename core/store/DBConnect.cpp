#include "core/store/DBConnect.h"

#include "platform/com/classstore.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

constexpr int32_t kUnknownError = E_FAIL;

ado::Parameter Bind(const com::Variant& value) {
  const com::Variant v = value.Dereferenced();
  ado::DataType type = ado::adBSTR;
  if (v.Type() == com::VT_I4 || v.Type() == com::VT_I2 || v.Type() == com::VT_UI1) type = ado::adInteger;
  else if (v.Type() == com::VT_I8) type = ado::adBigInt;
  return ado::Command::CreateParameter(u"", type, ado::adParamInput, 0, v);
}

}  // namespace

CDBConnect::CDBConnect() { com::CoInitialize(); }

CDBConnect::~CDBConnect() {
  connection_.reset();
  com::CoUninitialize();
}

int32_t CDBConnect::Fail(int32_t status) {
  if (status < 0) {
    // The data layer left its description on the thread.
    auto info = com::GetErrorInfo();
    LastErrorText = info && !info->description.IsNull() ? info->description : com::Bstr(u"");
    return status;
  }
  return UnknownError();
}

int32_t CDBConnect::UnknownError() {
  LastErrorText = com::Bstr(u"Unknown Error");
  return kUnknownError;
}

int32_t CDBConnect::Open(std::string_view provider, const com::Bstr& dataSource, const com::Bstr& initialCatalog,
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

  connection_ = std::make_unique<ado::Connection>();
  com::ClearErrorInfo();
  const HRESULT hr = connection_->Open(text::Widen(text));
  return FAILED(hr) ? Fail(hr) : 0;
}

long CDBConnect::GetState() const { return connection_ ? connection_->State() : ado::adStateClosed; }

CommandHolder CDBConnect::NewCommand() {
  auto command = std::make_unique<ado::Command>();
  command->SetActiveConnection(connection_.get());
  return command;
}

int32_t CDBConnect::BeginTrans() {
  if (!connection_) {
    LastErrorText = com::Bstr(u"The database connection has not been opened.");
    return ado::adErrObjectClosed;
  }
  com::ClearErrorInfo();
  const HRESULT hr = connection_->BeginTrans();
  return FAILED(hr) ? Fail(hr) : 0;
}

int32_t CDBConnect::CommitTrans() {
  if (!connection_) return ado::adErrObjectClosed;
  com::ClearErrorInfo();
  const HRESULT hr = connection_->CommitTrans();
  return FAILED(hr) ? Fail(hr) : 0;
}

int32_t CDBConnect::RollbackTrans() {
  if (!connection_) return ado::adErrObjectClosed;
  com::ClearErrorInfo();
  const HRESULT hr = connection_->RollbackTrans();
  return FAILED(hr) ? Fail(hr) : 0;
}

int32_t CDBConnect::Run(CommandHolder& command, RecordsetHolder* rows, std::string_view sql,
                        std::span<const com::Variant> params, int64_t* rowsAffected) {
  if (!connection_) {
    LastErrorText = com::Bstr(u"The database connection has not been opened.");
    return ado::adErrObjectClosed;
  }
  if (!command) command = NewCommand();
  command->SetActiveConnection(connection_.get());
  command->SetCommandText(text::Widen(sql));
  for (const auto& value : params) command->AppendParameter(Bind(value));
  com::ClearErrorInfo();
  const HRESULT hr = command->Execute(rowsAffected, rows);
  return FAILED(hr) ? Fail(hr) : 0;
}

int32_t CDBConnect::ExecuteQuery(CommandHolder& command, RecordsetHolder& rows, std::string_view sql,
                                 std::span<const com::Variant> params) {
  command.reset();
  rows.reset();
  const int32_t status = Run(command, &rows, sql, params, nullptr);
  if (status == 0 && !rows) {
    // A statement without rows: walkers see an empty result.
    LastErrorText = com::Bstr(u"The statement returned no rows.");
    return ado::adErrObjectClosed;
  }
  return status;
}

int32_t CDBConnect::ExecuteUpdateWithParam(CommandHolder& command, std::string_view sql) {
  if (!command) return UnknownError();
  return Run(command, nullptr, sql, {}, nullptr);
}

int32_t CDBConnect::ExecuteNonQuery(std::string_view sql, std::span<const com::Variant> params) {
  int64_t ignored = 0;
  return ExecuteNonQuery(sql, params, ignored);
}

int32_t CDBConnect::ExecuteNonQuery(std::string_view sql, std::span<const com::Variant> params,
                                    int64_t& rowsAffected) {
  CommandHolder command;
  return Run(command, nullptr, sql, params, &rowsAffected);
}

int32_t CDBConnect::ReleaseQuery(CommandHolder& command, RecordsetHolder& rows) {
  rows.reset();
  command.reset();
  return 0;
}

int32_t CDBConnect::GetFieldString(const RecordsetHolder& rows, std::string_view column) {
  if (!rows) return UnknownError();
  com::ClearErrorInfo();
  com::Variant value;
  HRESULT hr = rows->GetValue(text::Widen(column), value);
  if (FAILED(hr)) return Fail(hr);
  com::Bstr textValue;
  hr = value.ToBstr(textValue);
  if (FAILED(hr)) {
    LastErrorText = com::Bstr(u"The value has no text form.");
    return hr;
  }
  LastFieldValue = std::move(textValue);
  return 0;
}

int32_t CDBConnect::GetFieldValue(const RecordsetHolder& rows, std::string_view column, const com::Bstr*& value) {
  const int32_t status = GetFieldString(rows, column);
  if (status == 0) value = &LastFieldValue;
  return status;
}

bool CDBConnect::UsesDriverCatalog() const {
  return provider_.size() >= 7 && text::EqualsNoCase(std::string_view(provider_).substr(0, 7), "MSDASQL");
}

int32_t CDBConnect::ListFromDriverCatalog(ado::SchemaKind kind, std::vector<std::u16string> restrictions,
                                          std::string_view column, std::vector<com::Bstr>& list) {
  list.clear();
  if (!connection_) {
    LastErrorText = com::Bstr(u"The database connection has not been opened.");
    return ado::adErrObjectClosed;
  }
  RecordsetHolder rows;
  com::ClearErrorInfo();
  HRESULT hr = connection_->OpenSchema(kind, restrictions, rows);
  if (FAILED(hr)) return Fail(hr);
  for (; !rows->Eof(); hr = rows->MoveNext()) {
    if (FAILED(hr)) return Fail(hr);
    const int32_t status = GetFieldString(rows, column);
    if (status != 0) continue;  // a NULL name (a driver without catalogs) is no entry
    list.push_back(LastFieldValue);
  }
  return FAILED(hr) ? Fail(hr) : 0;
}

int32_t CDBConnect::ListFromQuery(std::string_view sql, std::span<const com::Variant> params, std::string_view column,
                                  std::vector<com::Bstr>& list) {
  list.clear();
  CommandHolder command;
  RecordsetHolder rows;
  int32_t status = ExecuteQuery(command, rows, sql, params);
  if (status != 0) return status;
  for (; !rows->Eof();) {
    status = GetFieldString(rows, column);
    if (status != 0) break;
    list.push_back(LastFieldValue);
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

int32_t CSqlServerDBConnect::GetCatalogList(std::vector<com::Bstr>& list) {
  if (UsesDriverCatalog()) return ListFromDriverCatalog(ado::adSchemaCatalogs, {}, "TABLE_CAT", list);
  return ListFromQuery("select name as CATALOG from master.dbo.sysdatabases where dbid > 4", {}, "CATALOG", list);
}

int32_t CSqlServerDBConnect::GetTableList(std::vector<com::Bstr>& list) {
  if (UsesDriverCatalog()) return ListFromDriverCatalog(ado::adSchemaTables, {u"", u"", u"%", u"TABLE"}, "TABLE_NAME", list);
  return ListFromQuery("SELECT name as TABLE_NAME FROM sysobjects WHERE xtype = 'U '", {}, "TABLE_NAME", list);
}

int32_t CSqlServerDBConnect::GetColumnList(std::string_view table, std::vector<com::Bstr>& list) {
  if (UsesDriverCatalog())
    return ListFromDriverCatalog(ado::adSchemaColumns, {u"", u"", text::Widen(table)}, "COLUMN_NAME", list);
  const com::Variant params[] = {com::Variant(com::Bstr::FromUtf8(table))};
  return ListFromQuery(
      "SELECT COLUMN_NAME FROM INFORMATION_SCHEMA.COLUMNS WHERE TABLE_NAME = ? ORDER BY ORDINAL_POSITION", params,
      "COLUMN_NAME", list);
}

// ---- Oracle ---------------------------------------------------------------------

int32_t COracleDBConnect::GetCatalogList(std::vector<com::Bstr>& list) {
  if (UsesDriverCatalog()) return ListFromDriverCatalog(ado::adSchemaCatalogs, {}, "TABLE_CAT", list);
  return ListFromQuery("SELECT OWNER as CATALOG FROM ALL_TABLES GROUP BY OWNER", {}, "CATALOG", list);
}

int32_t COracleDBConnect::GetTableList(std::vector<com::Bstr>& list) {
  if (UsesDriverCatalog()) return ListFromDriverCatalog(ado::adSchemaTables, {u"", u"", u"%", u"TABLE"}, "TABLE_NAME", list);
  const com::Variant params[] = {com::Variant(com::Bstr::FromUtf8(InitialCatalog()))};
  return ListFromQuery("SELECT TABLE_NAME FROM ALL_TABLES WHERE OWNER = ?", params, "TABLE_NAME", list);
}

int32_t COracleDBConnect::GetColumnList(std::string_view table, std::vector<com::Bstr>& list) {
  if (UsesDriverCatalog())
    return ListFromDriverCatalog(ado::adSchemaColumns, {u"", u"", text::Widen(table)}, "COLUMN_NAME", list);
  const com::Variant params[] = {com::Variant(com::Bstr::FromUtf8(table))};
  return ListFromQuery("SELECT COLUMN_NAME FROM ALL_TAB_COLUMNS WHERE TABLE_NAME = ? ORDER BY COLUMN_ID", params,
                       "COLUMN_NAME", list);
}

}  // namespace quor::core
