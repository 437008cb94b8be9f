// The accessor's connection to one configured data source: the settings
// become initialisation properties, the data source and a session are
// opened, and parsed statements run on that session into result documents.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "accessor/config_obj.h"
#include "accessor/schema_dispatch.h"
#include "accessor/sql_parser.h"
#include "accessor/status.h"
#include "platform/oledb/oledb.h"
#include "platform/xml/dom.h"

namespace quor::accessor {

// The data source could not be found, created, given its properties or
// initialised; a configuration without a provider gives it too.
inline constexpr HRESULT kOleDbInitFailed = AccessorCode(0x28);

// DBPROMPT_NOPROMPT: a service has nobody to ask for credentials.
inline constexpr std::int16_t kPromptNever = 4;

// The provider that is handled as Oracle (exact match, case counts).
inline constexpr std::string_view kOracleProvider = "OraOLEDB.Oracle.1";

struct InitProperty {
  using Value = std::variant<bool, std::int32_t, std::int16_t, std::string>;
  int id = 0;
  Value value;
};

// The initialisation properties of `config`, in the order they are set.
// Without a password the password is empty and prompting is turned off.
std::vector<InitProperty> BuildInitProperties(const CConfigObj& config);

class CQueryObj {
 public:
  CQueryObj();
  ~CQueryObj();
  CQueryObj(const CQueryObj&) = delete;
  CQueryObj& operator=(const CQueryObj&) = delete;

  // The settings to connect with; shared with whoever made them.
  Status SetConfig(std::shared_ptr<const CConfigObj> config);

  // Opens the configured data source and a session on it. 0x82000028 for a
  // missing provider and for any failure to initialise the data source (the
  // provider's text stays in LastError); the provider's status when the
  // session cannot be opened.
  Status ConnectBeforeQuery();

  // Runs the parser's statement on the session into `result` (empty on
  // entry), after giving the parser the configured schema, encoding and
  // XML-column flag.
  Status DoQuery2(CSQLParser& parser, const xml::DocumentPtr& result, const ProcedureCall& procedureCall = {});
  // The same, the answer written as text into `out`.
  Status DoQuery2(CSQLParser& parser, AnswerText& out, const ProcedureCall& procedureCall = {});

  Status OpenSession();
  Status CloseSession();
  bool SessionOpen() const { return session_ != nullptr; }
  // The open session, for a transaction run from outside; null when closed.
  oledb::Session* session() const { return session_.get(); }

  // The server's name for the opened data source; empty until connected.
  const std::string& DataSourceName() const { return dataSourceName_; }
  // Why the last connect failed (its code is this object's own status).
  const Status& LastFailure() const { return failure_; }
  const std::string& LastError() const { return failure_.message(); }

 private:
  std::shared_ptr<const CConfigObj> config_;
  std::unique_ptr<oledb::DataSource> dataSource_;
  std::unique_ptr<oledb::Session> session_;
  std::string dataSourceName_;
  Status failure_;
};

}  // namespace quor::accessor
