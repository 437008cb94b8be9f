#include "core/query/CompactReader.h"

#include <deque>

#include "platform/text/text.h"

namespace quor::core::compact {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

bool IsXmlChar(uint32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
         (cp >= 0x10000 && cp <= 0x10FFFF);
}

// The length of the valid XML character at `s[i]` (a lead byte >= 0x80); 0
// when the bytes are no such character.
size_t Utf8Length(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  size_t len = 0;
  uint32_t cp = 0, min = 0;
  if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F, min = 0x80;
  else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F, min = 0x800;
  else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07, min = 0x10000;
  if (!len || i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || !IsXmlChar(cp)) return 0;
  return len;
}

// A reference at `s[at]` ('&'), appended decoded; its length, 0 for one of
// a kind the reader leaves to the document model.
size_t Reference(std::string_view s, size_t at, std::string& out) {
  static constexpr std::pair<std::string_view, char> kNamed[] = {
      {"lt;", '<'}, {"gt;", '>'}, {"amp;", '&'}, {"quot;", '"'}, {"apos;", '\''}};
  const std::string_view rest = s.substr(at + 1);
  if (!rest.starts_with('#')) {
    for (const auto& [name, c] : kNamed)
      if (rest.starts_with(name)) {
        out += c;
        return name.size() + 1;
      }
    return 0;
  }
  const bool hex = rest.size() > 1 && rest[1] == 'x';
  size_t k = hex ? 2 : 1;
  const size_t digits = k;
  uint32_t value = 0;
  for (; k < rest.size(); ++k) {
    const char c = rest[k];
    uint32_t d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else break;
    value = std::min<uint32_t>(value * (hex ? 16 : 10) + d, 0x110000);
  }
  if (k == digits || k >= rest.size() || rest[k] != ';' || !IsXmlChar(value)) return 0;
  text::AppendUtf8(out, value);
  return k + 2;
}

// Decodes raw text (a column's content, or an attribute value when
// `attribute`) as the parser would; false for what the reader leaves.
bool Decode(std::string_view raw, bool attribute, std::string& out) {
  out.clear();
  for (size_t i = 0; i < raw.size();) {
    const char c = raw[i];
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) {
      const size_t len = Utf8Length(raw, i);
      if (!len) return false;
      out.append(raw.substr(i, len));
      i += len;
    } else if (c == '&') {
      const size_t len = Reference(raw, i, out);
      if (!len) return false;
      i += len;
    } else if (c == '\r') {
      // A line end is one line feed in text, one blank in an attribute.
      out += attribute ? ' ' : '\n';
      i += raw.substr(i + 1).starts_with('\n') ? 2 : 1;
    } else if (attribute && (c == '\t' || c == '\n')) {
      out += ' ';
      ++i;
    } else if (u < 0x20 && c != '\t' && c != '\n') {
      return false;
    } else if (attribute && c == '<') {
      return false;
    } else if (!attribute && c == ']' && raw.substr(i).starts_with("]]>")) {
      return false;
    } else {
      out += c;
      ++i;
    }
  }
  return true;
}

// Whether raw text needs more than taking as it is: anything but plain
// printable ASCII (and ']' which may begin "]]>").
bool Plain(std::string_view raw) {
  for (const char c : raw) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x80 || c == '&' || c == ']') return false;
  }
  return true;
}

bool AllSpace(std::string_view raw) {
  for (const char c : raw)
    if (!IsSpace(c)) return false;
  return true;
}

size_t SkipSpace(std::string_view in, size_t p) {
  while (p < in.size() && IsSpace(in[p])) ++p;
  return p;
}

// The element name after the '<' at `p`; empty (with `more`) when the
// input ends before it does.
std::string_view NameAt(std::string_view in, size_t p, bool& more) {
  size_t e = p + 1;
  while (e < in.size() && !IsSpace(in[e]) && in[e] != '/' && in[e] != '>') ++e;
  more = e >= in.size();
  return more ? std::string_view() : in.substr(p + 1, e - p - 1);
}

}  // namespace

AnswerReader::Step AnswerReader::ReadStartTag(std::string_view in, size_t& at, std::string_view name,
                                              std::vector<Attribute>& attributes, bool& empty) {
  size_t p = at + 1 + name.size();
  attributes.clear();
  std::string value;
  while (true) {
    const size_t spaced = SkipSpace(in, p);
    if (spaced >= in.size()) return Step::More;
    const bool space = spaced > p;
    p = spaced;
    if (in[p] == '>') {
      empty = false;
      at = p + 1;
      return Step::Done;
    }
    if (in[p] == '/') {
      if (p + 1 >= in.size()) return Step::More;
      if (in[p + 1] != '>') return Step::Other;
      empty = true;
      at = p + 2;
      return Step::Done;
    }
    if (!space || !IsNameStart(in[p])) return Step::Other;
    size_t e = p;
    while (e < in.size() && IsNameChar(in[e])) ++e;
    if (e >= in.size()) return Step::More;
    const std::string_view attribute = in.substr(p, e - p);
    p = SkipSpace(in, e);
    if (p >= in.size()) return Step::More;
    if (in[p] != '=') return Step::Other;
    p = SkipSpace(in, p + 1);
    if (p >= in.size()) return Step::More;
    const char quote = in[p];
    if (quote != '"' && quote != '\'') return Step::Other;
    const size_t close = in.find(quote, p + 1);
    if (close == std::string_view::npos) return Step::More;
    if (!Decode(in.substr(p + 1, close - p - 1), true, value)) return Step::Other;
    for (const Attribute& a : attributes)
      if (a.name == attribute) return Step::Other;  // the document model names the fault
    attributes.push_back({std::string(attribute), value});
    p = close + 1;
  }
}

AnswerReader::Step AnswerReader::ReadEndTag(std::string_view in, size_t& at, std::string_view name) {
  // At "</".
  size_t p = at + 2;
  if (in.size() - p < name.size() + 1) return Step::More;
  if (in.substr(p, name.size()) != name) return Step::Other;
  p = SkipSpace(in, p + name.size());
  if (p >= in.size()) return Step::More;
  if (in[p] != '>') return Step::Other;
  at = p + 1;
  return Step::Done;
}

AnswerReader::Step AnswerReader::ReadRecord(std::string_view in, size_t& at) {
  // At "<record" followed by a blank, '/' or '>'.
  size_t p = SkipSpace(in, at + 7);
  if (p >= in.size()) return Step::More;
  cells_.clear();
  std::deque<std::string> decoded;
  std::vector<Attribute> attributes;
  if (in[p] == '/') {
    if (p + 1 >= in.size()) return Step::More;
    if (in[p + 1] != '>') return Step::Other;
    p += 2;
  } else {
    if (in[p] != '>') return Step::Other;  // a record's attributes are left to the document model
    ++p;
    while (true) {
      const size_t tag = in.find('<', p);
      if (tag == std::string_view::npos) return Step::More;
      if (!AllSpace(in.substr(p, tag - p))) return Step::Other;
      p = tag;
      if (p + 1 >= in.size()) return Step::More;
      if (in[p + 1] == '/') {
        const Step end = ReadEndTag(in, p, "record");
        if (end != Step::Done) return end;
        break;
      }
      bool more = false;
      const std::string_view name = NameAt(in, p, more);
      if (more) return Step::More;
      if (name != "column") return Step::Other;
      // The start tag as written names its head: read its attributes once.
      size_t end = p + 7;
      char quote = 0;
      for (; end < in.size(); ++end) {
        if (quote) {
          if (in[end] == quote) quote = 0;
        } else if (in[end] == '"' || in[end] == '\'') {
          quote = in[end];
        } else if (in[end] == '>') {
          break;
        }
      }
      if (end >= in.size()) return Step::More;
      const std::string_view written = in.substr(p, end + 1 - p);
      uint32_t head;
      bool empty;
      if (const auto known = written_.find(written); known != written_.end()) {
        head = known->second;
        empty = written.ends_with("/>");
        p = end + 1;
      } else {
        const Step read = ReadStartTag(in, p, "column", attributes, empty);
        if (read != Step::Done) return read;
        if (p != end + 1) return Step::Other;
        // A head is kept for the call: counted, since an answer may name
        // ever new ones.
        if (hold_) {
          if (Status held = hold_(4 * written.size() + 256); !held.ok()) {
            failure_ = std::move(held);
            return Step::Other;
          }
        }
        head = heads_.Intern(attributes);
        written_.emplace(std::string(written), head);
      }
      std::string_view value;
      if (!empty) {
        const size_t close = in.find('<', p);
        if (close == std::string_view::npos) return Step::More;
        const std::string_view raw = in.substr(p, close - p);
        // Blanks alone are no text.
        if (!AllSpace(raw)) {
          if (Plain(raw)) {
            value = raw;
          } else {
            std::string& text = decoded.emplace_back();
            if (!Decode(raw, false, text)) return Step::Other;
            value = text;
          }
        }
        p = close;
        if (p + 1 >= in.size()) return Step::More;
        if (in[p + 1] != '/') return Step::Other;
        const Step closed = ReadEndTag(in, p, "column");
        if (closed != Step::Done) return closed;
      }
      cells_.push_back({head, value});
    }
  }
  if (Status added = records_->Add(cells_); !added.ok()) {
    failure_ = std::move(added);
    return Step::Other;
  }
  at = p;
  return Step::Done;
}

Status AnswerReader::CloseTable() {
  Table table;
  table.attributes = std::move(tableAttributes_);
  table.records = std::move(records_);
  response_->tables.push_back(std::move(table));
  tableAttributes_.clear();
  return Status();
}

AnswerReader::Step AnswerReader::Read(std::string_view in, size_t& at) {
  std::vector<Attribute> attributes;
  while (true) {
    size_t p = at;
    if (state_ == State::Prolog && first_) {
      if (in.size() < 3 && std::string_view("\xEF\xBB\xBF").starts_with(in)) return Step::More;
      if (in.starts_with("\xEF\xBB\xBF")) p += 3;
    }
    p = SkipSpace(in, p);
    if (p >= in.size()) return Step::More;
    if (state_ == State::After || in[p] != '<') return Step::Other;
    if (p + 1 >= in.size()) return Step::More;
    if (in[p + 1] == '/') {
      const std::string_view name = state_ == State::InTable ? "table" : "response";
      if (state_ == State::Prolog) return Step::Other;
      const Step end = ReadEndTag(in, p, name);
      if (end != Step::Done) return end;
      if (state_ == State::InTable) {
        CloseTable().Ignore();
        state_ = rootIsTable_ ? State::After : State::InResponse;
      } else {
        state_ = State::After;
      }
      at = p;
      continue;
    }
    bool more = false;
    const std::string_view name = NameAt(in, p, more);
    if (more) return Step::More;
    bool empty = false;
    switch (state_) {
      case State::Prolog: {
        if (name != "response" && name != "table") return Step::Other;
        const Step read = ReadStartTag(in, p, name, attributes, empty);
        if (read != Step::Done) return read;
        first_ = false;
        if (name == "table") {
          // A lone table stands in a response of its own.
          rootIsTable_ = true;
          tableAttributes_ = std::move(attributes);
          records_ = std::make_shared<Records>(hold_);
          if (empty) {
            CloseTable().Ignore();
            state_ = State::After;
          } else {
            state_ = State::InTable;
          }
        } else {
          response_->attributes = std::move(attributes);
          state_ = empty ? State::After : State::InResponse;
        }
        break;
      }
      case State::InResponse: {
        if (name != "table") return Step::Other;
        const Step read = ReadStartTag(in, p, name, attributes, empty);
        if (read != Step::Done) return read;
        tableAttributes_ = std::move(attributes);
        records_ = std::make_shared<Records>(hold_);
        if (empty) CloseTable().Ignore();
        else state_ = State::InTable;
        break;
      }
      case State::InTable: {
        if (name != "record") return Step::Other;
        const Step read = ReadRecord(in, p);
        if (read != Step::Done) return read;
        break;
      }
      case State::After:
      case State::Raw: return Step::Other;
    }
    at = p;
  }
}

void AnswerReader::GoRaw(std::string_view rest) {
  // What was read, written as the document model writes it, parses to what
  // the text read would have; the rest follows as it came.
  std::string text;
  const auto tables = [&] {
    for (const Table& table : response_->tables) WriteTable(text, table, heads_);
  };
  const auto openTable = [&] {
    WriteStartTag(text, "table", tableAttributes_);
    text += '>';
    std::vector<Cell> cells;
    for (size_t i = 0; i < records_->size(); ++i) {
      records_->Read(i, cells);
      WriteRecord(text, cells, heads_);
    }
  };
  switch (state_) {
    case State::Prolog:
    case State::Raw: break;
    case State::InResponse:
      WriteStartTag(text, "response", response_->attributes);
      text += '>';
      tables();
      break;
    case State::InTable:
      if (!rootIsTable_) {
        WriteStartTag(text, "response", response_->attributes);
        text += '>';
        tables();
      }
      openTable();
      break;
    case State::After:
      if (rootIsTable_) {
        tables();
      } else {
        TextOut out(text);
        WriteResponse(*response_, heads_, out).Ignore();
      }
      break;
  }
  text.append(rest);
  raw_ = std::move(text);
  state_ = State::Raw;
  response_.reset();
  records_.reset();
  pending_.clear();
  pending_.shrink_to_fit();
}

Status AnswerReader::Feed(std::string_view piece) {
  if (!failure_.ok()) return failure_;
  if (state_ == State::Raw) {
    raw_.append(piece);
    return Status();
  }
  std::string_view in = piece;
  if (!pending_.empty()) {
    pending_.append(piece);
    in = pending_;
  }
  size_t at = 0;
  const Step step = Read(in, at);
  if (!failure_.ok()) return failure_;
  if (step == Step::Other) {
    GoRaw(in.substr(at));
    return Status();
  }
  if (in.data() == pending_.data()) {
    pending_.erase(0, at);
  } else {
    pending_.assign(in.substr(at));
  }
  return Status();
}

Status AnswerReader::Write(std::string_view piece) { return Feed(piece); }

Result<AnswerReader::Outcome> AnswerReader::Finish(std::string_view rest) {
  QUOR_RETURN_IF_ERROR(Feed(rest));
  // Blanks after the end are no part of the document; anything unfinished
  // is the document model's to judge.
  if (state_ == State::After && AllSpace(pending_)) {
    Outcome outcome;
    outcome.response = std::move(response_);
    return outcome;
  }
  if (state_ != State::Raw) GoRaw(pending_);
  Outcome outcome;
  outcome.text = std::move(raw_);
  return outcome;
}

}  // namespace quor::core::compact
