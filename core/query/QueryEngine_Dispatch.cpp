// The walk over the statement document: each statement to the worker that
// serves it, its result through the transformers it names, every result
// under one "root" element.
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

HRESULT CQueryEngine::StoreResult(const ResultPart&) { return S_OK; }

xml::NodePtr CQueryEngine::ForwardQueryElement(const xml::NodePtr& element, HRESULT& status) {
  if (!element) {
    status = E_FAIL;
    return nullptr;
  }
  const std::shared_ptr<const com::Bstr> config = settings_.ConfigText;
  if (!config) {
    status = QS_E_CONFIG_NOT_EXIST;
    return nullptr;
  }
  com::Bstr answer;
  status = CallAccessor(com::Bstr::FromUtf8(element->xml()), *config, defaultProgID_.View(), defaultMethod_.View(),
                        answer);
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
  // The answer's parts in order. A node part also goes under `root`, which
  // refuses what an element cannot hold; text parts were checked already.
  const xml::NodePtr root = document->createElement(Kw(KW_ROOT));
  if (!root) return E_FAIL;
  std::vector<ResultPart> parts;
  const auto add = [&](ResultPart part) {
    if (part.node) Append(root, part.node);
    parts.push_back(std::move(part));
  };
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
  const auto finish = [&](xml::NodePtr from, ResultPart node) -> HRESULT {
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
      ResultPart transformed = TransformPart(settings_, node, requests.chain, com::Bstr(), status);
      if (status != S_OK) {
        if (transformed) result = transformed.Written();
        return status;
      }
      node = std::move(transformed);
    }
    if (requests.storeRequested && requests.store == Kw(KW_TRANSFORMED)) {
      if (const HRESULT hr = StoreResult(node); FAILED(hr)) return hr;
    }
    if (node) add(std::move(node));
    return S_OK;
  };

  for (xml::NodePtr child = sqlquery->firstChild(); child; child = child->nextSibling()) {
    HRESULT status = S_OK;
    if (!Named(child, KW_STATEMENT)) {
      const xml::NodePtr answer = ForwardQueryElement(child, status);
      if (!answer) return FAILED(status) ? status : QS_E_XML_LOAD_FAILED;
      if (Named(answer, KW_ROOT)) {
        for (xml::NodePtr item = answer->firstChild(); item; item = item->nextSibling())
          add(ResultPart(CopyXmlTree(item)));
      } else {
        add(ResultPart(answer));
      }
      continue;
    }

    const xml::NodePtr first = child->firstChild();
    if (!first) return QS_E_QUERY_ARG_INVALID;
    if (Named(first, KW_SUBSTATEMENT)) {
      std::vector<ResultPart> got;
      xml::NodePtr part = first;
      while (Named(part, KW_SUBSTATEMENT)) {
        const xml::NodePtr head = part->firstChild();
        ResultPart node;
        if (Named(head, KW_COLUMN)) {
          node = ResultPart(listing(head->nextSibling(), part, status));
        } else if (Named(head, KW_TRANSFORM)) {
          node = ResultPart(ListTransformers(part, status));
        } else {
          // One call serves every substatement of the statement.
          node = RunMultiSourceStatementPart(child, status);
          while (Named(part->nextSibling(), KW_SUBSTATEMENT)) part = part->nextSibling();
        }
        if (status != S_OK) return status;
        if (node) got.push_back(std::move(node));
        part = part->nextSibling();
      }
      // A lone result goes on as it is; several are gathered into the first.
      ResultPart node;
      if (got.size() == 1 && got.front().IsText()) {
        node = std::move(got.front());
      } else if (!got.empty()) {
        const xml::NodePtr collector = document->createElement(Kw(KW_SUBRESPONSE));
        if (!collector) return E_FAIL;
        for (const ResultPart& each : got) Append(collector, each.Node());
        node = ResultPart(collector->firstChild());
        for (xml::NodePtr more = node.node->nextSibling(); more; more = more->nextSibling())
          CopyXmlTreeWithText(node.node, more);
      }
      if (const HRESULT hr = finish(part, std::move(node)); hr != S_OK) return hr;
    } else if (Named(first, KW_COLUMN)) {
      const xml::NodePtr node = listing(first->nextSibling(), child, status);
      if (status != S_OK) return status;
      if (node) add(ResultPart(node));
    } else if (Named(first, KW_TRANSFORM)) {
      const xml::NodePtr node = ListTransformers(child, status);
      if (status != S_OK) return status;
      if (node) add(ResultPart(node));
    } else {
      // A statement that yields nothing adds nothing; the rest still runs.
      ResultPart node = RunStatementPart(child, status);
      if (status != S_OK) return status;
      if (const HRESULT hr = finish(first->nextSibling(), std::move(node)); hr != S_OK) return hr;
    }
  }
  if (parts.empty()) {
    result = com::Bstr::FromUtf8(root->xml());
    return S_OK;
  }
  // What root->xml() would give, with the text parts as they are.
  const std::string_view name = CKeywordTable::Instance()[KW_ROOT].Utf8();
  size_t size = 2 * name.size() + 5;
  for (const ResultPart& part : parts) size += part.IsText() ? part.text.Utf8().size() + 24 : 0;
  std::string out;
  out.reserve(size);
  out.append("<").append(name).append(">");
  for (const ResultPart& part : parts) part.AppendTo(out);
  out.append("</").append(name).append(">");
  result = com::Bstr::TakeUtf8(std::move(out));
  return S_OK;
}

}  // namespace quor::core
