// bench_echo_server: the transport ceiling that load_bench sets quor-server
// next to. A minimal HTTP/1.1 server on Boost.Beast (the HTTP library of the
// listener) that answers every request with its own body, keeps connections
// alive and does nothing else: no parsing, no call, no lock.
//
//   bench_echo_server [--address A] [--port N] [--threads N]
//
// Prints "listening on ADDRESS:PORT" once bound (as quor-server does, so the
// same start-up code reads it) and serves until SIGTERM or SIGINT, on
// --threads threads (default: the hardware's).
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  explicit Connection(tcp::socket socket) : socket_(std::move(socket)) {}

  void Read() {
    request_ = {};
    http::async_read(socket_, buffer_, request_,
                     [self = shared_from_this()](boost::system::error_code ec, size_t) { self->Answer(ec); });
  }

 private:
  void Answer(boost::system::error_code ec) {
    if (ec) return;  // closed by the client, or a request we cannot read
    response_ = {};
    response_.result(http::status::ok);
    response_.version(request_.version());
    response_.keep_alive(request_.keep_alive());
    response_.set(http::field::content_type, "text/xml; charset=utf-8");
    response_.body() = std::move(request_.body());
    response_.prepare_payload();
    http::async_write(socket_, response_, [self = shared_from_this()](boost::system::error_code ec, size_t) {
      if (ec || !self->response_.keep_alive()) {
        boost::system::error_code ignored;
        self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
        return;
      }
      self->Read();
    });
  }

  tcp::socket socket_;
  boost::beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  http::response<http::string_body> response_;
};

// Connections go round the threads, each running an I/O context of its own:
// a connection's work never changes thread.
void Accept(tcp::acceptor& acceptor, std::vector<std::unique_ptr<asio::io_context>>& contexts, size_t next) {
  acceptor.async_accept(*contexts[next % contexts.size()],
                        [&acceptor, &contexts, next](boost::system::error_code ec, tcp::socket socket) {
                          if (!ec) {
                            socket.set_option(tcp::no_delay(true), ec);
                            std::make_shared<Connection>(std::move(socket))->Read();
                          }
                          if (acceptor.is_open()) Accept(acceptor, contexts, next + 1);
                        });
}

}  // namespace

int main(int argc, char** argv) {
  std::string address = "127.0.0.1";
  int port = 0;
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view a = argv[i];
    if (a == "--address")
      address = argv[i + 1];
    else if (a == "--port")
      port = std::atoi(argv[i + 1]);
    else if (a == "--threads")
      threads = std::max(1, std::atoi(argv[i + 1]));
    else {
      std::fprintf(stderr, "usage: bench_echo_server [--address A] [--port N] [--threads N]\n");
      return 2;
    }
  }
  try {
    std::vector<std::unique_ptr<asio::io_context>> contexts;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> busy;
    for (int t = 0; t < threads; ++t) {
      contexts.push_back(std::make_unique<asio::io_context>(1));
      busy.push_back(asio::make_work_guard(*contexts.back()));
    }
    asio::io_context& first = *contexts.front();
    tcp::acceptor acceptor(first);
    const tcp::endpoint at(asio::ip::make_address(address), static_cast<unsigned short>(port));
    acceptor.open(at.protocol());
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(at);
    acceptor.listen(asio::socket_base::max_listen_connections);
    std::printf("listening on %s:%d\n", address.c_str(), acceptor.local_endpoint().port());
    std::fflush(stdout);

    asio::signal_set signals(first, SIGTERM, SIGINT);
    signals.async_wait([&](boost::system::error_code, int) {
      for (auto& io : contexts) io->stop();
    });
    Accept(acceptor, contexts, 0);
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back([io = contexts[t].get()] { io->run(); });
    first.run();
    for (std::thread& t : pool) t.join();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_echo_server: %s\n", e.what());
    return 1;
  }
  return 0;
}
