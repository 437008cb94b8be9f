#include "accessor/schema_dispatch.h"

#include <memory>

#include "accessor/procedure_call.h"
#include "accessor/schema_list.h"
#include "accessor/statement_exec.h"
#include "platform/com/hresult.h"

namespace quor::accessor {

namespace {

bool NeedsQuotes(std::string_view name) {
  if (name.empty()) return false;
  if (name.front() >= '0' && name.front() <= '9') return true;
  return name.find_first_of(" -,\"';") != std::string_view::npos;
}

// Appends the names of one kind that pass the listing's filters; false when
// the catalog cannot be read.
bool AppendNames(const CSQLParser& parser, oledb::Session& session, std::string_view kind,
                 std::vector<std::string>& names) {
  oledb::Restrictions restrictions;
  restrictions.schema = parser.schemaName();
  restrictions.item = std::string(kind);
  std::unique_ptr<oledb::Rowset> rows;
  if (session.GetSchemaRowset(oledb::Schema::Tables, restrictions, rows) != S_OK || !rows) return false;
  while (rows->Next() == S_OK) {
    odbc::Value name, schema;
    if (rows->Get("TABLE_NAME", name) != S_OK || name.IsNull() || name.text.empty()) continue;
    if (parser.schemaName()) {
      if (rows->Get("TABLE_SCHEMA", schema) != S_OK || schema.text != *parser.schemaName()) continue;
    }
    names.push_back(name.text);
  }
  return true;
}

Status StatementRun(const CSQLParser& parser, oledb::Session& session, const xml::DocumentPtr& result) {
  const QueryStatement& first = parser.statement(0);
  const bool everyTable = first.tableName == "*";
  const std::vector<std::string> known = KnownTables(parser, session, !everyTable);

  for (std::uint32_t index = 0; index < parser.statementCount(); ++index) {
    const QueryStatement& st = parser.statement(index);
    xml::NodePtr response = result->createElement("response");
    if (st.tableName == "*") {
      for (const std::string& name : known) {
        const xml::DocumentPtr part = xml::Document::Create();
        const Status status = ExecuteEachSQLQuery(parser, session, QualifiedName(parser.schemaName(), name), index, part);
        if (status == kOk) {
          if (part->firstChild()) response->appendChild(part->firstChild());
        } else if (parser.inTransaction()) {
          return status;
        }
      }
    } else if (st.targetKind == TargetKind::Columns) {
      // The columns of the named tables, once some known table is named.
      bool named = false;
      for (const std::string& name : known) named = named || IsNameInText(st.tableName, name);
      if (named) {
        const xml::DocumentPtr part = xml::Document::Create();
        const Status status = ExecuteEachSQLQuery(parser, session, st.tableName, index, part);
        if (status == kOk && part->firstChild()) {
          response = part->firstChild();
        } else if (status != kOk && parser.inTransaction()) {
          return status;
        }
      }
    } else {
      const xml::DocumentPtr part = xml::Document::Create();
      const Status status = ExecuteEachSQLQuery(parser, session, st.tableName, index, part);
      if (status != kOk) return status;
      if (part->firstChild()) response->appendChild(part->firstChild());
    }
    if (!result->appendChild(response)) return E_UNEXPECTED;
  }
  return kOk;
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
  if (!AppendNames(parser, session, "TABLE", names)) {
    names.clear();
    for (std::uint32_t i = 0; i < parser.statementCount(); ++i) names.push_back(parser.statement(i).tableName);
  }
  if (withViews) AppendNames(parser, session, "VIEW", names);
  return names;
}

Status ExecuteSQLQueryGenXML(const CSQLParser& parser, oledb::Session& session, const xml::DocumentPtr& result,
                             const ProcedureCall& procedureCall) {
  if (!result) return E_POINTER;
  if (parser.statementCount() == 0) return kQueryInvalid;
  const QueryStatement& first = parser.statement(0);
  if (ObjectKind kind; ListingKindOf(first, kind)) return ListObjects(session, parser, kind, *result);
  if (first.targetKind == TargetKind::Procedures) return ListProcedures(session, parser, *result);
  if (first.statementKind == StatementKind::Exec) {
    if (!procedureCall) return ExecuteEachProcedureCallQuery(parser, session, first.procedureName, 0, result);
    return procedureCall(session, first.procedureName, result);
  }
  return StatementRun(parser, session, result);
}

}  // namespace quor::accessor
