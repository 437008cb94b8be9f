// The listener's state and the functions of its parts, for those parts only
// (listener.cpp, routes.cpp, connection.cpp, refusal.cpp); its users have
// listener.h.
//
// Threads: one I/O thread per core, each running an I/O context of its own;
// connections go round the contexts, and every connection's state (socket,
// timer, buffers, parser, answer) belongs to its context's thread and is
// touched only there (a connection's work never wakes another I/O thread). Blocking work (component calls, site
// configuration, files) runs on the worker pool and posts its result back to
// the strand; a worker only reads the immutable HttpRequest and the options.
// A call that streams its answer shares one more object with its connection:
// the AnswerStream, the worker writing into it and the strand taking from it.
// Shared between threads: `connections` (under connectionsMutex),
// `dispatcher` and `unloadCount` (under dispatcherMutex), the atomics, the
// acceptor (on acceptStrand only), and each AnswerStream (under its mutex).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/beast/core/error.hpp>

#include "platform/base/thread_annotations.h"
#include "platform/base/unique_fd.h"
#include "platform/eventlog/eventlog.h"
#include "platform/soap/dispatcher.h"
#include "platform/webconfig/webconfig.h"
#include "server/listener.h"
#include "server/listener_net.h"
#include "server/routes.h"
#include "server/worker_pool.h"

namespace quor::soap {

struct Listener::Impl {
  class AnswerStream;
  class Connection;
  class Refusal;

  ListenerOptions options;
  eventlog::EventSource log{"QuorServer"};
  Mutex dispatcherMutex;
  // Replaced when the site's applications are unloaded; calls under way keep
  // the one they started with.
  std::shared_ptr<Dispatcher> dispatcher QUOR_GUARDED_BY(dispatcherMutex);
  UniqueFd resourceRoot;
  int port = -1;
  // Set before serving, read-only afterwards (OpenSSL's context is safe to
  // share between connections).
  std::optional<detail::net::ssl::context> tls;
  // Site mode only.
  std::unique_ptr<webconfig::Watcher> site;
  std::optional<uint64_t> unloadCount QUOR_GUARDED_BY(dispatcherMutex);

  Mutex connectionsMutex;
  std::unordered_set<Connection*> connections QUOR_GUARDED_BY(connectionsMutex);
  std::atomic<size_t> live{0};      // counted against maxConnections
  std::atomic<size_t> refusing{0};  // being answered 503, at most maxConnections
  std::atomic<bool> stopping{false};
  std::atomic<bool> trimming{false};  // a malloc_trim is under way

  // Declared after what connections use: its destruction drops the last ones.
  const size_t ioThreads = IoThreads();
  std::vector<std::unique_ptr<detail::net::io_context>> contexts = MakeContexts(ioThreads);
  // Keeps each context running while it has no connection; dropped by Stop.
  std::vector<detail::net::executor_work_guard<detail::Strand>> running = Guards(contexts);
  std::atomic<size_t> nextContext{0};
  detail::net::io_context& ioc = *contexts.front();
  detail::Strand acceptStrand{ioc.get_executor()};
  detail::net::basic_socket_acceptor<detail::tcp, detail::Strand> acceptor{acceptStrand};
  detail::Timer acceptRetry{acceptStrand};
  std::optional<WorkerPool> workers;

  explicit Impl(ListenerOptions o);

  std::shared_ptr<Dispatcher> Dispatch() QUOR_EXCLUDES(dispatcherMutex) {
    MutexLock lock(dispatcherMutex);
    return dispatcher;
  }

  static size_t IoThreads();
  static std::vector<std::unique_ptr<detail::net::io_context>> MakeContexts(size_t n);
  static std::vector<detail::net::executor_work_guard<detail::Strand>> Guards(
      const std::vector<std::unique_ptr<detail::net::io_context>>& all);

  // The context of the next connection.
  detail::Strand NextExecutor() { return contexts[nextContext++ % contexts.size()]->get_executor(); }

  detail::net::ssl::context* Tls() { return tls ? &*tls : nullptr; }

  // ---- Serving (listener.cpp) ---------------------------------------------------

  void Accept();
  void OnAccept(boost::beast::error_code ec, detail::Socket socket);
  void Admit(detail::Socket socket);
  bool Full() const;
  void WaitForRoom();
  void Stop() QUOR_EXCLUDES(connectionsMutex);
  void RunIo(detail::net::io_context& context);

  // ---- Connections (connection.cpp, refusal.cpp) ---------------------------------

  // Serves a connection within the cap until it closes (counted in `live`
  // by the caller, listed in `connections` while it lives).
  void Serve(detail::Socket socket);
  // Has a listed connection stop, on its own thread: idle ones go now, busy
  // ones after their answer; a streamed answer whose call still writes is
  // cut off (its call is told at its next piece). From any thread.
  static void StopConnection(Connection& connection);
  // Answers a connection over the cap 503 and closes it (counted in
  // `refusing` while it lasts).
  void Refuse(detail::Socket socket);

  // ---- Routes (routes.cpp) -------------------------------------------------------
  // Route itself never blocks (it runs on an I/O thread); what does is
  // handed out as work.

  // Runs `work`; anything thrown becomes a 500 and an event.
  detail::Plan Guarded(const std::function<detail::Plan()>& work, const std::string& path);
  detail::HttpAnswer TooLarge(const detail::HttpRequest& req, const std::optional<Endpoint>& endpoint);
  detail::Plan Route(const std::shared_ptr<const detail::HttpRequest>& r);
  // A large result may leave as it comes, through the connection's writer.
  detail::Plan CallPlan(Endpoint endpoint, std::string peer);
  detail::Plan OnPost(const std::shared_ptr<const detail::HttpRequest>& r);
  detail::Plan OnGet(const std::shared_ptr<const detail::HttpRequest>& r);
  detail::HttpAnswer ServeWsdl(const Endpoint& endpoint, const detail::HttpRequest& req);
  bool IsResource(std::string_view path) const;

  // ---- Site mode (routes.cpp; on a worker: the configuration is a file) ----------

  // The site as configured now (null when it is not there). A file that
  // cannot be read is reported once and the last good configuration kept; a
  // new unload count drops the component classes held so far.
  std::shared_ptr<const webconfig::SiteConfig> SiteNow(const webconfig::Site*& out) QUOR_EXCLUDES(dispatcherMutex);
  detail::Plan OnSite(const std::shared_ptr<const detail::HttpRequest>& r);
  detail::Plan OnScript(const webconfig::ScriptMap& map, const std::shared_ptr<const detail::HttpRequest>& r);
};

}  // namespace quor::soap
