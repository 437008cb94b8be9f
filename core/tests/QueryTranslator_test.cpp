#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "core/StatusCodes.h"
#include "core/query/QueryTranslator.h"
#include "platform/xml/dom.h"

using namespace quor;
using namespace quor::core;

namespace {

struct Translation {
  HRESULT status = S_OK;
  std::string xml;
  xml::DocumentPtr output;
};

Translation TranslateText(std::string_view request) {
  auto in = xml::Document::Create();
  EXPECT_TRUE(in->loadXML(request)) << in->parseError().reason << " in " << request;
  Translation result;
  result.output = xml::Document::Create();
  CQueryTranslator translator;
  result.status = translator.Translate(in, result.output).code();
  result.xml = result.output->xml();
  return result;
}

struct Case {
  const char* name;
  const char* request;
  const char* expected;  // the whole "sqlquery" document
};

void RunCases(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Translation t = TranslateText(c.request);
    EXPECT_EQ(t.status, S_OK);
    EXPECT_EQ(t.xml, c.expected);
  }
}

struct FailureCase {
  const char* name;
  const char* request;
  HRESULT status;
};

void RunFailures(std::initializer_list<FailureCase> cases) {
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Translation t = TranslateText(c.request);
    EXPECT_EQ(t.status, c.status) << std::hex << t.status;
    // A failed translation leaves no statement document behind.
    EXPECT_FALSE(t.output->hasChildNodes()) << t.xml;
  }
}

#define PDC "<provider>P</provider><dsn>D</dsn><catalog>C</catalog>"
#define PDC "<provider>P</provider><dsn>D</dsn><catalog>C</catalog>"

}  // namespace

// What the console's query builder sends: provider, dsn, catalog and table in
// one target, the value or set after it, the condition, then the row limit.
TEST(QueryTranslator, ConsoleRequests) {
  RunCases({
      {"get records",
       "<query><get><content>record</content><target>" PDC "<table>dbo.T</table></target>"
       "<condition>id &gt; 1</condition><rowcount>5</rowcount></get></query>",
       "<sqlquery><statement><substatement>" PDC
       "<sql><select>*</select><from>dbo.T</from><where>id &gt; 1</where><rowcount>5</rowcount></sql>"
       "</substatement></statement></sqlquery>"},
      {"list columns",
       "<query><get><content>column</content><target>" PDC "<table>T</table></target></get></query>",
       "<sqlquery><statement><substatement><column/>" PDC
       "<sql><select>*</select><from>T</from></sql></substatement></statement></sqlquery>"},
      {"list tables: empty table element",
       "<query><get><content>table</content><target>" PDC "<table></table></target></get></query>",
       "<sqlquery><statement><substatement>" PDC
       "<sql><select>*</select><from>*</from></sql></substatement></statement></sqlquery>"},
      {"delete records",
       "<query><delete><target>" PDC "<table>T</table></target><condition>id=1</condition></delete></query>",
       "<sqlquery><transaction><statement>" PDC
       "<sql><delete/><from>T</from><where>id=1</where></sql></statement></transaction></sqlquery>"},
      // The console escapes a value once more than the document: it arrives
      // with its "&" as text and goes out escaped once.
      {"insert record",
       "<query><insert><target>" PDC "<table>T</table></target><value>1, 'a&amp;b'</value></insert></query>",
       "<sqlquery><transaction><statement>" PDC
       "<sql><insert/><into>T</into><values>1, 'a&amp;b'</values></sql></statement></transaction></sqlquery>"},
      {"update records",
       "<query><update><target>" PDC "<table>T</table></target><set>name='x'</set>"
       "<condition>id=1</condition></update></query>",
       "<sqlquery><transaction><statement>" PDC
       "<sql><update>T</update><set>name='x'</set><where>id=1</where></sql></statement></transaction></sqlquery>"},
  });
}

TEST(QueryTranslator, GetContentAndTargets) {
  RunCases({
      // Provider, dsn, table, then catalog: the table's schema is split off.
      {"record fields and schema",
       "<query><get><content>record<field>a</field><field>b</field></content>"
       "<target><provider>P</provider><dsn>D</dsn><table>dbo.T</table><catalog>C</catalog></target></get></query>",
       "<sqlquery><statement><substatement><provider>P</provider><dsn>D</dsn><catalog>C</catalog>"
       "<schema>dbo</schema><sql><select>a,b</select><from>dbo.T</from></sql></substatement></statement></sqlquery>"},
      {"catalog before table: no schema",
       "<query><get><content>record<field>a</field></content>"
       "<target><provider>P</provider><dsn>D</dsn><catalog>C</catalog><table>dbo.T</table></target></get></query>",
       "<sqlquery><statement><substatement>" PDC
       "<sql><select>a</select><from>dbo.T</from></sql></substatement></statement></sqlquery>"},
      {"record without fields, indented",
       "<query>\n <get>\n  <content>\n   record\n  </content>\n  <target>" PDC
       "<table>T</table></target>\n </get>\n</query>",
       "<sqlquery><statement><substatement>" PDC
       "<sql><select>*</select><from>T</from></sql></substatement></statement></sqlquery>"},
      {"record followed by something else: empty select",
       "<query><get><content>record<x/></content><target>" PDC "<table>T</table></target></get></query>",
       "<sqlquery><statement><substatement>" PDC
       "<sql><select/><from>T</from></sql></substatement></statement></sqlquery>"},
      {"empty content reads everything",
       "<query><get><content/><target>" PDC "<table>T</table></target></get></query>",
       "<sqlquery><statement><substatement>" PDC
       "<sql><select>*</select><from>T</from></sql></substatement></statement></sqlquery>"},
      {"request-uri alone",
       "<query><get><content>table</content><target><request-uri>http://h/x</request-uri></target></get></query>",
       "<sqlquery><statement><substatement><request-uri>http://h/x</request-uri>"
       "<sql><select>*</select></sql></substatement></statement></sqlquery>"},
      {"two tables: the last one is read",
       "<query><get><content>table</content>"
       "<target><dsn>D</dsn><table>s.A</table><provider>P</provider><table>B</table></target></get></query>",
       "<sqlquery><statement><substatement><dsn>D</dsn><provider>P</provider>"
       "<sql><select>*</select><from>B</from></sql></substatement></statement></sqlquery>"},
      {"view heads every substatement; a new content only changes later targets",
       "<query><get><content>view</content><target>" PDC "<table>A</table></target>"
       "<target>" PDC "<table>B</table></target>"
       "<content>record<field>f</field></content><target>" PDC "<table>C</table></target></get></query>",
       "<sqlquery><statement>"
       "<substatement><view/>" PDC "<sql><select>*</select><from>A</from></sql></substatement>"
       "<substatement><view/>" PDC "<sql><select>*</select><from>B</from></sql></substatement>"
       "<substatement>" PDC "<sql><select>f</select><from>C</from></sql></substatement>"
       "</statement></sqlquery>"},
  });
}

TEST(QueryTranslator, GetClauses) {
  RunCases({
      {"clause lists and separators",
       "<query><get><content>table</content><target>" PDC "<table>T</table></target>"
       "<group>a</group><group>b</group><order>a</order><order>b DESC</order>"
       "<option>o1</option><option>o2</option><rowcount>3</rowcount><rowcount>7</rowcount></get></query>",
       "<sqlquery><statement><substatement>" PDC
       "<sql><select>*</select><from>T</from><group>a b</group><order>a , b DESC</order>"
       "<option>o1 o2</option><rowcount>7</rowcount></sql></substatement></statement></sqlquery>"},
      // Clauses before the first target belong to it; after target k and
      // before k+1 to target k; after the last to the last.
      {"clauses go to their target",
       "<query><get><content>table</content><condition>c0</condition>"
       "<target>" PDC "<table>A</table></target><condition>c1</condition><order>o1</order>"
       "<target>" PDC "<table>B</table></target>"
       "<target>" PDC "<table>C</table></target><rowcount>9</rowcount></get></query>",
       "<sqlquery><statement>"
       "<substatement>" PDC "<sql><select>*</select><from>A</from><where>(c0) AND (c1)</where>"
       "<order>o1</order></sql></substatement>"
       "<substatement>" PDC "<sql><select>*</select><from>B</from></sql></substatement>"
       "<substatement>" PDC "<sql><select>*</select><from>C</from><rowcount>9</rowcount></sql></substatement>"
       "</statement></sqlquery>"},
      {"one condition stays as written",
       "<query><get><content>table</content><target>" PDC "<table>T</table></target>"
       "<condition>a=1 OR b=2</condition></get></query>",
       "<sqlquery><statement><substatement>" PDC
       "<sql><select>*</select><from>T</from><where>a=1 OR b=2</where></sql></substatement></statement></sqlquery>"},
      {"several conditions are bracketed",
       "<query><get><content>table</content><target>" PDC "<table>T</table></target>"
       "<condition>a=1 OR b=2</condition><condition>c=3</condition></get></query>",
       "<sqlquery><statement><substatement>" PDC
       "<sql><select>*</select><from>T</from><where>(a=1 OR b=2) AND (c=3)</where></sql>"
       "</substatement></statement></sqlquery>"},
      {"nounify reaches every substatement; transforms and stores join with a blank",
       "<query><get><content>table</content><target>" PDC "<table>A</table></target><nounify/>"
       "<target>" PDC "<table>B</table></target>"
       "<transform>csv</transform><transform>xhtml</transform><store>s1</store><store>s2</store></get></query>",
       "<sqlquery><statement>"
       "<substatement>" PDC "<sql><select>*</select><from>A</from></sql><nounify/></substatement>"
       "<substatement>" PDC "<sql><select>*</select><from>B</from></sql><nounify/></substatement>"
       "<transform>csv xhtml</transform><store>s1 s2</store></statement></sqlquery>"},
      {"a get without targets keeps transform and store only",
       "<query><get><content>table</content><condition>x</condition><transform>t</transform>"
       "<store>s</store></get></query>",
       "<sqlquery><statement><transform>t</transform><store>s</store></statement></sqlquery>"},
  });
}

// Nothing a target derives (schema, catalog, table) reaches the next one.
TEST(QueryTranslator, GetTargetsDoNotShareKeys) {
  RunCases({
      {"schema of the previous table",
       "<query><get><content>table</content>"
       "<target><provider>P</provider><dsn>D</dsn><table>dbo.T</table><catalog>C</catalog></target>"
       "<target><request-uri>u</request-uri></target></get></query>",
       "<sqlquery><statement>"
       "<substatement><provider>P</provider><dsn>D</dsn><catalog>C</catalog><schema>dbo</schema>"
       "<sql><select>*</select><from>dbo.T</from></sql></substatement>"
       "<substatement><request-uri>u</request-uri><sql><select>*</select></sql></substatement>"
       "</statement></sqlquery>"},
  });
}

TEST(QueryTranslator, WriteStatements) {
  RunCases({
      {"delete without target",
       "<query><delete/></query>",
       "<sqlquery><transaction><statement><sql><delete/><from>*</from></sql></statement></transaction></sqlquery>"},
      {"delete: two tables, two conditions",
       "<query><delete><target><dsn>D</dsn><table>A</table><table>B</table></target>"
       "<condition>a=1 OR b=2</condition><condition>c=3</condition></delete></query>",
       "<sqlquery><transaction><statement><dsn>D</dsn><sql><delete/><from>A, B</from>"
       "<where>(a=1 OR b=2) AND (c=3)</where></sql></statement></transaction></sqlquery>"},
      // Keys are written provider, dsn, catalog whatever their order; a key
      // whose first child is not text is passed over.
      {"put: values joined, keys in fixed order, commented dsn skipped",
       "<query><put><target><catalog>C</catalog><dsn><!--x-->D</dsn><table>T</table><provider>P</provider>"
       "</target><value>1</value><value>'it''s'</value></put></query>",
       "<sqlquery><transaction><statement><provider>P</provider><catalog>C</catalog>"
       "<sql><insert/><into>T</into><values>1, 'it''s'</values></sql></statement></transaction></sqlquery>"},
      {"insert without values",
       "<query><insert><target><table>T</table></target></insert></query>",
       "<sqlquery><transaction><statement><sql><insert/><into>T</into><values/></sql></statement>"
       "</transaction></sqlquery>"},
      {"replace without set",
       "<query><replace><target><table>T</table></target><condition>id=2</condition></replace></query>",
       "<sqlquery><transaction><statement><sql><update>T</update><set/><where>id=2</where></sql></statement>"
       "</transaction></sqlquery>"},
      {"update: two sets, no target",
       "<query><update><set>a=1</set><set>b=2</set></update></query>",
       "<sqlquery><transaction><statement><sql><update>*</update><set>a=1, b=2</set></sql></statement>"
       "</transaction></sqlquery>"},
      {"a second target naming the same source adds its tables",
       "<query><delete><target><dsn>D</dsn><table>A</table></target><target><dsn>D</dsn><table>B</table></target>"
       "</delete></query>",
       "<sqlquery><transaction><statement><dsn>D</dsn><sql><delete/><from>A, B</from></sql></statement>"
       "</transaction></sqlquery>"},
  });
}

TEST(QueryTranslator, ExecStatements) {
  RunCases({
      {"procedure with parameters",
       "<query><exec><target><provider>P</provider><dsn>D</dsn><catalog>C</catalog><procedure>sp_x</procedure>"
       "</target><parameter><name>@a</name><value>1</value></parameter>"
       "<parameter><name>@b</name><value>x &amp; y</value></parameter></exec></query>",
       "<sqlquery><statement>" PDC "<sql><exec>sp_x</exec><parameter><name>@a</name><value>1</value></parameter>"
       "<parameter><name>@b</name><value>x &amp; y</value></parameter></sql></statement></sqlquery>"},
      {"a parameter before the target goes before the call",
       "<query><exec><parameter><name>@a</name></parameter><target><procedure>p</procedure></target>"
       "<parameter><name>@b</name></parameter></exec></query>",
       "<sqlquery><statement><sql><parameter><name>@a</name></parameter><exec>p</exec>"
       "<parameter><name>@b</name></parameter></sql></statement></sqlquery>"},
  });
}

TEST(QueryTranslator, WritesGatherEveryStatementInOneTransaction) {
  RunCases({
      {"empty query", "<query/>", "<sqlquery/>"},
      {"reads and calls stay direct children",
       "<query><get><content>table</content><target><request-uri>u</request-uri></target></get>"
       "<exec><target><procedure>p</procedure></target></exec></query>",
       "<sqlquery><statement><substatement><request-uri>u</request-uri><sql><select>*</select></sql>"
       "</substatement></statement><statement><sql><exec>p</exec></sql></statement></sqlquery>"},
      {"one write anywhere wraps all, in request order",
       "<query><get><content>table</content><target><request-uri>u</request-uri></target></get>"
       "<delete><target><table>A</table></target></delete>"
       "<exec><target><procedure>p</procedure></target></exec></query>",
       "<sqlquery><transaction><statement><substatement><request-uri>u</request-uri><sql><select>*</select></sql>"
       "</substatement></statement><statement><sql><delete/><from>A</from></sql></statement>"
       "<statement><sql><exec>p</exec></sql></statement></transaction></sqlquery>"},
      {"the query element after a comment and a declaration",
       "<?xml version=\"1.0\"?><!--c--><query><delete/></query>",
       "<sqlquery><transaction><statement><sql><delete/><from>*</from></sql></statement></transaction></sqlquery>"},
  });
}

TEST(QueryTranslator, RequestFailures) {
  RunFailures({
      {"no query element", "<sqlquery><get/></sqlquery>", QS_E_QUERY_FORMAT_INVALID},
      {"capital Get", "<query><Get><content>table</content></Get></query>", QS_E_QUERY_TAG_UNSUPPORTED},
      {"capital DELETE", "<query><DELETE/></query>", QS_E_QUERY_TAG_UNSUPPORTED},
      {"comment under query", "<query><!--c--></query>", QS_E_QUERY_TAG_UNSUPPORTED},
      {"text under query", "<query>get</query>", QS_E_QUERY_TAG_UNSUPPORTED},
      {"a failing request after a good one", "<query><delete/><bogus/></query>", QS_E_QUERY_TAG_UNSUPPORTED},
  });

  CQueryTranslator translator;
  auto output = xml::Document::Create();
  EXPECT_EQ(translator.Translate(xml::Document::Create(), output).code(), QS_E_QUERY_ARG_INVALID);
  EXPECT_EQ(translator.Translate(nullptr, output).code(), QS_E_QUERY_ARG_INVALID);
  EXPECT_FALSE(output->hasChildNodes());
}

TEST(QueryTranslator, GetFailures) {
  RunFailures({
      {"unknown content word", "<query><get><content>rows</content></get></query>", QS_E_TARGET_TAG_UNSUPPORTED},
      {"content word is case-sensitive", "<query><get><content>Table</content></get></query>",
       QS_E_TARGET_TAG_UNSUPPORTED},
      {"unknown target child",
       "<query><get><content>table</content><target><schema>s</schema></target></get></query>",
       QS_E_TARGET_TAG_UNSUPPORTED},
      {"comment in target",
       "<query><get><content>table</content><target>" PDC "<table>T</table><!--x--></target></get></query>",
       QS_E_TARGET_TAG_UNSUPPORTED},
      {"empty condition", "<query><get><content>table</content><condition/></get></query>", QS_E_CONDITION_TAG_INVALID},
      {"unknown get child", "<query><get><content>table</content><where>x</where></get></query>",
       QS_E_QUERY_TAG_UNSUPPORTED},
      {"empty transform", "<query><get><transform></transform></get></query>", QS_E_TRANSFORM_TAG_INVALID},
      {"empty store", "<query><get><store> </store></get></query>", QS_E_STORE_TAG_INVALID},
      {"blank order", "<query><get><order><![CDATA[  ]]></order></get></query>", QS_E_ORDER_TAG_INVALID},
      {"empty group", "<query><get><group/></get></query>", QS_E_GROUP_TAG_INVALID},
      {"empty order", "<query><get><order/></get></query>", QS_E_ORDER_TAG_INVALID},
      {"empty option", "<query><get><option/></get></query>", QS_E_OPTION_TAG_INVALID},
      {"empty rowcount", "<query><get><rowcount/></get></query>", QS_E_ROWCOUNT_TAG_INVALID},
      {"target before content", "<query><get><target>" PDC "<table>T</table></target></get></query>",
       QS_E_CONTENT_TAG_MISSING},
      {"dsn and table only",
       "<query><get><content>table</content><target><dsn>D</dsn><table>T</table></target></get></query>",
       QS_E_QUERY_TARGET_INVALID},
      {"five keys",
       "<query><get><content>table</content><target>" PDC "<table>A</table><table>B</table></target></get></query>",
       QS_E_QUERY_TARGET_INVALID},
      {"request-uri followed by dsn",
       "<query><get><content>table</content><target><request-uri>u</request-uri><dsn>D</dsn></target></get></query>",
       QS_E_QUERY_TARGET_INVALID},
      {"empty target", "<query><get><content>table</content><target/></get></query>", QS_E_QUERY_TARGET_INVALID},
  });
}

TEST(QueryTranslator, WriteAndExecFailures) {
  RunFailures({
      {"unknown target child", "<query><delete><target><schema>s</schema></target></delete></query>",
       QS_E_TARGET_TAG_UNSUPPORTED},
      {"condition holding an element", "<query><delete><condition>a=<b/></condition></delete></query>",
       QS_E_CONDITION_TAG_INVALID},
      {"update condition holding a comment", "<query><update><condition>a=1<!--x--></condition></update></query>",
       QS_E_CONDITION_TAG_INVALID},
      {"value holding an element", "<query><insert><value><v>1</v></value></insert></query>",
       QS_E_TARGET_TAG_UNSUPPORTED},
      {"set holding an element", "<query><update><set><s/></set></update></query>", QS_E_TARGET_TAG_UNSUPPORTED},
      {"value in a delete", "<query><delete><value>1</value></delete></query>", QS_E_QUERY_TAG_UNSUPPORTED},
      {"condition in an insert", "<query><insert><condition>a</condition></insert></query>",
       QS_E_QUERY_TAG_UNSUPPORTED},
      {"set in a put", "<query><put><set>a=1</set></put></query>", QS_E_QUERY_TAG_UNSUPPORTED},
      {"targets naming different sources",
       "<query><delete><target><dsn>D1</dsn><table>A</table></target><target><dsn>D2</dsn><table>B</table></target>"
       "</delete></query>",
       QS_E_QUERY_TARGET_INVALID},
      {"a second target without the first one's keys",
       "<query><update><target><dsn>D</dsn><catalog>C</catalog><table>A</table></target>"
       "<target><dsn>D</dsn><table>B</table></target><set>x=1</set></update></query>",
       QS_E_QUERY_TARGET_INVALID},
      {"exec: empty dsn", "<query><exec><target><dsn/><procedure>p</procedure></target></exec></query>",
       QS_E_QUERY_TARGET_INVALID},
      {"exec: no procedure", "<query><exec><target><dsn>D</dsn></target></exec></query>",
       QS_E_QUERY_TARGET_INVALID},
      {"exec: a later target without its own procedure",
       "<query><exec><target><procedure>p</procedure></target><target><dsn>D</dsn></target></exec></query>",
       QS_E_QUERY_TARGET_INVALID},
      {"exec: unknown target child", "<query><exec><target><table>T</table></target></exec></query>",
       QS_E_QUERY_TARGET_INVALID},
      {"exec: parameters without a target", "<query><exec><parameter><name>@a</name></parameter></exec></query>",
       QS_E_QUERY_TARGET_INVALID},
      {"exec: unknown child", "<query><exec><target><procedure>p</procedure></target><value>1</value></exec></query>",
       QS_E_QUERY_TAG_UNSUPPORTED},
  });
}

// The builders stand on their own too: each appends one statement to the
// transaction element it is given.
TEST(QueryTranslator, BuildersAppendToTheTransaction) {
  auto request = xml::Document::Create();
  ASSERT_TRUE(request->loadXML("<query><delete><target><table>T</table></target></delete>"
                               "<get><content>table</content><target><request-uri>u</request-uri></target></get>"
                               "</query>"));
  const auto del = request->documentElement()->firstChild();
  const auto get = del->nextSibling();
  auto output = xml::Document::Create();
  const auto transaction = output->createElement("transaction");
  CQueryTranslator translator;
  EXPECT_EQ(translator.BuildDelete(output, del, transaction).code(), S_OK);
  EXPECT_EQ(translator.BuildGet(output, get, transaction).code(), S_OK);
  EXPECT_EQ(transaction->xml(),
            "<transaction><statement><sql><delete/><from>T</from></sql></statement>"
            "<statement><substatement><request-uri>u</request-uri><sql><select>*</select></sql></substatement>"
            "</statement></transaction>");
  // The request is read, never changed.
  EXPECT_EQ(del->xml(), "<delete><target><table>T</table></target></delete>");

  EXPECT_EQ(translator.BuildPut(output, nullptr, transaction).code(), QS_E_QUERY_ARG_INVALID);
  EXPECT_EQ(translator.BuildExec(output, del, nullptr).code(), E_POINTER);
  EXPECT_EQ(translator.Translate(request, nullptr).code(), E_POINTER);
}

TEST(QueryTranslator, TableSchemaPrefix) {
  const struct {
    std::string_view table;
    std::string_view schema;
  } cases[] = {
      {"dbo.Orders", "dbo"},
      {"\"my schema\".Orders", "my schema"},
      {"\"a.b\".T", "a.b"},    // a dot inside quotes is part of the name
      {"db.dbo.T", "db"},
      {"Orders", ""},
      {"a,b.c", ""},
      {"", ""},
      {".T", ""},
      {"\xE6\x97\xA5\xE6\x9C\xAC.T", "\xE6\x97\xA5\xE6\x9C\xAC"},
  };
  for (const auto& c : cases) EXPECT_EQ(CQueryTranslator::TableSchemaPrefix(c.table), c.schema) << c.table;
  // No length limit on the part before the dot.
  const std::string longSchema(2000, 's');
  EXPECT_EQ(CQueryTranslator::TableSchemaPrefix(longSchema + ".T"), longSchema);
}
