// The unified answers of today's engine, kept byte for byte: a few hundred
// generated cases (statements over several sources, unify rules, join kinds,
// answers of every shape, transformers) run through DispatchQuery or
// Execute, whole and with a sink, against recorded expectations in
// data/unify_golden/<group>/. A later engine must give every one of them.
//
// Sources are SQLite files read by the real accessor, or, for shapes no
// database gives, QuorTest.CannedAccessor answering files. Everything is
// generated here from fixed seeds; QUOR_RECORD_GOLDEN=1 writes the
// expectations from the running engine instead of comparing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/query/QueryEngine.h"
#include "core/tests/TestInstance.h"
#include "platform/com/classstore.h"

namespace quor::core {
namespace {

namespace fs = std::filesystem;
using Value = std::optional<std::string>;
using Rows = std::vector<std::vector<Value>>;
const Value kNull = std::nullopt;

// ---- Deterministic generation ----------------------------------------------

uint64_t Fnv1a64(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

std::string Hex64(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// splitmix64: the same numbers on every library, unlike <random>'s
// distributions.
struct Rng {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t Below(size_t n) { return static_cast<size_t>(Next() % n); }
  template <typename T>
  void Shuffle(std::vector<T>& items) {
    for (size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[Below(i)]);
  }
};

// ---- A case's inputs ---------------------------------------------------------

struct Column {
  std::string name, type;  // SQL type for a database, DBTYPE name for a canned table
};

// A table of a SQLite source.
struct Table {
  std::string name;
  std::vector<Column> columns;
  Rows rows;
};

// One configured definition: a SQLite file the real accessor reads, or a
// folder of answers the canned one gives.
struct Source {
  std::string dsn;
  bool canned = false;
  bool catalog = true;              // <InitialCatalog>main</InitialCatalog>
  std::vector<Table> tables;        // a database's
  std::map<std::string, std::string> files;  // canned: file -> content
};

struct Case {
  std::string slug;
  std::vector<Source> sources;
  std::vector<std::string> rules;  // one unifyrule per file, in order
  std::string query;               // "<sqlquery>": dispatched; "<query>": executed
  bool cannedDefault = false;      // the default binding is the canned accessor
  bool mutates = false;            // the databases are restored before the second run
  bool wholeOnly = false;          // no run with a sink (the large ones: time)
};

constexpr const char* kProvider = "MSDASQL.1";

std::string HexText(std::string_view text) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// SQL that makes `table`; text values as hex so that every byte arrives.
std::string TableSql(const Table& table) {
  std::string sql = "CREATE TABLE \"" + table.name + "\" (";
  for (size_t i = 0; i < table.columns.size(); ++i)
    sql += (i ? ", \"" : "\"") + table.columns[i].name + "\" " + table.columns[i].type;
  sql += ");\n";
  if (table.rows.empty()) return sql;
  sql += "BEGIN;\n";
  for (const auto& row : table.rows) {
    sql += "INSERT INTO \"" + table.name + "\" VALUES (";
    for (size_t i = 0; i < row.size(); ++i) {
      if (i) sql += ", ";
      if (!row[i]) sql += "NULL";
      else if (table.columns[i].type == "TEXT") sql += "CAST(X'" + HexText(*row[i]) + "' AS TEXT)";
      else sql += *row[i];
    }
    sql += ");\n";
  }
  return sql + "COMMIT;\n";
}

// A canned table written as the accessor writes one; values are XML
// fragments as they stand, none an empty column.
std::string CannedTable(const std::string& name, const std::vector<Column>& columns, const Rows& rows,
                        const std::string& attributes = "") {
  std::string out = "<table name=\"" + name + "\"" + attributes + ">";
  for (const auto& row : rows) {
    out += "<record>";
    for (size_t i = 0; i < row.size() && i < columns.size(); ++i) {
      out += "<column name=\"" + columns[i].name + "\" type=\"" + columns[i].type + "\"";
      out += row[i] ? ">" + *row[i] + "</column>" : "/>";
    }
    out += "</record>";
  }
  return out + "</table>";
}
std::string Response(const std::string& tables) { return "<response>" + tables + "</response>"; }

Source Real(const std::string& dsn, std::vector<Table> tables) {
  Source source;
  source.dsn = dsn;
  source.tables = std::move(tables);
  return source;
}
Source Canned(const std::string& dsn, std::map<std::string, std::string> files) {
  Source source;
  source.dsn = dsn;
  source.canned = true;
  source.files = std::move(files);
  return source;
}

// ---- Statements and rules ------------------------------------------------------

std::string Select(const std::string& from, const std::string& columns = "*") {
  return "<sql><select>" + columns + "</select><from>" + from + "</from></sql>";
}
// A statement every definition serves (all have the one provider).
std::string StatementOnly(const std::string& from, const std::string& after = "", const std::string& before = "") {
  return "<statement><provider>" + std::string(kProvider) + "</provider>" + before + Select(from) + after +
         "</statement>";
}
std::string Statement(const std::string& from, const std::string& after = "", const std::string& before = "") {
  return "<sqlquery>" + StatementOnly(from, after, before) + "</sqlquery>";
}
struct Sub {
  std::string dsn, from;
  bool catalog = true;
  std::string more = "";  // before the sql
};
std::string Substatement(const Sub& sub) {
  return "<substatement><provider>" + std::string(kProvider) + "</provider>" +
         (sub.dsn.empty() ? "" : "<dsn>" + sub.dsn + "</dsn>") + (sub.catalog ? "<catalog>main</catalog>" : "") +
         sub.more + Select(sub.from) + "</substatement>";
}
std::string SubstatementsOnly(const std::vector<Sub>& subs, const std::string& after = "") {
  std::string out = "<statement>";
  for (const Sub& sub : subs) out += Substatement(sub);
  return out + after + "</statement>";
}
std::string Substatements(const std::vector<Sub>& subs, const std::string& after = "") {
  return "<sqlquery>" + SubstatementsOnly(subs, after) + "</sqlquery>";
}
std::string Get(const std::vector<std::pair<std::string, std::string>>& targets, const std::string& after = "",
                const std::string& content = "record") {
  std::string out = "<query><get><content>" + content + "</content>";
  for (const auto& [dsn, table] : targets)
    out += "<target><provider>" + std::string(kProvider) + "</provider><dsn>" + dsn +
           "</dsn><catalog>main</catalog><table>" + table + "</table></target>";
  return out + after + "</get></query>";
}

using Renamings = std::vector<std::pair<std::string, std::string>>;
const Renamings kNoRenaming = {{"zz", "zz"}};

std::string Patterns(const Renamings& pairs) {
  std::string out;
  for (const auto& [lid, rid] : pairs) out += "<pattern><lid>" + lid + "</lid><rid>" + rid + "</rid></pattern>";
  return out;
}
// A unifyrule of `dsn`: its kind (none: no <unify>), its table's patterns
// (no table: none), then `more` (destinations).
std::string Rule(const std::string& dsn, const Value& kind, const Value& table, const Renamings& pairs = {}, const std::string& more = "",
                 const std::string& keys = "<Catalog>main</Catalog>") {
  std::string out = "<unifyrule><Provider>" + std::string(kProvider) + "</Provider><Dsn>" + dsn + "</Dsn>" + keys;
  if (kind) out += "<unify>" + *kind + "</unify>";
  // A table needs a pattern to be named; one that renames nothing.
  if (table) out += "<table name=\"" + *table + "\">" + Patterns(pairs.empty() ? kNoRenaming : pairs) + "</table>";
  return out + more + "</unifyrule>";
}
std::string Destination(const std::string& dsn, const Value& kind, const std::string& table,
                        const Renamings& pairs = kNoRenaming) {
  std::string out = "<destination><Provider>" + std::string(kProvider) + "</Provider><Dsn>" + dsn +
                    "</Dsn><Catalog>main</Catalog>";
  if (kind) out += "<unify>" + *kind + "</unify>";
  return out + "<table name=\"" + table + "\">" + Patterns(pairs) + "</table></destination>";
}

const std::vector<Value> kKinds = {"full outer join", "left outer join",  "right outer join", "cross join",
                                   "union join",      "left inner join",  "right inner join", "max inner join",
                                   "min inner join",  "equiv join"};

std::string KindSlug(const Value& kind) {
  if (!kind) return "absent";
  std::string slug;
  for (const char c : *kind) slug += c == ' ' ? '-' : c;
  return slug;
}

// ---- The join kinds on real sources ----------------------------------------------

const Column kKi{"K", "INTEGER"}, kKt{"K", "TEXT"};
Column Text(const std::string& name) { return {name, "TEXT"}; }
Column Int(const std::string& name) { return {name, "INTEGER"}; }

struct Shape {
  std::string slug;
  Table left, right;
};

std::vector<Shape> KindShapes() {
  std::vector<Shape> shapes;
  shapes.push_back({"basic",
                    {"", {kKi, Text("A")}, {{"1", "a1"}, {"2", "a2"}, {"3", "a3"}, {"4", "a4"}}},
                    {"", {kKi, Text("B")}, {{"2", "b2"}, {"4", "b4"}, {"5", "b5"}, {"6", "b6"}}}});
  shapes.push_back({"nulls",
                    {"",
                     {kKt, Text("A")},
                     {{"1", "x"}, {kNull, "null key"}, {"", "empty key"}, {"   ", "blank key"}, {"2", kNull}, {"3", ""}}},
                    {"", {kKt, Text("B")}, {{kNull, "rnull"}, {"", "rempty"}, {"2", "r2"}, {"3", kNull}, {"9", "r9"}}}});
  shapes.push_back({"dup-right",
                    {"", {kKi, Text("A")}, {{"1", "a1"}, {"2", "a2"}, {"3", "a3"}}},
                    {"",
                     {kKi, Text("B")},
                     {{"2", "b2"}, {"2", "b2bis"}, {"3", "b3"}, {"3", "b3bis"}, {"7", "b7"}, {"7", "b7bis"}}}});
  shapes.push_back({"dup-left",
                    {"", {kKi, Text("A")}, {{"1", "a"}, {"1", "a-again"}, {"2", "x"}, {"2", "y"}, {"2", "z"}}},
                    {"", {kKi, Text("B")}, {{"1", "r1"}, {"2", "r2"}, {"3", "r3"}}}});
  {
    Rng rng{0x5EED0001};
    std::vector<int> left{1, 2, 3, 4, 5, 6, 7, 8}, right{4, 5, 6, 7, 8, 9, 10, 11};
    rng.Shuffle(left);
    rng.Shuffle(right);
    Shape shape{"shuffled", {"", {kKi, Text("A"), Int("N")}, {}}, {"", {kKi, Text("B")}, {}}};
    for (const int k : left) shape.left.rows.push_back({std::to_string(k), "a" + std::to_string(k), std::to_string(k * 10)});
    for (const int k : right) shape.right.rows.push_back({std::to_string(k), "b" + std::to_string(k)});
    shapes.push_back(std::move(shape));
  }
  shapes.push_back({"no-key",
                    {"", {Text("A"), Text("X")}, {{"a1", "x1"}, {"a2", "x2"}}},
                    {"", {Text("B"), Text("Y")}, {{"b1", "y1"}, {"b2", "y2"}, {"b3", "y3"}}}});
  shapes.push_back({"key-last",
                    {"", {Text("A"), Text("B"), kKi}, {{"a1", "b1", "1"}, {"a2", "b2", "2"}, {"a3", "b3", "3"}}},
                    {"", {Text("C"), kKi}, {{"c3", "3"}, {"c1", "1"}, {"c9", "9"}}}});
  shapes.push_back({"empty-left",
                    {"", {kKi, Text("A")}, {}},
                    {"", {kKi, Text("B")}, {{"1", "b1"}, {"2", "b2"}}}});
  shapes.push_back({"empty-right",
                    {"", {kKi, Text("A")}, {{"1", "a1"}, {"2", "a2"}}},
                    {"", {kKi, Text("B")}, {}}});
  shapes.push_back({"two-shared",
                    {"", {kKi, Text("M"), Text("A")}, {{"1", "m", "a1"}, {"2", "m", "a2"}, {"3", "n", "a3"}, {"4", kNull, "a4"}}},
                    {"", {kKi, Text("M"), Text("B")}, {{"1", "m", "b1"}, {"2", "x", "b2"}, {"3", "n", "b3"}, {"4", kNull, "b4"}, {"5", "m", "b5"}}}});
  shapes.push_back({"case-keys",
                    {"", {kKt, Text("A")}, {{"abc", "lower"}, {"ABC", "upper"}, {"10", "ten"}, {"10.0", "ten point"}}},
                    {"", {kKt, Text("B")}, {{"ABC", "R-upper"}, {"10.0", "R-ten point"}, {"x", "R-x"}}}});
  shapes.push_back({"shared-reordered",
                    {"", {kKi, Text("A"), Text("V")}, {{"1", "a1", "v1"}, {"2", "a2", "v2"}, {"3", "a3", "v3"}}},
                    {"", {Text("V"), kKi, Text("B")}, {{"v2", "2", "b2"}, {"v1", "9", "b9"}, {"w", "3", "b3"}}}});
  return shapes;
}

// The roads a pair of sources may take to a join of `kind`.
enum class Road { StatementBoth, StatementSecond, SubRule, SubMerge, SubDestination };
constexpr int kRoads = 5;
const char* RoadSlug(Road road) {
  switch (road) {
    case Road::StatementBoth: return "stmt-both-rules";
    case Road::StatementSecond: return "stmt-second-rule";
    case Road::SubRule: return "sub-rule";
    case Road::SubMerge: return "sub-merge";
    case Road::SubDestination: return "sub-destination";
  }
  return "";
}

// Two real sources s1 (left) and s2 (right) joined by `kind` on `road`.
Case KindCase(const Value& kind, const Shape& shape, Road road, const std::string& after = "") {
  Case c;
  c.slug = KindSlug(kind) + "-" + shape.slug + "-" + RoadSlug(road);
  Table left = shape.left, right = shape.right;
  const bool statement = road == Road::StatementBoth || road == Road::StatementSecond;
  left.name = statement ? "T" : "L";
  right.name = statement ? "T" : "R";
  c.sources = {Real("s1", {left}), Real("s2", {right})};
  switch (road) {
    case Road::StatementBoth:
      c.rules = {Rule("s1", kind, "T", {{"alpha", "A"}}), Rule("s2", kind, "T", {{"beta", "B"}})};
      break;
    case Road::StatementSecond: c.rules = {Rule("s2", kind, "T", {{"beta", "B"}})}; break;
    case Road::SubRule: c.rules = {Rule("s1", kind, "L", {{"alpha", "A"}})}; break;
    case Road::SubMerge: c.rules = {Rule("s1", kind, std::nullopt)}; break;
    case Road::SubDestination:
      c.rules = {Rule("s1", "full outer join", "L", {{"alpha", "A"}}, Destination("s2", kind, "R", {{"gamma", "B"}}))};
      break;
  }
  c.query = statement ? Statement("T", after) : Substatements({{"s1", "L"}, {"s2", "R"}}, after);
  return c;
}

std::vector<Case> KindCases(const std::vector<Value>& kinds, int offset) {
  std::vector<Case> cases;
  const std::vector<Shape> shapes = KindShapes();
  for (size_t k = 0; k < kinds.size(); ++k)
    for (size_t s = 0; s < shapes.size(); ++s)
      cases.push_back(KindCase(kinds[k], shapes[s], static_cast<Road>((k + s + offset) % kRoads)));
  return cases;
}

// ---- Answers of every shape (canned) -------------------------------------------------

const Column kCK{"K", "DBTYPE_I4"};
Column Str(const std::string& name) { return {name, "DBTYPE_STR"}; }

std::string GoodLeft(const std::string& name = "T") {
  return CannedTable(name, {kCK, Str("A")}, {{"1", "a1"}, {"2", "a2"}, {"3", "a3"}});
}
std::string GoodRight(const std::string& name = "T") {
  return CannedTable(name, {kCK, Str("B")}, {{"2", "b2"}, {"3", "b3"}, {"4", "b4"}});
}

// Answer texts (whole documents; "" = no answer file) named by slug.
std::vector<std::pair<std::string, std::string>> OddAnswers() {
  const std::string rec2 = "<record><column name=\"K\" type=\"DBTYPE_I4\">2</column><column name=\"B\" type=\"DBTYPE_STR\">b2</column></record>";
  const std::string rec3 = "<record><column name=\"K\" type=\"DBTYPE_I4\">3</column><column name=\"B\" type=\"DBTYPE_STR\">b3</column></record>";
  const std::string kcol = "<column name=\"K\" type=\"DBTYPE_I4\">2</column>";
  return {
      {"table-comment-first", Response("<table name=\"T\"><!-- first -->" + rec2 + rec3 + "</table>")},
      {"table-text-first", Response("<table name=\"T\">stray" + rec2 + rec3 + "</table>")},
      {"row-not-record", Response("<table name=\"T\"><row>" + kcol + "</row>" + rec3 + "</table>")},
      {"record-comment-first", Response("<table name=\"T\"><record><!-- c -->" + kcol + "</record>" + rec3 + "</table>")},
      {"record-text-first", Response("<table name=\"T\"><record>text" + kcol + "</record>" + rec3 + "</table>")},
      {"record-value-element", Response("<table name=\"T\"><record><value>v</value>" + kcol + "</record>" + rec3 + "</table>")},
      {"note-between-records", Response("<table name=\"T\">" + rec2 + "<note>between</note>" + rec3 + "</table>")},
      {"later-record-odd-child",
       Response("<table name=\"T\">" + rec2 + "<record><extra>x</extra><column name=\"K\" type=\"DBTYPE_I4\">3</column></record></table>")},
      {"bare-table", "<table name=\"T\">" + rec2 + rec3 + "</table>"},
      {"other-root", "<data><table name=\"T\">" + rec2 + "</table></data>"},
      {"response-caption", Response("<caption>c</caption><table name=\"T\">" + rec2 + "</table><tail>t</tail>")},
      {"response-then-comment", Response("<table name=\"T\">" + rec2 + "</table>") + "<!-- after -->"},
      {"empty-response", "<response/>"},
      {"empty-table", Response("<table name=\"T\"/>")},
      {"table-without-name", Response("<table>" + rec2 + rec3 + "</table>")},
      {"response-attributes", "<response from=\"canned\" n=\"1\"><table name=\"T\" extra=\"e\" unify=\"old\">" + rec2 + "</table></response>"},
      {"fault", "<fault><faultcode>0x81000050</faultcode><faultstring>canned fault</faultstring></fault>"},
      {"not-well-formed", "<response><table name=\"T\"><record>"},
      {"no-answer", ""},
      {"two-tables", Response(GoodRight("T") + CannedTable("U", {kCK, Str("C")}, {{"1", "c1"}, {"3", "c3"}}))},
      {"three-tables", Response(GoodRight("T") + CannedTable("U", {kCK, Str("C")}, {{"1", "c1"}}) +
                                CannedTable("V", {Str("D")}, {{"d"}}))},
      {"key-twice", Response("<table name=\"T\"><record>" + kcol +
                             "<column name=\"K\" type=\"DBTYPE_I4\">3</column><column name=\"B\" type=\"DBTYPE_STR\">two keys</column></record>" +
                             rec3 + "</table>")},
      {"nameless-and-typeless", Response("<table name=\"T\"><record><column type=\"DBTYPE_STR\">nameless</column>" + kcol +
                                         "<column name=\"B\">typeless</column></record>" + rec3 + "</table>")},
      {"unlike-records",
       Response("<table name=\"T\">" + rec2 +
                "<record><column name=\"X\" type=\"DBTYPE_STR\">extra</column><column name=\"K\" type=\"DBTYPE_I4\">3</column>"
                "<column name=\"B\" type=\"DBTYPE_STR\">b3</column><column name=\"Y\" type=\"DBTYPE_STR\">y</column></record>"
                "<record><column name=\"B\" type=\"DBTYPE_STR\">no key</column></record></table>")},
      {"orginalname-present",
       Response("<table name=\"T\"><record><column name=\"K\" type=\"DBTYPE_I4\" orginalname=\"B\">2</column>"
                "<column name=\"B\" orginalname=\"Q\" type=\"DBTYPE_STR\">b2</column></record></table>")},
      {"whitespace-between", Response("\n  <table name=\"T\">\n    " + rec2 + "\n    " + rec3 + "\n  </table>\n")},
  };
}

std::vector<Case> ShapeCases() {
  const std::vector<Value> kinds = {"full outer join", "left inner join", "union join", "cross join", "equiv join",
                                    "right outer join"};
  std::vector<Case> cases;
  const auto odd = OddAnswers();
  const auto files = [](const std::string& text) {
    return text.empty() ? std::map<std::string, std::string>{} : std::map<std::string, std::string>{{"default.xml", text}};
  };
  for (size_t i = 0; i < odd.size(); ++i) {
    for (const bool oddOnLeft : {false, true}) {
      // Both sides for the shapes a real source stands beside; the odd side
      // on the left only every other shape.
      if (oddOnLeft && i % 2) continue;
      const Value& kind = kinds[(i + (oddOnLeft ? 3 : 0)) % kinds.size()];
      Case c;
      c.slug = odd[i].first + (oddOnLeft ? "-on-left-" : "-on-right-") + KindSlug(kind);
      const std::string good = Response(oddOnLeft ? GoodRight() : GoodLeft());
      c.sources = {Canned("c1", files(oddOnLeft ? odd[i].second : good)),
                   Canned("c2", files(oddOnLeft ? good : odd[i].second))};
      c.rules = {Rule("c1", kind, "T", {{"alpha", "A"}}), Rule("c2", kind, "T", {{"beta", "B"}})};
      // Every third through substatements (the merge without rules).
      if (i % 3 == 2) {
        c.rules = {Rule("c1", kind, std::nullopt)};
        c.query = Substatements({{"c1", "T"}, {"c2", "T"}});
        c.slug += "-sub";
      } else {
        c.query = Statement("T");
      }
      cases.push_back(std::move(c));
    }
  }
  // A failing accessor, first or second.
  for (const bool first : {true, false}) {
    Case c;
    c.slug = std::string("accessor-fails-") + (first ? "first" : "second");
    c.sources = {Canned("c1", first ? std::map<std::string, std::string>{{"default.status", "80004005"}}
                                    : files(Response(GoodLeft()))),
                 Canned("c2", first ? files(Response(GoodRight())) : std::map<std::string, std::string>{{"default.status", "80004005"}})};
    c.rules = {Rule("c1", "full outer join", "T"), Rule("c2", "full outer join", "T")};
    c.query = Statement("T");
    cases.push_back(std::move(c));
  }
  // Several tables on both sides: positional pairs.
  for (const Value& kind : {Value("full outer join"), Value("left inner join"), Value()}) {
    Case c;
    c.slug = "tables-by-position-" + KindSlug(kind);
    c.sources = {Canned("c1", files(Response(GoodLeft("T") + CannedTable("U", {kCK, Str("E")}, {{"1", "e1"}, {"5", "e5"}}) +
                                             CannedTable("W", {Str("F")}, {{"f"}})))),
                 Canned("c2", files(Response(GoodRight("T") + CannedTable("U", {kCK, Str("G")}, {{"5", "g5"}}))))};
    c.rules = {Rule("c1", kind, std::nullopt)};
    c.query = Substatements({{"c1", "T"}, {"c2", "T"}});
    cases.push_back(std::move(c));
  }
  return cases;
}

// ---- Values: markup, control and wide characters, embedded content ------------------

std::vector<Case> ValueCases() {
  std::vector<Case> cases;
  const std::string specials = "amp & lt < gt > quot \" apos ' cr \r lf \n tab \t e\xC3\xA9 han\xE6\xBC\xA2 smile\xF0\x9F\x98\x80";
  const Table left{"L", {kKt, Text("A"), Text("C")},
                   {{"k&<>\"'", specials, "plain"},
                    {"\xF0\x9F\x98\x80", "four bytes key", "\r\n"},
                    {"tab\tkey", "  ", "\t"},
                    {"cr\rkey", "", kNull},
                    {"\xC3\xA9t\xC3\xA9", "]]> cdata end", "<not markup/>"}}};
  const Table right{"R", {kKt, Text("B")},
                    {{"k&<>\"'", "right " + specials},
                     {"\xF0\x9F\x98\x80", "smile"},
                     {"cr\rkey", "cr matched"},
                     {"\xC3\x89T\xC3\x89", "other case"},
                     {"tab\tkey", " lead and trail "}}};
  for (const Value& kind : {Value("full outer join"), Value("left inner join"), Value("union join"), Value("equiv join")}) {
    Case c;
    c.slug = "real-specials-" + KindSlug(kind);
    c.sources = {Real("s1", {left}), Real("s2", {right})};
    c.rules = {Rule("s1", kind, std::nullopt)};
    c.query = Substatements({{"s1", "L"}, {"s2", "R"}});
    cases.push_back(std::move(c));
  }
  {
    Case c;
    c.slug = "real-specials-renamed-both";
    Table l = left, r = right;
    l.name = r.name = "T";
    c.sources = {Real("s1", {l}), Real("s2", {r})};
    c.rules = {Rule("s1", "full outer join", "T", {{"\xC3\xA4lpha&amp;", "A"}}), Rule("s2", "full outer join", "T", {{"b&lt;e&gt;ta", "B"}})};
    c.query = Statement("T");
    cases.push_back(std::move(c));
  }
  // Canned: what no database column holds.
  const auto canned = [](const std::string& slug, const std::string& leftAnswer, const std::string& rightAnswer,
                         const Value& kind) {
    Case c;
    c.slug = "canned-" + slug + "-" + KindSlug(kind);
    c.sources = {Canned("c1", {{"default.xml", leftAnswer}}), Canned("c2", {{"default.xml", rightAnswer}})};
    c.rules = {Rule("c1", kind, "T", {{"alpha", "A"}}), Rule("c2", kind, "T", {{"beta", "B"}})};
    c.query = Statement("T");
    return c;
  };
  const std::string embedded = Response(CannedTable(
      "T", {kCK, Str("A")},
      {{"1", "<x a=\"1\">deep<y/></x>"}, {"2", "text<b>bold</b>tail"}, {"3", "<!-- only a comment -->"},
       {"4", "<![CDATA[<raw> & ]]>"}, {"5", "<?pi data?>value"}}));
  const std::string embeddedKeys = Response(CannedTable(
      "T", {kCK, Str("B")},
      {{"<k>1</k>", "key in an element"}, {"2", "b2"}, {"<![CDATA[3]]>", "key in cdata"}, {"4<!-- c -->", "key and comment"}}));
  const std::string escapes = Response(CannedTable(
      "T", {kCK, Str("A")},
      {{"1", "cr&#xD;lf&#xA;tab&#x9;"}, {"2", "&amp;&lt;&gt;&quot;&apos;"}, {"3", "&#x1F600;&#233;"}, {"4", "a\r\nb"}},
      " title=\"t&#9;a&#10;b&#13;c &amp; &quot;q&quot;\""));
  const std::string wideNames = Response(CannedTable(
      "T", {{"K", "DBTYPE_I4"}, {"\xC3\x84&amp;\xE6\xBC\xA2", "DBTYPE_WSTR"}, {"B", "t&lt;y&gt;pe"}},
      {{"2", "wide", "b2"}, {"3", kNull, "b3"}}));
  for (const Value& kind : {Value("full outer join"), Value("left inner join"), Value("union join"), Value("equiv join"),
                            Value("cross join")}) {
    cases.push_back(canned("embedded", embedded, embeddedKeys, kind));
  }
  for (const Value& kind : {Value("full outer join"), Value("right outer join"), Value("equiv join")}) {
    cases.push_back(canned("escapes", escapes, wideNames, kind));
  }
  {
    Case c = canned("wide-table-names", Response(GoodLeft("\xC3\x96RDERS")), Response(GoodRight("dbo.\xC3\x96RDERS")),
                    "full outer join");
    c.rules = {Rule("c1", "full outer join", "\xC3\x96RDERS", {{"alpha", "A"}}),
               Rule("c2", "full outer join", "\xC3\x96RDERS", {{"beta", "B"}})};
    cases.push_back(std::move(c));
  }
  return cases;
}

// ---- Rules: renaming, matching, destinations --------------------------------------

std::vector<Case> RuleCases() {
  std::vector<Case> cases;
  const Table orders{"ORDERS", {Int("id"), Text("item")}, {{"1", "pen"}, {"2", "ink"}, {"3", "pad"}}};
  const Table people{"ORDERS", {Int("person"), Text("name")}, {{"2", "bo"}, {"3", "cy"}, {"4", "di"}}};
  const Table peopleById{"ORDERS", {Int("id"), Text("name")}, {{"2", "bo"}, {"3", "cy"}, {"4", "di"}}};
  const auto add = [&](const std::string& slug, std::vector<Source> sources, std::vector<std::string> rules,
                       const std::string& query) {
    Case c;
    c.slug = slug;
    c.sources = std::move(sources);
    c.rules = std::move(rules);
    c.query = query;
    cases.push_back(std::move(c));
  };
  add("rename-creates-key", {Real("s1", {orders}), Real("s2", {people})},
      {Rule("s1", "left outer join", "ORDERS"), Rule("s2", "left outer join", "ORDERS", {{"id", "person"}})},
      Statement("ORDERS"));
  add("rename-kills-key", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s1", "full outer join", "ORDERS", {{"order", "id"}}), Rule("s2", "full outer join", "ORDERS")},
      Statement("ORDERS"));
  add("rename-both-sides-same", {Real("s1", {orders}), Real("s2", {people})},
      {Rule("s1", "full outer join", "ORDERS", {{"key", "id"}}), Rule("s2", "full outer join", "ORDERS", {{"key", "person"}})},
      Statement("ORDERS"));
  add("kind-in-other-case", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s1", "Left INNER Join", "ORDERS"), Rule("s2", "LEFT inner JOIN", "ORDERS")}, Statement("ORDERS"));
  add("kind-empty-text", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s1", "", "ORDERS"), Rule("s2", "", "ORDERS")}, Statement("ORDERS"));
  add("kind-differs-per-side", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s1", "left inner join", "ORDERS"), Rule("s2", "right outer join", "ORDERS")}, Statement("ORDERS"));
  add("pattern-prefix", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s1", "left inner join", "ORD", {{"what", "item"}}), Rule("s2", "left inner join", "OR")}, Statement("ORDERS"));
  add("pattern-other-case", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s1", "left inner join", "orders", {{"what", "item"}}), Rule("s2", "left inner join", "Orders")},
      Statement("ORDERS"));
  add("pattern-without-table", {Real("s1", {orders}), Real("s2", {peopleById})},
      {"<unifyrule><Provider>MSDASQL.1</Provider><Dsn>s1</Dsn><Catalog>main</Catalog><unify>left outer join</unify>"
       "<pattern><lid>what</lid><rid>item</rid></pattern></unifyrule>",
       Rule("s2", "left outer join", "ORDERS", {{"who", "name"}})},
      Statement("ORDERS"));
  add("rule-catalog-differs", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s1", "left inner join", "ORDERS", {}, "", "<Catalog>other</Catalog>"),
       Rule("s2", "left inner join", "ORDERS", {}, "", "<Catalog>other</Catalog>")},
      Statement("ORDERS"));
  add("rule-by-schema", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s1", "left inner join", "ORDERS", {}, "", "<Schema>main</Schema>"),
       Rule("s2", "left inner join", "ORDERS", {}, "", "<Schema>main</Schema>")},
      Statement("ORDERS"));
  add("earliest-rule-wins", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s1", "left inner join", "ORDERS", {{"first", "item"}}), Rule("s1", "full outer join", "ORDERS", {{"second", "item"}}),
       Rule("s2", "cross join", "ORDERS")},
      Statement("ORDERS"));
  add("rule-of-other-dsn-only", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s9", "left inner join", "ORDERS")}, Statement("ORDERS"));
  add("no-rules-statement-side-by-side", {Real("s1", {orders}), Real("s2", {peopleById})}, {}, Statement("ORDERS"));
  add("no-rules-substatements-merged", {Real("s1", {orders}), Real("s2", {peopleById})}, {},
      Substatements({{"s1", "ORDERS"}, {"s2", "ORDERS"}}));
  add("destination-fits", {Real("s1", {orders}), Real("s2", {people})},
      {Rule("s1", "full outer join", "ORDERS", {{"what", "item"}},
            Destination("s9", "cross join", "ORDERS") + Destination("s2", "left inner join", "ORDERS", {{"id", "person"}}))},
      Substatements({{"s1", "ORDERS"}, {"s2", "ORDERS"}}));
  add("destination-other-table", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s1", "left outer join", "ORDERS", {{"what", "item"}}, Destination("s2", "left inner join", "OTHER"))},
      Substatements({{"s1", "ORDERS"}, {"s2", "ORDERS"}}));
  add("destination-without-kind", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s1", "left inner join", "ORDERS", {}, Destination("s2", std::nullopt, "ORDERS", {{"who", "name"}}))},
      Substatements({{"s1", "ORDERS"}, {"s2", "ORDERS"}}));
  add("second-side-rule-only-substatements", {Real("s1", {orders}), Real("s2", {peopleById})},
      {Rule("s2", "left inner join", "ORDERS", {{"who", "name"}})}, Substatements({{"s1", "ORDERS"}, {"s2", "ORDERS"}}));
  add("rule-file-broken", {Real("s1", {orders}), Real("s2", {peopleById})}, {"<unifyrule><Bogus/></unifyrule>"},
      Statement("ORDERS"));
  return cases;
}

// ---- Several sources, qualified names ------------------------------------------------

std::vector<Case> AccumulationCases() {
  std::vector<Case> cases;
  const Table a{"T", {Int("id"), Text("person")}, {{"1", "ann"}, {"2", "bob"}, {"3", "cy"}}};
  const Table b{"T", {Int("id"), Text("dept")}, {{"2", "ops"}, {"3", "dev"}, {"4", "hr"}}};
  const Table c3{"T", {Int("id"), Text("city"), Text("dept")}, {{"3", "rome", "dev2"}, {"1", "oslo", kNull}, {"5", "lima", "x"}}};
  const auto add = [&](const std::string& slug, std::vector<Source> sources, std::vector<std::string> rules,
                       const std::string& query) {
    Case c;
    c.slug = slug;
    c.sources = std::move(sources);
    c.rules = std::move(rules);
    c.query = query;
    cases.push_back(std::move(c));
  };
  const std::vector<std::vector<Value>> kindSets = {{"full outer join", "full outer join", "full outer join"},
                                                    {"left inner join", "full outer join", "union join"},
                                                    {"union join", "cross join", "left outer join"},
                                                    {"equiv join", "right inner join", "min inner join"},
                                                    {"max inner join", std::nullopt, "right outer join"}};
  for (const auto& kinds : kindSets) {
    std::string slug = "three-sources";
    for (const Value& k : kinds) slug += "-" + KindSlug(k);
    add(slug, {Real("s1", {a}), Real("s2", {b}), Real("s3", {c3})},
        {Rule("s1", kinds[0], "T"), Rule("s2", kinds[1], "T", {{"section", "dept"}}), Rule("s3", kinds[2], "T")},
        Statement("T"));
  }
  add("three-sources-middle-without-rule", {Real("s1", {a}), Real("s2", {b}), Real("s3", {c3})},
      {Rule("s1", "full outer join", "T"), Rule("s3", "left outer join", "T")}, Statement("T"));
  add("three-sources-first-without-rule", {Real("s1", {a}), Real("s2", {b}), Real("s3", {c3})},
      {Rule("s2", "left inner join", "T"), Rule("s3", "full outer join", "T")}, Statement("T"));
  add("three-sources-no-rules", {Real("s1", {a}), Real("s2", {b}), Real("s3", {c3})}, {}, Statement("T"));
  {
    Source failing = Canned("c2", {{"default.status", "81000050"}});
    add("three-sources-middle-fails", {Real("s1", {a}), failing, Real("s3", {c3})},
        {Rule("s1", "full outer join", "T"), Rule("c2", "full outer join", "T"), Rule("s3", "full outer join", "T")},
        Statement("T"));
    add("three-sources-middle-empty-response", {Real("s1", {a}), Canned("c2", {{"default.xml", "<response/>"}}), Real("s3", {c3})},
        {Rule("s1", "full outer join", "T"), Rule("c2", "full outer join", "T"), Rule("s3", "full outer join", "T")},
        Statement("T"));
  }
  add("three-substatements-merged", {Real("s1", {a}), Real("s2", {b}), Real("s3", {c3})},
      {Rule("s1", "full outer join", std::nullopt)},
      Substatements({{"s1", "T"}, {"s2", "T"}, {"s3", "T"}}));
  add("three-substatements-rules", {Real("s1", {a}), Real("s2", {b}), Real("s3", {c3})},
      {Rule("s1", "left outer join", "T", {{"who", "person"}}), Rule("s2", "union join", "T")},
      Substatements({{"s1", "T"}, {"s2", "T"}, {"s3", "T"}}));
  add("substatement-on-several-sources", {Real("s1", {a}), Real("s2", {b}), Real("s3", {c3})},
      {Rule("s1", "full outer join", "T"), Rule("s2", "left outer join", "T")},
      Substatements({{"", "T", false}, {"s3", "T"}}));
  add("substatement-without-catalog", {Real("s1", {a}), Real("s2", {b})},
      {Rule("s1", "left inner join", "T"), Rule("s2", "left inner join", "T")},
      Substatements({{"s1", "T", false}, {"s2", "T", false}}));
  add("substatement-finds-nothing", {Real("s1", {a}), Real("s2", {b})}, {Rule("s1", "full outer join", std::nullopt)},
      Substatements({{"s1", "T"}, {"s9", "T"}, {"s2", "T"}}));
  // Qualified names: "main.T" through the real accessor, others canned.
  {
    Table q = a;
    q.name = "ORDERS";
    Table r = b;
    r.name = "ORDERS";
    add("qualified-main-statement", {Real("s1", {q}), Real("s2", {r})},
        {Rule("s1", "left outer join", "ORDERS", {{"who", "person"}}), Rule("s2", "left outer join", "ORDERS")},
        Statement("main.ORDERS"));
    add("qualified-main-substatements", {Real("s1", {q}), Real("s2", {r})},
        {Rule("s1", "full outer join", "ORDERS", {{"who", "person"}})},
        Substatements({{"s1", "main.ORDERS"}, {"s2", "ORDERS"}}));
  }
  for (const std::string& name : {std::string("dbo.ORDERS"), std::string("a.b.c"), std::string(".ORDERS"),
                                  std::string("ORDERS.")}) {
    Case c;
    c.slug = "qualified-canned-" + name;
    for (char& ch : c.slug)
      if (ch == '.') ch = '_';
    c.sources = {Canned("c1", {{"default.xml", Response(GoodLeft(name))}}),
                 Canned("c2", {{"default.xml", Response(GoodRight("dbo.ORDERS"))}})};
    const std::string key = name.find('.') == std::string::npos ? name : name.substr(name.find('.') + 1);
    c.rules = {Rule("c1", "full outer join", key, {{"alpha", "A"}}), Rule("c2", "left outer join", "ORDERS", {{"beta", "B"}})};
    c.query = Statement("ORDERS");
    cases.push_back(std::move(c));
  }
  return cases;
}

// ---- Modes: append, direct, exec, forwarded; client requests ---------------------------

std::vector<Case> ModeCases() {
  std::vector<Case> cases;
  const Table a{"T", {Int("id"), Text("v")}, {{"1", "one"}, {"2", "two"}}};
  const Table b{"T", {Int("id"), Text("w")}, {{"2", "deux"}, {"3", "trois"}}};
  const Table u{"U", {Text("x")}, {{"u1"}}};
  const auto add = [&](const std::string& slug, std::vector<Source> sources, std::vector<std::string> rules,
                       const std::string& query, bool cannedDefault = false, bool mutates = false) {
    Case c;
    c.slug = slug;
    c.sources = std::move(sources);
    c.rules = std::move(rules);
    c.query = query;
    c.cannedDefault = cannedDefault;
    c.mutates = mutates;
    cases.push_back(std::move(c));
  };
  const std::vector<std::string> rules = {Rule("s1", "full outer join", "T"), Rule("s2", "full outer join", "T")};
  add("nounify-statement", {Real("s1", {a}), Real("s2", {b})}, rules, Statement("T", "", "<nounify/>"));
  add("column-statement", {Real("s1", {a}), Real("s2", {b})}, rules, Statement("T", "", "<column/>"));
  add("nounify-three-sources", {Real("s1", {a}), Real("s2", {b}), Canned("c3", {{"default.xml", "<other><x/></other>"}})},
      rules, Statement("T", "", "<nounify/>"));
  for (const char* mode : {"nounify", "column", "view", "alias", "synonym", "procedure"}) {
    add(std::string("sub-") + mode + "-sticks", {Real("s1", {a, u}), Real("s2", {b})}, rules,
        Substatements({{"s1", "T"}, {"s2", "T", true, std::string("<") + mode + "/>"}, {"s1", "U"}}));
  }
  add("sub-nounify-first", {Real("s1", {a}), Real("s2", {b})}, rules,
      Substatements({{"s1", "T", true, "<nounify/>"}, {"s2", "T"}}));
  add("exec-canned", {Canned("c1", {{"default.xml", Response(GoodLeft())}}), Canned("c2", {{"default.xml", Response(GoodRight())}})},
      {Rule("c1", "full outer join", "T"), Rule("c2", "full outer join", "T")},
      "<sqlquery><statement><provider>MSDASQL.1</provider><sql><exec>proc</exec></sql></statement></sqlquery>");
  add("exec-real", {Real("s1", {a}), Real("s2", {b})}, rules,
      "<sqlquery><statement><provider>MSDASQL.1</provider><sql><exec>proc</exec></sql></statement></sqlquery>");
  // Direct: the change goes to the default accessor with the whole configuration.
  add("direct-canned-insert", {Canned("c1", {{"default.xml", Response("<table name=\"T\"><record><column name=\"count\">1</column></record></table>")}}),
                               Canned("c2", {{"default.xml", Response(GoodRight())}})},
      {Rule("c1", "full outer join", "T")},
      "<sqlquery><statement><provider>MSDASQL.1</provider><sql><insert>T</insert><value>1</value></sql></statement></sqlquery>",
      true);
  add("direct-canned-then-select", {Canned("c1", {{"default.xml", Response(GoodLeft())}}), Canned("c2", {{"default.xml", Response(GoodRight())}})},
      {Rule("c1", "full outer join", "T"), Rule("c2", "full outer join", "T")},
      "<sqlquery><statement><substatement><provider>MSDASQL.1</provider><dsn>c1</dsn><sql><update>T</update></sql>"
      "</substatement>" + Substatement({"c2", "T"}) + "</statement></sqlquery>",
      true);
  add("forwarded-element", {Canned("c1", {{"default.xml", "<root><done n=\"1\"/><done n=\"2\"/></root>"}}), Real("s2", {b})},
      rules, "<sqlquery><transaction><x/></transaction>" + StatementOnly("T") + "</sqlquery>", true);
  add("direct-real-insert", {Real("s1", {a}), Real("s2", {b})}, rules,
      "<query><insert><target><provider>MSDASQL.1</provider><dsn>s1</dsn><catalog>main</catalog><table>T</table></target>"
      "<value>9, 'nine'</value></insert></query>",
      false, true);
  add("direct-real-update", {Real("s1", {a}), Real("s2", {b})}, rules,
      "<query><update><target><provider>MSDASQL.1</provider><dsn>s2</dsn><catalog>main</catalog><table>T</table></target>"
      "<set>w='changed'</set><condition>id=2</condition></update></query>",
      false, true);
  add("direct-real-delete-then-get", {Real("s1", {a}), Real("s2", {b})}, rules,
      "<query><delete><target><provider>MSDASQL.1</provider><dsn>s1</dsn><catalog>main</catalog><table>T</table></target>"
      "<condition>id=1</condition></delete></query>",
      false, true);
  add("no-definition-for-provider", {Real("s1", {a})}, {},
      "<sqlquery><statement><provider>OTHER.1</provider>" + Select("T") + "</statement></sqlquery>");
  add("two-statements", {Real("s1", {a}), Real("s2", {b})}, rules,
      "<sqlquery>" + StatementOnly("T") + SubstatementsOnly({{"s1", "T"}, {"s2", "T"}}) + "</sqlquery>");
  // Client requests through the translator.
  add("get-two-targets", {Real("s1", {a}), Real("s2", {b})}, rules, Get({{"s1", "T"}, {"s2", "T"}}));
  add("get-two-targets-no-rules", {Real("s1", {a}), Real("s2", {b})}, {}, Get({{"s1", "T"}, {"s2", "T"}}));
  add("get-three-targets", {Real("s1", {a, u}), Real("s2", {b})}, {Rule("s1", "left outer join", "T")},
      Get({{"s1", "T"}, {"s2", "T"}, {"s1", "U"}}));
  add("get-view-targets", {Real("s1", {a}), Real("s2", {b})}, rules, Get({{"s1", "T"}, {"s2", "T"}}, "", "view"));
  add("get-one-target-with-rule", {Real("s1", {a}), Real("s2", {b})}, {Rule("s1", "full outer join", "T", {{"value", "v"}})},
      Get({{"s1", "T"}}));
  return cases;
}

// ---- Transformers and store ----------------------------------------------------------

std::vector<Case> TransformCases() {
  std::vector<Case> cases;
  const std::vector<Shape> shapes = KindShapes();
  const std::vector<std::string> afters = {"<transform>csv</transform>", "<transform>xhtml</transform>",
                                           "<transform>csv</transform><transform>xhtml</transform>"};
  const std::vector<std::string> afterSlugs = {"csv", "xhtml", "csv-xhtml"};
  const std::vector<std::pair<Value, size_t>> picks = {{"full outer join", 0}, {"union join", 1}, {"left inner join", 2},
                                                       {"equiv join", 9},      {"cross join", 5},  {"right outer join", 1}};
  for (size_t p = 0; p < picks.size(); ++p)
    for (size_t t = 0; t < afters.size(); ++t) {
      if (t == 2 && p % 2) continue;
      Case c = KindCase(picks[p].first, shapes[picks[p].second], static_cast<Road>((p + t) % kRoads), afters[t]);
      c.slug += "-" + afterSlugs[t];
      cases.push_back(std::move(c));
    }
  for (const char* store : {"unified", "transformed", "other"}) {
    Case c = KindCase("full outer join", shapes[0], Road::SubMerge,
                      std::string("<transform>csv</transform><store>") + store + "</store>");
    c.slug += std::string("-csv-store-") + store;
    cases.push_back(std::move(c));
    Case d = KindCase("left inner join", shapes[2], Road::StatementBoth, std::string("<store>") + store + "</store>");
    d.slug += std::string("-store-") + store;
    cases.push_back(std::move(d));
  }
  {
    // Specials through both transformers.
    const std::vector<Case> values = ValueCases();
    for (const Case& v : values) {
      if (v.slug != "real-specials-full-outer-join" && v.slug != "canned-embedded-full-outer-join") continue;
      for (size_t t = 0; t < 2; ++t) {
        Case c = v;
        c.slug += "-" + afterSlugs[t];
        const size_t end = c.query.rfind("</statement>");
        c.query.insert(end, afters[t]);
        cases.push_back(std::move(c));
      }
    }
  }
  {
    // One source alone (it may stream), side by side, three sources, a wrong
    // shape, nothing at all.
    const Table a{"T", {Int("id"), Text("v")}, {{"1", "one"}, {"2", "two"}}};
    const Table b{"T", {Int("id"), Text("w")}, {{"2", "deux"}, {"3", "trois"}}};
    const auto add = [&](const std::string& slug, std::vector<Source> sources, std::vector<std::string> rules,
                         const std::string& query) {
      Case c;
      c.slug = slug;
      c.sources = std::move(sources);
      c.rules = std::move(rules);
      c.query = query;
      cases.push_back(std::move(c));
    };
    add("one-source-csv", {Real("s1", {a})}, {}, Statement("T", "<transform>csv</transform>"));
    add("one-source-ruled-xhtml", {Real("s1", {a})}, {Rule("s1", "full outer join", "T", {{"value", "v"}})},
        Statement("T", "<transform>xhtml</transform>"));
    add("side-by-side-csv", {Real("s1", {a}), Real("s2", {b})}, {}, Statement("T", "<transform>csv</transform>"));
    add("side-by-side-xhtml", {Real("s1", {a}), Real("s2", {b})}, {}, Statement("T", "<transform>xhtml</transform>"));
    add("three-sources-csv", {Real("s1", {a}), Real("s2", {b}), Real("s3", {a})},
        {Rule("s1", "full outer join", "T"), Rule("s2", "full outer join", "T"), Rule("s3", "full outer join", "T")},
        Statement("T", "<transform>csv</transform>"));
    add("wrong-shape-xhtml", {Canned("c1", {{"default.xml", Response(GoodLeft())}}), Canned("c2", {{"default.xml", OddAnswers()[3].second}})},
        {Rule("c1", "full outer join", "T"), Rule("c2", "full outer join", "T")}, Statement("T", "<transform>xhtml</transform>"));
    add("empty-responses-csv", {Canned("c1", {{"default.xml", "<response/>"}}), Canned("c2", {{"default.xml", "<response/>"}})},
        {Rule("c1", "full outer join", "T"), Rule("c2", "full outer join", "T")}, Statement("T", "<transform>csv</transform>"));
    add("unknown-transformer", {Real("s1", {a}), Real("s2", {b})}, {Rule("s1", "full outer join", std::nullopt)},
        Substatements({{"s1", "T"}, {"s2", "T"}}, "<transform>nosuch</transform>"));
    add("get-two-targets-csv", {Real("s1", {a}), Real("s2", {b})}, {},
        Get({{"s1", "T"}, {"s2", "T"}}, "<transform>csv</transform>"));
    add("get-two-targets-xhtml-store", {Real("s1", {a}), Real("s2", {b})}, {Rule("s1", "left outer join", "T")},
        Get({{"s1", "T"}, {"s2", "T"}}, "<transform>xhtml</transform><store>unified</store>"));
  }
  return cases;
}

// ---- Large: 10k rows of 8 columns ------------------------------------------------------

Table LargeTable(const std::string& name, const std::string& prefix, std::vector<int> keys, uint64_t seed,
                 const std::vector<std::string>& shared = {}) {
  Rng rng{seed};
  Table table{name, {kKi}, {}};
  for (const std::string& s : shared) table.columns.push_back(Text(s));
  for (size_t i = table.columns.size(); i < 8; ++i) table.columns.push_back(Text(prefix + std::to_string(i)));
  for (const int key : keys) {
    std::vector<Value> row{std::to_string(key)};
    for (size_t i = 1; i < 8; ++i) {
      const uint64_t r = rng.Next();
      if (i <= shared.size()) row.push_back("m" + std::to_string(key % 5));
      else if (r % 29 == 0) row.push_back(kNull);
      else if (r % 31 == 0) row.push_back("");
      else row.push_back(prefix + std::to_string(key) + "." + std::to_string(r % 1000) + (r % 37 == 0 ? " &<>" : ""));
    }
    table.rows.push_back(std::move(row));
  }
  return table;
}

std::vector<int> Range(int from, int to) {
  std::vector<int> keys;
  for (int k = from; k < to; ++k) keys.push_back(k);
  return keys;
}
std::vector<int> Shuffled(std::vector<int> keys, uint64_t seed) {
  Rng rng{seed};
  rng.Shuffle(keys);
  return keys;
}


// A table as the real accessor answers it (the test LargeAnswersAreTheAccessors
// holds the two to each other): INTEGER as DBTYPE_I4, TEXT as DBTYPE_STR,
// NULL as an empty column.
std::string AccessorAnswer(const Table& table) {
  const auto escaped = [](const std::string& text) {
    std::string out;
    for (const char c : text) {
      if (c == '&') out += "&amp;";
      else if (c == '<') out += "&lt;";
      else if (c == '>') out += "&gt;";
      else if (c == '\r') out += "&#xD;";
      else out += c;
    }
    return out;
  };
  std::vector<std::string> starts;
  for (const Column& column : table.columns)
    starts.push_back("<column name=\"" + column.name + "\" type=\"" +
                     (column.type == "INTEGER" ? "DBTYPE_I4" : "DBTYPE_STR") + "\"");
  std::string out = "<response><table name=\"" + table.name + "\">";
  for (const auto& row : table.rows) {
    out += "<record>";
    for (size_t i = 0; i < row.size(); ++i) {
      out += starts[i];
      out += row[i] && !row[i]->empty() ? ">" + escaped(*row[i]) + "</column>" : "/>";
    }
    out += "</record>";
  }
  return out + "</table></response>";
}

// A large source: the accessor's answer, canned, since reading 10k rows
// through the real accessor twice per case would take most of the time.
Source LargeSource(const std::string& dsn, const Table& table) {
  return Canned(dsn, {{"default.xml", AccessorAnswer(table)}});
}

// The large cases of `kLarge` rows, one at a time: each is a test of its
// own, so that they run side by side.
Case LargeCase(int which, int kLarge) {
  const auto make = [](const std::string& slug, std::vector<Source> sources, std::vector<std::string> rules,
                       const std::string& query) {
    Case c;
    c.slug = slug;
    c.sources = std::move(sources);
    c.rules = std::move(rules);
    c.query = query;
    c.wholeOnly = false;
    return c;
  };
  const auto left = [&] { return LargeTable("L", "a", Shuffled(Range(0, kLarge), 11), 101); };
  // Half of the keys shared, in another order.
  const auto right = [&] { return LargeTable("R", "b", Shuffled(Range(kLarge / 2, kLarge / 2 * 3), 12), 102); };
  switch (which) {
    case 0:
      return make("full-outer-half-shared-shuffled", {LargeSource("s1", left()), LargeSource("s2", right())},
                  {Rule("s1", "full outer join", std::nullopt)}, Substatements({{"s1", "L"}, {"s2", "R"}}));
    case 1:
      return make("full-outer-csv", {LargeSource("s1", left()), LargeSource("s2", right())},
                  {Rule("s1", "full outer join", std::nullopt)},
                  Substatements({{"s1", "L"}, {"s2", "R"}}, "<transform>csv</transform>"));
    case 2: {
      std::vector<int> dupKeys;
      Rng rng{13};
      for (int i = 0; i < kLarge; ++i) dupKeys.push_back(static_cast<int>(rng.Below(kLarge * 3 / 4)));
      return make("left-inner-duplicates", {LargeSource("s1", left()), LargeSource("s2", LargeTable("R", "b", dupKeys, 103))},
                  {Rule("s1", "left inner join", std::nullopt)}, Substatements({{"s1", "L"}, {"s2", "R"}}));
    }
    case 3:
      return make("union", {LargeSource("s1", left()), LargeSource("s2", right())},
                  {Rule("s1", "union join", std::nullopt)}, Substatements({{"s1", "L"}, {"s2", "R"}}));
    case 4:
      return make("equiv-two-columns",
                  {LargeSource("s1", LargeTable("L", "a", Shuffled(Range(0, kLarge), 14), 104, {"M"})),
                   LargeSource("s2", LargeTable("R", "b", Shuffled(Range(kLarge / 2, kLarge / 2 * 3), 15), 105, {"M"}))},
                  {Rule("s1", "equiv join", std::nullopt)}, Substatements({{"s1", "L"}, {"s2", "R"}}));
    default: {
      Table t1 = left(), t2 = right(), t3 = LargeTable("T", "c", Shuffled(Range(kLarge / 4, kLarge / 4 * 5), 16), 106);
      t1.name = t2.name = "T";
      return make("three-sources-accumulated", {LargeSource("s1", t1), LargeSource("s2", t2), LargeSource("s3", t3)},
                  {Rule("s1", "full outer join", "T"), Rule("s2", "left outer join", "T", {{"B1", "b1"}}),
                   Rule("s3", "full outer join", "T")},
                  Statement("T"));
    }
  }
}

// ---- Running a case ---------------------------------------------------------------

// The carrier's side: every piece kept.
class Pieces : public com::ResultSink {
 public:
  Status Write(std::string_view piece) override {
    pieces.emplace_back(piece);
    return Status();
  }
  std::vector<std::string> pieces;
};

struct Outcome {
  HRESULT status = S_OK;
  std::optional<std::string> result;
  std::string threw;
};

std::string StatusText(HRESULT status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

// Large texts: their size, FNV-1a-64 and both ends.
constexpr size_t kWholeLimit = 64 * 1024;
constexpr size_t kEnd = 4096;

std::string Blob(const std::optional<std::string>& bytes) {
  if (!bytes) return "null\n";
  if (bytes->size() <= kWholeLimit) return std::to_string(bytes->size()) + " bytes\n" + *bytes + "\n";
  return std::to_string(bytes->size()) + " bytes fnv1a64 " + Hex64(Fnv1a64(*bytes)) + " ends " + std::to_string(kEnd) +
         "\n" + bytes->substr(0, kEnd) + "\n...\n" + bytes->substr(bytes->size() - kEnd) + "\n";
}

class GoldenRunner {
 public:
  explicit GoldenRunner(std::string group) : group_(std::move(group)) {
    for (const char* library :
         {"libQuorAccessor.so", "libFlatConvert.so", "libGridPage.so", "libquor_canned_accessor.so"})
      EXPECT_EQ(testing::RegisterLibrary(library), 0) << library;
    const char* record = std::getenv("QUOR_RECORD_GOLDEN");
    recording_ = record && std::string(record) == "1";
    folder_ = std::string(QUOR_TEST_DATA_DIR) + "/unify_golden/" + group_;
  }
  ~GoldenRunner() { com::CoFreeUnusedLibraries(); }

  // The whole answer of `c` alone, nothing recorded.
  Outcome AnswerAlone(const Case& c) {
    const std::string script = Prepare(0, c);
    MakeDatabases(script);
    return Answer(0, c, nullptr);
  }

  void RunAll(const std::vector<Case>& cases) {
    ASSERT_FALSE(cases.empty());
    std::vector<std::string> names;
    std::string script;
    for (size_t i = 0; i < cases.size(); ++i) {
      names.push_back(FileName(i, cases[i]));
      script += Prepare(i, cases[i]);
    }
    ASSERT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size()) << "two cases of one name";
    MakeDatabases(script);
    if (recording_) {
      fs::create_directories(folder_);
      for (const auto& entry : fs::directory_iterator(folder_)) fs::remove(entry.path());
    } else {
      // Every recorded case is still generated, and no other.
      std::set<std::string> recorded;
      if (fs::is_directory(folder_))
        for (const auto& entry : fs::directory_iterator(folder_)) recorded.insert(entry.path().filename().string());
      EXPECT_EQ(recorded, std::set<std::string>(names.begin(), names.end()))
          << "the cases of " << group_ << " and its recorded files differ: record them (QUOR_RECORD_GOLDEN=1)";
    }
    for (size_t i = 0; i < cases.size(); ++i) {
      const std::string rendered = RunCase(i, cases[i]);
      const std::string path = folder_ + "/" + names[i];
      if (recording_) {
        std::ofstream(path, std::ios::binary) << rendered;
        continue;
      }
      const std::optional<std::string> expected = ReadFile(path);
      if (!expected) {
        ADD_FAILURE() << "no recorded " << group_ << "/" << names[i];
        continue;
      }
      ExpectSame(*expected, rendered, group_ + "/" + names[i]);
    }
  }

 private:
  static std::string FileName(size_t index, const Case& c) {
    char number[8];
    std::snprintf(number, sizeof number, "%03zu", index + 1);
    std::string slug;
    for (const char ch : c.slug) slug += std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' ? ch : '_';
    return std::string(number) + "-" + slug + ".txt";
  }
  static std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static std::string ReadAll(const std::string& path) { return ReadFile(path).value_or(""); }

  // One sqlite3 run makes every database of the cases.
  void MakeDatabases(const std::string& script) {
    if (script.empty()) return;
    const std::string file = instance_.root() + "/make.sql";
    std::ofstream(file, std::ios::binary) << script;
    EXPECT_EQ(std::system(("sqlite3 -batch < '" + file + "' > '" + file + ".out' 2>&1").c_str()), 0)
        << ReadAll(file + ".out");
  }

  static std::string TwoDigits(size_t n) { return (n < 10 ? "0" : "") + std::to_string(n); }

  std::string CaseDir(size_t index) const { return instance_.root() + "/case" + std::to_string(index); }

  // Writes the case's folders and answers; the SQL that makes its databases.
  std::string Prepare(size_t index, const Case& c) {
    const std::string home = CaseDir(index);
    for (const char* folder : {"config", "unifier", "transform", "answers"}) fs::create_directories(home + "/" + folder);
    std::string script;
    for (size_t s = 0; s < c.sources.size(); ++s) {
      const Source& source = c.sources[s];
      std::string setting = "<OLEDBSetting><Provider>" + std::string(kProvider) + "</Provider><DataSource>" +
                            source.dsn + "</DataSource>" +
                            (source.catalog ? "<InitialCatalog>main</InitialCatalog>" : "");
      if (source.canned) {
        const std::string answers = home + "/answers/" + source.dsn;
        fs::create_directories(answers);
        for (const auto& [name, text] : source.files) std::ofstream(answers + "/" + name, std::ios::binary) << text;
        setting += "<Location>" + answers + "</Location><progID>QuorTest.CannedAccessor</progID><method>Query</method>";
      } else {
        const std::string db = home + "/" + source.dsn + ".db";
        script += ".open '" + db + "'\n";
        for (const Table& table : source.tables) script += TableSql(table);
        setting += "<ExtendedProperties>DRIVER={SQLite3};Database=" + db + "</ExtendedProperties>";
      }
      std::ofstream(home + "/config/" + TwoDigits(s + 1) + "-" + source.dsn + ".xml", std::ios::binary)
          << setting << "</OLEDBSetting>";
    }
    for (size_t r = 0; r < c.rules.size(); ++r) {
      std::ofstream(home + "/unifier/" + TwoDigits(r + 1) + ".xml", std::ios::binary) << c.rules[r];
    }
    std::ofstream(home + "/transform/transformers.xml", std::ios::binary)
        << "<QuorTransform><transform><transID>csv</transID><ProgID>FlatConvert.TransCSV</ProgID></transform>"
           "<transform><transID>xhtml</transID><ProgID>GridPage.TransXHTML</ProgID></transform></QuorTransform>";
    return script;
  }

  // What the case is made of, paths left out: a changed generator shows
  // as changed inputs rather than as a changed engine.
  static std::string InputsHash(const Case& c) {
    std::string all = c.query + '\x1F' + (c.cannedDefault ? "canned" : "real") + '\x1F';
    for (const std::string& rule : c.rules) all += rule + '\x1F';
    for (const Source& source : c.sources) {
      all += source.dsn + (source.canned ? " canned" : " real") + (source.catalog ? " catalog" : "") + '\x1F';
      for (const Table& table : source.tables) all += TableSql(table) + '\x1F';
      for (const auto& [name, text] : source.files) all += name + '\x1E' + text + '\x1F';
    }
    return Hex64(Fnv1a64(all));
  }

  Outcome Answer(size_t index, const Case& c, com::ResultSink* sink) {
    Outcome run;
    try {
      ::setenv("QUOR_REGISTRY", instance_.registry().c_str(), 1);
      EXPECT_TRUE(instance_.ServiceKey().SetString("HomeDir", CaseDir(index)).ok());
      CServiceConfig settings;
      settings.ReadHomeDir();
      settings.DefaultAccessorProgID =
          com::Bstr(c.cannedDefault ? u"QuorTest.CannedAccessor" : u"QuorAccessor.LegacyDBAccessor");
      settings.DefaultAccessorMethod = com::Bstr(u"Query");
      CQueryEngine engine(settings);
      if (const Status ready = engine.Init(); !ready.ok()) {
        run.status = ready.code();
        run.threw = "init failed";
        return run;
      }
      com::Bstr result;
      if (c.query.starts_with("<query>")) {
        run.status = engine.Execute(com::Bstr::FromUtf8(c.query), result, sink).code();
      } else {
        const xml::DocumentPtr doc = xml::Document::Create();
        EXPECT_TRUE(doc->loadXML(c.query)) << c.query;
        run.status = engine.DispatchQuery(doc, result, sink).code();
      }
      if (!result.IsNull()) run.result = result.ToUtf8();
    } catch (const std::exception& e) {
      run.threw = e.what();
    }
    return run;
  }

  // Runs the case whole, then with a sink, on engines of their own; the
  // text of what came.
  std::string RunCase(size_t index, const Case& c) {
    std::vector<std::string> saved;
    if (c.mutates)
      for (const Source& source : c.sources)
        if (!source.canned) {
          const std::string db = CaseDir(index) + "/" + source.dsn + ".db";
          fs::copy_file(db, db + ".orig", fs::copy_options::overwrite_existing);
          saved.push_back(db);
        }
    const Outcome whole = Answer(index, c, nullptr);
    for (const std::string& db : saved) fs::copy_file(db + ".orig", db, fs::copy_options::overwrite_existing);

    std::string out = "case " + c.slug + "\ninputs " + InputsHash(c) + "\nquery " + Blob(c.query);
    const auto runText = [&](const char* name, const Outcome& run) {
      out += std::string(name) + " status " + StatusText(run.status);
      if (!run.threw.empty()) out += " threw " + run.threw;
      out += "\n";
    };
    runText("whole", whole);
    out += "whole result " + Blob(whole.result);
    if (c.wholeOnly) return out + "sink not run\n";
    Pieces sink;
    const Outcome streamed = Answer(index, c, &sink);
    runText("sink", streamed);
    std::optional<std::string> joined;
    if (!sink.pieces.empty()) {
      joined.emplace();
      for (const std::string& piece : sink.pieces) *joined += piece;
    }
    // Given a sink, the answer comes whole or in pieces: either way the same.
    if ((streamed.result == whole.result && !joined) || (!streamed.result && joined == whole.result))
      return out + "sink answer as whole\n";
    out += "sink result " + (streamed.result == whole.result ? std::string("as whole\n") : Blob(streamed.result));
    out += "sink pieces " + std::to_string(sink.pieces.size()) + " joined " +
           (joined && joined == whole.result ? std::string("as whole\n") : Blob(joined));
    return out;
  }

  static std::string Shown(std::string_view text) {
    std::string out;
    for (const unsigned char c : text) {
      if (c == '\n') out += "\\n";
      else if (c == '\r') out += "\\r";
      else if (c == '\t') out += "\\t";
      else if (c < 0x20) out += "\\x" + HexText(std::string(1, static_cast<char>(c)));
      else out += static_cast<char>(c);
    }
    return out;
  }

  static void ExpectSame(const std::string& expected, const std::string& actual, const std::string& name) {
    if (expected == actual) return;
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    // The line that names the part of the record the difference is in.
    const size_t lineStart = expected.rfind('\n', at == 0 ? 0 : at - 1);
    const size_t from = at > 80 ? at - 80 : 0;
    ADD_FAILURE() << name << ": first difference at byte " << at << " (expected " << expected.size() << " bytes, got "
                  << actual.size() << ")\n  line: "
                  << Shown(expected.substr(lineStart == std::string::npos ? 0 : lineStart + 1, 100))
                  << "\n  expected: ..." << Shown(expected.substr(from, at - from)) << "[[" << Shown(expected.substr(at, 80))
                  << "]]\n  actual:   ..." << Shown(actual.substr(from, at - from)) << "[[" << Shown(actual.substr(at, 80))
                  << "]]";
  }

  testing::TestInstance instance_;
  std::string group_;
  std::string folder_;
  bool recording_ = false;
};

void RunGroup(const std::string& group, const std::vector<Case>& cases) { GoldenRunner(group).RunAll(cases); }

// Kinds 0..9 of the joins; an unknown text and none at all.
TEST(UnifyGolden, OuterJoinKinds) {
  RunGroup("kinds-outer", KindCases({"full outer join", "left outer join", "right outer join", "sideways join",
                                     std::nullopt}, 0));
}
TEST(UnifyGolden, InnerJoinKinds) {
  RunGroup("kinds-inner", KindCases({"left inner join", "right inner join", "max inner join", "min inner join"}, 1));
}
TEST(UnifyGolden, CrossUnionAndEquivJoinKinds) {
  RunGroup("kinds-other", KindCases({"cross join", "union join", "equiv join"}, 2));
}
TEST(UnifyGolden, AnswersOfEveryShape) { RunGroup("shapes", ShapeCases()); }
TEST(UnifyGolden, ValuesOfEveryKind) { RunGroup("values", ValueCases()); }
TEST(UnifyGolden, UnifyRules) { RunGroup("rules", RuleCases()); }
TEST(UnifyGolden, SeveralSourcesAndQualifiedNames) { RunGroup("accumulation", AccumulationCases()); }
TEST(UnifyGolden, AppendDirectAndClientModes) { RunGroup("modes", ModeCases()); }
TEST(UnifyGolden, TransformersAndStore) { RunGroup("transform", TransformCases()); }
// The large cases' canned answers are what the real accessor answers for
// the same rows (a sample of each kind of table).
TEST(UnifyGolden, LargeAnswersAreTheAccessors) {
  std::vector<int> keys = Range(0, 300);
  for (const bool shared : {false, true}) {
    Table table = LargeTable("L", "a", Shuffled(keys, 11), 101, shared ? std::vector<std::string>{"M"} : std::vector<std::string>{});
    Case c;
    c.slug = "sample";
    c.sources = {Real("s1", {table})};
    c.query = Statement("L");
    const Outcome run = GoldenRunner("none").AnswerAlone(c);
    EXPECT_EQ(run.status, S_OK);
    ASSERT_TRUE(run.result);
    EXPECT_EQ(*run.result, "<root>" + AccessorAnswer(table) + "</root>");
  }
}

// Under the sanitizers a case of 10k rows takes about 15 s: the tests of
// every run have 4000; those of 10k run with QUOR_GOLDEN_FULL=1.
constexpr int kLargeRows = 4000, kFullRows = 10000;
TEST(UnifyGolden, LargeFullOuter) { RunGroup("large-full-outer", {LargeCase(0, kLargeRows)}); }
TEST(UnifyGolden, LargeFullOuterCsv) { RunGroup("large-full-outer-csv", {LargeCase(1, kLargeRows)}); }
TEST(UnifyGolden, LargeLeftInnerDuplicates) { RunGroup("large-left-inner", {LargeCase(2, kLargeRows)}); }
TEST(UnifyGolden, LargeUnion) { RunGroup("large-union", {LargeCase(3, kLargeRows)}); }
TEST(UnifyGolden, LargeEquiv) { RunGroup("large-equiv", {LargeCase(4, kLargeRows)}); }
TEST(UnifyGolden, LargeThreeSources) { RunGroup("large-three-sources", {LargeCase(5, kLargeRows)}); }
TEST(UnifyGolden, TenThousandRows) {
  const char* full = std::getenv("QUOR_GOLDEN_FULL");
  if (!full || std::string(full) != "1") GTEST_SKIP() << "QUOR_GOLDEN_FULL=1 runs the cases of 10k rows";
  std::vector<Case> cases;
  for (int which = 0; which < 6; ++which) cases.push_back(LargeCase(which, kFullRows));
  RunGroup("large-10k", cases);
}

}  // namespace
}  // namespace quor::core
