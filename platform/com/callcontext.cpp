#include "platform/com/callcontext.h"

#include <utility>

namespace quor::com {
namespace {

const CallContext kNoContext;
// Per thread, so it lives here, in the one shared runtime library, where
// every component of the process sees the same one.
thread_local const CallContext* t_context = &kNoContext;

}  // namespace

const CallContext& CurrentCallContext() { return *t_context; }

CallContextScope::CallContextScope(CallContext context) : context_(std::move(context)), previous_(t_context) {
  t_context = &context_;
}

CallContextScope::~CallContextScope() { t_context = previous_; }

}  // namespace quor::com
