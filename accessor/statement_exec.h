// One parsed statement run on an open session: the rows of a select, the
// columns of a listing, or the result code of a change, as a result document.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "accessor/answer_text.h"
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
// The same text of a value read in place: it is the value's own text when
// that is UTF-8 already, else written into `scratch`.
std::string_view ValueText(const CSQLParser& parser, const odbc::ValueView& value, std::string& scratch);

// Column text that is an XML document is written as its root element, as
// content of the element open in `out`; false, with nothing written, for
// text that does not load. A document with a DTD stays text: its
// declarations are never followed.
bool EmbedXml(AnswerText& out, std::string_view text);

// The start tag of a result's "column" element: the column's name and,
// when it has one, its type name.
std::string ColumnStartTag(const oledb::Column& column);

// A value as the content of the column element open in `out`: its text, or
// with `embed` the document that text holds. NULL and empty text write
// nothing.
void WriteValue(const CSQLParser& parser, const odbc::ValueView& value, bool embed, std::string& scratch,
                AnswerText& out);

// Runs statement `index` of `parser` for `tableText` on `session` and writes
// its result element into `out`. Answers success, an accessor code, or the
// status of the failed database step; nothing is written on failure. Inside
// a transaction a failed change is written as a "resultCode" holding the
// status in hexadecimal, and the call succeeds.
Status ExecuteEachSQLQuery(const CSQLParser& parser, oledb::Session& session, std::string_view tableText,
                           std::size_t index, AnswerText& out);
// The same, its result made the root of `result`, which must be empty.
Status ExecuteEachSQLQuery(const CSQLParser& parser, oledb::Session& session, std::string_view tableText,
                           std::size_t index, const xml::DocumentPtr& result);

}  // namespace quor::accessor
