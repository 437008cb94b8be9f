// The merge object's fields, the join kind of a table pair and the merged
// column list the joins work from.
#include "core/query/UnifyMerger.h"

#include <algorithm>
#include <array>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"

namespace quor::core {
namespace {

constexpr std::array<KeywordIndex, kJoinKindCount> kJoinKeywords = {
    KW_FULL_OUTER_JOIN, KW_LEFT_OUTER_JOIN, KW_RIGHT_OUTER_JOIN, KW_CROSS_JOIN,     KW_UNION_JOIN,
    KW_LEFT_INNER_JOIN, KW_RIGHT_INNER_JOIN, KW_MAX_INNER_JOIN,  KW_MIN_INNER_JOIN, KW_EQUIV_JOIN,
};

std::string_view Kw(KeywordIndex index) { return CKeywordTable::Instance().Narrow(index); }

// Join texts come from configuration files written by hand, so letter case
// does not count; only ASCII letters fold (the texts are ASCII).
bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  const auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::ranges::equal(a, b, [&](char x, char y) { return fold(x) == fold(y); });
}

}  // namespace

std::optional<JoinKind> JoinKindNamed(std::string_view text) {
  for (int i = 0; i < kJoinKindCount; ++i)
    if (EqualsIgnoringCase(text, Kw(kJoinKeywords[i]))) return static_cast<JoinKind>(i);
  return std::nullopt;
}

std::string_view JoinKindText(JoinKind kind) {
  const int index = static_cast<int>(kind);
  if (index < 0 || index >= kJoinKindCount) return Kw(KW_FULL_OUTER_JOIN);
  return Kw(kJoinKeywords[index]);
}

bool ContainsColumnName(std::span<const MergeColumn> entries, std::string_view name) {
  return std::ranges::any_of(entries, [&](const MergeColumn& e) { return e.name && *e.name == name; });
}

CUnifyMerger::CUnifyMerger() : joinKind(Kw(KW_FULL_OUTER_JOIN)) {}

CUnifyMerger::~CUnifyMerger() {
  keyColumn.reset();
  FreeColumnList().Ignore();
  FreeEquivalentColumns().Ignore();
}

Result<xml::NodePtr> CUnifyMerger::NewElement(const xml::DocumentPtr& document, std::string_view name) {
  if (!document) return Status(E_POINTER);
  auto element = document->createElement(name);
  if (!element) return Status(E_FAIL);
  return element;
}

Status CUnifyMerger::Append(const xml::NodePtr& parent, const xml::NodePtr& child) {
  if (!parent || !child) return Status(E_POINTER);
  if (!parent->appendChild(child)) return Status(E_FAIL);
  return Status();
}

JoinKind CUnifyMerger::GetJoinKind(const xml::NodePtr& table) const {
  if (!xml::IsElement(table, Kw(KW_TABLE))) return JoinKind::FullOuter;
  const auto unify = table->getAttribute(Kw(KW_UNIFY));
  if (!unify) return JoinKind::FullOuter;
  if (auto kind = JoinKindNamed(*unify)) return *kind;
  return JoinKindNamed(joinKind).value_or(JoinKind::FullOuter);
}

Status CUnifyMerger::BuildColumnList(const xml::NodePtr& first, const xml::NodePtr& second) {
  FreeColumnList().Ignore();
  if (!first || !second) return Status(QS_E_UNIFICATION_SOURCE_INVALID);
  const std::string_view nameAttr = Kw(KW_NAME);
  const std::string_view typeAttr = Kw(KW_TYPE);
  const std::string_view recordTag = Kw(KW_RECORD);
  const std::string_view columnTag = Kw(KW_COLUMN);

  // The list always ends with the entry being filled; an empty last entry is
  // dropped at the end.
  columns.emplace_back();
  const auto read = [&](const xml::NodePtr& column, MergeColumn& into) {
    for (const auto& attribute : column->attributes()) {
      if (attribute.name == nameAttr) into.name = attribute.value;
      else if (attribute.name == typeAttr) into.type = attribute.value;
    }
  };

  if (const auto record = first->firstChild()) {
    if (!xml::IsElement(record, recordTag)) return Status(QS_E_UNIFICATION_SOURCE_INVALID);
    for (auto column = record->firstChild(); column; column = column->nextSibling()) {
      if (!xml::IsElement(column, columnTag)) return Status(QS_E_UNIFICATION_SOURCE_INVALID);
      read(column, columns.back());
      columns.emplace_back();
    }
  }

  if (const auto record = second->firstChild()) {
    if (!xml::IsElement(record, recordTag)) return Status(QS_E_UNIFICATION_SOURCE_INVALID);
    for (auto column = record->firstChild(); column; column = column->nextSibling()) {
      if (!xml::IsElement(column, columnTag)) return Status(QS_E_UNIFICATION_SOURCE_INVALID);
      MergeColumn entry;
      read(column, entry);
      if (entry.name && IsKeyCandidate(*entry.name)) {
        keyColumn = entry.name;  // the key is listed once, on the first table's side
        continue;
      }
      // A merger kept for a later pair (a third source joining what two
      // gave) still pairs records on the key it chose: that pair's key
      // column is listed once too.
      if (entry.name && keyColumn && *entry.name == *keyColumn && ContainsColumnName(columns, *keyColumn)) continue;
      columns.back() = std::move(entry);
      columns.emplace_back();
    }
  }

  if (!columns.empty() && !columns.back().name && !columns.back().type) columns.pop_back();
  return Status();
}

bool CUnifyMerger::IsKeyCandidate(std::string_view name) const {
  // Only a name both tables carry can pair records. (A column of the second
  // table alone would be left out of the list and its values lost from the
  // records that only the second table has.)
  if (keyColumn) return false;
  return ContainsColumnName(columns, name);
}

void CUnifyMerger::ClearPresentFlags() {
  for (auto& entry : columns) entry.present = false;
}

Status CUnifyMerger::FreeColumnList() {
  columns.clear();
  return Status();
}

Status CUnifyMerger::FreeEquivalentColumns() {
  equivalentColumns.clear();
  return Status();
}

}  // namespace quor::core
