// The working object of one merge of partial results: it carries the join
// kind that decides how two result tables are joined and the column lists the
// join operations build while they work. Its creator sets `joinKind`, runs one
// merge and drops the object.
//
// Texts are UTF-8 std::string, as the DOM holds them. Every new node is made
// in the document the caller passes in and is handed back detached; the input
// tables are only read. A table, record or column of the wrong shape gives the
// status or the "none" (null) answer named below, or is left out where a join
// meets it among records or columns; a failing DOM call fails the builder
// with its status, which passes out of JoinTables to its caller.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/com/status.h"
#include "platform/xml/dom.h"

namespace quor::core {

// Numbered as the keyword table lists their texts, "full outer join" first.
enum class JoinKind : int {
  FullOuter = 0,
  LeftOuter = 1,
  RightOuter = 2,
  Cross = 3,
  Union = 4,
  LeftInner = 5,
  RightInner = 6,
  MaxInner = 7,
  MinInner = 8,
  Equiv = 9,
};
inline constexpr int kJoinKindCount = 10;

// The keyword text of a kind ("full outer join" ...).
std::string_view JoinKindText(JoinKind kind);
// The kind a text names, in any letter case.
std::optional<JoinKind> JoinKindNamed(std::string_view text);

// One entry of the merged column list.
struct MergeColumn {
  std::optional<std::string> name;
  std::optional<std::string> type;
  // Set while one output record is built: the record already holds a column
  // for this entry.
  bool present = false;
};

// Whether some entry of `entries` (a tail of the list: the entry to start at
// and all after it) is named `name` exactly; unnamed entries never match.
bool ContainsColumnName(std::span<const MergeColumn> entries, std::string_view name);

class CUnifyMerger {
 public:
  CUnifyMerger();
  virtual ~CUnifyMerger();
  CUnifyMerger(const CUnifyMerger&) = delete;
  CUnifyMerger& operator=(const CUnifyMerger&) = delete;

  // ---- Fields (read and written by the joins and by the walkers) ---------
  // Merged column list of the table pair being joined: the first table's
  // first-record columns, then the second's less the key column.
  std::vector<MergeColumn> columns;
  // Used when a table's "unify" attribute names no known kind.
  std::string joinKind;
  // Chosen once in the life of the object; records match on its text.
  std::optional<std::string> keyColumn;
  // Column names both tables share, for the equivalence join.
  std::vector<std::string> equivalentColumns;

  // ---- Join kind and merged column list (UnifyMerger.cpp) ----------------
  // The kind named by the table's "unify" attribute (any letter case); a
  // value that names none falls back to `joinKind`; a table without the
  // attribute, or an element other than "table", is a full outer join.
  JoinKind GetJoinKind(const xml::NodePtr& table) const;
  // Rebuilds `columns` from the first record of each table and picks
  // `keyColumn` when none is set yet: 0, or QS_E_UNIFICATION_SOURCE_INVALID
  // when a table is missing or its first child or that record's children are
  // not of the record / column shape (the list built so far stays).
  Status BuildColumnList(const xml::NodePtr& first, const xml::NodePtr& second);
  // Whether a second-table column called `name` becomes the key: only while
  // no key is set, and only for a name the list already holds.
  bool IsKeyCandidate(std::string_view name) const;
  void ClearPresentFlags();
  Status FreeColumnList();
  Status FreeEquivalentColumns();

  // ---- Column copy and record builders (UnifyMerger_Records.cpp) ---------
  // The value of the node's first "name" attribute; none without one.
  static std::optional<std::string> GetNameAttribute(const xml::NodePtr& node);
  // Marks the first list entry called `name`.
  void SetColumnPresent(std::string_view name);
  // A copy of a "column" element made in `document` (attributes and whole
  // content), marking its list entry; none for a missing node or one that is
  // not a "column" element, which the callers then leave out.
  Result<xml::NodePtr> CopyColumn(const xml::DocumentPtr& document, const xml::NodePtr& source);
  // The left record joined with the first record of `rightTable` that has
  // the same key text; none without a key or a partner.
  Result<xml::NodePtr> JoinMatchedRecord(const xml::DocumentPtr& document, const xml::NodePtr& leftRecord,
                                 const xml::NodePtr& rightTable);
  // As JoinMatchedRecord, or else the left record's columns followed by an
  // empty column for every list entry it does not fill. Never none for a
  // record given.
  Result<xml::NodePtr> JoinRecordOrFill(const xml::DocumentPtr& document, const xml::NodePtr& leftRecord,
                                const xml::NodePtr& rightTable);
  // A right record laid out in list order, empty columns where it has no
  // value; none when its key text occurs in a left record (already joined).
  Result<xml::NodePtr> BuildUnmatchedRightRecord(const xml::DocumentPtr& document, const xml::NodePtr& leftTable,
                                         const xml::NodePtr& rightRecord);

  // ---- Table naming and equivalence matching (UnifyMerger_Records.cpp) ---
  // Names `joined` "first & second" and copies both tables' other
  // attributes (second wins): 0, or QS_E_UNIFY_TARGET_TABLE_INVALID when a
  // source is not a "table" element (it is named "NULL" and not copied).
  Status NameJoinedTable(const xml::NodePtr& joined, const xml::NodePtr& first, const xml::NodePtr& second);
  // Rebuilds `equivalentColumns` from the two tables' first records; true
  // when they share at least one column name.
  bool BuildEquivalentColumns(const xml::NodePtr& left, const xml::NodePtr& right);
  // The left record joined with the first right record that agrees with it
  // on the text of every shared column it holds; none without a partner.
  Result<xml::NodePtr> JoinEquivalentRecord(const xml::DocumentPtr& document, const xml::NodePtr& leftRecord,
                                    const xml::NodePtr& rightTable);

  // ---- Join dispatch and the ten joins (UnifyMerger_Joins.cpp) -----------
  // The joined table of a pair (a new detached "table" element of
  // `document`), or none when an argument is missing or a table is not of
  // the record / column shape.
  Result<xml::NodePtr> JoinTables(const xml::DocumentPtr& document, const xml::NodePtr& left, const xml::NodePtr& right);

  Result<xml::NodePtr> FullOuterJoin(const xml::DocumentPtr& document, const xml::NodePtr& left, const xml::NodePtr& right);
  Result<xml::NodePtr> LeftOuterJoin(const xml::DocumentPtr& document, const xml::NodePtr& left, const xml::NodePtr& right);
  Result<xml::NodePtr> RightOuterJoin(const xml::DocumentPtr& document, const xml::NodePtr& left, const xml::NodePtr& right);
  Result<xml::NodePtr> CrossJoin(const xml::DocumentPtr& document, const xml::NodePtr& left, const xml::NodePtr& right);
  Result<xml::NodePtr> UnionJoin(const xml::DocumentPtr& document, const xml::NodePtr& left, const xml::NodePtr& right);
  Result<xml::NodePtr> LeftInnerJoin(const xml::DocumentPtr& document, const xml::NodePtr& left, const xml::NodePtr& right);
  Result<xml::NodePtr> RightInnerJoin(const xml::DocumentPtr& document, const xml::NodePtr& left, const xml::NodePtr& right);
  Result<xml::NodePtr> MaxInnerJoin(const xml::DocumentPtr& document, const xml::NodePtr& left, const xml::NodePtr& right);
  Result<xml::NodePtr> MinInnerJoin(const xml::DocumentPtr& document, const xml::NodePtr& left, const xml::NodePtr& right);
  Result<xml::NodePtr> EquivJoin(const xml::DocumentPtr& document, const xml::NodePtr& left, const xml::NodePtr& right);

  // ---- Result-tree walkers (UnifyMerger_Walkers.cpp) -----------------------
  // The walkers descend partial results to their table pairs and hand each
  // pair to JoinTables. Merge works on nodes (an input is a "response" or
  // precedes its sibling responses; `target` an element): the merged
  // response's tables are appended to `target`, or the one table a single
  // response joins to. MergeDocuments works on whole documents: the merged
  // element is appended to `output`, which must not hold an element yet.
  // Statuses: 0; QS_E_UNIFICATION_SOURCE_INVALID when an input holds no
  // "response" (nothing placed); E_POINTER for absent arguments (both inputs
  // absent at the entries); E_INVALIDARG for a target or output that cannot
  // take the result. Inputs are only read; a failing DOM call fails with its
  // status.
  Status Merge(const xml::NodePtr& left, const xml::NodePtr& right, const xml::NodePtr& target);
  Status MergeDocuments(const xml::DocumentPtr& first, const xml::DocumentPtr& second,
                         const xml::DocumentPtr& output);
  Status MergeTwo(const xml::NodePtr& left, const xml::NodePtr& right, const xml::NodePtr& target);
  Status MergeOne(const xml::NodePtr& input, const xml::NodePtr& target);
  Status MergeTwoDocuments(const xml::DocumentPtr& first, const xml::DocumentPtr& second,
                            const xml::DocumentPtr& output);
  Status MergeOneDocument(const xml::DocumentPtr& input, const xml::DocumentPtr& output);
  // A new "response" of `factory` holding the pairwise joins of the two
  // responses' tables, then copies of the unpaired ones (empty when either
  // is not a "response").
  Result<xml::NodePtr> JoinResponses(const xml::DocumentPtr& factory, const xml::NodePtr& first, const xml::NodePtr& second);

 private:
  // The walks shared by the node and document twins, building in `factory`.
  // WalkTwo: the merged "response", or none when an input has no response.
  Result<xml::NodePtr> WalkTwo(const xml::DocumentPtr& factory, const xml::NodePtr& first, const xml::NodePtr& second);
  // WalkOne: QS_E_UNIFICATION_SOURCE_INVALID when the input has no response.
  struct WalkResult {
    xml::NodePtr node;  // none: nothing to place
    bool isResponse = false;  // else a table
  };
  Result<WalkResult> WalkOne(const xml::DocumentPtr& factory, const xml::NodePtr& input);

  // Lookups that spare the record builders a scan of the other table for
  // every record. JoinTables opens them for one pair; each is built on first
  // use and all are dropped when the pair is done. Outside JoinTables (the
  // tables may change between calls) the builders scan.
  struct KeyIndex {
    xml::NodePtr table;
    std::string column;
    // Key text -> the first record holding it in a column of that name.
    std::unordered_map<std::string, xml::NodePtr> firstRecord;
  };
  struct EquivIndex {
    xml::NodePtr table;
    std::string column;  // the first equivalent column: the one looked up
    std::vector<xml::NodePtr> records;  // the table's records in order
    // Text of a record's first child of that name -> positions in `records`.
    std::unordered_map<std::string, std::vector<size_t>> byText;
    std::vector<size_t> without;  // records with no child of that name
  };
  bool indexing_ = false;
  std::vector<KeyIndex> keyIndexes_;
  std::optional<EquivIndex> equivIndex_;
  void DropIndexes();
  // The first record of `table` holding `value` in a column called `key`.
  xml::NodePtr FirstRecordWithKey(const xml::NodePtr& table, std::string_view key, const std::string& value);
  const EquivIndex* EquivIndexFor(const xml::NodePtr& table);

  // Shared by the three units.
  // A new element of `document`; E_FAIL when the DOM refuses.
  static Result<xml::NodePtr> NewElement(const xml::DocumentPtr& document, std::string_view name);
  static Status Append(const xml::NodePtr& parent, const xml::NodePtr& child);

  using RecordBuilder = Result<xml::NodePtr> (CUnifyMerger::*)(const xml::DocumentPtr&, const xml::NodePtr&,
                                                       const xml::NodePtr&);
  // Creates and names the output table, then appends builder(record, other)
  // for every record of `driving`.
  Result<xml::NodePtr> JoinByRecords(const xml::DocumentPtr& document, const xml::NodePtr& driving,
                             const xml::NodePtr& other, const xml::NodePtr& firstName,
                             const xml::NodePtr& secondName, RecordBuilder builder);
  // NameJoinedTable for an output table: a source that is no table still
  // leaves a named output, so only a DOM failure of the naming counts.
  Status NameOutputTable(const xml::NodePtr& table, const xml::NodePtr& first, const xml::NodePtr& second);
  // Appends copies of the columns of `source` to `record`, marking them.
  Status AppendColumns(const xml::DocumentPtr& document, const xml::NodePtr& record, const xml::NodePtr& source);
  // An empty column standing for a list entry.
  Result<xml::NodePtr> NewFiller(const xml::DocumentPtr& document, const MergeColumn& entry);
  // Appends an empty column for every list entry not yet present, marking it.
  Status AppendFillers(const xml::DocumentPtr& document, const xml::NodePtr& record);
  // A new "record" element holding copies of `record`'s columns followed by
  // copies of `partner`'s columns except those `skip` names.
  template <typename Skip>
  Result<xml::NodePtr> JoinPair(const xml::DocumentPtr& document, const xml::NodePtr& record, const xml::NodePtr& partner,
                        Skip skip);
};

}  // namespace quor::core
