// The console's own connection to one database, without the service: it is
// described in the connection dialog (CDataLinkDlg), written to and read
// from a connection file under HomeDir/config, and lists the database's
// tables, views and procedures.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/oledb/oledb.h"

namespace quor::admin::snapin {

class COleDbSetting {
 public:
  COleDbSetting();
  ~COleDbSetting();
  COleDbSetting(const COleDbSetting&) = delete;
  COleDbSetting& operator=(const COleDbSetting&) = delete;

  // Runs the connection dialog through the module's dialog host and opens
  // the connection it describes; 1, or 0 when cancelled or failed.
  int PromptNew();
  // Writes the connection file of the open connection; false (with the
  // error box "Unable to save %s.") when it cannot be saved.
  bool Write(std::string_view path);
  // Reads a connection file and opens its connection; 1 when open, else 0
  // (the status in OpenStatus()).
  int OpenFromFile(std::string_view path);
  // The schema listings (TABLE_NAME, PROCEDURE_NAME, ...); null on failure.
  std::unique_ptr<oledb::Rowset> OpenTables();
  std::unique_ptr<oledb::Rowset> OpenViews();
  std::unique_ptr<oledb::Rowset> OpenProcedures();
  // The two texts Write puts first ("quorservice", "table").
  void SetRoleAndTable(std::string_view role, std::string_view table);

  // The initialization string of the open connection, password included:
  // "Provider=...;User ID=...;Password=...;Initial Catalog=...;Data
  // Source=...;Extended Properties=\"...\"" (pairs with empty values left
  // out). Empty when nothing is open.
  const std::string& InitializationString() const { return initString_; }
  // Opens the connection an initialization string describes (what the
  // connection dialog hands over); the four texts below are filled from it.
  // `password` is used when the string holds none (the administrator did
  // not let the dialog keep it, so Write will not store it either).
  HRESULT OpenFromString(std::string_view initString, std::string_view password = {});

  // The session of the open connection; null when none is open.
  oledb::Session* Session() const { return session_.get(); }
  bool IsOpen() const { return session_ != nullptr; }
  HRESULT OpenStatus() const { return openStatus_; }
  void Close();

  std::string InitialCatalog;  // the schema name, for the schema providers
  std::string DataSource;
  std::string Provider;
  std::string UserName;

  // "OraOLEDB.Oracle.1", "IBMDADB2.1", "MSDASQL.1" without regard to case.
  static bool IsSchemaProvider(std::string_view provider);

 private:
  std::string role_, table_;
  std::string initString_;
  std::unique_ptr<oledb::DataSource> dataSource_;
  std::unique_ptr<oledb::Session> session_;
  HRESULT openStatus_ = S_OK;
};

}  // namespace quor::admin::snapin
