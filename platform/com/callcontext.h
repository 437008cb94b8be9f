// The call context: what the server that carries a call knows about its
// client, for the components the call reaches on the same thread (the
// service core and, through it, the authentication component). The
// dispatcher sets it around each call on its worker thread; a call made any
// other way (in-process callers, tests) has an empty context.
#pragma once

#include <string>
#include <string_view>

namespace quor::com {

struct CallContext {
  std::string clientAddress;  // the peer's IP address as text; empty when unknown
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
