// The node tree: names, values, walks, moves, lifetimes, copies, attributes.
#include "platform/xml/dom.h"
#include "test_util.h"

#include <gtest/gtest.h>

namespace quor::xml {
namespace {

using testing::Parse;

std::vector<std::string> Names(const std::vector<NodePtr>& nodes) {
  std::vector<std::string> out;
  for (const auto& n : nodes) out.push_back(n->nodeName());
  return out;
}

TEST(XmlTree, NodeNamesTypesAndValues) {
  auto doc = Parse(
      "<?xml version=\"1.0\"?><!--note--><?style sheet?>"
      "<root a=\"1\">text<![CDATA[c<d>]]><child/></root>");
  EXPECT_EQ(doc->nodeName(), "#document");
  EXPECT_EQ(doc->nodeType(), NodeType::Document);
  EXPECT_FALSE(doc->nodeValue());
  EXPECT_EQ(doc->ownerDocument(), nullptr);

  const auto top = doc->childNodes();
  ASSERT_EQ(top.size(), 4u);
  EXPECT_EQ(Names(top), (std::vector<std::string>{"xml", "#comment", "style", "root"}));
  EXPECT_EQ(top[0]->nodeType(), NodeType::ProcessingInstruction);
  EXPECT_EQ(top[0]->nodeValue(), "version=\"1.0\"");
  EXPECT_EQ(top[1]->nodeType(), NodeType::Comment);
  EXPECT_EQ(top[1]->nodeValue(), "note");
  EXPECT_EQ(top[2]->nodeType(), NodeType::ProcessingInstruction);
  EXPECT_EQ(top[2]->nodeValue(), "sheet");
  EXPECT_EQ(top[3]->nodeType(), NodeType::Element);
  EXPECT_FALSE(top[3]->nodeValue()) << "an element has a null value";
  EXPECT_EQ(doc->documentElement(), top[3]);
  EXPECT_EQ(static_cast<int>(top[3]->nodeType()), 1);

  const auto kids = top[3]->childNodes();
  EXPECT_EQ(Names(kids), (std::vector<std::string>{"#text", "#cdata-section", "child"}));
  EXPECT_EQ(static_cast<int>(kids[0]->nodeType()), 3);
  EXPECT_EQ(static_cast<int>(kids[1]->nodeType()), 4);
  EXPECT_EQ(kids[0]->nodeValue(), "text");
  EXPECT_EQ(kids[1]->nodeValue(), "c<d>");

  const auto& attrs = top[3]->attributes();
  ASSERT_EQ(attrs.size(), 1u);
  EXPECT_EQ(attrs[0].name, "a");
  EXPECT_EQ(attrs[0].value, "1");
  EXPECT_TRUE(kids[0]->attributes().empty());

  for (const auto& n : top) EXPECT_EQ(n->ownerDocument(), doc);
  EXPECT_EQ(kids[2]->ownerDocument(), doc);
}

// The element tests and texts the readers of query and configuration
// documents share: a missing node, another kind or another case is no match,
// and only a text or CDATA first child gives a value.
TEST(XmlTree, ElementTestsAndValues) {
  auto doc = Parse("<r><a>x</a><b><![CDATA[y]]>z</b><c><d/>w</c><e/><f></f></r>");
  const auto kids = doc->documentElement()->childNodes();
  EXPECT_TRUE(IsElement(kids[0], "a"));
  EXPECT_TRUE(IsElement(*kids[0], "a"));
  EXPECT_FALSE(IsElement(kids[0], "A"));
  EXPECT_FALSE(IsElement(NodePtr(), "a"));
  EXPECT_FALSE(IsElement(kids[0]->firstChild(), "#text"));
  EXPECT_EQ(ElementValue(*kids[0]), "x");
  EXPECT_EQ(ElementValue(*kids[1]), "y");
  EXPECT_EQ(ElementValue(*kids[2]), std::nullopt);
  EXPECT_EQ(ElementValue(*kids[3]), std::nullopt);
  EXPECT_EQ(ElementText(*kids[2]), "");
  EXPECT_EQ(ElementText(*kids[4]), "");
}

TEST(XmlTree, SiblingAndParentWalks) {
  auto doc = Parse("<r><a/><b/><c/></r>");
  auto r = doc->documentElement();
  auto a = r->firstChild();
  auto c = r->lastChild();
  ASSERT_TRUE(a && c);
  EXPECT_EQ(a->nodeName(), "a");
  EXPECT_EQ(c->nodeName(), "c");
  EXPECT_EQ(a->nextSibling()->nodeName(), "b");
  EXPECT_EQ(a->nextSibling()->nextSibling(), c);
  EXPECT_EQ(c->nextSibling(), nullptr);
  EXPECT_EQ(c->previousSibling()->previousSibling(), a);
  EXPECT_EQ(a->previousSibling(), nullptr);
  EXPECT_EQ(a->parentNode(), r);
  EXPECT_EQ(r->parentNode(), doc);
  EXPECT_EQ(doc->parentNode(), nullptr);
  EXPECT_TRUE(r->hasChildNodes());
  EXPECT_FALSE(a->hasChildNodes());
  EXPECT_EQ(a->firstChild(), nullptr);
  EXPECT_EQ(a->lastChild(), nullptr);
}

TEST(XmlTree, TextGetAndPut) {
  auto doc = Parse("<a>x<!--c-->y<?p q?><b>z<![CDATA[w]]></b></a>");
  auto a = doc->documentElement();
  EXPECT_EQ(a->text(), "xyzw") << "comments and instructions are not text";
  EXPECT_EQ(doc->text(), "xyzw");

  ASSERT_TRUE(a->setText("new & <text>"));
  ASSERT_EQ(a->childNodes().size(), 1u);
  EXPECT_EQ(a->firstChild()->nodeType(), NodeType::Text);
  EXPECT_EQ(a->text(), "new & <text>");
  EXPECT_EQ(a->xml(), "<a>new &amp; &lt;text&gt;</a>");

  ASSERT_TRUE(a->setText(""));
  EXPECT_FALSE(a->hasChildNodes()) << "putting empty text leaves no child";
  EXPECT_EQ(a->xml(), "<a/>");

  auto t = doc->createTextNode("one");
  EXPECT_TRUE(t->setText("two"));
  EXPECT_EQ(t->nodeValue(), "two");
  EXPECT_TRUE(t->setNodeValue("three"));
  EXPECT_EQ(t->text(), "three");
  EXPECT_FALSE(a->setNodeValue("x")) << "an element has no value to set";
  EXPECT_FALSE(doc->setText("x"));
  EXPECT_EQ(doc->documentElement(), a);
}

TEST(XmlTree, AppendMovesWithinDocument) {
  auto doc = Parse("<r><x><m>1</m><n/></x><y><o/></y></r>");
  auto r = doc->documentElement();
  auto x = r->firstChild();
  auto y = r->lastChild();
  auto m = x->firstChild();

  ASSERT_EQ(y->appendChild(m), m);
  EXPECT_EQ(m->parentNode(), y);
  EXPECT_EQ(x->xml(), "<x><n/></x>");
  EXPECT_EQ(y->xml(), "<y><o/><m>1</m></y>");
  EXPECT_EQ(m->previousSibling()->nodeName(), "o");

  // Appending a child again moves it to the end.
  ASSERT_EQ(r->appendChild(x), x);
  EXPECT_EQ(r->xml(), "<r><y><o/><m>1</m></y><x><n/></x></r>");
  EXPECT_EQ(r->firstChild(), y);
  EXPECT_EQ(r->lastChild(), x);
  EXPECT_EQ(x->previousSibling(), y);
  EXPECT_EQ(y->nextSibling(), x);
  EXPECT_EQ(x->nextSibling(), nullptr);
}

TEST(XmlTree, AppendMovesFromAnotherDocumentAndOutlivesIt) {
  auto target = Parse("<root/>");
  NodePtr moved;
  {
    auto source = Parse("<?xml version=\"1.0\"?><VOACL><control><user>alice</user></control></VOACL>");
    auto acl = source->documentElement();
    ASSERT_EQ(target->documentElement()->appendChild(acl), acl);
    EXPECT_EQ(acl->ownerDocument(), target);
    EXPECT_EQ(acl->firstChild()->firstChild()->ownerDocument(), target) << "the whole subtree changes document";
    EXPECT_EQ(source->documentElement(), nullptr) << "taken out of the old document";
    EXPECT_EQ(source->childNodes().size(), 1u);  // the declaration stays
    moved = acl->firstChild();
  }
  // The source document is gone; the moved nodes live in the target.
  EXPECT_EQ(target->documentElement()->xml(),
            "<root><VOACL><control><user>alice</user></control></VOACL></root>");
  EXPECT_EQ(moved->text(), "alice");
  auto access = target->createElement("access");
  access->setText("rw");
  ASSERT_TRUE(moved->appendChild(access));
  EXPECT_EQ(target->documentElement()->xml(),
            "<root><VOACL><control><user>alice</user><access>rw</access></control></VOACL></root>");
}

TEST(XmlTree, HeldNodesOutliveTheirDocument) {
  NodePtr root;
  NodePtr inner;
  NodePtr text;
  {
    auto doc = Parse("<r a=\"1\"><s><t>hello</t><u/></s><v/></r>");
    root = doc->documentElement();
    inner = root->firstChild()->firstChild();  // <t>
    text = inner->firstChild();
    auto detached = root->removeChild(root->lastChild());
    EXPECT_EQ(detached->nodeName(), "v");
    EXPECT_EQ(detached->parentNode(), nullptr);
    EXPECT_EQ(detached->ownerDocument(), doc);
  }
  // The document is released: the held element is a free tree.
  EXPECT_EQ(root->parentNode(), nullptr);
  EXPECT_EQ(root->ownerDocument(), nullptr);
  EXPECT_EQ(root->xml(), "<r a=\"1\"><s><t>hello</t><u/></s></r>");
  EXPECT_TRUE(root->setAttribute("b", "2"));
  EXPECT_EQ(inner->parentNode()->nodeName(), "s");
  EXPECT_EQ(text->parentNode(), inner);

  // Release the root too: a held grandchild keeps its own subtree, loses its place.
  root.reset();
  EXPECT_EQ(inner->parentNode(), nullptr);
  EXPECT_EQ(inner->nextSibling(), nullptr);
  EXPECT_EQ(inner->previousSibling(), nullptr);
  EXPECT_EQ(inner->xml(), "<t>hello</t>");
  EXPECT_EQ(text->parentNode(), inner);

  // It can go into a new document.
  auto doc2 = Document::Create();
  ASSERT_EQ(doc2->appendChild(inner), inner);
  EXPECT_EQ(doc2->xml(), "<t>hello</t>");
  EXPECT_EQ(text->ownerDocument(), doc2);
}

TEST(XmlTree, InsertRemoveReplace) {
  auto doc = Parse("<r><a/><c/></r>");
  auto r = doc->documentElement();
  auto a = r->firstChild();
  auto c = r->lastChild();
  auto b = doc->createElement("b");
  ASSERT_EQ(r->insertBefore(b, c), b);
  EXPECT_EQ(r->xml(), "<r><a/><b/><c/></r>");
  auto first = doc->createElement("first");
  ASSERT_EQ(r->insertBefore(first, a), first);
  EXPECT_EQ(r->firstChild(), first);
  auto last = doc->createElement("last");
  ASSERT_EQ(r->insertBefore(last, nullptr), last);
  EXPECT_EQ(r->xml(), "<r><first/><a/><b/><c/><last/></r>");

  // A reference that is not a child refuses, and nothing changes.
  auto stranger = doc->createElement("s");
  EXPECT_EQ(r->insertBefore(stranger, doc->createElement("z")), nullptr);
  EXPECT_EQ(stranger->parentNode(), nullptr);

  // Moving an existing child before another one.
  ASSERT_EQ(r->insertBefore(last, a), last);
  EXPECT_EQ(r->xml(), "<r><first/><last/><a/><b/><c/></r>");

  EXPECT_EQ(r->removeChild(b), b);
  EXPECT_EQ(b->parentNode(), nullptr);
  EXPECT_EQ(a->nextSibling(), c);
  EXPECT_EQ(c->previousSibling(), a);
  EXPECT_EQ(r->removeChild(b), nullptr) << "no longer a child";

  auto z = doc->createElement("z");
  EXPECT_EQ(r->replaceChild(z, a), a);
  EXPECT_EQ(a->parentNode(), nullptr);
  EXPECT_EQ(r->xml(), "<r><first/><last/><z/><c/></r>");
  // Replacing with a node's own previous sibling.
  EXPECT_EQ(r->replaceChild(last, z), z);
  EXPECT_EQ(r->xml(), "<r><first/><last/><c/></r>");
  EXPECT_EQ(r->lastChild(), c);
}

TEST(XmlTree, RefusedMovesLeaveTheTreeAlone) {
  auto doc = Parse("<r><a><b><c/></b></a></r>");
  auto r = doc->documentElement();
  auto a = r->firstChild();
  auto c = a->firstChild()->firstChild();
  const std::string before = doc->xml();

  EXPECT_EQ(c->appendChild(a), nullptr) << "into its own descendant";
  EXPECT_EQ(a->appendChild(a), nullptr) << "into itself";
  EXPECT_EQ(c->insertBefore(r, nullptr), nullptr);
  EXPECT_EQ(a->appendChild(nullptr), nullptr);
  EXPECT_EQ(a->appendChild(doc), nullptr) << "a document is never a child";
  EXPECT_EQ(r->firstChild()->firstChild()->replaceChild(r, c), nullptr);
  EXPECT_EQ(doc->xml(), before);
  EXPECT_EQ(a->parentNode(), r);

  auto t = doc->createTextNode("t");
  EXPECT_EQ(t->appendChild(doc->createElement("x")), nullptr) << "text has no children";
  EXPECT_EQ(doc->appendChild(doc->createElement("second")), nullptr) << "one document element";
  EXPECT_EQ(doc->appendChild(t), nullptr) << "no text at the top level";
  r->setAttribute("k", "v");
  EXPECT_EQ(a->appendChild(doc->createProcessingInstruction("xml", "version=\"1.0\"")), nullptr)
      << "a declaration only at the top of a document";
  EXPECT_EQ(doc->xml(), "<r k=\"v\"><a><b><c/></b></a></r>");

  // The document element may be replaced by another element.
  auto other = doc->createElement("other");
  EXPECT_EQ(doc->replaceChild(other, r), r);
  EXPECT_EQ(doc->documentElement(), other);
}

TEST(XmlTree, DeclarationStaysFirst) {
  auto doc = Document::Create();
  auto decl = doc->createProcessingInstruction("xml", "version=\"1.0\" encoding=\"utf-8\"");
  ASSERT_TRUE(decl);
  EXPECT_EQ(decl->nodeName(), "xml");
  ASSERT_TRUE(doc->appendChild(decl));
  ASSERT_TRUE(doc->appendChild(doc->createComment("c")));
  ASSERT_TRUE(doc->appendChild(doc->createElement("root")));
  ASSERT_EQ(doc->appendChild(decl), decl);  // appended again: still first
  EXPECT_EQ(doc->firstChild(), decl);
  EXPECT_EQ(doc->xml(), "<?xml version=\"1.0\" encoding=\"utf-8\"?><!--c--><root/>");
  EXPECT_EQ(doc->appendChild(doc->createProcessingInstruction("xml", "version=\"1.0\"")), nullptr)
      << "only one declaration";
}

TEST(XmlTree, CloneShallowAndDeep) {
  auto doc = Parse("<r><e a=\"1\" b=\"2\">text<k>x</k></e></r>");
  auto e = doc->documentElement()->firstChild();

  auto shallow = e->cloneNode(false);
  EXPECT_EQ(shallow->xml(), "<e a=\"1\" b=\"2\"/>");
  EXPECT_EQ(shallow->parentNode(), nullptr);
  EXPECT_EQ(shallow->ownerDocument(), doc);

  auto deep = e->cloneNode(true);
  EXPECT_EQ(deep->xml(), e->xml());
  EXPECT_EQ(deep->parentNode(), nullptr);
  EXPECT_EQ(deep->ownerDocument(), doc);
  EXPECT_EQ(deep->firstChild()->ownerDocument(), doc);
  EXPECT_EQ(deep->lastChild()->parentNode(), deep);

  // Copies are independent of the original.
  deep->setAttribute("a", "changed");
  deep->lastChild()->setText("y");
  shallow->setAttribute("c", "3");
  EXPECT_EQ(e->xml(), "<e a=\"1\" b=\"2\">text<k>x</k></e>");
  EXPECT_EQ(deep->xml(), "<e a=\"changed\" b=\"2\">text<k>y</k></e>");

  // A text node copies its value.
  auto t = e->firstChild()->cloneNode(false);
  EXPECT_EQ(t->nodeValue(), "text");

  // A whole document copies into a new document.
  auto doc_copy = Document::From(doc->cloneNode(true));
  ASSERT_TRUE(doc_copy);
  EXPECT_NE(doc_copy, doc);
  EXPECT_EQ(doc_copy->xml(), doc->xml());
  EXPECT_EQ(doc_copy->documentElement()->ownerDocument(), doc_copy);
  EXPECT_EQ(Document::From(e), nullptr) << "an element is not a document";
}

TEST(XmlTree, AttributesSetInPlaceAndLookup) {
  auto doc = Document::Create();
  auto e = doc->createElement("column");
  EXPECT_TRUE(e->setAttribute("name", "ID"));
  EXPECT_TRUE(e->setAttribute("type", "int"));
  EXPECT_TRUE(e->setAttribute("extra", "x"));
  EXPECT_TRUE(e->setAttribute("name", "KEY"));  // replaced where it stands
  EXPECT_EQ(e->xml(), "<column name=\"KEY\" type=\"int\" extra=\"x\"/>");
  EXPECT_EQ(e->attributes().size(), 3u);

  EXPECT_EQ(e->getAttribute("type"), "int");
  EXPECT_FALSE(e->getAttribute("Type")) << "names compare exactly";
  EXPECT_FALSE(e->getAttribute("missing"));
  EXPECT_TRUE(e->setAttribute("Type", "other"));
  EXPECT_EQ(e->attributes().size(), 4u);

  // Walking by index.
  const auto& attrs = e->attributes();
  ASSERT_EQ(attrs.size(), 4u);
  const char* names[] = {"name", "type", "extra", "Type"};
  const char* values[] = {"KEY", "int", "x", "other"};
  for (size_t i = 0; i < attrs.size(); ++i) {
    EXPECT_EQ(attrs[i].name, names[i]);
    EXPECT_EQ(attrs[i].value, values[i]);
  }

  EXPECT_TRUE(e->removeAttribute("type"));
  EXPECT_FALSE(e->removeAttribute("type"));
  EXPECT_EQ(e->xml(), "<column name=\"KEY\" extra=\"x\" Type=\"other\"/>");

  EXPECT_FALSE(e->setAttribute("bad name", "v"));
  EXPECT_FALSE(e->setAttribute("", "v"));
  auto t = doc->createTextNode("t");
  EXPECT_FALSE(t->setAttribute("a", "b"));
  EXPECT_FALSE(t->getAttribute("a"));
  EXPECT_TRUE(t->attributes().empty());
}

TEST(XmlTree, SerialisationEscapesAndForms) {
  auto doc = Document::Create();
  auto x = doc->createElement("x");
  EXPECT_EQ(x->xml(), "<x/>");
  x->setAttribute("v", "a&b<c>d\"e'f\tg\nh");
  EXPECT_EQ(x->xml(), "<x v=\"a&amp;b&lt;c&gt;d&quot;e'f&#x9;g&#xA;h\"/>");
  x->appendChild(doc->createTextNode("1 < 2 & 3 > \"2\" 'q'"));
  x->appendChild(doc->createCDATASection("raw <b> & ]]> end"));
  x->appendChild(doc->createComment(" note "));
  x->appendChild(doc->createProcessingInstruction("target", "some data"));
  x->appendChild(doc->createProcessingInstruction("empty", ""));
  x->appendChild(doc->createTextNode("日本語 ü"));
  const std::string written = x->xml();
  EXPECT_EQ(written,
            "<x v=\"a&amp;b&lt;c&gt;d&quot;e'f&#x9;g&#xA;h\">1 &lt; 2 &amp; 3 &gt; \"2\" 'q'"
            "<![CDATA[raw <b> & ]]]]><![CDATA[> end]]><!-- note --><?target some data?><?empty?>日本語 ü</x>");

  // What is written reads back to the same values.
  auto back = Parse(written);
  auto y = back->documentElement();
  EXPECT_EQ(y->getAttribute("v"), "a&b<c>d\"e'f\tg\nh");
  EXPECT_EQ(y->text(), "1 < 2 & 3 > \"2\" 'q'raw <b> & ]]> end日本語 ü");
  EXPECT_EQ(y->xml(), written);
}

TEST(XmlTree, CreateChecksNames) {
  auto doc = Document::Create();
  EXPECT_EQ(doc->createElement(""), nullptr);
  EXPECT_EQ(doc->createElement("1abc"), nullptr);
  EXPECT_EQ(doc->createElement("a b"), nullptr);
  EXPECT_EQ(doc->createElement("a<b"), nullptr);
  EXPECT_NE(doc->createElement("SOAP-ENV:Envelope"), nullptr);
  EXPECT_NE(doc->createElement("名前"), nullptr);
  EXPECT_EQ(doc->createProcessingInstruction("XML", "version=\"1.0\""), nullptr);
  EXPECT_EQ(doc->createProcessingInstruction("p", "a ?> b"), nullptr);
  EXPECT_EQ(doc->createElement("e")->ownerDocument(), doc);
}

TEST(XmlTree, DeepAndWideTreesDoNotRecurse) {
  constexpr int kDepth = 200000;
  auto doc = Document::Create();
  NodePtr top = doc->createElement("d");
  NodePtr cur = top;
  for (int i = 1; i < kDepth; ++i) {
    auto next = doc->createElement("d");
    cur->appendChild(next);
    cur = next;
  }
  cur->setText("bottom");
  doc->appendChild(top);
  const std::string xml = doc->xml();
  EXPECT_EQ(xml.size(), static_cast<size_t>(kDepth) * 7 + 6);
  EXPECT_EQ(doc->text(), "bottom");
  auto copy = top->cloneNode(true);
  EXPECT_EQ(copy->xml(), xml);
  // Moving the deepest node up checks ancestry without trouble.
  EXPECT_EQ(cur->appendChild(top), nullptr);

  auto wide = doc->createElement("w");
  for (int i = 0; i < kDepth; ++i) wide->appendChild(doc->createElement("i"));
  EXPECT_EQ(wide->childNodes().size(), static_cast<size_t>(kDepth));
  copy.reset();
  top.reset();
  cur.reset();
  doc.reset();
  wide.reset();  // released without recursion
  SUCCEED();
}

}  // namespace
}  // namespace quor::xml
