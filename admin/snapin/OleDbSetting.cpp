#include "admin/snapin/OleDbSetting.h"

#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "admin/XmlDocument.h"
#include "admin/snapin/DataLinkDialog.h"
#include "admin/snapin/SnapInModule.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

constexpr HRESULT kFileNotFound = HRESULT_FROM_WIN32(2);

struct Pair {
  std::string key;    // as written, outer blanks trimmed
  std::string value;  // unquoted
};

// The pairs of an initialization string, in order. A value may be put in
// double (or single) quotes, a doubled quote standing for one, and then holds
// ";" freely; a quote left open runs to the end of the string. An item
// without "=" is no pair and is skipped; an empty value is a pair of its own
// and never takes the next pair with it.
std::vector<Pair> ParsePairs(std::string_view text) {
  std::vector<Pair> pairs;
  size_t at = 0;
  while (at < text.size()) {
    const size_t equals = text.find('=', at);
    const size_t semicolon = text.find(';', at);
    if (equals == std::string_view::npos || (semicolon != std::string_view::npos && semicolon < equals)) {
      if (semicolon == std::string_view::npos) break;
      at = semicolon + 1;
      continue;
    }
    Pair pair;
    pair.key = std::string(text::TrimAscii(text.substr(at, equals - at)));
    at = equals + 1;
    while (at < text.size() && text[at] == ' ') ++at;
    if (at < text.size() && (text[at] == '"' || text[at] == '\'')) {
      const char quote = text[at++];
      while (at < text.size()) {
        if (text[at] == quote) {
          if (at + 1 < text.size() && text[at + 1] == quote) {
            pair.value.push_back(quote);
            at += 2;
            continue;
          }
          ++at;
          break;
        }
        pair.value.push_back(text[at++]);
      }
      // Whatever follows the closing quote up to the next ";" is dropped.
      const size_t end = text.find(';', at);
      at = end == std::string_view::npos ? text.size() : end + 1;
    } else {
      const size_t end = text.find(';', at);
      const size_t stop = end == std::string_view::npos ? text.size() : end;
      pair.value = std::string(text::TrimAscii(text.substr(at, stop - at)));
      at = end == std::string_view::npos ? text.size() : end + 1;
    }
    if (!pair.key.empty()) pairs.push_back(std::move(pair));
  }
  return pairs;
}

std::string WithoutBlanks(std::string_view key) {
  std::string out;
  for (char c : key)
    if (c != ' ' && c != '\t') out.push_back(c);
  return out;
}

// The element a key is written as.
std::string ElementName(std::string_view key) {
  if (text::EqualsNoCase(key, "User ID")) return "UserName";
  return WithoutBlanks(key);
}

}  // namespace

COleDbSetting::COleDbSetting() = default;

COleDbSetting::~COleDbSetting() { Close(); }

void COleDbSetting::Close() {
  // The session goes before the data source it was made on.
  session_.reset();
  dataSource_.reset();
  initString_.clear();
}

bool COleDbSetting::IsSchemaProvider(std::string_view provider) {
  return text::EqualsNoCase(provider, "OraOLEDB.Oracle.1") || text::EqualsNoCase(provider, "IBMDADB2.1") ||
         text::EqualsNoCase(provider, "MSDASQL.1");
}

void COleDbSetting::SetRoleAndTable(std::string_view role, std::string_view table) {
  role_ = std::string(role);
  table_ = std::string(table);
}

int COleDbSetting::PromptNew() {
  Close();
  CDataLinkDlg dialog;
  if (dialog.DoModal() != console::IDOK) return 0;
  return SUCCEEDED(OpenFromString(dialog.InitializationString(), dialog.Password())) ? 1 : 0;
}

HRESULT COleDbSetting::OpenFromString(std::string_view initString, std::string_view password) {
  Close();
  Provider.clear();
  DataSource.clear();
  InitialCatalog.clear();
  UserName.clear();
  std::string extended, storedPassword;
  bool hasPassword = false;
  for (const Pair& pair : ParsePairs(initString)) {
    const std::string key = WithoutBlanks(pair.key);
    if (text::EqualsNoCase(key, "Provider")) Provider = pair.value;
    else if (text::EqualsNoCase(key, "DataSource")) DataSource = pair.value;
    else if (text::EqualsNoCase(key, "InitialCatalog")) InitialCatalog = pair.value;
    else if (text::EqualsNoCase(key, "UserID") || text::EqualsNoCase(key, "UserName")) UserName = pair.value;
    else if (text::EqualsNoCase(key, "ExtendedProperties")) extended = pair.value;
    else if (text::EqualsNoCase(key, "Password")) {
      storedPassword = pair.value;
      hasPassword = true;
    }
  }
  auto source = std::make_unique<oledb::DataSource>();
  const std::pair<oledb::DBPROPID, std::string> properties[] = {
      {oledb::DBPROP_INIT_DATASOURCE, DataSource},
      {oledb::DBPROP_INIT_CATALOG, InitialCatalog},
      {oledb::DBPROP_AUTH_USERID, UserName},
      {oledb::DBPROP_AUTH_PASSWORD, hasPassword ? storedPassword : std::string(password)},
      {oledb::DBPROP_INIT_PROVIDERSTRING, extended},
  };
  for (const auto& [id, value] : properties)
    if (!value.empty()) source->SetProperty(id, value);
  openStatus_ = source->Initialize(Provider);
  if (FAILED(openStatus_)) return openStatus_;
  std::unique_ptr<oledb::Session> session;
  openStatus_ = source->CreateSession(session);
  if (FAILED(openStatus_)) return openStatus_;
  dataSource_ = std::move(source);
  session_ = std::move(session);
  initString_ = std::string(initString);
  return openStatus_;
}

bool COleDbSetting::Write(std::string_view path) {
  if (!IsOpen()) return false;
  CXmlDocument document;
  if (FAILED(document.CreateRoot("OLEDBSetting", ""))) return false;
  if (!role_.empty()) document.AddChild("quorservice", role_);
  if (!table_.empty()) document.AddChild("table", table_);
  for (const Pair& pair : ParsePairs(initString_)) {
    if (pair.value.empty()) continue;
    document.AddChild(ElementName(pair.key), pair.value);
  }
  if (IsSchemaProvider(Provider) && !InitialCatalog.empty()) document.AddChild("Schema", InitialCatalog);
  if (FAILED(document.Save(path))) {
    CMessageBox::Error(text::Format("Unable to save %s.", path));
    return false;
  }
  return true;
}

int COleDbSetting::OpenFromFile(std::string_view path) {
  Close();
  Provider.clear();
  DataSource.clear();
  InitialCatalog.clear();
  UserName.clear();
  std::error_code error;
  if (!std::filesystem::is_regular_file(std::filesystem::path(std::string(path)), error)) {
    openStatus_ = kFileNotFound;
    return 0;
  }
  CXmlDocument document;
  if (document.Load(path) != 0) {
    openStatus_ = E_INVALIDARG;
    return 0;
  }
  const std::string provider = document.GetChildTextByName("Provider");
  const std::string password = document.GetChildTextByName("Password");
  const std::string catalog = document.GetChildTextByName("InitialCatalog");
  const std::string dataSource = document.GetChildTextByName("DataSource");
  // Files of other tools name the user UserID; the console's own, UserName.
  std::string user = document.GetChildTextByName("UserID");
  if (user.empty()) user = document.GetChildTextByName("UserName");
  // The service's own files reach their database through the ODBC string
  // alone.
  const std::string extended = document.GetChildTextByName("ExtendedProperties");
  // Rebuilt as a string so that the file can be written again as it was.
  const std::string initString = CDataLinkDlg::BuildInitializationString(provider, dataSource, extended, catalog,
                                                                         user, password, !password.empty());
  return SUCCEEDED(OpenFromString(initString)) ? 1 : 0;
}

std::unique_ptr<oledb::Rowset> COleDbSetting::OpenTables() {
  if (!session_) return nullptr;
  oledb::Restrictions restrictions;
  restrictions.item = "TABLE";
  std::unique_ptr<oledb::Rowset> rows;
  if (FAILED(session_->GetSchemaRowset(oledb::Schema::Tables, restrictions, rows))) return nullptr;
  return rows;
}

std::unique_ptr<oledb::Rowset> COleDbSetting::OpenViews() {
  if (!session_) return nullptr;
  std::unique_ptr<oledb::Rowset> rows;
  if (FAILED(session_->GetSchemaRowset(oledb::Schema::Views, oledb::Restrictions{}, rows))) return nullptr;
  return rows;
}

std::unique_ptr<oledb::Rowset> COleDbSetting::OpenProcedures() {
  if (!session_) return nullptr;
  std::unique_ptr<oledb::Rowset> rows;
  if (FAILED(session_->GetSchemaRowset(oledb::Schema::Procedures, oledb::Restrictions{}, rows))) return nullptr;
  return rows;
}

}  // namespace quor::admin::snapin
