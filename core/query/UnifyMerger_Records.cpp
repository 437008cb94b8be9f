// Column copies, the record builders the joins put their output together
// with, the joined table's name and the equivalence join's matching.
#include "core/query/UnifyMerger.h"

#include <algorithm>
#include <vector>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"

namespace quor::core {
namespace {

std::string_view Kw(KeywordIndex index) { return CKeywordTable::Instance().Narrow(index); }

// Whether `node` is a "column" element named `name` (never for an empty name).
bool IsColumnCalled(const xml::NodePtr& node, std::string_view name) {
  if (name.empty() || !xml::IsElement(node, Kw(KW_COLUMN))) return false;
  const auto own = node->getAttribute(Kw(KW_NAME));
  return own && *own == name;
}

// The text of a record's first column called `key`: the record's key value.
std::optional<std::string> KeyValue(const xml::NodePtr& record, std::string_view key) {
  if (!record) return std::nullopt;
  for (auto child = record->firstChild(); child; child = child->nextSibling())
    if (IsColumnCalled(child, key)) return child->text();
  return std::nullopt;
}

// Whether some column of `record` called `key` holds `value` exactly.
bool HoldsKey(const xml::NodePtr& record, std::string_view key, std::string_view value) {
  for (auto child = record->firstChild(); child; child = child->nextSibling())
    if (IsColumnCalled(child, key) && child->text() == value) return true;
  return false;
}


bool Listed(const std::vector<std::string>& names, std::string_view name) {
  return std::ranges::find(names, name) != names.end();
}

// The first child of `record` whose "name" attribute is `name`, which the
// equivalence match compares.
xml::NodePtr FirstNamed(const xml::NodePtr& record, std::string_view name) {
  for (auto child = record->firstChild(); child; child = child->nextSibling())
    if (const auto own = CUnifyMerger::GetNameAttribute(child); own && *own == name) return child;
  return nullptr;
}

}  // namespace

void CUnifyMerger::DropIndexes() {
  keyIndexes_.clear();
  equivIndex_.reset();
}

xml::NodePtr CUnifyMerger::FirstRecordWithKey(const xml::NodePtr& table, std::string_view key,
                                              const std::string& value) {
  // Other children of a table are not records and never pair.
  if (!table) return nullptr;
  if (!indexing_) {
    for (auto record = table->firstChild(); record; record = record->nextSibling())
      if (xml::IsElement(record, Kw(KW_RECORD)) && HoldsKey(record, key, value)) return record;
    return nullptr;
  }
  auto index =
      std::ranges::find_if(keyIndexes_, [&](const KeyIndex& i) { return i.table == table && i.column == key; });
  if (index == keyIndexes_.end()) {
    KeyIndex built{table, std::string(key), {}};
    for (auto record = table->firstChild(); record; record = record->nextSibling()) {
      if (!xml::IsElement(record, Kw(KW_RECORD))) continue;
      for (auto child = record->firstChild(); child; child = child->nextSibling())
        if (IsColumnCalled(child, key)) built.firstRecord.try_emplace(child->text(), record);  // the first one wins
    }
    keyIndexes_.push_back(std::move(built));
    index = std::prev(keyIndexes_.end());
  }
  const auto found = index->firstRecord.find(value);
  return found == index->firstRecord.end() ? nullptr : found->second;
}

const CUnifyMerger::EquivIndex* CUnifyMerger::EquivIndexFor(const xml::NodePtr& table) {
  if (!indexing_ || !table || equivalentColumns.empty()) return nullptr;
  const std::string& column = equivalentColumns.front();
  if (equivIndex_ && equivIndex_->table == table && equivIndex_->column == column) return &*equivIndex_;
  EquivIndex& index = equivIndex_.emplace();
  index.table = table;
  index.column = column;
  for (auto record = table->firstChild(); record; record = record->nextSibling()) {
    if (!xml::IsElement(record, Kw(KW_RECORD))) continue;
    const size_t at = index.records.size();
    index.records.push_back(record);
    if (const auto child = FirstNamed(record, column)) index.byText[child->text()].push_back(at);
    else index.without.push_back(at);
  }
  return &*equivIndex_;
}

std::optional<std::string> CUnifyMerger::GetNameAttribute(const xml::NodePtr& node) {
  if (!node || node->nodeType() != xml::NodeType::Element) return std::nullopt;
  return node->getAttribute(Kw(KW_NAME));
}

void CUnifyMerger::SetColumnPresent(std::string_view name) {
  const auto entry = std::ranges::find_if(columns, [&](const MergeColumn& e) { return e.name && *e.name == name; });
  if (entry != columns.end()) entry->present = true;
}

Result<xml::NodePtr> CUnifyMerger::CopyColumn(const xml::DocumentPtr& document, const xml::NodePtr& source) {
  // Anything but a column (a comment, stray text, another element) is not
  // part of a record's values; leaving it out keeps the rest of the join.
  if (!xml::IsElement(source, Kw(KW_COLUMN))) return xml::NodePtr();
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, NewElement(document, Kw(KW_COLUMN)));
  const std::vector<xml::Attribute> attributes = source->attributes();
  for (const auto& attribute : attributes) {
    if (attribute.name == Kw(KW_NAME)) SetColumnPresent(attribute.value);
    QUOR_RETURN_IF_ERROR(SetElementAttribute(copy, attribute.name, attribute.value));
  }
  for (auto child = source->firstChild(); child; child = child->nextSibling()) {
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr part, CopyXmlTree(child));
    QUOR_RETURN_IF_ERROR(Append(copy, part));
  }
  return copy;
}

template <typename Skip>
Result<xml::NodePtr> CUnifyMerger::JoinPair(const xml::DocumentPtr& document, const xml::NodePtr& record,
                                            const xml::NodePtr& partner, Skip skip) {
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr joined, NewElement(document, Kw(KW_RECORD)));
  QUOR_RETURN_IF_ERROR(AppendColumns(document, joined, record));
  for (auto child = partner->firstChild(); child; child = child->nextSibling()) {
    if (skip(GetNameAttribute(child))) continue;
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyColumn(document, child));
    if (copy) QUOR_RETURN_IF_ERROR(Append(joined, copy));
  }
  return joined;
}

Result<xml::NodePtr> CUnifyMerger::NewFiller(const xml::DocumentPtr& document, const MergeColumn& entry) {
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr filler, NewElement(document, Kw(KW_COLUMN)));
  QUOR_RETURN_IF_ERROR(SetElementAttribute(filler, Kw(KW_NAME), entry.name.value_or(std::string())));
  QUOR_RETURN_IF_ERROR(SetElementAttribute(filler, Kw(KW_TYPE), entry.type.value_or(std::string())));
  return filler;
}

Status CUnifyMerger::AppendFillers(const xml::DocumentPtr& document, const xml::NodePtr& record) {
  for (auto& entry : columns) {
    if (entry.present) continue;
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr filler, NewFiller(document, entry));
    QUOR_RETURN_IF_ERROR(Append(record, filler));
    entry.present = true;
  }
  return Status();
}

Result<xml::NodePtr> CUnifyMerger::JoinMatchedRecord(const xml::DocumentPtr& document,
                                                     const xml::NodePtr& leftRecord, const xml::NodePtr& rightTable) {
  if (!keyColumn || !leftRecord) return xml::NodePtr();
  const auto value = KeyValue(leftRecord, *keyColumn);
  if (!value) return xml::NodePtr();
  const auto match = FirstRecordWithKey(rightTable, *keyColumn, *value);
  if (!match) return xml::NodePtr();
  return JoinPair(document, leftRecord, match,
                  [this](const std::optional<std::string>& name) { return name && *name == *keyColumn; });
}

Result<xml::NodePtr> CUnifyMerger::JoinRecordOrFill(const xml::DocumentPtr& document, const xml::NodePtr& leftRecord,
                                                    const xml::NodePtr& rightTable) {
  if (!leftRecord) return xml::NodePtr();
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr joined, JoinMatchedRecord(document, leftRecord, rightTable));
  if (joined) return joined;
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr record, NewElement(document, Kw(KW_RECORD)));
  ClearPresentFlags();
  QUOR_RETURN_IF_ERROR(AppendColumns(document, record, leftRecord));
  QUOR_RETURN_IF_ERROR(AppendFillers(document, record));
  return record;
}

Result<xml::NodePtr> CUnifyMerger::BuildUnmatchedRightRecord(const xml::DocumentPtr& document,
                                                             const xml::NodePtr& leftTable,
                                                             const xml::NodePtr& rightRecord) {
  if (!rightRecord) return xml::NodePtr();
  if (keyColumn) {
    const auto value = KeyValue(rightRecord, *keyColumn);
    if (value && FirstRecordWithKey(leftTable, *keyColumn, *value)) return xml::NodePtr();  // joined with its partner already
  }

  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr record, NewElement(document, Kw(KW_RECORD)));
  ClearPresentFlags();
  const std::vector<xml::NodePtr> children = rightRecord->childNodes();
  std::vector<bool> taken(children.size(), false);
  const std::span<const MergeColumn> list(columns);
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].present) continue;
    // A name listed twice (once per table) takes the right value on its last
    // entry, where the right table's columns are listed.
    bool placed = false;
    if (columns[i].name && !ContainsColumnName(list.subspan(i + 1), *columns[i].name)) {
      for (size_t c = 0; c < children.size(); ++c) {
        if (taken[c] || !IsColumnCalled(children[c], *columns[i].name)) continue;
        QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyColumn(document, children[c]));
        QUOR_RETURN_IF_ERROR(Append(record, copy));
        taken[c] = placed = true;
        break;
      }
    }
    if (!placed) {
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr filler, NewFiller(document, columns[i]));
      QUOR_RETURN_IF_ERROR(Append(record, filler));
    }
    columns[i].present = true;
  }
  // Columns the list has no place for (a record shaped unlike the table's
  // first one, a name repeated within the record) still keep their values.
  for (size_t c = 0; c < children.size(); ++c) {
    if (taken[c]) continue;
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyColumn(document, children[c]));
    if (copy) QUOR_RETURN_IF_ERROR(Append(record, copy));
  }
  return record;
}

Status CUnifyMerger::NameJoinedTable(const xml::NodePtr& joined, const xml::NodePtr& first,
                                     const xml::NodePtr& second) {
  if (!joined || joined->nodeType() != xml::NodeType::Element) return Status(QS_E_UNIFY_TARGET_TABLE_INVALID);
  const std::string_view tableTag = Kw(KW_TABLE);
  const bool firstIsTable = xml::IsElement(first, tableTag);
  const bool secondIsTable = xml::IsElement(second, tableTag);

  std::string name;
  if (!firstIsTable) name = "NULL & ";
  else if (const auto own = GetNameAttribute(first)) name = *own + " & ";
  if (!secondIsTable) name += "NULL";
  else if (const auto own = GetNameAttribute(second)) name += *own;
  QUOR_RETURN_IF_ERROR(SetElementAttribute(joined, Kw(KW_NAME), name));

  const auto copyAttributes = [&](const xml::NodePtr& table) -> Status {
    const std::vector<xml::Attribute> attributes = table->attributes();
    for (const auto& attribute : attributes)
      if (attribute.name != Kw(KW_NAME)) QUOR_RETURN_IF_ERROR(SetElementAttribute(joined, attribute.name, attribute.value));
    return Status();
  };
  if (!firstIsTable) return Status(QS_E_UNIFY_TARGET_TABLE_INVALID);
  QUOR_RETURN_IF_ERROR(copyAttributes(first));
  if (!secondIsTable) return Status(QS_E_UNIFY_TARGET_TABLE_INVALID);
  return copyAttributes(second);
}

bool CUnifyMerger::BuildEquivalentColumns(const xml::NodePtr& left, const xml::NodePtr& right) {
  // Built afresh for every pair: a list left over from an earlier pair would
  // match on columns this pair does not share.
  FreeEquivalentColumns().Ignore();
  const auto leftRecord = left ? left->firstChild() : nullptr;
  const auto rightRecord = right ? right->firstChild() : nullptr;
  if (!leftRecord || !rightRecord || !xml::IsElement(leftRecord, Kw(KW_RECORD))) return false;
  for (auto column = leftRecord->firstChild(); column; column = column->nextSibling()) {
    const auto name = GetNameAttribute(column);
    if (!name) continue;
    for (auto partner = rightRecord->firstChild(); partner; partner = partner->nextSibling()) {
      if (GetNameAttribute(partner) == name) {
        equivalentColumns.push_back(*name);
        break;
      }
    }
  }
  return !equivalentColumns.empty();
}

Result<xml::NodePtr> CUnifyMerger::JoinEquivalentRecord(const xml::DocumentPtr& document,
                                                        const xml::NodePtr& leftRecord,
                                                        const xml::NodePtr& rightTable) {
  if (!leftRecord || !rightTable) return xml::NodePtr();
  const auto agrees = [&](const xml::NodePtr& candidate) {
    for (auto column = leftRecord->firstChild(); column; column = column->nextSibling()) {
      const auto name = GetNameAttribute(column);
      if (!name || !Listed(equivalentColumns, *name)) continue;
      for (auto other = candidate->firstChild(); other; other = other->nextSibling()) {
        if (GetNameAttribute(other) != name) continue;
        // Text against text: an empty (NULL) value equals another empty one.
        if (column->text() != other->text()) return false;
        break;
      }
    }
    return true;
  };
  const auto join = [&](const xml::NodePtr& partner) {
    return JoinPair(document, leftRecord, partner, [this](const std::optional<std::string>& name) {
      return name && Listed(equivalentColumns, *name);
    });
  };

  // Only right records whose first column of the looked-up name holds the
  // left record's text, or that have no such column, can agree; their
  // positions merged in order keep the first agreeing record the partner.
  if (const EquivIndex* index = EquivIndexFor(rightTable)) {
    std::optional<std::string> text;
    bool conflicting = false;  // two different texts can never both match
    for (auto column = leftRecord->firstChild(); column; column = column->nextSibling()) {
      if (GetNameAttribute(column) != index->column) continue;
      std::string own = column->text();
      if (text && *text != own) conflicting = true;
      text = std::move(own);
    }
    if (text) {
      const auto hit = conflicting ? index->byText.end() : index->byText.find(*text);
      const std::span<const size_t> with =
          hit == index->byText.end() ? std::span<const size_t>() : std::span<const size_t>(hit->second);
      const std::span<const size_t> without(index->without);
      for (size_t w = 0, o = 0; w < with.size() || o < without.size();) {
        const bool takeWith = o == without.size() || (w < with.size() && with[w] < without[o]);
        const auto& candidate = index->records[takeWith ? with[w++] : without[o++]];
        if (agrees(candidate)) return join(candidate);
      }
      return xml::NodePtr();
    }
  }
  for (auto candidate = rightTable->firstChild(); candidate; candidate = candidate->nextSibling())
    if (xml::IsElement(candidate, Kw(KW_RECORD)) && agrees(candidate)) return join(candidate);
  return xml::NodePtr();
}

}  // namespace quor::core
