// What a parsed query asks of an open session: a listing answered from the
// catalog, a stored-procedure call, or its statement, once or once per table.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accessor/answer_text.h"
#include "accessor/sql_parser.h"
#include "accessor/status.h"
#include "platform/oledb/oledb.h"
#include "platform/xml/dom.h"

namespace quor::accessor {

// The step an exec statement is handed to; its answer is the call's answer.
using ProcedureCall =
    std::function<Status(oledb::Session& session, std::string_view procedureName, const xml::DocumentPtr& result)>;

// Runs the parsed query on `session` and appends its answer to `result`
// (empty on entry). Listings never fail on an unreadable catalog (they
// answer an empty "response"). For the table "*" the statement runs once per
// known table and, outside a transaction, tables it fails on are left out;
// inside one the first failure ends the call. Any other statement's failure
// is the call's status and appends nothing. An exec calls its stored
// procedure (ExecuteEachProcedureCallQuery), or `procedureCall` when given,
// and appends its "response" also on failure.
Status ExecuteSQLQueryGenXML(const CSQLParser& parser, oledb::Session& session, const xml::DocumentPtr& result,
                             const ProcedureCall& procedureCall = {});
// The same, the answer written as text into `out`. When `out` has a sink,
// the rows of a query that StreamsRows allows leave through it as they are
// read; any other answer is made whole.
Status ExecuteSQLQueryGenXML(const CSQLParser& parser, oledb::Session& session, AnswerText& out,
                             const ProcedureCall& procedureCall = {});

// Whether the parsed query is one select on one named table, whose answer
// is "response" > "table" > "record"s: the one answer that may leave while
// its rows are read. Listings, procedure calls, changes, several tables
// ("*") and columns read as XML documents are made whole.
bool StreamsRows(const CSQLParser& parser);

// The tables of the catalog (with the views too when `withViews`), in the
// parser's schema when it has one; the statements' own table texts when the
// catalog cannot be read.
std::vector<std::string> KnownTables(const CSQLParser& parser, oledb::Session& session, bool withViews);

// Whether `name` occurs in `text` as a run of characters (case counts).
bool IsNameInText(std::string_view text, std::string_view name);

// `name` as it goes in SQL, after the schema when there is one: quoted when
// it starts with a digit or holds a blank, hyphen, comma, quote or semicolon.
std::string QualifiedName(const std::optional<std::string>& schema, std::string_view name);

}  // namespace quor::accessor
