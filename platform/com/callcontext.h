// The call context: what the server that carries a call knows about its
// client, for the components the call reaches on the same thread (the
// service core and, through it, the authentication component). The
// dispatcher sets it around each call on its worker thread; a call made any
// other way (in-process callers, tests) has an empty context.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/com/status.h"

namespace quor::com {

class CallMemory;

// Where a call may hand its result text piece by piece instead of returning
// it whole, so that a large answer leaves while it is read. Pieces are the
// result's own UTF-8 text (the carrier escapes them), each ending on a
// whole character. Once a call has written a piece, the pieces are its
// result and the value it returns is not looked at; a call that fails
// after writing is answered as a failure (before its answer is committed)
// or cut off so that the client sees it is not whole.
class ResultSink {
 public:
  virtual ~ResultSink() = default;
  // Fails when the answer cannot go on (the client went, a deadline or the
  // memory budget was passed): the call must then stop and fail.
  virtual Status Write(std::string_view piece) = 0;
};

struct CallContext {
  std::string clientAddress;  // the peer's IP address as text; empty when unknown
  ResultSink* resultSink = nullptr;  // null: results are returned whole
  // The call's account of the memory it holds (memory_budget.h); null: not counted.
  std::shared_ptr<CallMemory> memory = nullptr;
  // Set by a caller around its call of one data component (the query
  // engine around the data accessor): the component may write the start of
  // its own answer text here while it makes it, in pieces that end on a
  // whole tag, and then answers only the rest. A failure it meets after
  // writing fails its call. Null: the component answers whole.
  ResultSink* answerSink = nullptr;
};

// The context of the call the calling thread runs (empty outside a call).
const CallContext& CurrentCallContext();

// Makes `context` the thread's context for the scope's life, then restores
// the one before (scopes nest).
class CallContextScope {
 public:
  explicit CallContextScope(CallContext context);
  ~CallContextScope();
  CallContextScope(const CallContextScope&) = delete;
  CallContextScope& operator=(const CallContextScope&) = delete;

 private:
  CallContext context_;
  const CallContext* previous_;
};

}  // namespace quor::com
