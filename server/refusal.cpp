// A connection over the cap: answered 503 and closed, within a second.
#include <array>
#include <chrono>
#include <memory>
#include <string_view>
#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>

#include "server/listener_impl.h"

namespace quor::soap {

using namespace detail;

namespace {

namespace beast = boost::beast;
using std::chrono::seconds;

constexpr std::string_view kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 24\r\n"
    "Connection: close\r\n\r\n503 Service Unavailable\n";

}  // namespace

// A connection over the cap: 503 (over TLS after the handshake), our end
// closed, the rest read and dropped; a second at most for all of it. At most
// maxConnections at once (see Full).
class Listener::Impl::Refusal : public std::enable_shared_from_this<Refusal> {
 public:
  Refusal(Impl& server, Socket socket)
      : server_(server), socket_(std::move(socket)), io_(socket_, server.Tls()), timer_(socket_.get_executor()) {
    ++server_.refusing;
  }
  ~Refusal() { --server_.refusing; }

  void Start() {
    net::dispatch(socket_.get_executor(), [self = shared_from_this()] {
      self->timer_.expires_after(seconds(1));
      self->timer_.async_wait([self](beast::error_code ec) {
        beast::error_code ignored;
        if (!ec) self->socket_.close(ignored);
      });
      if (TlsStream* tls = self->io_.Tls()) {
        tls->async_handshake(net::ssl::stream_base::server, [self](beast::error_code ec) {
          if (ec) return self->Done();
          self->Answer();
        });
        return;
      }
      self->Answer();
    });
  }

 private:
  void Answer() {
    net::async_write(io_, net::buffer(kBusy.data(), kBusy.size()), [self = shared_from_this()](beast::error_code ec,
                                                                                               size_t) {
      if (ec) return self->Done();
      if (TlsStream* tls = self->io_.Tls())
        return tls->async_shutdown([self](beast::error_code) { self->EndSending(); });
      self->EndSending();
    });
  }
  void EndSending() {
    beast::error_code ignored;
    socket_.shutdown(Socket::shutdown_send, ignored);
    Drain();
  }
  void Drain() {
    socket_.async_read_some(net::buffer(scratch_), [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->Done();
      self->Drain();
    });
  }
  void Done() {
    beast::error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
  }

  Impl& server_;
  Socket socket_;
  Stream io_;
  Timer timer_;
  std::array<char, 512> scratch_{};
};

void Listener::Impl::Refuse(Socket socket) { std::make_shared<Refusal>(*this, std::move(socket))->Start(); }

}  // namespace quor::soap
