// An answer text goes into the Query answer unparsed only when parsing it and
// writing it out again would give the same text.
#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <random>
#include <string>

#include "core/query/ResultText.h"
#include "platform/com/bstr.h"
#include "platform/xml/dom.h"

namespace quor::core {
namespace {

// The text the engine used to make of `text`: parsed, its first node written.
std::optional<std::u16string> Rewritten(const std::u16string& text) {
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(std::u16string_view(text)) || !doc->firstChild()) return std::nullopt;
  return com::Bstr::FromUtf8(doc->firstChild()->xml()).Str();
}

TEST(WrittenAnswers, WrittenElementsAreExactlyWhatTheWriterGives) {
  const std::u16string written[] = {
      u"<table name=\"a.b\"><record><column name=\"id\" type=\"DBTYPE_I4\">1</column><column name=\"v\"/></record>"
      u"</table>",
      u"<x a=\"&amp;&lt;&gt;&quot;&#x9;&#xA;&#xD;'\">a&amp;b&lt;c&gt;&#xD;\t\n \"' \u00e9\U0001F600<y/></x>",
      u"<response><resultCode>0</resultCode></response>",
      u"<e/>",
  };
  for (const std::u16string& text : written) {
    EXPECT_TRUE(IsWrittenElement(text)) << com::Bstr(text).ToUtf8();
    EXPECT_EQ(Rewritten(text), text) << com::Bstr(text).ToUtf8();
  }
  WrittenElement element;
  ASSERT_TRUE(IsWrittenElement(written[0], &element));
  EXPECT_EQ(element.tag, u"table");
  EXPECT_EQ(element.name, u"a.b");
  ASSERT_TRUE(IsWrittenElement(com::Bstr(written[0]).ToUtf8(), &element));
  EXPECT_EQ(element.tag, u"table");
  EXPECT_EQ(element.name, u"a.b");
  // Bytes that are no UTF-8, or a character XML refuses, in UTF-8 form.
  for (const std::string_view bad : {"<x>\xC3</x>", "<x>\xED\xA0\x80</x>", "<x>\xEF\xBF\xBE</x>", "<x>\xC0\xAF</x>"})
    EXPECT_FALSE(IsWrittenElement(bad)) << bad;

  // Each parses to something written differently, or does not parse.
  const std::u16string other[] = {
      u"<a></a>", u"<a> </a>", u"<a><b/> <c/></a>", u"<a b='1'/>", u"<a b=\"1\" b=\"2\"/>", u"<a>x\r</a>",
      u"<a>&#65;</a>", u"<a>&apos;</a>", u"<a>]]&gt;></a>", u"<?xml version=\"1.0\"?><a/>", u"<a/><!--c-->",
      u"<a><![CDATA[x]]></a>", u"<a  b=\"1\"/>", u"<a b=\"\t\"/>", u"<a>\x01</a>", u"<a>\xD800</a>", u"<a>x</b>",
      u"<a>", u" <a/>", u"<a/>x", u"\xFEFF<a/>", u"<a b=\"<\"/>", u"<a>&amp</a>",
  };
  for (const std::u16string& text : other) EXPECT_FALSE(IsWrittenElement(text)) << com::Bstr(text).ToUtf8();
}

// Random elements whose values and texts hold what the rules are about,
// some of them then spoilt by one change.
class Generator {
 public:
  std::u16string Element(int depth) {
    std::u16string s = u"<" + Pick(kNames);
    for (unsigned n = random_() % 3; n > 0; --n) s += u" " + Pick(kNames) + u"=\"" + Run() + u"\"";
    if (depth > 2 || random_() % 3 == 0) return s + u"/>";
    s += u">";
    for (unsigned n = random_() % 3; n > 0; --n) s += random_() % 2 ? Element(depth + 1) : Run();
    return s + u"</" + s.substr(1, 1) + u">";
  }
  void Spoil(std::u16string& s) {
    const size_t at = random_() % (s.size() + 1);
    if (random_() % 2 && at < s.size()) s.erase(at, 1);
    else s.insert(at, Pick(kExtras));
  }
  bool Coin() { return random_() % 2; }

 private:
  std::u16string Run() {
    std::u16string s;
    for (unsigned n = random_() % 4; n > 0; --n) s += Pick(kPieces);
    return s;
  }
  template <size_t N>
  std::u16string Pick(const std::u16string_view (&from)[N]) {
    return std::u16string(from[random_() % N]);
  }
  static constexpr std::u16string_view kNames[] = {u"a", u"b"};
  static constexpr std::u16string_view kPieces[] = {
      u"x",  u" ",  u"\n",    u"\t",    u"\r",    u"&amp;", u"&#xD;", u"&#xA;", u"&#x9;",       u"&quot;",
      u"'", u"\"", u"&gt;",  u">",     u"]]",    u"<",     u"&lt;",  u"\u00e9", u"\U0001F600"};
  static constexpr std::u16string_view kExtras[] = {u" ", u"<!--c-->", u"<![CDATA[x]]>", u"&apos;", u"</a>", u"<a/>"};
  std::mt19937 random_{7};
};

TEST(WrittenAnswers, WhatPassesUnparsedWouldComeBackUnchanged) {
  Generator generate;
  int taken = 0, refused = 0;
  for (int round = 0; round < 20000; ++round) {
    std::u16string text = generate.Element(0);
    if (generate.Coin()) generate.Spoil(text);
    const bool written = IsWrittenElement(text);
    // The UTF-8 reading of the same text agrees (a lone surrogate has no UTF-8 form).
    const std::string utf8 = com::Bstr(text).ToUtf8();
    if (com::Bstr::FromUtf8(utf8).Str() == text) {
      ASSERT_EQ(IsWrittenElement(utf8), written) << utf8;
      // Read in parts cut after some of its '>', as a streamed answer is,
      // it gets the same verdict.
      WrittenStream parts;
      size_t from = 0;
      bool fed = true;
      for (size_t gt = utf8.find('>'); gt != std::string::npos && fed; gt = utf8.find('>', gt + 1)) {
        if (!generate.Coin()) continue;
        fed = parts.Feed(std::string_view(utf8).substr(from, gt + 1 - from));
        from = gt + 1;
      }
      ASSERT_EQ(fed && parts.Feed(std::string_view(utf8).substr(from)) && parts.Complete(), written) << utf8;
    }
    if (!written) {
      ++refused;
      continue;
    }
    ++taken;
    ASSERT_EQ(Rewritten(text), text) << com::Bstr(text).ToUtf8();
  }
  EXPECT_GT(taken, 1000);
  EXPECT_GT(refused, 1000);
}

}  // namespace
}  // namespace quor::core
