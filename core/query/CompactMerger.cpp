#include "core/query/CompactMerger.h"

#include <algorithm>
#include <bit>
#include <functional>

#include "core/query/ResultRewriter.h"

namespace quor::core::compact {
namespace {

// Whether the cell's column is named `name` (never for an empty name).
bool Called(const Head& head, std::string_view name) { return !name.empty() && head.name && *head.name == name; }

std::optional<std::string_view> KeyValue(std::span<const Cell> cells, const Heads& heads, std::string_view key) {
  for (const Cell& cell : cells)
    if (Called(heads[cell.head], key)) return cell.value;
  return std::nullopt;
}

bool ContainsName(std::span<const MergeColumn> entries, std::string_view name) {
  return std::ranges::any_of(entries, [&](const MergeColumn& e) { return e.name && *e.name == name; });
}

bool Listed(const std::vector<std::string>& names, std::string_view name) {
  return std::ranges::find(names, name) != names.end();
}

// Sets `name` in place when the list has it, else appends it.
void SetAttribute(std::vector<Attribute>& attributes, std::string_view name, std::string value) {
  for (Attribute& a : attributes)
    if (a.name == name) {
      a.value = std::move(value);
      return;
    }
  attributes.push_back({std::string(name), std::move(value)});
}

}  // namespace

// ---- Lookups ------------------------------------------------------------------

Status KeyIndex::Build(const Table& table, std::string_view column, const Heads& heads, const Hold& hold) {
  const size_t records = table.size();
  size_t slots = std::bit_ceil(std::max<size_t>(16, 2 * records));
  if (hold) QUOR_RETURN_IF_ERROR(hold(slots * sizeof(uint32_t) + records * sizeof(Entry)));
  entries_.reserve(records);
  slots_.assign(slots, 0);
  mask_ = slots - 1;
  std::vector<Cell> cells;
  for (size_t r = 0; r < records; ++r) {
    table.Read(r, cells);
    for (const Cell& cell : cells) {
      if (!Called(heads[cell.head], column)) continue;
      size_t at = std::hash<std::string_view>{}(cell.value) & mask_;
      bool held = false;
      for (; slots_[at]; at = (at + 1) & mask_) {
        const Entry& e = entries_[slots_[at] - 1];
        if (std::string_view(e.text, e.size) == cell.value) {
          held = true;  // the first record holding a text keeps it
          break;
        }
      }
      if (held) continue;
      if (2 * (entries_.size() + 1) > slots_.size()) {
        // More keyed columns than records: grow and place again.
        const size_t grown = slots_.size() * 2;
        if (hold) QUOR_RETURN_IF_ERROR(hold(grown * sizeof(uint32_t)));
        slots_.assign(grown, 0);
        mask_ = grown - 1;
        for (size_t e = 0; e < entries_.size(); ++e) {
          size_t to = std::hash<std::string_view>{}(std::string_view(entries_[e].text, entries_[e].size)) & mask_;
          while (slots_[to]) to = (to + 1) & mask_;
          slots_[to] = static_cast<uint32_t>(e + 1);
        }
        at = std::hash<std::string_view>{}(cell.value) & mask_;
        while (slots_[at]) at = (at + 1) & mask_;
      }
      entries_.push_back({cell.value.data(), static_cast<uint32_t>(cell.value.size()), static_cast<uint32_t>(r)});
      slots_[at] = static_cast<uint32_t>(entries_.size());
    }
  }
  return Status();
}

std::optional<uint32_t> KeyIndex::FindEntry(std::string_view text) const {
  if (slots_.empty()) return std::nullopt;
  for (size_t at = std::hash<std::string_view>{}(text) & mask_; slots_[at]; at = (at + 1) & mask_) {
    const Entry& e = entries_[slots_[at] - 1];
    if (std::string_view(e.text, e.size) == text) return slots_[at] - 1;
  }
  return std::nullopt;
}

// ---- Running a join -------------------------------------------------------------

struct PendingJoin::Scratch {
  std::vector<char> present;
  std::vector<Cell> a, b, out;
  std::vector<char> taken;
  // Full outer join: the right lookup's texts some left record holds.
  std::vector<char> heldLeft;

  void Clear() { std::ranges::fill(present, 0); }
};

namespace {

// Marks the first entry called `name`.
void Mark(std::vector<char>& present, std::span<const MergeColumn> columns, const std::optional<std::string>& name) {
  if (!name) return;
  for (size_t i = 0; i < columns.size(); ++i)
    if (columns[i].name && *columns[i].name == *name) {
      present[i] = 1;
      return;
    }
}

}  // namespace

Status PendingJoin::Filled(Scratch& s, RecordSink& out) const {
  s.Clear();
  s.out = s.a;
  for (const Cell& cell : s.a) Mark(s.present, columns, (*heads)[cell.head].name);
  for (size_t i = 0; i < columns.size(); ++i) {
    if (s.present[i]) continue;
    s.out.push_back({fillers[i], {}});
    s.present[i] = 1;
  }
  return out.Record(s.out);
}

Status PendingJoin::ByRecords(const Table& driving, const Table& other, const KeyIndex* index, bool fill,
                              Scratch& s, RecordSink& out) const {
  const Heads& h = *heads;
  const bool marking = !s.heldLeft.empty();
  for (size_t r = 0; r < driving.size(); ++r) {
    driving.Read(r, s.a);
    if (marking)
      for (const Cell& cell : s.a)
        if (Called(h[cell.head], *key))
          if (const auto entry = index->FindEntry(cell.value)) s.heldLeft[*entry] = 1;
    if (key && index) {
      if (const auto value = KeyValue(s.a, h, *key)) {
        if (const auto partner = index->Find(*value)) {
          other.Read(*partner, s.b);
          s.out = s.a;
          for (const Cell& cell : s.b)
            if (!(h[cell.head].name && *h[cell.head].name == *key)) s.out.push_back(cell);
          QUOR_RETURN_IF_ERROR(out.Record(s.out));
          continue;
        }
      }
    }
    if (!fill) continue;
    QUOR_RETURN_IF_ERROR(Filled(s, out));
  }
  return Status();
}

Status PendingJoin::Unmatched(Scratch& s, RecordSink& out) const {
  const Heads& h = *heads;
  const std::span<const MergeColumn> list(columns);
  for (size_t r = 0; r < right.size(); ++r) {
    right.Read(r, s.b);
    if (key) {
      // Joined with its partner already when some left record holds its key.
      const auto value = KeyValue(s.b, h, *key);
      const auto entry = value ? rightIndex->FindEntry(*value) : std::nullopt;
      if (entry && s.heldLeft[*entry]) continue;
    }
    s.Clear();
    s.taken.assign(s.b.size(), 0);
    s.out.clear();
    for (size_t i = 0; i < columns.size(); ++i) {
      if (s.present[i]) continue;
      // A name listed twice (once per table) takes the right value on its
      // last entry, where the right table's columns are listed.
      bool placed = false;
      if (columns[i].name && !ContainsName(list.subspan(i + 1), *columns[i].name)) {
        for (size_t c = 0; c < s.b.size(); ++c) {
          if (s.taken[c] || !Called(h[s.b[c].head], *columns[i].name)) continue;
          s.out.push_back(s.b[c]);
          Mark(s.present, columns, h[s.b[c].head].name);
          s.taken[c] = 1;
          placed = true;
          break;
        }
      }
      if (!placed) s.out.push_back({fillers[i], {}});
      s.present[i] = 1;
    }
    for (size_t c = 0; c < s.b.size(); ++c)
      if (!s.taken[c]) s.out.push_back(s.b[c]);
    QUOR_RETURN_IF_ERROR(out.Record(s.out));
  }
  return Status();
}

Status PendingJoin::Equivalent(Scratch& s, RecordSink& out) const {
  const Heads& h = *heads;
  std::vector<Cell> candidate;
  const auto agrees = [&](size_t r) {
    right.Read(r, candidate);
    for (const Cell& column : s.a) {
      const auto& name = h[column.head].name;
      if (!name || !Listed(equivalent, *name)) continue;
      for (const Cell& other : candidate) {
        if (h[other.head].name != name) continue;
        // Text against text: an empty (NULL) value equals another empty one.
        if (column.value != other.value) return false;
        break;
      }
    }
    return true;
  };
  const auto join = [&]() {
    s.out = s.a;
    for (const Cell& cell : candidate)
      if (!(h[cell.head].name && Listed(equivalent, *h[cell.head].name))) s.out.push_back(cell);
    return out.Record(s.out);
  };
  for (size_t l = 0; l < left.size(); ++l) {
    left.Read(l, s.a);
    std::optional<std::string_view> text;
    bool conflicting = false;  // two different texts can never both match
    for (const Cell& cell : s.a) {
      if (h[cell.head].name != equivIndex->column) continue;
      if (text && *text != cell.value) conflicting = true;
      text = cell.value;
    }
    if (text) {
      const auto hit = conflicting ? equivIndex->byText.end() : equivIndex->byText.find(*text);
      const std::span<const uint32_t> with =
          hit == equivIndex->byText.end() ? std::span<const uint32_t>() : std::span<const uint32_t>(hit->second);
      const std::span<const uint32_t> without(equivIndex->without);
      for (size_t w = 0, o = 0; w < with.size() || o < without.size();) {
        const bool takeWith = o == without.size() || (w < with.size() && with[w] < without[o]);
        if (agrees(takeWith ? with[w++] : without[o++])) {
          QUOR_RETURN_IF_ERROR(join());
          break;
        }
      }
      continue;
    }
    for (size_t r = 0; r < right.size(); ++r)
      if (agrees(r)) {
        QUOR_RETURN_IF_ERROR(join());
        break;
      }
  }
  return Status();
}

Status PendingJoin::Run(RecordSink& out) const {
  Scratch s;
  s.present.assign(columns.size(), 0);
  switch (kind) {
    case JoinKind::FullOuter:
      if (key) s.heldLeft.assign(std::max<size_t>(1, rightIndex->Entries()), 0);
      QUOR_RETURN_IF_ERROR(ByRecords(left, right, rightIndex.get(), true, s, out));
      return Unmatched(s, out);
    case JoinKind::LeftOuter: return ByRecords(left, right, rightIndex.get(), true, s, out);
    case JoinKind::RightOuter: return ByRecords(right, left, leftIndex.get(), true, s, out);
    case JoinKind::LeftInner: return ByRecords(left, right, rightIndex.get(), false, s, out);
    case JoinKind::RightInner: return ByRecords(right, left, leftIndex.get(), false, s, out);
    case JoinKind::MaxInner:
    case JoinKind::MinInner: {
      // The driving table was put on the left when the pair was met.
      return ByRecords(left, right, rightIndex.get(), false, s, out);
    }
    case JoinKind::Cross:
      for (size_t l = 0; l < left.size(); ++l) {
        left.Read(l, s.a);
        for (size_t r = 0; r < right.size(); ++r) {
          right.Read(r, s.b);
          s.out = s.a;
          s.out.insert(s.out.end(), s.b.begin(), s.b.end());
          QUOR_RETURN_IF_ERROR(out.Record(s.out));
        }
      }
      return Status();
    case JoinKind::Union:
      for (const Table* side : {&left, &right})
        for (size_t r = 0; r < side->size(); ++r) {
          side->Read(r, s.a);
          QUOR_RETURN_IF_ERROR(Filled(s, out));
        }
      return Status();
    case JoinKind::Equiv: return Equivalent(s, out);
  }
  return Status();
}

// ---- Meeting a pair -------------------------------------------------------------

JoinKind Merger::GetJoinKind(const Table& table) const {
  const std::string* unify = table.Attr("unify");
  if (!unify) return JoinKind::FullOuter;
  if (auto kind = JoinKindNamed(*unify)) return *kind;
  return JoinKindNamed(joinKind).value_or(JoinKind::FullOuter);
}

std::vector<MergeColumn> Merger::BuildColumnList(const Table& first, const Table& second) {
  std::vector<MergeColumn> columns;
  columns.emplace_back();
  std::vector<Cell> cells;
  if (first.size()) {
    first.Read(0, cells);
    for (const Cell& cell : cells) {
      const Head& head = heads_[cell.head];
      columns.back().name = head.name;
      columns.back().type = head.type;
      columns.emplace_back();
    }
  }
  if (second.size()) {
    second.Read(0, cells);
    for (const Cell& cell : cells) {
      const Head& head = heads_[cell.head];
      MergeColumn entry{head.name, head.type};
      if (entry.name && !keyColumn && ContainsName(columns, *entry.name)) {
        keyColumn = entry.name;  // the key is listed once, on the first table's side
        continue;
      }
      if (entry.name && keyColumn && *entry.name == *keyColumn && ContainsName(columns, *keyColumn)) continue;
      columns.back() = std::move(entry);
      columns.emplace_back();
    }
  }
  if (!columns.empty() && !columns.back().name && !columns.back().type) columns.pop_back();
  return columns;
}

std::vector<Attribute> Merger::NameJoinedTable(const Table& first, const Table& second) const {
  std::string name;
  if (const std::string* own = first.Attr("name")) name = *own + " & ";
  if (const std::string* own = second.Attr("name")) name += *own;
  std::vector<Attribute> attributes{{"name", std::move(name)}};
  for (const Table* table : {&first, &second})
    for (const Attribute& a : table->attributes)
      if (a.name != "name") SetAttribute(attributes, a.name, a.value);
  return attributes;
}

Result<Table> Merger::JoinTables(const Table& leftIn, const Table& rightIn) {
  QUOR_ASSIGN_OR_RETURN(const Table left, Materialize(leftIn, hold_));
  QUOR_ASSIGN_OR_RETURN(const Table right, Materialize(rightIn, hold_));
  auto join = std::make_shared<PendingJoin>();
  join->heads = &heads_;
  join->kind = GetJoinKind(left);
  join->columns = BuildColumnList(left, right);
  join->key = keyColumn;
  join->left = left;
  join->right = right;
  for (const MergeColumn& entry : join->columns)
    join->fillers.push_back(heads_.Intern({{"name", entry.name.value_or(std::string())},
                                           {"type", entry.type.value_or(std::string())}}));

  Table out;
  const auto index = [&](const Table& table) -> Result<std::shared_ptr<KeyIndex>> {
    if (!join->key) return std::shared_ptr<KeyIndex>();
    auto built = std::make_shared<KeyIndex>();
    QUOR_RETURN_IF_ERROR(built->Build(table, *join->key, heads_, hold_));
    return built;
  };
  switch (join->kind) {
    case JoinKind::Equiv: {
      // Without a shared column there is nothing to match on; every record
      // of both tables is kept instead of none.
      std::vector<std::string> shared;
      if (left.size() && right.size()) {
        std::vector<Cell> a, b;
        left.Read(0, a);
        right.Read(0, b);
        for (const Cell& column : a) {
          const auto& name = heads_[column.head].name;
          if (!name) continue;
          for (const Cell& partner : b)
            if (heads_[partner.head].name == name) {
              shared.push_back(*name);
              break;
            }
        }
      }
      if (shared.empty()) {
        join->kind = JoinKind::FullOuter;
        QUOR_ASSIGN_OR_RETURN(join->rightIndex, index(right));
        out.attributes = NameJoinedTable(left, right);
        break;
      }
      join->equivalent = std::move(shared);
      auto equiv = std::make_shared<EquivIndex>();
      equiv->column = join->equivalent.front();
      std::vector<Cell> cells;
      if (hold_) QUOR_RETURN_IF_ERROR(hold_(right.size() * 48));
      for (size_t r = 0; r < right.size(); ++r) {
        right.Read(r, cells);
        const auto first = std::ranges::find_if(cells, [&](const Cell& c) {
          return heads_[c.head].name && *heads_[c.head].name == equiv->column;
        });
        if (first != cells.end()) equiv->byText[first->value].push_back(static_cast<uint32_t>(r));
        else equiv->without.push_back(static_cast<uint32_t>(r));
      }
      join->equivIndex = std::move(equiv);
      out.attributes = NameJoinedTable(left, right);
      break;
    }
    case JoinKind::FullOuter: {
      QUOR_ASSIGN_OR_RETURN(join->rightIndex, index(right));
      out.attributes = NameJoinedTable(left, right);
      break;
    }
    case JoinKind::LeftOuter:
    case JoinKind::LeftInner: {
      QUOR_ASSIGN_OR_RETURN(join->rightIndex, index(right));
      out.attributes = NameJoinedTable(left, right);
      break;
    }
    case JoinKind::RightOuter: {
      QUOR_ASSIGN_OR_RETURN(join->leftIndex, index(left));
      out.attributes = NameJoinedTable(left, right);  // driven by the right, named in the pair's order
      break;
    }
    case JoinKind::RightInner: {
      QUOR_ASSIGN_OR_RETURN(join->leftIndex, index(left));
      out.attributes = NameJoinedTable(right, left);
      break;
    }
    case JoinKind::MaxInner:
    case JoinKind::MinInner: {
      // Every child of a table here is a record: counts of records decide.
      const bool byLeft =
          join->kind == JoinKind::MaxInner ? left.size() >= right.size() : left.size() < right.size();
      if (!byLeft) std::swap(join->left, join->right);
      QUOR_ASSIGN_OR_RETURN(join->rightIndex, index(join->right));
      out.attributes = NameJoinedTable(join->left, join->right);
      break;
    }
    case JoinKind::Cross:
    case JoinKind::Union: out.attributes = NameJoinedTable(left, right); break;
  }
  out.pending = std::move(join);
  return out;
}

Result<Response> Merger::JoinResponses(const Response& first, const Response& second) {
  Response response;
  size_t i = 0;
  for (; i < first.tables.size() && i < second.tables.size(); ++i) {
    QUOR_ASSIGN_OR_RETURN(Table joined, JoinTables(first.tables[i], second.tables[i]));
    response.tables.push_back(std::move(joined));
  }
  for (const Response* rest : {&first, &second})
    for (size_t j = i; j < rest->tables.size(); ++j) response.tables.push_back(rest->tables[j]);
  return response;
}

Result<std::vector<Table>> Merger::MergeTwo(const Response& left, const Response& right) {
  QUOR_ASSIGN_OR_RETURN(Response merged, JoinResponses(left, right));
  return std::move(merged.tables);
}

Result<std::optional<Table>> Merger::MergeOne(const Response& input) {
  // Its tables joined one after the other; tables without records are
  // passed over, but a response of empty tables still answers its first.
  std::vector<Table> tables;
  for (const Table& table : input.tables) {
    QUOR_ASSIGN_OR_RETURN(Table held, Materialize(table, hold_));
    tables.push_back(std::move(held));
  }
  size_t first = tables.size();
  for (size_t i = 0; i < tables.size() && first == tables.size(); ++i)
    if (tables[i].size()) first = i;
  if (first == tables.size()) {
    if (tables.empty()) return std::optional<Table>();
    first = 0;
  }
  Table joined = tables[first];
  for (size_t i = first + 1; i < tables.size(); ++i) {
    if (!tables[i].size()) continue;
    QUOR_ASSIGN_OR_RETURN(joined, JoinTables(joined, tables[i]));
  }
  return std::optional<Table>(std::move(joined));
}

// ---- Rules ------------------------------------------------------------------------

namespace {

const UnifyPattern* FindPattern(const UnifyTableEntry& entry, const com::Bstr& tableName, const com::Bstr& column) {
  for (const UnifyPattern& pattern : entry.Patterns()) {
    const bool tableFits = pattern.tableName.IsNull() || (!tableName.IsNull() && pattern.tableName == tableName);
    if (tableFits && !pattern.rid.IsNull() && pattern.rid == column) return &pattern;
  }
  return nullptr;
}

uint32_t RewriteHead(const Head& head, const com::Bstr& tableName, const UnifyTableEntry& entry, Heads& heads) {
  std::vector<Attribute> attributes;
  std::string name;
  std::optional<std::string> type;
  const UnifyPattern* nameMatch = nullptr;
  const UnifyPattern* formerMatch = nullptr;
  for (const Attribute& a : head.attributes) {
    if (a.name == "name") {
      name = a.value;
      nameMatch = FindPattern(entry, tableName, com::Bstr::FromUtf8(name));
    } else if (a.name == "orginalname") {
      formerMatch = FindPattern(entry, tableName, com::Bstr::FromUtf8(a.value));
    } else if (a.name == "type") {
      type = a.value;
    } else {
      SetAttribute(attributes, a.name, a.value);
    }
  }
  // A column renamed before keeps the name it was first given.
  const UnifyPattern* match = formerMatch ? formerMatch : nameMatch;
  SetAttribute(attributes, "name", match ? match->lid.ToUtf8() : name);
  if (type) SetAttribute(attributes, "type", *type);
  if (match) SetAttribute(attributes, "orginalname", match->rid.ToUtf8());
  return heads.Intern(std::move(attributes));
}

}  // namespace

Response Rewrite(const Response& response, const UnifyTableEntry& entry, Heads& heads) {
  Response out;
  const std::string unify = entry.GetUnify().ToUtf8();
  for (const Table& table : response.tables) {
    Table rewritten = table;
    com::Bstr tableName;
    for (const Attribute& a : table.attributes)
      if (a.name == "name") tableName = com::Bstr::FromUtf8(CResultRewriter::StripTableQualifier(a.value));
    SetAttribute(rewritten.attributes, "unify", unify);
    const size_t known = heads.size();
    auto map = std::make_shared<std::vector<uint32_t>>(known);
    std::vector<uint32_t> byHead(known, UINT32_MAX);
    for (size_t h = 0; h < known; ++h) {
      // Heads made after an earlier rename are in no record of the table.
      const uint32_t from =
          table.renamed && h < table.renamed->size() ? (*table.renamed)[h] : static_cast<uint32_t>(h);
      if (byHead[from] == UINT32_MAX) byHead[from] = RewriteHead(heads[from], tableName, entry, heads);
      (*map)[h] = byHead[from];
    }
    rewritten.renamed = std::move(map);
    out.tables.push_back(std::move(rewritten));
  }
  return out;
}

Result<Response> UnifyStep(const Response* first, const Response* second, const UnifyTableEntry* firstEntry,
                           const UnifyTableEntry* secondEntry, Heads& heads, const Hold& hold) {
  Response response;
  // Without a rule on either side two answers stay side by side.
  if (!firstEntry && !secondEntry && first && second) {
    for (const Response* side : {first, second})
      response.tables.insert(response.tables.end(), side->tables.begin(), side->tables.end());
    return response;
  }
  std::optional<Response> rewrittenLeft, rewrittenRight;
  const Response* left = first;
  const Response* right = second;
  const UnifyTableEntry* kindEntry = firstEntry ? firstEntry : secondEntry;
  // A rewrite reads held records: a join still to run is run first.
  const auto held = [&](const Response& side) -> Result<Response> {
    Response out{side.attributes, {}};
    for (const Table& table : side.tables) {
      QUOR_ASSIGN_OR_RETURN(Table t, Materialize(table, hold));
      out.tables.push_back(std::move(t));
    }
    return out;
  };
  if (firstEntry && !secondEntry) {
    if (first) {
      QUOR_ASSIGN_OR_RETURN(const Response input, held(*first));
      rewrittenLeft = Rewrite(input, *firstEntry, heads);
      left = &*rewrittenLeft;
    }
  } else if (!firstEntry && secondEntry) {
    if (second) {
      QUOR_ASSIGN_OR_RETURN(const Response input, held(*second));
      rewrittenRight = Rewrite(input, *secondEntry, heads);
      right = &*rewrittenRight;
    }
  } else if (!firstEntry && !secondEntry) {
    left = first ? first : second;
    right = nullptr;
  }
  if (!left && !right) return response;

  Merger merger(heads, hold);
  if (kindEntry && !kindEntry->GetUnify().IsNull() && !kindEntry->GetUnify().Empty())
    merger.joinKind = kindEntry->GetUnify().ToUtf8();
  if (left && right) {
    QUOR_ASSIGN_OR_RETURN(response.tables, merger.MergeTwo(*left, *right));
  } else {
    QUOR_ASSIGN_OR_RETURN(const std::optional<Table> table, merger.MergeOne(left ? *left : *right));
    if (table) response.tables.push_back(*table);
  }
  return response;
}

Result<Response> MergeWithoutRule(const Response& first, const Response& second, std::string_view joinKind,
                                  Heads& heads, const Hold& hold) {
  Merger merger(heads, hold);
  merger.joinKind = std::string(joinKind);
  return merger.JoinResponses(first, second);
}

std::optional<std::string> ResultTableName(const Response& response) {
  if (response.tables.empty()) return std::nullopt;
  const std::string* name = response.tables.front().Attr("name");
  if (!name) return std::nullopt;
  return CResultRewriter::StripTableQualifier(*name);
}

}  // namespace quor::core::compact
