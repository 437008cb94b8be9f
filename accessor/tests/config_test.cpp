#include <gtest/gtest.h>

#include "accessor/config_obj.h"
#include "test_util.h"

namespace quor::accessor {
namespace {

using testing::Load;

Status Parse(CConfigObj& config, std::string_view text) {
  const xml::DocumentPtr doc = Load(text);
  return config.ParseConfigDOM(doc->firstChild());
}

TEST(ConfigObj, ReadsEverySettingKind) {
  CConfigObj c;
  ASSERT_EQ(S_OK, Parse(c,
                       "<OLEDBSetting><Provider>MSDASQL</Provider><DataSource>Sales</DataSource>"
                       "<UserName>sa</UserName><Password>p&amp;w</Password><InitialCatalog>cat</InitialCatalog>"
                       "<IntegratedSecurity>SSPI</IntegratedSecurity><Location>here</Location>"
                       "<ExtendedProperties>DSN=x;UID=y</ExtendedProperties><Schema>dbo</Schema>"
                       "<ConnectTimeout>30</ConnectTimeout><Mode>16</Mode><Prompt>4</Prompt>"
                       "<EncryptPassword>True</EncryptPassword><GeneralTimeout>7</GeneralTimeout>"
                       "<progID>A.B</progID><method>Query</method><table>t</table><quorservice>q</quorservice>"
                       "<BindFlags>1</BindFlags><PacketSize>4096</PacketSize></OLEDBSetting>").code());
  EXPECT_EQ("MSDASQL", c.Provider().value_or(""));
  EXPECT_EQ("Sales", c.TextById(dbprop::kInitDataSource).value_or(""));
  EXPECT_EQ("sa", c.TextById(dbprop::kAuthUserId).value_or(""));
  EXPECT_EQ("p&w", c.TextById(dbprop::kAuthPassword).value_or(""));
  EXPECT_EQ("cat", c.TextById(dbprop::kInitCatalog).value_or(""));
  EXPECT_EQ("SSPI", c.TextById(dbprop::kAuthIntegrated).value_or(""));
  EXPECT_EQ("here", c.TextById(dbprop::kInitLocation).value_or(""));
  EXPECT_EQ("DSN=x;UID=y", c.TextById(dbprop::kInitProviderString).value_or(""));
  EXPECT_FALSE(c.TextById(dbprop::kInitTimeout));  // a number, not a text
  EXPECT_EQ("dbo", c.Schema().value_or(""));
  EXPECT_EQ(30, c.NumberById(dbprop::kInitTimeout));
  EXPECT_EQ(16, c.NumberById(dbprop::kInitMode));
  EXPECT_EQ(4, c.NumberById(dbprop::kInitPrompt));
  EXPECT_EQ(-1, c.NumberById(dbprop::kInitLcid));
  EXPECT_EQ(0, c.NumberById(dbprop::kAuthUserId));
  EXPECT_TRUE(c.FlagById(dbprop::kAuthEncryptPassword));
  EXPECT_TRUE(c.FlagById(dbprop::kAuthCacheAuthInfo));
  EXPECT_FALSE(c.FlagById(dbprop::kAuthMaskPassword));
  EXPECT_FALSE(c.FlagById(dbprop::kInitDataSource));
  EXPECT_EQ(7, c.GeneralTimeout());
  EXPECT_EQ("A.B", c.ProgId().value_or(""));
  EXPECT_EQ("Query", c.Method().value_or(""));
  EXPECT_EQ("t", c.Table().value_or(""));
  EXPECT_EQ("q", c.QuorService().value_or(""));
}

TEST(ConfigObj, RefusesAnotherRoot) {
  struct Case {
    const char* text;
  } cases[] = {
      {"<?xml version=\"1.0\"?><OLEDBSetting><Provider>P</Provider></OLEDBSetting>"},
      {"<!-- c --><OLEDBSetting/>"},
      {"<config><OLEDBSetting/></config>"},
      {"<oledbsetting/>"},
  };
  for (const Case& k : cases) {
    CConfigObj c;
    EXPECT_EQ(kConfigInvalidRoot, Parse(c, k.text).code()) << k.text;
  }
  CConfigObj c;
  EXPECT_EQ(kConfigInvalidRoot, c.ParseConfigDOM(nullptr).code());
}

TEST(ConfigObj, FlagsAreFalseOnlyForFalse) {
  struct Case {
    const char* element;
    bool cache;
  } cases[] = {
      {"<CacheAuthentication>False</CacheAuthentication>", false},
      {"<CacheAuthentication>false</CacheAuthentication>", false},
      {"<CacheAuthentication>FALSE</CacheAuthentication>", true},
      {"<CacheAuthentication>True</CacheAuthentication>", true},
      {"<CacheAuthentication>0</CacheAuthentication>", true},
      {"<CacheAuthentication/>", true},  // no value: the default stays
      {"", true},
  };
  for (const Case& k : cases) {
    CConfigObj c;
    ASSERT_EQ(S_OK, Parse(c, std::string("<OLEDBSetting>") + k.element + "</OLEDBSetting>").code());
    EXPECT_EQ(k.cache, c.FlagById(dbprop::kAuthCacheAuthInfo)) << k.element;
  }
  // An empty element leaves an earlier value.
  CConfigObj c;
  ASSERT_EQ(S_OK, Parse(c, "<OLEDBSetting><MaskPassword>yes</MaskPassword><MaskPassword/></OLEDBSetting>").code());
  EXPECT_TRUE(c.FlagById(dbprop::kAuthMaskPassword));
}

TEST(ConfigObj, NumbersAreReadWithRangeChecks) {
  struct Case {
    const char* text;
    int32_t timeout;
  } cases[] = {
      {"30", 30}, {"30s", 30}, {"  -5", -5}, {"abc", -1}, {"", -1},
      {"2147483647", 2147483647}, {"2147483648", -1}, {"-99999999999", -1},
  };
  for (const Case& k : cases) {
    CConfigObj c;
    ASSERT_EQ(S_OK, Parse(c, std::string("<OLEDBSetting><ConnectTimeout>") + k.text + "</ConnectTimeout></OLEDBSetting>").code());
    EXPECT_EQ(k.timeout, c.NumberById(dbprop::kInitTimeout)) << k.text;
  }
  CConfigObj c;
  ASSERT_EQ(S_OK, Parse(c, "<OLEDBSetting><Mode>3</Mode><Mode>x</Mode></OLEDBSetting>").code());
  EXPECT_EQ(3, c.NumberById(dbprop::kInitMode));  // unreadable keeps the earlier value
}

TEST(ConfigObj, NameCaseRulesAndUnknownSettings) {
  CConfigObj c;
  ASSERT_EQ(S_OK, Parse(c,
                       "<OLEDBSetting><encoding>EUC_JP</encoding><xmlcolumn>True</xmlcolumn>"
                       "<provider>lower</provider><Unknown>1</Unknown><Provider>P</Provider>"
                       "<DataSource>a</DataSource><DataSource>b</DataSource></OLEDBSetting>").code());
  EXPECT_EQ("EUC_JP", c.Encoding().value_or(""));
  EXPECT_TRUE(c.XmlColumn());
  EXPECT_EQ("P", c.Provider().value_or(""));  // "provider" was skipped
  EXPECT_EQ("b", c.DataSource().value_or(""));  // the later one wins

  CConfigObj d;
  ASSERT_EQ(S_OK, Parse(d, "<OLEDBSetting><XMLColumn>false</XMLColumn><Password/></OLEDBSetting>").code());
  EXPECT_FALSE(d.XmlColumn());
  EXPECT_FALSE(d.Password());

  // An empty text element clears an earlier value.
  CConfigObj e;
  ASSERT_EQ(S_OK, Parse(e, "<OLEDBSetting><Password>x</Password><Password></Password></OLEDBSetting>").code());
  EXPECT_FALSE(e.Password());
}

TEST(ConfigObj, MatchesDataSourcesWithoutCase) {
  CConfigObj c;
  ASSERT_EQ(S_OK, Parse(c,
                       "<OLEDBSetting><Provider>MSDASQL</Provider><DataSource>Sales</DataSource>"
                       "<Schema>Dbo</Schema></OLEDBSetting>").code());
  struct Case {
    const char *provider, *dsn, *catalog;
    bool match;
  } cases[] = {
      {"", "", "", true},
      {"msdasql", "", "", true},
      {"msdasql", "SALES", "", true},
      {"MSDASQL", "sales", "dbo", true},  // no InitialCatalog: the schema stands in
      {"MSDASQL", "sales", "other", false},
      {"MSDASQL", "Other", "", false},
      {"SQLOLEDB", "", "", false},
  };
  for (const Case& k : cases)
    EXPECT_EQ(k.match, c.Matches(k.provider, k.dsn, k.catalog)) << k.provider << "/" << k.dsn << "/" << k.catalog;

  CConfigObj bare;
  ASSERT_EQ(S_OK, Parse(bare, "<OLEDBSetting><Provider>P</Provider></OLEDBSetting>").code());
  EXPECT_FALSE(bare.Matches("P", "d", ""));  // a setting the match needs is missing
}

}  // namespace
}  // namespace quor::accessor
