#include "accessor/config_obj.h"

#include <new>

#include "platform/text/text.h"

namespace quor::accessor {
namespace {

void SetText(std::optional<std::string>& field, std::optional<std::string> value) { field = std::move(value); }

// Only the two spellings of "false" clear a flag; anything else, an empty
// text too, sets it. No value leaves it alone.
void SetFlag(bool& field, const std::optional<std::string>& value) {
  if (!value) return;
  field = !(*value == "False" || *value == "false");
}

// "%d" reading with a range check: a value that cannot be read, or does not
// fit, leaves the setting as it was.
void SetNumber(std::int32_t& field, const std::optional<std::string>& value) {
  if (!value) return;
  if (const auto n = text::ScanInt32(*value)) field = *n;
}

}  // namespace

Status CConfigObj::ParseConfigDOM(const xml::NodePtr& node) {
  if (!node || node->nodeType() != xml::NodeType::Element || node->nodeName() != "OLEDBSetting")
    return Status(kConfigInvalidRoot);
  try {
    for (xml::NodePtr child = node->firstChild(); child; child = child->nextSibling()) {
      if (child->nodeType() != xml::NodeType::Element) continue;
      const std::string name = child->nodeName();
      // An element child (or none) means the setting has no value.
      const std::optional<std::string> value = xml::ElementValue(*child);
      if (name == "Provider") SetText(provider_, value);
      else if (name == "DataSource") SetText(dataSource_, value);
      else if (name == "UserName") SetText(userName_, value);
      else if (name == "Password") SetText(password_, value);
      else if (name == "InitialCatalog") SetText(initialCatalog_, value);
      else if (name == "IntegratedSecurity") SetText(integratedSecurity_, value);
      else if (name == "Location") SetText(location_, value);
      else if (name == "ExtendedProperties") SetText(extendedProperties_, value);
      else if (name == "quorservice") SetText(quorService_, value);
      else if (name == "progID") SetText(progId_, value);
      else if (name == "method") SetText(method_, value);
      else if (name == "table") SetText(table_, value);
      else if (name == "Schema") SetText(schema_, value);
      else if (text::EqualsNoCase(name, "Encoding")) SetText(encoding_, value);
      else if (text::EqualsNoCase(name, "XMLColumn")) SetFlag(xmlColumn_, value);
      else if (name == "CacheAuthentication") SetFlag(cacheAuthentication_, value);
      else if (name == "EncryptPassword") SetFlag(encryptPassword_, value);
      else if (name == "MaskPassword") SetFlag(maskPassword_, value);
      else if (name == "PersistEncrypted") SetFlag(persistEncrypted_, value);
      else if (name == "PersistSecurityInfo") SetFlag(persistSecurityInfo_, value);
      else if (name == "AsynchronousProcessing") SetNumber(asynchronousProcessing_, value);
      else if (name == "WindowHandle") SetNumber(windowHandle_, value);
      else if (name == "ImpersonationLevel") SetNumber(impersonationLevel_, value);
      else if (name == "LocaleIdentifier") SetNumber(localeIdentifier_, value);
      else if (name == "Mode") SetNumber(mode_, value);
      else if (name == "OLEDBServices") SetNumber(oleDbServices_, value);
      else if (name == "Prompt") SetNumber(prompt_, value);
      else if (name == "ProtectionLevel") SetNumber(protectionLevel_, value);
      else if (name == "ConnectTimeout") SetNumber(connectTimeout_, value);
      else if (name == "GeneralTimeout") SetNumber(generalTimeout_, value);
      // Anything else (the provider-specific settings among them) is skipped.
    }
  } catch (const std::bad_alloc&) {
    return Status(kConfigException);
  }
  return {};
}

std::optional<std::string> CConfigObj::TextById(int id) const {
  switch (id) {
    case dbprop::kAuthIntegrated: return integratedSecurity_;
    case dbprop::kAuthPassword: return password_;
    case dbprop::kAuthUserId: return userName_;
    case dbprop::kInitDataSource: return dataSource_;
    case dbprop::kInitLocation: return location_;
    case dbprop::kInitProviderString: return extendedProperties_;
    case dbprop::kInitCatalog: return initialCatalog_;
    default: return std::nullopt;
  }
}

bool CConfigObj::FlagById(int id) const {
  switch (id) {
    case dbprop::kAuthCacheAuthInfo: return cacheAuthentication_;
    case dbprop::kAuthEncryptPassword: return encryptPassword_;
    case dbprop::kAuthMaskPassword: return maskPassword_;
    case dbprop::kAuthPersistEncrypted: return persistEncrypted_;
    case dbprop::kAuthPersistSensitiveAuthInfo: return persistSecurityInfo_;
    default: return false;
  }
}

std::int32_t CConfigObj::NumberById(int id) const {
  switch (id) {
    case dbprop::kInitHwnd: return windowHandle_;
    case dbprop::kInitImpersonationLevel: return impersonationLevel_;
    case dbprop::kInitMode: return mode_;
    case dbprop::kInitProtectionLevel: return protectionLevel_;
    case dbprop::kInitTimeout: return connectTimeout_;
    case dbprop::kInitLcid: return localeIdentifier_;
    case dbprop::kInitAsynch: return asynchronousProcessing_;
    case dbprop::kInitOleDbServices: return oleDbServices_;
    case dbprop::kInitPrompt: return prompt_;
    default: return 0;
  }
}

bool CConfigObj::Matches(std::string_view provider, std::string_view dataSource,
                         std::string_view catalog) const {
  const auto same = [](const std::optional<std::string>& mine, std::string_view theirs) {
    return mine && text::EqualsNoCase(*mine, theirs);
  };
  if (provider.empty()) return true;
  if (!same(provider_, provider)) return false;
  if (dataSource.empty()) return true;
  if (!same(dataSource_, dataSource)) return false;
  if (catalog.empty()) return true;
  return same(initialCatalog_ ? initialCatalog_ : schema_, catalog);
}

}  // namespace quor::accessor
