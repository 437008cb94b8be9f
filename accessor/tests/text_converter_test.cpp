#include <gtest/gtest.h>

#include "accessor/text_converter.h"

namespace quor::accessor {
namespace {

std::u16string DecodeAs(const char* encoding, std::string_view bytes) {
  TextConverter converter;
  if (encoding) converter.SetEncoding(std::string_view(encoding));
  return converter.Decode(bytes);
}

TEST(TextConverter, AsciiIsTheSameUnderEveryEncoding) {
  for (const char* encoding : {static_cast<const char*>(nullptr), "SJIS", "sjis", "EUC_JP", "euc_jp", "UTF-8",
                               "ISO-8859-1", "no-such-charset"})
    EXPECT_EQ(u"SELECT 1, 'a'", DecodeAs(encoding, "SELECT 1, 'a'")) << (encoding ? encoding : "(none)");
}

TEST(TextConverter, DecodesEucJp) {
  struct Case {
    const char* name;
    std::string bytes;
    std::u16string expected;
  } cases[] = {
      {"two-byte hiragana", "\xA4\xA2", u"\u3042"},
      {"half-width katakana", "\x8E\xB1", u"\uFF71"},
      {"three-byte JIS X 0212", "\x8F\xB0\xA1", u"\u4E02"},
      {"mixed with ASCII", "a\xA4\xA2z", u"a\u3042z"},
      {"incomplete two-byte tail", std::string("ab\xA4", 3), u"ab"},
      {"incomplete three-byte tail", std::string("x\x8F\xB0", 3), u"x"},
      {"invalid byte goes on", "\xA4\xA2\xFF" "b", u"\u3042\uFFFDb"},
      // Rewritten to Shift_JIS and read as code page 932: its wave dash and
      // its vendor row (circled digits), as Shift_JIS data would give them.
      {"wave dash", "\xA1\xC1", u"\uFF5E"},
      {"vendor row 13", "\xAD\xA1", u"\u2460"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(k.expected, DecodeAs("EUC_JP", k.bytes)) << k.name;
    EXPECT_EQ(k.expected, DecodeAs("euc_jp", k.bytes)) << k.name;
  }
}

TEST(TextConverter, DecodesShiftJisUtf8AndOtherCharsets) {
  EXPECT_EQ(u"\u3042", DecodeAs("SJIS", "\x82\xA0"));
  EXPECT_EQ(u"\uFF5E\u2460", DecodeAs("sjis", "\x81\x60\x87\x40"));
  EXPECT_EQ(u"a\uFFFDb", DecodeAs("SJIS", "a\xA0" "b"));
  EXPECT_EQ(u"\u3042", DecodeAs(nullptr, "\xE3\x81\x82"));
  EXPECT_EQ(u"\u3042", DecodeAs("utf-8", "\xE3\x81\x82"));
  EXPECT_EQ(u"\u00E9", DecodeAs("ISO-8859-1", "\xE9"));
  // An unknown charset reads the bytes as UTF-8; invalid bytes are replaced.
  EXPECT_EQ(u"\u3042", DecodeAs("no-such-charset", "\xE3\x81\x82"));
  EXPECT_EQ(u"a\uFFFD", DecodeAs(nullptr, "a\xFF"));
}

TEST(TextConverter, LongTextGrowsItsBuffer) {
  std::string bytes;
  for (int i = 0; i < 100000; ++i) bytes += "\xA4\xA2";
  const std::u16string out = DecodeAs("EUC_JP", bytes);
  ASSERT_EQ(100000u, out.size());
  EXPECT_EQ(std::u16string(100000, u'\u3042'), out);
}

TEST(TextConverter, EncodingCanBeCleared) {
  TextConverter converter;
  converter.SetEncoding(std::string_view("EUC_JP"));
  EXPECT_EQ("EUC_JP", converter.encoding().value_or(""));
  converter.SetEncoding(std::nullopt);
  EXPECT_FALSE(converter.encoding());
  EXPECT_EQ(u"\u3042", converter.Decode("\xE3\x81\x82"));
}

}  // namespace
}  // namespace quor::accessor
