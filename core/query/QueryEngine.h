// The engine behind the Query operation: one object per call, working on the
// process-wide settings (definitions, unify table, transformer definitions).
// It translates the request into a statement document, sends each statement
// to the accessors of the data sources it names, unifies or joins their
// answers, runs the transformers a statement asks for, and answers one
// "root" element.
#pragma once

#include "core/DataSourceDefinition.h"
#include "core/ServiceConfig.h"
#include "core/UnifyTable.h"
#include "core/query/CompactResult.h"
#include "core/query/QueryStream.h"
#include "core/query/ResultText.h"
#include "platform/com/bstr.h"
#include "platform/com/callcontext.h"
#include "platform/com/hresult.h"
#include "platform/com/memory_budget.h"
#include "platform/com/status.h"
#include "platform/xml/dom.h"

namespace quor::core {

class CQueryEngine {
 public:
  explicit CQueryEngine(CServiceConfig& settings) : settings_(settings) {}
  virtual ~CQueryEngine() = default;
  CQueryEngine(const CQueryEngine&) = delete;
  CQueryEngine& operator=(const CQueryEngine&) = delete;

  // ---- The call (QueryEngine.cpp) -------------------------------------------
  // Loads what the process has not loaded yet (config, unifier and transform
  // folders, the unify table, settings values) and takes the default
  // accessor binding.
  Status Init();
  // Answers `queryText` in `result` (null on failure). No failure escapes:
  // a broken document or component call becomes a status. With a `stream`,
  // a query of one statement on one source whose answer nothing changes
  // sends it there while the accessor reads its rows (`result` stays null
  // once it has); the text is the one `result` would hold.
  Status Execute(const com::Bstr& queryText, com::Bstr& result, com::ResultSink* stream = nullptr);
  // Parses the request and translates it into the statement document.
  Status LoadQuery(const com::Bstr& queryText, const xml::DocumentPtr& target);

  // ---- Statement dispatch (QueryEngine_Dispatch.cpp) ------------------------
  Status DispatchQuery(const xml::DocumentPtr& document, com::Bstr& result, com::ResultSink* stream = nullptr);
  // Sends an element that is no statement (a write transaction) whole to the
  // default accessor with the first configuration.
  Result<xml::NodePtr> ForwardQueryElement(const xml::NodePtr& element);
  Status StoreResult(const ResultPart& result);

  // ---- One statement on the sources it names (QueryEngine_Run.cpp) ----------
  Result<xml::NodePtr> RunStatement(const xml::NodePtr& statement);
  // The same as a part: an answer nothing changes stays the accessor's text.
  Result<ResultPart> RunStatementPart(const xml::NodePtr& statement);

  // ---- Statements of several substatements (QueryEngine_Multi.cpp) ----------
  Result<xml::NodePtr> RunMultiSourceStatement(const xml::NodePtr& statement);
  Result<ResultPart> RunMultiSourceStatementPart(const xml::NodePtr& statement);
  xml::NodePtr JoinResults(const xml::NodePtr& first, const xml::NodePtr& second, const DataSourceDefinition* firstDef,
                           const DataSourceDefinition* secondDef);
  xml::NodePtr MergeWithoutRule(const xml::NodePtr& first, const xml::NodePtr& second,
                                const DataSourceDefinition* firstDef);
  // The "name" of the result's first child when that is a "table", after
  // its first '.'; null otherwise.
  static com::Bstr GetResultTableName(const xml::NodePtr& result);
  static Status FindUnifyDestination(const DataSourceDefinition* source, const DataSourceDefinition* destination,
                                     const com::Bstr& sourceTable, const com::Bstr& destinationTable,
                                     const UnifyTableEntry* first, const UnifyTableEntry*& entry);

  // ---- Listings (QueryEngine_Listings.cpp) -----------------------------------
  Result<xml::NodePtr> ListProviders(const xml::NodePtr& element);
  Result<xml::NodePtr> ListDataSources(const xml::NodePtr& element);
  Result<xml::NodePtr> ListCatalogs(const xml::NodePtr& element);
  Result<xml::NodePtr> ListTables(const xml::NodePtr& element);
  Result<xml::NodePtr> ListTransformers(const xml::NodePtr& element);
  static bool IsAlreadyListed(const xml::NodePtr& response, std::string_view value);

  // ---- Unification (QueryEngine_Unify.cpp) ----------------------------------
  // The unify rule that governs a partial result: the first entry of the
  // list from `first` on whose provider and data source equal the given ones
  // and, as far as they are given, whose catalog (or else schema) equals
  // `catalog` (or `schema`) and whose first pattern name begins `key`. All
  // comparisons are exact; an absent value equals nothing. Always success;
  // `entry` is none when nothing fits.
  static Status FindUnifyTableEntry(const com::Bstr& provider, const com::Bstr& dataSource, const com::Bstr& catalog,
                                    const com::Bstr& schema, const com::Bstr& key, const UnifyTableEntry* first,
                                    const UnifyTableEntry*& entry);
  // One unification step over up to two partial results, each with the
  // definition that produced it: a new "response" element; 0x8100000F when
  // the unify table cannot be loaded or the step failed otherwise (a join
  // that broke).
  Result<xml::NodePtr> Unify(const xml::NodePtr& first, const xml::NodePtr& second,
                             const DataSourceDefinition* firstDef, const DataSourceDefinition* secondDef);
  Result<xml::NodePtr> UnifyResults(const xml::NodePtr& first, const xml::NodePtr& second,
                                    const UnifyTableEntry* firstEntry, const UnifyTableEntry* secondEntry);

  const com::Bstr& DefaultAccessorProgID() const { return defaultProgID_; }
  const com::Bstr& DefaultAccessorMethod() const { return defaultMethod_; }
  CServiceConfig& Settings() const { return settings_; }

 private:
  // Loads the unifier folder and builds the unify table when missing.
  bool EnsureUnifyTable();
  // JoinResults and MergeWithoutRule with what became of the step: none
  // also when it had nothing to give, 0x8100000F when it broke.
  Result<xml::NodePtr> JoinWithStatus(const xml::NodePtr& first, const xml::NodePtr& second,
                                      const DataSourceDefinition* firstDef, const DataSourceDefinition* secondDef);
  Result<xml::NodePtr> MergeWithoutRuleWithStatus(const xml::NodePtr& first, const xml::NodePtr& second,
                                                  const DataSourceDefinition* firstDef);

  // The answer of an accessor to `queryText`, parsed, as a "response"; the
  // status when the call failed or the answer is no XML.
  Result<xml::NodePtr> AskAccessor(const com::Bstr& queryText, const com::Bstr& configText,
                                   std::u16string_view progID, std::u16string_view method);
  // The same as a part: the answer's text when it is a written element.
  Result<ResultPart> AskAccessorPart(const com::Bstr& queryText, const com::Bstr& configText,
                                     std::u16string_view progID, std::u16string_view method);
  // An accessor's answer parsed, as a "response"; QS_E_XML_LOAD_FAILED when
  // it is no XML.
  Result<xml::NodePtr> ParseAnswer(const com::Bstr& answer);
  // The same from the accessor `def` names (else the default one) with its
  // configuration.
  Result<xml::NodePtr> AskSource(const com::Bstr& queryText, const DataSourceDefinition& def);
  Result<ResultPart> AskSourcePart(const com::Bstr& queryText, const DataSourceDefinition& def);
  // The result of a statement that `def` alone serves: its answer as it
  // stands when nothing would change it (appended, or a lone table that no
  // unify rule governs), else its answer through the unify step.
  Result<ResultPart> AskOnlySource(const com::Bstr& queryText, const DataSourceDefinition& def, bool append);
  // Whether the unify step would give a text part back unchanged: a table in
  // a "response" of its own that no unify rule of `def` governs.
  // 0x8100000F when the unify table cannot be loaded.
  Result<bool> UnifiesUnchanged(const ResultPart& answer, const DataSourceDefinition& def);
  // Whether an answer of `def` alone that is one "response" holding one
  // table reaches the result as it stands, whatever its table: appended, or
  // no unify rule of `def` governs any table. False when the unify table
  // cannot be loaded (the whole answer then fails as it does).
  bool AnswersUnchanged(const DataSourceDefinition& def, bool append);
  // AskSourcePart with the accessor given `streaming_` to write its answer
  // to. Once it has, the rest has gone out too and the part is an empty
  // text standing for it.
  Result<ResultPart> AskSourceStreaming(const com::Bstr& queryText, const DataSourceDefinition& def);
  // The part an accessor's answer text gives (AskAccessorPart after the call).
  Result<ResultPart> AnswerPart(com::Bstr& answer);
  // Brings one more answer of `def` into `accumulated`: appended, or brought
  // into the unified vocabulary and joined with the answers so far (`startDef`
  // served the first of them). The status of a step that broke.
  Status Accumulate(const xml::NodePtr& answer, const DataSourceDefinition& def, bool append,
                    xml::NodePtr& accumulated, const DataSourceDefinition*& startDef);

  // Reserves `more` for the trees the call makes (parsed answers, unify and
  // merge steps) in its memory account. They add up and none is given back
  // before the engine goes: the call may hold every one of them at once.
  Status HoldTrees(uint64_t more);
  // Replaces an estimate reserved before a tree was made by what it holds.
  Status HoldTreesInstead(uint64_t estimate, uint64_t exact);

  // ---- Results held as compact tables (QueryEngine_Compact.cpp) -----------
  // A partial result on the way through a statement: compact tables, or a
  // tree where an answer is of a shape they do not hold.
  struct Side {
    std::shared_ptr<const compact::Response> compact;
    xml::NodePtr node;
    explicit operator bool() const { return compact || node; }
  };
  // A statement of substatements in unify mode throughout, over Sides.
  Result<ResultPart> RunCompactStatement(const xml::NodePtr& statement);
  // The answer of `def`'s accessor, read into compact tables as it comes.
  Result<Side> AskSourceSide(const com::Bstr& queryText, const DataSourceDefinition& def);
  Result<xml::NodePtr> NodeOf(const Side& side);
  Result<Side> AsResponse(const Side& side);
  ResultPart PartOf(const Side& side) const;
  com::Bstr ResultTableName(const Side& side) const;
  Status AccumulateSide(const Side& answer, const DataSourceDefinition& def, Side& accumulated,
                        const DataSourceDefinition*& startDef);
  Result<Side> UnifySide(const Side& first, const Side& second, const DataSourceDefinition* firstDef,
                         const DataSourceDefinition* secondDef);
  Result<Side> UnifyResultsSide(const Side& first, const Side& second, const UnifyTableEntry* firstEntry,
                                const UnifyTableEntry* secondEntry);
  Result<Side> JoinSides(const Side& first, const Side& second, const DataSourceDefinition* firstDef,
                         const DataSourceDefinition* secondDef);
  Result<Side> MergeWithoutRuleSide(const Side& first, const Side& second, const DataSourceDefinition* firstDef);
  // Reserves for compact tables; a refusal is kept to stand for the step
  // it broke.
  compact::Hold CompactHold();
  // A compact step that failed: the refusal of memory behind it, or the
  // failure of a unify step.
  Status CompactFailure(const Status& failed) const;

  CServiceConfig& settings_;
  com::MemoryHold trees_;
  std::shared_ptr<compact::Heads> heads_ = std::make_shared<compact::Heads>();
  Status refused_;
  uint64_t treeBytes_ = 0;
  com::Bstr defaultMethod_;
  com::Bstr defaultProgID_;
  // The answer's stream while the one statement whose answer may stream
  // runs (DispatchQuery); null otherwise.
  QueryStream* streaming_ = nullptr;
};

}  // namespace quor::core
