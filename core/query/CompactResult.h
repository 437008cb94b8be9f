// Partial results held as compact tables instead of trees of nodes: a
// table's attributes once, each record only its cells (the column's
// attributes interned once per call, the value's text in blocks of the
// table's own). They stand for the response / table / record / column
// documents an accessor answers when every column holds text alone, and
// write out exactly as the document model writes the same document.
//
// Made and read on the call's thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/com/callcontext.h"
#include "platform/com/status.h"

namespace quor::core::compact {

struct Attribute {
  std::string name, value;  // as the parser reads them: references resolved
};

// What a "column" element is but its value: its attributes in order.
struct Head {
  std::vector<Attribute> attributes;
  std::optional<std::string> name, type;  // the "name" and "type" attributes
  std::string open;                       // "<column" and the attributes, written
};

// The heads of one call, each once; ids stay valid for the call's life.
class Heads {
 public:
  uint32_t Intern(std::vector<Attribute> attributes);
  const Head& operator[](uint32_t id) const { return *heads_[id]; }
  size_t size() const { return heads_.size(); }

 private:
  std::vector<std::unique_ptr<Head>> heads_;
  std::unordered_map<std::string, uint32_t> byOpen_;
};

struct Cell {
  uint32_t head;
  std::string_view value;  // the text; empty: the column has no content
};

// What a reservation of memory answers: success, or the refusal to pass on.
using Hold = std::function<Status(uint64_t more)>;

// The records of one table, appended one by one, never changed after: each
// the shape it has (its heads in order, once per table) and its values.
class Records {
 public:
  explicit Records(Hold hold) : hold_(std::move(hold)) {}
  Records(const Records&) = delete;
  Records& operator=(const Records&) = delete;

  Status Add(std::span<const Cell> cells);
  size_t size() const { return starts_.size(); }
  // The cells of record `i`, into `out` (cleared first).
  void Read(size_t i, std::vector<Cell>& out) const;

 private:
  Hold hold_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t used_ = 0, capacity_ = 0;  // of the last block
  // Block number and offset in it (blocks of 1 MiB but for larger records).
  std::vector<uint32_t> starts_;
  std::vector<std::vector<uint32_t>> shapes_;
  std::unordered_map<std::string, uint32_t> shapeIds_;
  std::string encoded_, shapeKey_;  // the record being added
};

class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual Status Record(std::span<const Cell> cells) = 0;
};

class PendingJoin;

// A table: its records held, with the rename a unify rule gave its column
// heads, or the join of two tables still to run.
struct Table {
  std::vector<Attribute> attributes;
  std::shared_ptr<const Records> records;
  // Head id -> head id after the rename; none: as held.
  std::shared_ptr<const std::vector<uint32_t>> renamed;
  std::shared_ptr<const PendingJoin> pending;

  const std::string* Attr(std::string_view name) const;
  // Records held (0 while the join is still to run).
  size_t size() const { return records ? records->size() : 0; }
  void Read(size_t i, std::vector<Cell>& out) const;
};

struct Response {
  std::vector<Attribute> attributes;
  std::vector<Table> tables;
};

// What writes text out: whole into a string, or in pieces to a sink, each
// ending on a whole tag.
class TextOut {
 public:
  explicit TextOut(std::string& whole) : whole_(&whole) {}
  explicit TextOut(com::ResultSink& sink) : sink_(&sink) {}
  std::string& Buffer() { return whole_ ? *whole_ : buffer_; }
  // Sends what the buffer holds once it is large (always ends on a tag).
  Status MaybeFlush();
  Status Flush();

 private:
  std::string* whole_ = nullptr;
  com::ResultSink* sink_ = nullptr;
  std::string buffer_;
};

// Writes `response` as the document model would write it; pending joins
// run on the way.
Status WriteResponse(const Response& response, const Heads& heads, TextOut& out);
void WriteStartTag(std::string& out, std::string_view name, std::span<const Attribute> attributes);
void WriteRecord(std::string& out, std::span<const Cell> cells, const Heads& heads);
// A held table, whole.
void WriteTable(std::string& out, const Table& table, const Heads& heads);
// `table`'s records held in a table of its own (a join runs into it).
Result<Table> Materialize(const Table& table, const Hold& hold);

}  // namespace quor::core::compact
