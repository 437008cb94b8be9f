// Turns the caller's "query" request document into the "sqlquery" statement
// document that the dispatcher walks and the data accessor parses.
//
// The translation is structural: the SQL fragments the client writes (tables,
// conditions, values, set clauses, procedure names) are copied verbatim and
// only joined with fixed separators. Nothing is quoted, escaped or checked as
// SQL here; the accessor is where a statement is assembled.
//
// Statuses are the service's 0x81000000+n codes (core/StatusCodes.h); a DOM
// change that the document refuses fails with E_FAIL.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/status.h"
#include "platform/xml/dom.h"

namespace quor::core {

class CQueryTranslator {
 public:
  CQueryTranslator() = default;
  virtual ~CQueryTranslator() = default;
  CQueryTranslator(const CQueryTranslator&) = delete;
  CQueryTranslator& operator=(const CQueryTranslator&) = delete;

  // Translates `request` into `output`, which should be empty: on success it
  // gets the document element "sqlquery". When the request holds a write
  // (put, insert, update, replace, delete) every statement goes into one
  // "transaction" element; otherwise the statements are direct children of
  // "sqlquery". On failure `output` is left without a document element.
  Status Translate(const xml::DocumentPtr& request, const xml::DocumentPtr& output);

  // Each builder turns one request element into one "statement" created in
  // `output` and appended to `transaction`.
  Status BuildDelete(const xml::DocumentPtr& output, const xml::NodePtr& request, const xml::NodePtr& transaction);
  Status BuildUpdate(const xml::DocumentPtr& output, const xml::NodePtr& request, const xml::NodePtr& transaction);
  Status BuildPut(const xml::DocumentPtr& output, const xml::NodePtr& request, const xml::NodePtr& transaction);
  Status BuildExec(const xml::DocumentPtr& output, const xml::NodePtr& request, const xml::NodePtr& transaction);
  Status BuildGet(const xml::DocumentPtr& output, const xml::NodePtr& request, const xml::NodePtr& transaction);

  // The schema part of a qualified table name ("dbo" of dbo.Orders), without
  // its double quotes; empty when the name has no schema part.
  static std::string TableSchemaPrefix(std::string_view table);
};

}  // namespace quor::core
