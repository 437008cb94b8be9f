#include "platform/xml/escape.h"

namespace quor::xml {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Bytes that may need more than copying: controls, the markup characters,
// 0xEF (U+FFFE and U+FFFF begin with it), and in attributes the quote, tab
// and line feed too. Everything else is copied in runs.
struct Attention {
  bool byte[256] = {};
  constexpr explicit Attention(bool attribute) {
    for (int c = 0; c < 0x20; ++c) byte[c] = attribute || (c != '\t' && c != '\n');
    byte[static_cast<unsigned char>('&')] = byte[static_cast<unsigned char>('<')] =
        byte[static_cast<unsigned char>('>')] = byte[0xEF] = true;
    byte[static_cast<unsigned char>('"')] = attribute;
  }
};
constexpr Attention kText(false), kAttribute(true);

}  // namespace

void AppendEscaped(std::string& out, std::string_view s, const EscapeRules& rules) {
  using Invalid = EscapeRules::Invalid;
  const bool dec = rules.decimalReferences;
  // Runs of plain characters go over whole; every byte above '>' but 0xEF
  // (the lead byte of U+FFFE and U+FFFF) is plain.
  size_t run = 0;
  const bool* attention = (rules.attribute ? kAttribute : kText).byte;
  const auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
  const size_t size = s.size();
  for (size_t i = 0; i < size; ++i) {
    // Eight plain bytes at a time: most text has nothing to escape.
    while (i + 8 <= size && !(attention[bytes[i]] | attention[bytes[i + 1]] | attention[bytes[i + 2]] |
                              attention[bytes[i + 3]] | attention[bytes[i + 4]] | attention[bytes[i + 5]] |
                              attention[bytes[i + 6]] | attention[bytes[i + 7]]))
      i += 8;
    while (i < size && !attention[bytes[i]]) ++i;
    if (i == size) break;
    const auto c = bytes[i];
    std::string_view rep;
    size_t width = 1;
    switch (c) {
      case '&': rep = "&amp;"; break;
      case '<': rep = "&lt;"; break;
      case '>': rep = "&gt;"; break;
      case '\r': rep = dec ? "&#13;" : "&#xD;"; break;
      case '"':
        if (!rules.attribute) continue;
        rep = "&quot;";
        break;
      case '\t':
        if (!rules.attribute) continue;
        rep = dec ? "&#9;" : "&#x9;";
        break;
      case '\n':
        if (!rules.attribute) continue;
        rep = dec ? "&#10;" : "&#xA;";
        break;
      case 0xEF:
        if (!(i + 2 < s.size() && s[i + 1] == '\xBF' && (s[i + 2] == '\xBE' || s[i + 2] == '\xBF'))) continue;
        width = 3;
        [[fallthrough]];
      default:
        if (c >= 0x20 && c != 0xEF) continue;
        if (rules.invalid == Invalid::Keep) {
          i += width - 1;
          continue;
        }
        rep = rules.invalid == Invalid::Replace ? kReplacement : std::string_view();
    }
    out.append(s.data() + run, i - run);
    out.append(rep);
    i += width - 1;
    run = i + 1;
  }
  out.append(s.data() + run, s.size() - run);
}

std::string Escaped(std::string_view utf8, const EscapeRules& rules) {
  std::string out;
  out.reserve(utf8.size() + utf8.size() / 8);
  AppendEscaped(out, utf8, rules);
  return out;
}

}  // namespace quor::xml
