// The merge of partial results held as compact tables: the same answers,
// record by record and column by column, as CUnifyMerger gives over their
// documents, with records matched through hash lookups built once per pair
// and a join's records made while they are written out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/UnifyTable.h"
#include "core/query/CompactResult.h"
#include "core/query/UnifyMerger.h"

namespace quor::core::compact {

// Text -> the first record holding it in a column of one name.
class KeyIndex {
 public:
  Status Build(const Table& table, std::string_view column, const Heads& heads, const Hold& hold);
  // The entry of `text`, and the record it names.
  std::optional<uint32_t> FindEntry(std::string_view text) const;
  std::optional<uint32_t> Find(std::string_view text) const {
    const auto entry = FindEntry(text);
    return entry ? std::optional<uint32_t>(entries_[*entry].record) : std::nullopt;
  }
  size_t Entries() const { return entries_.size(); }

 private:
  struct Entry {
    const char* text;
    uint32_t size;
    uint32_t record;
  };
  std::vector<Entry> entries_;
  std::vector<uint32_t> slots_;  // entry + 1; 0: free
  size_t mask_ = 0;
};

// The records of the equivalence join's right table by the text of the
// first shared column, and those without it.
struct EquivIndex {
  std::string column;
  std::unordered_map<std::string_view, std::vector<uint32_t>> byText;
  std::vector<uint32_t> without;
};

// One pair's join, decided (kind, column list, key) when the pair was met,
// its records made when it runs.
class PendingJoin {
 public:
  Status Run(RecordSink& out) const;

  const Heads* heads = nullptr;
  JoinKind kind = JoinKind::FullOuter;
  Table left, right;
  std::vector<MergeColumn> columns;
  std::vector<uint32_t> fillers;  // the empty column standing for each entry
  std::optional<std::string> key;
  std::vector<std::string> equivalent;
  // A full outer join marks what the left holds in the right's lookup.
  std::shared_ptr<KeyIndex> leftIndex, rightIndex;
  std::shared_ptr<EquivIndex> equivIndex;

 private:
  struct Scratch;
  Status ByRecords(const Table& driving, const Table& other, const KeyIndex* index, bool fill, Scratch& s,
                   RecordSink& out) const;
  Status Equivalent(Scratch& s, RecordSink& out) const;
  // `s.a`'s cells, then an empty column for every list entry they leave.
  Status Filled(Scratch& s, RecordSink& out) const;
  Status Unmatched(Scratch& s, RecordSink& out) const;
};

// The working object of one merge, as CUnifyMerger: its join kind and the
// key it keeps from its first pair on.
class Merger {
 public:
  Merger(Heads& heads, Hold hold) : heads_(heads), hold_(std::move(hold)) {}

  std::string joinKind = std::string(JoinKindText(JoinKind::FullOuter));
  std::optional<std::string> keyColumn;

  Result<Table> JoinTables(const Table& left, const Table& right);
  Result<Response> JoinResponses(const Response& first, const Response& second);
  // Two inputs: the merged response's tables.
  Result<std::vector<Table>> MergeTwo(const Response& left, const Response& right);
  // One input: the one table its tables join to, if any.
  Result<std::optional<Table>> MergeOne(const Response& input);

 private:
  JoinKind GetJoinKind(const Table& table) const;
  std::vector<MergeColumn> BuildColumnList(const Table& first, const Table& second);
  std::vector<Attribute> NameJoinedTable(const Table& first, const Table& second) const;

  Heads& heads_;
  Hold hold_;
};

// The response rewritten into the vocabulary of `entry` (its join kind on
// every table, columns renamed by its patterns), as CResultRewriter does.
Response Rewrite(const Response& response, const UnifyTableEntry& entry, Heads& heads);

// One unification step over up to two responses with the entries that
// govern them, as the engine's step over documents.
Result<Response> UnifyStep(const Response* first, const Response* second, const UnifyTableEntry* firstEntry,
                           const UnifyTableEntry* secondEntry, Heads& heads, const Hold& hold);

// Both present: merged with `joinKind` as the engine merges two results
// that no rule maps onto each other.
Result<Response> MergeWithoutRule(const Response& first, const Response& second, std::string_view joinKind,
                                  Heads& heads, const Hold& hold);

// The first table's name after its first '.'; none without a table or name.
std::optional<std::string> ResultTableName(const Response& response);

}  // namespace quor::core::compact
