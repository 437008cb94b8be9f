// "Data Link Properties": the dialog in which the administrator describes a
// database connection. It is a model the host draws from its fields; Test
// Connection and OK really connect, so OK only closes on a connection that
// opens. It never prompts for anything itself.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/com/status.h"
#include "platform/console/snapin.h"

namespace quor::admin::snapin {

class CDataLinkDlg final : public console::IModalDialog {
 public:
  // Control ids.
  static constexpr std::string_view kProvider = "3001";            // Choice
  static constexpr std::string_view kDataSource = "3002";          // Text
  static constexpr std::string_view kExtendedProperties = "3003";  // Text: the ODBC connection string
  static constexpr std::string_view kInitialCatalog = "3004";      // Text
  static constexpr std::string_view kUserName = "3005";            // Text
  static constexpr std::string_view kPassword = "3006";            // Text
  static constexpr std::string_view kAllowSaving = "3007";         // Check: keep the password in the string
  static constexpr std::string_view kTestConnection = "3008";      // Button
  static constexpr std::string_view kOk = "1";
  static constexpr std::string_view kCancel = "2";

  // The providers offered, the first being the default.
  static const std::vector<std::string>& Providers();

  CDataLinkDlg();

  // Runs modally through the module's dialog host; IDOK or IDCANCEL (also
  // when there is no host).
  int DoModal();

  // After OK: the initialization string of the connection that opened (the
  // password in it only when saving it was allowed) and, separately, the
  // password entered.
  const std::string& InitializationString() const { return initString_; }
  const std::string& Password() const { return password_; }

  // "Provider=..;Persist Security Info=..;User ID=..;Password=..;Initial
  // Catalog=..;Data Source=..;Extended Properties=\"..\"": empty values are
  // left out, the password only when `persist`; a value holding ";", a quote
  // or outer blanks is put in double quotes with inner ones doubled.
  static std::string BuildInitializationString(std::string_view provider, std::string_view dataSource,
                                               std::string_view extendedProperties, std::string_view initialCatalog,
                                               std::string_view userName, std::string_view password, bool persist);

  std::string Caption() const override { return "Data Link Properties"; }
  void Open() override;
  std::vector<console::PageField> Fields() const override;
  bool SetValue(std::string_view id, std::string_view value) override;
  bool Press(std::string_view id) override;
  void Cancel() override;
  bool Ended() const override { return result_ != 0; }
  int Result() const override { return result_; }

 private:
  // Connects with what the fields hold; a failure carries the driver's text
  // when it gave one.
  quor::Status TryConnect() const;

  std::string provider_, dataSource_, extended_, catalog_, user_, passwordField_;
  bool allowSaving_ = false;
  std::string initString_, password_;
  int result_ = 0;
};

}  // namespace quor::admin::snapin
