// Statements of several substatements, each on the data sources it names:
// one partial result per substatement, joined left to right by the unify
// rules (a destination that maps one table onto the other) or merged by the
// first side's join kind.
#include <memory>
#include <string>
#include <vector>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "core/query/AccessorCall.h"
#include "core/query/QueryEngine.h"
#include "core/query/QueryEngine_Detail.h"
#include "core/query/UnifyMerger.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

using detail::Kw;
using detail::Named;
using detail::SameNoCase;

// Unify-table keys compare exactly: equal only when both are there.
bool PresentAndEqual(const com::Bstr& a, const com::Bstr& b) {
  return !a.IsNull() && !b.IsNull() && a.View() == b.View();
}
bool AbsentOrEqual(const com::Bstr& a, const com::Bstr& b) {
  return (a.IsNull() && b.IsNull()) || PresentAndEqual(a, b);
}

// The keys one substatement names. Each substatement stands on its own
// keys: a later one that names no catalog is not bound to an earlier one's.
struct SubstatementKeys : detail::SourceKeys {
  // A provider and a catalog: the first fitting definition alone serves.
  bool SingleSource() const { return !provider.empty() && !catalog.empty(); }
};

// A document holding a copy of `node`, so that the caller's tree is not
// touched; null when the copy cannot be placed.
xml::DocumentPtr DocumentOf(const xml::NodePtr& node) {
  const xml::DocumentPtr doc = xml::Document::Create();
  const xml::NodePtr copy = node->cloneNode(true);
  if (!copy || !doc->appendChild(copy)) return nullptr;
  return doc;
}

// Whether no substatement from `part` on turns the statement to appending
// or to sending changes whole (nor is malformed so): it unifies throughout.
bool UnifiesThroughout(xml::NodePtr part) {
  for (; Named(part, KW_SUBSTATEMENT); part = part->nextSibling())
    for (xml::NodePtr child = part->firstChild(); child; child = child->nextSibling()) {
      if (Named(child, KW_COLUMN) || Named(child, KW_VIEW) || Named(child, KW_ALIAS) || Named(child, KW_SYNONYM) ||
          Named(child, KW_PROCEDURE) || Named(child, KW_NOUNIFY))
        return false;
      if (Named(child, KW_SQL) && !Named(child->firstChild(), KW_SELECT)) return false;
    }
  return true;
}

}  // namespace

Result<xml::NodePtr> CQueryEngine::RunMultiSourceStatement(const xml::NodePtr& statement) {
  QUOR_ASSIGN_OR_RETURN(const ResultPart part, RunMultiSourceStatementPart(statement));
  return part.Node();
}

Result<ResultPart> CQueryEngine::RunMultiSourceStatementPart(const xml::NodePtr& statement) {
  try {
    xml::NodePtr part = statement ? statement->firstChild() : nullptr;
    if (!Named(part, KW_SUBSTATEMENT)) return Status(QS_E_QUERY_ARG_INVALID);
    // A lone substatement joins with nothing: an answer nothing changes
    // can stay the accessor's text.
    const bool alone = !Named(part->nextSibling(), KW_SUBSTATEMENT);
    if (UnifiesThroughout(part)) return RunCompactStatement(statement);

    // Modes, once set, hold for the rest of the statement.
    bool append = false;
    bool direct = false;
    ResultPart joined;                               // R
    const DataSourceDefinition* firstDef = nullptr;  // started the first result, in unify mode

    for (; Named(part, KW_SUBSTATEMENT); part = part->nextSibling()) {
      SubstatementKeys keys;
      for (xml::NodePtr child = part->firstChild(); child; child = child->nextSibling()) {
        if (Named(child, KW_PROVIDER)) keys.provider = child->text();
        else if (Named(child, KW_DSN)) keys.dsn = child->text();
        else if (Named(child, KW_CATALOG)) keys.catalog = child->text();
        else if (Named(child, KW_SCHEMA_LC)) keys.schema = child->text();
        else if (Named(child, KW_COLUMN) || Named(child, KW_VIEW) || Named(child, KW_ALIAS) ||
                 Named(child, KW_SYNONYM) || Named(child, KW_PROCEDURE) || Named(child, KW_NOUNIFY))
          append = true;
        else if (Named(child, KW_SQL)) {
          const xml::NodePtr verb = child->firstChild();
          if (!verb) return Status(QS_E_QUERY_ARG_INVALID);
          if (!Named(verb, KW_SELECT)) append = direct = true;
        }
      }
      const com::Bstr queryText = com::Bstr::FromUtf8(part->xml());

      ResultPart accumulated;                          // A
      const DataSourceDefinition* startDef = nullptr;  // started A
      const DataSourceDefinition* laterDef = nullptr;  // served this substatement by its catalog
      if (direct) {
        // A change goes whole to the default accessor with every configured
        // source; the accessor picks the ones it names.
        const std::shared_ptr<const com::Bstr> config = settings_.ConfigText;
        if (!config) return Status(QS_E_CONFIG_NOT_EXIST);
        if (alone) {
          QUOR_ASSIGN_OR_RETURN(accumulated,
                                AskAccessorPart(queryText, *config, defaultProgID_.View(), defaultMethod_.View()));
        } else {
          QUOR_ASSIGN_OR_RETURN(accumulated.node,
                                AskAccessor(queryText, *config, defaultProgID_.View(), defaultMethod_.View()));
        }
        if (!accumulated) return ResultPart();
      } else {
        std::vector<const DataSourceDefinition*> serving;
        for (const auto& def : settings_.QueryDataSources) {
          if (!detail::Serves(*def, keys)) continue;
          serving.push_back(def.get());
          // The one definition the catalog names answers alone.
          if (keys.SingleSource()) break;
        }
        if (alone && serving.size() == 1) {
          QUOR_ASSIGN_OR_RETURN(accumulated,
                                AskOnlySource(queryText, *serving.front(), append || keys.SingleSource()));
        } else {
          xml::NodePtr nodes;
          for (const DataSourceDefinition* def : serving) {
            QUOR_ASSIGN_OR_RETURN(const xml::NodePtr answer, AskSource(queryText, *def));
            if (!answer) return ResultPart();
            if (keys.SingleSource()) {
              nodes = answer;
              startDef = def;
              if (!append) laterDef = def;
              break;
            }
            QUOR_RETURN_IF_ERROR(Accumulate(answer, *def, append, nodes, startDef));
          }
          accumulated = ResultPart(nodes);
        }
      }
      if (!accumulated) continue;

      if (!joined) {
        if (accumulated.IsText()) {
          joined = std::move(accumulated);
        } else {
          QUOR_ASSIGN_OR_RETURN(joined.node, detail::AsResponse(accumulated.node));
        }
        firstDef = append || direct ? nullptr : startDef;
        continue;
      }
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr joinedNode, joined.Node());
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr accumulatedNode, accumulated.Node());
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr later, detail::AsResponse(accumulatedNode));
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr both, JoinWithStatus(joinedNode, later, firstDef, laterDef));
      if (both) joined = ResultPart(both);
    }
    return joined;
  } catch (const std::exception& e) {
    return Status(QS_E_QUERY_EXECUTE_EXCEPTION, e.what());
  }
}

xml::NodePtr CQueryEngine::JoinResults(const xml::NodePtr& first, const xml::NodePtr& second,
                                       const DataSourceDefinition* firstDef, const DataSourceDefinition* secondDef) {
  Result<xml::NodePtr> joined = JoinWithStatus(first, second, firstDef, secondDef);
  return joined.ok() ? std::move(joined).value() : nullptr;
}

Result<xml::NodePtr> CQueryEngine::JoinWithStatus(const xml::NodePtr& first, const xml::NodePtr& second,
                                                  const DataSourceDefinition* firstDef,
                                                  const DataSourceDefinition* secondDef) {
  try {
    if (!EnsureUnifyTable()) return Status(QS_E_UNIFICATION_EXCEPTION);
    const UnifyTableEntry* table = settings_.UnifyTable.get();
    if (firstDef && secondDef) {
      // A destination that maps the first table onto the second unifies
      // them; without one they are merged by the first side's join kind.
      const UnifyTableEntry* entry = nullptr;
      FindUnifyDestination(firstDef, secondDef, GetResultTableName(first), GetResultTableName(second), table, entry)
          .Ignore();
      if (!entry) return MergeWithoutRuleWithStatus(first, second, firstDef);
      return UnifyResults(first, second, entry, nullptr);
    }
    const auto entryOf = [&](const xml::NodePtr& result, const DataSourceDefinition* def) -> const UnifyTableEntry* {
      if (!def) return nullptr;
      const UnifyTableEntry* entry = nullptr;
      FindUnifyTableEntry(def->GetProvider(), def->GetDataSource(), def->GetInitialCatalog(), def->GetSchema(),
                          GetResultTableName(result), table, entry)
          .Ignore();
      return entry;
    };
    return UnifyResults(first, second, entryOf(first, firstDef), entryOf(second, secondDef));
  } catch (const std::exception& e) {
    return Status(QS_E_UNIFICATION_EXCEPTION, e.what());
  }
}

xml::NodePtr CQueryEngine::MergeWithoutRule(const xml::NodePtr& first, const xml::NodePtr& second,
                                            const DataSourceDefinition* firstDef) {
  Result<xml::NodePtr> merged = MergeWithoutRuleWithStatus(first, second, firstDef);
  return merged.ok() ? std::move(merged).value() : nullptr;
}

Result<xml::NodePtr> CQueryEngine::MergeWithoutRuleWithStatus(const xml::NodePtr& first, const xml::NodePtr& second,
                                                              const DataSourceDefinition* firstDef) {
  try {
    if (!EnsureUnifyTable()) return Status(QS_E_UNIFICATION_EXCEPTION);
    if (!first && !second) return xml::NodePtr();

    CUnifyMerger merger;
    if (firstDef) {
      const UnifyTableEntry* entry = nullptr;
      FindUnifyTableEntry(firstDef->GetProvider(), firstDef->GetDataSource(), firstDef->GetInitialCatalog(),
                          firstDef->GetSchema(), GetResultTableName(first), settings_.UnifyTable.get(), entry)
          .Ignore();
      if (entry && !entry->GetUnify().IsNull() && !entry->GetUnify().Empty())
        merger.joinKind = entry->GetUnify().ToUtf8();
    }

    // Both sides are merged as copies: the caller keeps its results whole
    // whatever the merge does. The copies and the result, about as large as
    // the two sides, are held at once.
    const uint64_t sides = (first ? first->Footprint() : 0) + (second ? second->Footprint() : 0);
    QUOR_RETURN_IF_ERROR(HoldTrees(2 * sides));
    const xml::DocumentPtr output = xml::Document::Create();
    const xml::DocumentPtr left = first ? DocumentOf(first) : nullptr;
    const xml::DocumentPtr right = second ? DocumentOf(second) : nullptr;
    if ((first && !left) || (second && !right)) return Status(QS_E_UNIFICATION_EXCEPTION);
    const Status merged = left && right ? merger.MergeDocuments(left, right, output)
                                        : merger.MergeDocuments(left ? left : right, nullptr, output);
    if (!merged.ok()) return Status(QS_E_UNIFICATION_EXCEPTION);
    QUOR_RETURN_IF_ERROR(HoldTreesInstead(2 * sides, output->Footprint()));
    return output->firstChild();
  } catch (const std::exception& e) {
    return Status(QS_E_UNIFICATION_EXCEPTION, e.what());
  }
}

Status CQueryEngine::FindUnifyDestination(const DataSourceDefinition* source, const DataSourceDefinition* destination,
                                          const com::Bstr& sourceTable, const com::Bstr& destinationTable,
                                          const UnifyTableEntry* first, const UnifyTableEntry*& entry) {
  entry = nullptr;
  if (!source) return Status();  // no provider to match

  const UnifyTableEntry* rule = first;
  for (; rule; rule = rule->GetNextRule()) {
    if (!PresentAndEqual(source->GetProvider(), rule->GetProvider())) continue;
    if (!PresentAndEqual(source->GetDataSource(), rule->GetDataSource())) continue;
    if (!AbsentOrEqual(source->GetInitialCatalog(), rule->GetCatalog())) continue;
    if (!AbsentOrEqual(source->GetSchema(), rule->GetSchema())) continue;
    const com::Bstr pattern = rule->GetPattern();
    if (pattern.IsNull() || sourceTable.IsNull() || !sourceTable.View().starts_with(pattern.View())) continue;
    break;
  }
  if (!rule) return Status();

  entry = rule;
  if (!destination) return Status();
  for (const UnifyTableEntry* target = rule->GetNextDestination(); target; target = target->GetNextDestination()) {
    if (!PresentAndEqual(target->GetDestinationProvider(), destination->GetProvider())) continue;
    if (!PresentAndEqual(target->GetDestinationDsn(), destination->GetDataSource())) continue;
    if (!AbsentOrEqual(target->GetDestinationCatalog(), destination->GetInitialCatalog())) continue;
    if (!AbsentOrEqual(target->GetDestinationSchema(), destination->GetSchema())) continue;
    if (!PresentAndEqual(target->GetDestinationTable(), destinationTable)) continue;
    entry = target;
    break;
  }
  return Status();
}

}  // namespace quor::core
