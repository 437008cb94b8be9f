// Long Vesk contents over the wire, on SQLite and PostgreSQL: ten megabytes
// with markup, carriage returns and characters of every UTF-8 length come
// back byte for byte, by a new put and by an overwrite; and puts of one new
// name from many sessions at once all succeed and leave one object.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "admin/tests/ServerInstance.h"

namespace quor::admin::testing {
namespace {

std::string VOUri(std::string_view owner, std::string_view name) {
  return "urn:vocontent:vodb000:" + std::string(owner) + "-" + std::string(name);
}

// As the server's document writer escapes a content's text.
std::string ContentAnswer(std::string_view text) {
  std::string out = "<root>";
  for (char c : text) {
    if (c == '\r') out += "&#xD;";
    else out += XmlText(std::string_view(&c, 1));
  }
  return out + "</root>";
}

// `bytes` of text cycling through plain ASCII, markup, line ends and
// characters two, three and four bytes long, tagged so two contents differ.
std::string LongContent(size_t bytes, char tag) {
  static const std::string pieces[] = {
      std::string(90, 'a'), "<b a=\"1\">&amp;</b>", "\r\n\t", "\xC3\xA9\xC3\xBC", "\xE6\x97\xA5\xE6\x9C\xAC",
      "\xF0\x9F\x98\x80", "]]>'\"",
  };
  std::string out;
  out.reserve(bytes + 128);
  for (size_t i = 0; out.size() < bytes; ++i) {
    out += pieces[i % std::size(pieces)];
    out += tag;
  }
  return out;
}

class LargeContentRoad : public CollabRoad {
 protected:
  void TearDown() override {
    if (instance_ && instance_->IsPostgres() && !instance_->Odbc().empty()) {
      core::CSqlServerDBConnect db;
      if (db.Open("MSDASQL.1", com::Bstr(u""), com::Bstr(u""), com::Bstr(u""), com::Bstr(u""),
                  com::Bstr::FromUtf8(instance_->Odbc())) == 0) {
        const com::Variant like[] = {com::Variant(com::Bstr::FromUtf8(VOUri(alice_, "%")))};
        db.ExecuteNonQuery("DELETE FROM QUORVESK WHERE VOURI LIKE ?", like);
      }
    }
    CollabRoad::TearDown();
  }
};

TEST_P(LargeContentRoad, TenMegabytesComeBackByteForByte) {
  QUOR_START_COLLAB(InstanceOptions{});
  for (const char tag : {'1', '2'}) {  // a new object, then an overwrite
    const std::string content = LongContent(10u << 20, tag);
    const CallOutcome put = Call(*alice, "PutVOContent", {{"name", "big"}, {"content", content}});
    ASSERT_TRUE(put.ok) << put.fault;
    EXPECT_EQ(put.decoded, kResultOk);
    const CallOutcome got = Call(*alice, "GetVOContent", {{"name", "big"}});
    ASSERT_TRUE(got.ok) << got.fault;
    EXPECT_TRUE(got.decoded == ContentAnswer(content)) << "differs from byte " << [&] {
      const std::string expected = ContentAnswer(content);
      return std::mismatch(got.decoded.begin(), got.decoded.end(), expected.begin(), expected.end()).first -
             got.decoded.begin();
    }();
  }
}

TEST_P(LargeContentRoad, ConcurrentPutsOfANewNameLoseNothing) {
  QUOR_START_COLLAB(InstanceOptions{});
  constexpr int kSessions = 6;
  std::vector<std::unique_ptr<CVeltService>> clients;
  for (int i = 0; i < kSessions; ++i) {
    clients.push_back(instance_->SignIn(alice_, "alice-pw"));
    ASSERT_TRUE(clients.back());
  }
  std::vector<CallOutcome> puts(kSessions);
  std::vector<std::thread> threads;
  for (int i = 0; i < kSessions; ++i)
    threads.emplace_back([&, i] {
      puts[i] = Call(*clients[i], "PutVOContent", {{"name", "raced"}, {"content", "from " + std::to_string(i)}});
    });
  for (auto& thread : threads) thread.join();
  for (const CallOutcome& put : puts) EXPECT_TRUE(put.ok) << put.fault;
  const CallOutcome list = Call(*alice, "GetVOURIList");
  ASSERT_TRUE(list.ok) << list.fault;
  EXPECT_EQ(list.decoded, "<root><uri>" + XmlText(VOUri(alice_, "raced")) + "</uri></root>");
  const CallOutcome got = Call(*alice, "GetVOContent", {{"name", "raced"}});
  EXPECT_TRUE(got.decoded.starts_with("<root>from ")) << got.decoded;
  for (auto& client : clients) client->EndSession();
}

INSTANTIATE_TEST_SUITE_P(Engines, LargeContentRoad, ::testing::Values(Database::Sqlite, Database::Postgres),
                         EngineName);

}  // namespace
}  // namespace quor::admin::testing
