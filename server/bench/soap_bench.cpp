// soap_bench: round trips through quor-server, next to the same server
// answering a fixed text on a plain route, in one run.
//
//   soap_bench [--seconds N] [--bin DIR] [--lib DIR]
//
// Starts quor-server on a free loopback port with a temporary registry into
// which the test component QuorTest.Echo is registered, then for 1 and 8
// concurrent clients (each with its own kept-alive connection) posts
// Echo.Convert calls for N seconds (default 3), and the same request body to
// /quor-bench/fixed (the listener's --bench-route, which answers a fixed
// SOAP answer without parsing or calling anything). Prints round trips per
// second and median / p99 latency of each, and the ratio of the two.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "server/bench/measure.h"
#include "platform/soap/envelope.h"
#include "platform/soap/http_client.h"
#include "server/listener.h"
#include "testing/ServerProcess.h"

using namespace quor::soap;
using namespace std::chrono;

namespace {

quor::bench::Result Measure(const std::string& url, const std::string& body, std::string_view expect, int clients,
                      duration<double> length) {
  return quor::bench::Measure(
      clients, length,
      [&] {
        auto client = std::make_unique<HttpClient>();
        for (int i = 0; i < 50; ++i) client->Post(url, body).status().Ignore();  // warm up, connect
        return client;
      },
      [&](HttpClient& client) {
        const quor::Result<HttpReply> reply = client.Post(url, body);
        return reply.ok() && reply->status == 200 && reply->body.find(expect) != std::string::npos;
      });
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  std::string bin = QUOR_BIN_DIR, lib = QUOR_LIB_DIR;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view a = argv[i];
    if (a == "--seconds")
      seconds = std::atof(argv[i + 1]);
    else if (a == "--bin")
      bin = argv[i + 1];
    else if (a == "--lib")
      lib = argv[i + 1];
  }
  if (seconds <= 0) seconds = 3;

  testing::ServerProcess server(
      {bin, lib, {"libquor_bench_plugin.so"}, {"--endpoint", "/bench/Echo.sod=QuorTest.Echo", "--bench-route"}});
  if (!server.Error().empty()) {
    std::fprintf(stderr, "soap_bench: %s\n", server.Error().c_str());
    return 1;
  }
  const std::vector<NamedValue> params = {{"src", quor::com::Bstr(u"hello")}, {"rule", quor::com::Bstr(u"text")}};
  const std::string body = WriteRequest("Convert", params);

  std::printf("quor-server on 127.0.0.1:%d, %.1f s per run, request %zu bytes\n\n", server.Port(), seconds,
              body.size());
  std::printf("%-24s %7s %9s %11s %11s %9s %8s\n", "route", "clients", "calls", "calls/s", "median us", "p99 us",
              "failed");
  double ratio[2] = {0, 0};
  int row = 0;
  for (int clients : {1, 8}) {
    const quor::bench::Result call = Measure(server.Url("/bench/Echo.sod"), body, "<result>[hello|text]</result>", clients,
                                duration<double>(seconds));
    const quor::bench::Result fixed =
        Measure(server.Url(kBenchRoutePath), body, "<result>[fixed|text]</result>", clients, duration<double>(seconds));
    for (const auto& [name, r] : {std::pair{"Echo.Convert (call)", call}, std::pair{"fixed text (transport)", fixed}})
      std::printf("%-24s %7d %9zu %11.0f %11.1f %9.1f %8zu\n", name, clients, r.calls, r.perSecond, r.medianUs,
                  r.p99Us, r.failures);
    ratio[row++] = fixed.perSecond > 0 ? call.perSecond / fixed.perSecond : 0;
  }
  std::printf("\ncalls per second as a share of the plain route's: %.2f with 1 client, %.2f with 8 clients\n",
              ratio[0], ratio[1]);
  std::printf("(the plain route answers without parsing or calling anything)\n");
  return server.Stop() == 0 ? 0 : 1;
}
