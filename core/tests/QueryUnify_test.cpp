// Which unify rule governs a partial result, and the result rewritten into
// that rule's vocabulary.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/query/QueryEngine.h"
#include "core/query/ResultRewriter.h"
#include "core/tests/TestInstance.h"

namespace quor::core {
namespace {

xml::NodePtr Parse(const std::string& text) {
  const xml::DocumentPtr doc = xml::Document::Create();
  EXPECT_TRUE(doc->loadXML(text)) << text;
  return doc->firstChild();
}

std::unique_ptr<UnifyTableEntry> Table(const std::vector<std::string>& rules) {
  auto table = testing::UnifyRules(rules);
  EXPECT_TRUE(table) << "a rule does not load";
  return table;
}

std::string Rule(const std::string& keys, const std::string& table = "", const std::string& unify = "") {
  std::string s = "<unifyrule><Provider>P</Provider><Dsn>D</Dsn>" + keys;
  if (!unify.empty()) s += "<unify>" + unify + "</unify>";
  if (!table.empty()) s += "<table name=\"" + table + "\"><pattern><lid>L</lid><rid>R</rid></pattern></table>";
  return s + "</unifyrule>";
}

// The position of the entry found in the list (0 first), or -1.
int Find(const UnifyTableEntry* first, const char16_t* catalog, const char16_t* schema, const char16_t* key,
         const char16_t* provider = u"P", const char16_t* dsn = u"D") {
  const UnifyTableEntry* found = reinterpret_cast<const UnifyTableEntry*>(1);
  EXPECT_EQ(CQueryEngine::FindUnifyTableEntry(com::Bstr(provider), com::Bstr(dsn), com::Bstr(catalog),
                                              com::Bstr(schema), com::Bstr(key), first, found)
                .code(),
            S_OK);
  int index = 0;
  for (const UnifyTableEntry* e = first; e; e = e->GetNextRule(), ++index)
    if (e == found) return index;
  return found ? -2 : -1;
}

TEST(UnifyRuleMatch, StagesByWhatTheCallGives) {
  EXPECT_EQ(Find(nullptr, u"c", nullptr, u"Orders"), -1);

  const auto table = Table({
      Rule("<Catalog>c1</Catalog>", "Orders"),                    // 0
      Rule("<Catalog>c2</Catalog><Schema>s2</Schema>", "Items"),  // 1
      Rule("<Catalog>c3</Catalog>"),                              // 2: no patterns
      Rule("", "Orders"),                                         // 3: a later rule that fits too
  });
  const UnifyTableEntry* first = table.get();

  // The pattern name begins the key, exactly and with case.
  EXPECT_EQ(Find(first, u"c1", nullptr, u"Orders2003"), 0);
  EXPECT_EQ(Find(first, u"c1", nullptr, u"orders2003"), -1);
  EXPECT_EQ(Find(first, u"c1", nullptr, u"Ord"), -1);
  // Catalog differs, schema equal: taken by the schema.
  EXPECT_EQ(Find(first, u"other", u"s2", u"Items"), 1);
  EXPECT_EQ(Find(first, u"other", u"s2", nullptr), 1);
  // The only rule of that catalog has no pattern: none, and no other stage.
  EXPECT_EQ(Find(first, u"c3", u"x", u"Orders"), -1);
  EXPECT_EQ(Find(first, u"c3", nullptr, nullptr), 2);
  // No catalog or schema: the key alone, earliest first.
  EXPECT_EQ(Find(first, nullptr, nullptr, u"Orders"), 0);
  EXPECT_EQ(Find(first, nullptr, nullptr, u"Items"), 1);
  EXPECT_EQ(Find(first, nullptr, nullptr, nullptr), 0);
  // Provider and data source must be there on both sides and equal.
  EXPECT_EQ(Find(first, nullptr, nullptr, nullptr, u"p"), -1);
  EXPECT_EQ(Find(first, nullptr, nullptr, nullptr, u"P", nullptr), -1);
}

TEST(ResultRewrite, ColumnsTakeTheUnifiedNamesOfTheirTable) {
  const auto entry = Table({"<unifyrule><Provider>P</Provider><Dsn>D</Dsn>"
                            "<table name=\"ORDERS\"><pattern><lid>CUSTOMER_ID</lid><rid>CUST</rid></pattern></table>"
                            "<pattern><lid>QTY</lid><rid>AMOUNT</rid></pattern>"
                            "</unifyrule>"});
  const xml::NodePtr response = Parse(
      "<response><caption>x</caption>"
      "<table name=\"dbo.ORDERS\" rows=\"3\" unify=\"old\"><caption>c</caption><record>"
      "<column name=\"CUST\" type=\"DBTYPE_I4\" extra=\"e\">7</column>"
      "<column type=\"DBTYPE_STR\" name=\"AMOUNT\"><x a=\"1\">deep</x></column>"
      "<column name=\"NOTE\"/><other/></record><junk/></table>"
      "<table name=\"ORDER_LINES\"><record><column name=\"CUST\" orginalname=\"zzz\">8</column></record></table>"
      "</response>");

  const CResultRewriter rewriter(com::Bstr(u"left outer join"));
  const xml::NodePtr out = *rewriter.RewriteResponse(response, *entry);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->xml(),
            "<response>"
            "<table name=\"dbo.ORDERS\" rows=\"3\" unify=\"left outer join\"><record>"
            "<column extra=\"e\" name=\"CUSTOMER_ID\" type=\"DBTYPE_I4\" orginalname=\"CUST\">7</column>"
            "<column name=\"QTY\" type=\"DBTYPE_STR\" orginalname=\"AMOUNT\"><x a=\"1\">deep</x></column>"
            "<column name=\"NOTE\"/></record></table>"
            "<table name=\"ORDER_LINES\" unify=\"left outer join\"><record><column name=\"CUST\">8</column></record>"
            "</table></response>");

  // Rewritten again by the same rule, a column keeps its unified name.
  const xml::NodePtr again = *rewriter.RewriteResponse(out, *entry);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->xml(), out->xml());

  EXPECT_FALSE(*rewriter.RewriteResponse(Parse("<table/>"), *entry));
  EXPECT_FALSE(*rewriter.RewriteResponse(nullptr, *entry));
  const xml::NodePtr empty = *CResultRewriter(com::Bstr()).RewriteResponse(Parse("<response><x/></response>"), *entry);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->xml(), "<response/>");

  EXPECT_EQ(CResultRewriter::StripTableQualifier("dbo.ORDERS"), "ORDERS");
  EXPECT_EQ(CResultRewriter::StripTableQualifier("a.b.c"), "b.c");
  EXPECT_EQ(CResultRewriter::StripTableQualifier("plain"), "plain");
}

}  // namespace
}  // namespace quor::core
