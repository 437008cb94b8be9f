// call_bench: authenticated round trips through quor-server and the service
// core, next to the same listener answering a fixed text on a plain route, in
// one run.
//
//   call_bench [--seconds N]
//
// Prepares a temporary instance (SQLite repository, local account store, log
// level None so the log table does not grow under the measurement), starts
// quor-server with --bench-route on a free loopback port and, for 1 and 8
// concurrent clients, makes signed-in GetLogCount calls with the console's
// SOAP client (request token, frame, response key, decode) for N seconds
// (default 3); then posts a request of the same size to /quor-bench/fixed
// with the bare HTTP client. Prints calls per second, median and p99 latency
// of each, and the ratio: what the frame and the message authentication cost
// over the transport. Then GetShareField and PutShareField with a small and a
// 64 KB field, next to the bare ODBC point select of the same row (one
// statement prepared once, in this process, on the same database file).
// Last, GetVOContent and PutVOContent with a 100-character and a 1 MB
// content, read from this server (CompressThreshold 0: never compressed) and
// from a second one prepared the same way with CompressThreshold 1 (always).
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "admin/VeltService.h"
#include "bench/bench_instance.h"
#include "platform/soap/http_client.h"
#include "server/bench/measure.h"
#include "server/listener.h"
#include "testing/ServerProcess.h"

using namespace std::chrono;
namespace fs = std::filesystem;
namespace st = quor::soap::testing;

namespace {

constexpr const char* kPassword = "bench-pw";

// The instance's repository, for the bare ODBC select.
fs::path g_database;

bool Prepare(const fs::path& dir, const fs::path& registry, std::string& error) {
  return quor::bench::PrepareInstance(dir, registry, {}, g_database, error);
}

bool PrepareCompressed(const fs::path& dir, const fs::path& registry, std::string& error) {
  quor::bench::InstanceSettings settings;
  settings.compressThreshold = 1;
  fs::path database;
  return quor::bench::PrepareInstance(dir, registry, settings, database, error);
}

void Print(const char* name, int clients, const quor::bench::Result& r) {
  std::printf("%-30s %7d %9zu %11.0f %11.1f %9.1f %8zu\n", name, clients, r.calls, r.perSecond, r.medianUs, r.p99Us,
              r.failures);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::string_view(argv[i]) == "--seconds") seconds = std::atof(argv[i + 1]);
  if (seconds <= 0) seconds = 3;

  st::ServerProcess server({QUOR_BIN_DIR, QUOR_LIB_DIR, {"libQuorServiceCore.so", "libQuorAuth.so"}, {"--bench-route"}},
                           Prepare);
  if (!server.Error().empty()) {
    std::fprintf(stderr, "call_bench: %s\n", server.Error().c_str());
    return 1;
  }
  const std::string core = server.Url(quor::soap::kCorePath);
  const std::string fixed = server.Url(quor::soap::kBenchRoutePath);

  // The size of a real request, for the plain route.
  std::string sample;
  {
    quor::admin::CVeltService probe;
    if (probe.Connect(core, "bench", kPassword) != 0) {
      std::fprintf(stderr, "call_bench: sign-in failed: %s\n%s", probe.FormatFault().c_str(), server.Stderr().c_str());
      return 1;
    }
    probe.BeginRequest("GetLogCount");
    if (!probe.Invoke()) {
      std::fprintf(stderr, "call_bench: GetLogCount failed: %s\n", probe.FormatFault().c_str());
      return 1;
    }
    sample = probe.LastEnvelope();
    probe.EndSession();
  }

  std::printf("quor-server on 127.0.0.1:%d, %.1f s per run, request %zu bytes\n\n", server.Port(), seconds,
              sample.size());
  std::printf("%-30s %7s %9s %11s %11s %9s %8s\n", "route", "clients", "calls", "calls/s", "median us", "p99 us",
              "failed");
  double ratio[2] = {0, 0};
  int row = 0;
  for (int clients : {1, 8}) {
    const quor::bench::Result call = quor::bench::Measure(
        clients, duration<double>(seconds),
        [&] {
          auto client = std::make_unique<quor::admin::CVeltService>();
          if (client->Connect(core, "bench", kPassword) != 0) client.reset();
          return client;
        },
        [](quor::admin::CVeltService& client) {
          client.BeginRequest("GetLogCount");
          return client.Invoke() && client.DecodedResult().find("<logcount>") != std::string::npos;
        });
    const quor::bench::Result plain = quor::bench::Measure(
        clients, duration<double>(seconds), [] { return std::make_unique<quor::soap::HttpClient>(); },
        [&](quor::soap::HttpClient& client) {
          const quor::Result<quor::soap::HttpReply> reply = client.Post(fixed, sample);
          return reply.ok() && reply->status == 200;
        });
    Print("GetLogCount (signed in)", clients, call);
    Print("fixed text (transport)", clients, plain);
    ratio[row++] = plain.perSecond > 0 ? call.perSecond / plain.perSecond : 0;
  }
  std::printf("\nsigned-in calls per second as a share of the plain route's: %.2f with 1 client, %.2f with 8\n",
              ratio[0], ratio[1]);
  std::printf("(a call runs the request token, the frame, one SELECT COUNT and the answer token; the plain\n"
              " route answers without parsing or calling anything)\n\n");

  // Share fields: one small and one 64 KB field to read, fresh names to put.
  const std::string small(64, 's'), large(64 * 1024, 'L');
  {
    quor::admin::CVeltService writer;
    if (writer.Connect(core, "bench", kPassword) != 0) return 1;
    for (const auto& [name, field] : {std::pair{"small", &small}, std::pair{"large", &large}}) {
      writer.BeginRequest("PutShareField");
      writer.AddParameter("author", "bench");
      writer.AddParameter("name", name);
      writer.AddParameter("field", *field);
      if (!writer.Invoke()) {
        std::fprintf(stderr, "call_bench: PutShareField failed: %s\n", writer.FormatFault().c_str());
        return 1;
      }
    }
    writer.EndSession();
  }
  std::atomic<long> fresh{0};
  auto signIn = [&] {
    auto client = std::make_unique<quor::admin::CVeltService>();
    if (client->Connect(core, "bench", kPassword) != 0) client.reset();
    return client;
  };
  auto get = [](const char* name, size_t length) {
    return [name, length](quor::admin::CVeltService& client) {
      client.BeginRequest("GetShareField");
      client.AddParameter("uri", std::string("urn:vocontent:covodb000:bench-") + name);
      return client.Invoke() && client.DecodedResult().size() >= length;
    };
  };
  auto put = [&](const std::string* field) {
    return [&fresh, field](quor::admin::CVeltService& client) {
      client.BeginRequest("PutShareField");
      client.AddParameter("author", "bench");
      client.AddParameter("name", "put-" + std::to_string(fresh++));
      client.AddParameter("field", *field);
      return client.Invoke();
    };
  };
  // The bare select: what the database itself costs for the same row.
  struct Odbc {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    ~Odbc() {
      if (stmt) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
      if (dbc) SQLDisconnect(dbc), SQLFreeHandle(SQL_HANDLE_DBC, dbc);
      if (env) SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
  };
  auto openBare = [] {
    auto odbc = std::make_unique<Odbc>();
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &odbc->env);
    SQLSetEnvAttr(odbc->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, odbc->env, &odbc->dbc);
    std::string text = "DRIVER={SQLite3};Database=" + g_database.string();
    std::string select = "SELECT FIELD FROM QUORCOLLAB WHERE VOURI = ?";
    if (!SQL_SUCCEEDED(SQLDriverConnect(odbc->dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS, nullptr,
                                        0, nullptr, SQL_DRIVER_NOPROMPT)) ||
        !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, odbc->dbc, &odbc->stmt)) ||
        !SQL_SUCCEEDED(SQLPrepare(odbc->stmt, reinterpret_cast<SQLCHAR*>(select.data()), SQL_NTS)))
      odbc.reset();
    return odbc;
  };
  auto bare = [](const char* name) {
    return [name](Odbc& odbc) {
      char uri[128];
      std::snprintf(uri, sizeof uri, "urn:vocontent:covodb000:bench-%s", name);
      SQLLEN uriLength = SQL_NTS;
      SQLBindParameter(odbc.stmt, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 127, 0, uri, sizeof uri, &uriLength);
      if (!SQL_SUCCEEDED(SQLExecute(odbc.stmt))) return false;
      std::string field(70 * 1024, '\0');
      SQLLEN length = 0;
      const bool ok = SQLFetch(odbc.stmt) == SQL_SUCCESS &&
                      SQL_SUCCEEDED(SQLGetData(odbc.stmt, 1, SQL_C_CHAR, field.data(),
                                               static_cast<SQLLEN>(field.size()), &length));
      SQLFreeStmt(odbc.stmt, SQL_CLOSE);
      return ok && length > 0;
    };
  };
  const duration<double> length(seconds);
  std::printf("%-30s %7s %9s %11s %11s %9s %8s\n", "share fields", "clients", "calls", "calls/s", "median us",
              "p99 us", "failed");
  for (int clients : {1, 8}) {
    Print("GetShareField 64 B", clients, quor::bench::Measure(clients, length, signIn, get("small", 64)));
    Print("GetShareField 64 KB", clients, quor::bench::Measure(clients, length, signIn, get("large", 64 * 1024)));
    Print("PutShareField 64 B", clients, quor::bench::Measure(clients, length, signIn, put(&small)));
    Print("PutShareField 64 KB", clients, quor::bench::Measure(clients, length, signIn, put(&large)));
    Print("bare ODBC select 64 B", clients, quor::bench::Measure(clients, length, openBare, bare("small")));
    Print("bare ODBC select 64 KB", clients, quor::bench::Measure(clients, length, openBare, bare("large")));
    Print("fixed text (transport)", clients,
          quor::bench::Measure(clients, length, [] { return std::make_unique<quor::soap::HttpClient>(); },
                               [&](quor::soap::HttpClient& client) {
                                 const quor::Result<quor::soap::HttpReply> reply = client.Post(fixed, sample);
                                 return reply.ok() && reply->status == 200;
                               }));
  }

  // Vesk contents, plain and compressed.
  const std::string content100(100, 'c'), content1m(1 << 20, 'M');
  st::ServerProcess packed({QUOR_BIN_DIR, QUOR_LIB_DIR, {"libQuorServiceCore.so", "libQuorAuth.so"}, {}},
                           PrepareCompressed);
  if (!packed.Error().empty()) {
    std::fprintf(stderr, "call_bench: %s\n", packed.Error().c_str());
    return 1;
  }
  const std::string packedCore = packed.Url(quor::soap::kCorePath);
  for (const std::string* url : {&core, &packedCore}) {
    quor::admin::CVeltService writer;
    if (writer.Connect(*url, "bench", kPassword) != 0) return 1;
    for (const auto& [name, content] : {std::pair{"c100", &content100}, std::pair{"c1m", &content1m}}) {
      writer.BeginRequest("PutVOContent");
      writer.AddParameter("name", name);
      writer.AddParameter("content", *content);
      if (!writer.Invoke()) {
        std::fprintf(stderr, "call_bench: PutVOContent failed: %s\n", writer.FormatFault().c_str());
        return 1;
      }
    }
    writer.EndSession();
  }
  auto signInTo = [&](const std::string& url) {
    return [&url] {
      auto client = std::make_unique<quor::admin::CVeltService>();
      if (client->Connect(url, "bench", kPassword) != 0) client.reset();
      return client;
    };
  };
  auto getContent = [](const char* name, size_t length) {
    return [name, length](quor::admin::CVeltService& client) {
      client.BeginRequest("GetVOContent");
      client.AddParameter("name", name);
      return client.Invoke() && client.DecodedResult().size() >= length;
    };
  };
  auto putContent = [&](const std::string* content) {
    return [&fresh, content](quor::admin::CVeltService& client) {
      client.BeginRequest("PutVOContent");
      client.AddParameter("name", "put-" + std::to_string(fresh++));
      client.AddParameter("content", *content);
      return client.Invoke();
    };
  };
  std::printf("\n%-30s %7s %9s %11s %11s %9s %8s\n", "Vesk contents (1 client)", "clients", "calls", "calls/s",
              "median us", "p99 us", "failed");
  Print("GetVOContent 100 plain", 1, quor::bench::Measure(1, length, signInTo(core), getContent("c100", 100)));
  Print("GetVOContent 100 compressed", 1,
        quor::bench::Measure(1, length, signInTo(packedCore), getContent("c100", 100)));
  Print("GetVOContent 1 MB plain", 1, quor::bench::Measure(1, length, signInTo(core), getContent("c1m", 1 << 20)));
  Print("GetVOContent 1 MB compressed", 1,
        quor::bench::Measure(1, length, signInTo(packedCore), getContent("c1m", 1 << 20)));
  Print("PutVOContent 100", 1, quor::bench::Measure(1, length, signInTo(core), putContent(&content100)));
  Print("PutVOContent 1 MB", 1, quor::bench::Measure(1, length, signInTo(core), putContent(&content1m)));
  if (packed.Stop() != 0) return 1;
  return server.Stop() == 0 ? 0 : 1;
}
