// One "OLEDBSetting" element of the config folder: the OLE DB connection
// properties of a data source, and the service entries that say which
// accessor serves it and which role the service gives it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com/bstr.h"
#include "platform/com/status.h"
#include "platform/xml/dom.h"

namespace quor::core {

class DataSourceDefinition {
 public:
  DataSourceDefinition() = default;
  virtual ~DataSourceDefinition() = default;

  // Reads one "OLEDBSetting" element; success, or the status of the first entry
  // that could not be taken (entries read before it keep their values).
  Status LoadFromXml(const xml::NodePtr& element);

  const com::Bstr& GetProvider() const { return provider_; }
  const std::string& GetProviderAnsi() const { return providerAnsi_; }
  const com::Bstr& GetDataSource() const { return dataSource_; }
  const com::Bstr& GetUserName() const { return userName_; }
  const com::Bstr& GetPassword() const { return password_; }
  const com::Bstr& GetInitialCatalog() const { return initialCatalog_; }
  const com::Bstr& GetExtendedProperties() const { return extendedProperties_; }
  const com::Bstr& GetLocation() const { return location_; }
  const com::Bstr& GetIntegratedSecurity() const { return integratedSecurity_; }
  const com::Bstr& GetSchema() const { return schema_; }
  const com::Bstr& GetProgID() const { return progId_; }
  const com::Bstr& GetMethod() const { return method_; }
  const com::Bstr& GetServiceKind() const { return serviceKind_; }
  const com::Bstr& GetConfigText() const { return configText_; }

  bool CacheAuthentication() const { return cacheAuthentication_; }
  bool EncryptPassword() const { return encryptPassword_; }
  bool MaskPassword() const { return maskPassword_; }
  bool PersistEncrypted() const { return persistEncrypted_; }
  bool PersistSecurityInfo() const { return persistSecurityInfo_; }
  int32_t ConnectTimeout() const { return connectTimeout_; }
  int32_t GeneralTimeout() const { return generalTimeout_; }
  int32_t AsynchronousProcessing() const { return asynchronousProcessing_; }
  int32_t WindowHandle() const { return windowHandle_; }
  int32_t LocaleIdentifier() const { return localeIdentifier_; }
  int32_t Mode() const { return mode_; }
  int32_t ImpersonationLevel() const { return impersonationLevel_; }
  int32_t OLEDBServices() const { return oledbServices_; }
  int32_t ProtectionLevel() const { return protectionLevel_; }
  int16_t Prompt() const { return prompt_; }

 private:
  com::Bstr alias_;
  int32_t generalTimeout_ = -1;
  com::Bstr schema_;
  com::Bstr table_;
  com::Bstr serviceKind_;
  com::Bstr method_;
  com::Bstr progId_;
  com::Bstr provider_;
  com::Bstr userName_;
  com::Bstr password_;
  com::Bstr dataSource_;
  com::Bstr initialCatalog_;
  com::Bstr integratedSecurity_;
  com::Bstr location_;
  com::Bstr extendedProperties_;
  com::Bstr configText_;
  std::string providerAnsi_;
  bool cacheAuthentication_ = true;
  bool encryptPassword_ = false;
  bool maskPassword_ = false;
  bool persistEncrypted_ = false;
  bool persistSecurityInfo_ = false;
  int32_t asynchronousProcessing_ = -1;
  int32_t windowHandle_ = -1;
  int32_t localeIdentifier_ = -1;
  int32_t mode_ = -1;
  int32_t impersonationLevel_ = -1;
  int32_t oledbServices_ = -1;
  int32_t protectionLevel_ = -1;
  int32_t connectTimeout_ = -1;
  int16_t prompt_ = -1;
  com::Bstr encoding_;
};

}  // namespace quor::core
