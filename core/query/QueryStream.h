// A query's answer sent while the data accessor reads its rows: the
// accessor writes the start of its answer text here as it goes (the call
// context's answer sink) and returns the rest; the answer leaves as
// "<root>", the accessor's text, "</root>", exactly what the engine makes of
// an answer it holds whole when nothing changes it. The text is checked on
// its way as the engine checks a whole answer before taking it as it is
// (WrittenStream). Made by the engine for one statement, on the call's
// thread; it holds at most the part of a piece after its last whole tag.
#pragma once

#include <string>
#include <string_view>

#include "core/query/ResultText.h"
#include "platform/com/callcontext.h"
#include "platform/com/status.h"

namespace quor::core {

class QueryStream final : public com::ResultSink {
 public:
  // `out`: where the answer goes (the frame's stream of the call's result).
  explicit QueryStream(com::ResultSink& out) : out_(out) {}
  QueryStream(const QueryStream&) = delete;
  QueryStream& operator=(const QueryStream&) = delete;

  // A piece of the accessor's answer text.
  Status Write(std::string_view piece) override;
  // The rest of the accessor's text, once it has answered, and the end of
  // the answer. Fails, with nothing more sent, when the accessor's text is
  // not one written "response" holding one "table".
  Status Finish(std::string_view rest);

  // Whether some of the answer may have gone out: from then on the answer
  // is this stream's, and a failure can only fail the call.
  bool Started() const { return started_; }
  // The failure the stream itself met (a text that is not as written, or
  // the answer's own end), which stands for whatever the accessor then
  // answered; success while there is none.
  const Status& Failure() const { return failure_; }

 private:
  Status Send(std::string_view piece, bool last);
  Status Fail(Status failure);

  com::ResultSink& out_;
  WrittenStream check_;
  std::string held_;  // text after the last whole tag, waiting for its end
  bool started_ = false;
  bool finished_ = false;
  Status failure_;
};

}  // namespace quor::core
