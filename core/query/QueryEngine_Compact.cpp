// Statements in unify mode over partial results held as compact tables:
// the same steps as over documents (accumulation, unify steps, joins of
// substatement results), each taken on the tables while every input is
// held so, and on documents made of them as soon as one is not.
#include <memory>
#include <string>
#include <vector>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/query/AccessorCall.h"
#include "core/query/CompactMerger.h"
#include "core/query/CompactReader.h"
#include "core/query/QueryEngine.h"
#include "core/query/QueryEngine_Detail.h"
#include "platform/com/callcontext.h"
#include "platform/com/errorinfo.h"

namespace quor::core {
namespace {

using detail::Named;

}  // namespace

compact::Hold CQueryEngine::CompactHold() {
  return [this](uint64_t more) {
    Status held = HoldTrees(more);
    if (!held.ok() && refused_.ok()) refused_ = held;
    return held;
  };
}

Status CQueryEngine::CompactFailure(const Status& failed) const {
  if (!refused_.ok()) return refused_;
  return failed.code() == E_OUTOFMEMORY ? failed : Status(QS_E_UNIFICATION_EXCEPTION);
}

Result<CQueryEngine::Side> CQueryEngine::AskSourceSide(const com::Bstr& queryText, const DataSourceDefinition& def) {
  const detail::Binding binding = detail::BindingOf(def, defaultProgID_, defaultMethod_);
  compact::AnswerReader reader(*heads_, CompactHold());
  com::Bstr answer;
  Status called;
  bool streamed = false;
  {
    // The accessor runs on this thread and finds the reader in the context.
    struct Counting final : com::ResultSink {
      compact::AnswerReader& reader;
      bool& any;
      Counting(compact::AnswerReader& r, bool& a) : reader(r), any(a) {}
      Status Write(std::string_view piece) override {
        any = true;
        return reader.Write(piece);
      }
    } sink(reader, streamed);
    com::CallContext context = com::CurrentCallContext();
    context.answerSink = &sink;
    const com::CallContextScope scope(std::move(context));
    called = CallAccessor(queryText, def.GetConfigText(), binding.progID, binding.method, answer);
  }
  // What the reader refused (the memory budget) stands for the accessor's
  // failure, which it caused.
  if (!reader.Failure().ok()) {
    com::ClearErrorInfo();
    return reader.Failure();
  }
  QUOR_RETURN_IF_ERROR(called);
  Side side;
  if (!streamed && (answer.IsNull() || !answer.HoldsUtf8())) {
    QUOR_ASSIGN_OR_RETURN(side.node, ParseAnswer(answer));
    return side;
  }
  QUOR_ASSIGN_OR_RETURN(compact::AnswerReader::Outcome outcome,
                        reader.Finish(answer.IsNull() ? std::string_view() : answer.Utf8()));
  answer = com::Bstr();
  if (outcome.response) {
    side.compact = std::move(outcome.response);
    return side;
  }
  QUOR_ASSIGN_OR_RETURN(side.node, ParseAnswer(com::Bstr::TakeUtf8(std::move(outcome.text))));
  return side;
}

Result<xml::NodePtr> CQueryEngine::NodeOf(const Side& side) {
  if (!side.compact) return side.node;
  std::string text;
  compact::TextOut out(text);
  QUOR_RETURN_IF_ERROR(compact::WriteResponse(*side.compact, *heads_, out));
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(text) || !doc->firstChild()) return Status(E_FAIL);
  QUOR_RETURN_IF_ERROR(HoldTrees(doc->Footprint()));
  return doc->firstChild();
}

Result<CQueryEngine::Side> CQueryEngine::AsResponse(const Side& side) {
  if (!side.node) return side;
  Side out;
  QUOR_ASSIGN_OR_RETURN(out.node, detail::AsResponse(side.node));
  return out;
}

ResultPart CQueryEngine::PartOf(const Side& side) const {
  if (!side.compact) return ResultPart(side.node);
  ResultPart part;
  auto held = std::make_shared<CompactPart>();
  held->heads = heads_;
  held->response = side.compact;
  part.compact = std::move(held);
  return part;
}

com::Bstr CQueryEngine::ResultTableName(const Side& side) const {
  if (!side.compact) return GetResultTableName(side.node);
  const std::optional<std::string> name = compact::ResultTableName(*side.compact);
  return name ? com::Bstr::FromUtf8(*name) : com::Bstr();
}

Result<CQueryEngine::Side> CQueryEngine::UnifyResultsSide(const Side& first, const Side& second,
                                                          const UnifyTableEntry* firstEntry,
                                                          const UnifyTableEntry* secondEntry) {
  if (first.node || second.node) {
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr a, NodeOf(first));
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr b, NodeOf(second));
    Side out;
    QUOR_ASSIGN_OR_RETURN(out.node, UnifyResults(a, b, firstEntry, secondEntry));
    return out;
  }
  try {
    Result<compact::Response> unified = compact::UnifyStep(first.compact.get(), second.compact.get(), firstEntry,
                                                           secondEntry, *heads_, CompactHold());
    if (!unified.ok()) return CompactFailure(unified.status());
    Side out;
    out.compact = std::make_shared<const compact::Response>(std::move(unified).value());
    return out;
  } catch (const std::exception& e) {
    return Status(QS_E_UNIFICATION_EXCEPTION, e.what());
  }
}

Result<CQueryEngine::Side> CQueryEngine::UnifySide(const Side& first, const Side& second,
                                                   const DataSourceDefinition* firstDef,
                                                   const DataSourceDefinition* secondDef) {
  if (!EnsureUnifyTable()) return Status(QS_E_UNIFICATION_EXCEPTION);
  const auto entryOf = [&](const Side& result, const DataSourceDefinition* def) -> const UnifyTableEntry* {
    if (!def || !result) return nullptr;
    const UnifyTableEntry* entry = nullptr;
    FindUnifyTableEntry(def->GetProvider(), def->GetDataSource(), def->GetInitialCatalog(), def->GetSchema(),
                        ResultTableName(result), settings_.UnifyTable.get(), entry)
        .Ignore();
    return entry;
  };
  return UnifyResultsSide(first, second, entryOf(first, firstDef), entryOf(second, secondDef));
}

Status CQueryEngine::AccumulateSide(const Side& answer, const DataSourceDefinition& def, Side& accumulated,
                                    const DataSourceDefinition*& startDef) {
  // The answer first comes into the unified vocabulary, then joins the
  // answers so far. A step with nothing to give leaves them as they are.
  QUOR_ASSIGN_OR_RETURN(const Side unified, UnifySide(answer, Side(), &def, nullptr));
  if (!unified) return Status();
  if (!accumulated) {
    accumulated = unified;
    startDef = &def;
    return Status();
  }
  QUOR_ASSIGN_OR_RETURN(const Side joined, UnifySide(accumulated, unified, startDef, &def));
  if (joined) accumulated = joined;
  return Status();
}

Result<CQueryEngine::Side> CQueryEngine::MergeWithoutRuleSide(const Side& first, const Side& second,
                                                              const DataSourceDefinition* firstDef) {
  if (!first.compact || !second.compact) {
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr a, NodeOf(first));
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr b, NodeOf(second));
    Side out;
    QUOR_ASSIGN_OR_RETURN(out.node, MergeWithoutRuleWithStatus(a, b, firstDef));
    return out;
  }
  try {
    if (!EnsureUnifyTable()) return Status(QS_E_UNIFICATION_EXCEPTION);
    std::string kind(JoinKindText(JoinKind::FullOuter));
    if (firstDef) {
      const UnifyTableEntry* entry = nullptr;
      FindUnifyTableEntry(firstDef->GetProvider(), firstDef->GetDataSource(), firstDef->GetInitialCatalog(),
                          firstDef->GetSchema(), ResultTableName(first), settings_.UnifyTable.get(), entry)
          .Ignore();
      if (entry && !entry->GetUnify().IsNull() && !entry->GetUnify().Empty()) kind = entry->GetUnify().ToUtf8();
    }
    Result<compact::Response> merged =
        compact::MergeWithoutRule(*first.compact, *second.compact, kind, *heads_, CompactHold());
    if (!merged.ok()) return CompactFailure(merged.status());
    Side out;
    out.compact = std::make_shared<const compact::Response>(std::move(merged).value());
    return out;
  } catch (const std::exception& e) {
    return Status(QS_E_UNIFICATION_EXCEPTION, e.what());
  }
}

Result<CQueryEngine::Side> CQueryEngine::JoinSides(const Side& first, const Side& second,
                                                   const DataSourceDefinition* firstDef,
                                                   const DataSourceDefinition* secondDef) {
  try {
    if (!EnsureUnifyTable()) return Status(QS_E_UNIFICATION_EXCEPTION);
    const UnifyTableEntry* table = settings_.UnifyTable.get();
    if (firstDef && secondDef) {
      // A destination that maps the first table onto the second unifies
      // them; without one they are merged by the first side's join kind.
      const UnifyTableEntry* entry = nullptr;
      FindUnifyDestination(firstDef, secondDef, ResultTableName(first), ResultTableName(second), table, entry)
          .Ignore();
      if (!entry) return MergeWithoutRuleSide(first, second, firstDef);
      return UnifyResultsSide(first, second, entry, nullptr);
    }
    const auto entryOf = [&](const Side& result, const DataSourceDefinition* def) -> const UnifyTableEntry* {
      if (!def) return nullptr;
      const UnifyTableEntry* entry = nullptr;
      FindUnifyTableEntry(def->GetProvider(), def->GetDataSource(), def->GetInitialCatalog(), def->GetSchema(),
                          ResultTableName(result), table, entry)
          .Ignore();
      return entry;
    };
    return UnifyResultsSide(first, second, entryOf(first, firstDef), entryOf(second, secondDef));
  } catch (const std::exception& e) {
    return Status(QS_E_UNIFICATION_EXCEPTION, e.what());
  }
}

Result<ResultPart> CQueryEngine::RunCompactStatement(const xml::NodePtr& statement) {
  try {
    xml::NodePtr part = statement->firstChild();
    const bool alone = !Named(part->nextSibling(), KW_SUBSTATEMENT);
    Side joined;                                     // R
    const DataSourceDefinition* firstDef = nullptr;  // started the first result
    for (; Named(part, KW_SUBSTATEMENT); part = part->nextSibling()) {
      detail::SourceKeys keys;
      for (xml::NodePtr child = part->firstChild(); child; child = child->nextSibling()) {
        if (Named(child, KW_PROVIDER)) keys.provider = child->text();
        else if (Named(child, KW_DSN)) keys.dsn = child->text();
        else if (Named(child, KW_CATALOG)) keys.catalog = child->text();
        else if (Named(child, KW_SCHEMA_LC)) keys.schema = child->text();
      }
      // A provider and a catalog: the first fitting definition alone serves.
      const bool single = !keys.provider.empty() && !keys.catalog.empty();
      const com::Bstr queryText = com::Bstr::FromUtf8(part->xml());

      std::vector<const DataSourceDefinition*> serving;
      for (const auto& def : settings_.QueryDataSources) {
        if (!detail::Serves(*def, keys)) continue;
        serving.push_back(def.get());
        if (single) break;
      }
      if (alone && serving.size() == 1) {
        // Alone on one source, the answer may go out as it stands.
        QUOR_ASSIGN_OR_RETURN(ResultPart only, AskOnlySource(queryText, *serving.front(), single));
        if (!only || only.IsText()) return only;
        QUOR_ASSIGN_OR_RETURN(only.node, detail::AsResponse(only.node));
        return only;
      }
      Side accumulated;                                // A
      const DataSourceDefinition* startDef = nullptr;  // started A
      const DataSourceDefinition* laterDef = nullptr;  // served this substatement by its catalog
      for (const DataSourceDefinition* def : serving) {
        QUOR_ASSIGN_OR_RETURN(const Side answer, AskSourceSide(queryText, *def));
        if (!answer) return ResultPart();
        if (single) {
          accumulated = answer;
          startDef = laterDef = def;
          break;
        }
        QUOR_RETURN_IF_ERROR(AccumulateSide(answer, *def, accumulated, startDef));
      }
      if (!accumulated) continue;
      QUOR_ASSIGN_OR_RETURN(const Side later, AsResponse(accumulated));
      if (!joined) {
        joined = later;
        firstDef = startDef;
        continue;
      }
      QUOR_ASSIGN_OR_RETURN(const Side both, JoinSides(joined, later, firstDef, laterDef));
      if (both) joined = both;
    }
    return PartOf(joined);
  } catch (const std::exception& e) {
    return Status(QS_E_QUERY_EXECUTE_EXCEPTION, e.what());
  }
}

}  // namespace quor::core
