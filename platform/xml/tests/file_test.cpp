// Files: encodings on the way in, UTF-8 with a declaration on the way out.
#include "platform/text/text.h"
#include "platform/xml/dom.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace quor::xml {
namespace {

using testing::DataFile;
using testing::Parse;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

std::string Encode(std::string_view utf8, std::string_view charset) {
  const auto out = text::FromUtf8(utf8, charset);
  EXPECT_TRUE(out.ok()) << out.status().message();
  return out.ok() ? *out : std::string();
}

TEST(XmlFile, ShiftJisFile) {
  auto doc = Document::Create();
  ASSERT_TRUE(doc->load(DataFile("shift_jis.xml"))) << doc->parseError().reason;
  auto root = doc->documentElement();
  ASSERT_TRUE(root);
  EXPECT_EQ(root->nodeName(), "config");
  EXPECT_EQ(doc->firstChild()->nodeValue(), "version=\"1.0\" encoding=\"Shift_JIS\"");
  EXPECT_EQ(doc->firstChild()->nextSibling()->nodeValue(), " 設定ファイル ");
  auto kids = root->childNodes();
  ASSERT_EQ(kids.size(), 3u);
  EXPECT_EQ(kids[0]->text(), "日本語テキスト");
  // 0x5C is a backslash, also as the second byte of a character.
  EXPECT_EQ(kids[1]->text(), "C:\\Quor\\ソース");
  EXPECT_EQ(kids[2]->text(), "①Ⅱ") << "the Windows extensions of Shift_JIS";
}

TEST(XmlFile, EucJpFile) {
  auto doc = Document::Create();
  ASSERT_TRUE(doc->load(DataFile("euc_jp.xml"))) << doc->parseError().reason;
  EXPECT_EQ(doc->documentElement()->xml(), "<config><name>日本語テキスト</name><kana>ｶﾀｶﾅ</kana></config>");
}

TEST(XmlFile, Utf16WithByteOrderMark) {
  auto doc = Document::Create();
  ASSERT_TRUE(doc->load(DataFile("utf16le_bom.xml"))) << doc->parseError().reason;
  EXPECT_EQ(doc->documentElement()->xml(), "<config><name>日本語テキスト</name><emoji>\U0001F600</emoji></config>");

  // The same text big-endian, and little-endian without a mark.
  TempDir dir;
  const std::u16string text = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>é日</a>";
  std::string be = "\xFE\xFF";
  std::string le;
  for (char16_t c : text) {
    be += static_cast<char>(c >> 8);
    be += static_cast<char>(c & 0xFF);
    le += static_cast<char>(c & 0xFF);
    le += static_cast<char>(c >> 8);
  }
  WriteBytes(dir.File("be.xml"), be);
  WriteBytes(dir.File("le.xml"), le);
  ASSERT_TRUE(doc->load(dir.File("be.xml"))) << doc->parseError().reason;
  EXPECT_EQ(doc->documentElement()->text(), "é日");
  ASSERT_TRUE(doc->load(dir.File("le.xml"))) << doc->parseError().reason;
  EXPECT_EQ(doc->documentElement()->text(), "é日");

  // An odd byte at the end is refused.
  WriteBytes(dir.File("odd.xml"), le + "x");
  EXPECT_FALSE(doc->load(dir.File("odd.xml")));
  EXPECT_EQ(doc->parseError().code(), ParseErrorCode::BadEncoding);
}

TEST(XmlFile, UnicodeBomAndOtherDeclaredEncodings) {
  TempDir dir;
  auto doc = Document::Create();

  WriteBytes(dir.File("bom.xml"), "\xEF\xBB\xBF<?xml version=\"1.0\"?><a>ü</a>");
  ASSERT_TRUE(doc->load(dir.File("bom.xml"))) << doc->parseError().reason;
  EXPECT_EQ(doc->documentElement()->text(), "ü");

  WriteBytes(dir.File("latin1.xml"), "<?xml version='1.0' encoding='ISO-8859-1'?><a>caf\xE9</a>");
  ASSERT_TRUE(doc->load(dir.File("latin1.xml"))) << doc->parseError().reason;
  EXPECT_EQ(doc->documentElement()->text(), "café");

  WriteBytes(dir.File("w31j.xml"),
             Encode("<?xml version=\"1.0\" encoding=\"Windows-31J\"?><a b=\"表示\">①\\</a>", "CP932"));
  ASSERT_TRUE(doc->load(dir.File("w31j.xml"))) << doc->parseError().reason;
  EXPECT_EQ(doc->documentElement()->xml(), "<a b=\"表示\">①\\</a>");

  WriteBytes(dir.File("plain.xml"), "<a>日本</a>");  // no declaration: UTF-8
  ASSERT_TRUE(doc->load(dir.File("plain.xml")));
  EXPECT_EQ(doc->documentElement()->text(), "日本");
}

TEST(XmlFile, EncodingFailuresArePlaced) {
  TempDir dir;
  auto doc = Document::Create();

  WriteBytes(dir.File("unknown.xml"), "<?xml version=\"1.0\" encoding=\"x-unheard-of\"?><a/>");
  EXPECT_FALSE(doc->load(dir.File("unknown.xml")));
  EXPECT_EQ(doc->parseError().code(), ParseErrorCode::UnknownEncoding);
  EXPECT_NE(doc->parseError().reason.find("x-unheard-of"), std::string::npos);
  EXPECT_EQ(doc->parseError().line, 1);
  EXPECT_EQ(doc->parseError().linepos, 31);
  EXPECT_FALSE(doc->hasChildNodes());

  // 0x81 0x20 is not a Shift_JIS character.
  WriteBytes(dir.File("bad_sjis.xml"),
             Encode("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<a>\n  日本", "CP932") + "\x81\x20</a>");
  EXPECT_FALSE(doc->load(dir.File("bad_sjis.xml")));
  EXPECT_EQ(doc->parseError().code(), ParseErrorCode::BadEncoding);
  EXPECT_EQ(doc->parseError().line, 3);
  EXPECT_EQ(doc->parseError().linepos, 5);

  WriteBytes(dir.File("fake16.xml"), "<?xml version=\"1.0\" encoding=\"UTF-16\"?><a/>");
  EXPECT_FALSE(doc->load(dir.File("fake16.xml")));
  EXPECT_EQ(doc->parseError().code(), ParseErrorCode::BadEncoding);

  WriteBytes(dir.File("bad_utf8.xml"), "<?xml version=\"1.0\"?>\n<a>\xFF</a>");
  EXPECT_FALSE(doc->load(dir.File("bad_utf8.xml")));
  EXPECT_EQ(doc->parseError().code(), ParseErrorCode::BadEncoding);
  EXPECT_EQ(doc->parseError().line, 2);
  EXPECT_EQ(doc->parseError().linepos, 4);

  EXPECT_FALSE(doc->load(dir.File("missing.xml")));
  EXPECT_EQ(doc->parseError().code(), ParseErrorCode::FileError);
  EXPECT_EQ(doc->parseError().line, 0) << "no place for a missing file";
  EXPECT_FALSE(doc->parseError().reason.empty());
}

TEST(XmlFile, SaveWritesUtf8WithDeclaration) {
  TempDir dir;
  auto doc = Document::Create();
  auto root = doc->createElement("root");
  root->setText("日本 & more");
  doc->appendChild(root);
  ASSERT_TRUE(doc->save(dir.File("new.xml")));
  EXPECT_EQ(ReadBytes(dir.File("new.xml")), "<?xml version=\"1.0\" encoding=\"UTF-8\"?><root>日本 &amp; more</root>");
  EXPECT_EQ(doc->xml(), "<root>日本 &amp; more</root>") << "saving adds nothing to the document";

  // A document with its own declaration keeps it, with a truthful encoding.
  auto sjis = Document::Create();
  ASSERT_TRUE(sjis->load(DataFile("shift_jis.xml")));
  ASSERT_TRUE(sjis->save(dir.File("converted.xml")));
  const std::string bytes = ReadBytes(dir.File("converted.xml"));
  EXPECT_TRUE(bytes.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?><!-- 設定ファイル --><config>")) << bytes;
  EXPECT_TRUE(text::IsValidUtf8(bytes));
  auto back = Document::Create();
  ASSERT_TRUE(back->load(dir.File("converted.xml")));
  EXPECT_EQ(back->documentElement()->xml(), sjis->documentElement()->xml());
  EXPECT_EQ(sjis->firstChild()->nodeValue(), "version=\"1.0\" encoding=\"Shift_JIS\"") << "the node is unchanged";

  // "utf-8" as written stays; other pseudo-attributes stay; a missing encoding is added.
  auto lower = Parse("<?xml version='1.0' encoding='utf-8' standalone='yes'?><a/>");
  ASSERT_TRUE(lower->save(dir.File("lower.xml")));
  EXPECT_EQ(ReadBytes(dir.File("lower.xml")), "<?xml version='1.0' encoding='utf-8' standalone='yes'?><a/>");
  auto bare = Parse("<?xml version=\"1.0\"?><a/>");
  ASSERT_TRUE(bare->save(dir.File("bare.xml")));
  EXPECT_EQ(ReadBytes(dir.File("bare.xml")), "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>");

  // Saving over a file replaces it; '\' separators are accepted.
  ASSERT_TRUE(doc->save(dir.Path().string() + "\\bare.xml"));
  EXPECT_EQ(ReadBytes(dir.File("bare.xml")), ReadBytes(dir.File("new.xml")));
}

TEST(XmlFile, FailedSaveLeavesNoFile) {
  TempDir dir;
  auto doc = Parse("<a>x</a>");
  const std::string target = dir.File("missing-folder/out.xml");
  EXPECT_FALSE(doc->save(target));
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path())) << "no temporary file left behind";

  // A folder in the way of the file: nothing replaces it.
  std::filesystem::create_directory(dir.File("taken.xml"));
  EXPECT_FALSE(doc->save(dir.File("taken.xml")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("taken.xml")));
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path())) ++entries;
  EXPECT_EQ(entries, 1u);
}

}  // namespace
}  // namespace quor::xml
