#include "core/KeywordTable.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/status.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

const CKeywordTable& Table() { return CKeywordTable::Instance(); }

TEST(KeywordTable, EntriesRunFromOneTo191WithBothForms) {
  EXPECT_EQ(**Table().Find(1), u"QuorAccessor.CollabDBAccessor");
  EXPECT_EQ(**Table().Find(191), u"unify");
  std::set<std::string> distinct;
  for (int i = CKeywordTable::kFirst; i <= CKeywordTable::kCount; ++i) {
    const com::Bstr& wide = **Table().Find(i);
    ASSERT_FALSE(wide.IsNull()) << i;
    ASSERT_FALSE(wide.Empty()) << i;
    EXPECT_EQ(*Table().FindNarrow(i), wide.ToUtf8()) << i;
    // The same object every time: callers may keep the reference.
    EXPECT_EQ(*Table().Find(i), &Table()[static_cast<KeywordIndex>(i)]) << i;
    distinct.insert(std::string(*Table().FindNarrow(i)));
  }
  EXPECT_EQ(distinct.size(), 191u) << "every entry is a different word";
}

TEST(KeywordTable, IndexesOutsideTheTableFailClearly) {
  for (int index : {0, 192, -1, 1000}) {
    const Result<const com::Bstr*> found = Table().Find(index);
    if (found.ok()) {
      ADD_FAILURE() << "Find(" << index << ") did not fail";
    } else {
      EXPECT_EQ(found.status().code(), DISP_E_BADINDEX);
      EXPECT_NE(found.status().message().find(std::to_string(index)), std::string::npos) << found.status().Text();
    }
    EXPECT_EQ(Table().FindNarrow(index).status().code(), DISP_E_BADINDEX) << index;
  }
  EXPECT_FALSE(CKeywordTable::IsValidIndex(0));
  EXPECT_TRUE(CKeywordTable::IsValidIndex(191));
}

TEST(KeywordTable, CaseTwinsAreDistinctEntries) {
  const std::vector<std::pair<KeywordIndex, KeywordIndex>> twins = {
      {KW_TRUE, KW_TRUE_CAP},     {KW_FALSE, KW_FALSE_CAP},   {KW_DSN, KW_DSN_CAP},
      {KW_CATALOG, KW_CATALOG_CAP}, {KW_SCHEMA, KW_SCHEMA_LC}, {KW_NAME, KW_NAME_UC},
      {KW_QUERY, KW_QUERY_LC},    {KW_PROGID, KW_PROGID_CAP}, {KW_DESCRIPTION, KW_DESCRIPTION_LC},
  };
  for (const auto& [a, b] : twins) {
    EXPECT_NE(a, b);
    EXPECT_NE(Table().Get(a), Table().Get(b)) << Table().Narrow(a);
    EXPECT_TRUE(text::EqualsNoCase(Table().Narrow(a), Table().Narrow(b))) << a << " " << b;
  }
  // The same twins by number, as the numbering is the interface.
  EXPECT_EQ(*Table().FindNarrow(37), "true");
  EXPECT_EQ(*Table().FindNarrow(65), "True");
  EXPECT_EQ(*Table().FindNarrow(71), "Schema");
  EXPECT_EQ(*Table().FindNarrow(120), "schema");
  EXPECT_EQ(*Table().FindNarrow(188), "NAME");
}

// The name of a constant is its text in capitals: a wrong number shows here.
std::string NameFor(int index) {
  std::string word = text::ToUpperAscii(*Table().FindNarrow(index));
  for (char& c : word)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return "KW_" + word;
}
#define EXPECT_NAMED(constant) EXPECT_EQ(NameFor(constant), #constant)

TEST(KeywordTable, ConstantsNameTheirEntries) {
  // One from each group of the table and the ends of the long runs.
  EXPECT_NAMED(KW_QUORACCESSOR_COLLABDBACCESSOR);
  EXPECT_NAMED(KW_QUERY);
  EXPECT_NAMED(KW_RESULTCODE);
  EXPECT_NAMED(KW_STATEMENT);
  EXPECT_NAMED(KW_LOCK_STATUS);
  EXPECT_NAMED(KW_OLEDBSETTING);
  EXPECT_NAMED(KW_GENERALTIMEOUT);
  EXPECT_NAMED(KW_ENCODING);
  EXPECT_NAMED(KW_XMLCOLUMN);
  EXPECT_NAMED(KW_REQUEST_URI);
  EXPECT_NAMED(KW_QUORACCESSOR_LEGACYDBACCESSOR);
  EXPECT_NAMED(KW_RWDARAWAD);
  EXPECT_NAMED(KW_FAULTACTOR);
  EXPECT_NAMED(KW_ERRORINFO);
  EXPECT_NAMED(KW_FULL_OUTER_JOIN);
  EXPECT_NAMED(KW_EQUIV_JOIN);
  EXPECT_NAMED(KW_QUORACCESSOR_VODBACCESSOR);
  EXPECT_NAMED(KW_ACCESSLIST);
  EXPECT_NAMED(KW_UNIFY);
  EXPECT_EQ(Table().Narrow(KW_FAULT_PREFIX), "<fault>");
  EXPECT_EQ(Table().Narrow(KW_ASTERISK), "*");
  EXPECT_EQ(Table().Narrow(KW_JETOLEDB), "JetOLEDB:");
}

TEST(KeywordTable, OneSharedInstanceForEveryThread) {
  std::vector<const CKeywordTable*> seen(8);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < seen.size(); ++t)
    threads.emplace_back([&seen, t] {
      const CKeywordTable& table = CKeywordTable::Instance();
      for (int i = CKeywordTable::kFirst; i <= CKeywordTable::kCount; ++i)
        if ((*table.Find(i))->Empty()) return;
      seen[t] = &table;
    });
  for (auto& thread : threads) thread.join();
  for (const CKeywordTable* table : seen) EXPECT_EQ(table, &CKeywordTable::Instance());
}

}  // namespace
}  // namespace quor::core
