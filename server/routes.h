// What the listener's routes take and give: the request as they see it,
// the answer, and the plan for a request (answer now, work on a worker, or
// the body first). The routes themselves are Listener::Impl's (routes.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/com/memory_budget.h"
#include "platform/soap/dispatcher.h"
#include "platform/text/text.h"

namespace quor::soap::detail {

// What the routes see of a request.
struct HttpRequest {
  std::string method;
  std::string path;  // decoded, without the query
  std::vector<std::string> params;  // the query's names, decoded
  std::string host;
  std::string range;  // the Range header
  std::string peer;   // the client's IP address; empty when unknown
  bool head = false;
  std::optional<uint64_t> length;  // declared

  bool HasParam(std::string_view name) const {
    for (const std::string& p : params)
      if (text::EqualsNoCase(p, name)) return true;
    return false;
  }
  // POST and PUT carry a body; answering them without reading it closes.
  bool Carries() const { return method == "POST" || method == "PUT"; }
};

// A file's answer holds its first kFileChunk bytes in `body`; the
// connection reads the rest as it sends, kFileChunk at a time.
inline constexpr size_t kFileChunk = 64 * 1024;

struct HttpAnswer {
  int status = 200;
  std::string contentType;
  std::string body;  // of a file: its first part
  std::vector<std::pair<std::string, std::string>> headers;
  bool close = false;
  std::shared_ptr<UniqueFd> file;  // the rest of a file, sent after `body`
  uint64_t fileOffset = 0;         // where in the file `body` begins
  std::optional<uint64_t> length;  // the whole length when it is not body.size()
};

inline HttpAnswer Status(int status, bool close = false) {
  HttpAnswer a;
  a.status = status;
  a.close = close;
  return a;
}

inline HttpAnswer Text(int status, std::string body, std::string_view type) {
  HttpAnswer a;
  a.status = status;
  a.body = std::move(body);
  a.contentType = type;
  return a;
}

inline HttpAnswer NotAllowed(std::string allow, bool close) {
  HttpAnswer a = Status(405, close);
  a.headers.emplace_back("Allow", std::move(allow));
  return a;
}

// A request's body as the work after it gets it: its text; the part of the
// call's account of memory that holds the text (a call takes the account on
// with it); and the writer a streamed answer goes to (null when it may not
// stream).
struct Body {
  std::string text;
  com::MemoryHold hold;
  AnswerWriter* writer = nullptr;
};

// What comes next for a request: the answer; blocking work for a worker,
// which yields the next step; or the body first, then that work. Work
// after a body that `streams` gets a writer for its answer (else null);
// work that answered through it yields a `streamed` plan: nothing more to
// send from here.
struct Plan {
  std::optional<HttpAnswer> answer;
  std::function<Plan()> work;
  std::function<Plan(Body& body)> withBody;
  std::optional<Endpoint> faultEndpoint;  // a body over the limit is answered with a fault naming it
  bool light = false;                     // cheaper than the trip to a worker
  bool streams = false;
  bool streamed = false;

  static Plan Now(HttpAnswer a) {
    Plan p;
    p.answer = std::move(a);
    return p;
  }
  static Plan Later(std::function<Plan()> work) {
    Plan p;
    p.work = std::move(work);
    return p;
  }
  static Plan Streamed() {
    Plan p;
    p.streamed = true;
    return p;
  }
  static Plan AfterBody(std::function<Plan(Body&)> then,
                        std::optional<Endpoint> faultEndpoint = {}) {
    Plan p;
    p.withBody = std::move(then);
    p.faultEndpoint = std::move(faultEndpoint);
    return p;
  }
};

}  // namespace quor::soap::detail
