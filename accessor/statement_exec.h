// One parsed statement run on an open session: the rows of a select, the
// columns of a listing, or the result code of a change, as a result document.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "accessor/sql_parser.h"
#include "accessor/status.h"
#include "platform/oledb/oledb.h"
#include "platform/xml/dom.h"

namespace quor::accessor {

// The name of an OLE DB type number; none for a number the table lacks. The
// wide-string type is named "DBTYPE_BSTR", as callers expect.
std::optional<std::string_view> DBTypeName(long type);

// A fetched value as the text a narrow-string binding would give: numbers in
// decimal, bytes in hexadecimal, text decoded as the parser's converter says;
// empty for NULL.
std::string ValueText(const CSQLParser& parser, const odbc::Value& value);

// Column text that is an XML document becomes a copy of its root element,
// appended to `column`; false, with nothing appended, for text that does not
// load. A document with a DTD stays text: its declarations are never followed.
bool EmbedXml(const xml::NodePtr& column, std::string_view text);

// Runs statement `index` of `parser` for `tableText` on `session` and makes
// its result the root of `result`, which must be empty. Answers 0, an
// accessor code, or the status of the failed database step; nothing is
// written on failure. Inside a transaction a failed change is written as a
// "resultCode" holding the status in hexadecimal, and the call succeeds.
Status ExecuteEachSQLQuery(const CSQLParser& parser, oledb::Session& session, std::string_view tableText,
                           std::size_t index, const xml::DocumentPtr& result);

}  // namespace quor::accessor
