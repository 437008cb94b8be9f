// A stored-procedure call: the parameters looked up in the catalog, the call
// run on the open session, and its return value, output values and result
// sets written as one "response" element.
#pragma once

#include <cstddef>
#include <string_view>

#include "accessor/answer_text.h"
#include "accessor/sql_parser.h"
#include "accessor/status.h"
#include "platform/oledb/oledb.h"
#include "platform/xml/dom.h"

namespace quor::accessor {

// Calls `procedureName` for statement `index` of `parser` (its parameter
// list is the record's template) and appends the "response" element to
// `result`, also on failure: the return value ("resultCode"), the output
// parameters ("parameter") and then one "resultSet" per result with columns.
// The name must be an identifier path of at most three parts (catalog,
// schema, name; parts may be double-quoted), else 0x8200002A before anything
// runs, as for a procedure the catalog does not know. Functions run by the
// call escape; a PostgreSQL procedure by CALL. On PostgreSQL the output
// values are read, whole, from the row the server answers with; elsewhere
// from their buffers, and one longer than its buffer fails with
// DB_E_DATAOVERFLOW.
Status ExecuteEachProcedureCallQuery(const CSQLParser& parser, oledb::Session& session,
                                     std::string_view procedureName, std::size_t index,
                                     const xml::DocumentPtr& result);
// The same, the "response" written into `out`.
Status ExecuteEachProcedureCallQuery(const CSQLParser& parser, oledb::Session& session,
                                     std::string_view procedureName, std::size_t index, AnswerText& out);

}  // namespace quor::accessor
