#include <gtest/gtest.h>

#include "platform/xml/escape.h"
#include "test_util.h"

namespace quor::xml {
namespace {

using Invalid = EscapeRules::Invalid;

TEST(Escape, TextAndAttributeRules) {
  const std::string_view in = "a&b<c>d\"e\tf\ng\rh\x01i\xEF\xBF\xBEj\xEF\xBB\xBFk";
  EXPECT_EQ(Escaped(in), "a&amp;b&lt;c&gt;d\"e\tf\ng&#xD;h\x01i\xEF\xBF\xBEj\xEF\xBB\xBFk");
  EXPECT_EQ(Escaped(in, {.attribute = true}),
            "a&amp;b&lt;c&gt;d&quot;e&#x9;f&#xA;g&#xD;h\x01i\xEF\xBF\xBEj\xEF\xBB\xBFk");
  EXPECT_EQ(Escaped(in, {.decimalReferences = true, .invalid = Invalid::Replace}),
            "a&amp;b&lt;c&gt;d\"e\tf\ng&#13;h\xEF\xBF\xBDi\xEF\xBF\xBDj\xEF\xBB\xBFk");
  EXPECT_EQ(Escaped(in, {.attribute = true, .decimalReferences = true, .invalid = Invalid::Drop}),
            "a&amp;b&lt;c&gt;d&quot;e&#9;f&#10;g&#13;hij\xEF\xBB\xBFk");
  // A lead byte at the very end is an ordinary byte.
  EXPECT_EQ(Escaped("x\xEF\xBF", {.invalid = Invalid::Drop}), "x\xEF\xBF");
}

TEST(Escape, WhatIsWrittenLoadsBackAsItWas) {
  const std::string value = "tab\tline\nCR\rCRLF\r\n& < > \" ' \xE6\x97\xA5";
  for (const bool attribute : {false, true}) {
    const EscapeRules rules{.attribute = attribute};
    const std::string doc = attribute ? "<r a=\"" + Escaped(value, rules) + "\"/>"
                                      : "<r>" + Escaped(value, rules) + "</r>";
    const DocumentPtr parsed = testing::Parse(doc);
    const NodePtr root = parsed->documentElement();
    ASSERT_TRUE(root);
    EXPECT_EQ(attribute ? root->getAttribute("a").value_or("") : root->text(), value) << doc;
  }
}

}  // namespace
}  // namespace quor::xml
