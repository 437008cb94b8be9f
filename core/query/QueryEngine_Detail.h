// Small helpers the engine's units share: keyword names, element tests and
// which configured sources a statement's keys name.
#pragma once

#include <string>
#include <string_view>

#include "core/DataSourceDefinition.h"
#include "core/KeywordTable.h"
#include "platform/com/status.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"

namespace quor::core::detail {

inline std::string_view Kw(KeywordIndex index) { return CKeywordTable::Instance().Narrow(index); }

inline bool Named(const xml::NodePtr& node, KeywordIndex index) {
  return xml::IsElement(node, Kw(index));
}

inline bool SameNoCase(const com::Bstr& a, const std::string& b) {
  return !a.IsNull() && text::EqualsNoCase(a.ToUtf8(), b);
}

inline Status Append(const xml::NodePtr& parent, const xml::NodePtr& child) {
  if (!parent->appendChild(child)) return Status(E_FAIL);
  return Status();
}

// `node` itself when it is a "response", else a new "response" holding it.
inline Result<xml::NodePtr> AsResponse(const xml::NodePtr& node) {
  if (Named(node, KW_RESPONSE)) return node;
  const xml::DocumentPtr doc = xml::Document::Create();
  const xml::NodePtr response = doc->createElement(Kw(KW_RESPONSE));
  if (!response) return Status(E_FAIL);
  QUOR_RETURN_IF_ERROR(Append(response, node));
  return response;
}

// The data-source keys a statement or substatement gives (empty: not given).
struct SourceKeys {
  std::string provider, dsn, catalog, schema;
};

// Whether a definition serves a statement with these keys: names compare
// without regard to case, and an absent definition value equals no key.
inline bool Serves(const DataSourceDefinition& def, const SourceKeys& keys) {
  if (keys.provider.empty()) return true;
  if (!SameNoCase(def.GetProvider(), keys.provider)) return false;
  if (keys.dsn.empty()) return true;
  if (!SameNoCase(def.GetDataSource(), keys.dsn)) return false;
  if (!keys.catalog.empty()) {
    if (!def.GetInitialCatalog().IsNull()) return SameNoCase(def.GetInitialCatalog(), keys.catalog);
    return SameNoCase(def.GetSchema(), keys.catalog);
  }
  if (!keys.schema.empty()) return def.GetSchema().IsNull() || SameNoCase(def.GetSchema(), keys.schema);
  return true;
}

// The accessor and method that serve `def`: its own, else the default ones.
struct Binding {
  std::u16string_view progID, method;
};

inline Binding BindingOf(const DataSourceDefinition& def, const com::Bstr& defaultProgID,
                         const com::Bstr& defaultMethod) {
  const bool own = !def.GetProgID().IsNull() && !def.GetProgID().Empty();
  const com::Bstr& method =
      own && !def.GetMethod().IsNull() && !def.GetMethod().Empty() ? def.GetMethod() : defaultMethod;
  return {own ? def.GetProgID().View() : defaultProgID.View(), method.View()};
}

}  // namespace quor::core::detail
