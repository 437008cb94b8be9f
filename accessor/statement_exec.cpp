#include "accessor/statement_exec.h"

#include <array>
#include <charconv>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/memory_budget.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::accessor {
namespace {

struct TypeName {
  long type;
  std::string_view name;
};

constexpr std::array<TypeName, 39> kTypeNames{{
    {0, "DBTYPE_EMPTY"},       {1, "DBTYPE_NULL"},         {2, "DBTYPE_I2"},          {3, "DBTYPE_I4"},
    {4, "DBTYPE_R4"},          {5, "DBTYPE_R8"},           {6, "DBTYPE_CY"},          {7, "DBTYPE_DATE"},
    {8, "DBTYPE_BSTR"},        {9, "DBTYPE_IDISPATCH"},    {10, "DBTYPE_ERROR"},      {11, "DBTYPE_BOOL"},
    {12, "DBTYPE_VARIANT"},    {13, "DBTYPE_IUNKNOWN"},    {14, "DBTYPE_DECIMAL"},    {16, "DBTYPE_I1"},
    {17, "DBTYPE_UI1"},        {18, "DBTYPE_UI2"},         {19, "DBTYPE_UI4"},        {20, "DBTYPE_I8"},
    {21, "DBTYPE_UI8"},        {64, "DBTYPE_FILENAME"},    {72, "DBTYPE_GUID"},       {128, "DBTYPE_BYTES"},
    {129, "DBTYPE_STR"},       {130, "DBTYPE_BSTR"},       {131, "DBTYPE_NUMERIC"},   {132, "DBTYPE_UDT"},
    {133, "DBTYPE_DBDATE"},    {134, "DBTYPE_DBTIME"},     {135, "DBTYPE_DBTIMESTAMP"}, {136, "DBTYPE_HCHAPTER"},
    {138, "DBTYPE_PROPVARIANT"}, {139, "DBTYPE_VARNUMERIC"}, {4096, "DBTYPE_VECTOR"}, {8192, "DBTYPE_ARRAY"},
    {16384, "DBTYPE_BYREF"},   {32768, "DBTYPE_RESERVED"}, {-1, {}},
}};

// Column text for the document. Text fetched narrow is the data source's
// own bytes and is decoded by the configured encoding. Text fetched wide was
// decoded by the driver and arrives as UTF-8; decoding it again would garble
// every character outside ASCII, so only bytes that are not UTF-8 (a driver
// handing raw text) go through the configured decoding.
std::string Decoded(const CSQLParser& parser, std::string_view bytes, bool narrow = false) {
  if (!narrow && text::IsValidUtf8(bytes)) return std::string(bytes);
  const TextConverter fallback;
  const TextConverter* converter = parser.textConverter() ? parser.textConverter() : &fallback;
  std::string out;
  if (!text::Utf16ToUtf8(converter->Decode(bytes), out)) return {};
  return out;
}

// The words of `sql` before the first one that is exactly "WHERE", each
// followed by one blank.
std::string WithoutCondition(std::string_view sql) {
  std::string out;
  for (const std::string& word : text::Split(std::string(sql), ' ')) {
    if (word.empty()) continue;
    if (word == "WHERE") break;
    out.append(word).append(" ");
  }
  return out;
}

Status ListColumns(const CSQLParser& parser, oledb::Session& session, const std::string& sql, AnswerText& out) {
  std::unique_ptr<oledb::Rowset> rows;
  if (const HRESULT hr = session.Execute(sql, rows); FAILED(hr)) return com::StatusOf(hr);
  out.Open("response");
  for (const oledb::Column& c : rows->Columns()) {
    out.Open("column");
    out.Attribute("name", Decoded(parser, c.name));
    if (const auto type = DBTypeName(c.type)) out.Attribute("type", *type);
    out.Close();
  }
  out.Close();
  return {};
}

Status Select(const CSQLParser& parser, const QueryStatement& st, oledb::Session& session, std::string_view tableText,
              std::string sql, AnswerText& out) {
  // A table target reads the whole table: the condition is dropped.
  if (st.targetKind == TargetKind::Table) sql = WithoutCondition(sql);
  std::unique_ptr<oledb::Rowset> rows;
  if (const HRESULT hr = session.Execute(sql, rows); FAILED(hr)) return com::StatusOf(hr);

  const auto& columns = rows->Columns();
  std::vector<std::string> startTags;
  std::vector<bool> embed;
  for (const oledb::Column& c : columns) {
    startTags.push_back(ColumnStartTag(c));
    const std::string_view type = DBTypeName(c.type).value_or(std::string_view());
    embed.push_back(parser.convertFlag() && (type == "DBTYPE_STR" || type == "DBTYPE_BSTR"));
  }

  // The rows are written as they are read; a failure takes back all of it,
  // so nothing is left half written.
  const AnswerText::Mark start = out.Here();
  auto fail = [&](HRESULT hr) {
    out.Rewind(start);
    return com::StatusOf(hr);
  };
  out.Open("table");
  out.Attribute("name", tableText);
  std::int32_t written = 0;
  std::size_t nextCheck = out.str().size() + (std::size_t{1} << 20);
  odbc::ValueView value;
  std::string scratch;
  bool atEnd = false;
  while (st.rowCount <= 0 || written < st.rowCount) {
    const HRESULT hr = rows->Fetch();
    if (FAILED(hr)) return fail(hr);
    if ((atEnd = hr == S_FALSE)) break;
    out.Open("record");
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (const HRESULT got = rows->Read(i, value); FAILED(got)) return fail(got);
      out.Open("column", startTags[i]);
      WriteValue(parser, value, embed[i], scratch, out);
      out.Close();
    }
    out.Close();
    ++written;
    if (out.Sink()) {
      // Rows leave as they are read: what is held is never more than a
      // piece, and nothing is counted against the budget. A failure after
      // that fails the answer (the rewind above cannot take rows back).
      if (const Status sent = out.FlushIfLarge(); !sent.ok()) {
        out.Rewind(start);
        return sent;
      }
      continue;
    }
    // The whole answer counts against the call's memory budget, checked
    // as it grows by a megabyte.
    if (out.str().size() >= nextCheck) {
      if (!com::HoldAnswer(out.str().size()).ok()) return fail(E_OUTOFMEMORY);
      nextCheck = out.str().size() + (std::size_t{1} << 20);
    }
  }
  // Rows read as they are fetched are read to the end all the same: a
  // failure among those left out fails the statement, as when the driver
  // reads them all when it runs.
  if (!atEnd && rows->Stepped()) {
    HRESULT hr;
    while ((hr = rows->Fetch()) == S_OK) {
    }
    if (FAILED(hr)) return fail(hr);
  }
  out.Close();
  return {};
}

// ODBC type codes of text and long columns.
constexpr std::int16_t kSqlChar = 1, kSqlVarchar = 12, kSqlLongVarchar = -1, kSqlWChar = -8, kSqlWVarchar = -9,
                       kSqlWLongVarchar = -10, kSqlLongVarbinary = -4;
constexpr std::uint64_t kLongColumnSize = 0x3FFFFFFF;

bool IsTextColumn(const oledb::Column& c) {
  return c.sqlType == kSqlChar || c.sqlType == kSqlVarchar || c.sqlType == kSqlLongVarchar || c.sqlType == kSqlWChar ||
         c.sqlType == kSqlWVarchar || c.sqlType == kSqlWLongVarchar;
}
bool IsLongColumn(const oledb::Column& c) {
  return c.size >= kLongColumnSize || c.sqlType == kSqlLongVarchar || c.sqlType == kSqlWLongVarchar ||
         c.sqlType == kSqlLongVarbinary;
}

// Splits `list` at the commas outside quotes and parentheses; the items keep
// their text exactly, blanks included.
std::vector<std::string_view> SplitTopLevel(std::string_view list) {
  std::vector<std::string_view> items;
  std::size_t start = 0;
  int depth = 0;
  char quote = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const char c = list[i];
    if (quote) {
      if (c == quote) quote = 0;  // a doubled quote closes and reopens
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      --depth;
    } else if (c == ',' && depth == 0) {
      items.push_back(list.substr(start, i - start));
      start = i + 1;
    }
  }
  items.push_back(list.substr(start));
  return items;
}

// The value of a text that is one quoted literal and nothing else ('' inside
// standing for a quote); none for anything else.
std::optional<std::string> QuotedLiteral(std::string_view item) {
  item = text::TrimAscii(item);
  if (item.size() < 2 || item.front() != '\'' || item.back() != '\'') return std::nullopt;
  std::string value;
  for (std::size_t i = 1; i + 1 < item.size(); ++i) {
    if (item[i] == '\'') {
      if (i + 2 >= item.size() || item[i + 1] != '\'') return std::nullopt;
      ++i;
    }
    value += item[i];
  }
  return value;
}

// A name as written in SQL, without its double quotes.
std::string BareName(std::string_view name) {
  name = text::TrimAscii(name);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    std::string out;
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
      out += name[i];
      if (name[i] == '"' && i + 2 < name.size() && name[i + 1] == '"') ++i;
    }
    return out;
  }
  return std::string(name);
}

const oledb::Column* FindColumn(const std::vector<oledb::Column>& columns, std::string_view name) {
  for (const oledb::Column& c : columns)
    if (text::EqualsNoCase(c.name, name)) return &c;
  return nullptr;
}

// Rewrites a change's value text so that every quoted literal bound for a
// text column becomes a '?' marker with the literal's value as its
// parameter. Everything else stays as written, so the statement means
// exactly what its SQL text means, without long literals in it.
std::string BindTextLiterals(const QueryStatement& st, std::string_view tableText,
                             const std::vector<oledb::Column>& columns, std::vector<odbc::Param>& params) {
  std::vector<std::string_view> items = SplitTopLevel(st.valueList);
  std::string out;
  auto append = [&](std::string_view item, const oledb::Column* target, std::string_view prefix) {
    if (!out.empty()) out += ",";
    std::optional<std::string> literal;
    if (target && IsTextColumn(*target)) literal = QuotedLiteral(item);
    if (literal) {
      out.append(prefix).append(" ?");
      params.push_back(odbc::Param::Text(std::move(*literal)));
    } else {
      out.append(prefix).append(item);
    }
  };
  if (st.statementKind == StatementKind::Insert) {
    // Values meet the columns of the given list, or all columns, in order.
    std::vector<const oledb::Column*> targets;
    if (const std::size_t open = tableText.find('('); open != std::string_view::npos) {
      std::string_view list = tableText.substr(open + 1);
      if (const std::size_t close = list.rfind(')'); close != std::string_view::npos) list = list.substr(0, close);
      for (const std::string_view name : SplitTopLevel(list)) targets.push_back(FindColumn(columns, BareName(name)));
    } else {
      for (const oledb::Column& c : columns) targets.push_back(&c);
    }
    for (std::size_t i = 0; i < items.size(); ++i) append(items[i], i < targets.size() ? targets[i] : nullptr, {});
    return out;
  }
  for (const std::string_view item : items) {
    std::size_t eq = std::string_view::npos;
    char quote = 0;
    for (std::size_t i = 0; i < item.size() && eq == std::string_view::npos; ++i) {
      if (quote) {
        if (item[i] == quote) quote = 0;
      } else if (item[i] == '"' || item[i] == '\'') {
        quote = item[i];
      } else if (item[i] == '=') {
        eq = i;
      }
    }
    if (eq == std::string_view::npos) {
      append(item, nullptr, {});
      continue;
    }
    const oledb::Column* target = FindColumn(columns, BareName(item.substr(0, eq)));
    append(item.substr(eq + 1), target, item.substr(0, eq + 1));
  }
  return out;
}

// Runs an insert or update. Without a long column in the target table the
// SQL text runs as it is; with one, its quoted text values travel as bound
// parameters instead of literals.
Status RunWrite(const QueryStatement& st, oledb::Session& session, std::string_view tableText, const std::string& sql) {
  const std::string_view table = tableText.substr(0, tableText.find('('));
  // The table's columns, described without running a query: inside a
  // transaction on SQLite a read first would pin the connection to a
  // snapshot that another writer's commit makes stale, and the write after
  // it would wait out the driver's whole busy time-out. A driver that
  // cannot describe without running gets the empty query run.
  const std::string probeSql = "SELECT * FROM " + std::string(table) + " WHERE 1 = 0";
  std::vector<oledb::Column> columns;
  if (const HRESULT hr = session.Describe(probeSql, columns); FAILED(hr)) return com::StatusOf(hr);
  if (columns.empty()) {
    std::unique_ptr<oledb::Rowset> probe;
    if (const HRESULT hr = session.Execute(probeSql, probe); FAILED(hr)) return com::StatusOf(hr);
    columns = probe->Columns();
  }
  std::unique_ptr<oledb::Rowset> rows;
  bool hasLong = false;
  for (const oledb::Column& c : columns) hasLong = hasLong || IsLongColumn(c);
  if (!hasLong) return com::StatusOf(session.Execute(sql, rows));

  QueryStatement bound = st;
  std::vector<odbc::Param> params;
  bound.valueList = BindTextLiterals(st, tableText, columns, params);
  QUOR_ASSIGN_OR_RETURN(const std::string boundSql, BuildSqlText(bound, tableText));
  return com::StatusOf(session.Execute(boundSql, params, rows));
}

Status Change(const CSQLParser& parser, const QueryStatement& st, oledb::Session& session, std::string_view tableText,
              std::string sql, AnswerText& out) {
  Status status;
  if (st.statementKind == StatementKind::Delete) {
    std::unique_ptr<oledb::Rowset> rows;
    status = com::StatusOf(session.Execute(sql, rows));
  } else {
    status = RunWrite(st, session, tableText, sql);
  }
  if (!status.ok() && !parser.inTransaction()) return status;
  // In a transaction the code is left for the transaction check, which rolls
  // back on any code but "0".
  out.Open("resultCode");
  out.Text(!status.ok() ? text::Format("%X", static_cast<unsigned>(status.code())) : std::string("0"));
  out.Close();
  return {};
}

}  // namespace

std::string ValueText(const CSQLParser& parser, const odbc::Value& value) {
  if (value.kind == odbc::Value::Kind::Text) return Decoded(parser, value.text, value.narrow);
  const odbc::ValueView view{value.kind, value.integer, value.real, value.text, value.narrow};
  std::string scratch;
  return std::string(ValueText(parser, view, scratch));
}

std::string_view ValueText(const CSQLParser& parser, const odbc::ValueView& value, std::string& scratch) {
  switch (value.kind) {
    case odbc::Value::Kind::Null: return {};
    case odbc::Value::Kind::Integer: {
      std::array<char, 24> buffer{};
      const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value.integer);
      scratch.assign(buffer.data(), ec == std::errc() ? end : buffer.data());
      return scratch;
    }
    case odbc::Value::Kind::Double: {
      std::array<char, 32> buffer{};
      const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value.real);
      scratch.assign(buffer.data(), ec == std::errc() ? end : buffer.data());
      return scratch;
    }
    case odbc::Value::Kind::Binary: {
      static constexpr char kHex[] = "0123456789ABCDEF";
      scratch.clear();
      for (const unsigned char c : value.text) {
        const char pair[] = {kHex[c >> 4], kHex[c & 0xF]};
        scratch.append(pair, 2);
      }
      return scratch;
    }
    case odbc::Value::Kind::Text:
      // Text read wide comes from the driver's UTF-16 as UTF-8, always valid,
      // which Decoded would hand back as it is.
      if (!value.narrow) return value.text;
      scratch = Decoded(parser, value.text, true);
      return scratch;
  }
  return {};
}

bool EmbedXml(AnswerText& out, std::string_view text) {
  if (text.find("<!DOCTYPE") != std::string_view::npos || text.find("<!ENTITY") != std::string_view::npos)
    return false;
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(text)) return false;
  const xml::NodePtr root = doc->documentElement();
  if (!root) return false;
  out.Node(*root);
  return true;
}

std::string ColumnStartTag(const oledb::Column& column) {
  if (const auto type = DBTypeName(column.type)) return AnswerText::StartTag("column", {{"name", column.name}, {"type", *type}});
  return AnswerText::StartTag("column", {{"name", column.name}});
}

void WriteValue(const CSQLParser& parser, const odbc::ValueView& value, bool embed, std::string& scratch,
                AnswerText& out) {
  const std::string_view content = ValueText(parser, value, scratch);
  if (content.empty()) return;
  // The engine reads an answer it holds whole with the document model,
  // which drops a text of blanks alone. An answer that leaves while it is
  // made is not read again, so such a value is left out here instead.
  if (out.Sink() && content.find_first_not_of(" \t\n") == std::string_view::npos) return;
  // Numbers and bytes are digits: nothing in them to escape.
  if (value.kind != odbc::Value::Kind::Text) out.PlainText(content);
  else if (!(embed && EmbedXml(out, content))) out.Text(content);
}

std::optional<std::string_view> DBTypeName(long type) {
  for (const TypeName& entry : kTypeNames) {
    if (entry.type == -1) break;
    if (entry.type == type) return entry.name;
  }
  return std::nullopt;
}

Status ExecuteEachSQLQuery(const CSQLParser& parser, oledb::Session& session, std::string_view tableText,
                           std::size_t index, AnswerText& out) {
  if (index >= parser.statementCount()) return Status(E_INVALIDARG);
  const QueryStatement& st = parser.statement(index);
  QUOR_ASSIGN_OR_RETURN(std::string sql, BuildSqlText(st, tableText));

  if (st.targetKind == TargetKind::Columns) return ListColumns(parser, session, sql, out);
  switch (st.statementKind) {
    case StatementKind::Select: return Select(parser, st, session, tableText, std::move(sql), out);
    case StatementKind::Insert:
    case StatementKind::Update:
    case StatementKind::Delete: return Change(parser, st, session, tableText, std::move(sql), out);
    default: return Status(kInvalidSql);
  }
}

Status ExecuteEachSQLQuery(const CSQLParser& parser, oledb::Session& session, std::string_view tableText,
                           std::size_t index, const xml::DocumentPtr& result) {
  if (!result || result->hasChildNodes() || index >= parser.statementCount()) return Status(E_INVALIDARG);
  AnswerText out;
  if (const Status status = ExecuteEachSQLQuery(parser, session, tableText, index, out); !status.ok()) return status;
  return ToDocument(out, result);
}

}  // namespace quor::accessor
