#include "platform/soap/envelope.h"

#include <pugixml.hpp>

#include <cstdint>
#include <optional>

#include "platform/text/text.h"

namespace quor::soap {

namespace {

// Whitespace between elements is reported as text so that values keep
// theirs; a DTD is parsed only to be refused.
constexpr unsigned kParseOptions = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol |
                                   pugi::parse_wconv_attribute | pugi::parse_ws_pcdata | pugi::parse_doctype;

std::string_view LocalName(const char* qualified) {
  std::string_view name(qualified);
  if (const size_t colon = name.rfind(':'); colon != std::string_view::npos) name.remove_prefix(colon + 1);
  return name;
}

// The namespace an element's name is in, from the declarations in scope;
// empty for none, and for a prefix nothing declares (tolerated, as before).
std::string NamespaceOf(const pugi::xml_node& element) {
  const std::string_view name(element.name());
  const size_t colon = name.find(':');
  const std::string attribute =
      colon == std::string_view::npos ? std::string("xmlns") : "xmlns:" + std::string(name.substr(0, colon));
  for (pugi::xml_node n = element; n.type() == pugi::node_element; n = n.parent())
    if (const pugi::xml_attribute a = n.attribute(attribute.c_str())) return a.value();
  return {};
}

bool IsBlank(std::string_view s) {
  for (char c : s)
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
  return true;
}

bool IsXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// The name between '&' and ';': a predefined entity or a character reference
// to a character XML allows.
bool IsKnownReference(std::string_view ref) {
  if (ref == "amp" || ref == "lt" || ref == "gt" || ref == "quot" || ref == "apos") return true;
  if (ref.size() < 2 || ref[0] != '#') return false;
  const bool hex = ref[1] == 'x';
  const std::string_view digits = ref.substr(hex ? 2 : 1);
  if (digits.empty()) return false;
  uint32_t value = 0;
  for (char d : digits) {
    uint32_t v;
    if (d >= '0' && d <= '9')
      v = d - '0';
    else if (hex && d >= 'a' && d <= 'f')
      v = d - 'a' + 10;
    else if (hex && d >= 'A' && d <= 'F')
      v = d - 'A' + 10;
    else
      return false;
    value = value * (hex ? 16 : 10) + v;
    if (value > 0x10FFFF) return false;
  }
  return IsXmlChar(value);
}

bool StartsWithAt(std::string_view s, size_t at, std::string_view what) { return s.substr(at, what.size()) == what; }

// A message that cannot be read, and why.
Status Malformed(std::string reason) { return Status(E_INVALIDARG, std::move(reason)); }

// What pugixml lets pass but XML does not: control characters, and
// references to unknown entities or to characters XML cannot hold. CDATA,
// comments and processing instructions are skipped, where '&' is plain text.
Status CheckText(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c > '>') {  // most of any text
      ++i;
      continue;
    }
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
      return Malformed(text::Format("The character U+%04X at byte %u is not allowed in XML.",
                                    static_cast<unsigned>(c), static_cast<uint64_t>(i)));
    if (c == '<') {
      if (StartsWithAt(s, i, "<!DOCTYPE"))
        return Malformed("A document type declaration is not allowed in a SOAP message.");
      std::string_view close;
      if (StartsWithAt(s, i, "<![CDATA["))
        close = "]]>";
      else if (StartsWithAt(s, i, "<!--"))
        close = "-->";
      else if (StartsWithAt(s, i, "<?"))
        close = "?>";
      if (!close.empty()) {
        const size_t end = s.find(close, i + 2);
        if (end == std::string_view::npos) return Status();  // the parser reports the open markup
        for (size_t k = i; k < end; ++k) {
          const auto b = static_cast<unsigned char>(s[k]);
          if (b < 0x20 && b != '\t' && b != '\n' && b != '\r')
            return Malformed(text::Format("The character U+%04X at byte %u is not allowed in XML.",
                                          static_cast<unsigned>(b), static_cast<uint64_t>(k)));
        }
        i = end + close.size();
        continue;
      }
    }
    if (c == '&') {
      const size_t semi = s.find(';', i);
      if (semi == std::string_view::npos || semi - i > 12 || !IsKnownReference(s.substr(i + 1, semi - i - 1)))
        return Malformed(text::Format("Unknown or malformed reference at byte %u.", static_cast<uint64_t>(i)));
      i = semi + 1;
      continue;
    }
    ++i;
  }
  return Status();
}

// The body as UTF-8: a UTF-16 byte order mark or a declared encoding other
// than UTF-8 is converted; a UTF-8 mark is dropped.
Status ToUtf8Text(std::string_view body, std::string& converted, std::string_view& out) {
  if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
  if (body.starts_with("\xFF\xFE") || body.starts_with("\xFE\xFF")) {
    Result<std::string> utf8 = text::ToUtf8(body, "UTF-16");
    if (!utf8.ok()) return Malformed("The UTF-16 text cannot be read: " + utf8.status().message());
    converted = std::move(*utf8);
    out = converted;
    return Status();
  }
  out = body;
  if (body.starts_with("<?xml")) {
    const size_t end = body.find("?>");
    const std::string_view decl = body.substr(0, end == std::string_view::npos ? 0 : end);
    if (size_t at = decl.find("encoding"); at != std::string_view::npos) {
      at = decl.find_first_of("\"'", at);
      const size_t close = at == std::string_view::npos ? at : decl.find(decl[at], at + 1);
      if (close != std::string_view::npos) {
        const std::string_view name = decl.substr(at + 1, close - at - 1);
        if (!text::EqualsNoCase(name, "UTF-8") && !text::EqualsNoCase(name, "UTF8")) {
          Result<std::string> utf8 = text::ToUtf8(body, name);
          if (!utf8.ok())
            return Malformed(text::Format("The text cannot be read as \"%s\": %s", name, utf8.status().message()));
          converted = std::move(*utf8);
          out = converted;
        }
      }
    }
  }
  if (!text::IsValidUtf8(out)) return Malformed("The text is not valid UTF-8.");
  return Status();
}

// Parses `body` and finds the Body's first element. `writable`, when given,
// is the body's own storage, followed by a NUL (a std::string's): the
// document is then parsed where it lies (and the text changed), not in a
// copy. A body converted to UTF-8 is parsed in `converted`, which the
// document needs as long as it lives.
Status OpenEnvelope(std::string_view body, char* writable, size_t maxDepth, std::string& converted,
                    pugi::xml_document& doc, pugi::xml_node& first) {
  std::string_view utf8;
  QUOR_RETURN_IF_ERROR(ToUtf8Text(body, converted, utf8));
  if (IsBlank(utf8)) return Malformed("The request has no XML document.");
  QUOR_RETURN_IF_ERROR(CheckText(utf8));
  char* place = nullptr;
  if (!converted.empty() && utf8.data() == converted.data())
    place = converted.data();
  else if (writable)
    place = writable + (utf8.data() - body.data());
  // In place, the text's NUL is parsed with it, as pugixml ends a copy: a
  // fault then names the same byte either way.
  const pugi::xml_parse_result result =
      place ? doc.load_buffer_inplace(place, utf8.size() + 1, kParseOptions, pugi::encoding_utf8)
            : doc.load_buffer(utf8.data(), utf8.size(), kParseOptions, pugi::encoding_utf8);
  if (!result)
    return Malformed(text::Format("The text is not well-formed XML (%s at byte %d).", result.description(),
                                  static_cast<int64_t>(result.offset)));

  // One pass over the whole tree: no DTD, bounded nesting. `level` counts
  // the elements above `n`.
  size_t level = 0;
  for (pugi::xml_node n = doc.first_child(); n;) {
    if (n.type() == pugi::node_doctype)
      return Malformed("A document type declaration is not allowed in a SOAP message.");
    if (n.type() == pugi::node_element) {
      if (level + 1 > maxDepth)
        return Malformed(
            text::Format("The elements are nested deeper than %u levels.", static_cast<uint64_t>(maxDepth)));
      if (n.first_child()) {
        ++level;
        n = n.first_child();
        continue;
      }
    }
    while (!n.next_sibling() && n.parent() != doc) {
      n = n.parent();
      --level;
    }
    n = n.next_sibling();
  }

  pugi::xml_node envelope;
  for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling()) {
    if (n.type() == pugi::node_element) {
      if (envelope) return Malformed("The text holds more than one document element.");
      envelope = n;
    } else if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) {
      if (!IsBlank(n.value())) return Malformed("Text outside the document element.");
    }
  }
  if (!envelope || LocalName(envelope.name()) != "Envelope")
    return Malformed("The document element is not a SOAP Envelope.");
  pugi::xml_node soapBody;
  for (pugi::xml_node n = envelope.first_child(); n; n = n.next_sibling()) {
    if (n.type() == pugi::node_element) {
      const std::string_view name = LocalName(n.name());
      if (name == "Header" && !soapBody) continue;
      if (name == "Body" && !soapBody) {
        soapBody = n;
        continue;
      }
      return Malformed(text::Format("Unexpected element \"%s\" in the Envelope.", n.name()));
    }
    if ((n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) && !IsBlank(n.value()))
      return Malformed("Text directly in the Envelope.");
  }
  if (!soapBody) return Malformed("The Envelope has no Body.");
  for (pugi::xml_node n = soapBody.first_child(); n; n = n.next_sibling()) {
    if (n.type() == pugi::node_element) {
      if (first)
        return Malformed(text::Format("The Body holds a second element \"%s\"; one call per request.", n.name()));
      first = n;
    } else if ((n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) && !IsBlank(n.value())) {
      return Malformed("Text directly in the Body.");
    }
  }
  if (!first) return Malformed("The Body is empty.");
  return Status();
}

bool IsNil(const pugi::xml_node& element) {
  for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) {
    const std::string_view name = LocalName(a.name());
    if (name != "nil" && name != "null") continue;
    const std::string_view value = text::TrimAscii(a.value());
    if (value == "true" || value == "1") return true;
  }
  return false;
}

// The text of a value element; a failure when it holds elements.
Result<NamedValue> ReadValue(const pugi::xml_node& element) {
  NamedValue out;
  out.name = std::string(LocalName(element.name()));
  if (IsNil(element)) return out;
  std::string value;
  for (pugi::xml_node c = element.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) {
      value += c.value();
    } else if (c.type() == pugi::node_element)
      return Malformed(text::Format("The element \"%s\" holds the element \"%s\"; values are text (escape markup).",
                           element.name(), c.name()));
  }
  // The value stays UTF-8 until a component reads it as UTF-16.
  out.value = com::Bstr::TakeUtf8(std::move(value));
  return out;
}

// How many bytes AppendEscaped adds to `s`: a large answer is then sized
// once, not grown (and copied) by doubling.
size_t EscapedGrowth(std::string_view s) {
  size_t extra = 0;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c > '>') continue;
    switch (c) {
      case '&': extra += 4; break;
      case '<':
      case '>': extra += 3; break;
      case '\r': extra += 4; break;
      case '\t':
      case '\n': break;
      default:
        if (c < 0x20) extra += 2;  // U+FFFD
    }
  }
  return extra;
}

void AppendElement(std::string& out, std::string_view name, std::string_view utf8Text) {
  out += '<';
  out += name;
  if (utf8Text.empty()) {
    out += "/>";
    return;
  }
  out += '>';
  xml::AppendEscaped(out, utf8Text, kTextRules);
  out += "</";
  out += name;
  out += '>';
}

void AppendValue(std::string& out, const NamedValue& v) {
  if (v.value.IsNull()) {
    out += '<';
    out += v.name;
    out += " xsi:nil=\"true\"/>";
  } else {
    AppendElement(out, v.name, v.value.Utf8());
  }
}

constexpr std::string_view kAnswerHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><SOAP-ENV:Body>";
constexpr std::string_view kAnswerTail = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

// An answer in the request's namespace names it with this prefix; nothing
// else in the envelope uses it.
constexpr std::string_view kAnswerPrefix = "tns";
constexpr xml::EscapeRules kNamespaceRules{
    .attribute = true, .decimalReferences = true, .invalid = xml::EscapeRules::Invalid::Replace};

// "<name>", or "<tns:name xmlns:tns=\"ns\">" when `ns` is not empty.
void AppendOpenTag(std::string& out, std::string_view name, std::string_view ns) {
  out += '<';
  if (!ns.empty()) (out += kAnswerPrefix) += ':';
  out += name;
  if (!ns.empty()) {
    ((out += " xmlns:") += kAnswerPrefix) += "=\"";
    xml::AppendEscaped(out, ns, kNamespaceRules);
    out += '"';
  }
  out += '>';
}

void AppendCloseTag(std::string& out, std::string_view name, std::string_view ns) {
  out += "</";
  if (!ns.empty()) (out += kAnswerPrefix) += ':';
  out += name;
  out += '>';
}

std::string ChildText(const pugi::xml_node& parent, std::string_view localName) {
  for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && LocalName(c.name()) == localName) return c.text().get();
  return {};
}

Result<Request> ReadRequest(std::string_view body, char* writable, const ParseLimits& limits) {
  std::string converted;
  pugi::xml_document doc;
  pugi::xml_node call;
  QUOR_RETURN_IF_ERROR(OpenEnvelope(body, writable, limits.maxDepth, converted, doc, call));
  Request out;
  out.method = std::string(LocalName(call.name()));
  out.ns = NamespaceOf(call);
  for (pugi::xml_node c = call.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element) {
      QUOR_ASSIGN_OR_RETURN(NamedValue value, ReadValue(c));
      out.params.push_back(std::move(value));
    } else if ((c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) && !IsBlank(c.value())) {
      return Malformed(text::Format("Text directly in the method element \"%s\".", call.name()));
    }
  }
  return out;
}

}  // namespace

std::string FormatStatus(HRESULT status) { return text::Format("0x%08X", static_cast<uint32_t>(status)); }

Result<Request> ParseRequest(std::string_view body, const ParseLimits& limits) {
  return ReadRequest(body, nullptr, limits);
}

Result<Request> ParseRequest(std::string&& body, const ParseLimits& limits) {
  std::string text = std::move(body);
  return ReadRequest(text, text.data(), limits);
}

Result<Answer> ParseAnswer(std::string_view body) {
  std::string converted;
  pugi::xml_document doc;
  pugi::xml_node element;
  QUOR_RETURN_IF_ERROR(OpenEnvelope(body, nullptr, ParseLimits{}.maxDepth, converted, doc, element));
  Answer out;
  out.element = std::string(LocalName(element.name()));
  if (out.element == "Fault") {
    out.isFault = true;
    out.fault.description = ChildText(element, "faultstring");
    out.fault.actor = ChildText(element, "faultactor");
    out.fault.status = E_FAIL;
    for (pugi::xml_node d = element.first_child(); d; d = d.next_sibling()) {
      if (d.type() != pugi::node_element || LocalName(d.name()) != "detail") continue;
      for (pugi::xml_node info = d.first_child(); info; info = info.next_sibling()) {
        if (info.type() != pugi::node_element) continue;
        if (auto status = text::ParseUInt32(ChildText(info, "status"), 16))
          out.fault.status = static_cast<HRESULT>(*status);
        else if (auto number = text::ParseInt32(ChildText(info, "number")))
          out.fault.status = *number;
        if (std::string d2 = ChildText(info, "description"); !d2.empty()) out.fault.description = std::move(d2);
        out.fault.source = ChildText(info, "source");
        break;
      }
    }
    return out;
  }
  for (pugi::xml_node c = element.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element) continue;
    QUOR_ASSIGN_OR_RETURN(NamedValue value, ReadValue(c));
    out.outputs.push_back(std::move(value));
  }
  return out;
}

std::string WriteRequest(std::string_view method, std::span<const NamedValue> params) {
  std::string out =
      "<?xml version='1.0'?><SOAP-ENV:Envelope xmlns:SOAP-ENV='http://schemas.xmlsoap.org/soap/envelope/'"
      " SOAP-ENV:encodingStyle='http://schemas.xmlsoap.org/soap/encoding/'"
      " xmlns:xsi='http://www.w3.org/1999/XMLSchema-instance' xmlns:xsd='http://www.w3.org/1999/XMLSchema'>"
      "<SOAP-ENV:Body><";
  out += method;
  out += '>';
  for (const NamedValue& p : params)
    if (!p.value.IsNull()) AppendValue(out, p);
  out += "</";
  out += method;
  out += "></SOAP-ENV:Body></SOAP-ENV:Envelope>";
  return out;
}

std::string WriteAnswer(std::string_view method, std::span<const NamedValue> outputs, std::string_view ns) {
  size_t size = kAnswerHead.size() + kAnswerTail.size() + 2 * method.size() + ns.size() + 64;
  for (const NamedValue& v : outputs) {
    const std::string_view text = v.value.Utf8();
    size += text.size() + EscapedGrowth(text) + 2 * v.name.size() + 24;
  }
  std::string out;
  out.reserve(size);
  out += kAnswerHead;
  const std::string element = std::string(method) + "Response";
  AppendOpenTag(out, element, ns);
  for (const NamedValue& v : outputs) AppendValue(out, v);
  AppendCloseTag(out, element, ns);
  out += kAnswerTail;
  return out;
}

std::string WriteFault(const Fault& fault, std::string_view ns) {
  const std::string description =
      fault.description.empty() && !fault.described ? com::HResultText(fault.status) : fault.description;
  std::string out(kAnswerHead);
  out += "<SOAP-ENV:Fault><faultcode>Server</faultcode>";
  AppendElement(out, "faultstring", description);
  AppendElement(out, "faultactor", fault.actor);
  out += "<detail>";
  AppendOpenTag(out, "errorInfo", ns);
  AppendElement(out, "status", FormatStatus(fault.status));
  AppendElement(out, "description", description);
  AppendElement(out, "number", text::Format("%d", fault.status));
  AppendElement(out, "source", fault.source);
  AppendCloseTag(out, "errorInfo", ns);
  out += "</detail></SOAP-ENV:Fault>";
  out += kAnswerTail;
  return out;
}

}  // namespace quor::soap
