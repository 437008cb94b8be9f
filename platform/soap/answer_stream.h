// An answer envelope (the form of envelope.h) read as its bytes arrive, for
// answers too large to hold: each output's text is handed over decoded (its
// references resolved), in pieces, and never held whole here.
//
// Elements are known by their local names, as ParseAnswer knows them. The
// root must be an Envelope whose first child is the Body; the Body's first
// child is the response element, whose child elements are the outputs,
// counted from 0. An output that holds elements, a document type
// declaration, nesting deeper than 32 elements or anything that is not
// well-formed XML fails the answer. Text outside the outputs and elements
// after the Body's first child are passed over. A Fault is only checked to be
// well-formed (no output events): read a fault whole with ParseAnswer.
//
// A piece holds what one Feed brought, or about 64 KiB at most, joined from
// the parser's smaller pieces (each reference is one of those).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/com/hresult.h"

namespace quor::soap {

class AnswerStream {
 public:
  // Each event may answer false to stop the reading (E_ABORT from then on).
  struct Events {
    // At the response element's start tag: its local name ("QueryResponse",
    // or "Fault").
    std::function<bool(std::string_view name)> response;
    // The next piece of output `index`'s text.
    std::function<bool(size_t index, std::string_view piece)> text;
    // At output `index`'s end tag, after all its text.
    std::function<bool(size_t index)> end;
  };

  explicit AnswerStream(Events events);
  ~AnswerStream();
  AnswerStream(const AnswerStream&) = delete;
  AnswerStream& operator=(const AnswerStream&) = delete;

  // The next bytes of the answer, cut anywhere. S_OK; E_INVALIDARG (the
  // reason in Error()) when they cannot be part of an answer; E_ABORT when
  // an event stopped it. A failure stays: later calls answer it again.
  HRESULT Feed(std::string_view bytes);
  // No more bytes: S_OK when the envelope is complete, else as Feed.
  HRESULT Finish();
  // Why the answer failed; empty while it has not.
  const std::string& Error() const;
  // Whether the response element was a Fault.
  bool IsFault() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quor::soap
