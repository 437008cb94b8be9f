#include "server/listener.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

#include <boost/asio/post.hpp>

#include "platform/base/win32_error.h"
#include "platform/text/text.h"
#include "server/listener_impl.h"
#include "server/listener_tls.h"

namespace quor::soap {

using namespace detail;

namespace {

namespace beast = boost::beast;
using std::chrono::milliseconds;

constexpr size_t kAcceptBatch = 1024;
// How often a listener at its bounds looks whether a connection or a refusal
// has ended.
constexpr milliseconds kRoomPoll{20};

size_t DefaultWorkers() { return 4 * std::max(1u, std::thread::hardware_concurrency()); }
// Large calls standing aside at once, beyond the workers (see WorkerPool).
size_t MostAside(size_t workers) { return std::max<size_t>(64, 4 * workers); }

// At least what the system allows (the kernel caps it there anyway).
int Backlog() {
  int n = 0;
  if (std::FILE* f = std::fopen("/proc/sys/net/core/somaxconn", "re")) {
    if (std::fscanf(f, "%d", &n) != 1) n = 0;
    std::fclose(f);
  }
  return std::max(n, SOMAXCONN);
}

// Sockets must not leak into processes that components start.
void CloseOnExec(int fd) { ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC); }

}  // namespace

Listener::Impl::Impl(ListenerOptions o)
    : options(std::move(o)), dispatcher(std::make_shared<Dispatcher>(ParseLimits{options.maxDepth}, &log)) {
  if (options.site != 0)
    site = std::make_unique<webconfig::Watcher>(options.siteConfig.empty() ? webconfig::DefaultPath()
                                                                           : options.siteConfig);
}

size_t Listener::Impl::IoThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

std::vector<std::unique_ptr<net::io_context>> Listener::Impl::MakeContexts(size_t n) {
  std::vector<std::unique_ptr<net::io_context>> out;
  for (size_t i = 0; i < n; ++i) out.push_back(std::make_unique<net::io_context>(1));
  return out;
}

std::vector<net::executor_work_guard<Strand>> Listener::Impl::Guards(
    const std::vector<std::unique_ptr<net::io_context>>& all) {
  std::vector<net::executor_work_guard<Strand>> out;
  for (const auto& c : all) out.push_back(net::make_work_guard(c->get_executor()));
  return out;
}

void Listener::Impl::RunIo(net::io_context& context) {
  for (;;) {
    try {
      context.run();
      return;
    } catch (const std::exception& e) {
      log.Report(eventlog::EventType::Error, 22, {"listener", e.what()});
    }
  }
}

void Listener::Impl::Accept() {
  acceptor.async_accept(NextExecutor(),
                        [this](beast::error_code ec, Socket socket) { OnAccept(ec, std::move(socket)); });
}

// On acceptStrand.
void Listener::Impl::OnAccept(beast::error_code ec, Socket socket) {
  if (!acceptor.is_open() || ec == net::error::operation_aborted) return;
  if (ec) {
    // Out of descriptors or memory: wait a little rather than spin; clients
    // wait in the backlog meanwhile.
    acceptRetry.expires_after(milliseconds(50));
    acceptRetry.async_wait([this](beast::error_code e) {
      if (!e && acceptor.is_open()) Accept();
    });
    return;
  }
  Admit(std::move(socket));
  // The rest of the backlog now: one accept per turn of the I/O queue would
  // keep a burst of new clients waiting behind every busy connection's work.
  for (size_t i = 0; i < kAcceptBatch && !Full(); ++i) {
    Socket next = acceptor.accept(NextExecutor(), ec);  // non-blocking: would_block when empty
    if (ec) break;
    Admit(std::move(next));
  }
  if (Full()) return WaitForRoom();
  Accept();
}

// On acceptStrand. Only the acceptor adds to `live` and `refusing`, so
// neither can pass its bound between Full() and the accept after it.
bool Listener::Impl::Full() const {
  return live.load() >= options.maxConnections && refusing.load() >= options.maxConnections;
}

// Nothing is accepted while Full(): the clients wait in the listen backlog
// and are answered in turn (a 503 at least) rather than dropped unanswered.
void Listener::Impl::WaitForRoom() {
  acceptRetry.expires_after(kRoomPoll);
  acceptRetry.async_wait([this](beast::error_code e) {
    if (e || !acceptor.is_open()) return;
    if (Full()) return WaitForRoom();
    Accept();
  });
}

void Listener::Impl::Admit(Socket socket) {
  CloseOnExec(socket.native_handle());
  beast::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  if (live.load() < options.maxConnections) {
    ++live;
    Serve(std::move(socket));
  } else {
    Refuse(std::move(socket));
  }
}

void Listener::Impl::Stop() {
  if (stopping.exchange(true)) return;
  net::post(acceptStrand, [this] {
    beast::error_code ignored;
    acceptor.close(ignored);
    acceptRetry.cancel();
    // Each context now ends when its last connection has.
    for (auto& guard : running) guard.reset();
  });
  MutexLock lock(connectionsMutex);
  for (Connection* c : connections) StopConnection(*c);
}

Listener::Listener(ListenerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Listener::~Listener() = default;

const ListenerOptions& Listener::Options() const { return impl_->options; }

int Listener::Port() const { return impl_->port; }

quor::Status Listener::LoadTls() {
  Impl& impl = *impl_;
  if (impl.options.tlsCert.empty() || impl.tls) return quor::Status();
  QUOR_ASSIGN_OR_RETURN(net::ssl::context context, TlsContext(impl.options));
  impl.tls.emplace(std::move(context));
  return quor::Status();
}

quor::Status Listener::Bind() {
  Impl& impl = *impl_;
  const ListenerOptions& o = impl.options;
  QUOR_RETURN_IF_ERROR(LoadTls());
  // In site mode the folders come from the site configuration.
  if (!o.resourceDir.empty() && o.site == 0) {
    impl.resourceRoot.Reset(::open(o.resourceDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!impl.resourceRoot.valid()) {
      const int err = errno;
      return quor::Status(HRESULT_FROM_WIN32(Win32ErrorFromErrno(err)),
                          text::Format("The resource folder \"%s\" cannot be opened: %s", o.resourceDir.string(),
                                       std::strerror(err)));
    }
  }
  beast::error_code ec;
  tcp::resolver resolver(impl.ioc);
  const auto endpoints = resolver.resolve(o.address, std::to_string(o.port),
                                          tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  for (const auto& entry : endpoints) {
    auto& acceptor = impl.acceptor;
    beast::error_code ignored;
    acceptor.close(ignored);
    acceptor.open(entry.endpoint().protocol(), ec);
    if (ec) continue;
    CloseOnExec(acceptor.native_handle());
    // Address reuse for quick restarts, but never a port shared with another
    // running listener (no SO_REUSEPORT).
    acceptor.set_option(net::socket_base::reuse_address(true), ignored);
    acceptor.bind(entry.endpoint(), ec);
    if (!ec) acceptor.listen(Backlog(), ec);
    if (!ec) acceptor.non_blocking(true, ec);
    if (ec) continue;
    impl.port = acceptor.local_endpoint(ec).port();
    if (!ec) return quor::Status();
  }
  if (!ec) ec = net::error::host_not_found;
  beast::error_code ignored;
  impl.acceptor.close(ignored);
  impl.port = -1;
  return quor::Status(E_FAIL, text::Format("Cannot listen on %s port %d: %s", o.address, o.port, ec.message()));
}

bool Listener::Run() {
  Impl& impl = *impl_;
  if (impl.port <= 0) return false;
  impl.log.Report(eventlog::EventType::Information, 1,
                  {text::Format("listening on %s:%d", impl.options.address, impl.port)});
  const size_t workers = impl.options.threads ? impl.options.threads : DefaultWorkers();
  impl.workers.emplace(workers, MostAside(workers));
  impl.Accept();
  std::vector<std::thread> io;
  for (size_t i = 1; i < impl.ioThreads; ++i)
    io.emplace_back([&impl, i] { impl.RunIo(*impl.contexts[i]); });
  impl.RunIo(impl.ioc);
  for (std::thread& t : io) t.join();
  impl.workers->Join();
  impl.log.Report(eventlog::EventType::Information, 2, {"stopped (normally)"});
  return true;
}

void Listener::Stop() { impl_->Stop(); }

}  // namespace quor::soap
