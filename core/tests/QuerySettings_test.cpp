#include <gtest/gtest.h>

#include "core/QuerySettings.h"
#include "core/tests/TestInstance.h"

using namespace quor;
using namespace quor::core;
using quor::core::testing::TestInstance;

// A call's own loads go in force for the calls after it, unless a reload
// swapped the snapshot while it ran: then the reload's stands.
TEST(QuerySettings, AReloadWinsOverWhatACallLoadedMeanwhile) {
  TestInstance instance;
  instance.SetHomeDir();
  CServiceConfig startup;
  startup.ReadHomeDir();
  int reports = 0;
  CQuerySettings settings([&] { return &startup; }, [&](const CServiceConfig&) { ++reports; });

  const std::shared_ptr<const CServiceConfig> first = settings.Current();
  ASSERT_TRUE(first);
  EXPECT_EQ(settings.Current(), first);
  EXPECT_EQ(first->HomeDir, startup.HomeDir);

  CServiceConfig call;
  call.ShareQueryParts(*first);
  call.ReadLogLevel();
  settings.Keep(first, call);
  const std::shared_ptr<const CServiceConfig> kept = settings.Current();
  EXPECT_NE(kept, first);
  EXPECT_EQ(kept->LogLevel, call.LogLevel);
  // Nothing new: the snapshot stays.
  settings.Keep(kept, call);
  EXPECT_EQ(settings.Current(), kept);

  CServiceConfig late;
  late.ShareQueryParts(*kept);
  late.ReadCompressThreshold();
  instance.Write("config/a.xml", "<OLEDBSetting><DataSource>sales</DataSource></OLEDBSetting>");
  instance.Write("config/b.xml", "<OLEDBSetting><Provider>x</Provider><!-- c --></OLEDBSetting>");
  std::vector<SkippedConfigFile> skipped;
  EXPECT_TRUE(settings.Reload(&CServiceConfig::ReloadConfig, &skipped).ok());
  const std::shared_ptr<const CServiceConfig> reloaded = settings.Current();
  EXPECT_NE(reloaded, kept);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_NE(skipped[0].path.find("b.xml"), std::string::npos);
  EXPECT_EQ(reports, 1);
  ASSERT_TRUE(reloaded->ConfigDocument);
  EXPECT_EQ(reloaded->LogLevel, call.LogLevel);  // the reload started from the snapshot in force

  settings.Keep(kept, late);
  EXPECT_EQ(settings.Current(), reloaded);
  EXPECT_EQ(reports, 1);  // the call read no config folder of its own

  settings.Reset();
  const std::shared_ptr<const CServiceConfig> again = settings.Current();
  EXPECT_NE(again, reloaded);
  EXPECT_FALSE(again->ConfigDocument);  // made from the start-up settings again
  EXPECT_EQ(again->HomeDir, startup.HomeDir);
}
