// The join dispatch and the ten ways of joining two result tables.
#include "core/query/UnifyMerger.h"

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"

namespace quor::core {
namespace {

std::string_view Kw(KeywordIndex index) { return CKeywordTable::Instance().Narrow(index); }

size_t ChildCount(const xml::NodePtr& table) {
  size_t count = 0;
  for (auto child = table->firstChild(); child; child = child->nextSibling()) ++count;
  return count;
}

}  // namespace

Result<xml::NodePtr> CUnifyMerger::JoinTables(const xml::DocumentPtr& document, const xml::NodePtr& left,
                                              const xml::NodePtr& right) {
  if (!document || !left || !right) return xml::NodePtr();
  // The pair's lookups live for this join only, also when it fails.
  struct IndexScope {
    CUnifyMerger& merger;
    explicit IndexScope(CUnifyMerger& m) : merger(m) {
      merger.DropIndexes();
      merger.indexing_ = true;
    }
    ~IndexScope() {
      merger.indexing_ = false;
      merger.DropIndexes();
    }
    IndexScope(const IndexScope&) = delete;
    IndexScope& operator=(const IndexScope&) = delete;
  } scope(*this);
  const JoinKind kind = GetJoinKind(left);
  if (!BuildColumnList(left, right).ok()) return xml::NodePtr();
  switch (kind) {
    case JoinKind::FullOuter: return FullOuterJoin(document, left, right);
    case JoinKind::LeftOuter: return LeftOuterJoin(document, left, right);
    case JoinKind::RightOuter: return RightOuterJoin(document, left, right);
    case JoinKind::Cross: return CrossJoin(document, left, right);
    case JoinKind::Union: return UnionJoin(document, left, right);
    case JoinKind::LeftInner: return LeftInnerJoin(document, left, right);
    case JoinKind::RightInner: return RightInnerJoin(document, left, right);
    case JoinKind::MaxInner: return MaxInnerJoin(document, left, right);
    case JoinKind::MinInner: return MinInnerJoin(document, left, right);
    case JoinKind::Equiv: return EquivJoin(document, left, right);
  }
  return xml::NodePtr();
}

Status CUnifyMerger::NameOutputTable(const xml::NodePtr& table, const xml::NodePtr& first,
                                     const xml::NodePtr& second) {
  const Status named = NameJoinedTable(table, first, second);
  return named.code() == QS_E_UNIFY_TARGET_TABLE_INVALID ? Status() : named;
}

Result<xml::NodePtr> CUnifyMerger::JoinByRecords(const xml::DocumentPtr& document, const xml::NodePtr& driving,
                                                 const xml::NodePtr& other, const xml::NodePtr& firstName,
                                                 const xml::NodePtr& secondName, RecordBuilder builder) {
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr table, NewElement(document, Kw(KW_TABLE)));
  QUOR_RETURN_IF_ERROR(NameOutputTable(table, firstName, secondName));
  if (!driving) return table;
  for (auto record = driving->firstChild(); record; record = record->nextSibling()) {
    if (!xml::IsElement(record, Kw(KW_RECORD))) continue;
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr joined, (this->*builder)(document, record, other));
    if (joined) QUOR_RETURN_IF_ERROR(Append(table, joined));
  }
  return table;
}

Result<xml::NodePtr> CUnifyMerger::FullOuterJoin(const xml::DocumentPtr& document, const xml::NodePtr& left,
                                                 const xml::NodePtr& right) {
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr table,
                        JoinByRecords(document, left, right, left, right, &CUnifyMerger::JoinRecordOrFill));
  if (!right) return table;
  for (auto record = right->firstChild(); record; record = record->nextSibling()) {
    if (!xml::IsElement(record, Kw(KW_RECORD))) continue;
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr unmatched, BuildUnmatchedRightRecord(document, left, record));
    if (unmatched) QUOR_RETURN_IF_ERROR(Append(table, unmatched));
  }
  return table;
}

Result<xml::NodePtr> CUnifyMerger::LeftOuterJoin(const xml::DocumentPtr& document, const xml::NodePtr& left,
                                                 const xml::NodePtr& right) {
  return JoinByRecords(document, left, right, left, right, &CUnifyMerger::JoinRecordOrFill);
}

Result<xml::NodePtr> CUnifyMerger::RightOuterJoin(const xml::DocumentPtr& document, const xml::NodePtr& left,
                                                  const xml::NodePtr& right) {
  // Driven by the right records, but named in the pair's own order.
  return JoinByRecords(document, right, left, left, right, &CUnifyMerger::JoinRecordOrFill);
}

Status CUnifyMerger::AppendColumns(const xml::DocumentPtr& document, const xml::NodePtr& record,
                                   const xml::NodePtr& source) {
  for (auto child = source->firstChild(); child; child = child->nextSibling()) {
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyColumn(document, child));
    if (copy) QUOR_RETURN_IF_ERROR(Append(record, copy));
  }
  return Status();
}

Result<xml::NodePtr> CUnifyMerger::CrossJoin(const xml::DocumentPtr& document, const xml::NodePtr& left,
                                             const xml::NodePtr& right) {
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr table, NewElement(document, Kw(KW_TABLE)));
  QUOR_RETURN_IF_ERROR(NameOutputTable(table, left, right));
  if (!left || !right) return table;
  const std::string_view recordTag = Kw(KW_RECORD);
  for (auto l = left->firstChild(); l; l = l->nextSibling()) {
    if (!xml::IsElement(l, recordTag)) continue;
    for (auto r = right->firstChild(); r; r = r->nextSibling()) {
      if (!xml::IsElement(r, recordTag)) continue;
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr record, NewElement(document, recordTag));
      for (const auto& side : {l, r}) QUOR_RETURN_IF_ERROR(AppendColumns(document, record, side));
      QUOR_RETURN_IF_ERROR(Append(table, record));
    }
  }
  return table;
}

Result<xml::NodePtr> CUnifyMerger::UnionJoin(const xml::DocumentPtr& document, const xml::NodePtr& left,
                                             const xml::NodePtr& right) {
  // Every record of both tables, each with its own columns first and an
  // empty column for every list entry it does not fill.
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr table, NewElement(document, Kw(KW_TABLE)));
  QUOR_RETURN_IF_ERROR(NameOutputTable(table, left, right));
  const std::string_view recordTag = Kw(KW_RECORD);
  for (const auto& side : {left, right}) {
    if (!side) continue;
    for (auto source = side->firstChild(); source; source = source->nextSibling()) {
      if (!xml::IsElement(source, recordTag)) continue;
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr record, NewElement(document, recordTag));
      ClearPresentFlags();
      QUOR_RETURN_IF_ERROR(AppendColumns(document, record, source));
      QUOR_RETURN_IF_ERROR(AppendFillers(document, record));
      QUOR_RETURN_IF_ERROR(Append(table, record));
    }
  }
  return table;
}

Result<xml::NodePtr> CUnifyMerger::LeftInnerJoin(const xml::DocumentPtr& document, const xml::NodePtr& left,
                                                 const xml::NodePtr& right) {
  return JoinByRecords(document, left, right, left, right, &CUnifyMerger::JoinMatchedRecord);
}

Result<xml::NodePtr> CUnifyMerger::RightInnerJoin(const xml::DocumentPtr& document, const xml::NodePtr& left,
                                                  const xml::NodePtr& right) {
  return JoinByRecords(document, right, left, right, left, &CUnifyMerger::JoinMatchedRecord);
}

Result<xml::NodePtr> CUnifyMerger::MaxInnerJoin(const xml::DocumentPtr& document, const xml::NodePtr& left,
                                                const xml::NodePtr& right) {
  if (!left || !right) return JoinByRecords(document, left, right, left, right, &CUnifyMerger::JoinMatchedRecord);
  const bool byLeft = ChildCount(left) >= ChildCount(right);
  const auto& driving = byLeft ? left : right;
  const auto& other = byLeft ? right : left;
  return JoinByRecords(document, driving, other, driving, other, &CUnifyMerger::JoinMatchedRecord);
}

Result<xml::NodePtr> CUnifyMerger::MinInnerJoin(const xml::DocumentPtr& document, const xml::NodePtr& left,
                                                const xml::NodePtr& right) {
  if (!left || !right) return JoinByRecords(document, right, left, right, left, &CUnifyMerger::JoinMatchedRecord);
  const bool byLeft = ChildCount(left) < ChildCount(right);
  const auto& driving = byLeft ? left : right;
  const auto& other = byLeft ? right : left;
  return JoinByRecords(document, driving, other, driving, other, &CUnifyMerger::JoinMatchedRecord);
}

Result<xml::NodePtr> CUnifyMerger::EquivJoin(const xml::DocumentPtr& document, const xml::NodePtr& left,
                                             const xml::NodePtr& right) {
  // Without a shared column there is nothing to match on; every record of
  // both tables is kept instead of none.
  if (!BuildEquivalentColumns(left, right)) return FullOuterJoin(document, left, right);
  return JoinByRecords(document, left, right, left, right, &CUnifyMerger::JoinEquivalentRecord);
}

}  // namespace quor::core
