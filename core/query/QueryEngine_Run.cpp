// One data statement on every configured source it names: the answers
// appended, or unified step by step by the unify rules.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "core/query/AccessorCall.h"
#include "core/query/QueryEngine.h"
#include "core/query/QueryEngine_Detail.h"
#include "platform/com/callcontext.h"
#include "platform/com/errorinfo.h"

namespace quor::core {

using detail::Named;

namespace {

// What an accessor's answer takes as a tree, per byte of its text: about
// eight (measured: each element, text and attribute a block of its own).
constexpr uint64_t kTreePerTextByte = 9;

}  // namespace

Status CQueryEngine::HoldTrees(uint64_t more) {
  if (!trees_.Account()) trees_ = com::HoldForCall(com::MemoryUse::UnifiedSide);
  treeBytes_ += more;
  return trees_.GrowTo(treeBytes_);
}

Status CQueryEngine::HoldTreesInstead(uint64_t estimate, uint64_t exact) {
  treeBytes_ -= std::min(estimate, treeBytes_);
  return HoldTrees(exact);
}

Result<xml::NodePtr> CQueryEngine::ParseAnswer(const com::Bstr& answer) {
  if (answer.IsNull()) return Status(QS_E_XML_LOAD_FAILED);
  const uint64_t estimate = (answer.HoldsUtf8() ? answer.Utf8().size() : answer.Length()) * kTreePerTextByte;
  QUOR_RETURN_IF_ERROR(HoldTrees(estimate));
  const xml::DocumentPtr doc = xml::Document::Create();
  bool loaded = false;
  if (answer.HoldsUtf8()) {
    // Parsed as the accessor wrote it, not through a wide copy.
    std::string_view utf8 = answer.Utf8();
    if (utf8.starts_with("\xEF\xBB\xBF")) utf8.remove_prefix(3);
    loaded = doc->loadXML(utf8);
  } else {
    loaded = doc->loadXML(answer.View());
  }
  if (!loaded || !doc->firstChild()) return Status(QS_E_XML_LOAD_FAILED);
  QUOR_RETURN_IF_ERROR(HoldTreesInstead(estimate, doc->Footprint()));
  return detail::AsResponse(doc->firstChild());
}

Result<xml::NodePtr> CQueryEngine::AskAccessor(const com::Bstr& queryText, const com::Bstr& configText,
                                               std::u16string_view progID, std::u16string_view method) {
  com::Bstr answer;
  QUOR_RETURN_IF_ERROR(CallAccessor(queryText, configText, progID, method, answer));
  return ParseAnswer(answer);
}

Result<ResultPart> CQueryEngine::AskAccessorPart(const com::Bstr& queryText, const com::Bstr& configText,
                                                 std::u16string_view progID, std::u16string_view method) {
  com::Bstr answer;
  QUOR_RETURN_IF_ERROR(CallAccessor(queryText, configText, progID, method, answer));
  return AnswerPart(answer);
}

Result<ResultPart> CQueryEngine::AnswerPart(com::Bstr& answer) {
  ResultPart part;
  if (TakeWrittenResponse(answer, part)) return part;
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr node, ParseAnswer(answer));
  return ResultPart(node);
}

using detail::Binding;
using detail::BindingOf;

Result<xml::NodePtr> CQueryEngine::AskSource(const com::Bstr& queryText, const DataSourceDefinition& def) {
  const Binding binding = BindingOf(def, defaultProgID_, defaultMethod_);
  return AskAccessor(queryText, def.GetConfigText(), binding.progID, binding.method);
}

Result<ResultPart> CQueryEngine::AskSourcePart(const com::Bstr& queryText, const DataSourceDefinition& def) {
  const Binding binding = BindingOf(def, defaultProgID_, defaultMethod_);
  return AskAccessorPart(queryText, def.GetConfigText(), binding.progID, binding.method);
}

Result<ResultPart> CQueryEngine::AskSourceStreaming(const com::Bstr& queryText, const DataSourceDefinition& def) {
  const Binding binding = BindingOf(def, defaultProgID_, defaultMethod_);
  com::Bstr answer;
  Status called;
  {
    // The accessor runs on this thread and finds the stream in the context.
    com::CallContext context = com::CurrentCallContext();
    context.answerSink = streaming_;
    const com::CallContextScope scope(std::move(context));
    called = CallAccessor(queryText, def.GetConfigText(), binding.progID, binding.method, answer);
  }
  // What failed in the stream itself stands for the accessor's failure,
  // which it caused.
  if (!streaming_->Failure().ok()) {
    com::ClearErrorInfo();
    return streaming_->Failure();
  }
  QUOR_RETURN_IF_ERROR(called);
  if (!streaming_->Started()) return AnswerPart(answer);
  QUOR_RETURN_IF_ERROR(streaming_->Finish(answer.IsNull() ? std::string_view() : answer.Utf8()));
  ResultPart streamed;
  streamed.text = com::Bstr(u"");
  return streamed;
}

bool CQueryEngine::AnswersUnchanged(const DataSourceDefinition& def, bool append) {
  if (append) return true;
  if (!EnsureUnifyTable()) return false;
  // Without a key every rule of the source fits: none fits any table.
  const UnifyTableEntry* entry = nullptr;
  FindUnifyTableEntry(def.GetProvider(), def.GetDataSource(), def.GetInitialCatalog(), def.GetSchema(), com::Bstr(),
                      settings_.UnifyTable.get(), entry)
      .Ignore();
  return !entry;
}

Result<bool> CQueryEngine::UnifiesUnchanged(const ResultPart& answer, const DataSourceDefinition& def) {
  if (!answer.IsText() || !answer.inResponse || answer.element.tag != CKeywordTable::Instance()[KW_TABLE].View())
    return false;
  if (!EnsureUnifyTable()) return Status(QS_E_UNIFICATION_EXCEPTION);
  // The key GetResultTableName gives: the table's name after its first '.'.
  com::Bstr table;
  if (const auto& name = answer.element.name) {
    const std::u16string_view whole(*name);
    const size_t dot = whole.find(u'.');
    table = com::Bstr(dot == std::u16string_view::npos ? whole : whole.substr(dot + 1));
  }
  const UnifyTableEntry* entry = nullptr;
  FindUnifyTableEntry(def.GetProvider(), def.GetDataSource(), def.GetInitialCatalog(), def.GetSchema(), table,
                      settings_.UnifyTable.get(), entry)
      .Ignore();
  return !entry;
}

Result<ResultPart> CQueryEngine::AskOnlySource(const com::Bstr& queryText, const DataSourceDefinition& def,
                                               bool append) {
  ResultPart answer;
  if (streaming_ && AnswersUnchanged(def, append)) {
    // An accessor that streams answers one table, which nothing below
    // changes (the unify step without a rule copies a lone table).
    QUOR_ASSIGN_OR_RETURN(answer, AskSourceStreaming(queryText, def));
    if (streaming_->Started()) return answer;
  } else {
    QUOR_ASSIGN_OR_RETURN(answer, AskSourcePart(queryText, def));
  }
  if (!answer || append) return answer;
  QUOR_ASSIGN_OR_RETURN(const bool unchanged, UnifiesUnchanged(answer, def));
  if (unchanged) return answer;
  xml::NodePtr accumulated;
  const DataSourceDefinition* startDef = nullptr;
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr node, answer.Node());
  QUOR_RETURN_IF_ERROR(Accumulate(node, def, false, accumulated, startDef));
  if (!accumulated) return ResultPart(node);
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr response, detail::AsResponse(accumulated));
  return ResultPart(response);
}

Status CQueryEngine::Accumulate(const xml::NodePtr& answer, const DataSourceDefinition& def, bool append,
                                xml::NodePtr& accumulated, const DataSourceDefinition*& startDef) {
  if (append) {
    if (!accumulated) {
      accumulated = answer;
    } else {
      QUOR_RETURN_IF_ERROR(HoldTrees(answer->Footprint()));
      QUOR_RETURN_IF_ERROR(CopyXmlTreeWithText(accumulated, answer).status());  // names that differ: as it was
    }
    return Status();
  }
  // The answer first comes into the unified vocabulary, then joins the
  // answers so far. A step with nothing to give leaves them as they are.
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr unified, Unify(answer, nullptr, &def, nullptr));
  if (!unified) return Status();
  if (!accumulated) {
    accumulated = unified;
    startDef = &def;
    return Status();
  }
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr joined, Unify(accumulated, unified, startDef, &def));
  if (joined) accumulated = joined;
  return Status();
}

Result<xml::NodePtr> CQueryEngine::RunStatement(const xml::NodePtr& statement) {
  QUOR_ASSIGN_OR_RETURN(const ResultPart part, RunStatementPart(statement));
  return part.Node();
}

Result<ResultPart> CQueryEngine::RunStatementPart(const xml::NodePtr& statement) {
  if (!statement) return Status(QS_E_QUERY_ARG_INVALID);
  detail::SourceKeys keys;
  bool append = false, direct = false;
  for (xml::NodePtr child = statement->firstChild(); child; child = child->nextSibling()) {
    if (Named(child, KW_PROVIDER)) keys.provider = child->text();
    else if (Named(child, KW_DSN)) keys.dsn = child->text();
    else if (Named(child, KW_CATALOG)) keys.catalog = child->text();
    else if (Named(child, KW_SCHEMA_LC)) keys.schema = child->text();
    else if (Named(child, KW_COLUMN) || Named(child, KW_NOUNIFY)) append = true;
    else if (Named(child, KW_SQL)) {
      const xml::NodePtr verb = child->firstChild();
      if (!verb) return Status(QS_E_QUERY_ARG_INVALID);
      if (Named(verb, KW_EXEC)) {
        append = true;
      } else if (!Named(verb, KW_SELECT)) {
        append = direct = true;
      }
    }
  }

  const com::Bstr queryText = com::Bstr::FromUtf8(statement->xml());
  if (direct) {
    // A change goes whole to the default accessor with every configured
    // source; the accessor picks the ones it names.
    const std::shared_ptr<const com::Bstr> config = settings_.ConfigText;
    if (!config) return Status(QS_E_CONFIG_NOT_EXIST);
    return AskAccessorPart(queryText, *config, defaultProgID_.View(), defaultMethod_.View());
  }

  std::vector<const DataSourceDefinition*> serving;
  for (const auto& def : settings_.QueryDataSources)
    if (detail::Serves(*def, keys)) serving.push_back(def.get());
  if (serving.empty() && !keys.provider.empty()) return Status(QS_E_QUERY_ARG_INVALID);
  if (serving.size() == 1) return AskOnlySource(queryText, *serving.front(), append);

  if (!append) {
    Side accumulated, last;
    const DataSourceDefinition* startDef = nullptr;
    for (const DataSourceDefinition* def : serving) {
      QUOR_ASSIGN_OR_RETURN(last, AskSourceSide(queryText, *def));
      if (!last) return ResultPart();
      QUOR_RETURN_IF_ERROR(AccumulateSide(last, *def, accumulated, startDef));
    }
    if (!accumulated) return PartOf(last);
    QUOR_ASSIGN_OR_RETURN(const Side response, AsResponse(accumulated));
    return PartOf(response);
  }

  xml::NodePtr accumulated;  // R
  xml::NodePtr last;         // N
  const DataSourceDefinition* startDef = nullptr;
  for (const DataSourceDefinition* def : serving) {
    QUOR_ASSIGN_OR_RETURN(last, AskSource(queryText, *def));
    if (!last) return ResultPart();
    QUOR_RETURN_IF_ERROR(Accumulate(last, *def, append, accumulated, startDef));
  }
  if (!accumulated) return ResultPart(last);
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr response, detail::AsResponse(accumulated));
  return ResultPart(response);
}

}  // namespace quor::core
