#include "accessor/schema_list.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "accessor/catalog_values.h"
#include "accessor/statement_exec.h"
#include "platform/com/hresult.h"
#include "platform/text/text.h"

namespace quor::accessor {

namespace {

std::optional<std::string_view> ParameterTypeWord(std::int64_t type) {
  switch (type) {
    case 1: return "INPUT";
    case 2: return "INPUTOUTPUT";
    case 3: return "OUTPUT";
    case 4: return "RETURNVALUE";
    default: return std::nullopt;
  }
}

// Database text as the document's UTF-8, through the configured decoding.
std::string Decoded(const CSQLParser& parser, std::string_view bytes) {
  if (const TextConverter* converter = parser.textConverter()) return text::Narrow(converter->Decode(bytes));
  return text::Narrow(text::Widen(bytes));
}

// Whether an object of `schema` belongs in a listing for the parser's schema.
bool InSchema(const CSQLParser& parser, const std::optional<std::string>& schema) {
  return !parser.schemaName() || schema.value_or(std::string()) == *parser.schemaName();
}

Status AppendResponse(xml::Document& result, const xml::NodePtr& response) {
  return result.appendChild(response) ? Status() : Status(E_UNEXPECTED);
}

}  // namespace

std::string_view ObjectKindWord(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::Table: return "TABLE";
    case ObjectKind::View: return "VIEW";
    case ObjectKind::Alias: return "ALIAS";
    case ObjectKind::Synonym: return "SYNONYM";
  }
  return "TABLE";
}

bool ListingKindOf(const QueryStatement& statement, ObjectKind& kind) {
  switch (statement.targetKind) {
    case TargetKind::Columns:
      if (statement.tableName != "*") return false;
      kind = ObjectKind::Table;
      return true;
    case TargetKind::Views: kind = ObjectKind::View; return true;
    case TargetKind::Aliases: kind = ObjectKind::Alias; return true;
    case TargetKind::Synonyms: kind = ObjectKind::Synonym; return true;
    default: return false;
  }
}

Status ListObjects(oledb::Session& session, const CSQLParser& parser, ObjectKind kind, xml::Document& result) {
  const std::string word(ObjectKindWord(kind));
  const xml::NodePtr response = result.createElement("response");
  // The schema goes to the catalog too: without one some drivers list only
  // the schemas on the search path. It is read there as a pattern, so the
  // exact test below still decides.
  oledb::Restrictions restrictions;
  restrictions.schema = parser.schemaName();
  restrictions.item = word;
  std::unique_ptr<oledb::Rowset> rows;
  if (session.GetSchemaRowset(oledb::Schema::Tables, restrictions, rows) == S_OK && rows) {
    const std::string tag = text::ToLowerAscii(word);
    while (rows->Next() == S_OK) {
      const auto name = CatalogText(*rows, "TABLE_NAME");
      if (!name || name->empty() || !InSchema(parser, CatalogText(*rows, "TABLE_SCHEMA"))) continue;
      const xml::NodePtr item = result.createElement(tag);
      item->setAttribute("name", Decoded(parser, *name));
      response->appendChild(item);
    }
  }
  return AppendResponse(result, response);
}

Status ListProcedures(oledb::Session& session, const CSQLParser& parser, xml::Document& result) {
  const xml::NodePtr response = result.createElement("response");
  // The schema goes to the catalog as in ListObjects.
  oledb::Restrictions all;
  all.schema = parser.schemaName();
  std::unique_ptr<oledb::Rowset> procedures;
  if (session.GetSchemaRowset(oledb::Schema::Procedures, all, procedures) == S_OK && procedures) {
    // Read the list first: the parameter listings run on the same session.
    struct Procedure {
      std::optional<std::string> catalog, schema;
      std::string name;
    };
    std::vector<Procedure> found;
    while (procedures->Next() == S_OK) {
      auto name = CatalogText(*procedures, "PROCEDURE_NAME");
      auto schema = CatalogText(*procedures, "PROCEDURE_SCHEMA");
      if (!name || name->empty() || !InSchema(parser, schema)) continue;
      found.push_back({CatalogText(*procedures, "PROCEDURE_CATALOG"), std::move(schema), std::move(*name)});
    }
    procedures.reset();
    for (const auto& procedure : found) {
      const xml::NodePtr element = result.createElement("procedure");
      element->setAttribute("name", Decoded(parser, procedure.name));
      oledb::Restrictions only;
      only.catalog = procedure.catalog;
      only.schema = procedure.schema;
      only.name = procedure.name;
      std::unique_ptr<oledb::Rowset> parameters;
      if (session.GetSchemaRowset(oledb::Schema::ProcedureParameters, only, parameters) == S_OK && parameters) {
        while (parameters->Next() == S_OK) {
          const auto name = CatalogText(*parameters, "PARAMETER_NAME");
          if (!name || name->empty()) continue;
          const xml::NodePtr parameter = result.createElement("parameter");
          parameter->setAttribute("name", Decoded(parser, *name));
          if (const auto type = CatalogNumber(*parameters, "PARAMETER_TYPE"))
            if (const auto word = ParameterTypeWord(*type)) parameter->setAttribute("type", *word);
          if (const auto type = CatalogNumber(*parameters, "DATA_TYPE"))
            if (const auto typeName = DBTypeName(static_cast<long>(*type))) parameter->setAttribute("datatype", *typeName);
          element->appendChild(parameter);
        }
      }
      response->appendChild(element);
    }
  }
  return AppendResponse(result, response);
}

}  // namespace quor::accessor
