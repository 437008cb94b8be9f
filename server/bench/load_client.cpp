#include "server/bench/load_client.h"

#include <sys/resource.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace quor::bench {

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

constexpr auto kSweep = std::chrono::milliseconds(20);
constexpr auto kRetry = std::chrono::milliseconds(10);

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Worker;

struct Connection {
  enum class State { Closed, Connecting, Open, Busy, Done };

  Connection(Worker& w, std::unique_ptr<Exchange> e);
  void Connect();
  void Send();
  void Read();
  void Answered(error_code ec);
  void Failed(bool timedOut);
  void Finish();

  Worker& worker;
  std::unique_ptr<Exchange> exchange;
  tcp::socket socket;
  asio::steady_timer retry;
  boost::beast::flat_buffer buffer;
  std::optional<http::response_parser<http::string_body>> parser;
  std::string request;
  State state = State::Closed;
  Clock::time_point since;  // when the pending connect or request began
  bool expired = false;     // closed by the sweep for taking too long
};

struct Worker {
  explicit Worker(const LoadPlan& s) : plan(s), sweep(io) {
    head = "POST " + plan.path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(plan.port) +
           "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: ";
  }

  void Sweep() {
    sweeping = true;
    sweep.expires_after(kSweep);
    sweep.async_wait([this](error_code ec) {
      // A cancel can come after the timer fired and before this ran.
      if (ec || !sweeping) return;
      const auto now = Clock::now();
      for (auto& c : connections) {
        const bool waiting = c->state == Connection::State::Connecting || c->state == Connection::State::Busy;
        if (waiting && !c->expired && now - c->since > timeout) {
          c->expired = true;
          error_code ignored;
          c->socket.close(ignored);
        }
      }
      Sweep();
    });
  }
  // Opening: the sweep stops once no connect is pending, and the run returns.
  void Opened() {
    if (!started && std::none_of(connections.begin(), connections.end(), [](const auto& c) {
          return c->state == Connection::State::Connecting;
        }))
      StopSweep();
  }
  void Done() {
    if (--active == 0) StopSweep();
  }
  void StopSweep() {
    sweeping = false;
    sweep.cancel();
  }

  const LoadPlan& plan;
  asio::io_context io{1};
  asio::steady_timer sweep;
  tcp::endpoint target{asio::ip::make_address_v4("127.0.0.1"), 0};
  Clock::duration timeout{};
  std::string head;
  std::vector<std::unique_ptr<Connection>> connections;
  bool started = false, sweeping = false;
  Clock::time_point end;
  int active = 0;
  size_t ok = 0, late = 0, errors = 0, timeouts = 0, reopened = 0;
  std::vector<float> latencies;  // microseconds
};

Connection::Connection(Worker& w, std::unique_ptr<Exchange> e)
    : worker(w), exchange(std::move(e)), socket(w.io), retry(w.io) {}

void Connection::Connect() {
  state = State::Connecting;
  since = Clock::now();
  socket = tcp::socket(worker.io);
  socket.async_connect(worker.target, [this](error_code ec) {
    if (expired || ec) return Failed(expired);
    socket.set_option(tcp::no_delay(true), ec);
    state = State::Open;
    if (!worker.started) return worker.Opened();
    Send();
  });
}

void Connection::Send() {
  const auto now = Clock::now();
  if (now >= worker.end) return Finish();
  const std::string& body = exchange->NextBody();
  request.assign(worker.head).append(std::to_string(body.size())).append("\r\n\r\n").append(body);
  state = State::Busy;
  since = now;
  asio::async_write(socket, asio::buffer(request), [this](error_code ec, size_t) {
    if (expired || ec) return Failed(expired);
    Read();
  });
}

void Connection::Read() {
  parser.emplace();
  parser->body_limit(64u << 20);
  http::async_read(socket, buffer, *parser, [this](error_code ec, size_t) { Answered(ec); });
}

void Connection::Answered(error_code ec) {
  if (expired || ec) return Failed(expired);
  const auto now = Clock::now();
  http::response<http::string_body> answer = parser->release();
  if (exchange->Check(answer.result_int(), answer.body())) {
    ++(now <= worker.end ? worker.ok : worker.late);
    worker.latencies.push_back(std::chrono::duration<float, std::micro>(now - since).count());
  } else {
    ++worker.errors;
  }
  if (answer.keep_alive()) return Send();
  ++worker.reopened;
  error_code ignored;
  socket.close(ignored);
  state = State::Closed;
  if (now < worker.end) return Connect();
  Finish();
}

void Connection::Failed(bool timedOut) {
  if (timedOut) {
    ++worker.timeouts;
    worker.latencies.push_back(std::chrono::duration<float, std::micro>(worker.timeout).count());
  } else {
    ++worker.errors;
  }
  expired = false;
  error_code ignored;
  socket.close(ignored);
  buffer.clear();
  const bool opening = !worker.started;
  state = State::Closed;
  if (opening) return worker.Opened();
  if (Clock::now() >= worker.end) return Finish();
  // Not at once: a refusing server would otherwise be hammered in a loop.
  retry.expires_after(kRetry);
  retry.async_wait([this](error_code ec) {
    if (!ec) Clock::now() < worker.end ? Connect() : Finish();
  });
}

void Connection::Finish() {
  if (state == State::Done) return;
  state = State::Done;
  error_code ignored;
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
  worker.Done();
}

}  // namespace

LoadResult RunLoad(const LoadPlan& plan) {
  const int threads = std::max(1, std::min(plan.threads, plan.connections));
  std::vector<std::unique_ptr<Worker>> workers;
  for (int t = 0; t < threads; ++t) {
    auto w = std::make_unique<Worker>(plan);
    w->target.port(plan.port);
    w->timeout = std::chrono::duration_cast<Clock::duration>(plan.timeout);
    workers.push_back(std::move(w));
  }
  for (int c = 0; c < plan.connections; ++c) {
    Worker& w = *workers[c % threads];
    w.connections.push_back(std::make_unique<Connection>(w, plan.exchange(c)));
  }

  const auto began = Clock::now();
  std::atomic<int> opened{0};
  std::atomic<bool> go{false};
  Clock::time_point end;
  std::vector<std::thread> pool;
  for (auto& worker : workers) {
    pool.emplace_back([&, w = worker.get()] {
      for (auto& c : w->connections) c->Connect();
      w->Sweep();
      w->io.run();
      w->io.restart();
      ++opened;
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      w->started = true;
      w->end = end;
      w->active = static_cast<int>(w->connections.size());
      for (auto& c : w->connections) c->state == Connection::State::Open ? c->Send() : c->Connect();
      w->Sweep();
      w->io.run();
    });
  }
  while (opened < threads) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  LoadResult r;
  for (auto& w : workers)
    for (auto& c : w->connections) r.connected += c->state == Connection::State::Open;
  const double cpuBefore = CpuSeconds();
  const auto start = Clock::now();
  end = start + std::chrono::duration_cast<Clock::duration>(plan.window);
  go.store(true, std::memory_order_release);
  for (std::thread& t : pool) t.join();
  const auto finished = Clock::now();

  std::vector<float> all;
  for (auto& w : workers) {
    r.ok += w->ok;
    r.late += w->late;
    r.errors += w->errors;
    r.timeouts += w->timeouts;
    r.reopened += w->reopened;
    all.insert(all.end(), w->latencies.begin(), w->latencies.end());
  }
  const double ran = std::chrono::duration<double>(finished - start).count();
  r.perSecond = static_cast<double>(r.ok) / plan.window.count();
  r.generatorCpu = (CpuSeconds() - cpuBefore) / (ran * threads);
  r.seconds = std::chrono::duration<double>(finished - began).count();
  if (!all.empty()) {
    auto at = [&](size_t k) {
      std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k), all.end());
      return static_cast<double>(all[k]);
    };
    r.p50Us = at(all.size() / 2);
    r.p99Us = at(std::min(all.size() - 1, all.size() * 99 / 100));
  }
  return r;
}

}  // namespace quor::bench
