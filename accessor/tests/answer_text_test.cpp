#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "accessor/answer_text.h"
#include "accessor/tests/test_util.h"

namespace quor::accessor {
namespace {

using testing::Load;

TEST(AnswerText, WritesWhatTheDocumentModelWrites) {
  const std::string tricky = "a\"b<c>&d\te\nf\rg'h ]]> \xC3\xA9";
  const xml::DocumentPtr doc = xml::Document::Create();
  const xml::NodePtr table = doc->createElement("table");
  table->setAttribute("name", tricky);
  doc->appendChild(table);
  const xml::NodePtr record = doc->createElement("record");
  table->appendChild(record);
  const xml::NodePtr full = doc->createElement("column");
  full->setAttribute("name", "x");
  full->setText(tricky);
  record->appendChild(full);
  const xml::NodePtr empty = doc->createElement("column");
  empty->setAttribute("type", "DBTYPE_STR");
  record->appendChild(empty);
  const xml::DocumentPtr embedded =
      Load("<a k=\"1 &amp; 2\"><![CDATA[x<y]]>y]]&gt;<!--c--><?p d?><b/>&#xD;</a>");
  const xml::NodePtr holder = doc->createElement("column");
  holder->appendChild(embedded->documentElement()->cloneNode(true));
  record->appendChild(holder);

  AnswerText out;
  out.Open("table");
  out.Attribute("name", tricky);
  out.Open("record");
  out.Open("column", AnswerText::StartTag("column", {{"name", "x"}}));
  out.Text(tricky);
  out.Close();
  out.Open("column", AnswerText::StartTag("column", {{"type", "DBTYPE_STR"}}));
  out.Text("");
  out.Close();
  out.Open("column");
  out.Node(*embedded->documentElement());
  out.Close();
  out.Close();
  out.Close();
  EXPECT_EQ(out.str(), table->xml());
  // Written at the top, a document's element goes through the tracked path.
  AnswerText top;
  top.Node(*embedded->documentElement());
  EXPECT_EQ(top.str(), embedded->documentElement()->xml());
}

TEST(AnswerText, KeepsTopFirstChildAndResultCodesAcrossRewinds) {
  AnswerText out;
  out.Open("response");
  const AnswerText::Mark start = out.Here();
  out.Open("resultCode");
  out.Text("80040E2F");
  out.Close();
  EXPECT_FALSE(out.ResultCodesZero());
  out.Rewind(start);
  EXPECT_TRUE(out.ResultCodesZero());
  EXPECT_TRUE(out.FirstChild().empty());

  // A part written on its own becomes children where it is appended.
  AnswerText head;
  head.Open("resultCode");
  head.PlainText("0");
  head.Close();
  head.Open("parameter");
  head.Close();
  out.Append(head);
  out.Close();
  EXPECT_EQ(out.str(), "<response><resultCode>0</resultCode><parameter/></response>");
  EXPECT_EQ(out.Top(), out.str());
  EXPECT_EQ(out.FirstChild(), "<resultCode>0</resultCode>");
  EXPECT_TRUE(out.ResultCodesZero());

  AnswerText empty;
  empty.Open("response");
  empty.Open("resultCode");
  empty.Close();
  empty.Close();
  EXPECT_FALSE(empty.ResultCodesZero()) << "a resultCode without text is not \"0\"";
}

// With a sink, the text leaves in pieces once it has grown past a flush's
// worth, each ending on a whole tag; what stays is the text since, and a
// rewind past what left breaks the answer instead of cutting it.
TEST(AnswerText, SendsWhatItHoldsAtWholeTagsAndCannotTakeItBack) {
  struct Collect : com::ResultSink {
    Status Write(std::string_view piece) override {
      pieces.emplace_back(piece);
      return {};
    }
    std::vector<std::string> pieces;
  } sink;
  AnswerText out;
  out.StreamTo(&sink);
  out.Open("response");
  const AnswerText::Mark start = out.Here();
  out.Open("table");
  std::string whole = "<response><table>";
  for (int i = 0; sink.pieces.size() < 2; ++i) {
    out.Open("record");
    EXPECT_TRUE(out.FlushIfLarge().ok());  // a start tag still open is never sent
    out.Open("column");
    out.Close();
    EXPECT_TRUE(out.FlushIfLarge().ok());
    out.Text(std::to_string(i));
    out.Close();
    EXPECT_TRUE(out.FlushIfLarge().ok());
    whole += "<record><column/>" + std::to_string(i) + "</record>";
  }
  for (const std::string& piece : sink.pieces) {
    EXPECT_GE(piece.size(), AnswerText::kFlushAt);
    EXPECT_TRUE(piece.ends_with("</record>") || piece.ends_with("<column/>")) << piece.substr(piece.size() - 20);
  }
  EXPECT_LT(out.str().size(), AnswerText::kFlushAt);
  EXPECT_TRUE(out.Streamed());
  EXPECT_TRUE(out.Top().empty());
  out.Close();
  out.Close();
  EXPECT_EQ(sink.pieces[0] + sink.pieces[1] + out.str(), whole + "</table></response>");

  out.Rewind(start);
  EXPECT_TRUE(out.Broken());
  EXPECT_TRUE(out.str().empty());
}

}  // namespace
}  // namespace quor::accessor
