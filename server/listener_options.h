// What quor-server is told to serve and how: the listener's options, and
// the command line that sets them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "platform/soap/dispatcher.h"

namespace quor::soap {

struct ListenerOptions {
  std::string address = "127.0.0.1";
  int port = 8080;  // 0: any free port
  EndpointTable endpoints = EndpointTable::Defaults();
  std::string resourceUrl;            // e.g. "/QuorService/resource"; empty: none
  std::filesystem::path resourceDir;  // the folder served under it
  size_t maxBodyBytes = 16u << 20;
  size_t maxDepth = 32;
  // Workers for component calls and file work (calls may block on
  // databases); 0: four per core.
  size_t threads = 0;
  size_t maxConnections = 4096;  // open at once; more are answered 503
  int readTimeoutSeconds = 10;   // for a request's head (and, grown by size, its body and answer)
  // How long an idle kept-alive connection waits for a next request; a stop
  // closes idle connections at once.
  int keepAliveSeconds = 5;
  bool benchRoute = false;
  // Serve by the site configuration's site (siteHost, site); 0: not.
  uint32_t site = 0;
  std::string siteHost = "localhost";
  std::filesystem::path siteConfig;  // empty: webconfig::DefaultPath()
  // HTTPS with this certificate chain (PEM, the server's certificate first)
  // and private key (PEM, not encrypted); both or neither. Empty: plain HTTP.
  std::filesystem::path tlsCert;
  std::filesystem::path tlsKey;
};

// The command line of quor-server (arguments after the program name):
//   --address A           address to listen on (default 127.0.0.1)
//   --port N              port (default 8080; 0 picks a free one)
//   --endpoint /path=ProgID
//                         serve a component; repeatable; the first one
//                         replaces the two default endpoints; "/path" alone
//                         takes the default ProgID for its kind (a path
//                         ending in "Admin.sod" the administration class)
//   --resource-url /path --resource-dir DIR
//                         serve DIR read-only below /path (both or neither)
//   --max-body BYTES      request body limit (default 16777216)
//   --max-depth N         XML nesting limit (default 32)
//   --threads N           workers for component calls (default four per core)
//   --max-connections N   open connections; more get 503 (default 4096)
//   --read-timeout S      seconds for a request's head (default 10)
//   --keep-alive S        seconds an idle connection is kept (default 5)
//   --bench-route         also answer /quor-bench/fixed (for soap_bench)
//   --site N              serve by site N of the site configuration
//   --site-host H         the host of that site (default localhost)
//   --tls-cert FILE --tls-key FILE
//                         serve HTTPS with this certificate chain and key
//   --help
// Options take their value as the next argument or after '='. E_INVALIDARG
// with the reason when something is wrong; `help` is set for --help.
Status ParseCommandLine(std::span<const std::string_view> args, ListenerOptions& out, bool& help);
std::string_view Usage();

}  // namespace quor::soap
