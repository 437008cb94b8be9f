#include "core/query/CompactResult.h"

#include <cstring>

#include "core/query/CompactMerger.h"
#include "platform/xml/escape.h"

namespace quor::core::compact {
namespace {

constexpr size_t kBlock = 1 << 20;
constexpr size_t kPiece = 64 << 10;

void PutVarint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

uint64_t GetVarint(const char*& p) {
  uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*p++);
    v |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if (!(byte & 0x80)) return v;
  }
}

}  // namespace

void WriteStartTag(std::string& out, std::string_view name, std::span<const Attribute> attributes) {
  out += '<';
  out += name;
  for (const Attribute& a : attributes) {
    out += ' ';
    out += a.name;
    out += "=\"";
    xml::AppendEscaped(out, a.value, xml::EscapeRules{.attribute = true});
    out += '"';
  }
}

uint32_t Heads::Intern(std::vector<Attribute> attributes) {
  std::string open;
  WriteStartTag(open, "column", attributes);
  if (const auto found = byOpen_.find(open); found != byOpen_.end()) return found->second;
  auto head = std::make_unique<Head>();
  for (const Attribute& a : attributes) {
    if (a.name == "name" && !head->name) head->name = a.value;
    else if (a.name == "type" && !head->type) head->type = a.value;
  }
  head->attributes = std::move(attributes);
  head->open = open;
  const auto id = static_cast<uint32_t>(heads_.size());
  heads_.push_back(std::move(head));
  byOpen_.emplace(std::move(open), id);
  return id;
}

Status Records::Add(std::span<const Cell> cells) {
  shapeKey_.clear();
  for (const Cell& cell : cells) PutVarint(shapeKey_, cell.head);
  auto shape = shapeIds_.find(shapeKey_);
  if (shape == shapeIds_.end()) {
    std::vector<uint32_t> heads;
    for (const Cell& cell : cells) heads.push_back(cell.head);
    shapes_.push_back(std::move(heads));
    shape = shapeIds_.emplace(shapeKey_, static_cast<uint32_t>(shapes_.size() - 1)).first;
  }
  encoded_.clear();
  PutVarint(encoded_, shape->second);
  for (const Cell& cell : cells) {
    PutVarint(encoded_, cell.value.size());
    encoded_.append(cell.value);
  }
  const size_t need = encoded_.size();
  if (capacity_ - used_ < need) {
    if (blocks_.size() >= (size_t{1} << 12)) return Status(E_OUTOFMEMORY);
    const size_t size = std::max(kBlock, need);
    if (hold_) QUOR_RETURN_IF_ERROR(hold_(size));
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    used_ = 0;
    capacity_ = size;
  }
  if (starts_.size() == starts_.capacity()) {
    const size_t grown = std::max<size_t>(1024, starts_.capacity() * 2);
    if (hold_) QUOR_RETURN_IF_ERROR(hold_((grown - starts_.capacity()) * sizeof(uint32_t)));
    starts_.reserve(grown);
  }
  std::memcpy(blocks_.back().get() + used_, encoded_.data(), need);
  // A record larger than a block has a block of its own, at its start.
  starts_.push_back(static_cast<uint32_t>(((blocks_.size() - 1) << 20) | used_));
  used_ += need;
  return Status();
}

void Records::Read(size_t i, std::vector<Cell>& out) const {
  out.clear();
  const uint32_t at = starts_[i];
  const char* p = blocks_[at >> 20].get() + (at & ((1u << 20) - 1));
  const std::vector<uint32_t>& heads = shapes_[GetVarint(p)];
  for (const uint32_t head : heads) {
    const uint64_t size = GetVarint(p);
    out.push_back({head, std::string_view(p, size)});
    p += size;
  }
}

const std::string* Table::Attr(std::string_view name) const {
  for (const Attribute& a : attributes)
    if (a.name == name) return &a.value;
  return nullptr;
}

void Table::Read(size_t i, std::vector<Cell>& out) const {
  records->Read(i, out);
  if (renamed)
    for (Cell& cell : out) cell.head = (*renamed)[cell.head];
}

Status TextOut::MaybeFlush() {
  if (whole_ || buffer_.size() < kPiece) return Status();
  return Flush();
}

Status TextOut::Flush() {
  if (whole_ || buffer_.empty()) return Status();
  const Status sent = sink_->Write(buffer_);
  buffer_.clear();
  return sent;
}

void WriteRecord(std::string& out, std::span<const Cell> cells, const Heads& heads) {
  if (cells.empty()) {
    out += "<record/>";
    return;
  }
  out += "<record>";
  for (const Cell& cell : cells) {
    out += heads[cell.head].open;
    if (cell.value.empty()) {
      out += "/>";
    } else {
      out += '>';
      xml::AppendEscaped(out, cell.value);
      out += "</column>";
    }
  }
  out += "</record>";
}

void WriteTable(std::string& out, const Table& table, const Heads& heads) {
  WriteStartTag(out, "table", table.attributes);
  if (!table.size()) {
    out += "/>";
    return;
  }
  out += '>';
  std::vector<Cell> cells;
  for (size_t i = 0; i < table.size(); ++i) {
    table.Read(i, cells);
    WriteRecord(out, cells, heads);
  }
  out += "</table>";
}

namespace {

// Writes records as they come, after the table's start tag, which waits
// for the first of them to know whether the table is empty.
class TableWriter final : public RecordSink {
 public:
  TableWriter(const Heads& heads, TextOut& out) : heads_(heads), out_(out) {}

  void Open(const Table& table) {
    WriteStartTag(out_.Buffer(), "table", table.attributes);
    any_ = false;
  }
  Status Record(std::span<const Cell> cells) override {
    std::string& out = out_.Buffer();
    if (!any_) out += '>';
    any_ = true;
    WriteRecord(out, cells, heads_);
    return out_.MaybeFlush();
  }
  void Close() { out_.Buffer() += any_ ? "</table>" : "/>"; }

 private:
  const Heads& heads_;
  TextOut& out_;
  bool any_ = false;
};

}  // namespace

Status WriteResponse(const Response& response, const Heads& heads, TextOut& out) {
  WriteStartTag(out.Buffer(), "response", response.attributes);
  if (response.tables.empty()) {
    out.Buffer() += "/>";
    return out.MaybeFlush();
  }
  out.Buffer() += '>';
  TableWriter writer(heads, out);
  std::vector<Cell> cells;
  for (const Table& table : response.tables) {
    writer.Open(table);
    if (table.pending) {
      QUOR_RETURN_IF_ERROR(table.pending->Run(writer));
    } else {
      for (size_t i = 0; i < table.size(); ++i) {
        table.Read(i, cells);
        QUOR_RETURN_IF_ERROR(writer.Record(cells));
      }
    }
    writer.Close();
  }
  out.Buffer() += "</response>";
  return out.MaybeFlush();
}

namespace {

class Collect final : public RecordSink {
 public:
  explicit Collect(Records& records) : records_(records) {}
  Status Record(std::span<const Cell> cells) override { return records_.Add(cells); }

 private:
  Records& records_;
};

}  // namespace

Result<Table> Materialize(const Table& table, const Hold& hold) {
  if (!table.pending) return table;
  auto records = std::make_shared<Records>(hold);
  Collect collect(*records);
  QUOR_RETURN_IF_ERROR(table.pending->Run(collect));
  Table held;
  held.attributes = table.attributes;
  held.records = std::move(records);
  return held;
}

}  // namespace quor::core::compact
