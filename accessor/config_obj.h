// The settings of one configured data source: the "OLEDBSetting" element of a
// configuration document, with the initialisation properties the connection
// applies, the schema, the column encoding and the XML-column flag.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "accessor/status.h"
#include "platform/xml/dom.h"

namespace quor::accessor {

// Initialisation property identifiers (property set DBPROPSET_DBINIT).
namespace dbprop {
inline constexpr int kAuthCacheAuthInfo = 5;
inline constexpr int kAuthEncryptPassword = 6;
inline constexpr int kAuthIntegrated = 7;
inline constexpr int kAuthMaskPassword = 8;
inline constexpr int kAuthPassword = 9;
inline constexpr int kAuthPersistEncrypted = 10;
inline constexpr int kAuthPersistSensitiveAuthInfo = 11;
inline constexpr int kAuthUserId = 12;
inline constexpr int kInitDataSource = 59;
inline constexpr int kInitHwnd = 60;
inline constexpr int kInitImpersonationLevel = 61;
inline constexpr int kInitLocation = 62;
inline constexpr int kInitMode = 63;
inline constexpr int kInitPrompt = 64;
inline constexpr int kInitProtectionLevel = 65;
inline constexpr int kInitTimeout = 66;
inline constexpr int kInitProviderString = 160;
inline constexpr int kInitLcid = 186;
inline constexpr int kInitAsynch = 200;
inline constexpr int kInitCatalog = 233;
inline constexpr int kInitOleDbServices = 248;
}  // namespace dbprop

class CConfigObj {
 public:
  // Reads one "OLEDBSetting" element. Settings read before a failure stay.
  Status ParseConfigDOM(const xml::NodePtr& node);

  // Look-ups by property identifier: no text, false and 0 for identifiers
  // that are not of that kind.
  std::optional<std::string> TextById(int id) const;
  bool FlagById(int id) const;
  std::int32_t NumberById(int id) const;

  const std::optional<std::string>& Provider() const { return provider_; }
  const std::optional<std::string>& DataSource() const { return dataSource_; }
  const std::optional<std::string>& UserName() const { return userName_; }
  const std::optional<std::string>& Password() const { return password_; }
  const std::optional<std::string>& InitialCatalog() const { return initialCatalog_; }
  const std::optional<std::string>& IntegratedSecurity() const { return integratedSecurity_; }
  const std::optional<std::string>& Location() const { return location_; }
  const std::optional<std::string>& ExtendedProperties() const { return extendedProperties_; }
  const std::optional<std::string>& Schema() const { return schema_; }
  const std::optional<std::string>& Encoding() const { return encoding_; }
  const std::optional<std::string>& QuorService() const { return quorService_; }
  const std::optional<std::string>& ProgId() const { return progId_; }
  const std::optional<std::string>& Method() const { return method_; }
  const std::optional<std::string>& Table() const { return table_; }
  bool XmlColumn() const { return xmlColumn_; }
  std::int32_t GeneralTimeout() const { return generalTimeout_; }

  // Whether this data source is one a statement names. The statement's
  // provider, data source and catalog select as far as they are given (no
  // provider: every source; provider alone; provider and data source; all
  // three, the catalog matching InitialCatalog or, without one, Schema).
  // Names compare without regard to case; a setting the comparison needs
  // but the source lacks never matches.
  bool Matches(std::string_view provider, std::string_view dataSource, std::string_view catalog) const;

 private:
  std::optional<std::string> provider_, dataSource_, userName_, password_, initialCatalog_,
      integratedSecurity_, location_, extendedProperties_, quorService_, progId_, method_, table_,
      schema_, encoding_;
  bool cacheAuthentication_ = true;
  bool encryptPassword_ = false;
  bool maskPassword_ = false;
  bool persistEncrypted_ = false;
  bool persistSecurityInfo_ = false;
  bool xmlColumn_ = false;
  std::int32_t asynchronousProcessing_ = -1, windowHandle_ = -1, impersonationLevel_ = -1,
               localeIdentifier_ = -1, mode_ = -1, oleDbServices_ = -1, prompt_ = -1,
               protectionLevel_ = -1, connectTimeout_ = -1, generalTimeout_ = -1;
};

}  // namespace quor::accessor
