// Long texts through the drivers as the content store moves them: read whole
// into one buffer of their size (narrow where the driver gives UTF-8), what
// a read or a bound input holds reserved in the call's account first, and
// psqlODBC under a character type other than UTF-8 taken wide, still exact.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/callcontext.h"
#include "platform/com/memory_budget.h"
#include "platform/odbc/odbc.h"
#include "testing/TempDir.h"

namespace quor::odbc {
namespace {

// Characters of every UTF-8 length and markup; and a long one of them.
const std::string kMixed = "a<b c=\"1\">&amp;</b>'\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80]]>";

std::string Long(size_t bytes) {
  std::string text;
  while (text.size() < bytes) text += kMixed;
  return text;
}

class TextRead : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "sqlite") {
      odbc_ = "DRIVER={SQLite3};Database=" + dir_.File("texts.db");
    } else {
      const char* pg = std::getenv("QUOR_TEST_PG");
      if (!pg || !*pg) {
        if (std::getenv("CI")) FAIL() << "QUOR_TEST_PG is not set: the test command must start PostgreSQL";
        GTEST_SKIP() << "QUOR_TEST_PG not set";
      }
      odbc_ = pg;
    }
    connection_ = Open();
    ASSERT_TRUE(connection_);
    Statement made(connection_);
    ASSERT_TRUE(made.Execute("CREATE TEMPORARY TABLE texts (id INTEGER, body TEXT)").ok());
  }

  std::shared_ptr<Connection> Open() const {
    auto connection = std::make_shared<Connection>();
    const Status opened = connection->Open(odbc_, 10);
    EXPECT_TRUE(opened.ok()) << opened.message();
    return opened.ok() ? connection : nullptr;
  }

  static Status Store(const std::shared_ptr<Connection>& connection, int id, const std::optional<std::string>& text) {
    Statement insert(connection);
    std::vector<Param> params = {Param::Int(id), text ? Param::Text(*text) : Param::Null(Param::Kind::Text)};
    return insert.Execute("INSERT INTO texts VALUES (?, ?)", params);
  }

  // Row `id` read with ReadText; what `reserve` was told, in `told`.
  static Status Load(const std::shared_ptr<Connection>& connection, int id, std::string& text, bool& null,
                     std::vector<uint64_t>& told, Status answer = Status()) {
    Statement select(connection);
    std::vector<Param> params = {Param::Int(id)};
    QUOR_RETURN_IF_ERROR(select.Execute("SELECT body FROM texts WHERE id = ?", params));
    QUOR_ASSIGN_OR_RETURN(const bool row, select.Fetch());
    if (!row) return Status(E_FAIL, "no row");
    return select.ReadText(
        0,
        [&](uint64_t bytes) {
          told.push_back(bytes);
          return answer;
        },
        text, null);
  }

  test::TempDir dir_{"quor-odbc-text"};
  std::string odbc_;
  std::shared_ptr<Connection> connection_;
};

TEST_P(TextRead, ATextComesBackWholeAtItsSizeReservedFirst) {
  EXPECT_TRUE(connection_->NarrowIsUtf8()) << "a UTF-8 character type: psqlODBC passes UTF-8 on";
  const std::optional<std::string> texts[] = {kMixed, std::string(), std::nullopt, Long(3u << 20)};
  for (int id = 0; id < 4; ++id) ASSERT_TRUE(Store(connection_, id, texts[id]).ok()) << id;
  for (int id = 0; id < 4; ++id) {
    std::string text = "left over";
    bool null = false;
    std::vector<uint64_t> told;
    ASSERT_TRUE(Load(connection_, id, text, null, told).ok()) << id;
    EXPECT_EQ(null, !texts[id]) << id;
    EXPECT_TRUE(text == texts[id].value_or("")) << id << ": " << text.substr(0, 80);
    if (!texts[id] || texts[id]->empty()) continue;
    ASSERT_EQ(told.size(), 1u) << id;
    EXPECT_EQ(told[0], connection_->TextReadHolds(text.size())) << id;
    EXPECT_GE(told[0], 2 * text.size()) << "the driver's copy and the buffer";
  }
  // A refused reservation ends the read with the refusal, nothing taken.
  std::string text;
  bool null = false;
  std::vector<uint64_t> told;
  const Status refused = Load(connection_, 3, text, null, told, Status(E_OUTOFMEMORY, "refused"));
  EXPECT_EQ(refused.code(), E_OUTOFMEMORY);
  EXPECT_TRUE(text.empty());
  // The statement and the connection go on.
  ASSERT_TRUE(Load(connection_, 0, text, null, told).ok());
  EXPECT_EQ(text, kMixed);
}

TEST_P(TextRead, ALongInputOverTheCallsLimitIsRefusedBeforeTheDriverCopiesIt) {
  com::MemoryBudget& budget = com::MemoryBudget::Process();
  budget.Configure(uint64_t{1} << 20, 0);
  com::CallContext context;
  context.memory = std::make_shared<com::CallMemory>();
  {
    const com::CallContextScope scope(context);
    const Status refused = Store(connection_, 1, std::string(1u << 20, 'x'));
    EXPECT_EQ(refused.code(), E_OUTOFMEMORY) << refused.message();
    EXPECT_NE(refused.message().find("AnswerMemoryMB"), std::string::npos) << refused.message();
    EXPECT_TRUE(Store(connection_, 2, std::string(300u << 10, 'y')).ok());
  }
  budget.Configure(0, 0);
  EXPECT_EQ(context.memory->Held(), 0u) << "given back once the statement ran";
  Statement count(connection_);
  ASSERT_TRUE(count.Execute("SELECT id FROM texts ORDER BY id").ok());
  std::vector<int64_t> ids;
  for (Result<bool> row = count.Fetch(); row.ok() && *row; row = count.Fetch()) ids.push_back(count.Get(0)->integer);
  EXPECT_EQ(ids, std::vector<int64_t>{2}) << "the refused insert wrote nothing";
}

// psqlODBC converts narrow text through the process's character type when
// that is not UTF-8: the probe at the connect sees it, and texts go wide.
TEST(TextReadPostgres, UnderAnotherCharacterTypeTextsGoWideAndStayExact) {
  const char* pg = std::getenv("QUOR_TEST_PG");
  if (!pg || !*pg) {
    if (std::getenv("CI")) FAIL() << "QUOR_TEST_PG is not set: the test command must start PostgreSQL";
    GTEST_SKIP() << "QUOR_TEST_PG not set";
  }
  const char* all = std::getenv("LC_ALL");
  const std::string before = all ? all : "";
  ::setenv("LC_ALL", "C", 1);
  std::setlocale(LC_ALL, "C");
  auto connection = std::make_shared<Connection>();
  const Status opened = connection->Open(pg, 10);
  const bool narrow = connection->NarrowIsUtf8();
  std::string text;
  bool null = false;
  Status read;
  if (opened.ok()) {
    Statement made(connection);
    read = made.Execute("CREATE TEMPORARY TABLE texts (id INTEGER, body TEXT)");
    const std::string stored = Long(300u << 10);
    if (read.ok()) {
      Statement insert(connection);
      std::vector<Param> params = {Param::Int(1), Param::Text(stored)};
      read = insert.Execute("INSERT INTO texts VALUES (?, ?)", params);
    }
    if (read.ok()) {
      Statement select(connection);
      read = select.Execute("SELECT body FROM texts");
      if (read.ok() && select.Fetch().ok()) read = select.ReadText(0, [](uint64_t) { return Status(); }, text, null);
    }
    EXPECT_TRUE(text == stored) << text.substr(0, 80);
  }
  connection.reset();
  if (all) ::setenv("LC_ALL", before.c_str(), 1);
  else ::unsetenv("LC_ALL");
  std::setlocale(LC_ALL, "C");
  ASSERT_TRUE(opened.ok()) << opened.message();
  ASSERT_TRUE(read.ok()) << read.message();
  EXPECT_FALSE(narrow);
}

INSTANTIATE_TEST_SUITE_P(Engines, TextRead, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace quor::odbc
