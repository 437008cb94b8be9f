// Catalogue listings: what a client can browse before it writes data
// statements (providers, data sources, catalogs, tables, transformers), each
// answered as one "response" element.
#include <string>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "core/query/QueryEngine.h"
#include "core/query/QueryEngine_Detail.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

using detail::Append;
using detail::Kw;
using detail::Named;
using detail::SameNoCase;

Result<xml::NodePtr> NewResponse(const xml::DocumentPtr& doc) {
  const xml::NodePtr response = doc->createElement(Kw(KW_RESPONSE));
  if (!response) return Status(E_FAIL);
  return response;
}

// Appends <`tag` name="value"/> unless the value is absent or listed already.
Status AppendNamed(const xml::DocumentPtr& doc, const xml::NodePtr& response, KeywordIndex tag,
                   const com::Bstr& value) {
  if (value.IsNull()) return Status();
  const std::string name = value.ToUtf8();
  if (CQueryEngine::IsAlreadyListed(response, name)) return Status();
  const xml::NodePtr item = doc->createElement(Kw(tag));
  if (!item || !item->setAttribute(Kw(KW_NAME), name)) return Status(E_FAIL);
  return Append(response, item);
}

// The text of the first child of `element` named `name`; false when there is
// none or it is empty (a listing needs the value to filter by).
bool KeyText(const xml::NodePtr& element, KeywordIndex name, std::string& value) {
  for (xml::NodePtr child = element ? element->firstChild() : nullptr; child; child = child->nextSibling()) {
    if (!Named(child, name)) continue;
    value = child->text();
    return !value.empty();
  }
  return false;
}

// Runs a listing body; an allocation failure inside becomes
// `exceptionStatus` and no answer.
template <typename Body>
Result<xml::NodePtr> Guarded(HRESULT exceptionStatus, Body body) {
  try {
    return body();
  } catch (const std::exception& e) {
    return Status(exceptionStatus, e.what());
  }
}

}  // namespace

bool CQueryEngine::IsAlreadyListed(const xml::NodePtr& response, std::string_view value) {
  if (!Named(response, KW_RESPONSE)) return false;
  for (xml::NodePtr child = response->firstChild(); child; child = child->nextSibling()) {
    const std::optional<std::string> name = child->getAttribute(Kw(KW_NAME));
    if (name && *name == value) return true;
  }
  return false;
}

Result<xml::NodePtr> CQueryEngine::ListProviders(const xml::NodePtr&) {
  return Guarded(QS_E_PROVIDER_LIST_EXCEPTION, [&]() -> Result<xml::NodePtr> {
    const xml::DocumentPtr doc = xml::Document::Create();
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr response, NewResponse(doc));
    for (const auto& def : settings_.QueryDataSources)
      QUOR_RETURN_IF_ERROR(AppendNamed(doc, response, KW_PROVIDER, def->GetProvider()));
    return response;
  });
}

Result<xml::NodePtr> CQueryEngine::ListDataSources(const xml::NodePtr& element) {
  return Guarded(QS_E_DSN_LIST_EXCEPTION, [&]() -> Result<xml::NodePtr> {
    std::string provider;
    if (!KeyText(element, KW_PROVIDER, provider)) return Status(QS_E_QUERY_ARG_INVALID);
    const xml::DocumentPtr doc = xml::Document::Create();
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr response, NewResponse(doc));
    for (const auto& def : settings_.QueryDataSources) {
      if (SameNoCase(def->GetProvider(), provider))
        QUOR_RETURN_IF_ERROR(AppendNamed(doc, response, KW_DSN, def->GetDataSource()));
    }
    return response;
  });
}

Result<xml::NodePtr> CQueryEngine::ListCatalogs(const xml::NodePtr& element) {
  return Guarded(QS_E_CATALOG_LIST_EXCEPTION, [&]() -> Result<xml::NodePtr> {
    std::string provider, dsn;
    if (!KeyText(element, KW_PROVIDER, provider) || !KeyText(element, KW_DSN, dsn))
      return Status(QS_E_QUERY_ARG_INVALID);
    const xml::DocumentPtr doc = xml::Document::Create();
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr response, NewResponse(doc));
    bool tablesListed = false;
    for (const auto& def : settings_.QueryDataSources) {
      if (!SameNoCase(def->GetProvider(), provider) || !SameNoCase(def->GetDataSource(), dsn)) continue;
      if (!def->GetInitialCatalog().IsNull()) {
        QUOR_RETURN_IF_ERROR(AppendNamed(doc, response, KW_CATALOG, def->GetInitialCatalog()));
      } else if (!def->GetSchema().IsNull()) {
        QUOR_RETURN_IF_ERROR(AppendNamed(doc, response, KW_SCHEMA_LC, def->GetSchema()));
      } else if (!tablesListed) {
        // A source without catalogs shows its tables in their place, beside
        // the catalogs the other sources have. One table listing covers
        // every source of the provider and data source.
        tablesListed = true;
        QUOR_ASSIGN_OR_RETURN(const xml::NodePtr tables, ListTables(element));
        if (Named(tables, KW_RESPONSE)) {
          for (xml::NodePtr item = tables->firstChild(); item; item = item->nextSibling()) {
            const std::optional<std::string> name = item->getAttribute(Kw(KW_NAME));
            if (name && IsAlreadyListed(response, *name)) continue;
            QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyXmlTree(item));
            QUOR_RETURN_IF_ERROR(Append(response, copy));
          }
        } else if (tables) {
          QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyXmlTree(tables));
          QUOR_RETURN_IF_ERROR(Append(response, copy));
        }
      }
    }
    return response;
  });
}

Result<xml::NodePtr> CQueryEngine::ListTables(const xml::NodePtr& element) {
  return Guarded(QS_E_TABLE_LIST_EXCEPTION, [&]() -> Result<xml::NodePtr> { return RunStatement(element); });
}

Result<xml::NodePtr> CQueryEngine::ListTransformers(const xml::NodePtr&) {
  return Guarded(QS_E_TRANSFORMER_LIST_EXCEPTION, [&]() -> Result<xml::NodePtr> {
    const xml::DocumentPtr doc = xml::Document::Create();
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr response, NewResponse(doc));
    const xml::DocumentPtr& definitions = settings_.TransformDocument;
    if (!definitions) return response;
    if (!definitions->firstChild()) return Status(QS_E_TRANSFORMER_CONFIG_INVALID);
    // Without a definitions element there is nothing to list.
    const xml::NodePtr entries = FindTopLevel(definitions, Kw(KW_QUORTRANSFORM));
    for (xml::NodePtr entry = entries ? entries->firstChild() : nullptr; entry; entry = entry->nextSibling()) {
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyXmlTree(entry));
      QUOR_RETURN_IF_ERROR(Append(response, copy));
    }
    return response;
  });
}

}  // namespace quor::core
