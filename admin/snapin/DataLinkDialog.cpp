#include "admin/snapin/DataLinkDialog.h"

#include <utility>

#include "admin/snapin/SnapInModule.h"
#include "platform/oledb/oledb.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

using console::FieldKind;
using console::PageField;

// A value that would end its pair early, or lose its outer blanks, travels
// in double quotes.
std::string Quoted(std::string_view value, bool always) {
  const bool plain = value.find_first_of(";\"'") == std::string_view::npos && value == text::TrimAscii(value);
  if (plain && !always) return std::string(value);
  std::string out = "\"";
  for (char c : value) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  out.push_back('"');
  return out;
}

}  // namespace

const std::vector<std::string>& CDataLinkDlg::Providers() {
  static const std::vector<std::string> providers{"MSDASQL.1", "SQLOLEDB.1", "OraOLEDB.Oracle.1"};
  return providers;
}

CDataLinkDlg::CDataLinkDlg() : provider_(Providers().front()) {}

int CDataLinkDlg::DoModal() {
  console::IDialogHost* host = Module::Dialogs();
  return host ? host->RunModal(*this) : console::IDCANCEL;
}

std::string CDataLinkDlg::BuildInitializationString(std::string_view provider, std::string_view dataSource,
                                                    std::string_view extendedProperties,
                                                    std::string_view initialCatalog, std::string_view userName,
                                                    std::string_view password, bool persist) {
  std::string out;
  auto add = [&out](std::string_view key, std::string_view value, bool quote) {
    if (value.empty()) return;
    if (!out.empty()) out += ';';
    out += key;
    out += '=';
    out += Quoted(value, quote);
  };
  add("Provider", provider, false);
  add("Persist Security Info", persist ? "True" : "False", false);
  add("User ID", userName, false);
  if (persist) add("Password", password, false);
  add("Initial Catalog", initialCatalog, false);
  add("Data Source", dataSource, false);
  // Always quoted: an ODBC string is a list of pairs itself.
  add("Extended Properties", extendedProperties, true);
  return out;
}

void CDataLinkDlg::Open() {
  result_ = 0;
  initString_.clear();
  password_.clear();
}

std::vector<PageField> CDataLinkDlg::Fields() const {
  std::vector<PageField> fields;
  PageField provider = console::MakeField(std::string(kProvider), "Provider", FieldKind::Choice, provider_);
  provider.options = Providers();
  fields.push_back(std::move(provider));
  fields.push_back(console::MakeField(std::string(kDataSource), "Data Source", FieldKind::Text, dataSource_));
  fields.push_back(
      console::MakeField(std::string(kExtendedProperties), "Extended Properties", FieldKind::Text, extended_));
  fields.push_back(console::MakeField(std::string(kInitialCatalog), "Initial Catalog", FieldKind::Text, catalog_));
  fields.push_back(console::MakeField(std::string(kUserName), "User Name", FieldKind::Text, user_));
  fields.push_back(console::MakeField(std::string(kPassword), "Password", FieldKind::Password, passwordField_));
  fields.push_back(console::MakeField(std::string(kAllowSaving), "Allow saving password", FieldKind::Check,
                                      allowSaving_ ? "1" : "0"));
  fields.push_back(console::MakeField(std::string(kTestConnection), "Test Connection", FieldKind::Button));
  fields.push_back(console::MakeField(std::string(kOk), "OK", FieldKind::Button));
  fields.push_back(console::MakeField(std::string(kCancel), "Cancel", FieldKind::Button));
  return fields;
}

bool CDataLinkDlg::SetValue(std::string_view id, std::string_view value) {
  if (Ended()) return false;
  if (id == kProvider) {
    for (const std::string& option : Providers())
      if (option == value) {
        provider_ = option;
        return true;
      }
    return false;
  }
  if (id == kAllowSaving) {
    if (value != "1" && value != "0") return false;
    allowSaving_ = value == "1";
    return true;
  }
  std::string* field = id == kDataSource            ? &dataSource_
                       : id == kExtendedProperties ? &extended_
                       : id == kInitialCatalog     ? &catalog_
                       : id == kUserName           ? &user_
                       : id == kPassword           ? &passwordField_
                                                   : nullptr;
  if (!field) return false;
  *field = std::string(value);
  return true;
}

quor::Status CDataLinkDlg::TryConnect() const {
  oledb::DataSource source;
  const std::pair<oledb::DBPROPID, const std::string*> properties[] = {
      {oledb::DBPROP_INIT_DATASOURCE, &dataSource_}, {oledb::DBPROP_INIT_CATALOG, &catalog_},
      {oledb::DBPROP_AUTH_USERID, &user_},           {oledb::DBPROP_AUTH_PASSWORD, &passwordField_},
      {oledb::DBPROP_INIT_PROVIDERSTRING, &extended_},
  };
  for (const auto& [id, value] : properties)
    if (!value->empty()) source.SetProperty(id, *value);
  const HRESULT hr = source.Initialize(provider_);
  if (SUCCEEDED(hr)) return {};
  return quor::Status(hr, source.LastError());
}

bool CDataLinkDlg::Press(std::string_view id) {
  if (Ended()) return false;
  if (id == kCancel) {
    Cancel();
    return true;
  }
  if (id != kTestConnection && id != kOk) return false;
  if (const quor::Status connected = TryConnect(); !connected.ok()) {
    // The dialog stays open so that the administrator can correct it.
    CMessageBox::Error(connected.Text());
    return true;
  }
  if (id == kTestConnection) {
    CMessageBox::Information("Test connection succeeded.");
    return true;
  }
  initString_ = BuildInitializationString(provider_, dataSource_, extended_, catalog_, user_, passwordField_,
                                          allowSaving_);
  password_ = passwordField_;
  result_ = console::IDOK;
  return true;
}

void CDataLinkDlg::Cancel() {
  if (!Ended()) result_ = console::IDCANCEL;
}

}  // namespace quor::admin::snapin
