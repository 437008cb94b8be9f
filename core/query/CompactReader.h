// Reads an accessor's answer text, whole or piece by piece as the accessor
// streams it, straight into compact tables. It takes only what it can hold
// exactly as the document model would: a "response" (or a lone "table")
// of tables of records of columns that hold text alone, the text written
// in the forms that parse to the same document. At the first thing of
// another kind (a comment, an element inside a column, a declaration, an
// attribute on a record, text out of place, a character or reference the
// model refuses) it stops reading and hands back the text as a document
// would parse it: what it read, written out, followed by the rest as it
// came, so that the document model decides exactly as before.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/query/CompactResult.h"
#include "platform/com/callcontext.h"
#include "platform/com/status.h"

namespace quor::core::compact {

class AnswerReader final : public com::ResultSink {
 public:
  AnswerReader(Heads& heads, Hold hold) : heads_(heads), hold_(std::move(hold)) {}
  AnswerReader(const AnswerReader&) = delete;
  AnswerReader& operator=(const AnswerReader&) = delete;

  // A piece of the answer; a failure (the memory budget) ends the reading.
  Status Write(std::string_view piece) override;

  struct Outcome {
    std::shared_ptr<Response> response;  // read whole
    std::string text;                    // else the text to parse as a document
  };
  // The rest of the answer, and what it was.
  Result<Outcome> Finish(std::string_view rest);
  const Status& Failure() const { return failure_; }

 private:
  enum class State { Prolog, InResponse, InTable, After, Raw };
  enum class Step { Done, More, Other };

  Status Feed(std::string_view piece);
  // Reads as far as whole things reach; `at` is moved past them.
  Step Read(std::string_view in, size_t& at);
  Step ReadStartTag(std::string_view in, size_t& at, std::string_view name, std::vector<Attribute>& attributes,
                    bool& empty);
  Step ReadEndTag(std::string_view in, size_t& at, std::string_view name);
  Step ReadRecord(std::string_view in, size_t& at);
  Status CloseTable();
  void GoRaw(std::string_view rest);

  Heads& heads_;
  Hold hold_;
  State state_ = State::Prolog;
  bool rootIsTable_ = false;
  bool first_ = true;      // nothing read yet (a byte-order mark may come)
  std::string pending_;    // what a piece left unread
  std::shared_ptr<Response> response_ = std::make_shared<Response>();
  std::shared_ptr<Records> records_;  // of the open table
  std::vector<Attribute> tableAttributes_;
  std::string raw_;        // once Raw: the text for the document model
  std::vector<Cell> cells_;
  // A column's start tag as written -> its head.
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, uint32_t, TextHash, std::equal_to<>> written_;
  Status failure_;
};

}  // namespace quor::core::compact
