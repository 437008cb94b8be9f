// The listings the accessor answers from the data source's catalog alone:
// its tables, views, aliases, synonyms and stored procedures, each written
// as a "response" element of the result document.
#pragma once

#include <string_view>

#include "accessor/sql_parser.h"
#include "accessor/status.h"
#include "platform/oledb/oledb.h"
#include "platform/xml/dom.h"

namespace quor::accessor {

enum class ObjectKind { Table, View, Alias, Synonym };

// The table-type word the catalog is asked for ("TABLE", "VIEW", ...).
std::string_view ObjectKindWord(ObjectKind kind);
// The listing a statement asks for: tables for a column statement on the
// table "*", views, aliases or synonyms; false for any other statement.
bool ListingKindOf(const QueryStatement& statement, ObjectKind& kind);

// Appends to `result` (empty on entry) "response" with one element per object
// of `kind` ("table", "view", "alias", "synonym", attribute "name"). Objects
// without a name, and those outside the parser's schema when it has one, are
// left out. A catalog that cannot be read answers an empty "response".
// Names go through the parser's text converter.
Status ListObjects(oledb::Session& session, const CSQLParser& parser, ObjectKind kind, xml::Document& result);

// Appends to `result` "response" with one "procedure" (attribute "name") per
// stored procedure, holding one "parameter" per named parameter with its
// "name", "type" (INPUT, INPUTOUTPUT, OUTPUT, RETURNVALUE) and "datatype"
// (the OLE DB type name); an attribute is left out when there is no word
// for its value.
Status ListProcedures(oledb::Session& session, const CSQLParser& parser, xml::Document& result);

}  // namespace quor::accessor
