// Unification: which unify rule governs a partial result, and one step that
// brings up to two partial results into a common vocabulary and merges them.
#include <new>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "core/query/QueryEngine.h"
#include "core/query/QueryEngine_Detail.h"
#include "core/query/ResultRewriter.h"
#include "core/query/UnifyMerger.h"

namespace quor::core {
namespace {

using detail::Kw;

bool Equal(const com::Bstr& a, const com::Bstr& b) { return !a.IsNull() && !b.IsNull() && a.View() == b.View(); }

// The entry's first pattern name begins the key; an empty name begins any.
bool PatternFits(const UnifyTableEntry& entry, const com::Bstr& key) {
  const com::Bstr pattern = entry.GetPattern();
  return !pattern.IsNull() && key.View().starts_with(pattern.View());
}

bool IsResponse(const xml::NodePtr& node) {
  return xml::IsElement(node, Kw(KW_RESPONSE));
}

}  // namespace

Status CQueryEngine::FindUnifyTableEntry(const com::Bstr& provider, const com::Bstr& dataSource,
                                         const com::Bstr& catalog, const com::Bstr& schema, const com::Bstr& key,
                                         const UnifyTableEntry* first, const UnifyTableEntry*& entry) {
  entry = nullptr;
  const bool where = !catalog.IsNull() || !schema.IsNull();
  const bool keyed = !key.IsNull();
  for (const UnifyTableEntry* candidate = first; candidate; candidate = candidate->GetNextRule()) {
    if (!Equal(candidate->GetProvider(), provider) || !Equal(candidate->GetDataSource(), dataSource)) continue;
    if (where && !Equal(candidate->GetCatalog(), catalog) && !Equal(candidate->GetSchema(), schema)) continue;
    if (keyed && !PatternFits(*candidate, key)) continue;
    entry = candidate;
    break;
  }
  return Status();
}

com::Bstr CQueryEngine::GetResultTableName(const xml::NodePtr& result) {
  const xml::NodePtr table = result ? result->firstChild() : nullptr;
  if (!table || table->nodeType() != xml::NodeType::Element || table->nodeName() != Kw(KW_TABLE)) return {};
  const std::optional<std::string> name = table->getAttribute(Kw(KW_NAME));
  if (!name) return {};
  return com::Bstr::FromUtf8(CResultRewriter::StripTableQualifier(*name));
}

bool CQueryEngine::EnsureUnifyTable() {
  if (!settings_.UnifierDocument && !settings_.LoadUnifierDirectory().ok()) return false;
  if (!settings_.UnifyTable && !settings_.BuildUnifyTable(settings_.UnifierDocument).ok()) return false;
  return true;
}

Result<xml::NodePtr> CQueryEngine::Unify(const xml::NodePtr& first, const xml::NodePtr& second,
                                         const DataSourceDefinition* firstDef, const DataSourceDefinition* secondDef) {
  if (!EnsureUnifyTable()) return Status(QS_E_UNIFICATION_EXCEPTION);
  const auto entryOf = [&](const xml::NodePtr& result, const DataSourceDefinition* def) -> const UnifyTableEntry* {
    if (!def || !result) return nullptr;
    const UnifyTableEntry* entry = nullptr;
    FindUnifyTableEntry(def->GetProvider(), def->GetDataSource(), def->GetInitialCatalog(), def->GetSchema(),
                        GetResultTableName(result), settings_.UnifyTable.get(), entry)
        .Ignore();
    return entry;
  };
  return UnifyResults(first, second, entryOf(first, firstDef), entryOf(second, secondDef));
}

namespace {

// One unification step; any failure of it is the caller's to name.
Result<xml::NodePtr> UnifyStep(const xml::NodePtr& first, const xml::NodePtr& second,
                               const UnifyTableEntry* firstEntry, const UnifyTableEntry* secondEntry) {
  const xml::DocumentPtr doc = xml::Document::Create();
  const xml::NodePtr response = doc->createElement(Kw(KW_RESPONSE));
  if (!response) return Status(E_FAIL);

  // Without a rule on either side two answers stay side by side.
  if (!firstEntry && !secondEntry && first && second) {
    for (const xml::NodePtr& side : {first, second}) {
      for (xml::NodePtr child = side->firstChild(); child; child = child->nextSibling()) {
        QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyXmlTree(child));
        if (!response->appendChild(copy)) return Status(E_FAIL);
      }
    }
    return response;
  }

  // A side that is not a "response" cannot be rewritten and goes as it is.
  const auto rewrite = [&](const xml::NodePtr& side, const UnifyTableEntry& entry) -> Result<xml::NodePtr> {
    if (!IsResponse(side)) return side;
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr rewritten, CResultRewriter(entry.GetUnify()).RewriteResponse(side, entry));
    if (!rewritten) return Status(QS_E_UNIFICATION_EXCEPTION);
    return rewritten;
  };
  xml::NodePtr left = first, right = second;
  const UnifyTableEntry* kindEntry = firstEntry ? firstEntry : secondEntry;
  if (firstEntry && !secondEntry) {
    QUOR_ASSIGN_OR_RETURN(left, rewrite(first, *firstEntry));
  } else if (!firstEntry && secondEntry) {
    if (second) {
      QUOR_ASSIGN_OR_RETURN(right, rewrite(second, *secondEntry));
    } else {
      right = nullptr;
    }
  } else if (!firstEntry && !secondEntry) {
    left = first ? first : second;
    right = nullptr;
  }
  if (!left && !right) return response;

  CUnifyMerger merger;
  if (kindEntry && !kindEntry->GetUnify().IsNull() && !kindEntry->GetUnify().Empty())
    merger.joinKind = kindEntry->GetUnify().ToUtf8();
  // An input without any response holds nothing to merge; only a DOM call
  // that broke fails the step (the merger's own answers leave the response
  // as it is).
  const Status merged = merger.Merge(left, right, response);
  if (!merged.ok() && merged.code() != QS_E_UNIFICATION_SOURCE_INVALID && merged.code() != E_OUTOFMEMORY)
    return merged;
  return response;
}

}  // namespace

Result<xml::NodePtr> CQueryEngine::UnifyResults(const xml::NodePtr& first, const xml::NodePtr& second,
                                                const UnifyTableEntry* firstEntry,
                                                const UnifyTableEntry* secondEntry) {
  try {
    // A step's result is about as large as what it joins.
    const uint64_t estimate = (first ? first->Footprint() : 0) + (second ? second->Footprint() : 0);
    QUOR_RETURN_IF_ERROR(HoldTrees(estimate));
    Result<xml::NodePtr> unified = UnifyStep(first, second, firstEntry, secondEntry);
    if (!unified.ok()) return Status(QS_E_UNIFICATION_EXCEPTION);
    QUOR_RETURN_IF_ERROR(HoldTreesInstead(estimate, *unified ? (*unified)->Footprint() : 0));
    return unified;
  } catch (const std::exception& e) {
    return Status(QS_E_UNIFICATION_EXCEPTION, e.what());
  }
}

}  // namespace quor::core
