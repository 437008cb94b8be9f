// Catalogue listings: what a client can browse before it writes data
// statements (providers, data sources, catalogs, tables, transformers), each
// answered as one "response" element.
#include <string>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "core/query/QueryEngine.h"
#include "core/query/QueryEngine_Detail.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

using detail::Append;
using detail::Kw;
using detail::Named;
using detail::SameNoCase;

xml::NodePtr NewResponse(const xml::DocumentPtr& doc) {
  const xml::NodePtr response = doc->createElement(Kw(KW_RESPONSE));
  if (!response) throw com::ComError(E_FAIL);
  return response;
}

// Appends <`tag` name="value"/> unless the value is absent or listed already.
void AppendNamed(const xml::DocumentPtr& doc, const xml::NodePtr& response, KeywordIndex tag, const com::Bstr& value) {
  if (value.IsNull()) return;
  const std::string name = value.ToUtf8();
  if (CQueryEngine::IsAlreadyListed(response, name)) return;
  const xml::NodePtr item = doc->createElement(Kw(tag));
  if (!item || !item->setAttribute(Kw(KW_NAME), name)) throw com::ComError(E_FAIL);
  Append(response, item);
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

// Runs a listing body; a failure inside becomes a status and no answer.
template <typename Body>
xml::NodePtr Guarded(HRESULT& status, HRESULT exceptionStatus, Body body) {
  status = S_OK;
  try {
    xml::NodePtr result = body();
    if (status != S_OK) return nullptr;
    return result;
  } catch (const com::ComError& error) {
    status = FAILED(error.Code()) ? error.Code() : exceptionStatus;
  } catch (const std::exception&) {
    status = exceptionStatus;
  }
  return nullptr;
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

xml::NodePtr CQueryEngine::ListProviders(const xml::NodePtr&, HRESULT& status) {
  return Guarded(status, QS_E_PROVIDER_LIST_EXCEPTION, [&]() -> xml::NodePtr {
    const xml::DocumentPtr doc = xml::Document::Create();
    const xml::NodePtr response = NewResponse(doc);
    for (const auto& def : settings_.QueryDataSources) AppendNamed(doc, response, KW_PROVIDER, def->GetProvider());
    return response;
  });
}

xml::NodePtr CQueryEngine::ListDataSources(const xml::NodePtr& element, HRESULT& status) {
  return Guarded(status, QS_E_DSN_LIST_EXCEPTION, [&]() -> xml::NodePtr {
    std::string provider;
    if (!KeyText(element, KW_PROVIDER, provider)) {
      status = QS_E_QUERY_ARG_INVALID;
      return nullptr;
    }
    const xml::DocumentPtr doc = xml::Document::Create();
    const xml::NodePtr response = NewResponse(doc);
    for (const auto& def : settings_.QueryDataSources) {
      if (SameNoCase(def->GetProvider(), provider)) AppendNamed(doc, response, KW_DSN, def->GetDataSource());
    }
    return response;
  });
}

xml::NodePtr CQueryEngine::ListCatalogs(const xml::NodePtr& element, HRESULT& status) {
  return Guarded(status, QS_E_CATALOG_LIST_EXCEPTION, [&]() -> xml::NodePtr {
    std::string provider, dsn;
    if (!KeyText(element, KW_PROVIDER, provider) || !KeyText(element, KW_DSN, dsn)) {
      status = QS_E_QUERY_ARG_INVALID;
      return nullptr;
    }
    const xml::DocumentPtr doc = xml::Document::Create();
    const xml::NodePtr response = NewResponse(doc);
    bool tablesListed = false;
    for (const auto& def : settings_.QueryDataSources) {
      if (!SameNoCase(def->GetProvider(), provider) || !SameNoCase(def->GetDataSource(), dsn)) continue;
      if (!def->GetInitialCatalog().IsNull()) {
        AppendNamed(doc, response, KW_CATALOG, def->GetInitialCatalog());
      } else if (!def->GetSchema().IsNull()) {
        AppendNamed(doc, response, KW_SCHEMA_LC, def->GetSchema());
      } else if (!tablesListed) {
        // A source without catalogs shows its tables in their place, beside
        // the catalogs the other sources have. One table listing covers
        // every source of the provider and data source.
        tablesListed = true;
        HRESULT tableStatus = S_OK;
        const xml::NodePtr tables = ListTables(element, tableStatus);
        if (tableStatus != S_OK) {
          status = tableStatus;
          return nullptr;
        }
        if (Named(tables, KW_RESPONSE)) {
          for (xml::NodePtr item = tables->firstChild(); item; item = item->nextSibling()) {
            const std::optional<std::string> name = item->getAttribute(Kw(KW_NAME));
            if (!name || !IsAlreadyListed(response, *name)) Append(response, CopyXmlTree(item));
          }
        } else if (tables) {
          Append(response, CopyXmlTree(tables));
        }
      }
    }
    return response;
  });
}

xml::NodePtr CQueryEngine::ListTables(const xml::NodePtr& element, HRESULT& status) {
  return Guarded(status, QS_E_TABLE_LIST_EXCEPTION, [&]() -> xml::NodePtr { return RunStatement(element, status); });
}

xml::NodePtr CQueryEngine::ListTransformers(const xml::NodePtr&, HRESULT& status) {
  return Guarded(status, QS_E_TRANSFORMER_LIST_EXCEPTION, [&]() -> xml::NodePtr {
    const xml::DocumentPtr doc = xml::Document::Create();
    const xml::NodePtr response = NewResponse(doc);
    const xml::DocumentPtr& definitions = settings_.TransformDocument;
    if (!definitions) return response;
    if (!definitions->firstChild()) {
      status = QS_E_TRANSFORMER_CONFIG_INVALID;
      return nullptr;
    }
    // Without a definitions element there is nothing to list.
    const xml::NodePtr entries = FindTopLevel(definitions, Kw(KW_QUORTRANSFORM));
    for (xml::NodePtr entry = entries ? entries->firstChild() : nullptr; entry; entry = entry->nextSibling())
      Append(response, CopyXmlTree(entry));
    return response;
  });
}

}  // namespace quor::core
