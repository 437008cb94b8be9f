#include "accessor/schema_dispatch.h"

#include <memory>

#include "accessor/procedure_call.h"
#include "accessor/schema_list.h"
#include "accessor/statement_exec.h"
#include "platform/com/errorinfo.h"

namespace quor::accessor {

namespace {

bool NeedsQuotes(std::string_view name) {
  if (name.empty()) return false;
  if (name.front() >= '0' && name.front() <= '9') return true;
  return name.find_first_of(" -,\"';") != std::string_view::npos;
}

// Appends the names of one kind that pass the listing's filters; the
// catalog's failure when it cannot be read.
Status AppendNames(const CSQLParser& parser, oledb::Session& session, std::string_view kind,
                   std::vector<std::string>& names) {
  oledb::Restrictions restrictions;
  restrictions.schema = parser.schemaName();
  restrictions.item = std::string(kind);
  std::unique_ptr<oledb::Rowset> rows;
  if (const HRESULT hr = session.GetSchemaRowset(oledb::Schema::Tables, restrictions, rows); hr != S_OK || !rows)
    return FAILED(hr) ? com::StatusOf(hr) : Status(E_UNEXPECTED);
  while (rows->Next() == S_OK) {
    odbc::Value name, schema;
    if (rows->Get("TABLE_NAME", name) != S_OK || name.IsNull() || name.text.empty()) continue;
    if (parser.schemaName()) {
      if (rows->Get("TABLE_SCHEMA", schema) != S_OK || schema.text != *parser.schemaName()) continue;
    }
    names.push_back(name.text);
  }
  return {};
}

Status StatementRun(const CSQLParser& parser, oledb::Session& session, AnswerText& out) {
  const QueryStatement& first = parser.statement(0);
  const bool everyTable = first.tableName == "*";
  // The catalog is read only for the statements that need its tables.
  std::optional<std::vector<std::string>> knownTables;
  auto known = [&]() -> const std::vector<std::string>& {
    if (!knownTables) knownTables = KnownTables(parser, session, !everyTable);
    return *knownTables;
  };

  for (std::uint32_t index = 0; index < parser.statementCount(); ++index) {
    const QueryStatement& st = parser.statement(index);
    const AnswerText::Mark start = out.Here();
    if (st.tableName == "*") {
      out.Open("response");
      for (const std::string& name : known()) {
        const Status status = ExecuteEachSQLQuery(parser, session, QualifiedName(parser.schemaName(), name), index, out);
        if (!status.ok() && parser.inTransaction()) {
          out.Rewind(start);
          return status;
        }
      }
      out.Close();
    } else if (st.targetKind == TargetKind::Columns) {
      // The columns of the named tables, once some known table is named;
      // their listing is the response.
      bool named = false;
      for (const std::string& name : known()) named = named || IsNameInText(st.tableName, name);
      bool listed = false;
      if (named) {
        const Status status = ExecuteEachSQLQuery(parser, session, st.tableName, index, out);
        if (!status.ok() && parser.inTransaction()) return status;
        listed = status.ok();
      }
      if (!listed) {
        out.Open("response");
        out.Close();
      }
    } else {
      out.Open("response");
      const Status status = ExecuteEachSQLQuery(parser, session, st.tableName, index, out);
      if (!status.ok()) {
        out.Rewind(start);
        return status;
      }
      out.Close();
    }
  }
  return {};
}

// The answer of a step that writes a document: its top-level nodes.
void WriteDocument(const xml::Document& doc, AnswerText& out) {
  for (xml::NodePtr node = doc.firstChild(); node; node = node->nextSibling()) out.Node(*node);
}

}  // namespace

bool IsNameInText(std::string_view text, std::string_view name) { return text.find(name) != std::string_view::npos; }

std::string QualifiedName(const std::optional<std::string>& schema, std::string_view name) {
  std::string out;
  if (schema) out = (NeedsQuotes(*schema) ? QuoteIdentifier(*schema) : *schema) + ".";
  out += NeedsQuotes(name) ? QuoteIdentifier(name) : std::string(name);
  return out;
}

std::vector<std::string> KnownTables(const CSQLParser& parser, oledb::Session& session, bool withViews) {
  std::vector<std::string> names;
  if (!AppendNames(parser, session, "TABLE", names).ok()) {
    names.clear();
    for (std::uint32_t i = 0; i < parser.statementCount(); ++i) names.push_back(parser.statement(i).tableName);
  }
  // Views are an addition: a catalog that does not list them leaves the tables.
  if (withViews) AppendNames(parser, session, "VIEW", names).Ignore();
  return names;
}

bool StreamsRows(const CSQLParser& parser) {
  if (parser.statementCount() != 1 || parser.convertFlag()) return false;
  const QueryStatement& st = parser.statement(0);
  return st.statementKind == StatementKind::Select &&
         (st.targetKind == TargetKind::Statement || st.targetKind == TargetKind::Table) && st.tableName != "*";
}

Status ExecuteSQLQueryGenXML(const CSQLParser& parser, oledb::Session& session, AnswerText& out,
                             const ProcedureCall& procedureCall) {
  if (parser.statementCount() == 0) return Status(kQueryInvalid);
  if (out.Sink() && !StreamsRows(parser)) out.StreamTo(nullptr);
  const QueryStatement& first = parser.statement(0);
  // Listings are small: they are made as documents and written out.
  const xml::DocumentPtr doc = xml::Document::Create();
  Status status;
  if (ObjectKind kind; ListingKindOf(first, kind)) {
    status = ListObjects(session, parser, kind, *doc);
  } else if (first.targetKind == TargetKind::Procedures) {
    status = ListProcedures(session, parser, *doc);
  } else if (first.statementKind == StatementKind::Exec) {
    if (!procedureCall) return ExecuteEachProcedureCallQuery(parser, session, first.procedureName, 0, out);
    status = procedureCall(session, first.procedureName, doc);
  } else {
    return StatementRun(parser, session, out);
  }
  WriteDocument(*doc, out);
  return status;
}

Status ExecuteSQLQueryGenXML(const CSQLParser& parser, oledb::Session& session, const xml::DocumentPtr& result,
                             const ProcedureCall& procedureCall) {
  if (!result) return Status(E_POINTER);
  AnswerText out;
  const Status status = ExecuteSQLQueryGenXML(parser, session, out, procedureCall);
  // A procedure call's response is there on failure too.
  if (const Status loaded = ToDocument(out, result); !loaded.ok() && status.ok()) return loaded;
  return status;
}

}  // namespace quor::accessor
