// A query's answer sent while the data accessor reads its rows: the
// accessor writes the start of its answer text here as it goes (the call
// context's answer sink) and returns the rest; the answer leaves as
// "<root>", the accessor's text, "</root>", exactly what the engine makes of
// an answer it holds whole when nothing changes it. The text is checked on
// its way as the engine checks a whole answer before taking it as it is
// (WrittenStream). Made by the engine for one statement, on the call's
// thread; it holds at most the part of a piece after its last whole tag.
//
// Given a transformer that reads its source piece by piece, the checked text
// goes to it instead, and what it writes leaves between "<root>" and
// "</root>": the text the engine makes of the whole answer transformed.
#pragma once

#include <string>
#include <string_view>

#include "core/query/ResultText.h"
#include "platform/com/callcontext.h"
#include "platform/com/status.h"
#include "platform/com/streamconvert.h"

namespace quor::core {

class QueryStream final : public com::ResultSink {
 public:
  // `out`: where the answer goes (the frame's stream of the call's result).
  explicit QueryStream(com::ResultSink& out) : out_(out) {}
  QueryStream(const QueryStream&) = delete;
  QueryStream& operator=(const QueryStream&) = delete;

  // Where a transformer begun for this stream writes its output.
  com::ResultSink& ConverterOutput() { return converted_; }
  // The transformer, begun on ConverterOutput(), that the text goes through.
  void ConvertWith(com::ComPtr<com::IStreamConvert> converter) { converter_ = std::move(converter); }
  // The text comes from the engine's own writer, not from an accessor: it
  // is taken as it is, of any number of tables.
  void Unchecked() { checked_ = false; }

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
  Status Convert(std::string_view text, bool last);
  Status Fail(Status failure);

  // The transformer's output on its way to `out`, after "<root>".
  class Converted final : public com::ResultSink {
   public:
    explicit Converted(com::ResultSink& out) : out_(out) {}
    Status Write(std::string_view piece) override;
    bool opened = false;
    Status failure;  // the first failure of `out`

   private:
    com::ResultSink& out_;
  };

  com::ResultSink& out_;
  Converted converted_{out_};
  com::ComPtr<com::IStreamConvert> converter_;
  WrittenStream check_;
  std::string held_;  // text after the last whole tag, waiting for its end
  bool checked_ = true;
  bool started_ = false;
  bool finished_ = false;
  Status failure_;
};

}  // namespace quor::core
