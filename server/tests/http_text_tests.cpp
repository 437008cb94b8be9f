// The listener's readings of request text, on the inputs at their edges:
// broken escapes, ranges at and past a file's end, paths that try to leave
// their folder, coding lists a client or a hop may send.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/http_text.h"

using namespace quor::soap;

TEST(HttpTextTest, UrlEscapesDecodeAndBrokenOnesStay) {
  EXPECT_EQ(DecodeUrl("/a%20b%2Fc+%u00e9%u20AC", false), "/a b/c+\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(DecodeUrl("x%uD800y+%2B", true), "xy +") << "a surrogate half stands for nothing";
  for (const std::string broken : {"%", "%4", "%zz", "%u12", "%u12zz", "100%"})
    EXPECT_EQ(DecodeUrl(broken, false), broken);
}

TEST(HttpTextTest, ByteRangesWithinAndBeyondTheFile) {
  struct Case {
    const char* header;
    uint64_t size;
    bool satisfiable;
    uint64_t first, last;
  };
  uint64_t first = 0, last = 0;
  bool satisfiable = false;
  for (const Case& c : {Case{"bytes=2-4", 10, true, 2, 4}, Case{"bytes=5-99", 10, true, 5, 9},
                        Case{"bytes=3-", 10, true, 3, 9}, Case{"bytes=-4", 10, true, 6, 9},
                        Case{"bytes=-40", 10, true, 0, 9}, Case{"bytes=10-", 10, false, 0, 0},
                        Case{"bytes=-0", 10, false, 0, 0}, Case{"bytes=-5", 0, false, 0, 0}}) {
    ASSERT_TRUE(ByteRange(c.header, c.size, first, last, satisfiable)) << c.header;
    EXPECT_EQ(satisfiable, c.satisfiable) << c.header;
    if (c.satisfiable) {
      EXPECT_EQ(std::make_pair(first, last), std::make_pair(c.first, c.last)) << c.header;
    }
  }
  // Forms not honoured: the whole file goes.
  for (const char* h : {"bytes=4-2", "bytes=1-2,4-5", "bytes=-", "bytes=+1-2", "bytes=1-99999999999999999999999"})
    EXPECT_FALSE(ByteRange(h, 10, first, last, satisfiable)) << h;
}

TEST(HttpTextTest, PathSegmentsNeverLeaveTheFolder) {
  std::vector<std::string> s;
  EXPECT_EQ(PathSegments("/a/./b//.../", s), PathCheck::Ok);
  EXPECT_EQ(s, (std::vector<std::string>{"a", "b", "..."}));
  for (const std::string& bad : std::vector<std::string>{"a/../../x", "a/..", "a\\..\\x", {"a\0b", 3}})
    EXPECT_EQ(PathSegments(bad, s), PathCheck::Refused) << bad;
  s.clear();
  EXPECT_EQ(PathSegments("/./.", s), PathCheck::Empty);
}

TEST(HttpTextTest, HeaderListsAndTransferCodings) {
  EXPECT_EQ(HeaderList(" a ,, b\t,c d ,"), (std::vector<std::string_view>{"a", "b", "c d"}));
  using V = std::vector<std::string_view>;
  EXPECT_EQ(ReadTransferCoding({}), TransferCoding::None);
  for (const V& v : {V{"chunked"}, V{" CHUNKED\t"}, V{", chunked ,"}, V{"", "Chunked"}})
    EXPECT_EQ(ReadTransferCoding(v), TransferCoding::Chunked) << v.back();
  for (const V& v : {V{"gzip, chunked"}, V{"xchunked"}, V{"chunked, identity"}, V{"chunked;x=1"},
                     V{"chunked, chunked"}, V{"gzip", "chunked"}})
    EXPECT_EQ(ReadTransferCoding(v), TransferCoding::Unknown) << v.front();
  EXPECT_EQ(ReadTransferCoding(V{" , ", ""}), TransferCoding::Empty);
}

TEST(HttpTextTest, CountsAreDigitsWithinTheirBounds) {
  uint64_t n = 7;
  EXPECT_TRUE(ParseCount("18446744073709551615", 0, UINT64_MAX, n));
  EXPECT_EQ(n, UINT64_MAX);
  n = 7;
  for (const char* bad : {"", "65536", "-1", "+1", " 1", "1a", "18446744073709551616"})
    EXPECT_FALSE(ParseCount(bad, 0, 65535, n)) << bad;
  EXPECT_EQ(n, 7u) << "untouched on failure";
}
