#include <gtest/gtest.h>

#include <vector>

#include "accessor/sql_parser.h"

namespace quor::accessor {
namespace {

std::vector<ColumnValue> Columns(std::initializer_list<std::pair<const char*, bool>> list) {
  std::vector<ColumnValue> columns;
  for (const auto& [name, writable] : list) columns.push_back({name, std::nullopt, 0, writable});
  return columns;
}

using Values = std::vector<std::optional<std::string>>;

Values ValuesOf(const std::vector<ColumnValue>& columns) {
  Values out;
  for (const ColumnValue& c : columns) {
    out.push_back(c.value);
    if (c.value) {
      EXPECT_EQ(c.value->size() + 1, c.size) << c.name;
    }
  }
  return out;
}

TEST(ValueLists, InsertValuesByPosition) {
  struct Case {
    const char* name;
    std::string text;
    bool ok;
    Values expected;  // for columns id (read-only), a, b, c
  } cases[] = {
      {"quotes and numbers", "'O''Brien', 12", true, {std::nullopt, "O'Brien", "12", std::nullopt}},
      {"comma inside quotes", "'x, y','z'", true, {std::nullopt, "x, y", "z", std::nullopt}},
      {"bare values keep blanks", "a b ,c", true, {std::nullopt, "a b ", "c", std::nullopt}},
      {"trailing comma", "1,", true, {std::nullopt, "1", "", std::nullopt}},
      {"trailing quote pair", "'ab'''", true, {std::nullopt, "ab'", std::nullopt, std::nullopt}},
      {"empty quoted", "'',2", true, {std::nullopt, "", "2", std::nullopt}},
      {"blank after quote then comma", "'a' ,b", true, {std::nullopt, "a", "", "b"}},
      {"unclosed quote read bare", "'abc", true, {std::nullopt, "abc", std::nullopt, std::nullopt}},
      {"doubled quote never closed", "'ab''cd", true, {std::nullopt, "ab", "cd", std::nullopt}},
      {"empty text", "", true, {std::nullopt, std::nullopt, std::nullopt, std::nullopt}},
      {"too many values", "1,2,3,4", false, {}},
      {"junk after closing quote", "'a'b,c", false, {}},
  };
  CSQLParser parser;
  for (const Case& k : cases) {
    auto columns = Columns({{"id", false}, {"a", true}, {"b", true}, {"c", true}});
    EXPECT_EQ(k.ok, parser.SetUpdateValue(columns, k.text).ok()) << k.name;
    if (k.ok) {
      EXPECT_EQ(k.expected, ValuesOf(columns)) << k.name;
    } else {
      EXPECT_EQ(Values(4), ValuesOf(columns)) << k.name << ": a refused text assigns nothing";
    }
  }
  auto columns = Columns({{"a", true}});
  EXPECT_TRUE(parser.SetUpdateValue(columns, std::nullopt).ok());
  EXPECT_FALSE(columns[0].value);
  EXPECT_FALSE(parser.SetUpdateValue(columns, "a,").ok());  // the trailing comma's empty value has no column
  auto two = Columns({{"a", true}, {"ro", false}, {"b", true}});
  EXPECT_FALSE(parser.SetUpdateValue(two, "1,2,3").ok());
  EXPECT_TRUE(parser.SetUpdateValue(two, "1,2").ok());
  EXPECT_EQ((Values{"1", std::nullopt, "2"}), ValuesOf(two));
}

TEST(ValueLists, UpdatePairsByName) {
  struct Case {
    const char* name;
    std::string text;
    bool ok;
    Values expected;  // for columns name, age, ro (read-only)
  } cases[] = {
      {"quoted and bare", "name='x',age=3", true, {"x", "3", std::nullopt}},
      {"blanks and comma between pairs", "age='3'  ,name='y'", true, {"y", "3", std::nullopt}},
      {"escaped quote and comma", "name='O''Brien, Jr.'", true, {"O'Brien, Jr.", std::nullopt, std::nullopt}},
      {"later pair wins", "age=1, age=2", true, {std::nullopt, "2", std::nullopt}},
      {"writable flag not consulted", "ro=5", true, {std::nullopt, std::nullopt, "5"}},
      {"unclosed quote takes the rest", "name='abc", true, {"abc", std::nullopt, std::nullopt}},
      {"bare keeps blanks", "name=a b ,age=4", true, {"a b ", "4", std::nullopt}},
      {"blanks around =", "name = 'x'", false, {}},
      {"unknown column", "nick='x'", false, {}},
      {"case matters", "Name='x'", false, {}},
      {"pair without =", "name='x',age", false, {}},
      {"escaped quote never closed", "name='ab''", false, {}},
      {"name too long", std::string(256, 'n') + "=1", false, {}},
  };
  CSQLParser parser;
  for (const Case& k : cases) {
    auto columns = Columns({{"name", true}, {"age", true}, {"ro", false}});
    EXPECT_EQ(k.ok, parser.SetUpdateValueforUpdate(columns, k.text).ok()) << k.name;
    if (k.ok) {
      EXPECT_EQ(k.expected, ValuesOf(columns)) << k.name;
    } else {
      EXPECT_EQ(Values(3), ValuesOf(columns)) << k.name << ": a refused text assigns nothing";
    }
  }
  auto columns = Columns({{"name", true}});
  EXPECT_TRUE(parser.SetUpdateValueforUpdate(columns, std::nullopt).ok());
  EXPECT_TRUE(parser.SetUpdateValueforUpdate(columns, "").ok());
  EXPECT_FALSE(columns[0].value);
}

}  // namespace
}  // namespace quor::accessor
