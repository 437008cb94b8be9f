// The console's XML document wrapper: building and saving documents,
// loading them and walking them with the cursor.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "admin/XmlDocument.h"
#include "testing/TempDir.h"

namespace quor::admin {
namespace {

namespace stdfs = std::filesystem;

class XmlDocumentTest : public ::testing::Test {
 protected:
  quor::test::TempDir temp_{"quor-admin-xml"};
  XmlDocumentTest() {
    dir_ = temp_.Path();
  }

  std::string PathOf(std::string_view name) const { return (dir_ / name).string(); }

  static std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : stdfs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  stdfs::path dir_;
};

constexpr std::string_view kDeclaration = R"(<?xml version="1.0" encoding="utf-8"?>)";

TEST_F(XmlDocumentTest, ANewDocumentSavesItsDeclarationThenTheRoot) {
  CXmlDocument doc;
  ASSERT_EQ(doc.CreateRoot("root", ""), S_OK);
  ASSERT_EQ(doc.Save(PathOf("empty.xml")), S_OK);
  EXPECT_EQ(ReadAll(PathOf("empty.xml")), std::string(kDeclaration) + "<root/>");
}

TEST_F(XmlDocumentTest, BuildsElementsTextAndAttributesThroughTheCurrentNode) {
  CXmlDocument doc;
  ASSERT_EQ(doc.CreateRoot("OLEDBSetting", ""), S_OK);
  // Without a current node an attribute goes to the root.
  EXPECT_TRUE(doc.AddAttribute("version", "2"));
  ASSERT_EQ(doc.AddChild("Provider", "SQLOLEDB & more"), S_OK);
  ASSERT_EQ(doc.AddChildWithAttribute("table", "", "name", "T1"), S_OK);
  // SetAttribute finds the attribute without case and never creates one.
  EXPECT_TRUE(doc.SetAttribute("NAME", "T<2>"));
  EXPECT_TRUE(doc.SetAttribute("missing", "x"));
  EXPECT_TRUE(doc.AddAttribute("kind", "view"));
  EXPECT_TRUE(doc.SetText("rows"));
  EXPECT_TRUE(doc.InsertChild(0, "quorservice", ""));
  ASSERT_EQ(doc.Save(PathOf("conn.xml")), S_OK);
  EXPECT_EQ(ReadAll(PathOf("conn.xml")),
            std::string(kDeclaration) +
                R"(<OLEDBSetting version="2"><quorservice/><Provider>SQLOLEDB &amp; more</Provider>)"
                R"(<table name="T&lt;2&gt;" kind="view">rows</table></OLEDBSetting>)");

  // An element name that XML does not allow is refused and adds nothing.
  EXPECT_EQ(doc.AddChild("bad name", "x"), E_INVALIDARG);
  EXPECT_EQ(doc.ChildCount(), 3);
}

TEST_F(XmlDocumentTest, SetTextWithoutACurrentNodeWritesTheCurrentParent) {
  CXmlDocument doc;
  ASSERT_EQ(doc.CreateRoot("r", ""), S_OK);
  ASSERT_EQ(doc.AddChild("a", "1"), S_OK);
  // Reading by position leaves no current node behind.
  EXPECT_EQ(doc.GetChildText(0), "1");
  EXPECT_TRUE(doc.SetText("replaced"));
  EXPECT_EQ(doc.GetXml(), "<r>replaced</r>");
}

TEST_F(XmlDocumentTest, LoadsTextAndFilesWithOrWithoutADeclaration) {
  const std::string body = R"(<config><a>1</a><b x="1"><c>deep</c><c>two</c></b><d/></config>)";
  for (const std::string& text : {"<?xml version='1.0'?>" + body, body, "<!-- note -->" + body}) {
    CXmlDocument doc;
    ASSERT_EQ(doc.LoadXml(text), 0) << text;
    EXPECT_EQ(doc.ChildCount(), 3);
    EXPECT_EQ(doc.GetChildText(0), "1");
    EXPECT_EQ(doc.GetChildXml(1), R"(<b x="1"><c>deep</c><c>two</c></b>)");
    EXPECT_EQ(doc.GetChildText(1), "deeptwo");
    EXPECT_EQ(doc.GetChildText(3), "");
    EXPECT_EQ(doc.GetChildXml(3), "");
  }

  {
    std::ofstream(PathOf("file.xml"), std::ios::binary) << "<?xml version=\"1.0\"?>" << body;
    CXmlDocument doc;
    ASSERT_EQ(doc.Load(PathOf("file.xml")), 0);
    ASSERT_EQ(doc.MoveToChild(1), S_OK);
    EXPECT_EQ(doc.GetAttribute("X"), "1");
    EXPECT_EQ(doc.ChildCount(), 2);
    EXPECT_EQ(doc.GetChildText(1), "two");
    ASSERT_EQ(doc.MoveToChild(0), S_OK);
    EXPECT_EQ(doc.GetXml(), "<c>deep</c>");
    ASSERT_EQ(doc.MoveToParent(), S_OK);
    ASSERT_EQ(doc.MoveToParent(), S_OK);
    EXPECT_EQ(doc.ChildCount(), 3);
    ASSERT_EQ(doc.MoveToChild(1), S_OK);
    ASSERT_EQ(doc.MoveToChild(1), S_OK);
    doc.MoveToRoot();
    EXPECT_EQ(doc.GetXml(), body);
  }
}

TEST_F(XmlDocumentTest, AFailedLoadLeavesNothingOfTheEarlierDocument) {
  CXmlDocument doc;
  ASSERT_EQ(doc.LoadXml("<r><a>1</a></r>"), 0);
  EXPECT_EQ(doc.LoadXml("<r><a>1</r>"), -1);
  EXPECT_EQ(doc.ChildCount(), 0);
  EXPECT_EQ(doc.GetChildText(0), "");
  EXPECT_EQ(doc.GetXml(), "");
  EXPECT_EQ(doc.MoveToChild(0), E_INVALIDARG);

  ASSERT_EQ(doc.LoadXml("<r><a>1</a></r>"), 0);
  EXPECT_EQ(doc.Load(PathOf("missing.xml")), -1);
  EXPECT_EQ(doc.ChildCount(), 0);
  EXPECT_EQ(doc.LoadXml(""), -1);
  EXPECT_EQ(doc.LoadXml("just text"), -1);
}

TEST_F(XmlDocumentTest, AttributesMatchWithoutCaseAndTheLastMatchWins) {
  CXmlDocument doc;
  ASSERT_EQ(doc.LoadXml(R"(<r><e Name="first" other="o" NAME="second"/><f name="only"/></r>)"), 0);
  EXPECT_EQ(doc.GetChildAttribute("e", "name"), "second");
  EXPECT_EQ(doc.GetChildAttribute("f", "NAME"), "only");
  EXPECT_EQ(doc.GetChildAttribute("e", "absent"), "");
  // The element name itself must match exactly.
  EXPECT_EQ(doc.GetChildAttribute("E", "name"), "");
  ASSERT_EQ(doc.MoveToChild(0), S_OK);
  EXPECT_EQ(doc.GetAttribute("nAmE"), "second");
  EXPECT_EQ(doc.GetAttribute("OTHER"), "o");
  EXPECT_EQ(doc.GetAttribute("nothing"), "");

  // SetAttribute changes the same attribute that reading finds.
  EXPECT_TRUE(doc.SetAttribute("name", "changed"));
  doc.MoveToRoot();
  EXPECT_EQ(doc.GetChildXml(0), R"(<e Name="first" other="o" NAME="changed"/>)");

  CXmlDocument empty;
  EXPECT_EQ(empty.GetAttribute("name"), "");
}

TEST_F(XmlDocumentTest, ChildTextByNameIsCaseSensitiveAndSearchesOnlyTheCurrentList) {
  CXmlDocument doc;
  ASSERT_EQ(doc.LoadXml("<r><Name>upper</Name><inner><name>deep</name></inner><dup>1</dup><dup>2</dup></r>"), 0);
  EXPECT_EQ(doc.GetChildTextByName("name"), "");
  EXPECT_EQ(doc.GetChildTextByName("Name"), "upper");
  EXPECT_EQ(doc.GetChildTextByName("dup"), "1");
  // The node found becomes the current node.
  EXPECT_TRUE(doc.SetText("one"));
  EXPECT_EQ(doc.GetXml(), "<r><Name>upper</Name><inner><name>deep</name></inner><dup>one</dup><dup>2</dup></r>");
  ASSERT_EQ(doc.MoveToChild(1), S_OK);
  EXPECT_EQ(doc.GetChildTextByName("name"), "deep");
}

TEST_F(XmlDocumentTest, InsertChildPastTheEndAppendsAndRemoveChildTakesByPosition) {
  CXmlDocument doc;
  ASSERT_EQ(doc.CreateRoot("r", ""), S_OK);
  ASSERT_EQ(doc.AddChild("a", ""), S_OK);
  ASSERT_EQ(doc.AddChild("b", ""), S_OK);
  EXPECT_TRUE(doc.InsertChild(7, "end", "e"));
  EXPECT_TRUE(doc.InsertChild(1, "mid", ""));
  EXPECT_TRUE(doc.InsertChild(0, "first", ""));
  EXPECT_EQ(doc.GetXml(), "<r><first/><a/><mid/><b/><end>e</end></r>");

  EXPECT_TRUE(doc.RemoveChild(2));
  EXPECT_TRUE(doc.RemoveChild(99));
  EXPECT_TRUE(doc.RemoveChild(-1));
  EXPECT_EQ(doc.GetXml(), "<r><first/><a/><b/><end>e</end></r>");
  EXPECT_EQ(doc.ChildCount(), 4);
}

TEST_F(XmlDocumentTest, ServiceRoleReadsTheThreeSpellingsOfTheServiceElement) {
  struct Case {
    const char* xml;
    const char* role;
    bool expected;
  };
  const Case cases[] = {
      {"<OLEDBSetting><Provider>P</Provider></OLEDBSetting>", "", true},
      {"<OLEDBSetting><Provider>P</Provider></OLEDBSetting>", "VODB", false},
      {"<OLEDBSetting><quorservice>VODB</quorservice></OLEDBSetting>", "VODB", true},
      {"<OLEDBSetting><quorservice>VODB</quorservice></OLEDBSetting>", "", false},
      {"<OLEDBSetting><quorservice>VODB</quorservice></OLEDBSetting>", "vodb", false},
      {"<OLEDBSetting><Quorservice>LOGDB</Quorservice></OLEDBSetting>", "LOGDB", true},
      {"<OLEDBSetting><QuorService>VODB</QuorService></OLEDBSetting>", "VODB", true},
      {"<OLEDBSetting><QUORSERVICE>VODB</QUORSERVICE></OLEDBSetting>", "", true},
      // An empty service element counts as none.
      {"<OLEDBSetting><quorservice/></OLEDBSetting>", "", true},
      {"<OLEDBSetting><x><quorservice>VODB</quorservice></x></OLEDBSetting>", "", true},
  };
  for (const Case& c : cases) {
    CXmlDocument doc;
    ASSERT_EQ(doc.LoadXml(c.xml), 0);
    EXPECT_EQ(doc.HasServiceRole(c.role), c.expected) << c.xml << " role '" << c.role << "'";
  }
}

TEST_F(XmlDocumentTest, MovesThatHaveNowhereToGoLeaveTheCursor) {
  CXmlDocument fresh;
  EXPECT_EQ(fresh.MoveToParent(), E_INVALIDARG);
  EXPECT_EQ(fresh.MoveToChild(0), E_INVALIDARG);

  CXmlDocument doc;
  ASSERT_EQ(doc.LoadXml("<r><a><b>x</b></a><c/></r>"), 0);
  EXPECT_EQ(doc.MoveToChild(2), E_INVALIDARG);
  EXPECT_EQ(doc.MoveToChild(-1), E_INVALIDARG);
  EXPECT_EQ(doc.GetXml(), "<r><a><b>x</b></a><c/></r>");

  ASSERT_EQ(doc.MoveToChild(0), S_OK);
  ASSERT_EQ(doc.MoveToChild(0), S_OK);
  ASSERT_EQ(doc.MoveToChild(0), S_OK);  // the text node
  EXPECT_EQ(doc.MoveToChild(0), E_INVALIDARG);
  EXPECT_EQ(doc.GetXml(), "x");

  // Up past the root reaches the document, and no further.
  doc.MoveToRoot();
  ASSERT_EQ(doc.MoveToParent(), S_OK);
  const std::string top = doc.GetXml();
  EXPECT_EQ(doc.MoveToParent(), E_INVALIDARG);
  EXPECT_EQ(doc.GetXml(), top);
  doc.MoveToRoot();
  EXPECT_EQ(doc.ChildCount(), 2);
}

TEST_F(XmlDocumentTest, ASaveThatCannotWriteFailsAndLeavesNoFile) {
  CXmlDocument doc;
  ASSERT_EQ(doc.CreateRoot("root", "text"), S_OK);
  std::ofstream(PathOf("plain"), std::ios::binary) << "keep";
  ASSERT_TRUE(stdfs::create_directory(PathOf("folder")));

  // Below a plain file, in a folder that does not exist, onto a folder.
  EXPECT_TRUE(FAILED(doc.Save(PathOf("plain") + "/x.xml")));
  EXPECT_TRUE(FAILED(doc.Save(PathOf("nowhere") + "/x.xml")));
  EXPECT_TRUE(FAILED(doc.Save(PathOf("folder"))));
  EXPECT_TRUE(FAILED(doc.Save("")));

  EXPECT_EQ(Entries(), (std::vector<std::string>{"folder", "plain"}));
  EXPECT_TRUE(stdfs::is_empty(PathOf("folder")));
  EXPECT_EQ(ReadAll(PathOf("plain")), "keep");

  // The document is still whole and saves where it can.
  ASSERT_EQ(doc.Save(PathOf("folder") + "/ok.xml"), S_OK);
  EXPECT_EQ(ReadAll(PathOf("folder") + "/ok.xml"), std::string(kDeclaration) + "<root>text</root>");
}

}  // namespace
}  // namespace quor::admin
