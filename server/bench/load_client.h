// The load generator of load_bench: many kept-alive HTTP/1.1 connections to
// one loopback server, spread over a few threads that each run one Asio I/O
// context (no thread per connection, so 1024 connections cost 1024 sockets,
// not 1024 threads). Each connection is a closed loop: send a request, read
// the answer with Beast's parser, judge it, send the next one.
//
// A run first opens every connection (bounded by the time-out), then starts
// the window on all threads at once. Requests are sent only inside the
// window; those in flight at its end are still awaited (at most the
// time-out). A request not answered within the time-out counts as a
// time-out, its connection is closed and opened again; a connection that
// breaks, is refused or brings a wrong answer counts as an error. A server
// that closes a connection after a complete answer (no keep-alive) is not an
// error: the connection is opened again and counted.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quor::bench {

// What one connection sends and how it judges the answers. Used only on the
// thread of its connection, one request at a time.
class Exchange {
 public:
  virtual ~Exchange() = default;
  // The body of the next request (valid until the next call).
  virtual const std::string& NextBody() = 0;
  // Whether `body`, answered with `status`, is the right answer to the last body.
  virtual bool Check(unsigned status, const std::string& body) = 0;
};

struct LoadPlan {
  uint16_t port = 0;  // on 127.0.0.1
  std::string path;
  int connections = 1;
  int threads = 2;
  std::chrono::duration<double> window{3};
  std::chrono::duration<double> timeout{2};
  // The exchange of connection i (called before the run starts).
  std::function<std::unique_ptr<Exchange>(int)> exchange;
};

struct LoadResult {
  size_t ok = 0;          // right answers inside the window
  size_t late = 0;        // right answers to requests still in flight at its end
  size_t errors = 0;      // wrong answers, refused, reset or broken connections
  size_t timeouts = 0;    // requests (or connects) not answered within the time-out
  size_t reopened = 0;    // connections the server closed after an answer
  size_t connected = 0;   // connections open when the window started
  double perSecond = 0;   // ok / window
  double p50Us = 0, p99Us = 0;  // over every answer; a time-out counts as the time-out
  double generatorCpu = 0;      // CPU time of this process over (window x threads)
  double seconds = 0;           // wall time of the whole run, opening included
};

LoadResult RunLoad(const LoadPlan& plan);

}  // namespace quor::bench
