#include <gtest/gtest.h>

#include "core/ServiceConfig.h"
#include "core/StatusCodes.h"
#include "core/tests/TestInstance.h"
#include "platform/text/text.h"

using namespace quor;
using namespace quor::core;
using quor::core::testing::TestInstance;

namespace {

std::vector<std::string> Narrow(const std::vector<com::Bstr>& names) {
  std::vector<std::string> out;
  for (const auto& n : names) out.push_back(n.ToUtf8());
  return out;
}

const char* const kRepository =
    "<?xml version=\"1.0\"?>\n<!-- repository -->\n<OLEDBSetting>\n  <quorservice>VODB</quorservice>\n"
    "  <Provider>MSDASQL.1</Provider>\n  <ExtendedProperties>DRIVER={SQLite3};Database=x.db</ExtendedProperties>\n"
    "</OLEDBSetting>\n";

}  // namespace

TEST(ServiceSettings, RegistryValuesAndTheirDefaults) {
  TestInstance instance;
  CServiceConfig config;
  EXPECT_TRUE(config.HomeDir.IsNull());
  EXPECT_EQ(config.LogLevel, LOGLEVEL_NOT_READ);
  EXPECT_EQ(config.CompressThreshold, -1);
  EXPECT_EQ(config.DefaultAccessorProgID, u"QuorAccessor.LegacyDBAccessor");
  EXPECT_EQ(config.DefaultAccessorMethod, u"Query");

  // Nothing in the registry: defaults, and HomeDir counts as read.
  EXPECT_EQ(config.ReadHomeDir(), u"");
  config.ReadLogLevel();
  EXPECT_EQ(config.LogLevel, LOGLEVEL_NONE);
  config.ReadCompressThreshold();
  EXPECT_EQ(config.CompressThreshold, 0);
  EXPECT_FALSE(config.ReadAdminGroupName());
  EXPECT_TRUE(config.AdminGroupName.IsNull());

  auto key = instance.ServiceKey();
  EXPECT_TRUE(key.SetString("HomeDir", "/srv/\xE6\x97\xA5").ok());
  EXPECT_TRUE(key.SetString("LogLevel", "Detail").ok());
  EXPECT_TRUE(key.SetDword("CompressThreshold", 1).ok());
  EXPECT_TRUE(key.SetString("AdminGroupName", "").ok());
  EXPECT_EQ(config.ReadHomeDir(), u"/srv/\u65e5");
  config.ReadLogLevel();
  EXPECT_EQ(config.LogLevel, LOGLEVEL_DETAIL);
  EXPECT_TRUE(key.SetString("LogLevel", "detail").ok());
  config.ReadLogLevel();
  EXPECT_EQ(config.LogLevel, LOGLEVEL_NONE);
  config.ReadCompressThreshold();
  EXPECT_EQ(config.CompressThreshold, 1);
  EXPECT_TRUE(config.ReadAdminGroupName());
  EXPECT_TRUE(config.AdminGroupName.IsNull());  // empty text: none

  // A threshold stored as text is not a 32-bit number: compression stays off.
  EXPECT_TRUE(key.SetString("CompressThreshold", "1").ok());
  config.ReadCompressThreshold();
  EXPECT_EQ(config.CompressThreshold, 0);

  // A text written without its terminator ends at its real length.
  const uint8_t raw[] = {'/', 'h', 'o', 'm', 'e'};
  EXPECT_TRUE(key.SetValue("HomeDir", reg::Value{reg::ValueType::String, {raw, raw + sizeof raw}}).ok());
  EXPECT_EQ(config.ReadHomeDir(), u"/home");
}

TEST(ServiceSettings, AdminUsersAndUserGroupsSplitAsWritten) {
  TestInstance instance;
  auto key = instance.ServiceKey();
  EXPECT_TRUE(key.SetString("AdminUsers", "  alice,bob ,,carol").ok());
  CServiceConfig config;
  EXPECT_TRUE(config.ReadAdminUsers());
  EXPECT_EQ(Narrow(config.AdminUsers), (std::vector<std::string>{"alice", "bob ", "carol"}));
  EXPECT_TRUE(key.SetString("AdminUsers", "").ok());
  config.ReadAdminUsers();
  EXPECT_TRUE(config.AdminUsers.empty());

  reg::Key groups;
  EXPECT_TRUE(groups.Create(reg::Hive::LocalMachine, kUserGroupKey).ok());
  EXPECT_TRUE(groups.SetString("Editors", "dan,  erin").ok());
  EXPECT_TRUE(groups.SetString("Empty", "").ok());
  EXPECT_EQ(config.ReadUserGroups(), 0);
  ASSERT_EQ(config.UserGroups.size(), 2u);
  EXPECT_EQ(config.UserGroups[0].name, u"Editors");
  EXPECT_EQ(Narrow(config.UserGroups[0].members), (std::vector<std::string>{"dan", "erin"}));
  EXPECT_TRUE(config.UserGroups[1].members.empty());
}

TEST(ConfigFolder, RepositoryAndQuerySourcesAreSorted) {
  TestInstance instance;
  instance.SetHomeDir();
  instance.Write("config/b-repository.xml", kRepository);
  instance.Write("config/A-query.XML",
                 "<OLEDBSetting><Provider>MSDASQL</Provider><DataSource>sales</DataSource>"
                 "<CacheAuthentication>False</CacheAuthentication><ConnectTimeout>  30</ConnectTimeout>"
                 "<GeneralTimeout>soon</GeneralTimeout><encoding>EUC_JP</encoding><BindFlags>doc</BindFlags>"
                 "<Location>here</Location><progID>My.Accessor</progID><quorservice/></OLEDBSetting>");
  instance.Write("config/c-other.xml", "<OLEDBSetting><quorservice>vodb</quorservice></OLEDBSetting>");
  instance.Write("config/notes.txt", "not a definition");
  CServiceConfig config;
  config.ReadHomeDir();
  ASSERT_EQ(config.LoadConfigDirectory().code(), S_OK);

  ASSERT_EQ(config.QueryDataSources.size(), 1u);
  const DataSourceDefinition& query = *config.QueryDataSources[0];
  EXPECT_EQ(query.GetDataSource(), u"sales");
  EXPECT_FALSE(query.CacheAuthentication());  // "False" is false too
  EXPECT_EQ(query.ConnectTimeout(), 30);
  EXPECT_EQ(query.GeneralTimeout(), -1);
  EXPECT_EQ(query.GetLocation(), u"here");
  EXPECT_TRUE(query.GetInitialCatalog().IsNull());
  EXPECT_EQ(query.GetProgID(), u"My.Accessor");
  EXPECT_NE(query.GetConfigText().ToUtf8().find("<BindFlags>doc</BindFlags>"), std::string::npos);

  ASSERT_EQ(config.RepositoryDefinitions.size(), 1u);  // "vodb" is discarded
  EXPECT_EQ(config.RepositoryDefinitions[0]->GetProviderAnsi(), "MSDASQL.1");
  EXPECT_EQ(config.RepositoryDefinitions[0]->GetExtendedProperties(), u"DRIVER={SQLite3};Database=x.db");
  ASSERT_TRUE(config.RepositoryDocument);
  EXPECT_EQ(config.RepositoryDocument->documentElement()->nodeName(), "config");

  auto root = config.ConfigDocument->documentElement();
  ASSERT_TRUE(root);
  EXPECT_EQ(root->childNodes().size(), 3u);  // in listing order: A, b, c
  EXPECT_NE(root->firstChild()->xml().find("sales"), std::string::npos);

  // The text changes and transactions go with is made with the document
  // and shared with a call's configuration.
  const std::shared_ptr<const com::Bstr> text = config.ConfigText;
  ASSERT_TRUE(text);
  EXPECT_EQ(text->ToUtf8(), root->xml());
  CServiceConfig call;
  call.ShareQueryParts(config);
  EXPECT_EQ(call.ConfigText, text);

  // Built lists are not built again; a reload starts over.
  EXPECT_EQ(config.BuildDataSourceDefinitions(config.ConfigDocument).code(), S_OK);
  EXPECT_EQ(config.QueryDataSources.size(), 1u);
  std::filesystem::remove(instance.home() + "/config/A-query.XML");
  ASSERT_EQ(config.ReloadConfig().code(), S_OK);
  EXPECT_TRUE(config.QueryDataSources.empty());
  EXPECT_EQ(config.RepositoryDefinitions.size(), 1u);
  ASSERT_TRUE(config.ConfigText);
  EXPECT_EQ(config.ConfigText->ToUtf8(), config.ConfigDocument->documentElement()->xml());
  EXPECT_EQ(config.ConfigText->ToUtf8().find("sales"), std::string::npos);
}

TEST(ConfigFolder, ABadFileIsSkippedAndTheOthersLoad) {
  struct Case {
    const char* name;
    const char* contents;
    HRESULT status;
  };
  const Case cases[] = {
      {"comment among entries", "<OLEDBSetting><Provider>x</Provider><!-- c --></OLEDBSetting>",
       QS_E_CONFIG_UNDEFINED_KEYWORD},
      {"lower-case provider", "<OLEDBSetting><provider>x</provider></OLEDBSetting>", QS_E_CONFIG_UNDEFINED_KEYWORD},
      {"XMLColumn", "<OLEDBSetting><Provider>x</Provider><XMLColumn>true</XMLColumn></OLEDBSetting>",
       QS_E_CONFIG_UNDEFINED_KEYWORD},
      {"other root", "<Settings><Provider>x</Provider></Settings>", QS_E_CONFIG_FORMAT_INVALID},
      {"empty file", "  \n", QS_E_CONFIG_EMPTY},
      {"not XML", "<OLEDBSetting><Provider>x</OLEDBSetting>", QS_E_XML_LOAD_FAILED},
      {"element as value", "<OLEDBSetting><Provider><x/></Provider></OLEDBSetting>", QS_E_CONFIG_PARSE_EXCEPTION},
  };
  for (const auto& c : cases) {
    TestInstance instance;
    instance.SetHomeDir();
    instance.Write("config/a.xml", kRepository);
    instance.Write("config/b.xml", c.contents);
    instance.Write("config/c.xml", "<OLEDBSetting><DataSource>sales</DataSource></OLEDBSetting>");
    CServiceConfig config;
    config.ReadHomeDir();
    EXPECT_EQ(config.LoadConfigDirectory().code(), S_OK) << c.name;
    EXPECT_EQ(config.RepositoryDefinitions.size(), 1u) << c.name;
    ASSERT_EQ(config.QueryDataSources.size(), 1u) << c.name;
    EXPECT_EQ(config.QueryDataSources[0]->GetDataSource(), u"sales") << c.name;
    EXPECT_EQ(config.ConfigDocument->documentElement()->childNodes().size(), 2u) << c.name;
    ASSERT_EQ(config.SkippedConfigFiles.size(), 1u) << c.name;
    EXPECT_EQ(config.SkippedConfigFiles[0].path, instance.home() + "/config/b.xml") << c.name;
    EXPECT_EQ(config.SkippedConfigFiles[0].status, c.status) << c.name;

    // Only bad files: the first one's status, nothing loaded; a reload
    // forgets what the load before skipped.
    std::filesystem::remove(instance.home() + "/config/a.xml");
    instance.Write("config/c.xml", c.contents);
    EXPECT_EQ(config.ReloadConfig().code(), c.status) << c.name;
    EXPECT_TRUE(config.RepositoryDefinitions.empty() && config.QueryDataSources.empty()) << c.name;
    EXPECT_EQ(config.SkippedConfigFiles.size(), 2u) << c.name;
  }

  TestInstance none;
  none.SetHomeDir();
  CServiceConfig config;
  config.ReadHomeDir();
  EXPECT_EQ(config.LoadConfigDirectory().code(), QS_E_CONFIG_NOT_EXIST);
  EXPECT_FALSE(config.ConfigDocument);
  EXPECT_FALSE(config.ConfigText);
}

TEST(TransformFolder, NestedAndFlatFilesAreNumberedInOrder) {
  TestInstance instance;
  instance.SetHomeDir();
  instance.Write("transform/a.xml",
                 "<?xml version=\"1.0\"?><!-- csv --><QuorTransform><transform><ProgID>FlatConvert.TransCSV</ProgID>"
                 "</transform><transform><ProgID>Second</ProgID></transform></QuorTransform>");
  instance.Write("transform/B.xml",
                 "<?xml version=\"1.0\"?><QuorTransform><transform/><ProgID>GridPage.TransXHTML</ProgID>"
                 "<Method>Convert</Method><Source/><Rule>r</Rule><Result/><Description>table</Description>"
                 "</QuorTransform>");
  instance.Write("transform/c.xml", "<QuorTransform/>");
  CServiceConfig config;
  config.ReadHomeDir();
  ASSERT_EQ(config.LoadTransformDirectory().code(), S_OK);
  ASSERT_TRUE(config.TransformDocument);
  EXPECT_EQ(config.TransformDocument->documentElement()->xml(),
            "<QuorTransform>"
            "<transform><ProgID>FlatConvert.TransCSV</ProgID><transID>trans:0</transID></transform>"
            "<transform><ProgID>Second</ProgID></transform>"
            "<transform><ProgID>GridPage.TransXHTML</ProgID><Method>Convert</Method><Source/><Rule>r</Rule>"
            "<Result/><Description>table</Description><transID>trans:1</transID></transform>"
            "</QuorTransform>");

  instance.Write("transform/d.xml", "<Other/>");
  EXPECT_EQ(config.ReloadTransform().code(), QS_E_TRANSFORM_FORMAT_INVALID);
  ASSERT_TRUE(config.TransformDocument);
  EXPECT_FALSE(config.TransformDocument->documentElement());

  TestInstance empty;
  empty.SetHomeDir();
  CServiceConfig none;
  none.ReadHomeDir();
  EXPECT_EQ(none.LoadTransformDirectory().code(), S_OK);
  EXPECT_FALSE(none.TransformDocument);
}

TEST(UnifierFolder, RulesPatternsAndDestinations) {
  TestInstance instance;
  instance.SetHomeDir();
  instance.Write("unifier/a.xml",
                 "<unifyrule><Provider>MSDASQL</Provider><Dsn>sales</Dsn>"
                 "<pattern><lid>A</lid><rid>B</rid></pattern>"
                 "<table name=\"T\"><pattern><lid>C</lid><rid>D</rid></pattern><pattern><lid>E</lid></pattern></table>"
                 "<destination><Provider>P2</Provider><Dsn>hr</Dsn><Schema>dbo</Schema>"
                 "<table name=\"U\"><pattern><lid>x</lid><rid>y</rid></pattern></table></destination>"
                 "<Catalog>late</Catalog>"
                 "<destination><Dsn>third</Dsn><schema>s</schema></destination>"
                 "</unifyrule><!-- after the rule: ignored -->");
  instance.Write("unifier/b.xml", "<unifyrule><unify>u</unify></unifyrule>");
  CServiceConfig config;
  config.ReadHomeDir();
  ASSERT_EQ(config.ReloadUnifyTable().code(), S_OK);
  const UnifyTableEntry* rule = config.UnifyTable.get();
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->GetDataSource(), u"sales");
  EXPECT_EQ(rule->GetCatalog(), u"late");
  ASSERT_EQ(rule->Patterns().size(), 3u);
  EXPECT_TRUE(rule->Patterns()[0].tableName.IsNull());
  EXPECT_EQ(rule->Patterns()[1].tableName, u"T");
  EXPECT_EQ(rule->Patterns()[2].lid, u"E");
  EXPECT_TRUE(rule->Patterns()[2].rid.IsNull());
  EXPECT_TRUE(rule->GetPattern().IsNull());

  const UnifyTableEntry* first = rule->GetNextDestination();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->GetDestinationProvider(), u"P2");
  EXPECT_EQ(first->GetDestinationSchema(), u"dbo");  // "Schema" accepted here too
  EXPECT_EQ(first->GetDestinationTable(), u"U");
  EXPECT_EQ(first->GetProvider(), u"MSDASQL");
  EXPECT_TRUE(first->GetCatalog().IsNull());  // the rule's catalog came later
  ASSERT_EQ(first->Patterns().size(), 1u);
  EXPECT_EQ(first->Patterns()[0].tableName, u"U");
  const UnifyTableEntry* second = first->GetNextDestination();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->GetCatalog(), u"late");
  EXPECT_EQ(second->GetDestinationSchema(), u"s");
  EXPECT_FALSE(second->GetNextDestination());

  ASSERT_TRUE(rule->GetNextRule());  // one rule per file, in folder order
  EXPECT_EQ(rule->GetNextRule()->GetUnify(), u"u");
  EXPECT_FALSE(rule->GetNextRule()->GetNextRule());
}

TEST(UnifierFolder, TheSchemaIsReadInEitherSpellingOnRulesAndDestinations) {
  for (const char* name : {"Schema", "schema"}) {
    TestInstance instance;
    instance.SetHomeDir();
    const std::string element = name;
    instance.Write("unifier/a.xml", "<unifyrule><Provider>P</Provider><Dsn>D</Dsn><" + element + ">src</" + element +
                                        "><destination><Provider>P</Provider><Dsn>E</Dsn><" + element + ">dst</" +
                                        element + "><unify>u</unify><table name=\"T\"/></destination></unifyrule>");
    CServiceConfig config;
    config.ReadHomeDir();
    ASSERT_EQ(config.ReloadUnifyTable().code(), S_OK) << name;
    const UnifyTableEntry* rule = config.UnifyTable.get();
    ASSERT_TRUE(rule) << name;
    EXPECT_EQ(rule->GetSchema(), u"src") << name;
    EXPECT_TRUE(rule->GetCatalog().IsNull()) << name;
    ASSERT_TRUE(rule->GetNextDestination()) << name;
    EXPECT_EQ(rule->GetNextDestination()->GetDestinationSchema(), u"dst") << name;
    EXPECT_EQ(rule->GetNextDestination()->GetSchema(), u"src") << name;
  }
}

TEST(UnifierFolder, BrokenRulesLeaveNoRules) {
  const std::pair<const char*, HRESULT> cases[] = {
      {"<unifyrule><table name=\"T\"><!-- no --></table></unifyrule>", QS_E_UNIFYTABLE_STRUCTURE},
      {"<unifyrule><Other/></unifyrule>", QS_E_UNIFYTABLE_FORMAT},
      {"<unifyrule><destination><Table/></destination></unifyrule>", QS_E_UNIFYTABLE_FORMAT},
      {"<rules/>", QS_E_UNIFYTABLE_FORMAT},
  };
  for (const auto& [contents, status] : cases) {
    TestInstance instance;
    instance.SetHomeDir();
    instance.Write("unifier/a.xml", "<unifyrule><Dsn>good</Dsn></unifyrule>");
    instance.Write("unifier/b.xml", contents);
    CServiceConfig config;
    config.ReadHomeDir();
    EXPECT_EQ(config.ReloadUnifyTable().code(), status) << contents;
    EXPECT_FALSE(config.UnifyTable) << contents;
  }

  TestInstance empty;
  empty.SetHomeDir();
  CServiceConfig config;
  config.ReadHomeDir();
  EXPECT_EQ(config.ReloadUnifyTable().code(), S_OK);
  EXPECT_FALSE(config.UnifyTable);
}
