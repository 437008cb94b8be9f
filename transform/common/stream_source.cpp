#include "transform/common/stream_source.h"

#include <charconv>
#include <exception>

#include "platform/text/text.h"
#include "platform/xml/escape.h"
#include "transform/common/fault.h"

namespace quor::transform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool AllBlank(std::string_view text) {
  for (const char c : text)
    if (!IsBlank(c)) return false;
  return true;
}

// `raw` with its references resolved; false for a reference the parser
// would refuse.
bool Unescape(std::string_view raw, std::string& out) {
  for (std::size_t at = 0; at < raw.size();) {
    const std::size_t amp = raw.find('&', at);
    out.append(raw.substr(at, amp == std::string_view::npos ? raw.npos : amp - at));
    if (amp == std::string_view::npos) return true;
    const std::size_t semi = raw.find(';', amp);
    if (semi == std::string_view::npos) return false;
    const std::string_view name = raw.substr(amp + 1, semi - amp - 1);
    if (name == "amp") out += '&';
    else if (name == "lt") out += '<';
    else if (name == "gt") out += '>';
    else if (name == "quot") out += '"';
    else if (name == "apos") out += '\'';
    else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      unsigned long c = 0;
      const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), c, hex ? 16 : 10);
      if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || c == 0 || c > 0x10FFFF ||
          (c >= 0xD800 && c <= 0xDFFF))
        return false;
      text::AppendUtf8(out, static_cast<uint32_t>(c));
    } else {
      return false;
    }
    at = semi + 1;
  }
  return true;
}

}  // namespace

void StreamConversion::AppendTextElement(std::string& out, std::string_view tag, std::string_view text) {
  out += '<';
  out += tag;
  const std::size_t start = out.size();
  out += '>';
  xml::AppendEscaped(out, text);
  if (AllBlank(std::string_view(out).substr(start + 1))) {
    out.resize(start);
    out += "/>";
    return;
  }
  out += "</";
  out += tag;
  out += '>';
}

Status StreamConversion::Feed(std::string_view piece) {
  if (!failed_.ok()) return failed_;
  if (held_.empty()) return Read(piece);
  std::string joined = std::move(held_);
  held_.clear();
  joined.append(piece);
  return Read(joined);
}

Status StreamConversion::End() {
  if (!failed_.ok()) return failed_;
  if (!done_ || !AllBlank(held_)) return Fail(Status(E_UNEXPECTED));
  return Flush(true);
}

Status StreamConversion::Read(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t lt = text.find('<', at);
    if (lt != at) {
      // Text runs to the next tag; one the piece's end cut waits for it.
      if (lt == std::string_view::npos) {
        held_.assign(text.substr(at));
        return Status();
      }
      if (Status status = Text(text.substr(at, lt - at)); !status.ok()) return Fail(std::move(status));
      at = lt;
    }
    const std::size_t gt = text.find('>', at);
    if (gt == std::string_view::npos) {
      held_.assign(text.substr(at));
      return Status();
    }
    if (Status status = Tag(text.substr(at + 1, gt - at - 1)); !status.ok()) return Fail(std::move(status));
    at = gt + 1;
  }
  return Status();
}

Status StreamConversion::Text(std::string_view raw) {
  // The parser keeps no text of blanks alone.
  if (AllBlank(raw)) return Status();
  if (done_) return Status(E_UNEXPECTED);
  if (depth_ >= 4) {
    if (!Unescape(raw, record_.back().text)) return Status(E_UNEXPECTED);
    return Status();
  }
  // Text right in a record is no child of it; text in a table stands where
  // a record would, holding none.
  if (depth_ == 3) return Status();
  if (depth_ == 2) {
    record_.clear();
    Record(record_);
    return Flush(false);
  }
  return Status(depth_ == 1 ? kInvalidSource : E_UNEXPECTED);
}

Status StreamConversion::Tag(std::string_view tag) {
  if (tag.empty() || tag.front() == '!' || tag.front() == '?') return Status(E_UNEXPECTED);
  if (tag.front() == '/') {
    if (depth_ == 0) return Status(E_UNEXPECTED);
    switch (--depth_) {
      case 0:
        EndDocument();
        done_ = true;
        break;
      case 1: EndTable(); break;
      case 2:
        Record(record_);
        return Flush(false);
      default: break;
    }
    return Status();
  }
  if (done_) return Status(E_UNEXPECTED);
  const bool empty = tag.back() == '/';
  if (empty) tag.remove_suffix(1);
  std::size_t nameEnd = 0;
  while (nameEnd < tag.size() && !IsBlank(tag[nameEnd])) ++nameEnd;
  const std::string_view name = tag.substr(0, nameEnd);

  // The "name" attribute: the only one a conversion reads.
  std::optional<std::string> nameAttribute;
  for (std::size_t at = nameEnd; at < tag.size();) {
    while (at < tag.size() && IsBlank(tag[at])) ++at;
    if (at == tag.size()) break;
    const std::size_t start = at;
    while (at < tag.size() && !IsBlank(tag[at]) && tag[at] != '=') ++at;
    const std::string_view attribute = tag.substr(start, at - start);
    while (at < tag.size() && IsBlank(tag[at])) ++at;
    if (at == tag.size() || tag[at] != '=') return Status(E_UNEXPECTED);
    ++at;
    while (at < tag.size() && IsBlank(tag[at])) ++at;
    if (at == tag.size() || (tag[at] != '"' && tag[at] != '\'')) return Status(E_UNEXPECTED);
    const std::size_t close = tag.find(tag[at], at + 1);
    if (close == std::string_view::npos) return Status(E_UNEXPECTED);
    if (attribute == "name") {
      // The parser reads a raw tab or line end in a value as a space.
      std::string raw(tag.substr(at + 1, close - at - 1));
      for (char& c : raw)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
      std::string value;
      if (!Unescape(raw, value)) return Status(E_UNEXPECTED);
      nameAttribute = std::move(value);
    }
    at = close + 1;
  }

  switch (depth_) {
    case 0:
      if (name != "response") return Status(kInvalidSource);
      StartDocument();
      break;
    case 1:
      if (name != "table") return Status(kInvalidSource);
      StartTable(nameAttribute);
      break;
    case 2: record_.clear(); break;
    case 3: record_.push_back({std::string(name), std::move(nameAttribute), {}}); break;
    default: break;
  }
  ++depth_;
  if (empty) return Tag("/");
  return Status();
}

Status StreamConversion::Flush(bool all) {
  if (out_.empty() || (!all && out_.size() < kFlushAt)) return Status();
  if (!sink_) return Fail(Status(E_UNEXPECTED));
  const Status sent = sink_->Write(out_);
  out_.clear();
  if (!sent.ok()) return Fail(sent);
  return Status();
}

HRESULT StreamSlot::Feed(std::string_view piece) noexcept {
  if (!conversion_) return E_UNEXPECTED;
  try {
    return conversion_->Feed(piece).code();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_UNEXPECTED;
  }
}

HRESULT StreamSlot::End() noexcept {
  if (!conversion_) return E_UNEXPECTED;
  try {
    return conversion_->End().code();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_UNEXPECTED;
  }
}

}  // namespace quor::transform
