#include "core/query/ResultText.h"

#include <array>
#include <vector>

#include "core/KeywordTable.h"
#include "platform/com/errorinfo.h"

namespace quor::core {
namespace {

// Names as the writer's texts use them; anything rarer takes the parser.
bool IsNameStart(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_'; }
bool IsNameChar(char16_t c) { return IsNameStart(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.'; }

struct Reference {
  std::u16string_view text;
  char16_t stands;
};
// The references the writer makes, in text and in attribute values.
constexpr std::array<Reference, 4> kTextReferences{{{u"&amp;", u'&'}, {u"&lt;", u'<'}, {u"&gt;", u'>'},
                                                    {u"&#xD;", u'\r'}}};
constexpr std::array<Reference, 7> kValueReferences{{{u"&amp;", u'&'},
                                                     {u"&lt;", u'<'},
                                                     {u"&gt;", u'>'},
                                                     {u"&quot;", u'"'},
                                                     {u"&#x9;", u'\t'},
                                                     {u"&#xA;", u'\n'},
                                                     {u"&#xD;", u'\r'}}};

class Scanner {
 public:
  explicit Scanner(std::u16string_view s) : s_(s) {}

  bool Element(WrittenElement* element) {
    std::vector<std::u16string_view> open;  // the elements not yet closed
    bool rootDone = false;
    for (;;) {
      // A start tag.
      std::u16string_view tag;
      bool empty = false;
      if (!StartTag(tag, empty, rootDone ? nullptr : element)) return false;
      if (element && !rootDone) element->tag = tag;
      rootDone = true;
      if (!empty) open.push_back(tag);
      if (!empty && At(u"</")) return false;  // "<x></x>" is written "<x/>"
      // Content and end tags up to the next start tag or the end.
      for (;;) {
        if (open.empty()) return at_ == s_.size();
        if (at_ >= s_.size()) return false;
        if (s_[at_] != u'<') {
          if (!Text()) return false;
          continue;
        }
        if (At(u"</")) {
          if (!EndTag(open.back())) return false;
          open.pop_back();
          continue;
        }
        break;
      }
    }
  }

 private:
  bool At(std::u16string_view what) const { return s_.substr(at_, what.size()) == what; }

  // One character XML allows, a surrogate pair as one; false otherwise.
  bool Character() {
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
  }

  template <size_t N>
  bool Ref(const std::array<Reference, N>& known, std::u16string* value) {
    for (const Reference& r : known) {
      if (!At(r.text)) continue;
      at_ += r.text.size();
      if (value) value->push_back(r.stands);
      return true;
    }
    return false;
  }

  bool Name(std::u16string_view& name) {
    const size_t start = at_;
    if (at_ >= s_.size() || !IsNameStart(s_[at_])) return false;
    while (at_ < s_.size() && IsNameChar(s_[at_])) ++at_;
    name = s_.substr(start, at_ - start);
    return true;
  }

  bool StartTag(std::u16string_view& tag, bool& empty, WrittenElement* element) {
    if (at_ >= s_.size() || s_[at_] != u'<') return false;
    ++at_;
    if (!Name(tag)) return false;
    names_.clear();
    while (at_ < s_.size() && s_[at_] == u' ') {
      ++at_;
      std::u16string_view name;
      if (!Name(name) || !At(u"=\"")) return false;
      for (const std::u16string_view seen : names_)
        if (seen == name) return false;  // the parser refuses the document
      names_.push_back(name);
      at_ += 2;
      std::u16string* value = nullptr;
      if (element && name == CKeywordTable::Instance()[KW_NAME].View()) value = &element->name.emplace();
      for (;;) {
        if (at_ >= s_.size()) return false;
        const char16_t c = s_[at_];
        if (c == u'"') break;
        if (c == u'&') {
          if (!Ref(kValueReferences, value)) return false;
          continue;
        }
        // The writer escapes these; raw, the parser would change white space.
        if (c == u'<' || c == u'>' || c == u'\t' || c == u'\n' || c == u'\r') return false;
        const size_t from = at_;
        if (!Character()) return false;
        if (value) value->append(s_.substr(from, at_ - from));
      }
      ++at_;
    }
    if (At(u"/>")) {
      empty = true;
      at_ += 2;
      return true;
    }
    if (At(u">")) {
      empty = false;
      ++at_;
      return true;
    }
    return false;
  }

  bool EndTag(std::u16string_view tag) {
    at_ += 2;
    if (!At(tag)) return false;
    at_ += tag.size();
    if (!At(u">")) return false;
    ++at_;
    return true;
  }

  // A run of text up to the next '<'. The parser drops a run of white space
  // alone, so such a run is not as written.
  bool Text() {
    bool blank = true;
    while (at_ < s_.size() && s_[at_] != u'<') {
      const char16_t c = s_[at_];
      if (c == u'&') {
        if (!Ref(kTextReferences, nullptr)) return false;
        blank = false;
        continue;
      }
      if (c == u'>' || c == u'\r') return false;
      if (c != u' ' && c != u'\t' && c != u'\n') blank = false;
      if (!Character()) return false;
    }
    return !blank;
  }

  std::u16string_view s_;
  size_t at_ = 0;
  std::vector<std::u16string_view> names_;  // the attributes of the tag being read
};

}  // namespace

bool IsWrittenElement(std::u16string_view text, WrittenElement* element) {
  if (element) *element = {};
  return Scanner(text).Element(element);
}

com::Bstr ResultPart::Written() const {
  if (node) return com::Bstr::FromUtf8(node->xml());
  if (!inResponse) return text;
  std::u16string out;
  AppendTo(out);
  return com::Bstr(std::move(out));
}

void ResultPart::AppendTo(std::u16string& out) const {
  if (node) {
    out += com::Bstr::FromUtf8(node->xml()).View();
    return;
  }
  const std::u16string_view response = CKeywordTable::Instance()[KW_RESPONSE].View();
  if (inResponse) out.append(u"<").append(response).append(u">");
  out += text.View();
  if (inResponse) out.append(u"</").append(response).append(u">");
}

xml::NodePtr ResultPart::Node() const {
  if (node || text.IsNull()) return node;
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(Written().View()) || !doc->firstChild()) throw com::ComError(E_FAIL);
  return doc->firstChild();
}

bool TakeWrittenResponse(com::Bstr& answer, ResultPart& part) {
  part = ResultPart();
  if (answer.IsNull() || !IsWrittenElement(answer.View(), &part.element)) return false;
  part.inResponse = part.element.tag != CKeywordTable::Instance()[KW_RESPONSE].View();
  part.text = std::move(answer);
  return true;
}

}  // namespace quor::core
