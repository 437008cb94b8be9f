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

// The answer's stream, when `sqlquery` may leave while it is made: it goes
// out while its source is read, when the source's accessor sends it so. A
// transformer that reads its source piece by piece converts the answer on
// its way; one that needs it whole has it made whole, and nothing streams.
void OpenAnswerStream(CServiceConfig& settings, com::ResultSink* sink, const xml::NodePtr& sqlquery,
                      std::optional<QueryStream>& streamed) {
  const std::optional<com::Bstr> chain = sink ? StreamableChain(sqlquery) : std::nullopt;
  if (!chain) return;
  streamed.emplace(*sink);
  if (chain->IsNull()) return;
  Result<com::ComPtr<com::IStreamConvert>> converter =
      OpenStreamTransformer(settings, *chain, streamed->ConverterOutput());
  if (converter.ok() && *converter) streamed->ConvertWith(std::move(converter).value());
  else streamed.reset();
}

// One walk over the children of "sqlquery": the answer's parts in order,
// each node part also under `root`, which refuses what an element cannot
// hold (text parts were checked already). A statement whose answer went out
// as it was read, or goes out as it was made, ends the walk.
class QueryWalk {
 public:
  QueryWalk(CQueryEngine& engine, const xml::DocumentPtr& document, xml::NodePtr root, QueryStream* streamed,
            com::Bstr& result)
      : engine_(engine), document_(document), root_(std::move(root)), streamed_(streamed), result_(result) {}

  // Runs one child of "sqlquery".
  Status Step(const xml::NodePtr& child) {
    if (!Named(child, KW_STATEMENT)) return Forward(child);
    const xml::NodePtr first = child->firstChild();
    if (!first) return Status(QS_E_QUERY_ARG_INVALID);
    if (Named(first, KW_SUBSTATEMENT)) return Substatements(child, first);
    if (Named(first, KW_COLUMN)) return AddNode(Listing(first->nextSibling(), child));
    if (Named(first, KW_TRANSFORM)) return AddNode(engine_.ListTransformers(child));
    // A statement that yields nothing adds nothing; the rest still runs.
    QUOR_ASSIGN_OR_RETURN(ResultPart node, engine_.RunStatementPart(child));
    if (std::optional<Status> end = Ends(node)) return *end;
    return Finish(first->nextSibling(), std::move(node));
  }

  bool Ended() const { return ended_; }

  // The answer: "root" with every part, the text parts as they are.
  void Answer() {
    if (parts_.empty()) {
      result_ = com::Bstr::FromUtf8(root_->xml());
      return;
    }
    // What root->xml() would give.
    const std::string_view name = CKeywordTable::Instance()[KW_ROOT].Utf8();
    size_t size = 2 * name.size() + 5;
    for (const ResultPart& part : parts_) size += part.IsText() ? part.text.Utf8().size() + 24 : 0;
    std::string out;
    out.reserve(size);
    out.append("<").append(name).append(">");
    for (const ResultPart& part : parts_) part.AppendTo(out);
    out.append("</").append(name).append(">");
    result_ = com::Bstr::TakeUtf8(std::move(out));
  }

 private:
  Status Add(ResultPart part) {
    if (part.node) QUOR_RETURN_IF_ERROR(Append(root_, part.node));
    parts_.push_back(std::move(part));
    return Status();
  }

  Status AddNode(Result<xml::NodePtr> node) {
    QUOR_RETURN_IF_ERROR(node.status());
    if (*node) return Add(ResultPart(*node));
    return Status();
  }

  // An element that is no statement goes to the default accessor; what it
  // answers under its own "root" joins this one item by item.
  Status Forward(const xml::NodePtr& element) {
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr answer, engine_.ForwardQueryElement(element));
    if (!answer) return Status(QS_E_XML_LOAD_FAILED);
    if (!Named(answer, KW_ROOT)) return Add(ResultPart(answer));
    for (xml::NodePtr item = answer->firstChild(); item; item = item->nextSibling()) {
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyXmlTree(item));
      QUOR_RETURN_IF_ERROR(Add(ResultPart(copy)));
    }
    return Status();
  }

  // A statement of substatements: listings each, and one run for all that
  // ask a source. A lone result goes on as it is; several are gathered into
  // the first.
  Status Substatements(const xml::NodePtr& statement, xml::NodePtr part) {
    std::vector<ResultPart> got;
    while (Named(part, KW_SUBSTATEMENT)) {
      const xml::NodePtr head = part->firstChild();
      ResultPart node;
      if (Named(head, KW_COLUMN)) {
        QUOR_ASSIGN_OR_RETURN(node.node, Listing(head->nextSibling(), part));
      } else if (Named(head, KW_TRANSFORM)) {
        QUOR_ASSIGN_OR_RETURN(node.node, engine_.ListTransformers(part));
      } else {
        QUOR_ASSIGN_OR_RETURN(node, engine_.RunMultiSourceStatementPart(statement));
        if (std::optional<Status> end = Ends(node)) return *end;
        while (Named(part->nextSibling(), KW_SUBSTATEMENT)) part = part->nextSibling();
      }
      if (node) got.push_back(std::move(node));
      part = part->nextSibling();
    }
    QUOR_ASSIGN_OR_RETURN(ResultPart node, Gathered(std::move(got)));
    return Finish(part, std::move(node));
  }

  Result<ResultPart> Gathered(std::vector<ResultPart> got) {
    if (got.empty()) return ResultPart();
    if (got.size() == 1 && got.front().IsText()) return std::move(got.front());
    const xml::NodePtr collector = document_->createElement(Kw(KW_SUBRESPONSE));
    if (!collector) return Status(E_FAIL);
    for (const ResultPart& each : got) {
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr eachNode, each.Node());
      QUOR_RETURN_IF_ERROR(Append(collector, eachNode));
    }
    ResultPart node(collector->firstChild());
    for (xml::NodePtr more = node.node->nextSibling(); more; more = more->nextSibling()) {
      // Names that differ leave the first as it is.
      QUOR_RETURN_IF_ERROR(CopyXmlTreeWithText(node.node, more).status());
    }
    return node;
  }

  // A listing over the level elements from `level` on: an element without
  // content asks for its level's list, "sql" for the level after the fixed
  // ones.
  Result<xml::NodePtr> Listing(xml::NodePtr level, const xml::NodePtr& element) {
    static constexpr KeywordIndex kLevels[] = {KW_PROVIDER, KW_DSN, KW_CATALOG, KW_TABLE};
    size_t fixed = 0;
    for (; level; level = level->nextSibling()) {
      if (Named(level, KW_SQL)) return ListOf(fixed, element);
      for (size_t i = 0; i < std::size(kLevels); ++i) {
        if (!Named(level, kLevels[i])) continue;
        if (!level->firstChild()) return ListOf(i, element);
        ++fixed;
      }
    }
    return xml::NodePtr();
  }

  Result<xml::NodePtr> ListOf(size_t level, const xml::NodePtr& element) {
    switch (level) {
      case 0: return engine_.ListProviders(element);
      case 1: return engine_.ListDataSources(element);
      case 2: return engine_.ListCatalogs(element);
      case 3: return engine_.ListTables(element);
      default: return xml::NodePtr();
    }
  }

  // Whether the answer ends with this run: it went out as its source was
  // read, or, a unified table, goes out now, its joins run on the way.
  std::optional<Status> Ends(const ResultPart& node) {
    if (!streamed_) return std::nullopt;
    if (!streamed_->Started() && !node.IsCompact()) return std::nullopt;
    ended_ = true;
    if (streamed_->Started()) return Status();
    streamed_->Unchecked();
    compact::TextOut out(*streamed_);
    QUOR_RETURN_IF_ERROR(compact::WriteResponse(*node.compact->response, *node.compact->heads, out));
    QUOR_RETURN_IF_ERROR(out.Flush());
    return streamed_->Finish(std::string_view());
  }

  // Reads the transform and store requests from `from` on, then runs them
  // on `node` and adds what comes out.
  Status Finish(xml::NodePtr from, ResultPart node) {
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
    if (requests.storeRequested && requests.store == Kw(KW_UNIFIED)) QUOR_RETURN_IF_ERROR(engine_.StoreResult(node));
    if (requests.transform && node) {
      ResultPart transformed;
      const Status status = TransformPart(engine_.Settings(), node, requests.chain, com::Bstr(), transformed);
      if (!status.ok()) {
        if (transformed) result_ = transformed.Written();
        return status;
      }
      node = std::move(transformed);
    }
    if (requests.storeRequested && requests.store == Kw(KW_TRANSFORMED))
      QUOR_RETURN_IF_ERROR(engine_.StoreResult(node));
    if (node) return Add(std::move(node));
    return Status();
  }

  CQueryEngine& engine_;
  const xml::DocumentPtr& document_;
  const xml::NodePtr root_;
  QueryStream* const streamed_;  // null when the answer is sent whole
  com::Bstr& result_;
  std::vector<ResultPart> parts_;
  bool ended_ = false;
};

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
  const xml::NodePtr root = document->createElement(Kw(KW_ROOT));
  if (!root) return Status(E_FAIL);
  const xml::NodePtr sqlquery = FindTopLevel(document, Kw(KW_SQLQUERY));
  if (!sqlquery) return Status(QS_E_QUERY_FORMAT_INVALID);
  std::optional<QueryStream> streamed;
  OpenAnswerStream(settings_, stream, sqlquery, streamed);
  // The statements' runs hand the stream to the accessors while the walk goes.
  streaming_ = streamed ? &*streamed : nullptr;
  struct StreamingEnds {
    QueryStream*& streaming;
    ~StreamingEnds() { streaming = nullptr; }
  } streamingEnds{streaming_};
  QueryWalk walk(*this, document, root, streaming_, result);
  for (xml::NodePtr child = sqlquery->firstChild(); child; child = child->nextSibling()) {
    QUOR_RETURN_IF_ERROR(walk.Step(child));
    if (walk.Ended()) return Status();
  }
  walk.Answer();
  return Status();
}

}  // namespace quor::core
