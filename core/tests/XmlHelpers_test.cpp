#include <gtest/gtest.h>

#include "core/XmlHelpers.h"
#include "platform/com/errorinfo.h"

using namespace quor;
using namespace quor::core;

namespace {

xml::DocumentPtr Parse(std::string_view text) {
  auto doc = xml::Document::Create();
  EXPECT_TRUE(doc->loadXML(text)) << doc->parseError().reason;
  return doc;
}

}  // namespace

TEST(XmlHelpers, ConversionsKeepEmptyAndNonAscii) {
  EXPECT_FALSE(AnsiToBstr("").IsNull());
  EXPECT_EQ(AnsiToBstr("\xE6\x97\xA5"), u"\u65e5");
  std::string narrow = "old";
  EXPECT_EQ(BstrToAnsi(com::Bstr(), narrow), 0);
  EXPECT_EQ(narrow, "");
  EXPECT_EQ(BstrToAnsi(com::Bstr(u"a\xD800" "b"), narrow), 0);
  EXPECT_EQ(narrow, "a?b");  // the default character for what cannot be written
}

TEST(XmlHelpers, CopiesAreWholeAndDetached) {
  auto doc = Parse("<r><e a=\"1\" b=\"2\">text<c/></e></r>");
  auto e = doc->documentElement()->firstChild();
  auto copy = *CopyXmlTree(e);
  EXPECT_EQ(copy->xml(), "<e a=\"1\" b=\"2\">text<c/></e>");
  EXPECT_FALSE(copy->parentNode());
  EXPECT_EQ(copy->ownerDocument(), doc);
  EXPECT_EQ(CopyXmlTree(nullptr).status().code(), E_POINTER);
}

TEST(XmlHelpers, MergeNeedsTheSameName) {
  auto doc = Parse("<r><a><x/>t</a><a/><b><y/></b></r>");
  auto a1 = doc->documentElement()->firstChild();
  auto a2 = a1->nextSibling();
  auto b = a2->nextSibling();
  EXPECT_EQ(*CopyXmlTreeWithText(a1, b), E_FAIL);
  EXPECT_EQ(a1->xml(), "<a><x/>t</a>");
  EXPECT_EQ(*CopyXmlTreeWithText(a1, a2), 0);
  EXPECT_EQ(*CopyXmlTreeWithText(a2, a1), 1);
  EXPECT_EQ(a2->xml(), "<a><x/>t</a>");
  EXPECT_EQ(a1->xml(), "<a><x/>t</a>");  // the source keeps its children
}

TEST(XmlHelpers, MatchTakesTheFirstNonEmptyChild) {
  auto doc = Parse("<r><empty></empty><n>one</n><n>two</n><deep><i>x</i><i>y</i></deep></r>");
  com::Bstr out(u"stale");
  auto root = doc->documentElement();
  MatchXmlNodes(root, "n", out).Ignore();
  EXPECT_EQ(out, u"one");
  MatchXmlNodes(root, "empty", out).Ignore();
  EXPECT_TRUE(out.IsNull());
  MatchXmlNodes(root, "missing", out).Ignore();
  EXPECT_TRUE(out.IsNull());
  MatchXmlNodes(root, "deep", out).Ignore();
  EXPECT_EQ(out, u"xy");
  EXPECT_TRUE(SetElementAttribute(root, "k", "v").ok());
  EXPECT_EQ(root->getAttribute("k"), "v");
  EXPECT_EQ(SetElementAttribute(root->firstChild()->nextSibling()->firstChild(), "k", "v").code(), E_NOINTERFACE);
}
