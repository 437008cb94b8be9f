#include <gtest/gtest.h>

#include <vector>

#include "accessor/sql_parser.h"
#include "test_util.h"

namespace quor::accessor {
namespace {

using testing::Load;

// A parser holding one statement read from `children` of its sql element.
void ParseInto(CSQLParser& parser, std::string_view children) {
  const xml::DocumentPtr doc = Load("<statement><sql>" + std::string(children) + "</sql></statement>");
  ASSERT_EQ(S_OK, parser.ParseQueryDOM(doc->firstChild()).code()) << children;
}

TEST(ParserText, ConvertTableNamewithSchema) {
  struct Case {
    const char* from;
    const char* expected;
  } cases[] = {
      {"orders  items", "orders, items"},
      {" a,b,", "a, b"},
      {"a , ,b", "a, b"},
      {"orders", "orders"},
      {"dbo.orders other", "dbo.orders other"},
      {"*", "*"},
      {",a", ", a"},
  };
  for (const Case& k : cases) {
    CSQLParser parser;
    ParseInto(parser, std::string("<select/><from>") + k.from + "</from>");
    EXPECT_EQ(S_OK, parser.ConvertTableNamewithSchema().code());
    EXPECT_EQ(k.expected, parser.statement(0).tableName) << "[" << k.from << "]";
  }
  CSQLParser parser;
  ParseInto(parser, "<exec>p1 p2</exec>");
  EXPECT_EQ(S_OK, parser.ConvertTableNamewithSchema().code());
  EXPECT_EQ("p1, p2", parser.statement(0).procedureName);

  CSQLParser empty;  // nothing parsed: nothing to do
  EXPECT_EQ(S_OK, empty.ConvertTableNamewithSchema().code());
}

TEST(ParserText, SchemaNameAndTransaction) {
  CSQLParser parser;
  EXPECT_FALSE(parser.schemaName());
  EXPECT_EQ(S_OK, parser.SetSchemaName(std::u16string_view(u"dbo")).code());
  EXPECT_EQ("dbo", parser.schemaName().value_or(""));
  EXPECT_EQ(S_OK, parser.SetSchemaName(std::nullopt).code());
  EXPECT_EQ("dbo", parser.schemaName().value_or(""));
  const char16_t lone[] = {u'a', 0xD800, 0};
  EXPECT_EQ(kErrorNoUnicodeTranslation, parser.SetSchemaName(std::u16string_view(lone)).code());
  EXPECT_EQ("dbo", parser.schemaName().value_or(""));
  EXPECT_EQ(S_OK, parser.SetSchemaName(std::u16string_view(u"\u00E9")).code());
  EXPECT_EQ("\xC3\xA9", parser.schemaName().value_or(""));

  EXPECT_FALSE(parser.inTransaction());
  EXPECT_TRUE(parser.SetInTransaction());
  EXPECT_TRUE(parser.inTransaction());
}

TEST(ParserText, NextQuotedName) {
  std::string_view list = "a b,c";
  EXPECT_EQ("\"a b\"", NextQuotedName(list).value_or("?"));
  EXPECT_EQ("c", list);
  EXPECT_EQ("c", NextQuotedName(list).value_or("?"));
  EXPECT_FALSE(NextQuotedName(list));

  struct Case {
    const char* list;
    std::vector<std::string> names;
  } cases[] = {
      {"  plain,1st,my-col,x ", {"plain", "\"1st\"", "\"my-col\"", "\"x \""}},
      {"we\"ird,o'k;", {"\"we\"\"ird\"", "\"o'k;\""}},
      {"a,,b", {"a", "", "b"}},
      {"a,", {"a"}},
      {"", {}},
  };
  for (const Case& k : cases) {
    std::string_view rest = k.list;
    std::vector<std::string> got;
    while (auto name = NextQuotedName(rest)) got.push_back(*name);
    EXPECT_EQ(k.names, got) << k.list;
  }
  EXPECT_EQ("\"a\"\"\"\"b\"", QuoteIdentifier("a\"\"b"));
}

TEST(ParserText, CountListItemsAndTextLists) {
  struct Case {
    int32_t max;
    std::optional<std::string_view> list;
    int32_t expected;
  } cases[] = {
      {5, "a,b", 2}, {1, "a,b,c", 1}, {3, "*", 3}, {0, "a,b", 0},
      {-2, "a", -2}, {4, std::nullopt, 4}, {4, "", 1}, {2147483647, "a,b,c", 3},
  };
  for (const Case& k : cases) EXPECT_EQ(k.expected, CountListItems(k.max, k.list)) << k.max;

  const std::vector<std::string> names = {"orders", "Items"};
  EXPECT_TRUE(TextListContains(names, "Items"));
  EXPECT_FALSE(TextListContains(names, "items"));
  EXPECT_FALSE(TextListContains(names, std::nullopt));
  EXPECT_FALSE(TextListContains({}, "orders"));
}

}  // namespace
}  // namespace quor::accessor
