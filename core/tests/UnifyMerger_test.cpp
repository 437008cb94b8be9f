// The merge object's table joins, checked on whole serialised tables.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/StatusCodes.h"
#include "core/query/UnifyMerger.h"
#include "platform/com/errorinfo.h"

using namespace quor;
using namespace quor::core;

namespace {

xml::DocumentPtr Parse(std::string_view text) {
  auto doc = xml::Document::Create();
  EXPECT_TRUE(doc->loadXML(text)) << doc->parseError().reason << " in " << text;
  return doc;
}

// Markup builders, so that expected tables read like the data.
std::string Col(std::string_view name, std::string_view type, std::string_view value) {
  return "<column name=\"" + std::string(name) + "\" type=\"" + std::string(type) + "\">" + std::string(value) +
         "</column>";
}
std::string Fill(std::string_view name, std::string_view type) {
  return "<column name=\"" + std::string(name) + "\" type=\"" + std::string(type) + "\"/>";
}
std::string Rec(std::initializer_list<std::string> columns) {
  std::string out = "<record>";
  for (const auto& c : columns) out += c;
  return out + "</record>";
}
std::string Recs(std::initializer_list<std::string> records) {
  std::string out;
  for (const auto& r : records) out += r;
  return out;
}

// The worked pair: A holds X and K, B holds K and Y; they share the key 2.
const std::string kA1 = Rec({Col("X", "string", "a1"), Col("K", "int", "1")});
const std::string kA2 = Rec({Col("X", "string", "a2"), Col("K", "int", "2")});
const std::string kB2 = Rec({Col("K", "int", "2"), Col("Y", "string", "b2")});
const std::string kB3 = Rec({Col("K", "int", "3"), Col("Y", "string", "b3")});

struct Pair {
  xml::DocumentPtr doc;
  xml::NodePtr left;
  xml::NodePtr right;
};

// `leftOpen` and `rightOpen` are the tables' start tags.
Pair MakePair(const std::string& leftOpen, const std::string& leftBody, const std::string& rightOpen,
              const std::string& rightBody) {
  Pair p;
  p.doc = Parse("<r>" + leftOpen + leftBody + "</table>" + rightOpen + rightBody + "</table></r>");
  p.left = p.doc->documentElement()->firstChild();
  p.right = p.left ? p.left->nextSibling() : nullptr;
  return p;
}

Pair WorkedPair(std::string_view unify) {
  return MakePair("<table name=\"A\" unify=\"" + std::string(unify) + "\" src=\"left\">", kA1 + kA2,
                  "<table name=\"B\" src=\"right\">", kB2 + kB3);
}

std::string Xml(const xml::NodePtr& node) { return node ? node->xml() : "(none)"; }

std::vector<std::string> ListedNames(const CUnifyMerger& m) {
  std::vector<std::string> names;
  for (const auto& e : m.columns) names.push_back(e.name.value_or("(none)"));
  return names;
}

struct KindCase {
  const char* kind;
  bool namedLeftFirst;  // "A & B" or "B & A"
  std::string records;
};
void PrintTo(const KindCase& c, std::ostream* os) { *os << c.kind; }

std::string JoinedOpen(std::string_view kind, bool leftFirst) {
  // Attributes of the first table go first, then the second's (which win).
  if (leftFirst) return "<table name=\"A &amp; B\" unify=\"" + std::string(kind) + "\" src=\"right\">";
  return "<table name=\"B &amp; A\" src=\"left\" unify=\"" + std::string(kind) + "\">";
}

class TenKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(TenKinds, JoinTheWorkedPair) {
  const KindCase& c = GetParam();
  auto p = WorkedPair(c.kind);
  CUnifyMerger m;
  auto joined = *m.JoinTables(p.doc, p.left, p.right);
  ASSERT_TRUE(joined);
  EXPECT_EQ(joined->xml(), JoinedOpen(c.kind, c.namedLeftFirst) + c.records + "</table>");
  EXPECT_FALSE(joined->parentNode());
  EXPECT_EQ(joined->ownerDocument(), p.doc);
  EXPECT_EQ(ListedNames(m), (std::vector<std::string>{"X", "K", "Y"}));
  EXPECT_EQ(m.keyColumn, "K");
  // The inputs are only read.
  EXPECT_EQ(p.right->xml(), "<table name=\"B\" src=\"right\">" + kB2 + kB3 + "</table>");
}

const std::string kJ2 = Rec({Col("X", "string", "a2"), Col("K", "int", "2"), Col("Y", "string", "b2")});
const std::string kJ2Right = Rec({Col("K", "int", "2"), Col("Y", "string", "b2"), Col("X", "string", "a2")});
const std::string kLeft1Filled = Rec({Col("X", "string", "a1"), Col("K", "int", "1"), Fill("Y", "string")});

INSTANTIATE_TEST_SUITE_P(
    UnifyMerger, TenKinds,
    ::testing::Values(
        KindCase{"full outer join", true,
                 Recs({kLeft1Filled, kJ2, Rec({Fill("X", "string"), Col("K", "int", "3"), Col("Y", "string", "b3")})})},
        KindCase{"left outer join", true, Recs({kLeft1Filled, kJ2})},
        KindCase{"right outer join", true,
                 Recs({kJ2Right, Rec({Col("K", "int", "3"), Col("Y", "string", "b3"), Fill("X", "string")})})},
        KindCase{"cross join", true,
                 Recs({Rec({Col("X", "string", "a1"), Col("K", "int", "1"), Col("K", "int", "2"),
                            Col("Y", "string", "b2")}),
                       Rec({Col("X", "string", "a1"), Col("K", "int", "1"), Col("K", "int", "3"),
                            Col("Y", "string", "b3")}),
                       Rec({Col("X", "string", "a2"), Col("K", "int", "2"), Col("K", "int", "2"),
                            Col("Y", "string", "b2")}),
                       Rec({Col("X", "string", "a2"), Col("K", "int", "2"), Col("K", "int", "3"),
                            Col("Y", "string", "b3")})})},
        KindCase{"union join", true,
                 Recs({kLeft1Filled, Rec({Col("X", "string", "a2"), Col("K", "int", "2"), Fill("Y", "string")}),
                       Rec({Col("K", "int", "2"), Col("Y", "string", "b2"), Fill("X", "string")}),
                       Rec({Col("K", "int", "3"), Col("Y", "string", "b3"), Fill("X", "string")})})},
        KindCase{"left inner join", true, kJ2},
        KindCase{"right inner join", false, kJ2Right},
        KindCase{"max inner join", true, kJ2},   // as many records: the left drives
        KindCase{"min inner join", false, kJ2Right},  // as many records: the right drives
        KindCase{"equiv join", true, kJ2}),
    [](const auto& info) {
      std::string name = info.param.kind;
      for (char& ch : name)
        if (ch == ' ') ch = '_';
      return name;
    });

// ---- Join kind -------------------------------------------------------------

TEST(UnifyMerger, JoinKindComesFromUnifyThenFallsBack) {
  struct Case {
    const char* table;
    const char* fallback;  // joinKind; null keeps the default
    JoinKind expected;
  };
  const Case cases[] = {
      {"<table unify=\"cross join\"/>", nullptr, JoinKind::Cross},
      {"<table unify=\"MIN INNER JOIN\"/>", nullptr, JoinKind::MinInner},
      {"<table unify=\"Equiv Join\"/>", "cross join", JoinKind::Equiv},
      {"<table unify=\"sideways join\"/>", "equiv join", JoinKind::Equiv},
      {"<table unify=\"sideways join\"/>", "Right Outer Join", JoinKind::RightOuter},
      {"<table unify=\"sideways join\"/>", nullptr, JoinKind::FullOuter},  // default joinKind
      {"<table unify=\"sideways join\"/>", "nonsense", JoinKind::FullOuter},
      {"<table unify=\"\"/>", "union join", JoinKind::Union},
      {"<table/>", "equiv join", JoinKind::FullOuter},  // no attribute: never the fallback
      {"<list unify=\"cross join\"/>", "cross join", JoinKind::FullOuter},
      {"<table unify=\"cross join \"/>", nullptr, JoinKind::FullOuter},  // exact text, only the case folds
  };
  for (const auto& c : cases) {
    CUnifyMerger m;
    if (c.fallback) m.joinKind = c.fallback;
    auto doc = Parse(c.table);
    EXPECT_EQ(m.GetJoinKind(doc->documentElement()), c.expected) << c.table << " / " << (c.fallback ? c.fallback : "");
  }
  CUnifyMerger m;
  EXPECT_EQ(m.joinKind, "full outer join");
  EXPECT_EQ(m.GetJoinKind(nullptr), JoinKind::FullOuter);
  EXPECT_EQ(JoinKindText(JoinKind::Equiv), "equiv join");
  EXPECT_EQ(JoinKindText(JoinKind::FullOuter), "full outer join");
}

TEST(UnifyMerger, FallbackKindDrivesTheJoin) {
  auto p = WorkedPair("not a kind");
  CUnifyMerger m;
  m.joinKind = "left inner join";
  EXPECT_EQ(Xml(*m.JoinTables(p.doc, p.left, p.right)),
            "<table name=\"A &amp; B\" unify=\"not a kind\" src=\"right\">" + kJ2 + "</table>");
}

// ---- Merged column list ----------------------------------------------------

TEST(UnifyMerger, ColumnListAndKey) {
  struct Case {
    const char* name;
    std::string left, right;
    std::vector<std::string> listed;
    std::optional<std::string> key;
  };
  const Case cases[] = {
      {"shared key", Rec({Col("A", "t", "1"), Col("K", "k", "2")}), Rec({Col("K", "k", "2"), Col("B", "u", "3")}),
       {"A", "K", "B"}, "K"},
      {"nothing shared", Rec({Col("A", "t", "1")}), Rec({Col("B", "u", "3"), Col("C", "u", "4")}),
       {"A", "B", "C"}, std::nullopt},
      {"first shared name wins", Rec({Col("A", "t", "1"), Col("B", "t", "2")}),
       Rec({Col("B", "u", "3"), Col("A", "u", "4")}), {"A", "B", "A"}, "B"},
      // The second table alone names no key: its columns all stay listed.
      {"empty left", "", Rec({Col("K", "k", "2"), Col("B", "u", "3")}), {"K", "B"}, std::nullopt},
      {"empty right", Rec({Col("A", "t", "1")}), "", {"A"}, std::nullopt},
      {"both empty", "", "", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto p = MakePair("<table>", c.left, "<table>", c.right);
    CUnifyMerger m;
    EXPECT_EQ(m.BuildColumnList(p.left, p.right).code(), S_OK) << c.name;
    EXPECT_EQ(ListedNames(m), c.listed) << c.name;
    EXPECT_EQ(m.keyColumn, c.key) << c.name;
  }
}

TEST(UnifyMerger, ColumnListKeepsTypesAndNamelessColumns) {
  auto p = MakePair("<table>", "<record><column type=\"t0\">v</column><column name=\"K\" other=\"x\"/></record>",
                    "<table>", "<record><column name=\"K\" type=\"k\"/><column name=\"B\"/></record>");
  CUnifyMerger m;
  ASSERT_EQ(m.BuildColumnList(p.left, p.right).code(), S_OK);
  ASSERT_EQ(m.columns.size(), 3u);
  EXPECT_FALSE(m.columns[0].name);
  EXPECT_EQ(m.columns[0].type, "t0");
  EXPECT_EQ(m.columns[1].name, "K");
  EXPECT_FALSE(m.columns[1].type);
  EXPECT_EQ(m.columns[2].name, "B");
  EXPECT_EQ(m.keyColumn, "K");
  EXPECT_TRUE(ContainsColumnName(m.columns, "B"));
  EXPECT_FALSE(ContainsColumnName(std::span(m.columns).subspan(2), "K"));
  EXPECT_FALSE(ContainsColumnName({}, "K"));
}

TEST(UnifyMerger, MalformedTablesAreRejectedAndJoinToNone) {
  const char* bodies[] = {
      "text first",
      "<!--c--><record/>",
      "<row><column name=\"K\"/></row>",
      "<record><column name=\"K\"/>stray</record>",
      "<record><column name=\"K\"/><!--note--></record>",
      "<record><value name=\"K\"/></record>",
  };
  for (const char* body : bodies) {
    for (bool onLeft : {true, false}) {
      const std::string good = Rec({Col("K", "k", "1")});
      auto p = onLeft ? MakePair("<table name=\"L\">", body, "<table name=\"R\">", good)
                      : MakePair("<table name=\"L\">", good, "<table name=\"R\">", body);
      CUnifyMerger m;
      EXPECT_EQ(m.BuildColumnList(p.left, p.right).code(), QS_E_UNIFICATION_SOURCE_INVALID) << body;
      EXPECT_FALSE(*m.JoinTables(p.doc, p.left, p.right)) << body;
    }
  }
  auto p = WorkedPair("cross join");
  CUnifyMerger m;
  EXPECT_EQ(m.BuildColumnList(nullptr, p.right).code(), QS_E_UNIFICATION_SOURCE_INVALID);
  EXPECT_FALSE(*m.JoinTables(nullptr, p.left, p.right));
  EXPECT_FALSE(*m.JoinTables(p.doc, nullptr, p.right));
  EXPECT_FALSE(*m.JoinTables(p.doc, p.left, nullptr));
}

TEST(UnifyMerger, KeyIsChosenOncePerMerger) {
  CUnifyMerger m;
  auto first = WorkedPair("full outer join");
  ASSERT_TRUE(*m.JoinTables(first.doc, first.left, first.right));
  EXPECT_EQ(m.keyColumn, "K");
  // A later pair sharing Y keeps the first key; its shared Y is listed twice.
  auto second = MakePair("<table name=\"C\" unify=\"left inner join\">", Rec({Col("Y", "s", "y1")}),
                         "<table name=\"D\">", Rec({Col("Y", "s", "y1"), Col("Z", "s", "z1")}));
  auto joined = *m.JoinTables(second.doc, second.left, second.right);
  EXPECT_EQ(m.keyColumn, "K");
  EXPECT_EQ(ListedNames(m), (std::vector<std::string>{"Y", "Y", "Z"}));
  EXPECT_EQ(Xml(joined), "<table name=\"C &amp; D\" unify=\"left inner join\"/>");  // no K to pair on
}

// ---- Table naming ----------------------------------------------------------

TEST(UnifyMerger, JoinedTableNames) {
  struct Case {
    const char* first;
    const char* second;
    const char* expected;
    HRESULT status;
  };
  const Case cases[] = {
      {"<table name=\"A\" x=\"1\" both=\"a\"/>", "<table name=\"B\" y=\"2\" both=\"b\"/>",
       "<table name=\"A &amp; B\" x=\"1\" both=\"b\" y=\"2\"/>", S_OK},
      {"<list name=\"A\" x=\"1\"/>", "<table name=\"B\" y=\"2\"/>", "<table name=\"NULL &amp; B\"/>",
       QS_E_UNIFY_TARGET_TABLE_INVALID},
      {"<table name=\"A\" x=\"1\"/>", "<list name=\"B\" y=\"2\"/>", "<table name=\"A &amp; NULL\" x=\"1\"/>",
       QS_E_UNIFY_TARGET_TABLE_INVALID},
      {"<table x=\"1\"/>", "<table name=\"B\"/>", "<table name=\"B\" x=\"1\"/>", S_OK},
      {"<table name=\"A\"/>", "<table/>", "<table name=\"A &amp; \"/>", S_OK},
      {"<table name=\"\xE5\x8F\x97\xE6\xB3\xA8\"/>", "<table name=\"\xC3\xA9t\xC3\xA9\"/>",
       "<table name=\"\xE5\x8F\x97\xE6\xB3\xA8 &amp; \xC3\xA9t\xC3\xA9\"/>", S_OK},
  };
  for (const auto& c : cases) {
    auto doc = Parse(std::string("<r>") + c.first + c.second + "</r>");
    auto a = doc->documentElement()->firstChild();
    auto out = doc->createElement("table");
    CUnifyMerger m;
    EXPECT_EQ(m.NameJoinedTable(out, a, a->nextSibling()).code(), c.status) << c.first;
    EXPECT_EQ(out->xml(), c.expected);
  }
  auto doc = Parse("<table name=\"A\"/>");
  auto out = doc->createElement("table");
  CUnifyMerger m;
  EXPECT_EQ(m.NameJoinedTable(out, nullptr, doc->documentElement()).code(), QS_E_UNIFY_TARGET_TABLE_INVALID);
  EXPECT_EQ(out->xml(), "<table name=\"NULL &amp; A\"/>");
  EXPECT_EQ(m.NameJoinedTable(nullptr, doc->documentElement(), doc->documentElement()).code(),
            QS_E_UNIFY_TARGET_TABLE_INVALID);
}

// ---- Record builders -------------------------------------------------------

TEST(UnifyMerger, CopyColumnKeepsContentAndMarksTheEntry) {
  auto doc = Parse("<r><column name=\"B\" type=\"x\" extra=\"&lt;\">v<b>bold</b><!--c--></column>"
                   "<note name=\"B\"/>text</r>");
  auto column = doc->documentElement()->firstChild();
  auto out = xml::Document::Create();
  CUnifyMerger m;
  m.columns = {{"A", "t", false}, {"B", "x", false}, {"B", "y", false}};
  auto copy = *m.CopyColumn(out, column);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->xml(), column->xml());
  EXPECT_EQ(copy->ownerDocument(), out);
  EXPECT_FALSE(m.columns[0].present);
  EXPECT_TRUE(m.columns[1].present);
  EXPECT_FALSE(m.columns[2].present);  // only the first entry of a name
  EXPECT_FALSE(*m.CopyColumn(out, column->nextSibling()));            // not a column
  EXPECT_FALSE(*m.CopyColumn(out, column->nextSibling()->nextSibling()));  // text
  EXPECT_FALSE(*m.CopyColumn(out, nullptr));
  EXPECT_EQ(CUnifyMerger::GetNameAttribute(column), "B");
  EXPECT_FALSE(CUnifyMerger::GetNameAttribute(doc->documentElement()));
  EXPECT_FALSE(CUnifyMerger::GetNameAttribute(nullptr));
}

TEST(UnifyMerger, KeyMatchingIsExactAndTakesTheFirstPartner) {
  auto p = MakePair("<table>",
                    Rec({Col("K", "k", "abc"), Col("L", "t", "l1")}) + Rec({Col("K", "k", "dup")}) +
                        Rec({Col("K", "k", "")}),
                    "<table>",
                    Rec({Col("K", "k", "ABC"), Col("R", "t", "r0")}) + "<note><column name=\"K\">dup</column></note>" +
                        Rec({Col("K", "k", "dup"), Col("R", "t", "first")}) +
                        Rec({Col("K", "k", "dup"), Col("R", "t", "second")}) + Rec({Col("K", "k", "")}));
  CUnifyMerger m;
  ASSERT_EQ(m.BuildColumnList(p.left, p.right).code(), S_OK);
  ASSERT_EQ(m.keyColumn, "K");
  auto records = p.left->childNodes();
  EXPECT_FALSE(*m.JoinMatchedRecord(p.doc, records[0], p.right));  // abc against ABC
  EXPECT_EQ(Xml(*m.JoinMatchedRecord(p.doc, records[1], p.right)),
            Rec({Col("K", "k", "dup"), Col("R", "t", "first")}));
  EXPECT_EQ(Xml(*m.JoinMatchedRecord(p.doc, records[2], p.right)), Rec({Fill("K", "k")}));  // empty equals empty
  // Unmatched: own columns, then one empty column per entry not filled.
  EXPECT_EQ(Xml(*m.JoinRecordOrFill(p.doc, records[0], p.right)),
            Rec({Col("K", "k", "abc"), Col("L", "t", "l1"), Fill("R", "t")}));
  m.keyColumn.reset();
  EXPECT_FALSE(*m.JoinMatchedRecord(p.doc, records[1], p.right));
  EXPECT_EQ(Xml(*m.JoinRecordOrFill(p.doc, records[1], p.right)),
            Rec({Col("K", "k", "dup"), Fill("L", "t"), Fill("R", "t")}));
  EXPECT_FALSE(*m.JoinRecordOrFill(p.doc, nullptr, p.right));
}

TEST(UnifyMerger, UnmatchedRightRecordsFollowTheList) {
  // Left A, K, S; right K, S, B: S is listed twice, its right value lands on
  // the later entry.
  auto p = MakePair("<table>", Rec({Col("A", "a", "a1"), Col("K", "k", "1"), Col("S", "s", "s1")}), "<table>",
                    Rec({Col("K", "k", "1"), Col("S", "s", "sr"), Col("B", "b", "b1")}) +
                        Rec({Col("K", "k", "9"), Col("S", "s", "s9"), Col("B", "b", "b9"), Col("Extra", "e", "x")}) +
                        Rec({Col("B", "b", "nokey")}));
  CUnifyMerger m;
  ASSERT_EQ(m.BuildColumnList(p.left, p.right).code(), S_OK);
  ASSERT_EQ(ListedNames(m), (std::vector<std::string>{"A", "K", "S", "S", "B"}));
  auto records = p.right->childNodes();
  EXPECT_FALSE(*m.BuildUnmatchedRightRecord(p.doc, p.left, records[0]));  // its key is on the left
  EXPECT_EQ(Xml(*m.BuildUnmatchedRightRecord(p.doc, p.left, records[1])),
            Rec({Fill("A", "a"), Col("K", "k", "9"), Fill("S", "s"), Col("S", "s", "s9"), Col("B", "b", "b9"),
                 Col("Extra", "e", "x")}));  // a column the list lacks is kept, last
  EXPECT_EQ(Xml(*m.BuildUnmatchedRightRecord(p.doc, p.left, records[2])),
            Rec({Fill("A", "a"), Fill("K", "k"), Fill("S", "s"), Fill("S", "s"), Col("B", "b", "nokey")}));
  m.keyColumn.reset();  // without a key every right record is unmatched
  EXPECT_TRUE(*m.BuildUnmatchedRightRecord(p.doc, p.left, records[0]));
  EXPECT_FALSE(*m.BuildUnmatchedRightRecord(p.doc, p.left, nullptr));
}

TEST(UnifyMerger, FullOuterJoinOfAnEmptyLeftKeepsEveryRightColumn) {
  auto p = MakePair("<table name=\"A\" unify=\"full outer join\">", "", "<table name=\"B\">", kB2 + kB3);
  CUnifyMerger m;
  EXPECT_EQ(Xml(*m.JoinTables(p.doc, p.left, p.right)),
            "<table name=\"A &amp; B\" unify=\"full outer join\">" + kB2 + kB3 + "</table>");
  EXPECT_FALSE(m.keyColumn);
}

// ---- The join operations beyond the worked pair ----------------------------

TEST(UnifyMerger, EmptyTablesGiveNamedEmptyTables) {
  for (const char* kind : {"full outer join", "left outer join", "right outer join", "cross join", "union join",
                           "left inner join", "max inner join"}) {
    auto p = MakePair(std::string("<table name=\"A\" unify=\"") + kind + "\">", "", "<table name=\"B\">", "");
    CUnifyMerger m;
    EXPECT_EQ(Xml(*m.JoinTables(p.doc, p.left, p.right)),
              std::string("<table name=\"A &amp; B\" unify=\"") + kind + "\"/>");
  }
  for (const char* kind : {"right inner join", "min inner join"}) {
    auto p = MakePair(std::string("<table name=\"A\" unify=\"") + kind + "\">", "", "<table name=\"B\">", "");
    CUnifyMerger m;
    EXPECT_EQ(Xml(*m.JoinTables(p.doc, p.left, p.right)),
              std::string("<table name=\"B &amp; A\" unify=\"") + kind + "\"/>");
  }
}

TEST(UnifyMerger, MaxAndMinInnerJoinsPickTheirDrivingTable) {
  // 3 left records against 5 right ones (k2 on both sides).
  const std::string left = kA1 + kA2 + Rec({Col("X", "string", "a4"), Col("K", "int", "4")});
  const std::string right = kB2 + kB3 + Rec({Col("K", "int", "5")}) + Rec({Col("K", "int", "6")}) +
                            Rec({Col("K", "int", "7")});
  auto maxPair = MakePair("<table name=\"A\" unify=\"max inner join\">", left, "<table name=\"B\">", right);
  CUnifyMerger m1;
  EXPECT_EQ(Xml(*m1.JoinTables(maxPair.doc, maxPair.left, maxPair.right)),
            "<table name=\"B &amp; A\" unify=\"max inner join\">" + kJ2Right + "</table>");
  auto minPair = MakePair("<table name=\"A\" unify=\"min inner join\">", left, "<table name=\"B\">", right);
  CUnifyMerger m2;
  EXPECT_EQ(Xml(*m2.JoinTables(minPair.doc, minPair.left, minPair.right)),
            "<table name=\"A &amp; B\" unify=\"min inner join\">" + kJ2 + "</table>");
}

TEST(UnifyMerger, JoinsSkipWhatIsNotARecordOrColumn) {
  // A note between records, a comment and a foreign element inside a later
  // record: records are joined, the rest is left out.
  const std::string left = kA1 + "<note>n</note><!--c-->" +
                           "<record><column name=\"X\" type=\"string\">a2</column><!--c--><extra/>"
                           "<column name=\"K\" type=\"int\">2</column></record>";
  const std::string right = kB2 + "<!--c-->" + kB3;
  auto cross = MakePair("<table name=\"A\" unify=\"cross join\">", left, "<table name=\"B\">", right);
  CUnifyMerger m1;
  auto joined = *m1.JoinTables(cross.doc, cross.left, cross.right);
  ASSERT_TRUE(joined);
  auto records = joined->childNodes();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[3]->xml(),
            Rec({Col("X", "string", "a2"), Col("K", "int", "2"), Col("K", "int", "3"), Col("Y", "string", "b3")}));

  auto full = MakePair("<table name=\"A\" unify=\"full outer join\">", left, "<table name=\"B\">", right);
  CUnifyMerger m2;
  EXPECT_EQ(Xml(*m2.JoinTables(full.doc, full.left, full.right)),
            "<table name=\"A &amp; B\" unify=\"full outer join\">" +
                Recs({kLeft1Filled, kJ2, Rec({Fill("X", "string"), Col("K", "int", "3"), Col("Y", "string", "b3")})}) +
                "</table>");
}

TEST(UnifyMerger, UnionJoinKeepsEveryRecordWhole) {
  // Non-records among the children are passed over (the records after them
  // still count); a right record's own columns come first, whatever its
  // first column is called; a record without columns is all fillers.
  auto p = MakePair("<table name=\"A\" unify=\"union join\">", kA1 + "<!--c--><note/>" + kA2, "<table name=\"B\">",
                    kB3 +
                        "<record><column type=\"int\">nameless</column><column name=\"Y\" type=\"string\">b</column>"
                        "</record><record/>");
  CUnifyMerger m;
  auto joined = *m.JoinTables(p.doc, p.left, p.right);
  const std::string expected =
      "<table name=\"A &amp; B\" unify=\"union join\">" +
      Recs({kLeft1Filled, Rec({Col("X", "string", "a2"), Col("K", "int", "2"), Fill("Y", "string")}),
            Rec({Col("K", "int", "3"), Col("Y", "string", "b3"), Fill("X", "string")}),
            "<record><column type=\"int\">nameless</column><column name=\"Y\" type=\"string\">b</column>" +
                Fill("X", "string") + Fill("K", "int") + "</record>",
            Rec({Fill("X", "string"), Fill("K", "int"), Fill("Y", "string")})}) +
      "</table>";
  EXPECT_EQ(Xml(joined), expected);
}

// ---- Equivalence join ------------------------------------------------------

TEST(UnifyMerger, EquivJoinMatchesOnEverySharedColumnByText) {
  const std::string left =
      Rec({Col("K", "int", "10"), Col("S", "s", "x"), Col("L", "t", "l1")}) +
      Rec({Col("K", "int", "10"), Col("S", "s", "y"), Col("L", "t", "l2")}) +
      "<record><column name=\"K\" type=\"int\"/><column name=\"S\" type=\"s\">z</column>"
      "<column name=\"L\" type=\"t\">l3</column></record>" +
      // An empty value differs from a given one: this record has no partner.
      "<record><column name=\"K\" type=\"int\"/><column name=\"S\" type=\"s\">x</column>"
      "<column name=\"L\" type=\"t\">l4</column></record>";
  const std::string right =
      Rec({Col("K", "int", "10.0"), Col("S", "s", "x"), Col("R", "t", "wrong number")}) +
      Rec({Col("K", "int", "10"), Col("S", "s", "x"), Col("R", "t", "r1")}) +
      Rec({Col("S", "s", "y"), Col("R", "t", "lacks K")}) +
      "<record><column name=\"K\" type=\"int\"/><column name=\"S\" type=\"s\">z</column>"
      "<column name=\"R\" type=\"t\">null key</column></record>";
  auto p = MakePair("<table name=\"A\" unify=\"equiv join\">", left, "<table name=\"B\">", right);
  CUnifyMerger m;
  auto joined = *m.JoinTables(p.doc, p.left, p.right);
  EXPECT_EQ(m.equivalentColumns, (std::vector<std::string>{"K", "S"}));
  EXPECT_EQ(Xml(joined),
            "<table name=\"A &amp; B\" unify=\"equiv join\">" +
                Recs({Rec({Col("K", "int", "10"), Col("S", "s", "x"), Col("L", "t", "l1"), Col("R", "t", "r1")}),
                      Rec({Col("K", "int", "10"), Col("S", "s", "y"), Col("L", "t", "l2"),
                           Col("R", "t", "lacks K")}),
                      "<record><column name=\"K\" type=\"int\"/><column name=\"S\" type=\"s\">z</column>"
                      "<column name=\"L\" type=\"t\">l3</column>" +
                          Col("R", "t", "null key") + "</record>"}) +
                "</table>");
}

TEST(UnifyMerger, EquivJoinWithoutSharedColumnsKeepsEveryRecord) {
  const std::string left = Rec({Col("A", "t", "a1")}) + Rec({Col("A", "t", "a2")});
  const std::string right = Rec({Col("B", "u", "b1")});
  auto p = MakePair("<table name=\"L\" unify=\"equiv join\">", left, "<table name=\"R\">", right);
  CUnifyMerger m;
  // A list left over from an earlier pair must not be reused.
  m.equivalentColumns = {"A"};
  auto joined = *m.JoinTables(p.doc, p.left, p.right);
  EXPECT_TRUE(m.equivalentColumns.empty());
  EXPECT_EQ(Xml(joined), "<table name=\"L &amp; R\" unify=\"equiv join\">" +
                             Recs({Rec({Col("A", "t", "a1"), Fill("B", "u")}), Rec({Col("A", "t", "a2"), Fill("B", "u")}),
                                   Rec({Fill("A", "t"), Col("B", "u", "b1")})}) +
                             "</table>");
  // Both empty: still a table, never none.
  auto empty = MakePair("<table name=\"L\" unify=\"equiv join\">", "", "<table name=\"R\">", "");
  CUnifyMerger m2;
  EXPECT_EQ(Xml(*m2.JoinTables(empty.doc, empty.left, empty.right)), "<table name=\"L &amp; R\" unify=\"equiv join\"/>");
}

TEST(UnifyMerger, EquivalentColumnsComeFromTheFirstRecords) {
  auto p = MakePair("<table>", Rec({Col("A", "t", "1"), Col("B", "t", "2"), Col("A", "t", "3")}) + "<record/>",
                    "<table>", Rec({Col("C", "t", "1"), Col("A", "t", "2")}) + Rec({Col("B", "t", "2")}));
  CUnifyMerger m;
  EXPECT_TRUE(m.BuildEquivalentColumns(p.left, p.right));
  EXPECT_EQ(m.equivalentColumns, (std::vector<std::string>{"A", "A"}));
  EXPECT_FALSE(m.BuildEquivalentColumns(p.left, nullptr));
  EXPECT_TRUE(m.equivalentColumns.empty());
  EXPECT_FALSE(*m.JoinEquivalentRecord(p.doc, nullptr, p.right));
}

// ---- Matching through the per-join lookups ------------------------------
// JoinTables matches through lookups built once per pair; these cases pin
// the same partners the builders find by scanning (tested above).

TEST(UnifyMerger, JoinedKeyMatchingKeepsTheFirstPartner) {
  // Duplicate keys on the right, a record carrying the key twice, a
  // non-record holding a key, and an empty key.
  const std::string left = Rec({Col("K", "k", "dup"), Col("L", "t", "l1")}) + Rec({Col("K", "k", "two")}) +
                           Rec({Col("K", "k", "")}) + Rec({Col("K", "k", "none")});
  const std::string right = Rec({Col("K", "k", "x"), Col("R", "t", "r0")}) +
                            "<note><column name=\"K\">dup</column></note>" +
                            Rec({Col("K", "k", "dup"), Col("R", "t", "first")}) +
                            Rec({Col("K", "k", "dup"), Col("R", "t", "second")}) +
                            Rec({Col("K", "k", "one"), Col("K", "k", "two"), Col("R", "t", "twice")}) +
                            Rec({Col("K", "k", "two"), Col("R", "t", "later")}) + Rec({Col("K", "k", "")});
  auto p = MakePair("<table name=\"A\">", left, "<table name=\"B\">", right);
  CUnifyMerger m;
  EXPECT_EQ(Xml(*m.JoinTables(p.doc, p.left, p.right)),
            "<table name=\"A &amp; B\">" +
                Recs({Rec({Col("K", "k", "dup"), Col("L", "t", "l1"), Col("R", "t", "first")}),
                      // The partner holds "two" in its second K column.
                      Rec({Col("K", "k", "two"), Col("R", "t", "twice")}),
                      Rec({Fill("K", "k")}),  // empty matches empty: B's last record
                      Rec({Col("K", "k", "none"), Fill("L", "t"), Fill("R", "t")}),
                      // Right records whose key no left record holds, in order.
                      Rec({Col("K", "k", "x"), Fill("L", "t"), Col("R", "t", "r0")}),
                      Rec({Col("K", "k", "one"), Fill("L", "t"), Col("R", "t", "twice"), Col("K", "k", "two")})}) +
                "</table>");
  // A second join of the same merger looks the other table up afresh.
  auto q = MakePair("<table name=\"C\" unify=\"left inner join\">", Rec({Col("K", "k", "dup")}), "<table name=\"D\">",
                    Rec({Col("K", "k", "dup"), Col("R", "t", "other")}));
  EXPECT_EQ(Xml(*m.JoinTables(q.doc, q.left, q.right)),
            "<table name=\"C &amp; D\" unify=\"left inner join\">" +
                Rec({Col("K", "k", "dup"), Col("R", "t", "other")}) + "</table>");
}

TEST(UnifyMerger, JoinedEquivalenceMatchingKeepsTheFirstAgreeingRecord) {
  // K is looked up; records without K agree on it with anything, so one of
  // them ahead of a K match is the partner.
  const std::string left = Rec({Col("K", "k", "1"), Col("S", "s", "x"), Col("L", "t", "l1")}) +
                           Rec({Col("K", "k", "2"), Col("S", "s", "y"), Col("L", "t", "l2")}) +
                           // Two different K texts: only a record without K can agree.
                           Rec({Col("K", "k", "1"), Col("S", "s", "x"), Col("K", "k", "3")}) +
                           // No K at all: every record is a candidate.
                           Rec({Col("S", "s", "y"), Col("L", "t", "l4")});
  const std::string right = Rec({Col("K", "k", "1"), Col("S", "s", "y"), Col("R", "t", "k1 sy")}) +
                            Rec({Col("S", "s", "x"), Col("R", "t", "no K, sx")}) +
                            Rec({Col("K", "k", "1"), Col("S", "s", "x"), Col("R", "t", "k1 sx")}) +
                            Rec({Col("K", "k", "2"), Col("S", "s", "y"), Col("R", "t", "k2 sy")});
  auto p = MakePair("<table name=\"A\" unify=\"equiv join\">", left, "<table name=\"B\">", right);
  CUnifyMerger m;
  auto joined = *m.JoinTables(p.doc, p.left, p.right);
  EXPECT_EQ(Xml(joined),
            "<table name=\"A &amp; B\" unify=\"equiv join\">" +
                Recs({Rec({Col("K", "k", "1"), Col("S", "s", "x"), Col("L", "t", "l1"), Col("R", "t", "no K, sx")}),
                      Rec({Col("K", "k", "2"), Col("S", "s", "y"), Col("L", "t", "l2"), Col("R", "t", "k2 sy")}),
                      Rec({Col("K", "k", "1"), Col("S", "s", "x"), Col("K", "k", "3"), Col("R", "t", "no K, sx")}),
                      Rec({Col("S", "s", "y"), Col("L", "t", "l4"), Col("R", "t", "k1 sy")})}) +
                "</table>");
  // The same partners by scanning, record by record.
  CUnifyMerger scan;
  ASSERT_TRUE(scan.BuildEquivalentColumns(p.left, p.right));
  auto records = joined->childNodes();
  auto lefts = p.left->childNodes();
  ASSERT_EQ(records.size(), lefts.size());
  for (size_t i = 0; i < lefts.size(); ++i)
    EXPECT_EQ(Xml(*scan.JoinEquivalentRecord(p.doc, lefts[i], p.right)), records[i]->xml()) << i;
}

// ---- Result-tree walkers ----------------------------------------------------

std::string Table(std::string_view name, const std::string& body) {
  return "<table name=\"" + std::string(name) + "\">" + body + "</table>";
}
std::string Resp(std::initializer_list<std::string> tables) {
  std::string out = "<response>";
  for (const auto& t : tables) out += t;
  return out + "</response>";
}

// The worked pair as plain tables (full outer join), and a second pair on
// the same key that matches fully.
const std::string kTableA = Table("A", kA1 + kA2);
const std::string kTableB = Table("B", kB2 + kB3);
const std::string kTableC = Table("C", Rec({Col("P", "s", "p5"), Col("K", "int", "5")}));
const std::string kTableD = Table("D", Rec({Col("K", "int", "5"), Col("Q", "s", "q5")}));
const std::string kTableE = Table("E", Rec({Col("E", "s", "e1")}));
const std::string kJoinedAB =
    "<table name=\"A &amp; B\">" +
    Recs({kLeft1Filled, kJ2, Rec({Fill("X", "string"), Col("K", "int", "3"), Col("Y", "string", "b3")})}) +
    "</table>";
const std::string kJoinedCD =
    "<table name=\"C &amp; D\">" + Rec({Col("P", "s", "p5"), Col("K", "int", "5"), Col("Q", "s", "q5")}) + "</table>";

// A target "response" of its own document, as the unification step passes.
xml::NodePtr NewTarget() { return Parse("<response/>")->documentElement(); }

// The first element of a parsed fragment's wrapper: a node input whose
// siblings follow it.
xml::NodePtr FirstOf(const xml::DocumentPtr& doc) { return doc->documentElement()->firstChild(); }

TEST(UnifyMergerWalkers, TwoDocumentsJoinTheirTablesPairByPosition) {
  struct Case {
    const char* name;
    std::string first, second, expected;
  };
  const Case cases[] = {
      {"two tables each", Resp({kTableA, kTableC}), Resp({kTableB, kTableD}), Resp({kJoinedAB, kJoinedCD})},
      {"unpaired tables of the first are copied", Resp({kTableA, kTableC, kTableE}), Resp({kTableB}),
       Resp({kJoinedAB, kTableC, kTableE})},
      {"unpaired tables of the second are copied", Resp({kTableA}), Resp({kTableB, kTableE}),
       Resp({kJoinedAB, kTableE})},
      {"comments are passed over", "<response><!--c-->" + kTableA + "<!--d--></response>",
       "<!--top--><response>" + kTableB + "<!--e-->" + kTableE + "</response>", Resp({kJoinedAB, kTableE})},
      {"an empty response", Resp({}), Resp({kTableB}), Resp({kTableB})},
  };
  for (const auto& c : cases) {
    auto first = Parse(c.first);
    auto second = Parse(c.second);
    auto output = xml::Document::Create();
    CUnifyMerger m;
    EXPECT_EQ(m.MergeDocuments(first, second, output).code(), S_OK) << c.name;
    EXPECT_EQ(output->xml(), c.expected) << c.name;
    // The inputs are only read.
    EXPECT_EQ(first->xml(), Parse(c.first)->xml()) << c.name;
    EXPECT_EQ(second->xml(), Parse(c.second)->xml()) << c.name;
  }
}

TEST(UnifyMergerWalkers, TwoNodeInputsMergeEveryResponsePairIntoTheTarget) {
  // Two responses a side, then a third on the right alone; a comment and a
  // foreign element between the left responses are not responses and take
  // no part in the pairing.
  auto left = Parse("<r>" + Resp({kTableA}) + "<!--c--><note>" + kTableE + "</note>" + Resp({kTableC}) + "</r>");
  auto right = Parse("<r><intro/>" + Resp({kTableB}) + Resp({kTableD}) + Resp({kTableE}) + "</r>");
  const std::string leftBefore = left->xml(), rightBefore = right->xml();
  auto target = Parse("<response><table name=\"kept\"/></response>")->documentElement();
  CUnifyMerger m;
  // The right input is found from a node ahead of its responses.
  EXPECT_EQ(m.Merge(FirstOf(left), FirstOf(right), target).code(), S_OK);
  EXPECT_EQ(target->xml(), Resp({"<table name=\"kept\"/>", kJoinedAB, kJoinedCD, kTableE}));
  for (auto child = target->firstChild(); child; child = child->nextSibling())
    EXPECT_EQ(child->ownerDocument(), target->ownerDocument());
  EXPECT_EQ(left->xml(), leftBefore);
  EXPECT_EQ(right->xml(), rightBefore);
}

TEST(UnifyMergerWalkers, ASingleInputIsTheSameOnEitherSide) {
  const std::string input = Resp({kTableA, kTableB, kTableC});
  auto viaLeft = NewTarget(), viaRight = NewTarget();
  CUnifyMerger m1, m2;
  EXPECT_EQ(m1.Merge(Parse(input)->documentElement(), nullptr, viaLeft).code(), S_OK);
  EXPECT_EQ(m2.Merge(nullptr, Parse(input)->documentElement(), viaRight).code(), S_OK);
  EXPECT_EQ(viaRight->xml(), viaLeft->xml());
  auto first = Parse(input), output1 = xml::Document::Create(), output2 = xml::Document::Create();
  CUnifyMerger m3, m4;
  EXPECT_EQ(m3.MergeDocuments(first, nullptr, output1).code(), S_OK);
  EXPECT_EQ(m4.MergeDocuments(nullptr, first, output2).code(), S_OK);
  EXPECT_EQ(output2->xml(), output1->xml());
  // The node walker places the joined table itself, as the document walker does.
  EXPECT_EQ(viaLeft->xml(), "<response>" + output1->xml() + "</response>");
}

TEST(UnifyMergerWalkers, ASingleResponseJoinsItsTablesInTurn) {
  // A, B and E: A joined with B, that joined again with E.
  auto input = Parse(Resp({kTableA, "<!--c-->", kTableB, "<table name=\"empty\"/>", kTableE}));
  auto target = NewTarget();
  CUnifyMerger m;
  ASSERT_EQ(m.Merge(input->documentElement(), nullptr, target).code(), S_OK);

  auto tables = Parse("<r>" + kTableA + kTableB + kTableE + "</r>");
  auto a = tables->documentElement()->firstChild();
  CUnifyMerger expected;
  auto ab = *expected.JoinTables(tables, a, a->nextSibling());
  ASSERT_TRUE(ab);
  auto abe = *expected.JoinTables(tables, ab, a->nextSibling()->nextSibling());
  ASSERT_TRUE(abe);
  EXPECT_EQ(target->xml(), "<response>" + abe->xml() + "</response>");
  EXPECT_EQ(abe->getAttribute("name"), "A & B & E");
}

TEST(UnifyMergerWalkers, AThirdTableOnTheSameKeyListsEachColumnOnce) {
  // The merger that joined A and B on K joins F on K too: K stays one column
  // in the list and in every record, matched or not.
  const std::string tableF = Table("F", Rec({Col("K", "int", "2"), Col("Z", "s", "z2")}) +
                                            Rec({Col("K", "int", "4"), Col("Z", "s", "z4")}));
  auto input = Parse(Resp({kTableA, kTableB, tableF}));
  auto target = NewTarget();
  CUnifyMerger m;
  ASSERT_EQ(m.Merge(input->documentElement(), nullptr, target).code(), S_OK);
  EXPECT_EQ(ListedNames(m), (std::vector<std::string>{"X", "K", "Y", "Z"}));
  std::vector<std::string> keys;
  for (const auto& record : target->firstChild()->childNodes()) {
    std::vector<std::string> names;
    for (const auto& column : record->childNodes()) {
      names.push_back(column->getAttribute("name").value_or(""));
      if (names.back() == "K") keys.push_back(column->text());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"X", "K", "Y", "Z"})) << target->xml();
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"1", "2", "3", "4"})) << target->xml();
}

TEST(UnifyMergerWalkers, ASingleResponseOfOneTablePlacesACopyOfIt) {
  struct Case {
    const char* name;
    std::string input, placed;
  };
  const Case cases[] = {
      {"one table", Resp({kTableA}), kTableA},
      {"childless children before it are passed over", Resp({"<!--c-->", "<table name=\"empty\"/>", kTableA}),
       kTableA},
      // No table holds records: the first table is still the answer.
      {"only empty tables", Resp({"<!--c-->", "<table name=\"e1\" src=\"x\"/>", "<table name=\"e2\"/>"}),
       "<table name=\"e1\" src=\"x\"/>"},
      // A trailing comment or foreign element is no second response.
      {"followed by a comment", "<r>" + Resp({kTableA}) + "<!--c--><note>" + kTableB + "</note></r>", kTableA},
  };
  for (const auto& c : cases) {
    auto input = Parse(c.input);
    const auto node = input->documentElement()->nodeName() == "r" ? FirstOf(input) : input->documentElement();
    auto target = NewTarget();
    CUnifyMerger m;
    EXPECT_EQ(m.Merge(node, nullptr, target).code(), S_OK) << c.name;
    EXPECT_EQ(target->xml(), "<response>" + c.placed + "</response>") << c.name;
    EXPECT_EQ(input->xml(), Parse(c.input)->xml()) << c.name;  // a copy went, the input is whole

    if (input->documentElement()->nodeName() == "r") continue;
    auto output = xml::Document::Create();
    CUnifyMerger d;
    EXPECT_EQ(d.MergeDocuments(nullptr, input, output).code(), S_OK) << c.name;
    EXPECT_EQ(output->xml(), c.placed) << c.name;
    EXPECT_EQ(output->documentElement()->ownerDocument(), output);
    EXPECT_EQ(input->xml(), Parse(c.input)->xml()) << c.name;
  }
}

TEST(UnifyMergerWalkers, ASingleInputOfSeveralResponsesJoinsThemInTurn) {
  auto input = Parse("<r>" + Resp({kTableA, kTableC}) + "<!--c-->" + Resp({kTableB}) + Resp({kTableD, kTableE}) +
                     "</r>");
  auto target = NewTarget();
  CUnifyMerger m;
  ASSERT_EQ(m.Merge(FirstOf(input), nullptr, target).code(), S_OK);
  // (A, C) with (B): A & B, C. That with (D, E): (A & B) & D, C & E.
  ASSERT_EQ(target->childNodes().size(), 2u);
  EXPECT_EQ(target->firstChild()->getAttribute("name"), "A & B & D");
  EXPECT_EQ(target->lastChild()->getAttribute("name"), "C & E");

  auto tables = Parse("<r>" + kTableA + kTableB + kTableC + kTableD + kTableE + "</r>");
  auto nodes = tables->documentElement()->childNodes();
  CUnifyMerger expected;
  auto ab = *expected.JoinTables(tables, nodes[0], nodes[1]);
  auto abd = *expected.JoinTables(tables, ab, nodes[3]);
  auto ce = *expected.JoinTables(tables, nodes[2], nodes[4]);
  ASSERT_TRUE(abd && ce);
  EXPECT_EQ(target->xml(), "<response>" + abd->xml() + ce->xml() + "</response>");
}

TEST(UnifyMergerWalkers, ATableOfTheWrongShapeIsLeftOut) {
  const std::string bad = "<table name=\"bad\"><row>x</row></table>";
  // Two inputs: the pair with a bad table is left out, the rest joins.
  auto first = Parse(Resp({bad, kTableC}));
  auto second = Parse(Resp({kTableB, kTableD}));
  auto output = xml::Document::Create();
  CUnifyMerger m;
  EXPECT_EQ(m.MergeDocuments(first, second, output).code(), S_OK);
  EXPECT_EQ(output->xml(), Resp({kJoinedCD}));
  // One input: the bad table is passed over, the others still join.
  auto single = Parse(Resp({kTableA, bad, kTableB}));
  auto target = NewTarget();
  CUnifyMerger m2;
  EXPECT_EQ(m2.Merge(single->documentElement(), nullptr, target).code(), S_OK);
  EXPECT_EQ(target->xml(), Resp({kJoinedAB}));
}

TEST(UnifyMergerWalkers, InputsWithoutAResponseChangeNothing) {
  auto response = Parse(Resp({kTableA}));
  auto other = Parse("<answer>" + kTableB + "</answer>");
  auto empty = xml::Document::Create();
  auto target = Parse("<response><table name=\"kept\"/></response>")->documentElement();
  const std::string targetBefore = target->xml();
  CUnifyMerger m;
  EXPECT_EQ(m.Merge(other->documentElement(), nullptr, target).code(), QS_E_UNIFICATION_SOURCE_INVALID);
  EXPECT_EQ(m.Merge(response->documentElement(), other->documentElement(), target).code(), QS_E_UNIFICATION_SOURCE_INVALID);
  EXPECT_EQ(m.Merge(other->documentElement(), response->documentElement(), target).code(), QS_E_UNIFICATION_SOURCE_INVALID);
  EXPECT_EQ(m.Merge(FirstOf(response), nullptr, target).code(), QS_E_UNIFICATION_SOURCE_INVALID);  // a table is no response
  EXPECT_EQ(target->xml(), targetBefore);

  auto output = xml::Document::Create();
  EXPECT_EQ(m.MergeDocuments(other, nullptr, output).code(), QS_E_UNIFICATION_SOURCE_INVALID);
  EXPECT_EQ(m.MergeDocuments(empty, nullptr, output).code(), QS_E_UNIFICATION_SOURCE_INVALID);
  EXPECT_EQ(m.MergeDocuments(response, other, output).code(), QS_E_UNIFICATION_SOURCE_INVALID);
  EXPECT_EQ(m.MergeDocuments(empty, response, output).code(), QS_E_UNIFICATION_SOURCE_INVALID);
  EXPECT_FALSE(output->hasChildNodes());
  // A response with no child at all has nothing to place.
  auto bare = Parse("<response/>");
  EXPECT_EQ(m.Merge(bare->documentElement(), nullptr, target).code(), S_OK);
  EXPECT_EQ(m.MergeDocuments(bare, nullptr, output).code(), S_OK);
  EXPECT_EQ(target->xml(), targetBefore);
  EXPECT_FALSE(output->hasChildNodes());
}

TEST(UnifyMergerWalkers, MissingOrUnfitArgumentsGiveAStatus) {
  auto response = Parse(Resp({kTableA}));
  const auto node = response->documentElement();
  auto target = NewTarget();
  CUnifyMerger m;
  EXPECT_EQ(m.Merge(nullptr, nullptr, target).code(), E_POINTER);
  EXPECT_EQ(m.Merge(node, nullptr, nullptr).code(), E_POINTER);
  EXPECT_EQ(m.Merge(node, node, nullptr).code(), E_POINTER);
  EXPECT_EQ(m.MergeTwo(node, nullptr, target).code(), E_POINTER);
  EXPECT_EQ(m.MergeOne(nullptr, target).code(), E_POINTER);
  auto output = xml::Document::Create();
  EXPECT_EQ(m.MergeDocuments(nullptr, nullptr, output).code(), E_POINTER);
  EXPECT_EQ(m.MergeDocuments(response, nullptr, nullptr).code(), E_POINTER);
  EXPECT_EQ(m.MergeTwoDocuments(response, nullptr, output).code(), E_POINTER);
  EXPECT_EQ(m.MergeOneDocument(nullptr, output).code(), E_POINTER);
  EXPECT_EQ(target->xml(), "<response/>");
  EXPECT_FALSE(output->hasChildNodes());

  // A target that cannot hold tables, an output that already holds an
  // element (the input document itself, say): refused before any work.
  auto text = Parse("<r>text</r>");
  EXPECT_EQ(m.Merge(node, nullptr, text->documentElement()->firstChild()).code(), E_INVALIDARG);
  EXPECT_EQ(m.Merge(node, node, std::static_pointer_cast<xml::Node>(output)).code(), E_INVALIDARG);
  EXPECT_EQ(m.MergeDocuments(response, nullptr, response).code(), E_INVALIDARG);
  EXPECT_EQ(m.MergeDocuments(response, response, response).code(), E_INVALIDARG);
  EXPECT_EQ(response->xml(), Resp({kTableA}));
  EXPECT_EQ(text->xml(), "<r>text</r>");
}

TEST(UnifyMergerWalkers, JoinResponsesPairsOnlyResponses) {
  auto doc = Parse("<r>" + Resp({kTableA, kTableC}) + Resp({kTableB}) + "<answer>" + kTableD + "</answer></r>");
  auto nodes = doc->documentElement()->childNodes();
  auto factory = xml::Document::Create();
  CUnifyMerger m;
  auto joined = *m.JoinResponses(factory, nodes[0], nodes[1]);
  EXPECT_EQ(Xml(joined), Resp({kJoinedAB, kTableC}));
  EXPECT_EQ(joined->ownerDocument(), factory);
  EXPECT_FALSE(joined->parentNode());
  // Anything but two responses gives an empty one, never none.
  EXPECT_EQ(Xml(*m.JoinResponses(factory, nodes[0], nodes[2])), "<response/>");
  EXPECT_EQ(Xml(*m.JoinResponses(factory, nullptr, nodes[0])), "<response/>");
  EXPECT_EQ(m.JoinResponses(nullptr, nodes[0], nodes[1]).status().code(), E_POINTER);
  EXPECT_EQ(doc->xml(), "<r>" + Resp({kTableA, kTableC}) + Resp({kTableB}) + "<answer>" + kTableD + "</answer></r>");
}

}  // namespace
