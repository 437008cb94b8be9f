// Both transformers' conversions through their real plug-ins: golden
// outputs, the comma-separated text read back field by field, and the fault
// documents of sources that are not response documents.
#include <optional>

#include "platform/com/classstore.h"
#include "platform/com/streamconvert.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"
#include "transform/common/fault.h"
#include "testing/PluginEnv.h"

namespace quor::transform::testing {
namespace {

using com::Bstr;
constexpr std::u16string_view kCsv = u"FlatConvert.TransCSV";
constexpr std::u16string_view kXhtml = u"GridPage.TransXHTML";

std::string ReadData(const char* name) { return ReadFile(fs::path(QUOR_TEST_DATA_DIR) / name); }

std::string ConvertUtf8(std::u16string_view progId, std::string_view src, const Bstr& rule = {}) {
  return Convert(progId, Bstr::FromUtf8(src), rule).ToUtf8();
}

// Reads RFC 4180 text: quoted fields may hold separators, quotes (doubled)
// and line feeds; every line ends with a line feed.
std::vector<std::vector<std::string>> ReadCsv(std::string_view csv) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (size_t i = 0; i < csv.size(); ++i) {
    const char c = csv[i];
    if (quoted && c == '"' && i + 1 < csv.size() && csv[i + 1] == '"')
      rows.back().back() += csv[i++];
    else if (c == '"')
      quoted = !quoted;
    else if (quoted || (c != ',' && c != '\n'))
      rows.back().back() += c;
    else if (c == ',')
      rows.back().emplace_back();
    else
      rows.emplace_back(1);
  }
  rows.pop_back();  // after the last line feed
  return rows;
}

std::string Escape(std::string_view value) {
  std::string out;
  for (char c : value)
    out += c == '<' ? "&lt;" : c == '&' ? "&amp;" : c == '>' ? "&gt;" : c == '"' ? "&quot;" : std::string(1, c);
  return out;
}

class TransformersTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    registry_.emplace();
    ASSERT_EQ(RunRegsvr({kFlatConvert.string()}), 0);
    ASSERT_EQ(RunRegsvr({kGridPage.string()}), 0);
  }
  static void TearDownTestSuite() { registry_.reset(); }
  static inline std::optional<TempRegistry> registry_;
};

TEST_F(TransformersTest, ExampleSourceAndAnyRule) {
  const std::string src =
      "<response><table name=\"T1\"><record><column name=\"ID\">1</column><column name=\"NAME\">a</column></record>"
      "<record><column name=\"ID\">2</column><column name=\"NAME\">b</column></record></table></response>";
  const std::string csv =
      "<response><table><caption>T1</caption><csv><![CDATA[ID,NAME\n1,a\n2,b\n]]></csv></table></response>";
  const std::string xhtml =
      "<response><html><table border=\"1\"><caption>T1</caption><tr><th>ID</th><th>NAME</th></tr>"
      "<tr><td>1</td><td>a</td></tr><tr><td>2</td><td>b</td></tr></table></html></response>";
  for (const Bstr& rule : {Bstr(), Bstr(u""), Bstr(u"r1 ignored")}) {
    EXPECT_EQ(ConvertUtf8(kCsv, src, rule), csv);
    EXPECT_EQ(ConvertUtf8(kXhtml, src, rule), xhtml);
  }
  EXPECT_EQ(ConvertUtf8(kCsv, "<response/>"), "<response/>");
  EXPECT_EQ(ConvertUtf8(kXhtml, "<response/>"), "<response><html/></response>");
}

// Several tables, captions present, missing and escaped, a table without
// records, empty values, non-ASCII text, values with ",", '"', line feeds,
// "<", "&" and "]]>", a non-column child with a name, uneven records.
TEST_F(TransformersTest, GoldenConversionsParseBackToTheirValues) {
  const std::string src = ReadData("mixed_response.xml");
  const std::string csv = ConvertUtf8(kCsv, src);
  const std::string xhtml = ConvertUtf8(kXhtml, src);
  EXPECT_EQ(csv, ReadData("mixed.csv.expected"));
  EXPECT_EQ(xhtml, ReadData("mixed.xhtml.expected"));

  xml::DocumentPtr out = xml::Document::Create();
  ASSERT_TRUE(out->loadXML(csv)) << out->parseError().reason;
  const std::string staff = out->documentElement()->firstChild()->lastChild()->text();
  EXPECT_EQ(ReadCsv(staff)[5], (std::vector<std::string>{"5", "Ünïcode ✓ 𝄞", "ends ]]> here"}));
  ASSERT_TRUE(out->loadXML(xhtml)) << out->parseError().reason;
  EXPECT_EQ(out->documentElement()->firstChild()->firstChild()->childNodes()[5]->text(), "4山田 太郎a < b && c > d");
}

TEST_F(TransformersTest, EveryCsvFieldKeepsItsColumn) {
  const std::vector<std::string> names = {"", "B,b", "C\"c\"", "D"};
  const std::vector<std::vector<std::string>> grid = {{"", "b", "", ""},
                                                      {"a", "", "c", ""},
                                                      {"", "", "", "d"},
                                                      {"x,y", "say \"no\"", "two\nlines", "]]>,\"]]>\""},
                                                      {"  padded ", "€ü", "'", ""}};
  std::string src = "<response><table name=\"grid\">";
  for (const auto& row : grid) {
    src += "<record>";
    for (size_t c = 0; c < row.size(); ++c)
      src += "<column name=\"" + Escape(names[c]) + "\">" + Escape(row[c]) + "</column>";
    src += "</record>";
  }
  src += "</table></response>";
  xml::DocumentPtr out = xml::Document::Create();
  ASSERT_TRUE(out->loadXML(ConvertUtf8(kCsv, src)));
  auto rows = ReadCsv(out->documentElement()->firstChild()->lastChild()->text());
  ASSERT_EQ(rows.size(), grid.size() + 1);
  EXPECT_EQ(rows[0], names);
  for (size_t r = 0; r < grid.size(); ++r) EXPECT_EQ(rows[r + 1], grid[r]) << "row " << r;
  // A carriage return is quoted too; only a plain value goes out unchanged.
  EXPECT_NE(ConvertUtf8(kCsv, "<response><table><r><column>a&#13;b</column><column>c d</column></r></table></response>")
                .find("\n\"a\rb\",c d\n"),
            std::string::npos);
}

TEST_F(TransformersTest, SourcesThatAreNotResponseDocumentsGiveTheFault) {
  const std::string tail = "</number><description>Source XML is ";
  const std::string csvFault = "<fault><faultactor>IFlatConvert</faultactor><detail><ErrorInfo><number>-2013265919" +
                               tail + "Invalid.</description></ErrorInfo></detail></fault>";
  const std::string xhtmlFault = "<fault><faultactor>IGridPage</faultactor><detail><ErrorInfo><number>-2013265919" +
                                 tail + "invalid.</description></ErrorInfo></detail></fault>";
  EXPECT_EQ(Convert(kCsv, Bstr()).ToUtf8(), csvFault);
  EXPECT_EQ(Convert(kXhtml, Bstr()).ToUtf8(), xhtmlFault);
  for (const char* src : {"", "not xml at all", "<response><table>", "<?xml version=\"1.0\"?><response/>",
                          "<!-- first --><response/>", "<root><table/></root>", "<response>text</response>",
                          "<response><table name=\"ok\"><r><column>1</column></r></table><other/></response>"}) {
    EXPECT_EQ(ConvertUtf8(kCsv, src), csvFault) << src;
    EXPECT_EQ(ConvertUtf8(kXhtml, src), xhtmlFault) << src;
  }
}

// What the stream entry points write, kept; the `failAt`th write fails.
struct Kept : com::ResultSink {
  Status Write(std::string_view piece) override {
    if (failAt && ++writes >= failAt) return Status(E_ABORT);
    text += piece;
    return Status();
  }
  std::string text;
  int writes = 0, failAt = 0;
};

// `src` through a new object's stream entry points, a piece per tag;
// the output, or the failing code as text.
std::string StreamConvert(std::u16string_view progId, std::string_view src, Kept& out) {
  com::ComPtr<com::IStreamConvert> stream;
  if (FAILED(com::CreateObject(progId, stream)) || !stream) return "no stream";
  if (FAILED(stream->BeginConvert(Bstr(), &out))) return "no begin";
  for (size_t at = 0; at < src.size();) {
    const size_t gt = src.find('>', at);
    const size_t end = gt == std::string_view::npos ? src.size() : gt + 1;
    if (const HRESULT hr = stream->ConvertPiece(src.substr(at, end - at)); FAILED(hr)) return std::to_string(hr);
    at = end;
  }
  if (const HRESULT hr = stream->EndConvert(); FAILED(hr)) return std::to_string(hr);
  return out.text;
}

// Read piece by piece, a source gives the text of the whole conversion's
// output parsed and written again, which is what a caller makes of it.
TEST_F(TransformersTest, ASourceReadPieceByPieceGivesTheWholeConversionsText) {
  std::string grid = "<response><table name=\"a &amp; b\"><record><column name=\"x\">1]]&gt;2</column><note "
                     "name=\"n\">i</note><column>  </column><column><b>in</b>ner</column></record>text<record/>"
                     "</table><table/><table name=\" \"><r><column>\"q\",</column></r></table></response>";
  // The source as a writer makes it: no CDATA section.
  std::string mixed = ReadData("mixed_response.xml");
  const std::string section = "<![CDATA[v2 <raw>]]>";
  ASSERT_NE(mixed.find(section), std::string::npos);
  mixed.replace(mixed.find(section), section.size(), "v2 &lt;raw&gt;");
  for (const std::string& src : {mixed, grid, std::string("<response/>")}) {
    for (const std::u16string_view progId : {kCsv, kXhtml}) {
      xml::DocumentPtr whole = xml::Document::Create();
      ASSERT_TRUE(whole->loadXML(ConvertUtf8(progId, src)));
      Kept out;
      EXPECT_EQ(StreamConvert(progId, src, out), whole->documentElement()->xml()) << src;
    }
  }
  // Not a response document; ended early; a sink that fails.
  const std::string invalid = std::to_string(kInvalidSource), unexpected = std::to_string(E_UNEXPECTED);
  Kept out;
  EXPECT_EQ(StreamConvert(kCsv, "<root><table/></root>", out), invalid);
  EXPECT_EQ(StreamConvert(kXhtml, "<response><record/></response>", out), invalid);
  EXPECT_EQ(StreamConvert(kCsv, "<response><table>", out), unexpected);
  EXPECT_EQ(StreamConvert(kCsv, "<response/><response/>", out), unexpected);
  std::string many = "<response><table>";
  for (int i = 0; i < 5000; ++i) many += "<record><column>" + std::to_string(i) + " of many</column></record>";
  Kept failing;
  failing.failAt = 2;
  EXPECT_EQ(StreamConvert(kXhtml, many + "</table></response>", failing), std::to_string(E_ABORT));
}

TEST(FaultDocumentTest, OnlyTheTransformersOwnCodesTakeStringTableTexts) {
  const StringEntry strings[] = {{101, "one"}, {103, "three"}, {114, "fourteen"}};
  const FaultSource source{"IX", strings};
  auto description = [&](HRESULT code) {
    xml::DocumentPtr doc = xml::Document::Create();
    EXPECT_TRUE(doc->loadXML(FaultDocument(source, code)));
    auto info = doc->documentElement()->lastChild()->firstChild();
    EXPECT_EQ(info->firstChild()->text(), std::to_string(code));
    return info->lastChild()->text();
  };
  EXPECT_EQ(description(kInvalidSource), "one");
  EXPECT_EQ(description(kNoRecordNode), "three");
  EXPECT_EQ(description(kNoSourceDocument), "");                  // no entry in this table
  EXPECT_EQ(description(E_OUTOFMEMORY), "");                      // low bits 14
  EXPECT_EQ(description(static_cast<HRESULT>(0x80070001u)), "");  // low bits 1
}

}  // namespace
}  // namespace quor::transform::testing
