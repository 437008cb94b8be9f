// The worker behind the accessor component: it reads the query and
// configuration documents, picks one of three runs from their root elements
// and answers the result document's text.
//
//   single source:        one data source, one statement;
//   replicated statement: one statement on every matching configured source,
//                         all committed or all rolled back;
//   transaction:          a list of statements, each on the source it names,
//                         all committed or all rolled back.
//
// There is no two-phase commit: the sources commit one after the other, and
// when a commit fails the sources not yet committed are rolled back, but the
// ones already committed stay committed.
#pragma once

#include <string>
#include <string_view>

#include "accessor/answer_text.h"
#include "accessor/status.h"
#include "platform/xml/dom.h"

namespace quor::accessor {

// A transaction could not be carried through; everything begun was undone.
inline constexpr HRESULT kTransactionFailed = AccessorCode(0x05);
// No configured data source matches the statement.
inline constexpr HRESULT kTargetMissing = AccessorCode(0x29);
// The query or configuration text is not XML.
inline constexpr HRESULT kXmlLoadFailed = AccessorCode(0x2E);
// An unexpected failure (memory, a broken document) inside a run.
inline constexpr HRESULT kAccessException = AccessorCode(0x04);

class CLegacyDBAccessorImpl {
 public:
  // Answers success and the result document's text in `result`, or a
  // failure status with `result` untouched. Given an answer sink in the call
  // context, a query on one source may send the start of its text through
  // it while its rows are read: `result` is then the rest.
  Status Query(std::u16string_view query, std::u16string_view config, std::string& result);

  // The three runs, each writing its answer into `result` (empty on entry).
  Status Query2(const xml::NodePtr& queryRoot, const xml::NodePtr& configRoot, AnswerText& result);
  Status QueryOnTransaction(const xml::NodePtr& queryRoot, const xml::NodePtr& configRoot, AnswerText& result);
  Status QueryUpdateOnTransaction(const xml::NodePtr& queryRoot, const xml::NodePtr& configRoot,
                                  AnswerText& result);

  // Whether a statement's result reports success: no "resultCode" child of
  // its top element says anything but "0".
  static bool CheckTransactionResult(const AnswerText& answer) { return answer.ResultCodesZero(); }
};

}  // namespace quor::accessor
