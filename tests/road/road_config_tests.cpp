// A malformed file in the config folder costs only itself: the other data
// sources still answer, the event log names the file, ReLoadConfig answers
// the file's status naming it, and SettingsProbe says the service skips it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/OutsideSql.h"
#include "testing/ServerInstance.h"

extern char** environ;

namespace quor::admin::testing {
namespace {

constexpr HRESULT kXmlLoadFailed = static_cast<HRESULT>(0x81000085u);
constexpr HRESULT kUndefinedKeyword = static_cast<HRESULT>(0x8100007Bu);

class ConfigRoad : public RoadTest {
 protected:
  std::string SalesSetting() const {
    return "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>sales</DataSource><InitialCatalog>main"
           "</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" +
           CVeltService::EscapeXml(sales_.string()) + "</ExtendedProperties></OLEDBSetting>";
  }
  // The names in sales' staff table, through Query.
  std::vector<std::string> SalesNames(CVeltService& client) {
    const CallOutcome answer =
        Call(client, "Query", {{"sqlstmt", "<query><get><content>record</content><target><provider>MSDASQL.1"
                                           "</provider><dsn>sales</dsn><catalog>main</catalog><table>staff</table>"
                                           "</target></get></query>"}});
    EXPECT_TRUE(answer.ok) << answer.fault;
    return ColumnTexts(answer.decoded, "name");
  }

  st::TempDir data_;
  fs::path sales_ = data_.Path() / "sales.db";
};

TEST_F(ConfigRoad, AMalformedFileIsSkippedAndReported) {
  ASSERT_EQ(oledb::testing::Capture("sqlite3 -batch '" + sales_.string() +
                                    "' \"CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT);"
                                    "INSERT INTO staff VALUES (1, 'Ann');\" 2>&1"),
            "");
  InstanceOptions options;
  options.homeFiles = {{"config/broken.xml", "<OLEDBSetting><Provider>MSDASQL.1</Provider>"},
                       {"config/sales.xml", SalesSetting()}};
  QUOR_START_INSTANCE(options);
  auto admin = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(admin);

  // Start-up: the good source answers, the event log names the bad file.
  EXPECT_EQ(SalesNames(*admin), std::vector<std::string>{"Ann"});
  const std::string broken = (instance_->Home() / "config" / "broken.xml").string();
  EXPECT_NE(instance_->Events().find("[0x81000085] XML Loading was failed. The config file " + broken + " is skipped"),
            std::string::npos)
      << instance_->Events();

  // ReLoadConfig answers the bad file's status and names it; what loaded is
  // in force all the same.
  CallOutcome reload = Call(*admin, "ReLoadConfig");
  EXPECT_FALSE(reload.ok);
  EXPECT_EQ(reload.status, kXmlLoadFailed) << reload.fault;
  EXPECT_EQ(FaultDescription(*admin), "XML Loading was failed. Skipped: broken.xml (0x81000085).");
  EXPECT_EQ(SalesNames(*admin), std::vector<std::string>{"Ann"});

  // A well-formed file the service cannot read as a definition: the same.
  std::ofstream(broken) << "<OLEDBSetting><Provider>MSDASQL.1</Provider><InitialCatalog>main</InitialCatalog>"
                          "<Frobnicate/></OLEDBSetting>";
  reload = Call(*admin, "ReLoadConfig");
  EXPECT_EQ(reload.status, kUndefinedKeyword) << reload.fault;
  EXPECT_NE(FaultDescription(*admin).find("Skipped: broken.xml (0x8100007B)."), std::string::npos)
      << FaultDescription(*admin);
  EXPECT_NE(instance_->Events().find("[0x8100007B] The config file has undefined keyword tag. The config file " +
                                     broken + " is skipped"),
            std::string::npos)
      << instance_->Events();
  EXPECT_EQ(SalesNames(*admin), std::vector<std::string>{"Ann"});

  // SettingsProbe says the same of the folder.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  const st::RunResult probe = st::RunProgram(std::string(QUOR_BIN_DIR) + "/SettingsProbe",
                                             {"-d", instance_->Home().string()}, env, instance_->Dir());
  EXPECT_EQ(probe.status, 1) << probe.output;
  EXPECT_NE(probe.output.find(broken + " loading ... completed.\n ** Error **  Frobnicate is not defiend tag.\n"
                                       " ** Error **  QuorService skips this file: The config file has undefined "
                                       "keyword tag.\n"),
            std::string::npos)
      << probe.output;
  EXPECT_EQ(probe.output.find("skips this file", probe.output.find("sales.xml")), std::string::npos)
      << probe.output;

  // An XMLColumn entry is no entry of a definition: the file is skipped like
  // the others, and its source is not served.
  std::ofstream(broken) << "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>archive</DataSource>"
                          "<InitialCatalog>main</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" +
                               CVeltService::EscapeXml(sales_.string()) +
                               "</ExtendedProperties><XMLColumn>false</XMLColumn></OLEDBSetting>";
  reload = Call(*admin, "ReLoadConfig");
  EXPECT_EQ(reload.status, kUndefinedKeyword) << reload.fault;
  EXPECT_NE(FaultDescription(*admin).find("Skipped: broken.xml (0x8100007B)."), std::string::npos)
      << FaultDescription(*admin);
  const CallOutcome archive =
      Call(*admin, "Query", {{"sqlstmt", "<query><get><content>record</content><target><provider>MSDASQL.1"
                                         "</provider><dsn>archive</dsn><catalog>main</catalog><table>staff</table>"
                                         "</target></get></query>"}});
  EXPECT_EQ(archive.decoded.find("Ann"), std::string::npos) << archive.decoded;
  EXPECT_EQ(SalesNames(*admin), std::vector<std::string>{"Ann"});

  // Mended, the folder reloads cleanly with the answer it always had.
  fs::remove(broken);
  reload = Call(*admin, "ReLoadConfig");
  ASSERT_TRUE(reload.ok) << reload.fault;
  EXPECT_EQ(reload.decoded, "<root>0</root>");
  EXPECT_EQ(SalesNames(*admin), std::vector<std::string>{"Ann"});
}

}  // namespace
}  // namespace quor::admin::testing
