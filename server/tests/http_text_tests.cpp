// The listener's readings of request text, on the inputs that sit at their
// edges: broken escapes, ranges at and past a file's end, paths that try to
// leave their folder, list and coding forms a client or a hop may send.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/http_text.h"

using namespace quor::soap;

TEST(HttpTextTest, UrlEscapesDecodeAndBrokenOnesStay) {
  EXPECT_EQ(DecodeUrl("/a%20b%2Fc", false), "/a b/c");
  EXPECT_EQ(DecodeUrl("%u00e9%u20AC%u0041", false), "\xC3\xA9\xE2\x82\xAC" "A");
  // Surrogate halves stand for nothing; the escape is still consumed.
  EXPECT_EQ(DecodeUrl("x%uD800y", false), "xy");
  for (const std::string broken : {"%", "%4", "%zz", "%u12", "%u12zz", "100%"})
    EXPECT_EQ(DecodeUrl(broken, false), broken) << broken;
  EXPECT_EQ(DecodeUrl("%00", false), std::string(1, '\0'));
  EXPECT_EQ(DecodeUrl("a+b", false), "a+b");
  EXPECT_EQ(DecodeUrl("a+b%2B", true), "a b+");
}

TEST(HttpTextTest, ByteRangesWithinAndBeyondTheFile) {
  uint64_t first = 0, last = 0;
  bool ok = false;
  ASSERT_TRUE(ByteRange("bytes=2-4", 10, first, last, ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(first, 2u);
  EXPECT_EQ(last, 4u);
  ASSERT_TRUE(ByteRange("bytes=5-99", 10, first, last, ok));  // cut at the end
  EXPECT_TRUE(ok);
  EXPECT_EQ(last, 9u);
  ASSERT_TRUE(ByteRange("bytes=3-", 10, first, last, ok));
  EXPECT_EQ(first, 3u);
  EXPECT_EQ(last, 9u);
  ASSERT_TRUE(ByteRange("bytes=-4", 10, first, last, ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(first, 6u);
  ASSERT_TRUE(ByteRange("bytes=-40", 10, first, last, ok));  // more than there is: all of it
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(last, 9u);

  // Beyond the end, an empty suffix, an empty file: nothing to send.
  ASSERT_TRUE(ByteRange("bytes=10-", 10, first, last, ok));
  EXPECT_FALSE(ok);
  ASSERT_TRUE(ByteRange("bytes=-0", 10, first, last, ok));
  EXPECT_FALSE(ok);
  ASSERT_TRUE(ByteRange("bytes=-5", 0, first, last, ok));
  EXPECT_FALSE(ok);

  // Forms not honoured: the whole file goes.
  for (const char* h : {"", "bytes=", "bytes=-", "bytes=4-2", "bytes=1-2,4-5", "items=1-2", "bytes=a-2", "bytes=+1-2",
                        "bytes=1-99999999999999999999999"})
    EXPECT_FALSE(ByteRange(h, 10, first, last, ok)) << h;
}

TEST(HttpTextTest, PathSegmentsNeverLeaveTheFolder) {
  std::vector<std::string> s;
  EXPECT_EQ(PathSegments("/a/./b//c/", s), PathCheck::Ok);
  EXPECT_EQ(s, (std::vector<std::string>{"a", "b", "c"}));
  s.clear();
  EXPECT_EQ(PathSegments("...", s), PathCheck::Ok) << "a name, not a step up";
  for (const std::string& bad : std::vector<std::string>{"../x", "a/../../x", "a/..", "a\\..\\x", {"a\0b", 3}}) {
    s.clear();
    EXPECT_EQ(PathSegments(bad, s), PathCheck::Refused) << bad;
  }
  for (const char* empty : {"", "/", "./", "/./."}) {
    s.clear();
    EXPECT_EQ(PathSegments(empty, s), PathCheck::Empty) << empty;
  }
}

TEST(HttpTextTest, HeaderListsAndTransferCodings) {
  EXPECT_EQ(HeaderList(" a ,, b\t,c d ,"), (std::vector<std::string_view>{"a", "b", "c d"}));
  EXPECT_TRUE(HeaderList(" , \t,").empty());

  using V = std::vector<std::string_view>;
  EXPECT_EQ(ReadTransferCoding({}), TransferCoding::None);
  for (const V& chunked : {V{"chunked"}, V{"CHUNKED"}, V{" Chunked\t"}, V{", chunked ,"}, V{"", "chunked"}})
    EXPECT_EQ(ReadTransferCoding(chunked), TransferCoding::Chunked) << chunked.back();
  for (const V& unknown : {V{"gzip, chunked"}, V{"xchunked"}, V{"chunked, identity"}, V{"chunked;x=1"},
                           V{"chunked, chunked"}, V{"gzip", "chunked"}, V{"identity"}, V{"chunk ed"}})
    EXPECT_EQ(ReadTransferCoding(unknown), TransferCoding::Unknown) << unknown.front();
  EXPECT_EQ(ReadTransferCoding(V{""}), TransferCoding::Empty);
  EXPECT_EQ(ReadTransferCoding(V{" , ", ""}), TransferCoding::Empty);
}

TEST(HttpTextTest, CountsAreDigitsWithinTheirBounds) {
  uint64_t n = 7;
  EXPECT_TRUE(ParseCount("0", 0, 10, n));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(ParseCount("65535", 0, 65535, n));
  EXPECT_EQ(n, 65535u);
  EXPECT_TRUE(ParseCount("18446744073709551615", 0, UINT64_MAX, n));
  EXPECT_EQ(n, UINT64_MAX);
  n = 7;
  for (const char* bad : {"", "65536", "-1", "+1", " 1", "1 ", "1a", "0x10", "18446744073709551616"})
    EXPECT_FALSE(ParseCount(bad, 0, 65535, n)) << bad;
  EXPECT_FALSE(ParseCount("0", 1, 10, n));
  EXPECT_EQ(n, 7u) << "untouched on failure";
}
