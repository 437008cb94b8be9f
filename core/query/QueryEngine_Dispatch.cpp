// The walk over the statement document: each statement to the worker that
// serves it, its result through the transformers it names, every result
// under one "root" element.
#include <iterator>
#include <string>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "core/query/AccessorCall.h"
#include "core/query/QueryEngine.h"
#include "core/query/QueryEngine_Detail.h"
#include "core/query/TransformerChain.h"
#include "platform/com/errorinfo.h"

namespace quor::core {
namespace {

using detail::Append;
using detail::Kw;
using detail::Named;

// What the elements after a statement's first part ask of its result.
struct ResultRequests {
  com::Bstr chain;  // transform items joined with ","
  bool transform = false;
  std::string store;
  bool storeRequested = false;
};

}  // namespace

HRESULT CQueryEngine::StoreResult(const xml::NodePtr&) { return S_OK; }

xml::NodePtr CQueryEngine::ForwardQueryElement(const xml::NodePtr& element, HRESULT& status) {
  if (!element) {
    status = E_FAIL;
    return nullptr;
  }
  const xml::NodePtr config = settings_.ConfigDocument ? settings_.ConfigDocument->firstChild() : nullptr;
  if (!config) {
    status = QS_E_CONFIG_NOT_EXIST;
    return nullptr;
  }
  com::Bstr answer;
  status = CallAccessor(com::Bstr::FromUtf8(element->xml()), com::Bstr::FromUtf8(config->xml()), defaultProgID_.View(),
                        defaultMethod_.View(), answer);
  if (FAILED(status)) return nullptr;
  const xml::DocumentPtr doc = xml::Document::Create();
  if (answer.IsNull() || !doc->loadXML(answer.View())) {
    status = QS_E_XML_LOAD_FAILED;
    return nullptr;
  }
  return doc->firstChild();
}

HRESULT CQueryEngine::DispatchQuery(const xml::DocumentPtr& document, com::Bstr& result) {
  result = com::Bstr();
  if (!document) return QS_E_QUERY_ARG_NULL;
  const xml::NodePtr root = document->createElement(Kw(KW_ROOT));
  if (!root) return E_FAIL;
  const xml::NodePtr sqlquery = FindTopLevel(document, Kw(KW_SQLQUERY));
  if (!sqlquery) return QS_E_QUERY_FORMAT_INVALID;

  // A listing over the level elements from `level` on: an element without
  // content asks for its level's list, "sql" for the level after the fixed
  // ones.
  const auto listOf = [&](size_t level, const xml::NodePtr& element, HRESULT& status) -> xml::NodePtr {
    switch (level) {
      case 0: return ListProviders(element, status);
      case 1: return ListDataSources(element, status);
      case 2: return ListCatalogs(element, status);
      case 3: return ListTables(element, status);
      default: return nullptr;
    }
  };
  const auto listing = [&](xml::NodePtr level, const xml::NodePtr& element, HRESULT& status) -> xml::NodePtr {
    static constexpr KeywordIndex kLevels[] = {KW_PROVIDER, KW_DSN, KW_CATALOG, KW_TABLE};
    status = S_OK;
    size_t fixed = 0;
    for (; level; level = level->nextSibling()) {
      if (Named(level, KW_SQL)) return listOf(fixed, element, status);
      for (size_t i = 0; i < std::size(kLevels); ++i) {
        if (!Named(level, kLevels[i])) continue;
        if (!level->firstChild()) return listOf(i, element, status);
        ++fixed;
      }
    }
    return nullptr;
  };

  // Reads the transform and store requests from `from` on, then runs them
  // on `node` and appends what comes out.
  const auto finish = [&](xml::NodePtr from, xml::NodePtr node) -> HRESULT {
    ResultRequests requests;
    for (; from && !(requests.transform && requests.storeRequested); from = from->nextSibling()) {
      if (Named(from, KW_TRANSFORM)) {
        if (!from->firstChild()) return QS_E_TRANSFORMER_NOT_SPECIFIED;
        const com::Bstr item = com::Bstr::FromUtf8(from->text());
        if (!requests.transform) {
          requests.chain = item;
        } else {
          requests.chain.Append(u",");
          requests.chain.Append(item.View());
        }
        requests.transform = true;
      } else if (Named(from, KW_STORE)) {
        requests.store = from->text();
        requests.storeRequested = true;
      }
    }
    if (requests.storeRequested && requests.store == Kw(KW_UNIFIED)) {
      if (const HRESULT hr = StoreResult(node); FAILED(hr)) return hr;
    }
    if (requests.transform && node) {
      HRESULT status = S_OK;
      xml::NodePtr transformed = TransformResult(settings_, node, requests.chain, com::Bstr(), status);
      if (status != S_OK) {
        if (transformed) result = com::Bstr::FromUtf8(transformed->xml());
        return status;
      }
      node = transformed;
    }
    if (requests.storeRequested && requests.store == Kw(KW_TRANSFORMED)) {
      if (const HRESULT hr = StoreResult(node); FAILED(hr)) return hr;
    }
    if (node) Append(root, node);
    return S_OK;
  };

  for (xml::NodePtr child = sqlquery->firstChild(); child; child = child->nextSibling()) {
    HRESULT status = S_OK;
    if (!Named(child, KW_STATEMENT)) {
      const xml::NodePtr answer = ForwardQueryElement(child, status);
      if (!answer) return FAILED(status) ? status : QS_E_XML_LOAD_FAILED;
      if (Named(answer, KW_ROOT)) {
        for (xml::NodePtr item = answer->firstChild(); item; item = item->nextSibling()) Append(root, CopyXmlTree(item));
      } else {
        Append(root, answer);
      }
      continue;
    }

    const xml::NodePtr first = child->firstChild();
    if (!first) return QS_E_QUERY_ARG_INVALID;
    if (Named(first, KW_SUBSTATEMENT)) {
      const xml::NodePtr collector = document->createElement(Kw(KW_SUBRESPONSE));
      if (!collector) return E_FAIL;
      xml::NodePtr part = first;
      while (Named(part, KW_SUBSTATEMENT)) {
        const xml::NodePtr head = part->firstChild();
        xml::NodePtr node;
        if (Named(head, KW_COLUMN)) {
          node = listing(head->nextSibling(), part, status);
        } else if (Named(head, KW_TRANSFORM)) {
          node = ListTransformers(part, status);
        } else {
          // One call serves every substatement of the statement.
          node = RunMultiSourceStatement(child, status);
          while (Named(part->nextSibling(), KW_SUBSTATEMENT)) part = part->nextSibling();
        }
        if (status != S_OK) return status;
        if (node) Append(collector, node);
        part = part->nextSibling();
      }
      xml::NodePtr node = collector->firstChild();
      if (node) {
        for (xml::NodePtr more = node->nextSibling(); more; more = more->nextSibling()) CopyXmlTreeWithText(node, more);
      }
      if (const HRESULT hr = finish(part, node); hr != S_OK) return hr;
    } else if (Named(first, KW_COLUMN)) {
      const xml::NodePtr node = listing(first->nextSibling(), child, status);
      if (status != S_OK) return status;
      if (node) Append(root, node);
    } else if (Named(first, KW_TRANSFORM)) {
      const xml::NodePtr node = ListTransformers(child, status);
      if (status != S_OK) return status;
      if (node) Append(root, node);
    } else {
      // A statement that yields nothing adds nothing; the rest still runs.
      const xml::NodePtr node = RunStatement(child, status);
      if (status != S_OK) return status;
      if (const HRESULT hr = finish(first->nextSibling(), node); hr != S_OK) return hr;
    }
  }
  result = com::Bstr::FromUtf8(root->xml());
  return S_OK;
}

}  // namespace quor::core
