// Which unify rule governs a partial result.
#include "core/query/QueryEngine.h"

namespace quor::core {
namespace {

bool Equal(const com::Bstr& a, const com::Bstr& b) { return !a.IsNull() && !b.IsNull() && a.View() == b.View(); }

// The entry's first pattern name begins the key; an empty name begins any.
bool PatternFits(const UnifyTableEntry& entry, const com::Bstr& key) {
  const com::Bstr pattern = entry.GetPattern();
  return !pattern.IsNull() && key.View().starts_with(pattern.View());
}

}  // namespace

HRESULT CQueryEngine::FindUnifyTableEntry(const com::Bstr& provider, const com::Bstr& dataSource,
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
  return S_OK;
}

}  // namespace quor::core
