// The engines every store test runs on: a fresh SQLite file with the
// repository schema, and the PostgreSQL cluster of the test command
// (QUOR_TEST_PG, an ODBC connection string; skipped locally without it, a
// failure under CI). On PostgreSQL, tests share the tables: each marks its
// rows with its own tag and removes them afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/store/DBConnect.h"
#include "core/store/ServerLease.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"

namespace quor::core::testing {

inline std::string PgOdbc() {
  const char* env = std::getenv("QUOR_TEST_PG");
  return env ? env : "";
}

// Runs a schema file of sql/ statement by statement (comment lines dropped).
inline void ApplySchema(CDBConnect& db, const std::string& file) {
  std::ifstream in(std::string(QUOR_SOURCE_DIR) + "/sql/" + file);
  std::string statement;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("--", 0) == 0) continue;
    statement += line + "\n";
    if (line.find(';') != std::string::npos) {
      ASSERT_EQ(db.ExecuteNonQuery(statement).code(), 0) << "\n" << statement;
      statement.clear();
    }
  }
}

class RepositoryTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    // Per process and engine: the resume queue outlives a test, and both
    // engines' runs of a test share one process.
    tag_ = text::Format("t%d%s", static_cast<int>(::getpid()), GetParam().substr(0, 2).c_str());
    if (IsSqlite()) {
      dbPath_ = (std::filesystem::temp_directory_path() / ("quor-store-" + tag_ + ".db")).string();
      std::filesystem::remove(dbPath_);
      odbc_ = "DRIVER={SQLite3};Database=" + dbPath_;
    } else {
      odbc_ = PgOdbc();
      if (odbc_.empty()) {
        if (std::getenv("CI")) {
          FAIL() << "QUOR_TEST_PG is not set: the test command must start PostgreSQL";
        }
        GTEST_SKIP() << "QUOR_TEST_PG not set";
      }
    }
    ASSERT_EQ(db_.Open("MSDASQL.1", com::Bstr(u""), com::Bstr(u""), com::Bstr(u""), com::Bstr(u""),
                       com::Bstr::FromUtf8(odbc_)).code(),
              0);
    if (IsSqlite()) ApplySchema(db_, "sqlite.sql");
    lease_.Start(&db_);
  }
  void TearDown() override {
    lease_.Stop();
    if (!IsSqlite() && db_.GetState() == 1) {
      const com::Variant like[] = {com::Variant(com::Bstr::FromUtf8("%" + tag_ + "%"))};
      db_.ExecuteNonQuery("DELETE FROM QUORVESK WHERE VOURI LIKE ?", like).Ignore();
      db_.ExecuteNonQuery("DELETE FROM QUORLOG WHERE OPUSER LIKE ?", like).Ignore();
    }
    if (!dbPath_.empty()) std::filesystem::remove(dbPath_);
  }

  bool IsSqlite() const { return GetParam() == "sqlite"; }
  // A name unique to this test process.
  std::string Tagged(std::string_view name) const { return std::string(name) + "-" + tag_; }

  CSqlServerDBConnect db_;
  // This test's server place, for the sharing list and the resume queue.
  CServerLease lease_;
  std::string tag_, dbPath_, odbc_;
};

inline std::string EngineName(const ::testing::TestParamInfo<std::string>& info) { return info.param; }

// A text of about `units` UTF-16 code units with everything a statement or a
// document could stumble on.
inline std::u16string Awkward(size_t units) {
  const std::u16string piece = u"it's 50% <b>&amp; \"q\" -- ; \u65e5\u672c\u8a9e\u30c6\u30ad\u30b9\u30c8\r\n\t";
  std::u16string text;
  while (text.size() < units) text += piece;
  return text;
}

// The texts of the elements named `name` anywhere in `answer`, in document
// order.
inline std::vector<std::string> Texts(const com::Bstr& answer, std::string_view name) {
  auto document = xml::Document::Create();
  EXPECT_TRUE(document->loadXML(answer.View())) << answer.ToUtf8().substr(0, 200);
  std::vector<std::string> texts;
  std::vector<xml::NodePtr> pending{document->documentElement()};
  while (!pending.empty()) {
    auto node = pending.back();
    pending.pop_back();
    if (!node) continue;
    if (node->nodeName() == name) texts.push_back(node->text());
    auto children = node->childNodes();
    for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(*it);
  }
  return texts;
}

}  // namespace quor::core::testing

#define QUOR_INSTANTIATE_ENGINES(Suite) \
  INSTANTIATE_TEST_SUITE_P(Engines, Suite, ::testing::Values("sqlite", "postgresql"), quor::core::testing::EngineName)
