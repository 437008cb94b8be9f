// Statements of several substatements and the catalogue listings, driven
// through the engine against the real accessor on SQLite files, with unify
// rules from a real unifier folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/StatusCodes.h"
#include "core/query/QueryEngine.h"
#include "core/tests/TestInstance.h"
#include "platform/com/classstore.h"

namespace quor::core {
namespace {

using testing::TestInstance;


xml::NodePtr Parse(const std::string& text) {
  const xml::DocumentPtr doc = xml::Document::Create();
  EXPECT_TRUE(doc->loadXML(text)) << text;
  return doc->firstChild();
}

// A table of a result as its name and one "column=value,..." line per record.
struct TableRows {
  std::string name;
  std::vector<std::string> rows;
};

std::vector<TableRows> Tables(const xml::NodePtr& response) {
  std::vector<TableRows> tables;
  if (!response) return tables;
  for (xml::NodePtr table = response->firstChild(); table; table = table->nextSibling()) {
    if (table->nodeName() != "table") continue;
    TableRows& rows = tables.emplace_back();
    rows.name = table->getAttribute("name").value_or("?");
    for (xml::NodePtr record = table->firstChild(); record; record = record->nextSibling()) {
      std::string line;
      for (xml::NodePtr column = record->firstChild(); column; column = column->nextSibling()) {
        if (!line.empty()) line += ',';
        line += column->getAttribute("name").value_or("?") + "=" + column->text();
      }
      rows.rows.push_back(line);
    }
  }
  return tables;
}

// Two SQLite sources, "sales" and "crm", both with a catalog and a table of
// notes; customers in one, contacts in the other, joined by "id".
class MultiSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testing::RegisterLibrary("libQuorAccessor.so"), 0);
    instance_.SetHomeDir();
    sales_ = instance_.root() + "/sales.db";
    crm_ = instance_.root() + "/crm.db";
    Sql(sales_,
        "CREATE TABLE CUSTOMERS (id INTEGER, name TEXT); INSERT INTO CUSTOMERS VALUES (1, 'ann'), (2, 'bob');"
        "CREATE TABLE NOTES (note TEXT); INSERT INTO NOTES VALUES ('from sales');");
    Sql(crm_,
        "CREATE TABLE CONTACTS (id INTEGER, email TEXT); INSERT INTO CONTACTS VALUES (1, 'ann@x'), (3, 'cy@x');"
        "CREATE TABLE NOTES (note TEXT); INSERT INTO NOTES VALUES ('from crm');");
    Source("a-sales.xml", "MSDASQL.1", "sales", "<InitialCatalog>main</InitialCatalog>", sales_);
    Source("b-crm.xml", "MSDASQL.1", "crm", "<InitialCatalog>main</InitialCatalog>", crm_);
  }
  void TearDown() override {
    engine_.reset();
    com::CoFreeUnusedLibraries();
  }

  void Sql(const std::string& file, const std::string& sql) {
    ASSERT_EQ(std::system(("sqlite3 '" + file + "' \"" + sql + "\"").c_str()), 0) << sql;
  }
  void Source(const std::string& file, const std::string& provider, const std::string& dsn, const std::string& more,
              const std::string& database) {
    instance_.Write("config/" + file, "<OLEDBSetting><Provider>" + provider + "</Provider><DataSource>" + dsn +
                                          "</DataSource>" + more + "<ExtendedProperties>DRIVER={SQLite3};Database=" +
                                          database + "</ExtendedProperties></OLEDBSetting>");
  }
  // Loads the folders (after the test wrote its rules) and makes the engine.
  void Start() {
    settings_.ReadHomeDir();
    settings_.DefaultAccessorProgID = com::Bstr(u"QuorAccessor.LegacyDBAccessor");
    settings_.DefaultAccessorMethod = com::Bstr(u"Query");
    engine_ = std::make_unique<CQueryEngine>(settings_);
    ASSERT_EQ(engine_->Init().code(), S_OK);
  }

  xml::NodePtr Run(const std::string& statement, HRESULT& status) { return Run(Parse(statement), status); }
  xml::NodePtr Run(const xml::NodePtr& statement, HRESULT& status) {
    Result<xml::NodePtr> result = engine_->RunMultiSourceStatement(statement);
    status = result.status().code();
    return result.ok() ? std::move(result).value() : nullptr;
  }

  static std::string Sub(const std::string& keys, const std::string& sql, const std::string& more = "") {
    return "<substatement>" + keys + "<sql>" + sql + "</sql>" + more + "</substatement>";
  }
  static std::string Keys(const std::string& dsn, bool catalog = true) {
    return "<provider>MSDASQL.1</provider><dsn>" + dsn + "</dsn>" + (catalog ? "<catalog>main</catalog>" : "");
  }
  static std::string Select(const std::string& table) { return "<select>*</select><from>" + table + "</from>"; }

  const DataSourceDefinition& Definition(const std::string& dsn) const {
    for (const auto& def : settings_.QueryDataSources)
      if (def->GetDataSource().ToUtf8() == dsn) return *def;
    throw std::runtime_error("no definition " + dsn);
  }

  TestInstance instance_;
  CServiceConfig settings_;
  std::unique_ptr<CQueryEngine> engine_;
  std::string sales_, crm_;
};

// The customers of "sales" joined with the contacts of "crm".
const std::string kCustomersAndContacts = "<statement>" +
                                          std::string("<substatement><provider>MSDASQL.1</provider><dsn>sales</dsn>"
                                                      "<catalog>main</catalog><sql><select>*</select>"
                                                      "<from>CUSTOMERS</from></sql></substatement>"
                                                      "<substatement><provider>msdasql.1</provider><dsn>CRM</dsn>"
                                                      "<catalog>MAIN</catalog><sql><select>*</select>"
                                                      "<from>CONTACTS</from></sql></substatement>") +
                                          "</statement>";

TEST_F(MultiSourceTest, TwoSourcesWithoutRulesAreMergedByFullOuterJoin) {
  Start();
  HRESULT status;
  const xml::NodePtr result = Run(kCustomersAndContacts, status);
  ASSERT_EQ(status, S_OK);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->nodeName(), "response");
  const auto tables = Tables(result);
  ASSERT_EQ(tables.size(), 1u) << result->xml();
  EXPECT_EQ(tables[0].name, "CUSTOMERS & CONTACTS");
  // Every record of both sides, paired on the shared column.
  EXPECT_EQ(tables[0].rows, (std::vector<std::string>{"id=1,name=ann,email=ann@x", "id=2,name=bob,email=",
                                                       "id=3,name=,email=cy@x"}))
      << result->xml();
}

TEST_F(MultiSourceTest, ADestinationOfTheFirstTablesRuleDecidesTheJoin) {
  // The rule of the customers table names the contacts table of "crm" as a
  // destination with its own join kind.
  instance_.Write("unifier/customers.xml",
                  "<unifyrule><Provider>MSDASQL.1</Provider><Dsn>sales</Dsn><Catalog>main</Catalog>"
                  "<unify>left outer join</unify>"
                  "<table name=\"CUSTOMERS\"><pattern><lid>customer</lid><rid>name</rid></pattern></table>"
                  "<destination><Provider>MSDASQL.1</Provider><Dsn>crm</Dsn><Catalog>main</Catalog>"
                  "<unify>left inner join</unify>"
                  "<table name=\"CONTACTS\"><pattern><lid>mail</lid><rid>email</rid></pattern></table>"
                  "</destination></unifyrule>");
  Start();
  HRESULT status;
  const xml::NodePtr result = Run(kCustomersAndContacts, status);
  ASSERT_EQ(status, S_OK);
  ASSERT_TRUE(result);
  const auto tables = Tables(result);
  ASSERT_EQ(tables.size(), 1u) << result->xml();
  // Only the customers with a contact.
  EXPECT_EQ(tables[0].rows, (std::vector<std::string>{"id=1,name=ann,email=ann@x"})) << result->xml();
}

TEST_F(MultiSourceTest, WithoutAFittingDestinationTheRuleItselfUnifies) {
  // The destination names another table: the rule's own join kind and
  // column names apply to the first side.
  instance_.Write("unifier/customers.xml",
                  "<unifyrule><Provider>MSDASQL.1</Provider><Dsn>sales</Dsn><Catalog>main</Catalog>"
                  "<unify>left outer join</unify>"
                  "<table name=\"CUSTOMERS\"><pattern><lid>customer</lid><rid>name</rid></pattern></table>"
                  "<destination><Provider>MSDASQL.1</Provider><Dsn>crm</Dsn><Catalog>main</Catalog>"
                  "<table name=\"OTHER\"><pattern><lid>mail</lid><rid>email</rid></pattern></table>"
                  "</destination></unifyrule>");
  Start();
  HRESULT status;
  const xml::NodePtr result = Run(kCustomersAndContacts, status);
  ASSERT_EQ(status, S_OK);
  ASSERT_TRUE(result);
  const auto tables = Tables(result);
  ASSERT_EQ(tables.size(), 1u) << result->xml();
  EXPECT_EQ(tables[0].rows, (std::vector<std::string>{"id=1,customer=ann,email=ann@x", "id=2,customer=bob,email="}))
      << result->xml();
}

TEST_F(MultiSourceTest, ASubstatementOnSeveralSourcesUnifiesTheirAnswers) {
  // A rule for the notes of "sales" renames its column; "crm" has none.
  instance_.Write("unifier/notes.xml",
                  "<unifyrule><Provider>MSDASQL.1</Provider><Dsn>sales</Dsn><Catalog>main</Catalog>"
                  "<table name=\"NOTES\"><pattern><lid>text</lid><rid>note</rid></pattern></table></unifyrule>");
  Start();
  HRESULT status;
  const xml::NodePtr result =
      Run("<statement>" + Sub("<provider>MSDASQL.1</provider>", Select("NOTES")) + "</statement>", status);
  ASSERT_EQ(status, S_OK);
  ASSERT_TRUE(result);
  const std::string text = result->xml();
  EXPECT_NE(text.find("<column name=\"text\" type=\"DBTYPE_STR\" orginalname=\"note\">from sales</column>"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("from crm"), std::string::npos) << text;

  // Through the dispatcher: one "root" holding the statement's result.
  const xml::DocumentPtr doc = xml::Document::Create();
  ASSERT_TRUE(doc->loadXML("<sqlquery>" + kCustomersAndContacts + "</sqlquery>"));
  com::Bstr answer;
  ASSERT_EQ(engine_->DispatchQuery(doc, answer).code(), S_OK);
  EXPECT_TRUE(answer.ToUtf8().starts_with("<root><response><table name=\"CUSTOMERS &amp; CONTACTS\""))
      << answer.ToUtf8();
}

TEST_F(MultiSourceTest, JoinAndMergeLeaveTheirInputsWhole) {
  Start();
  const xml::NodePtr first = Parse(
      "<response><table name=\"A\"><record><column name=\"k\">1</column><column name=\"a\">x</column></record>"
      "</table></response>");
  const xml::NodePtr second = Parse(
      "<response><table name=\"B\"><record><column name=\"k\">1</column><column name=\"b\">y</column></record>"
      "</table></response>");
  const std::string before = first->xml();
  const xml::NodePtr merged = engine_->MergeWithoutRule(first, second, &Definition("sales"));
  ASSERT_TRUE(merged);
  EXPECT_EQ(Tables(merged)[0].rows, (std::vector<std::string>{"k=1,a=x,b=y"})) << merged->xml();
  // One side alone: its only table.
  const xml::NodePtr alone = engine_->MergeWithoutRule(first, nullptr, nullptr);
  ASSERT_TRUE(alone);
  EXPECT_EQ(alone->nodeName(), "table");
  EXPECT_EQ(first->xml(), before);
  EXPECT_FALSE(engine_->MergeWithoutRule(nullptr, nullptr, nullptr));

  // No definitions: no rule, the two results side by side.
  const xml::NodePtr joined = engine_->JoinResults(first, second, nullptr, nullptr);
  ASSERT_TRUE(joined);
  const auto tables = Tables(joined);
  ASSERT_EQ(tables.size(), 2u) << joined->xml();
  EXPECT_EQ(tables[0].name, "A");
  EXPECT_EQ(tables[1].name, "B");
  EXPECT_EQ(first->xml(), before);
}

TEST_F(MultiSourceTest, EachSubstatementHasOnlyItsOwnKeys) {
  Start();
  // The second substatement names no source: it goes to both, although the
  // first one named "sales" and its catalog. "nounify" keeps both answers.
  HRESULT status;
  const xml::NodePtr result =
      Run("<statement>" + Sub(Keys("sales"), Select("CUSTOMERS")) + Sub("", Select("NOTES"), "<nounify/>") +
              "</statement>",
          status);
  ASSERT_EQ(status, S_OK);
  ASSERT_TRUE(result);
  const auto tables = Tables(result);
  ASSERT_EQ(tables.size(), 3u) << result->xml();
  EXPECT_EQ(tables[0].name, "CUSTOMERS");
  EXPECT_EQ(tables[0].rows, (std::vector<std::string>{"id=1,name=ann", "id=2,name=bob"}));
  EXPECT_EQ(tables[1].rows, (std::vector<std::string>{"note=from sales"}));
  EXPECT_EQ(tables[2].rows, (std::vector<std::string>{"note=from crm"}));

  // A data-source key alone is no provider: every source is asked, and the
  // one without that table fails the statement.
  EXPECT_FALSE(Run("<statement>" + Sub(Keys("crm"), Select("CONTACTS")) +
                       Sub("<dsn>crm</dsn>", Select("CONTACTS"), "<nounify/>") + "</statement>",
                   status));
  EXPECT_EQ(status, static_cast<HRESULT>(0x80040E37u));
}

TEST_F(MultiSourceTest, AppendModeHoldsForTheRestOfTheStatement) {
  Start();
  HRESULT status;
  // "nounify" in the first substatement: the second one's two answers are
  // appended in configuration order, not unified.
  const xml::NodePtr result =
      Run("<statement>" + Sub(Keys("sales"), Select("CUSTOMERS"), "<nounify/>") +
              Sub("<provider>MSDASQL.1</provider>", Select("NOTES")) + "</statement>",
          status);
  ASSERT_EQ(status, S_OK);
  ASSERT_TRUE(result);
  const auto tables = Tables(result);
  ASSERT_EQ(tables.size(), 3u) << result->xml();
  EXPECT_EQ(tables[0].name, "CUSTOMERS");
  EXPECT_EQ(tables[1].rows, (std::vector<std::string>{"note=from sales"}));
  EXPECT_EQ(tables[2].rows, (std::vector<std::string>{"note=from crm"}));

  // A listing child asks for appending too.
  const xml::NodePtr listed =
      Run("<statement>" + Sub("<view/><provider>MSDASQL.1</provider>", Select("NOTES")) + "</statement>", status);
  ASSERT_EQ(status, S_OK);
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->nodeName(), "response");
}

TEST_F(MultiSourceTest, DirectModeSendsTheChangeWithTheWholeConfiguration) {
  Start();
  HRESULT status;
  // The insert goes the direct way and so does every later substatement; the
  // accessor's answer is not a "response" and is wrapped in one.
  const xml::NodePtr result =
      Run("<statement>" + Sub(Keys("sales"), Select("CUSTOMERS")) +
              Sub(Keys("crm"), "<insert/><into>CONTACTS</into><values>5, 'eve@x'</values>") +
              Sub(Keys("crm"), Select("CONTACTS")) + "</statement>",
          status);
  ASSERT_EQ(status, S_OK);
  ASSERT_TRUE(result);
  ASSERT_EQ(result->nodeName(), "response");
  const std::string text = result->xml();
  EXPECT_NE(text.find("<resultCode>0</resultCode>"), std::string::npos) << text;
  EXPECT_NE(text.find("eve@x"), std::string::npos) << text;  // the read after the change sees it
  EXPECT_NE(text.find(">ann<"), std::string::npos) << text;
  // The row is in the crm file, not in sales.
  EXPECT_EQ(std::system(("test \"$(sqlite3 '" + crm_ + "' 'SELECT email FROM CONTACTS WHERE id = 5')\" = eve@x").c_str()),
            0);
}

TEST_F(MultiSourceTest, SubstatementsThatFindNothingContributeNothing) {
  Start();
  HRESULT status;
  // No source has this provider: only the other substatement answers.
  const xml::NodePtr result =
      Run("<statement>" + Sub("<provider>Nobody</provider><catalog>main</catalog>", Select("CUSTOMERS")) +
              Sub(Keys("sales"), Select("CUSTOMERS")) + "</statement>",
          status);
  ASSERT_EQ(status, S_OK);
  ASSERT_TRUE(result);
  const auto tables = Tables(result);
  ASSERT_EQ(tables.size(), 1u) << result->xml();
  EXPECT_EQ(tables[0].rows, (std::vector<std::string>{"id=1,name=ann", "id=2,name=bob"}));

  // Nothing at all: no result, and no failure.
  EXPECT_FALSE(Run("<statement>" + Sub("<provider>Nobody</provider>", Select("CUSTOMERS")) + "</statement>", status));
  EXPECT_EQ(status, S_OK);

  // The walk ends at the first sibling that is no substatement.
  const xml::NodePtr first =
      Run("<statement>" + Sub(Keys("sales"), Select("NOTES")) + "<transform>x</transform>" +
              Sub(Keys("crm"), Select("NOTES")) + "</statement>",
          status);
  ASSERT_EQ(status, S_OK);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->xml().find("from crm"), std::string::npos) << first->xml();
}

TEST_F(MultiSourceTest, BadStatementsAndFailuresGiveAStatusAndNoResult) {
  Start();
  HRESULT status;
  const auto refused = [&](const std::string& statement, HRESULT expected) {
    SCOPED_TRACE(statement);
    EXPECT_FALSE(Run(statement, status));
    EXPECT_EQ(status, expected);
  };
  refused("<statement>" + Sub(Keys("sales"), "") + "</statement>", QS_E_QUERY_ARG_INVALID);
  refused("<statement>" + Sub(Keys("sales"), Select("NOTES")) + Sub(Keys("crm"), "") + "</statement>",
          QS_E_QUERY_ARG_INVALID);
  refused("<statement><provider>MSDASQL.1</provider></statement>", QS_E_QUERY_ARG_INVALID);
  refused("<statement/>", QS_E_QUERY_ARG_INVALID);
  EXPECT_FALSE(Run(xml::NodePtr(), status));
  EXPECT_EQ(status, QS_E_QUERY_ARG_INVALID);

  // The second source fails: its status, although the first one answered.
  refused("<statement>" + Sub(Keys("sales"), Select("CUSTOMERS")) + Sub(Keys("crm"), Select("CUSTOMERS")) +
              "</statement>",
          static_cast<HRESULT>(0x80040E37u));

  // Unify rules that cannot be loaded: the join breaks and says so instead
  // of dropping what the first substatement found.
  instance_.Write("unifier/broken.xml", "<unifyrule><Other/></unifyrule>");
  settings_.UnifierDocument.reset();
  settings_.UnifyTable.reset();
  refused(kCustomersAndContacts, QS_E_UNIFICATION_EXCEPTION);
}

// ---- The destination search ---------------------------------------------------

std::unique_ptr<DataSourceDefinition> Def(const std::string& keys) {
  auto def = std::make_unique<DataSourceDefinition>();
  EXPECT_EQ(def->LoadFromXml(Parse("<OLEDBSetting>" + keys + "</OLEDBSetting>")).code(), S_OK);
  return def;
}

std::unique_ptr<UnifyTableEntry> Rules(const std::vector<std::string>& rules) {
  auto table = testing::UnifyRules(rules);
  EXPECT_TRUE(table || rules.empty());
  return table;
}

TEST(UnifyDestination, FirstFittingRuleThenItsFirstFittingDestination) {
  const auto source = Def("<Provider>P</Provider><DataSource>D</DataSource><InitialCatalog>C</InitialCatalog>");
  const auto target = Def("<Provider>P2</Provider><DataSource>D2</DataSource><Schema>s</Schema>");
  const auto bare = Def("<Provider>P</Provider><DataSource>D</DataSource>");
  const auto table = Rules({
      // 0: another data source
      "<unifyrule><Provider>P</Provider><Dsn>X</Dsn><Catalog>C</Catalog>"
      "<table name=\"Ord\"><pattern><lid>a</lid></pattern></table></unifyrule>",
      // 1: fits sources of catalog C and tables beginning "Ord"
      "<unifyrule><Provider>P</Provider><Dsn>D</Dsn><Catalog>C</Catalog>"
      "<table name=\"Ord\"><pattern><lid>a</lid></pattern></table>"
      "<destination><Provider>P2</Provider><Dsn>D2</Dsn><table name=\"Lines\"><pattern><lid>b</lid></pattern>"
      "</table></destination>"
      "<destination><Provider>P2</Provider><Dsn>D2</Dsn><Schema>s</Schema><table name=\"Lines\"><pattern>"
      "<lid>c</lid></pattern></table></destination>"
      "<destination><Provider>P2</Provider><Dsn>D2</Dsn><Schema>s</Schema><table name=\"Lines\"/></destination>"
      "</unifyrule>",
      // 2: an empty pattern name fits every table; no catalog
      "<unifyrule><Provider>P</Provider><Dsn>D</Dsn><table name=\"\"><pattern><lid>z</lid></pattern></table>"
      "</unifyrule>",
  });
  const UnifyTableEntry* first = table.get();
  const UnifyTableEntry* rule1 = first->GetNextRule();
  const UnifyTableEntry* rule2 = rule1->GetNextRule();
  const UnifyTableEntry* found = nullptr;

  const auto find = [&](const DataSourceDefinition* from, const DataSourceDefinition* to, const char16_t* fromTable,
                        const char16_t* toTable) {
    found = reinterpret_cast<const UnifyTableEntry*>(1);
    EXPECT_EQ(
        CQueryEngine::FindUnifyDestination(from, to, com::Bstr(fromTable), com::Bstr(toTable), first, found).code(),
        S_OK);
    return found;
  };

  // The destination with the destination's schema (the one without a
  // schema does not fit a definition that has one).
  ASSERT_TRUE(find(source.get(), target.get(), u"Orders2003", u"Lines"));
  EXPECT_EQ(found, rule1->GetNextDestination()->GetNextDestination());
  // No destination for that table: the rule itself.
  EXPECT_EQ(find(source.get(), target.get(), u"Orders2003", u"lines"), rule1);
  EXPECT_EQ(find(source.get(), target.get(), u"Orders2003", nullptr), rule1);
  EXPECT_EQ(find(source.get(), nullptr, u"Orders2003", u"Lines"), rule1);
  // Table names and keys compare exactly.
  EXPECT_EQ(find(source.get(), target.get(), u"orders", u"Lines"), nullptr);
  EXPECT_EQ(find(source.get(), target.get(), nullptr, u"Lines"), nullptr);
  const auto lower = Def("<Provider>p</Provider><DataSource>D</DataSource><InitialCatalog>C</InitialCatalog>");
  EXPECT_EQ(find(lower.get(), target.get(), u"Orders", u"Lines"), nullptr);
  // A rule with a catalog never fits a definition without one; the rule
  // without catalog and with an empty pattern name fits any table.
  EXPECT_EQ(find(bare.get(), target.get(), u"Orders", u"Lines"), rule2);
  EXPECT_EQ(find(bare.get(), target.get(), u"anything", u"Lines"), rule2);
  EXPECT_EQ(find(nullptr, target.get(), u"Orders", u"Lines"), nullptr);
  EXPECT_EQ(CQueryEngine::FindUnifyDestination(source.get(), target.get(), com::Bstr(u"Orders"), com::Bstr(u"Lines"),
                                               nullptr, found)
                .code(),
            S_OK);
  EXPECT_EQ(found, nullptr);
}

// ---- Listings ---------------------------------------------------------------------

class ListingTest : public MultiSourceTest {
 protected:
  void SetUp() override {
    MultiSourceTest::SetUp();
    // Definitions that are only listed, never connected.
    const auto only = [&](const std::string& file, const std::string& keys) {
      instance_.Write("config/" + file, "<OLEDBSetting>" + keys + "</OLEDBSetting>");
    };
    only("c1.xml", "<Provider>SQLOLEDB</Provider><DataSource>srv1</DataSource><InitialCatalog>cat1</InitialCatalog>");
    only("c2.xml", "<Provider>SQLOLEDB</Provider><DataSource>SRV1</DataSource><Schema>dbo</Schema>");
    only("c3.xml", "<Provider>sqloledb</Provider><DataSource>srv2</DataSource><InitialCatalog>cat1</InitialCatalog>");
    only("c4.xml", "<Provider>SQLOLEDB</Provider><DataSource>srv1</DataSource><InitialCatalog>cat1</InitialCatalog>");
    only("c5.xml", "<Provider>SQLOLEDB</Provider><DataSource>srv1</DataSource><InitialCatalog>cat2</InitialCatalog>");
    // The sales file once more, as a definition without catalog or schema.
    Source("d-plain.xml", "MSDASQL.1", "sales", "", sales_);
    instance_.Write("transform/t.xml",
                    "<QuorTransform><transform><ProgID>FlatConvert.TransCSV</ProgID><Rule>r</Rule></transform>"
                    "<transform><ProgID>GridPage.TransXHTML</ProgID></transform></QuorTransform>");
    Start();
  }

  std::string List(Result<xml::NodePtr> (CQueryEngine::*list)(const xml::NodePtr&), const std::string& element,
                   HRESULT& status) {
    const Result<xml::NodePtr> result = (engine_.get()->*list)(Parse(element));
    status = result.status().code();
    return result.ok() && *result ? (*result)->xml() : "(none)";
  }
};

TEST_F(ListingTest, ProvidersAndDataSources) {
  HRESULT status;
  // Providers are told apart exactly; data sources of a provider are found
  // without regard to case.
  EXPECT_EQ(List(&CQueryEngine::ListProviders, "<statement><column/><provider/></statement>", status),
            "<response><provider name=\"MSDASQL.1\"/><provider name=\"SQLOLEDB\"/><provider name=\"sqloledb\"/>"
            "</response>");
  EXPECT_EQ(status, S_OK);
  EXPECT_EQ(List(&CQueryEngine::ListDataSources, "<statement><provider>SQLOLEDB</provider><dsn/></statement>", status),
            "<response><dsn name=\"srv1\"/><dsn name=\"SRV1\"/><dsn name=\"srv2\"/></response>");
  EXPECT_EQ(status, S_OK);
  EXPECT_EQ(List(&CQueryEngine::ListDataSources, "<statement><provider>none</provider></statement>", status),
            "<response/>");
  EXPECT_EQ(status, S_OK);
  for (const char* element : {"<statement><dsn>x</dsn></statement>", "<statement><provider/></statement>"}) {
    EXPECT_EQ(List(&CQueryEngine::ListDataSources, element, status), "(none)");
    EXPECT_EQ(status, QS_E_QUERY_ARG_INVALID) << element;
  }

  // No definitions at all: an empty list.
  settings_.QueryDataSources.clear();
  EXPECT_EQ(List(&CQueryEngine::ListProviders, "<statement/>", status), "<response/>");
  EXPECT_EQ(status, S_OK);
}

TEST_F(ListingTest, CatalogsSchemasAndTablesInTheirPlace) {
  HRESULT status;
  EXPECT_EQ(List(&CQueryEngine::ListCatalogs, "<statement><provider>sqloledb</provider><dsn>srv1</dsn></statement>",
                 status),
            "<response><catalog name=\"cat1\"/><schema name=\"dbo\"/><catalog name=\"cat2\"/></response>");
  EXPECT_EQ(status, S_OK);

  // "sales" has a source with a catalog and one with neither: the catalog
  // stays and the tables come beside it, each once.
  const std::string listing = "<statement><column/><provider>MSDASQL.1</provider><dsn>sales</dsn><catalog/>"
                              "<sql><select>*</select><from>*</from></sql></statement>";
  EXPECT_EQ(List(&CQueryEngine::ListCatalogs, listing, status),
            "<response><catalog name=\"main\"/><table name=\"CUSTOMERS\"/><table name=\"NOTES\"/></response>");
  EXPECT_EQ(status, S_OK);
  // The table list alone.
  const std::string tables = List(&CQueryEngine::ListTables, listing, status);
  EXPECT_EQ(status, S_OK);
  EXPECT_NE(tables.find("<table name=\"NOTES\"/>"), std::string::npos) << tables;

  for (const char* element : {"<statement><provider>SQLOLEDB</provider></statement>",
                              "<statement><dsn>srv1</dsn></statement>"}) {
    EXPECT_EQ(List(&CQueryEngine::ListCatalogs, element, status), "(none)");
    EXPECT_EQ(status, QS_E_QUERY_ARG_INVALID) << element;
  }
  // A table listing that fails fails the catalogue listing.
  EXPECT_EQ(List(&CQueryEngine::ListCatalogs,
                 "<statement><provider>MSDASQL.1</provider><dsn>sales</dsn><sql/></statement>", status),
            "(none)");
  EXPECT_NE(status, S_OK);
}

TEST_F(ListingTest, Transformers) {
  HRESULT status;
  const std::string listed = List(&CQueryEngine::ListTransformers, "<statement><transform/></statement>", status);
  EXPECT_EQ(status, S_OK);
  EXPECT_EQ(listed,
            "<response><transform><ProgID>FlatConvert.TransCSV</ProgID><Rule>r</Rule><transID>trans:0</transID>"
            "</transform><transform><ProgID>GridPage.TransXHTML</ProgID></transform></response>");
  // The definitions stay as they were.
  EXPECT_NE(settings_.TransformDocument->xml().find("TransCSV"), std::string::npos);

  const xml::DocumentPtr other = xml::Document::Create();
  ASSERT_TRUE(other->loadXML("<Other><transform/></Other>"));
  settings_.TransformDocument = other;
  EXPECT_EQ(List(&CQueryEngine::ListTransformers, "<statement/>", status), "<response/>");
  EXPECT_EQ(status, S_OK);
  settings_.TransformDocument = xml::Document::Create();
  EXPECT_EQ(List(&CQueryEngine::ListTransformers, "<statement/>", status), "(none)");
  EXPECT_EQ(status, QS_E_TRANSFORMER_CONFIG_INVALID);
  settings_.TransformDocument.reset();
  EXPECT_EQ(List(&CQueryEngine::ListTransformers, "<statement/>", status), "<response/>");
  EXPECT_EQ(status, S_OK);
}

TEST(Listing, IsAlreadyListedLooksAtTheNamesOfAResponse) {
  const xml::NodePtr response = Parse("<response><a name=\"x\"/><b other=\"y\"/><c name=\"Y\"/>text</response>");
  EXPECT_TRUE(CQueryEngine::IsAlreadyListed(response, "x"));
  EXPECT_TRUE(CQueryEngine::IsAlreadyListed(response, "Y"));
  EXPECT_FALSE(CQueryEngine::IsAlreadyListed(response, "y"));
  EXPECT_FALSE(CQueryEngine::IsAlreadyListed(response, "X"));
  EXPECT_FALSE(CQueryEngine::IsAlreadyListed(Parse("<other><a name=\"x\"/></other>"), "x"));
  EXPECT_FALSE(CQueryEngine::IsAlreadyListed(nullptr, "x"));
}

}  // namespace
}  // namespace quor::core
