// The listener's readings of request text, on the inputs at their edges:
// broken escapes, ranges at and past a file's end, paths that try to leave
// their folder, coding lists a client or a hop may send; and the texts of
// its answers: content types by file name, reason phrases.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
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

TEST(HttpTextTest, ByteRangesAtTheirEdges) {
  uint64_t first = 0, last = 0;
  bool satisfiable = false;
  const auto range = [&](const char* header, uint64_t size) {
    first = last = 99;
    satisfiable = false;
    return ByteRange(header, size, first, last, satisfiable);
  };
  // The first byte, the last one, white space around the numbers.
  for (const auto& [header, from, to] : {std::tuple{"bytes=0-0", 0, 0}, std::tuple{"bytes=9-9", 9, 9},
                                         std::tuple{"bytes=9-", 9, 9}, std::tuple{"bytes=-1", 9, 9},
                                         std::tuple{"bytes= 2 - 4 ", 2, 4}, std::tuple{"bytes=002-004", 2, 4}}) {
    ASSERT_TRUE(range(header, 10)) << header;
    EXPECT_TRUE(satisfiable) << header;
    EXPECT_EQ(std::make_pair(first, last), std::make_pair(uint64_t(from), uint64_t(to))) << header;
  }
  // Honoured, but nothing of the file lies there: 416.
  for (const auto& [header, size] : {std::pair{"bytes=20-30", 10}, std::pair{"bytes=0-", 0}, std::pair{"bytes=0-0", 0},
                                     std::pair{"bytes=18446744073709551615-", 10}}) {
    ASSERT_TRUE(range(header, size)) << header;
    EXPECT_FALSE(satisfiable) << header;
  }
  // Not a single range of bytes as written: the whole file goes. The unit is
  // matched with its case.
  for (const char* h : {"", "bytes=", "bytes=5", "bytes=a-b", "bytes=1-2-3", "bytes=0x1-2", "bytes=1-2,",
                        "bytes=,1-2", "bytes=-1-", "items=1-2", "Bytes=1-2", "bytes =1-2"})
    EXPECT_FALSE(range(h, 10)) << h;
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

TEST(HttpTextTest, EscapedPathsAreRefusedOnceDecoded) {
  // The path is decoded once, before its segments are read: an escaped dot,
  // slash, backslash or NUL counts as the character itself.
  for (const char* escaped : {"/%2e%2E/x", "/a%2f..%2fb", "/%u002e%u002E/x", "/a%5c..", "/a%00b", "/%u005c"}) {
    std::vector<std::string> s;
    EXPECT_EQ(PathSegments(DecodeUrl(escaped, false), s), PathCheck::Refused) << escaped;
  }
  // Escaped twice it is decoded once only: a name, not "..".
  std::vector<std::string> s;
  EXPECT_EQ(PathSegments(DecodeUrl("/%252e%252e/x", false), s), PathCheck::Ok);
  EXPECT_EQ(s, (std::vector<std::string>{"%2e%2e", "x"}));
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

TEST(HttpTextTest, ContentTypesByTheLastExtension) {
  for (const auto& [name, type] :
       {std::pair{"/r/a.xml", "text/xml"}, std::pair{"/r/A.PNG", "image/png"}, std::pair{"/r/page.Htm", "text/html"},
        std::pair{"/r/app.js", "application/javascript"}, std::pair{"/r/x.tar.zip", "application/zip"},
        std::pair{"/r/.css", "text/css"}})
    EXPECT_EQ(MimeType(name), type) << name;
  // The whole extension, after the last dot of the path.
  for (const char* name : {"/r/noext", "/r/a.jsonx", "/r/a.gz", "/r/file.", "/r/dir.xml/file", ""})
    EXPECT_EQ(MimeType(name), "application/octet-stream") << name;
}

TEST(HttpTextTest, ReasonPhrases) {
  EXPECT_EQ(ReasonPhrase(416), "Range Not Satisfiable");
  EXPECT_EQ(ReasonPhrase(431), "Request Header Fields Too Large");
  EXPECT_EQ(ReasonPhrase(418), "Error") << "a status the listener never refuses with";
}
