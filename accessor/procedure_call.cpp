#include "accessor/procedure_call.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accessor/catalog_values.h"
#include "accessor/statement_exec.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::accessor {
namespace {

constexpr HRESULT kNoProcedure = AccessorCode(0x2A);  // "The specified stored procedure doesn't exist."
constexpr HRESULT kXmlLoadFailed = AccessorCode(0x2E);

// Parameter kinds as the procedure-parameters listing gives them.
constexpr std::int64_t kResultColumn = 0, kInput = 1, kInputOutput = 2, kOutput = 3, kReturnValue = 4;

// ODBC type codes that decide the size of an output buffer.
constexpr std::int64_t kSqlChar = 1, kSqlVarchar = 12, kSqlWChar = -8, kSqlWVarchar = -9, kSqlLongVarchar = -1,
                       kSqlWLongVarchar = -10, kSqlBinary = -2, kSqlVarbinary = -3, kSqlLongVarbinary = -4;
// Output room, in UTF-16 units, for a value whose type sets no real bound.
constexpr std::size_t kUnboundedChars = std::size_t{1} << 20;
// Sizes from this one on stand for "no limit".
constexpr std::int64_t kNoLimitSize = 0x3FFFFFFF;

bool IsNameByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
         c == '#' || c == '@' || c >= 0x80;  // bytes of non-ASCII letters
}

// The parts of a procedure name written as an identifier path: plain parts
// of name characters, or double-quoted parts (quotes removed, doubled ones
// undone), separated by single dots. False for anything else, which keeps
// the name from carrying any other SQL into the call text: kNoProcedure, as
// for a name the catalog does not know.
Result<std::vector<std::string>> SplitProcedureName(std::string_view name) {
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (true) {
    std::string part;
    if (i < name.size() && name[i] == '"') {
      ++i;
      bool closed = false;
      while (i < name.size()) {
        if (name[i] == '"') {
          if (i + 1 < name.size() && name[i + 1] == '"') {
            part += '"';
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        part += name[i++];
      }
      if (!closed) return Status(kNoProcedure);
    } else {
      while (i < name.size() && IsNameByte(static_cast<unsigned char>(name[i]))) part += name[i++];
    }
    if (part.empty()) return Status(kNoProcedure);
    parts.push_back(std::move(part));
    if (i == name.size()) return parts;
    if (name[i] != '.') return Status(kNoProcedure);
    ++i;
  }
}

struct ProcedureParameter {
  std::string name;
  std::int64_t direction = kInput;
  std::size_t outputChars = 0;  // room for an output value, in UTF-16 units
};

// Room for the text of an output value of the listed type. Character types
// hold their declared size (twice over, as a character may take two UTF-16
// units); long types, and types whose size is no real bound, a large
// buffer; anything else its size plus room for sign, point and exponent.
// `sizeIsBound` is false where the listed sizes of text and bytes are the
// driver's defaults rather than the routine's.
std::size_t OutputChars(std::optional<std::int64_t> sqlType, std::optional<std::int64_t> size, bool sizeIsBound) {
  const std::int64_t type = sqlType.value_or(0);
  if (type == kSqlLongVarchar || type == kSqlWLongVarchar || type == kSqlLongVarbinary || !size || *size <= 0 ||
      *size >= kNoLimitSize)
    return kUnboundedChars;
  const auto declared = static_cast<std::size_t>(*size);
  const bool text = type == kSqlChar || type == kSqlVarchar || type == kSqlWChar || type == kSqlWVarchar;
  const bool bytes = type == kSqlBinary || type == kSqlVarbinary;
  if ((text || bytes) && !sizeIsBound) return kUnboundedChars;
  if (text) return declared * 2;
  if (bytes) return declared * 2;  // hexadecimal text
  return declared + 256;
}

// Reads the procedure's parameters, in listing order. The listing reads
// names as patterns, so rows of other procedures are dropped here; for an
// unqualified name found in several schemas the first schema listed counts.
// PostgreSQL keeps no length with the types of a routine's parameters:
// the listing's sizes are the driver's defaults. `schema` receives the
// schema the procedure was found in, when the listing tells.
Status ReadParameters(oledb::Session& session, const std::vector<std::string>& parts, bool postgres,
                      std::vector<ProcedureParameter>& parameters, std::optional<std::string>& schema) {
  oledb::Restrictions restrictions;
  restrictions.name = parts.back();
  if (parts.size() >= 2) restrictions.schema = parts[parts.size() - 2];
  if (parts.size() == 3) restrictions.catalog = parts[0];
  std::unique_ptr<oledb::Rowset> rows;
  if (session.GetSchemaRowset(oledb::Schema::ProcedureParameters, restrictions, rows) != S_OK || !rows)
    return Status(kNoProcedure);
  std::optional<std::optional<std::string>> chosenSchema;
  bool listed = false;
  while (rows->Next() == S_OK) {
    if (CatalogText(*rows, "PROCEDURE_NAME") != parts.back()) continue;
    const std::optional<std::string> rowSchema = CatalogText(*rows, "PROCEDURE_SCHEMA");
    if (restrictions.schema && rowSchema != restrictions.schema) continue;
    if (!chosenSchema) chosenSchema = rowSchema;
    if (*chosenSchema != rowSchema) continue;
    listed = true;
    const std::int64_t direction = CatalogNumber(*rows, "PARAMETER_TYPE").value_or(kResultColumn);
    if (direction == kResultColumn) continue;
    ProcedureParameter parameter;
    parameter.name = CatalogText(*rows, "PARAMETER_NAME").value_or(std::string());
    parameter.direction = direction;
    parameter.outputChars =
        OutputChars(CatalogNumber(*rows, "SQL_DATA_TYPE"), CatalogNumber(*rows, "CHARACTER_MAXIMUM_LENGTH"), !postgres);
    parameters.push_back(std::move(parameter));
  }
  rows.reset();
  if (listed) {
    schema = *chosenSchema;
    return {};
  }

  // No parameters: a procedure without any, or none at all. A catalog that
  // lists procedures and not this one settles it before anything runs.
  if (session.GetSchemaRowset(oledb::Schema::Procedures, restrictions, rows) != S_OK || !rows) return {};
  while (rows->Next() == S_OK) {
    if (CatalogText(*rows, "PROCEDURE_NAME") != parts.back()) continue;
    const std::optional<std::string> rowSchema = CatalogText(*rows, "PROCEDURE_SCHEMA");
    if (restrictions.schema && rowSchema != restrictions.schema) continue;
    schema = rowSchema;
    return {};
  }
  return Status(kNoProcedure);
}

// Whether PostgreSQL's catalog holds the routine as a procedure, which only
// CALL runs (the call escape makes a SELECT of it). Its driver lists
// procedures and functions alike. A name that also names functions stays a
// function, as does anything the catalog cannot tell.
bool IsPostgresProcedure(oledb::Session& session, const std::optional<std::string>& schema, const std::string& name) {
  std::vector<odbc::Param> params{odbc::Param::Text(name)};
  std::string sql =
      "SELECT SUM(CASE WHEN p.prokind = 'p' THEN 1 ELSE 0 END), COUNT(*) FROM pg_catalog.pg_proc p "
      "JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace WHERE p.proname = ? AND ";
  if (schema) {
    sql += "n.nspname = ?";
    params.push_back(odbc::Param::Text(*schema));
  } else {
    sql += "pg_catalog.pg_function_is_visible(p.oid)";
  }
  std::unique_ptr<oledb::Rowset> rows;
  if (session.Execute(sql, params, rows) != S_OK || !rows || rows->Next() != S_OK) return false;
  odbc::Value procedures, all;
  if (rows->Get(std::size_t{0}, procedures) != S_OK || rows->Get(std::size_t{1}, all) != S_OK) return false;
  const auto number = [](const odbc::Value& v) {
    if (v.kind == odbc::Value::Kind::Integer) return v.integer;
    return static_cast<std::int64_t>(text::ParseInt64(v.text).value_or(0));
  };
  return number(procedures) > 0 && number(procedures) == number(all);
}

// Whether a node of a parameter entry counts as one of its children:
// comments, processing instructions and layout blanks do not.
bool Counts(const xml::Node& node) {
  switch (node.nodeType()) {
    case xml::NodeType::Element:
    case xml::NodeType::CData: return true;
    case xml::NodeType::Text: return !text::TrimAscii(node.nodeValue().value_or(std::string())).empty();
    default: return false;
  }
}

// The values the query gives, by parameter name: each entry's first child
// is its "name", its second its "value"; a later entry for a name replaces
// an earlier one.
Status ReadGivenValues(std::string_view paramList, std::vector<std::pair<std::string, std::string>>& given) {
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(paramList)) return Status(kXmlLoadFailed);
  const xml::NodePtr root = doc->documentElement();
  if (!root) return Status(kXmlLoadFailed);
  for (const xml::NodePtr& entry : root->childNodes()) {
    if (entry->nodeType() != xml::NodeType::Element) continue;
    std::vector<xml::NodePtr> children;
    for (const xml::NodePtr& child : entry->childNodes())
      if (Counts(*child)) children.push_back(child);
    if (children.size() < 2) return Status(kQueryInvalid);
    if (children[0]->nodeName() != "name" || children[1]->nodeName() != "value") continue;
    std::string name = children[0]->text();
    // An empty name addresses no parameter.
    if (name.empty()) continue;
    given.emplace_back(std::move(name), children[1]->text());
  }
  return {};
}

const std::string* GivenValue(const std::vector<std::pair<std::string, std::string>>& given, std::string_view name) {
  const std::string* found = nullptr;
  for (const auto& [n, v] : given)
    if (n == name) found = &v;
  return found;
}

odbc::Param::Direction DirectionOf(std::int64_t direction) {
  switch (direction) {
    case kInput: return odbc::Param::Direction::Input;
    case kInputOutput: return odbc::Param::Direction::InputOutput;
    default: return odbc::Param::Direction::Output;
  }
}

// An output buffer's value as a fetched value.
odbc::Value BufferValue(const odbc::Param& param) {
  odbc::Value value;
  if (const auto* text = std::get_if<std::string>(&param.value)) {
    value.kind = odbc::Value::Kind::Text;
    value.text = *text;
  }
  return value;
}

// The first result of a PostgreSQL call that has output parameters is one
// row of their values, in their order and under their names (an unnamed
// parameter's column has a name of its own). The driver copies that row into
// the output buffers too, cut to their size; the row itself is read whole.
bool IsOutputRow(const std::vector<oledb::Column>& columns, const std::vector<const ProcedureParameter*>& outputs) {
  if (outputs.empty() || columns.size() != outputs.size()) return false;
  for (std::size_t i = 0; i < columns.size(); ++i)
    if (!outputs[i]->name.empty() && !text::EqualsNoCase(columns[i].name, outputs[i]->name)) return false;
  return true;
}

odbc::Value Copy(const odbc::ValueView& view) {
  odbc::Value value;
  value.kind = view.kind;
  value.integer = view.integer;
  value.real = view.real;
  value.text.assign(view.text);
  value.narrow = view.narrow;
  return value;
}

// Writes every result with columns as one "resultSet" into `sets`, until the
// command has no result left; a set whose rows fail to read is left out.
// When `outputs` is given and the first result is their row, its values go
// to `outputValues` instead, and the row is written as a result set only
// when there are more rows than that one.
Status ReadResults(const CSQLParser& parser, oledb::Rowset& rows, AnswerText& sets,
                   const std::vector<const ProcedureParameter*>* outputs,
                   std::optional<std::vector<odbc::Value>>& outputValues) {
  odbc::ValueView value;
  std::string scratch;
  bool first = true;
  while (true) {
    const auto& columns = rows.Columns();
    if (!columns.empty()) {
      const bool outputRow = first && outputs && IsOutputRow(columns, *outputs);
      std::vector<std::string> startTags;
      std::vector<bool> textTypes;
      for (const oledb::Column& c : columns) {
        startTags.push_back(ColumnStartTag(c));
        const std::string_view type = DBTypeName(c.type).value_or(std::string_view());
        textTypes.push_back(type == "DBTYPE_STR" || type == "DBTYPE_BSTR");
      }
      const AnswerText::Mark start = sets.Here();
      sets.Open("resultSet");
      std::size_t count = 0;
      while (true) {
        const HRESULT hr = rows.Fetch();
        if (FAILED(hr)) {
          sets.Rewind(start);
          return com::StatusOf(hr);
        }
        if (hr == S_FALSE) break;
        sets.Open("record");
        if (outputRow && count == 0) outputValues.emplace();
        for (std::size_t i = 0; i < columns.size(); ++i) {
          if (const HRESULT got = rows.Read(i, value); FAILED(got)) {
            sets.Rewind(start);
            return com::StatusOf(got);
          }
          if (outputRow && count == 0) outputValues->push_back(Copy(value));
          sets.Open("column", startTags[i]);
          WriteValue(parser, value, textTypes[i], scratch, sets);
          sets.Close();
        }
        sets.Close();
        ++count;
      }
      sets.Close();
      if (outputRow && count <= 1) sets.Rewind(start);
    }
    first = false;
    const HRESULT next = rows.NextResult();
    if (FAILED(next)) return com::StatusOf(next);
    if (next == S_FALSE) return {};
  }
}

// Runs the call. The return value and the output values go to `head`,
// the result sets to `sets`.
Status Call(const CSQLParser& parser, oledb::Session& session, std::string_view procedureName, std::size_t index,
            AnswerText& head, AnswerText& sets) {
  QUOR_ASSIGN_OR_RETURN(const std::vector<std::string> parts, SplitProcedureName(procedureName));
  if (parts.size() > 3) return Status(kNoProcedure);

  const bool postgres = text::EqualsNoCase(session.DbmsName(), "PostgreSQL");
  std::vector<ProcedureParameter> parameters;
  std::optional<std::string> schema;
  if (const Status status = ReadParameters(session, parts, postgres, parameters, schema); !status.ok())
    return status;
  const bool procedure = postgres && IsPostgresProcedure(session, schema, parts.back());

  // The return value is bound first, whatever its place in the listing.
  const auto returnValue = std::find_if(parameters.begin(), parameters.end(),
                                        [](const ProcedureParameter& p) { return p.direction == kReturnValue; });
  std::vector<const ProcedureParameter*> order;
  if (returnValue != parameters.end()) order.push_back(&*returnValue);
  for (const ProcedureParameter& p : parameters)
    if (p.direction != kReturnValue) order.push_back(&p);
  const bool hasReturn = returnValue != parameters.end();
  const std::size_t placeholders = order.size() - (hasReturn ? 1 : 0);
  const bool takesValues = std::any_of(parameters.begin(), parameters.end(), [](const ProcedureParameter& p) {
    return p.direction == kInput || p.direction == kInputOutput;
  });
  std::vector<const ProcedureParameter*> outputs;
  for (const ProcedureParameter* p : order)
    if (p->direction == kInputOutput || p->direction == kOutput) outputs.push_back(p);

  // Only a procedure that takes values needs the query's parameter list; one
  // with outputs alone runs without.
  std::vector<std::pair<std::string, std::string>> given;
  if (takesValues) {
    if (const Status status = ReadGivenValues(parser.statement(index).sqlTemplate, given); !status.ok())
      return status;
  }

  std::vector<odbc::Param> params;
  params.reserve(order.size());
  for (const ProcedureParameter* p : order) {
    const std::string* value = p->direction == kInput || p->direction == kInputOutput ? GivenValue(given, p->name)
                                                                                      : nullptr;
    odbc::Param param = p->direction == kOutput || p->direction == kReturnValue
                            ? odbc::Param::Null(odbc::Param::Kind::Text)
                            // An input the query leaves out goes as empty text.
                            : odbc::Param::Text(value ? *value : std::string());
    param.direction = DirectionOf(p->direction);
    param.outputSize = std::max(p->outputChars, value ? text::Widen(*value).size() : std::size_t{0});
    params.push_back(std::move(param));
  }

  // The name goes into the call as written: it is a checked identifier path.
  // A PostgreSQL procedure runs by CALL; functions by the call escape.
  std::string call = procedure ? "CALL " : hasReturn ? "{ ? = Call " : "{ Call ";
  call.append(procedureName).append(" (");
  for (std::size_t i = 0; i < placeholders; ++i) call.append(i == 0 ? "?" : ", ?");
  call.append(procedure ? ")" : ") }");

  std::unique_ptr<oledb::Rowset> rows;
  if (const HRESULT hr = session.Execute(call, params, rows); FAILED(hr)) return com::StatusOf(hr);
  if (!rows) return Status(E_FAIL);
  std::optional<std::vector<odbc::Value>> outputValues;
  if (const Status status = ReadResults(parser, *rows, sets, postgres ? &outputs : nullptr, outputValues);
      !status.ok())
    return status;
  // Otherwise the outputs are in their buffers, complete only now: some
  // drivers fill them once the last result has been read.
  if (!outputValues) {
    if (const HRESULT hr = rows->ReadOutputs(params); FAILED(hr)) return com::StatusOf(hr);
  }
  rows.reset();

  // Return value and outputs stand before the result sets.
  std::size_t nextOutput = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const ProcedureParameter& p = *order[i];
    const bool fromRow = outputValues && p.direction != kReturnValue;
    if (p.direction == kReturnValue) {
      head.Open("resultCode");
    } else if (p.direction == kInputOutput || p.direction == kOutput) {
      head.Open("parameter");
      head.Attribute("name", p.name);
    } else {
      continue;
    }
    head.Text(ValueText(parser, fromRow ? (*outputValues)[nextOutput++] : BufferValue(params[i])));
    head.Close();
  }
  return {};
}

}  // namespace

Status ExecuteEachProcedureCallQuery(const CSQLParser& parser, oledb::Session& session,
                                     std::string_view procedureName, std::size_t index, AnswerText& out) {
  if (index >= parser.statementCount()) return Status(E_INVALIDARG);
  AnswerText head, sets;
  const Status status = Call(parser, session, procedureName, index, head, sets);
  // The response goes in on every exit; a failure's fault replaces it.
  out.Open("response");
  out.Append(head);
  out.Append(sets);
  out.Close();
  return status;
}

Status ExecuteEachProcedureCallQuery(const CSQLParser& parser, oledb::Session& session,
                                     std::string_view procedureName, std::size_t index,
                                     const xml::DocumentPtr& result) {
  if (!result || index >= parser.statementCount()) return Status(E_INVALIDARG);
  AnswerText out;
  const Status status = ExecuteEachProcedureCallQuery(parser, session, procedureName, index, out);
  if (!ToDocument(out, result).ok() && status.ok()) return Status(E_UNEXPECTED);
  return status;
}

}  // namespace quor::accessor
