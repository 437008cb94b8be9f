// Endpoints and the calls behind them.
//
// An endpoint is a URL path served by one component class, named by its
// ProgID. Calls run in parallel, each on one of the listener's workers:
//   1. the envelope is read;
//   2. with the component runtime initialised for the thread: the
//      endpoint's class object is fetched
//      (once per ProgID, then kept), a new object is created, the method is
//      found by name without case among the object's members (IDispatchInfo),
//      the request's elements are bound to its parameters by name without
//      case, [in] parameters are passed as strings (null when absent),
//      [out] (and [in, out]) ones as references to variants that start from
//      the request's value when one is sent, Invoke runs, and the object is
//      released;
//   3. the answer (return value first, then the other outputs in interface
//      order, each converted to text) or the fault is written, its
//      response element or errorInfo in the namespace of the request's
//      method element when that has one (envelope.h). A return value the
//      component streams instead (com::ResultSink, when the listener gave a
//      writer) is that same answer's result text, sent as it comes.
//
// Objects live for one call: the listener keeps the class object (so the
// server library stays loaded) but never an instance. Components make their
// own shared state safe; nothing here serialises calls. A class object that
// cannot be had is not remembered, so registering the class later makes the
// endpoint work.
//
// Statuses of faults the listener makes itself (the component's own status
// otherwise): E_INVALIDARG for a malformed request or a parameter given
// twice, DISP_E_UNKNOWNNAME for an unknown method, DISP_E_PARAMNOTFOUND for
// an element that names no input parameter, DISP_E_TYPEMISMATCH for a value
// or an output that does not convert, E_NOINTERFACE for a component that
// does not describe its members, the class store's status (CO_E_CLASSSTRING,
// REGDB_E_CLASSNOTREG, CO_E_DLLNOTFOUND, ...) when the component cannot be
// created, E_UNEXPECTED for anything thrown.
#pragma once

#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/thread_annotations.h"
#include "platform/com/callcontext.h"
#include "platform/com/dispatch.h"
#include "platform/com/memory_budget.h"
#include "platform/com/status.h"
#include "platform/eventlog/eventlog.h"
#include "platform/soap/envelope.h"
#include "platform/text/text.h"

namespace quor::soap {

inline constexpr std::string_view kCorePath = "/QuorService/QuorServiceCore.sod";
inline constexpr std::string_view kAdminPath = "/QuorService/QuorServiceCoreAdmin.sod";
inline constexpr std::string_view kCoreProgId = "QuorServiceCore.QuorServiceCore";
inline constexpr std::string_view kAdminProgId = "QuorServiceCore.QuorServiceCoreAdmin";

struct Endpoint {
  std::string path;    // absolute URL path, e.g. "/QuorService/QuorServiceCore.sod"
  std::string progId;

  // Whether the path ends in "Admin.sod" (without case).
  bool IsAdmin() const;
  // The path's last segment without its extension ("QuorServiceCore").
  std::string ServiceName() const;
  // The path of the service description: ".sod" replaced by ".wsdl", or
  // ".wsdl" appended to a path without ".sod".
  std::string WsdlPath() const;
};

// The endpoints a listener serves: a plain table, filled from the command
// line now and from the site configuration later. Paths compare without
// case, as the web server's do.
class EndpointTable {
 public:
  // "/QuorService/QuorServiceCore.sod" -> QuorServiceCore.QuorServiceCore and
  // "/QuorService/QuorServiceCoreAdmin.sod" -> QuorServiceCore.QuorServiceCoreAdmin.
  static EndpointTable Defaults();
  // The ProgID a path gets when none is given: the administration class for
  // a path ending in "Admin.sod", the core class otherwise.
  static std::string DefaultProgId(std::string_view path);

  // E_INVALIDARG with the reason when the path is not absolute, holds a
  // query, white space, "..", or is already in the table, or the ProgID is
  // empty.
  Status Add(std::string path, std::string progId);
  const Endpoint* Find(std::string_view path) const;
  const Endpoint* FindByWsdlPath(std::string_view path) const;
  std::span<const Endpoint> All() const { return endpoints_; }
  bool Empty() const { return endpoints_.empty(); }

 private:
  std::vector<Endpoint> endpoints_;
};

// The name a parameter travels under: its interface name, or "param<N>"
// (N counted from 1) when the interface gives none that can be an element.
std::string WireName(const com::ParamInfo& param, size_t index);

// The content type of answers and faults.
inline constexpr std::string_view kAnswerContentType = "text/xml; charset=utf-8";

struct CallResult {
  bool fault = false;
  HRESULT status = S_OK;  // the fault's status
  std::string body;       // the answer or fault envelope; empty when streamed
  bool streamed = false;  // the answer went out through the AnswerWriter (whole or cut off)
};

// The connection a large answer is streamed to, piece by piece, while the
// call still runs on its worker. Each call blocks while the connection is
// behind and fails when it is gone or its deadline passed. The call's
// thread alone uses it: Start once, Write any number of times, then Finish
// or Abort (Abort also after a failure of the others).
class AnswerWriter {
 public:
  virtual ~AnswerWriter() = default;
  // The head of a 200 answer of `contentType` whose length is not known,
  // then the first piece.
  virtual Status Start(std::string_view contentType, std::string piece) = 0;
  virtual Status Write(std::string piece) = 0;
  // The last piece: the answer is whole.
  virtual Status Finish(std::string piece) = 0;
  // Ends an answer begun so that the client sees it is not whole (no last
  // chunk; the connection closes).
  virtual void Abort() = 0;
};

class Dispatcher {
 public:
  // `log` (may be null) receives malformed requests (warning 20), components
  // that cannot be created (error 21), anything thrown (error 22) and
  // streamed answers cut off by a failure after they began (error 27).
  explicit Dispatcher(ParseLimits limits = {}, const eventlog::EventSource* log = nullptr);
  // Releases the kept class objects.
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Answers one request body sent to `endpoint`. Never throws. The
  // component runs with `clientAddress` (the peer's IP address, empty when
  // unknown) as the thread's call context (platform/com/callcontext.h).
  // With a `writer`, a component may stream its result (com::ResultSink):
  // the answer's first kStreamAfter bytes are held, so that a call failing
  // early still gets its fault; past them the answer is sent through the
  // writer as it comes. The bytes sent are those of the whole answer. A
  // call that fails once its answer began is cut off (AnswerWriter::Abort)
  // and returned as a fault with `streamed` set.
  CallResult Call(const Endpoint& endpoint, std::string_view body, std::string_view clientAddress = {},
                  AnswerWriter* writer = nullptr);
  // The same, giving the request's text up: it is parsed where it lies and
  // released once read, so a large put is neither copied to be parsed nor
  // held twice while its call runs. `hold`, when it has an account, holds
  // the text's size in the call's account of memory: it is grown to cover
  // the values read from the text before they are, then holds just them,
  // and its account is the call's.
  CallResult Call(const Endpoint& endpoint, std::string&& body, std::string_view clientAddress = {},
                  AnswerWriter* writer = nullptr, com::MemoryHold hold = {});
  static constexpr size_t kStreamAfter = size_t{256} << 10;

  // The methods of the endpoint's class (properties left out), creating one
  // object the first time; on failure the status with the reason.
  Result<std::vector<com::MemberInfo>> Methods(const Endpoint& endpoint) QUOR_EXCLUDES(classesMutex_);

  // A fault for a request that never reached a component (e.g. too large).
  static std::string RequestFault(const Endpoint& endpoint, HRESULT status, std::string_view description);

 private:
  struct Class;
  struct CallState;

  // A call in its steps: ReadRequest, CallComponent (in the client's call
  // context, the runtime initialised for the thread), Answer; a step's
  // failure is the status its fault carries. `owned`, when given, holds
  // `body` and is emptied once it is read.
  CallResult Run(const Endpoint& endpoint, std::string_view body, std::string* owned, com::MemoryHold* hold,
                 const com::CallContext& context, AnswerWriter* writer);
  Result<Request> ReadRequest(const Endpoint& endpoint, std::string_view body, std::string* owned,
                              com::MemoryHold* hold) const;
  // Finds the method, binds the request to it, makes the object, invokes it
  // and turns its outputs into text.
  Status CallComponent(const Endpoint& endpoint, Request& request, const com::CallContext& context,
                       AnswerWriter* writer, CallState& call);
  // The answer or the fault; a streamed answer is ended or cut off.
  CallResult Answer(const Endpoint& endpoint, Status status, CallState& call) const;

  // The kept class of the endpoint, fetched on first use; its method list is
  // filled once and then only read.
  Result<Class*> ClassOf(const Endpoint& endpoint) QUOR_REQUIRES(classesMutex_);
  Status EnsureMethods(Class& cls, const Endpoint& endpoint, com::ComPtr<com::IUnknown>& created)
      QUOR_REQUIRES(classesMutex_);
  // Both, under the lock; `created` may hold the object made on the way.
  Result<Class*> KeptClass(const Endpoint& endpoint, com::ComPtr<com::IUnknown>& created) QUOR_EXCLUDES(classesMutex_);

  ParseLimits limits_;
  const eventlog::EventSource* log_;
  // Guards classes_ and each Class until its methods are known (then read
  // without it, so a Class's fields are not written as guarded); a Class is
  // never removed before the dispatcher goes, so calls keep their pointer.
  Mutex classesMutex_;
  // By ProgID.
  std::map<std::string, std::unique_ptr<Class>, text::LessNoCase> classes_ QUOR_GUARDED_BY(classesMutex_);
};

}  // namespace quor::soap
