#include "core/DataSourceDefinition.h"

#include <optional>

#include "core/StatusCodes.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

// Entries an "OLEDBSetting" may carry that the service takes no value from:
// OLE DB properties of other providers. XMLColumn is not one of them: a
// definition holding it is refused like any unknown entry.
constexpr std::string_view kIgnored[] = {
    "BindFlags", "LockOwner", "UseProcedureforPrepare", "AutoTranslate", "PacketSize", "UseEncryptionforData",
    "Tagwithcolumncollationwhenpossible", "ServerName", "NetworkProtocol", "ServerPortAddress", "HAServerName",
    "HAServerPortAddress", "CharacterSet", "Language", "ApplicationName", "OptimizePrepare", "SelectMethod",
    "RaiseErrorBehavior", "PrintStatementBehavior", "ExtendedErrorInfo", "StoredProcRowCount", "RowCacheSize",
    "EnableQuotedIdentifiers", "DefaultLengthForLongData", "CurrentLanguage", "InitialFileName", "NetworkAddress",
    "NetworkLibrary", "Replicationservernameconnectoption", "ADSIFlag", "ProviderString"};

bool IsIgnored(std::string_view name) {
  if (text::EqualsNoCase(name, "WorkStationID")) return true;
  if (name.substr(0, 9) == "JetOLEDB:") return true;
  for (auto ignored : kIgnored)
    if (name == ignored) return true;
  return false;
}

}  // namespace

Status DataSourceDefinition::LoadFromXml(const xml::NodePtr& element) {
  configText_ = element ? com::Bstr::FromUtf8(element->xml()) : com::Bstr();
  if (!element || element->nodeType() != xml::NodeType::Element || element->nodeName() != "OLEDBSetting")
    return Status(QS_E_CONFIG_INVALID_ROOT);

  for (auto entry = element->firstChild(); entry; entry = entry->nextSibling()) {
    const std::string name = entry->nodeName();
    // The entry's value: the value of its first child. An entry whose first
    // child is an element has no text value: that is a parsing failure.
    const xml::NodePtr first = entry->nodeType() == xml::NodeType::Element ? entry->firstChild() : nullptr;
    std::optional<std::string> value;
    if (first) {
      value = first->nodeValue();
      if (!value) return Status(QS_E_CONFIG_PARSE_EXCEPTION);
    }
    const auto textField = [&](com::Bstr& field) {
      field = value ? com::Bstr::FromUtf8(*value) : com::Bstr();
    };
    const auto flagField = [&](bool& field) {
      if (value) field = !(*value == "false" || *value == "False");
    };
    const auto numberField = [&](int32_t& field) {
      if (!value) return;
      if (auto n = text::ScanInt32(*value)) field = *n;
    };

    if (entry->nodeType() != xml::NodeType::Element) return Status(QS_E_CONFIG_UNDEFINED_KEYWORD);
    if (name == "Provider") {
      textField(provider_);
      providerAnsi_ = provider_.ToUtf8();
    } else if (name == "DataSource") {
      textField(dataSource_);
    } else if (name == "UserName") {
      textField(userName_);
    } else if (name == "Password") {
      textField(password_);
    } else if (name == "InitialCatalog") {
      textField(initialCatalog_);
    } else if (name == "IntegratedSecurity") {
      textField(integratedSecurity_);
    } else if (name == "Location") {
      textField(location_);
    } else if (name == "ExtendedProperties") {
      textField(extendedProperties_);
    } else if (name == "CacheAuthentication") {
      flagField(cacheAuthentication_);
    } else if (name == "EncryptPassword") {
      flagField(encryptPassword_);
    } else if (name == "MaskPassword") {
      flagField(maskPassword_);
    } else if (name == "PersistEncrypted") {
      flagField(persistEncrypted_);
    } else if (name == "PersistSecurityInfo") {
      flagField(persistSecurityInfo_);
    } else if (name == "AsynchronousProcessing") {
      numberField(asynchronousProcessing_);
    } else if (name == "WindowHandle") {
      numberField(windowHandle_);
    } else if (name == "ImpersonationLevel") {
      numberField(impersonationLevel_);
    } else if (name == "LocaleIdentifier") {
      numberField(localeIdentifier_);
    } else if (name == "Mode") {
      numberField(mode_);
    } else if (name == "OLEDBServices") {
      numberField(oledbServices_);
    } else if (name == "ProtectionLevel") {
      numberField(protectionLevel_);
    } else if (name == "ConnectTimeout") {
      numberField(connectTimeout_);
    } else if (name == "GeneralTimeout") {
      numberField(generalTimeout_);
    } else if (name == "Prompt") {
      int32_t prompt = prompt_;
      numberField(prompt);
      prompt_ = static_cast<int16_t>(prompt);
    } else if (name == "quorservice") {
      textField(serviceKind_);
    } else if (name == "progID") {
      textField(progId_);
    } else if (name == "method") {
      textField(method_);
    } else if (name == "table") {
      textField(table_);
    } else if (name == "Schema") {
      textField(schema_);
    } else if (text::EqualsNoCase(name, "Encoding")) {
      textField(encoding_);
    } else if (name == "alias") {
      textField(alias_);
    } else if (!IsIgnored(name)) {
      return Status(QS_E_CONFIG_UNDEFINED_KEYWORD);
    }
  }
  return Status();
}

}  // namespace quor::core
