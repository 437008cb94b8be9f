// The tree's one writer of XML character data and attribute values. Text
// keeps tab and line feed; an attribute value also escapes '"', tab and line
// feed. A carriage return always travels as a reference (a parser would fold
// a literal one into a line feed). What becomes of a character XML cannot
// carry (a C0 control other than tab, line feed and carriage return, U+FFFE,
// U+FFFF) is the caller's choice; the writers that must always produce
// loadable XML replace or drop it.
#pragma once

#include <string>
#include <string_view>

namespace quor::xml {

struct EscapeRules {
  enum class Invalid { Keep, Replace, Drop };

  bool attribute = false;
  // "&#xD;" and the like, or "&#13;".
  bool decimalReferences = false;
  // Replace: U+FFFD in its place.
  Invalid invalid = Invalid::Keep;
};

void AppendEscaped(std::string& out, std::string_view utf8, const EscapeRules& rules = {});
std::string Escaped(std::string_view utf8, const EscapeRules& rules = {});

}  // namespace quor::xml
