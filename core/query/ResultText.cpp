#include "core/query/ResultText.h"

#include <array>
#include <vector>

#include "core/KeywordTable.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

// Names as the writer's texts use them; anything rarer takes the parser.
template <typename C>
bool IsNameStart(C c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
template <typename C>
bool IsNameChar(C c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

struct Reference {
  std::string_view text;  // ASCII
  char stands;
};
// The references the writer makes, in text and in attribute values.
constexpr std::array<Reference, 4> kTextReferences{{{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&#xD;", '\r'}}};
constexpr std::array<Reference, 7> kValueReferences{{{"&amp;", '&'},
                                                     {"&lt;", '<'},
                                                     {"&gt;", '>'},
                                                     {"&quot;", '"'},
                                                     {"&#x9;", '\t'},
                                                     {"&#xA;", '\n'},
                                                     {"&#xD;", '\r'}}};

std::u16string Wide(std::u16string_view s) { return std::u16string(s); }
std::u16string Wide(std::string_view s) { return text::Widen(s); }

// Reads UTF-16 or UTF-8 text alike: the answers the accessor writes stay
// UTF-8 from the database to the SOAP answer.
template <typename C>
class Scanner {
  friend class ::quor::core::WrittenStream;

 public:
  using View = std::basic_string_view<C>;
  explicit Scanner(View s) : s_(s) {}

  bool Element(WrittenElement* element) {
    std::vector<View> open;  // the elements not yet closed
    bool rootDone = false;
    for (;;) {
      // A start tag.
      View tag;
      bool empty = false;
      if (!StartTag(tag, empty, rootDone ? nullptr : element)) return false;
      if (element && !rootDone) element->tag = Wide(tag);
      rootDone = true;
      if (!empty) open.push_back(tag);
      if (!empty && At("</")) return false;  // "<x></x>" is written "<x/>"
      // Content and end tags up to the next start tag or the end.
      for (;;) {
        if (open.empty()) return at_ == s_.size();
        if (at_ >= s_.size()) return false;
        if (s_[at_] != '<') {
          if (!Text()) return false;
          continue;
        }
        if (At("</")) {
          if (!EndTag(open.back())) return false;
          open.pop_back();
          continue;
        }
        break;
      }
    }
  }

 private:
  bool At(std::string_view ascii) const {
    if (s_.size() - at_ < ascii.size()) return false;
    for (size_t i = 0; i < ascii.size(); ++i)
      if (s_[at_ + i] != static_cast<C>(ascii[i])) return false;
    return true;
  }
  bool AtText(View what) const { return s_.substr(at_, what.size()) == what; }

  // One character XML allows (a surrogate pair or a UTF-8 sequence as one);
  // false otherwise.
  bool Character() {
    if constexpr (sizeof(C) == 2) {
      const char16_t c = s_[at_];
      if (c < 0x20) {
        if (c != u'\t' && c != u'\n') return false;  // a raw CR would come back as LF
      } else if (c >= 0xD800 && c <= 0xDBFF) {
        if (at_ + 1 >= s_.size() || s_[at_ + 1] < 0xDC00 || s_[at_ + 1] > 0xDFFF) return false;
        ++at_;
      } else if ((c >= 0xDC00 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) {
        return false;
      }
      ++at_;
      return true;
    } else {
      const auto byte = [&](size_t i) { return static_cast<unsigned char>(s_[at_ + i]); };
      const unsigned char c = byte(0);
      if (c < 0x80) {
        if (c < 0x20 && c != '\t' && c != '\n') return false;
        ++at_;
        return true;
      }
      size_t n;
      char32_t cp;
      if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
      else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
      else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
      else return false;
      if (s_.size() - at_ < n) return false;
      for (size_t i = 1; i < n; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (byte(i) & 0x3F);
      }
      // Overlong forms, surrogates, U+FFFE/U+FFFF and beyond U+10FFFF.
      if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF) ||
          cp == 0xFFFE || cp == 0xFFFF)
        return false;
      at_ += n;
      return true;
    }
  }

  template <size_t N>
  bool Ref(const std::array<Reference, N>& known, std::basic_string<C>* value) {
    for (const Reference& r : known) {
      if (!At(r.text)) continue;
      at_ += r.text.size();
      if (value) value->push_back(static_cast<C>(r.stands));
      return true;
    }
    return false;
  }

  bool Name(View& name) {
    const size_t start = at_;
    if (at_ >= s_.size() || !IsNameStart(s_[at_])) return false;
    while (at_ < s_.size() && IsNameChar(s_[at_])) ++at_;
    name = s_.substr(start, at_ - start);
    return true;
  }

  bool IsNameAttribute(View name) const {
    const com::Bstr& keyword = CKeywordTable::Instance()[KW_NAME];
    if constexpr (sizeof(C) == 2) {
      return name == keyword.View();
    } else {
      return name == keyword.Utf8();
    }
  }

  bool StartTag(View& tag, bool& empty, WrittenElement* element) {
    if (at_ >= s_.size() || s_[at_] != '<') return false;
    ++at_;
    if (!Name(tag)) return false;
    names_.clear();
    while (at_ < s_.size() && s_[at_] == ' ') {
      ++at_;
      View name;
      if (!Name(name) || !At("=\"")) return false;
      for (const View seen : names_)
        if (seen == name) return false;  // the parser refuses the document
      names_.push_back(name);
      at_ += 2;
      std::basic_string<C> valueText;
      std::basic_string<C>* value = element && IsNameAttribute(name) ? &valueText : nullptr;
      for (;;) {
        if (at_ >= s_.size()) return false;
        const C c = s_[at_];
        if (c == '"') break;
        if (c == '&') {
          if (!Ref(kValueReferences, value)) return false;
          continue;
        }
        // The writer escapes these; raw, the parser would change white space.
        if (c == '<' || c == '>' || c == '\t' || c == '\n' || c == '\r') return false;
        const size_t from = at_;
        if (!Character()) return false;
        if (value) value->append(s_.substr(from, at_ - from));
      }
      if (value) element->name = Wide(View(valueText));
      ++at_;
    }
    if (At("/>")) {
      empty = true;
      at_ += 2;
      return true;
    }
    if (At(">")) {
      empty = false;
      ++at_;
      return true;
    }
    return false;
  }

  bool EndTag(View tag) {
    at_ += 2;
    if (!AtText(tag)) return false;
    at_ += tag.size();
    if (!At(">")) return false;
    ++at_;
    return true;
  }

  // A run of text up to the next '<'. The parser drops a run of white space
  // alone, so such a run is not as written.
  bool Text() {
    bool blank = true;
    while (at_ < s_.size() && s_[at_] != '<') {
      const C c = s_[at_];
      if (c == '&') {
        if (!Ref(kTextReferences, nullptr)) return false;
        blank = false;
        continue;
      }
      if (c == '>' || c == '\r') return false;
      if (c != ' ' && c != '\t' && c != '\n') blank = false;
      if (!Character()) return false;
    }
    return !blank;
  }

  View s_;
  size_t at_ = 0;
  std::vector<View> names_;  // the attributes of the tag being read
};

}  // namespace

bool WrittenStream::Feed(std::string_view part) {
  if (!ok_) return false;
  Scanner<char> s(part);
  const auto read = [&]() -> bool {
    while (s.at_ < s.s_.size()) {
      if (closed_) return false;  // one element, and nothing after it
      if (s.s_[s.at_] != '<') {
        if (open_.empty() || !s.Text()) return false;
        justOpened_ = false;
        continue;
      }
      if (s.At("</")) {
        // "<x></x>" is written "<x/>".
        if (open_.empty() || justOpened_ || !s.EndTag(open_.back())) return false;
        open_.pop_back();
        closed_ = open_.empty();
        justOpened_ = false;
        continue;
      }
      std::string_view tag;
      bool empty = false;
      if (!s.StartTag(tag, empty, nullptr)) return false;
      if (top_.empty()) top_ = tag;
      if (open_.size() == 1 && children_++ == 0) firstChild_ = tag;
      justOpened_ = !empty;
      if (!empty) open_.emplace_back(tag);
      else if (open_.empty()) closed_ = true;
    }
    return true;
  };
  ok_ = read();
  return ok_;
}

bool IsWrittenElement(std::u16string_view text, WrittenElement* element) {
  if (element) *element = {};
  return Scanner<char16_t>(text).Element(element);
}

bool IsWrittenElement(std::string_view utf8, WrittenElement* element) {
  if (element) *element = {};
  return Scanner<char>(utf8).Element(element);
}

com::Bstr ResultPart::Written() const {
  if (node) return com::Bstr::FromUtf8(node->xml());
  if (IsCompact()) {
    std::string out;
    AppendTo(out);
    return com::Bstr::TakeUtf8(std::move(out));
  }
  if (!inResponse) return text;
  std::string out;
  AppendTo(out);
  return com::Bstr::TakeUtf8(std::move(out));
}

void ResultPart::AppendTo(std::string& out) const {
  if (node) {
    out += node->xml();
    return;
  }
  if (IsCompact()) {
    // Written into a string nothing refuses.
    compact::TextOut whole(out);
    compact::WriteResponse(*compact->response, *compact->heads, whole).Ignore();
    return;
  }
  const std::string_view response = CKeywordTable::Instance()[KW_RESPONSE].Utf8();
  if (inResponse) out.append("<").append(response).append(">");
  out += text.Utf8();
  if (inResponse) out.append("</").append(response).append(">");
}

Result<xml::NodePtr> ResultPart::Node() const {
  if (node || (text.IsNull() && !compact)) return node;
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(Written().Utf8()) || !doc->firstChild()) return Status(E_FAIL);
  return doc->firstChild();
}

bool TakeWrittenResponse(com::Bstr& answer, ResultPart& part) {
  part = ResultPart();
  if (answer.IsNull()) return false;
  // Read in the form the text is held in (the accessor's answers: UTF-8).
  if (!(answer.HoldsUtf8() ? IsWrittenElement(answer.Utf8(), &part.element)
                           : IsWrittenElement(answer.View(), &part.element)))
    return false;
  part.inResponse = part.element.tag != CKeywordTable::Instance()[KW_RESPONSE].View();
  part.text = std::move(answer);
  return true;
}

}  // namespace quor::core
