// Loading: bytes -> UTF-8 -> the checks pugixml leaves out -> pugixml -> nodes.
//
// pugixml is a fast but forgiving parser: it accepts bare '&', undeclared
// entities, duplicate attributes, control characters, invalid UTF-8, text or
// a second element at the top level, and a declaration anywhere. Documents
// like that were refused by the parser the system was written for, so we
// refuse them too: a character pass and a light markup pass run before
// pugixml, the top-level rules after it, and the first problem in the text
// is the one reported.
#include "platform/xml/dom.h"

#include "platform/fs/fs.h"
#include "platform/text/text.h"
#include "platform/xml/tree.h"

#include <pugixml.hpp>

#include <algorithm>
#include <unordered_set>

namespace quor::xml {

namespace {

constexpr size_t kNoPlace = std::string_view::npos;
constexpr size_t kMaxSourceText = 200;

struct Problem {
  ParseErrorCode code = ParseErrorCode::None;
  std::string reason;
  size_t offset = kNoPlace;  // in the UTF-8 text

  explicit operator bool() const { return code != ParseErrorCode::None; }
};

// The earlier of two problems in the text.
Problem First(Problem a, Problem b) {
  if (!a) return b;
  if (!b) return a;
  return b.offset < a.offset ? std::move(b) : std::move(a);
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsXmlChar(uint32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

void PutPlace(ParseError& error, std::string_view text, size_t offset) {
  offset = std::min(offset, text.size());
  long line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < offset; ++i) {
    const char c = text[i];
    if (c == '\n' || (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
      ++line;
      line_start = i + 1;
    }
  }
  long pos = 1;
  for (size_t i = line_start; i < offset; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++pos;
  size_t line_end = text.find_first_of("\r\n", line_start);
  if (line_end == std::string_view::npos) line_end = text.size();
  size_t length = std::min(line_end - line_start, kMaxSourceText);
  if (line_start + length < line_end)
    while (length > 0 && (static_cast<unsigned char>(text[line_start + length]) & 0xC0) == 0x80) --length;
  error.line = line;
  error.linepos = pos;
  error.srcText.assign(text.substr(line_start, length));
}

// ---- UTF-16 -------------------------------------------------------------------

// UTF-16 to UTF-8; false at an unpaired surrogate, `out` then holding the
// text before it (so the failure can be placed).
bool DecodeUtf16(std::u16string_view in, std::string& out) {
  out.reserve(out.size() + in.size() + in.size() / 2);
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    text::AppendUtf8(out, cp);
  }
  return true;
}

// ---- Declared encoding --------------------------------------------------------

struct Declared {
  std::string_view name;
  size_t offset;  // of the name in the text
};

std::optional<Declared> DeclaredEncoding(std::string_view bytes) {
  if (!bytes.starts_with("<?xml") || bytes.size() < 6 || !IsSpace(bytes[5])) return std::nullopt;
  const size_t end = bytes.find("?>");
  if (end == std::string_view::npos) return std::nullopt;
  const std::string_view decl = bytes.substr(0, end);
  for (size_t at = decl.find("encoding"); at != std::string_view::npos; at = decl.find("encoding", at + 1)) {
    if (!IsSpace(decl[at - 1])) continue;
    size_t i = at + 8;
    while (i < decl.size() && IsSpace(decl[i])) ++i;
    if (i >= decl.size() || decl[i] != '=') continue;
    ++i;
    while (i < decl.size() && IsSpace(decl[i])) ++i;
    if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) continue;
    const size_t close = decl.find(decl[i], i + 1);
    if (close == std::string_view::npos) return std::nullopt;
    return Declared{decl.substr(i + 1, close - i - 1), i + 1};
  }
  return std::nullopt;
}

// After a failed conversion: the longest start of `bytes` that converts, as
// UTF-8, to place the failure. Whole lines first, then within the bad line.
std::string ConvertedPrefix(std::string_view bytes, std::string_view charset) {
  std::string good;
  for (size_t start = 0; start < bytes.size();) {
    const size_t nl = bytes.find('\n', start);
    const size_t end = nl == std::string_view::npos ? bytes.size() : nl + 1;
    const std::string_view line = bytes.substr(start, end - start);
    if (Result<std::string> part = text::ToUtf8(line, charset); part.ok()) {
      good += *part;
      start = end;
      continue;
    }
    if (line.size() > 4096) break;  // not worth the search
    std::string best;
    // A prefix that ends inside a character fails too, so go on a few bytes
    // past the last success before giving up.
    for (size_t k = 1, last_ok = 0; k <= line.size() && k - last_ok <= 4; ++k) {
      if (Result<std::string> part = text::ToUtf8(line.substr(0, k), charset); part.ok()) {
        best = std::move(*part);
        last_ok = k;
      }
    }
    good += best;
    break;
  }
  return good;
}

// ---- Checks before pugixml --------------------------------------------------

Problem CheckCharacters(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
        return {ParseErrorCode::InvalidCharacter,
                text::Format("The character U+%04X is not allowed in XML.", static_cast<unsigned>(c)), i};
      ++i;
      continue;
    }
    size_t len = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4, cp = c & 0x07, min = 0x10000;
    }
    bool valid = len != 0 && i + len <= s.size();
    for (size_t k = 1; valid && k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      valid = (cc & 0xC0) == 0x80;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (!valid || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return {ParseErrorCode::BadEncoding,
              text::Format("Invalid UTF-8 byte sequence (byte 0x%02X).", static_cast<unsigned>(c)), i};
    if (!IsXmlChar(cp))
      return {ParseErrorCode::InvalidCharacter,
              text::Format("The character U+%04X is not allowed in XML.", static_cast<unsigned>(cp)), i};
    i += len;
  }
  return {};
}

// `s[at]` is '&': a character reference, one of the five predefined
// entities, or (when the document has a DTD, whose entities pugixml leaves
// as they are) any entity name. Sets `length` on success.
Problem CheckReference(std::string_view s, size_t at, bool has_dtd, size_t& length) {
  const size_t n = s.size();
  size_t k = at + 1;
  if (k < n && s[k] == '#') {
    const bool hex = k + 1 < n && s[k + 1] == 'x';
    k += hex ? 2 : 1;
    const size_t digits = k;
    uint32_t value = 0;
    for (; k < n; ++k) {
      const char c = s[k];
      uint32_t d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (hex && c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (hex && c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        break;
      value = std::min<uint32_t>(value * (hex ? 16 : 10) + d, 0x110000);
    }
    if (k == digits || k >= n || s[k] != ';')
      return {ParseErrorCode::BadReference, "Malformed character reference.", at};
    if (!IsXmlChar(value))
      return {ParseErrorCode::BadReference,
              text::Format("The character reference \"%s\" names a character XML does not allow.",
                           s.substr(at, k + 1 - at)),
              at};
    length = k + 1 - at;
    return {};
  }
  while (k < n && IsNameChar(static_cast<unsigned char>(s[k]))) ++k;
  if (k == at + 1 || !IsNameStart(static_cast<unsigned char>(s[at + 1])) || k >= n || s[k] != ';')
    return {ParseErrorCode::BadReference, "A '&' must start a reference (write \"&amp;\" for the character itself).",
            at};
  const std::string_view name = s.substr(at + 1, k - at - 1);
  if (!has_dtd && name != "lt" && name != "gt" && name != "amp" && name != "quot" && name != "apos")
    return {ParseErrorCode::BadReference, text::Format("The entity \"%s\" is not declared.", name), at};
  length = k + 1 - at;
  return {};
}

// References, attribute values, comments, "]]>" in text and the place of the
// declaration. Whatever it cannot follow is left to pugixml, which reports it.
Problem ScanMarkup(std::string_view s) {
  const size_t n = s.size();
  auto at = [&](size_t i, std::string_view what) { return s.substr(i, what.size()) == what; };
  bool has_dtd = false;
  size_t i = 0;
  while (i < n) {
    const char c = s[i];
    if (c == '&') {
      size_t length = 0;
      if (Problem p = CheckReference(s, i, has_dtd, length)) return p;
      i += length;
      continue;
    }
    if (c == ']' && at(i, "]]>"))
      return {ParseErrorCode::Syntax, "The text \"]]>\" is not allowed in character data.", i};
    if (c != '<') {
      ++i;
      continue;
    }
    if (at(i, "<!--")) {
      const size_t end = s.find("-->", i + 4);
      if (end == std::string_view::npos) return {};
      const std::string_view body = s.substr(i + 4, end - i - 4);
      if (const size_t dd = body.find("--"); dd != std::string_view::npos)
        return {ParseErrorCode::Syntax, "A comment may not contain \"--\".", i + 4 + dd};
      if (!body.empty() && body.back() == '-')
        return {ParseErrorCode::Syntax, "A comment may not end with \"--->\".", end - 1};
      i = end + 3;
      continue;
    }
    if (at(i, "<![CDATA[")) {
      const size_t end = s.find("]]>", i + 9);
      if (end == std::string_view::npos) return {};
      i = end + 3;
      continue;
    }
    if (at(i, "<?")) {
      size_t j = i + 2;
      while (j < n && IsNameChar(static_cast<unsigned char>(s[j]))) ++j;
      const std::string_view target = s.substr(i + 2, j - i - 2);
      if (text::EqualsNoCase(target, "xml")) {
        if (i != 0)
          return {ParseErrorCode::Declaration,
                  "The XML declaration is allowed only at the very start of the document.", i};
        if (target != "xml")
          return {ParseErrorCode::Declaration,
                  text::Format("The name \"%s\" is reserved; the declaration is written \"<?xml\".", target), i + 2};
      }
      const size_t end = s.find("?>", j);
      if (end == std::string_view::npos) return {};
      i = end + 2;
      continue;
    }
    if (at(i, "<!DOCTYPE")) {
      has_dtd = true;
      size_t j = i + 9;
      int depth = 0;
      char quote = 0;
      for (; j < n; ++j) {
        const char ch = s[j];
        if (quote) {
          if (ch == quote) quote = 0;
        } else if (ch == '"' || ch == '\'') {
          quote = ch;
        } else if (ch == '[') {
          ++depth;
        } else if (ch == ']') {
          --depth;
        } else if (ch == '>' && depth <= 0) {
          break;
        }
      }
      if (j >= n) return {};
      i = j + 1;
      continue;
    }
    if (at(i, "<!")) {
      i += 2;
      continue;
    }
    // A start or end tag: check its attribute values.
    size_t j = i + 1;
    char quote = 0;
    for (; j < n; ++j) {
      const char ch = s[j];
      if (quote) {
        if (ch == quote) {
          quote = 0;
        } else if (ch == '<') {
          return {ParseErrorCode::Syntax, "The character '<' is not allowed in an attribute value.", j};
        } else if (ch == '&') {
          size_t length = 0;
          if (Problem p = CheckReference(s, j, has_dtd, length)) return p;
          j += length - 1;
        }
      } else if (ch == '"' || ch == '\'') {
        quote = ch;
      } else if (ch == '>' || ch == '<') {
        break;
      }
    }
    i = (j < n && s[j] == '>') ? j + 1 : j;
  }
  return {};
}

// ---- pugixml ------------------------------------------------------------------

constexpr unsigned kParseOptions = pugi::parse_cdata | pugi::parse_comments | pugi::parse_pi |
                                   pugi::parse_declaration | pugi::parse_escapes | pugi::parse_eol |
                                   pugi::parse_wconv_attribute | pugi::parse_fragment;

Problem FromPugi(const pugi::xml_parse_result& result, std::string_view s) {
  const size_t offset = result.offset < 0 ? 0 : std::min(static_cast<size_t>(result.offset), s.size());
  if (result.status == pugi::status_out_of_memory) return {ParseErrorCode::OutOfMemory, "Out of memory.", offset};
  // pugixml reports running out of text at the last character.
  if (offset + 1 >= s.size()) {
    return {ParseErrorCode::UnexpectedEnd,
            result.status == pugi::status_end_element_mismatch
                ? "Unexpected end of the document: an element is not closed."
                : "Unexpected end of the document inside markup.",
            s.size()};
  }
  switch (result.status) {
    case pugi::status_end_element_mismatch: {
      std::string_view name;
      if (const size_t open = s.rfind("</", offset); open != std::string_view::npos) {
        size_t e = open + 2;
        while (e < s.size() && IsNameChar(static_cast<unsigned char>(s[e]))) ++e;
        name = s.substr(open + 2, e - open - 2);
      }
      return {ParseErrorCode::TagMismatch,
              text::Format("The end tag \"%s\" does not match the open element.", name), offset};
    }
    case pugi::status_unrecognized_tag: return {ParseErrorCode::Syntax, "Invalid markup after '<'.", offset};
    case pugi::status_bad_pi:
      return {ParseErrorCode::Syntax, "Malformed processing instruction or XML declaration.", offset};
    case pugi::status_bad_comment: return {ParseErrorCode::Syntax, "Malformed comment.", offset};
    case pugi::status_bad_cdata: return {ParseErrorCode::Syntax, "Malformed CDATA section.", offset};
    case pugi::status_bad_doctype: return {ParseErrorCode::Syntax, "Malformed document type declaration.", offset};
    case pugi::status_bad_pcdata: return {ParseErrorCode::Syntax, "Malformed character data.", offset};
    case pugi::status_bad_start_element: return {ParseErrorCode::Syntax, "Malformed start tag.", offset};
    case pugi::status_bad_attribute: return {ParseErrorCode::Syntax, "Malformed attribute.", offset};
    case pugi::status_bad_end_element: return {ParseErrorCode::Syntax, "Malformed end tag.", offset};
    default:
      return {ParseErrorCode::Syntax, text::Format("The document cannot be parsed (%s).", result.description()),
              offset};
  }
}

// Where a node starts in the text: the '<' of markup (pugixml gives the
// name), the first non-blank character of text.
size_t NodeOffset(const pugi::xml_node& node, std::string_view s) {
  const ptrdiff_t debug = node.offset_debug();
  if (debug < 0) return 0;
  size_t at = std::min(static_cast<size_t>(debug), s.size());
  switch (node.type()) {
    case pugi::node_element: return at >= 1 ? at - 1 : at;
    case pugi::node_pi:
    case pugi::node_declaration: return at >= 2 ? at - 2 : at;
    case pugi::node_pcdata:
      while (at < s.size() && IsSpace(s[at])) ++at;
      return at;
    default: return at;
  }
}

Problem CheckTopLevel(const pugi::xml_document& doc, std::string_view s) {
  bool has_element = false;
  for (const pugi::xml_node& n : doc.children()) {
    switch (n.type()) {
      case pugi::node_element:
        if (has_element)
          return {ParseErrorCode::TopLevelContent, "Only one top-level element is allowed.", NodeOffset(n, s)};
        has_element = true;
        break;
      case pugi::node_pcdata:
      case pugi::node_cdata:
        return {ParseErrorCode::TopLevelContent, "Text is not allowed outside the document element.",
                NodeOffset(n, s)};
      case pugi::node_declaration:
        if (!n.attribute("version"))
          return {ParseErrorCode::Declaration, "The XML declaration must give the version.", NodeOffset(n, s)};
        break;
      default: break;
    }
  }
  if (!has_element) return {ParseErrorCode::NoDocumentElement, "The document has no element.", s.size()};
  return {};
}

// Where the second `name` attribute stands in the start tag at `tag`.
size_t SecondAttributeOffset(std::string_view s, size_t tag, std::string_view name) {
  const size_t end = std::min(s.find('>', tag), s.size());
  int seen = 0;
  for (size_t at = s.find(name, tag); at < end; at = s.find(name, at + 1)) {
    if (!IsSpace(s[at - 1])) continue;
    size_t k = at + name.size();
    while (k < end && IsSpace(s[k])) ++k;
    if (k < end && s[k] == '=' && ++seen == 2) return at;
  }
  return tag;
}

Problem CheckAttributes(const pugi::xml_node& element, std::string_view s) {
  size_t count = 0;
  for (auto a = element.first_attribute(); a; a = a.next_attribute()) ++count;
  if (count < 2) return {};
  auto duplicate = [&](const pugi::xml_attribute& a) {
    return Problem{ParseErrorCode::DuplicateAttribute,
                   text::Format("The attribute \"%s\" appears twice in the element \"%s\".", a.name(),
                                element.name()),
                   SecondAttributeOffset(s, NodeOffset(element, s), a.name())};
  };
  if (count <= 16) {
    for (auto a = element.first_attribute(); a; a = a.next_attribute())
      for (auto b = element.first_attribute(); b != a; b = b.next_attribute())
        if (std::string_view(a.name()) == b.name()) return duplicate(a);
    return {};
  }
  std::unordered_set<std::string_view> seen;
  for (auto a = element.first_attribute(); a; a = a.next_attribute())
    if (!seen.insert(a.name()).second) return duplicate(a);
  return {};
}

}  // namespace

// ---- Document loading ---------------------------------------------------------

void Document::Reset() {
  TreeAccess::Clear(*this);
  parseError_ = {};
}

bool Document::Fail(ParseErrorCode code, std::string reason, std::string_view text, size_t offset) {
  TreeAccess::Clear(*this);
  parseError_ = {};
  parseError_.errorCode = static_cast<long>(code);
  parseError_.reason = std::move(reason);
  if (offset != kNoPlace) PutPlace(parseError_, text, offset);
  return false;
}

bool Document::load(std::string_view path) {
  Reset();
  const Result<std::string> bytes = fs::ReadFile(path);
  if (!bytes.ok())
    return Fail(ParseErrorCode::FileError, text::Format("The file \"%s\" cannot be read (system error %d).", path,
                                                        fs::Win32Error(bytes.status())));
  return ParseBytes(*bytes);
}

bool Document::loadXML(std::string_view utf8) {
  Reset();
  return Parse(utf8);
}

bool Document::loadXML(std::u16string_view wide) {
  Reset();
  if (!wide.empty() && wide.front() == u'\xFEFF') wide.remove_prefix(1);
  std::string utf8;
  if (!DecodeUtf16(wide, utf8))
    return Fail(ParseErrorCode::BadEncoding, "Unpaired UTF-16 surrogate.", utf8, utf8.size());
  return Parse(utf8);
}

bool Document::ParseBytes(std::string_view bytes) {
  auto byte = [&](size_t i) { return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0x100u; };
  int utf16 = 0;  // 1 little-endian, 2 big-endian
  size_t skip = 0;
  if (byte(0) == 0xFF && byte(1) == 0xFE) {
    utf16 = 1, skip = 2;
  } else if (byte(0) == 0xFE && byte(1) == 0xFF) {
    utf16 = 2, skip = 2;
  } else if (byte(0) == '<' && byte(1) == 0 && byte(2) == '?' && byte(3) == 0) {
    utf16 = 1;
  } else if (byte(0) == 0 && byte(1) == '<' && byte(2) == 0 && byte(3) == '?') {
    utf16 = 2;
  }
  if (utf16) {
    const std::string_view body = bytes.substr(skip);
    std::u16string units(body.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
      const auto a = static_cast<unsigned char>(body[2 * i]);
      const auto b = static_cast<unsigned char>(body[2 * i + 1]);
      units[i] = static_cast<char16_t>(utf16 == 1 ? (b << 8 | a) : (a << 8 | b));
    }
    std::string utf8;
    if (!DecodeUtf16(units, utf8))
      return Fail(ParseErrorCode::BadEncoding, "Unpaired UTF-16 surrogate.", utf8, utf8.size());
    if (body.size() % 2)
      return Fail(ParseErrorCode::BadEncoding, "The UTF-16 text ends in the middle of a character.", utf8,
                  utf8.size());
    return Parse(utf8);
  }

  if (bytes.starts_with("\xEF\xBB\xBF")) return Parse(bytes.substr(3));  // the mark decides
  const auto declared = DeclaredEncoding(bytes);
  if (!declared || text::EqualsNoCase(declared->name, "UTF-8") || text::EqualsNoCase(declared->name, "UTF8"))
    return Parse(bytes);
  const std::string_view name = declared->name;
  if (text::StartsWithNoCase(name, "UTF-16") || text::StartsWithNoCase(name, "UCS-2") || text::StartsWithNoCase(name, "UTF-32") ||
      text::StartsWithNoCase(name, "UCS-4") || text::EqualsNoCase(name, "Unicode"))
    return Fail(ParseErrorCode::BadEncoding,
                text::Format("The document declares the encoding \"%s\" but is not written in it.", name), bytes,
                declared->offset);
  if (!text::ToUtf8("<", name).ok())
    return Fail(ParseErrorCode::UnknownEncoding, text::Format("The encoding \"%s\" is not supported.", name),
                bytes, declared->offset);
  Result<std::string> utf8 = text::ToUtf8(bytes, name);
  if (!utf8.ok()) {
    const std::string prefix = ConvertedPrefix(bytes, name);
    return Fail(ParseErrorCode::BadEncoding,
                text::Format("The text has a byte sequence that is not valid in the encoding \"%s\".", name), prefix,
                prefix.size());
  }
  return Parse(*utf8);
}

bool Document::Parse(std::string_view s) {
  if (s.starts_with("\xEF\xBB\xBF")) s.remove_prefix(3);
  if (s.empty()) return Fail(ParseErrorCode::NoDocumentElement, "The document is empty.", s, 0);

  // A bad character is reported unless the text before it is already wrong
  // (pugixml would otherwise stumble over it and name a lesser problem).
  if (Problem bad = CheckCharacters(s)) {
    const std::string_view before = s.substr(0, bad.offset);
    Problem earlier = ScanMarkup(before);
    pugi::xml_document parsed;
    if (!before.empty()) {
      const auto result = parsed.load_buffer(before.data(), before.size(), kParseOptions, pugi::encoding_utf8);
      if (!result) earlier = First(std::move(earlier), FromPugi(result, before));
    }
    if (earlier && earlier.code != ParseErrorCode::UnexpectedEnd) bad = std::move(earlier);
    return Fail(bad.code, std::move(bad.reason), s, bad.offset);
  }

  Problem problem = ScanMarkup(s);
  pugi::xml_document parsed;
  const pugi::xml_parse_result result = parsed.load_buffer(s.data(), s.size(), kParseOptions, pugi::encoding_utf8);
  if (!result) problem = First(std::move(problem), FromPugi(result, s));
  if (!problem) problem = CheckTopLevel(parsed, s);
  if (problem) return Fail(problem.code, std::move(problem.reason), s, problem.offset);

  // Build our nodes in document order, without recursion.
  std::vector<Node*> parents{this};
  pugi::xml_node source = parsed.first_child();
  const pugi::xml_node root = parsed;
  while (source) {
    NodePtr node;
    switch (source.type()) {
      case pugi::node_element: {
        if (Problem p = CheckAttributes(source, s)) return Fail(p.code, std::move(p.reason), s, p.offset);
        node = TreeAccess::Make(*this, NodeType::Element, source.name());
        if (source.first_attribute()) {
          auto& attributes = TreeAccess::Attributes(*node);
          for (auto a = source.first_attribute(); a; a = a.next_attribute()) attributes.push_back({a.name(), a.value()});
        }
        break;
      }
      case pugi::node_pcdata: node = TreeAccess::Make(*this, NodeType::Text, source.value()); break;
      case pugi::node_cdata: node = TreeAccess::Make(*this, NodeType::CData, source.value()); break;
      case pugi::node_comment: node = TreeAccess::Make(*this, NodeType::Comment, source.value()); break;
      case pugi::node_pi: {
        std::string data = source.name();
        data += ' ';
        data += source.value();
        node = TreeAccess::Make(*this, NodeType::ProcessingInstruction, std::move(data));
        break;
      }
      case pugi::node_declaration: {
        // Keep the declaration as written; it is the first thing in the text.
        std::string_view raw = s.substr(5, s.find("?>") - 5);
        while (!raw.empty() && IsSpace(raw.front())) raw.remove_prefix(1);
        while (!raw.empty() && IsSpace(raw.back())) raw.remove_suffix(1);
        std::string data = "xml ";
        data += raw;
        node = TreeAccess::Make(*this, NodeType::ProcessingInstruction, std::move(data));
        break;
      }
      default: break;  // a DOCTYPE is not kept
    }
    if (node) TreeAccess::Append(*parents.back(), node);
    if (node && source.type() == pugi::node_element && source.first_child()) {
      parents.push_back(node.get());
      source = source.first_child();
      continue;
    }
    while (!source.next_sibling()) {
      source = source.parent();
      if (source == root) return true;
      parents.pop_back();
    }
    source = source.next_sibling();
  }
  return true;
}

}  // namespace quor::xml
