// A partial result rewritten into the vocabulary of its unify rule: the
// response, table, record and column skeleton copied into a new document,
// every table marked with the rule's join kind and columns renamed by the
// rule's patterns, their former names kept in "orginalname".
#pragma once

#include <string>
#include <string_view>

#include "core/UnifyTable.h"
#include "platform/com/bstr.h"
#include "platform/com/status.h"
#include "platform/xml/dom.h"

namespace quor::core {

class CResultRewriter {
 public:
  // `unify` is the rule's join kind, put on every table (empty when null).
  explicit CResultRewriter(com::Bstr unify) : unify_(std::move(unify)) {}
  virtual ~CResultRewriter() = default;

  // A new "response" element in a document of its own, or none when `response`
  // is not a "response" element or memory runs out; a failing DOM call fails
  // with its status. Children other than tables, records and columns are
  // left out.
  Result<xml::NodePtr> RewriteResponse(const xml::NodePtr& response, const UnifyTableEntry& entry) const;

  // Fills `target` from the column `source` of the table `tableName` (null:
  // the table has no name).
  Status RewriteColumn(const xml::NodePtr& source, const xml::NodePtr& target, const com::Bstr& tableName,
                        const UnifyTableEntry& entry) const;

  // The text after the first '.', or the whole name without one.
  static std::string StripTableQualifier(std::string_view tableName);

 private:
  com::Bstr unify_;
};

}  // namespace quor::core
