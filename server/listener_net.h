// The Asio types every part of the listener shares: a connection's
// executor, socket and timer, and its stream (the socket's own bytes, or TLS
// over them).
#pragma once

#include <chrono>
#include <optional>
#include <utility>

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/wait_traits.hpp>

namespace quor::soap::detail {

namespace net = boost::asio;
using tcp = net::ip::tcp;
// A connection's executor: the I/O context it was accepted onto, which one
// thread runs, so its handlers never run at once and never change thread.
using Strand = net::io_context::executor_type;
using Socket = net::basic_stream_socket<tcp, Strand>;
using Timer = net::basic_waitable_timer<std::chrono::steady_clock, net::wait_traits<std::chrono::steady_clock>, Strand>;
using TlsStream = net::ssl::stream<Socket&>;

// A connection's bytes: the socket's own, or TLS over the socket. Shaped as
// an asynchronous stream, so that Asio's and Beast's writes take it.
class Stream {
 public:
  using executor_type = Strand;

  Stream(Socket& socket, net::ssl::context* tls) : socket_(socket) {
    if (tls) tls_.emplace(socket, *tls);
  }
  executor_type get_executor() { return socket_.get_executor(); }
  TlsStream* Tls() { return tls_ ? &*tls_ : nullptr; }

  template <typename Buffers, typename Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    if (tls_)
      tls_->async_read_some(buffers, std::forward<Handler>(handler));
    else
      socket_.async_read_some(buffers, std::forward<Handler>(handler));
  }
  template <typename Buffers, typename Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    if (tls_)
      tls_->async_write_some(buffers, std::forward<Handler>(handler));
    else
      socket_.async_write_some(buffers, std::forward<Handler>(handler));
  }

 private:
  Socket& socket_;
  std::optional<TlsStream> tls_;
};

}  // namespace quor::soap::detail
