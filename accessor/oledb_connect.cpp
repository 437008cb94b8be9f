#include "accessor/oledb_connect.h"

#include <utility>

#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::accessor {
namespace {

// The text form the OLE DB layer takes: decimal numbers, truth as -1 or 0.
std::string PropertyText(const InitProperty::Value& value) {
  if (const auto* flag = std::get_if<bool>(&value)) return *flag ? "-1" : "0";
  if (const auto* number = std::get_if<std::int32_t>(&value)) return std::to_string(*number);
  if (const auto* small = std::get_if<std::int16_t>(&value)) return std::to_string(*small);
  return std::get<std::string>(value);
}

}  // namespace

std::vector<InitProperty> BuildInitProperties(const CConfigObj& config) {
  std::vector<InitProperty> props;
  const bool oracle = config.Provider() && *config.Provider() == kOracleProvider;
  auto flag = [&](int id) {
    if (!oracle && config.FlagById(id)) props.push_back({id, true});
  };
  if (!config.IntegratedSecurity()) {
    flag(dbprop::kAuthCacheAuthInfo);
    flag(dbprop::kAuthEncryptPassword);
    flag(dbprop::kAuthMaskPassword);
    props.push_back({dbprop::kAuthPassword, config.Password().value_or(std::string())});
    // Without a password there is still nobody to ask for one.
    if (!config.Password()) props.push_back({dbprop::kInitPrompt, kPromptNever});
    if (config.UserName()) props.push_back({dbprop::kAuthUserId, *config.UserName()});
    flag(dbprop::kAuthPersistEncrypted);
    props.push_back({dbprop::kAuthPersistSensitiveAuthInfo, config.FlagById(dbprop::kAuthPersistSensitiveAuthInfo)});
  } else {
    props.push_back({dbprop::kAuthIntegrated, *config.IntegratedSecurity()});
  }
  if (config.DataSource()) props.push_back({dbprop::kInitDataSource, *config.DataSource()});
  if (!oracle) {
    if (const std::int32_t mode = config.NumberById(dbprop::kInitMode); mode != -1)
      props.push_back({dbprop::kInitMode, mode});
    if (config.ExtendedProperties()) props.push_back({dbprop::kInitProviderString, *config.ExtendedProperties()});
    if (const std::int32_t timeout = config.NumberById(dbprop::kInitTimeout); timeout != -1)
      props.push_back({dbprop::kInitTimeout, timeout});
    if (config.InitialCatalog()) props.push_back({dbprop::kInitCatalog, *config.InitialCatalog()});
  }
  return props;
}

CQueryObj::CQueryObj() = default;

CQueryObj::~CQueryObj() { CloseSession().Ignore(); }

Status CQueryObj::SetConfig(std::shared_ptr<const CConfigObj> config) {
  config_ = std::move(config);
  return {};
}

Status CQueryObj::ConnectBeforeQuery() {
  CloseSession().Ignore();
  dataSourceName_.clear();
  dataSource_.reset();
  failure_ = Status();

  // No provider would mean asking someone to pick a data source, and a
  // service has nobody to ask.
  if (!config_ || !config_->Provider() || text::TrimAscii(*config_->Provider()).empty()) {
    failure_ = Status(kOleDbInitFailed, "no provider is configured");
    return Status(kOleDbInitFailed);
  }

  auto source = std::make_unique<oledb::DataSource>();
  for (const InitProperty& prop : BuildInitProperties(*config_)) {
    if (FAILED(source->SetProperty(static_cast<oledb::DBPROPID>(prop.id), PropertyText(prop.value)))) {
      failure_ = source->LastFailure();
      return Status(kOleDbInitFailed);
    }
  }
  if (source->Initialize(*config_->Provider()) != S_OK) {
    failure_ = source->LastFailure();
    return Status(kOleDbInitFailed);
  }
  dataSource_ = std::move(source);

  if (const Status opened = OpenSession(); !opened.ok()) return opened;
  dataSourceName_ = dataSource_->DbmsName();
  return {};
}

Status CQueryObj::OpenSession() {
  if (session_) return {};
  if (!dataSource_) return Status(oledb::DB_E_NOTINITIALIZED);
  std::unique_ptr<oledb::Session> session;
  if (const HRESULT hr = dataSource_->CreateSession(session); FAILED(hr)) {
    failure_ = dataSource_->LastFailure();
    return com::StatusOf(hr);
  }
  session_ = std::move(session);
  return {};
}

Status CQueryObj::CloseSession() {
  session_.reset();
  return {};
}

Status CQueryObj::DoQuery2(CSQLParser& parser, const xml::DocumentPtr& result, const ProcedureCall& procedureCall) {
  if (!result) return Status(E_POINTER);
  AnswerText out;
  const Status status = DoQuery2(parser, out, procedureCall);
  if (const Status loaded = ToDocument(out, result); !loaded.ok() && status.ok()) return loaded;
  return status;
}

Status CQueryObj::DoQuery2(CSQLParser& parser, AnswerText& out, const ProcedureCall& procedureCall) {
  if (!config_ || !session_) return Status(oledb::DB_E_NOTINITIALIZED);
  Status status;
  if (const auto& schema = config_->Schema()) {
    status = parser.SetSchemaName(text::Widen(*schema));
    if (status.ok()) status = parser.ConvertTableNamewithSchema();
  }
  auto converter = std::make_unique<TextConverter>();
  if (const auto& encoding = config_->Encoding()) converter->SetEncoding(*encoding);
  // With an encoding configured, character columns arrive as the data
  // source's own bytes and the converter decodes them. Without one, so do
  // the columns the driver itself calls narrow text, read with the narrow
  // code page (an ANSI driver hands no wide text at all); the driver decodes
  // the wide ones.
  const auto& encoding = config_->Encoding();
  session_->SetNarrowText(encoding && !encoding->empty() ? odbc::NarrowText::All : odbc::NarrowText::NarrowTypes);
  parser.setTextConverter(std::move(converter));
  if (config_->XmlColumn()) parser.setConvertFlag(true);
  if (!status.ok()) return status;
  return ExecuteSQLQueryGenXML(parser, *session_, out, procedureCall);
}

}  // namespace quor::accessor
