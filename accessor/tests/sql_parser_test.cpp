#include <gtest/gtest.h>

#include "accessor/sql_parser.h"
#include "test_util.h"

namespace quor::accessor {
namespace {

using testing::Load;

struct Parsed {
  Status status;
  QueryStatement record;
};

Parsed ParseText(std::string_view text) {
  const xml::DocumentPtr doc = Load(text);
  CSQLParser parser;
  const Status status = parser.ParseQueryDOM(doc->firstChild());
  return {status, parser.statementCount() ? parser.statement(0) : QueryStatement{}};
}

std::string Sql(std::string_view sqlChildren) {
  return "<sqlquery><statement><sql>" + std::string(sqlChildren) + "</sql></statement></sqlquery>";
}

TEST(SqlParser, ReadsTheStatementElement) {
  const Parsed p = ParseText(
      "<sqlquery><statement><provider>MSDASQL</provider><dsn>Sales</dsn><catalog>c</catalog>"
      "<schema>s</schema><transform>t</transform><store/><nounify/>"
      "<sql><select/><from>T</from></sql></statement></sqlquery>");
  ASSERT_EQ(S_OK, p.status.code());
  EXPECT_EQ("MSDASQL", p.record.provider);
  EXPECT_EQ("Sales", p.record.dsn);
  EXPECT_EQ("c", p.record.catalog);
  EXPECT_EQ(StatementKind::Select, p.record.statementKind);
  EXPECT_EQ("*", p.record.selectList);
  EXPECT_EQ("T", p.record.tableName);
  EXPECT_EQ(sqltemplate::kSelect, p.record.sqlTemplate);
  EXPECT_EQ(TargetKind::Statement, p.record.targetKind);
}

TEST(SqlParser, DocumentForms) {
  const std::string inner = "<sql><select>a</select><from>T</from></sql>";
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"root statement", "<statement>" + inner + "</statement>"},
      {"root substatement", "<substatement>" + inner + "</substatement>"},
      {"wrapped", "<sqlquery><statement>" + inner + "</statement></sqlquery>"},
      {"first substatement read", "<statement><substatement>" + inner + "</substatement><bogus/></statement>"},
      {"indented", "<sqlquery>\n  <statement>\n    <sql>\n      <select>a</select>\n      <from>T</from>\n"
                   "    </sql>\n  </statement>\n</sqlquery>"},
      {"later statements ignored", "<sqlquery><statement>" + inner + "</statement><statement><bad/></statement></sqlquery>"},
  };
  for (const Case& k : cases) {
    const Parsed p = ParseText(k.text);
    EXPECT_EQ(S_OK, p.status.code()) << k.name;
    EXPECT_EQ("a", p.record.selectList) << k.name;
    EXPECT_EQ("T", p.record.tableName) << k.name;
  }
}

TEST(SqlParser, EntitiesOfADocumentTypeAreNotExpanded) {
  const Parsed p = ParseText(
      "<!DOCTYPE statement [<!ENTITY t \"secret\">]><statement><sql><select/><from>&t;</from></sql></statement>");
  ASSERT_EQ(S_OK, p.status.code());
  EXPECT_EQ("&t;", p.record.tableName);  // the reference stays as written
}

TEST(SqlParser, TargetKinds) {
  struct Case {
    const char* element;
    TargetKind kind;
  } cases[] = {
      {"<table/>", TargetKind::Table},       {"<column/>", TargetKind::Columns},
      {"<view/>", TargetKind::Views},        {"<alias/>", TargetKind::Aliases},
      {"<synonym/>", TargetKind::Synonyms},  {"<procedure/>", TargetKind::Procedures},
      {"<view/><column>x</column>", TargetKind::Columns},
  };
  for (const Case& k : cases) {
    const Parsed p = ParseText(std::string("<statement>") + k.element + "<sql><select/><from>*</from></sql></statement>");
    EXPECT_EQ(S_OK, p.status.code()) << k.element;
    EXPECT_EQ(k.kind, p.record.targetKind) << k.element;
  }
}

// Every malformed document and its status.
TEST(SqlParser, RefusesMalformedDocuments) {
  struct Case {
    const char* name;
    std::string text;
    HRESULT status;
  } cases[] = {
      {"leading declaration", "<?xml version=\"1.0\"?><sqlquery><statement><sql><select/><from>T</from></sql></statement></sqlquery>", kQueryInvalid},
      {"leading comment", "<!-- q --><statement><sql><select/><from>T</from></sql></statement>", kQueryInvalid},
      {"no statement", "<sqlquery><other/></sqlquery>", kQueryInvalid},
      {"root without children", "<sqlquery/>", kQueryInvalid},
      {"sql without children", "<statement><sql/></statement>", kQueryInvalid},
      {"two sql elements", "<statement><sql><select/><from>T</from></sql><sql><delete/><from>T</from></sql></statement>", kQueryInvalid},
      {"comment in statement", "<statement><!-- x --><sql><select/><from>T</from></sql></statement>", kUnsupportedTag},
      {"text in statement", "<statement>junk<sql><select/><from>T</from></sql></statement>", kUnsupportedTag},
      {"unknown statement child", "<statement><bogus/><sql><select/><from>T</from></sql></statement>", kUnsupportedTag},
      {"request-uri", "<statement><request-uri>http://x/</request-uri><sql><select/><from>T</from></sql></statement>", kUnsupportedTag},
      {"comment in sql", Sql("<select/><!-- x --><from>T</from>"), kUnsupportedTag},
      {"pi in sql", Sql("<select/><?pi x?><from>T</from>"), kUnsupportedTag},
      {"unknown sql child", Sql("<select/><from>T</from><limit>3</limit>"), kUnsupportedTag},
      {"into first", Sql("<into>T</into><insert/>"), kQueryInvalid},
      {"values under select", Sql("<select/><values>1</values>"), kQueryInvalid},
      {"set under insert", Sql("<insert/><set>a=1</set>"), kQueryInvalid},
      {"parameter without exec", Sql("<select/><parameter/>"), kQueryInvalid},
      {"rowcount without select", Sql("<delete/><from>T</from><rowcount>3</rowcount>"), kQueryInvalid},
      {"second verb", Sql("<select/><where>a=1</where><delete/><from>T</from>"), kQueryInvalid},
      {"same verb twice", Sql("<select/><select>a</select><from>T</from>"), kQueryInvalid},
      {"exec without name", Sql("<exec/>"), kQueryInvalid},
      {"update without table", Sql("<update/>"), kUpdateTableMissing},
      {"from without text", Sql("<select/><from/>"), kFromTableMissing},
      {"into without text", Sql("<insert/><into/>"), kIntoTableMissing},
      {"values without text", Sql("<insert/><into>T</into><values/>"), kValuesMissing},
      {"set without text", Sql("<update>T</update><set/>"), kSetMissing},
      {"group without text", Sql("<select/><from>T</from><group/>"), kGroupInvalid},
      {"order without text", Sql("<select/><from>T</from><order/>"), kOrderInvalid},
      {"option without text", Sql("<select/><from>T</from><option/>"), kOptionInvalid},
      {"rowcount out of range", Sql("<select/><from>T</from><rowcount>99999999999</rowcount>"), kRowCountInvalid},
      {"from holding an element", Sql("<select/><from><t/></from>"), kFromTableMissing},
      {"insert into every table", Sql("<insert/><into>*</into><values>1</values>"), kIntoTableMissing},
      {"update every table", Sql("<update>*</update><set>a=1</set>"), kUpdateTableMissing},
      {"delete every table", Sql("<delete/><from>*</from>"), kFromTableMissing},
      {"delete every table, blanks", Sql("<delete/><from> * </from><where>1=1</where>"), kFromTableMissing},
  };
  for (const Case& k : cases) EXPECT_EQ(k.status, ParseText(k.text).status.code()) << k.name;

  CSQLParser parser;
  EXPECT_EQ(kQueryInvalid, parser.ParseQueryDOM(nullptr).code());
  EXPECT_EQ(kQueryInvalid, parser.CreateSQLStatement(nullptr, 0).code());
}

TEST(SqlParser, TemplateChoice) {
  struct Case {
    const char* name;
    std::string children;
    StatementKind kind;
    std::string_view tpl;
  } cases[] = {
      {"select", "<select/><from>T</from>", StatementKind::Select, sqltemplate::kSelect},
      {"select where", "<select/><from>T</from><where>a=1</where>", StatementKind::Select, sqltemplate::kSelectWhere},
      {"select empty where", "<select/><from>T</from><where/>", StatementKind::Select, sqltemplate::kSelect},
      {"insert", "<insert/><into>T</into><values>1</values>", StatementKind::Insert, sqltemplate::kInsert},
      {"update", "<update>T</update><set>a=1</set>", StatementKind::Update, sqltemplate::kUpdate},
      {"update where", "<update>T</update><set>a=1</set><where>b=2</where>", StatementKind::Update, sqltemplate::kUpdateWhere},
      {"update empty where", "<update>T</update><set>a=1</set><where/>", StatementKind::Update, sqltemplate::kUpdate},
      {"delete", "<delete/><from>T</from>", StatementKind::Delete, sqltemplate::kDelete},
      {"delete where", "<delete/><from>T</from><where>a=1</where>", StatementKind::Delete, sqltemplate::kDeleteWhere},
      {"where before delete", "<where>a=1</where><delete/><from>T</from>", StatementKind::Delete, sqltemplate::kDeleteWhere},
      {"exec", "<exec>p</exec>", StatementKind::Exec, "</paramlist>"},
      {"exec params", "<exec>p</exec><parameter><name>a</name></parameter><parameter>b &amp; c</parameter>",
       StatementKind::Exec, "<paramlist><parameter><name>a</name></parameter><parameter>b &amp; c</parameter></paramlist>"},
  };
  for (const Case& k : cases) {
    const Parsed p = ParseText(Sql(k.children));
    ASSERT_EQ(S_OK, p.status.code()) << k.name;
    EXPECT_EQ(k.kind, p.record.statementKind) << k.name;
    EXPECT_EQ(k.tpl, p.record.sqlTemplate) << k.name;
  }
  // No verb at all: no template.
  const Parsed none = ParseText(Sql("<from>T</from>"));
  ASSERT_EQ(S_OK, none.status.code());
  EXPECT_FALSE(none.record.hasVerb);
  EXPECT_EQ("", none.record.sqlTemplate);
}

TEST(SqlParser, ClausesAndRowCount) {
  const Parsed p = ParseText(Sql("<select>a, b</select><from>T</from><where>a &lt; 3</where><group>a</group>"
                                 "<order>b DESC</order><option>FOR READ ONLY</option><rowcount> 10 </rowcount>"));
  ASSERT_EQ(S_OK, p.status.code());
  EXPECT_EQ("a, b", p.record.selectList);
  EXPECT_EQ("a < 3", p.record.whereClause);
  EXPECT_EQ("a", p.record.groupBy);
  EXPECT_EQ("b DESC", p.record.orderBy);
  EXPECT_EQ("FOR READ ONLY", p.record.optionClause);
  EXPECT_EQ(10, p.record.rowCount);

  struct Case {
    const char* text;
    int32_t count;
  } counts[] = {{"<rowcount>abc</rowcount>", 0}, {"<rowcount/>", 0}, {"<rowcount>5rows</rowcount>", 5},
                {"<rowcount><n>7</n></rowcount>", 7}};
  for (const Case& k : counts) {
    const Parsed r = ParseText(Sql(std::string("<select/><from>T</from>") + k.text));
    ASSERT_EQ(S_OK, r.status.code()) << k.text;
    EXPECT_EQ(k.count, r.record.rowCount) << k.text;
  }
}

TEST(SqlParser, FailureKeepsWhatWasRead) {
  const xml::DocumentPtr doc = Load("<statement><dsn>D</dsn><sql><select>a</select><from/></sql></statement>");
  CSQLParser parser;
  EXPECT_EQ(kFromTableMissing, parser.ParseQueryDOM(doc->firstChild()).code());
  EXPECT_EQ("D", parser.statement(0).dsn);
  EXPECT_EQ("a", parser.statement(0).selectList);
}

// ---- SQL assembly -------------------------------------------------------------

struct Built {
  HRESULT status;
  std::string sql;
};

Built BuildFrom(std::string_view children) {
  const Parsed p = ParseText(Sql(children));
  EXPECT_EQ(S_OK, p.status.code()) << children;
  Built b{S_OK, "(unset)"};
  const Result<std::string> built = BuildSqlText(p.record, p.record.tableName);
  b.status = built.status().code();
  if (built.ok()) b.sql = *built;
  return b;
}

TEST(SqlBuild, EveryVerbWithAndWithoutWhere) {
  struct Case {
    const char* children;
    const char* sql;
  } cases[] = {
      {"<select/><from>T</from>", "SELECT * FROM T"},
      {"<select>a,b</select><from>T</from><where>a='x'</where>", "SELECT a,b FROM T WHERE a='x'"},
      {"<select>a</select><from>T</from><where>a>1</where><group>a</group><order>a</order><option>OPT</option>",
       "SELECT a FROM T WHERE a>1 GROUP BY a ORDER BY a OPT"},
      {"<select>a</select><from>T</from><order>a</order>", "SELECT a FROM T ORDER BY a"},
      {"<insert/><into>T</into><values>1,'O''Brien, Jr.'</values>", "INSERT INTO T VALUES (1,'O''Brien, Jr.')"},
      {"<insert/><into>T(a,b)</into><values>'%s','%d'</values>", "INSERT INTO T(a,b) VALUES ('%s','%d')"},
      {"<update>T</update><set>a='x,y',b=2</set>", "UPDATE T SET a='x,y',b=2"},
      {"<update>T</update><set>a=1</set><where>id=3</where>", "UPDATE T SET a=1 WHERE id=3"},
      {"<update>T</update><set>a=1</set><where/>", "UPDATE T SET a=1"},
      {"<delete/><from>T</from>", "DELETE FROM T"},
      {"<delete/><from>T</from><where>id=3</where>", "DELETE FROM T WHERE id=3"},
      {"<where>id=3</where><delete/><from>T</from>", "DELETE FROM T WHERE id=3"},
      {"<delete/><from>T</from><option>OPT</option>", "DELETE FROM T OPT"},
  };
  for (const Case& k : cases) {
    const Built b = BuildFrom(k.children);
    EXPECT_EQ(S_OK, b.status) << k.children;
    EXPECT_EQ(k.sql, b.sql) << k.children;
  }
}

TEST(SqlBuild, SelectOverEveryTableAndAGivenTableText) {
  const Parsed p = ParseText(Sql("<select/><from>*</from><where>x=1</where>"));
  ASSERT_EQ(S_OK, p.status.code());
  std::string sql;
  const Result<std::string> built = BuildSqlText(p.record, "main.orders");
  ASSERT_EQ(S_OK, built.status().code());
  sql = *built;
  EXPECT_EQ("SELECT * FROM main.orders WHERE x=1", sql);
}

TEST(SqlBuild, RefusesRecordsThatDoNotFit) {
  const auto record = [](std::string_view children) {
    const Parsed p = ParseText(Sql(children));
    EXPECT_EQ(S_OK, p.status.code()) << children;
    return p.record;
  };
  QueryStatement selectAsDelete = record("<select/><from>T</from><where>a=1</where>");
  selectAsDelete.statementKind = StatementKind::Delete;  // a select template under a delete
  QueryStatement updateWithoutWhere = record("<update>T</update><set>a=1</set><where/><where>b=2</where>");
  QueryStatement deleteWithoutWhere = record("<delete/><from>T</from><where/><where>b=2</where>");
  QueryStatement selectDroppingWhere = record("<where>b=2</where><select/><from>T</from>");
  QueryStatement insertWithWhere = record("<insert/><into>T</into><values>1</values><where>b=2</where>");
  QueryStatement noVerb = record("<from>T</from>");
  QueryStatement exec = record("<exec>p</exec>");
  QueryStatement insertNoValues = record("<insert/><into>T</into>");
  QueryStatement updateNoSet = record("<update>T</update>");
  QueryStatement deleteNoTable = record("<delete/>");
  QueryStatement insertNoTable = record("<insert/><values>1</values>");
  QueryStatement deleteAll = record("<delete/><from>T</from>");
  QueryStatement kindOutOfRange = record("<select/><from>T</from>");
  kindOutOfRange.statementKind = static_cast<StatementKind>(9);
  struct Case {
    const char* name;
    const QueryStatement& st;
    std::string table;
    HRESULT status;
  } cases[] = {
      {"select template under delete", selectAsDelete, "T", kInvalidSql},
      {"update would drop its condition", updateWithoutWhere, "T", kInvalidSql},
      {"delete would drop its condition", deleteWithoutWhere, "T", kInvalidSql},
      {"select would drop its condition", selectDroppingWhere, "T", kInvalidSql},
      {"insert with a condition", insertWithWhere, "T", kInvalidSql},
      {"no verb", noVerb, "T", kInvalidSql},
      {"exec is no SQL text", exec, "p", kInvalidSql},
      {"kind out of range", kindOutOfRange, "T", kInvalidSql},
      {"insert without values", insertNoValues, "T", kValuesMissing},
      {"update without set", updateNoSet, "T", kSetMissing},
      {"delete without table", deleteNoTable, "", kFromTableMissing},
      {"insert without table", insertNoTable, "  ", kIntoTableMissing},
      {"delete given every table", deleteAll, "*", kFromTableMissing},
  };
  for (const Case& k : cases) {
    std::string sql = "(unset)";
    const Result<std::string> built = BuildSqlText(k.st, k.table);
    if (built.ok()) sql = *built;
    EXPECT_EQ(k.status, built.status().code()) << k.name;
    EXPECT_EQ("(unset)", sql) << k.name;
  }
}

}  // namespace
}  // namespace quor::accessor
