// The walk over the statement document: each statement to the worker that
// serves it, its result through the transformers it names, every result
// under one "root" element.
#include <iterator>
#include <memory>
#include <optional>
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

// Whether the answer to `sqlquery` may leave while it is made: it is one
// statement, on substatements or none, that lists nothing and asks for no
// store, so that its one result goes into "root" as it stands or as its
// transformers make it. Whether its result can go so is for the run to
// say (an accessor's answer nothing changes, or the engine's unified
// tables). Answers the statement's transform chain (null for none), as the
// walk reads it.
std::optional<com::Bstr> StreamableChain(const xml::NodePtr& sqlquery) {
  const xml::NodePtr statement = sqlquery->firstChild();
  if (!Named(statement, KW_STATEMENT) || statement->nextSibling()) return std::nullopt;
  xml::NodePtr first = statement->firstChild();
  if (Named(first, KW_SUBSTATEMENT)) first = first->firstChild();
  if (!first || Named(first, KW_COLUMN) || Named(first, KW_TRANSFORM)) return std::nullopt;
  com::Bstr chain;
  for (xml::NodePtr child = statement->firstChild(); child; child = child->nextSibling()) {
    if (Named(child, KW_STORE)) return std::nullopt;
    if (!Named(child, KW_TRANSFORM)) continue;
    // An empty one fails the statement once it has run.
    if (!child->firstChild()) return std::nullopt;
    const com::Bstr item = com::Bstr::FromUtf8(child->text());
    if (chain.IsNull()) {
      chain = item;
    } else {
      chain.Append(u",");
      chain.Append(item.View());
    }
  }
  return chain;
}

}  // namespace

Status CQueryEngine::StoreResult(const ResultPart&) { return Status(); }

Result<xml::NodePtr> CQueryEngine::ForwardQueryElement(const xml::NodePtr& element) {
  if (!element) return Status(E_FAIL);
  const std::shared_ptr<const com::Bstr> config = settings_.ConfigText;
  if (!config) return Status(QS_E_CONFIG_NOT_EXIST);
  com::Bstr answer;
  QUOR_RETURN_IF_ERROR(CallAccessor(com::Bstr::FromUtf8(element->xml()), *config, defaultProgID_.View(),
                                    defaultMethod_.View(), answer));
  const xml::DocumentPtr doc = xml::Document::Create();
  if (answer.IsNull() || !doc->loadXML(answer.View())) return Status(QS_E_XML_LOAD_FAILED);
  return doc->firstChild();
}

Status CQueryEngine::DispatchQuery(const xml::DocumentPtr& document, com::Bstr& result, com::ResultSink* stream) {
  result = com::Bstr();
  if (!document) return Status(QS_E_QUERY_ARG_NULL);
  // The answer's parts in order. A node part also goes under `root`, which
  // refuses what an element cannot hold; text parts were checked already.
  const xml::NodePtr root = document->createElement(Kw(KW_ROOT));
  if (!root) return Status(E_FAIL);
  std::vector<ResultPart> parts;
  const auto add = [&](ResultPart part) -> Status {
    if (part.node) QUOR_RETURN_IF_ERROR(Append(root, part.node));
    parts.push_back(std::move(part));
    return Status();
  };
  const xml::NodePtr sqlquery = FindTopLevel(document, Kw(KW_SQLQUERY));
  if (!sqlquery) return Status(QS_E_QUERY_FORMAT_INVALID);

  // An answer that may stream goes out while its source is read, when the
  // source's accessor sends it so; the statement's part then stands for
  // what went out, and the answer ends there.
  std::optional<QueryStream> streamed;
  if (const std::optional<com::Bstr> chain = stream ? StreamableChain(sqlquery) : std::nullopt) {
    streamed.emplace(*stream);
    // A transformer that reads its source piece by piece converts the
    // answer on its way; one that needs it whole has it made whole.
    if (!chain->IsNull()) {
      Result<com::ComPtr<com::IStreamConvert>> converter =
          OpenStreamTransformer(settings_, *chain, streamed->ConverterOutput());
      if (converter.ok() && *converter) streamed->ConvertWith(std::move(converter).value());
      else streamed.reset();
    }
  }
  streaming_ = streamed ? &*streamed : nullptr;
  struct StreamingEnds {
    QueryStream*& streaming;
    ~StreamingEnds() { streaming = nullptr; }
  } streamingEnds{streaming_};
  const auto wentOut = [&] { return streamed && streamed->Started(); };
  // Unified tables go out as they are written, their joins run on the way.
  const auto sendMade = [&](const ResultPart& part) -> Status {
    streamed->Unchecked();
    compact::TextOut out(*streamed);
    QUOR_RETURN_IF_ERROR(compact::WriteResponse(*part.compact->response, *part.compact->heads, out));
    QUOR_RETURN_IF_ERROR(out.Flush());
    return streamed->Finish(std::string_view());
  };
  const auto mayGoOut = [&](const ResultPart& part) { return streamed && !streamed->Started() && part.IsCompact(); };

  // A listing over the level elements from `level` on: an element without
  // content asks for its level's list, "sql" for the level after the fixed
  // ones.
  const auto listOf = [&](size_t level, const xml::NodePtr& element) -> Result<xml::NodePtr> {
    switch (level) {
      case 0: return ListProviders(element);
      case 1: return ListDataSources(element);
      case 2: return ListCatalogs(element);
      case 3: return ListTables(element);
      default: return xml::NodePtr();
    }
  };
  const auto listing = [&](xml::NodePtr level, const xml::NodePtr& element) -> Result<xml::NodePtr> {
    static constexpr KeywordIndex kLevels[] = {KW_PROVIDER, KW_DSN, KW_CATALOG, KW_TABLE};
    size_t fixed = 0;
    for (; level; level = level->nextSibling()) {
      if (Named(level, KW_SQL)) return listOf(fixed, element);
      for (size_t i = 0; i < std::size(kLevels); ++i) {
        if (!Named(level, kLevels[i])) continue;
        if (!level->firstChild()) return listOf(i, element);
        ++fixed;
      }
    }
    return xml::NodePtr();
  };

  // Reads the transform and store requests from `from` on, then runs them
  // on `node` and appends what comes out.
  const auto finish = [&](xml::NodePtr from, ResultPart node) -> Status {
    ResultRequests requests;
    for (; from && !(requests.transform && requests.storeRequested); from = from->nextSibling()) {
      if (Named(from, KW_TRANSFORM)) {
        if (!from->firstChild()) return Status(QS_E_TRANSFORMER_NOT_SPECIFIED);
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
    if (requests.storeRequested && requests.store == Kw(KW_UNIFIED)) QUOR_RETURN_IF_ERROR(StoreResult(node));
    if (requests.transform && node) {
      ResultPart transformed;
      const Status status = TransformPart(settings_, node, requests.chain, com::Bstr(), transformed);
      if (!status.ok()) {
        if (transformed) result = transformed.Written();
        return status;
      }
      node = std::move(transformed);
    }
    if (requests.storeRequested && requests.store == Kw(KW_TRANSFORMED)) QUOR_RETURN_IF_ERROR(StoreResult(node));
    if (node) return add(std::move(node));
    return Status();
  };

  for (xml::NodePtr child = sqlquery->firstChild(); child; child = child->nextSibling()) {
    if (!Named(child, KW_STATEMENT)) {
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr answer, ForwardQueryElement(child));
      if (!answer) return Status(QS_E_XML_LOAD_FAILED);
      if (Named(answer, KW_ROOT)) {
        for (xml::NodePtr item = answer->firstChild(); item; item = item->nextSibling()) {
          QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyXmlTree(item));
          QUOR_RETURN_IF_ERROR(add(ResultPart(copy)));
        }
      } else {
        QUOR_RETURN_IF_ERROR(add(ResultPart(answer)));
      }
      continue;
    }

    const xml::NodePtr first = child->firstChild();
    if (!first) return Status(QS_E_QUERY_ARG_INVALID);
    if (Named(first, KW_SUBSTATEMENT)) {
      std::vector<ResultPart> got;
      xml::NodePtr part = first;
      while (Named(part, KW_SUBSTATEMENT)) {
        const xml::NodePtr head = part->firstChild();
        ResultPart node;
        if (Named(head, KW_COLUMN)) {
          QUOR_ASSIGN_OR_RETURN(node.node, listing(head->nextSibling(), part));
        } else if (Named(head, KW_TRANSFORM)) {
          QUOR_ASSIGN_OR_RETURN(node.node, ListTransformers(part));
        } else {
          // One call serves every substatement of the statement.
          QUOR_ASSIGN_OR_RETURN(node, RunMultiSourceStatementPart(child));
          if (wentOut()) return Status();
          if (mayGoOut(node)) return sendMade(node);
          while (Named(part->nextSibling(), KW_SUBSTATEMENT)) part = part->nextSibling();
        }
        if (node) got.push_back(std::move(node));
        part = part->nextSibling();
      }
      // A lone result goes on as it is; several are gathered into the first.
      ResultPart node;
      if (got.size() == 1 && got.front().IsText()) {
        node = std::move(got.front());
      } else if (!got.empty()) {
        const xml::NodePtr collector = document->createElement(Kw(KW_SUBRESPONSE));
        if (!collector) return Status(E_FAIL);
        for (const ResultPart& each : got) {
          QUOR_ASSIGN_OR_RETURN(const xml::NodePtr eachNode, each.Node());
          QUOR_RETURN_IF_ERROR(Append(collector, eachNode));
        }
        node = ResultPart(collector->firstChild());
        for (xml::NodePtr more = node.node->nextSibling(); more; more = more->nextSibling()) {
          // Names that differ leave the first as it is.
          QUOR_RETURN_IF_ERROR(CopyXmlTreeWithText(node.node, more).status());
        }
      }
      if (const Status finished = finish(part, std::move(node)); !finished.ok()) return finished;
    } else if (Named(first, KW_COLUMN)) {
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr node, listing(first->nextSibling(), child));
      if (node) QUOR_RETURN_IF_ERROR(add(ResultPart(node)));
    } else if (Named(first, KW_TRANSFORM)) {
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr node, ListTransformers(child));
      if (node) QUOR_RETURN_IF_ERROR(add(ResultPart(node)));
    } else {
      // A statement that yields nothing adds nothing; the rest still runs.
      QUOR_ASSIGN_OR_RETURN(ResultPart node, RunStatementPart(child));
      if (wentOut()) return Status();
      if (mayGoOut(node)) return sendMade(node);
      if (const Status finished = finish(first->nextSibling(), std::move(node)); !finished.ok())
        return finished;
    }
  }
  if (parts.empty()) {
    result = com::Bstr::FromUtf8(root->xml());
    return Status();
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
  return Status();
}

}  // namespace quor::core
