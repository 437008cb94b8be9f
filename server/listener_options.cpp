#include "server/listener_options.h"

#include <cstdint>

#include "platform/text/text.h"
#include "server/http_text.h"

namespace quor::soap {

std::string_view Usage() {
  return "usage: quor-server [--address A] [--port N] [--endpoint /path=ProgID]...\n"
         "                   [--resource-url /path --resource-dir DIR] [--max-body BYTES]\n"
         "                   [--max-depth N] [--threads N] [--max-connections N]\n"
         "                   [--read-timeout SECONDS] [--keep-alive SECONDS] [--site N [--site-host H]]\n"
         "                   [--tls-cert FILE --tls-key FILE]\n"
         "  Serves the SOAP endpoints (default /QuorService/QuorServiceCore.sod and\n"
         "  /QuorService/QuorServiceCoreAdmin.sod), their WSDL (<endpoint>?wsdl) and the\n"
         "  resource folder (without --resource-url: ResourceDir under the path of\n"
         "  ResourceURL, from the service key). The registry file is $QUOR_REGISTRY. Port 0 picks a free port;\n"
         "  the bound one is printed as \"listening on ADDRESS:PORT\".\n"
         "  With --site, paths are served by that site of the site configuration\n"
         "  ($QUOR_SITE_CONFIG, else sites.xml beside the registry file).\n"
         "  --threads N sets the workers that run component calls (default four per core);\n"
         "  --max-connections N the open connections (default 4096; more get 503).\n"
         "  A request's head must arrive within --read-timeout (default 10) seconds, its\n"
         "  body within that plus a second per MiB; idle connections close after\n"
         "  --keep-alive (default 5) seconds.\n"
         "  --tls-cert and --tls-key serve HTTPS (TLS 1.2 or later) with that certificate chain\n"
         "  and private key (PEM files; the key not encrypted) instead of plain HTTP.\n";
}

bool ParseCommandLine(std::span<const std::string_view> args, ListenerOptions& out, std::string& error, bool& help) {
  help = false;
  bool endpointsGiven = false;
  bool siteHostGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::string_view value;
    bool hasValue = false;
    if (const size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      hasValue = true;
    }
    auto next = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= args.size()) {
        error = text::Format("The option %s needs a value.", arg);
        return false;
      }
      value = args[++i];
      return true;
    };
    uint64_t n = 0;
    if (arg == "--help" || arg == "-h") {
      help = true;
      return true;
    } else if (arg == "--bench-route") {
      out.benchRoute = true;
    } else if (arg == "--address") {
      if (!next()) return false;
      if (value.empty()) {
        error = "The address is empty.";
        return false;
      }
      out.address = std::string(value);
    } else if (arg == "--port") {
      if (!next()) return false;
      if (!ParseCount(value, 0, 65535, n)) {
        error = text::Format("The port \"%s\" is not a number from 0 to 65535.", value);
        return false;
      }
      out.port = static_cast<int>(n);
    } else if (arg == "--endpoint") {
      if (!next()) return false;
      if (!endpointsGiven) {
        out.endpoints = EndpointTable{};
        endpointsGiven = true;
      }
      const size_t eq = value.find('=');
      std::string path(value.substr(0, eq));
      std::string progId =
          eq == std::string_view::npos ? EndpointTable::DefaultProgId(path) : std::string(value.substr(eq + 1));
      if (Status added = out.endpoints.Add(std::move(path), std::move(progId)); !added.ok()) {
        error = added.message();
        return false;
      }
    } else if (arg == "--resource-url") {
      if (!next()) return false;
      std::string url(value);
      while (url.size() > 1 && url.back() == '/') url.pop_back();
      if (url.empty() || url[0] != '/' || url == "/" || url.find_first_of("?# \t\\") != std::string::npos) {
        error = text::Format("The resource URL \"%s\" is not an absolute path below \"/\".", value);
        return false;
      }
      out.resourceUrl = std::move(url);
    } else if (arg == "--resource-dir") {
      if (!next()) return false;
      if (value.empty()) {
        error = "The resource folder is empty.";
        return false;
      }
      out.resourceDir = std::filesystem::path(value);
    } else if (arg == "--max-body") {
      if (!next()) return false;
      if (!ParseCount(value, 1, uint64_t{1} << 32, n)) {
        error = text::Format("The body limit \"%s\" is not a number of bytes from 1 to 4 GiB.", value);
        return false;
      }
      out.maxBodyBytes = static_cast<size_t>(n);
    } else if (arg == "--max-depth") {
      if (!next()) return false;
      if (!ParseCount(value, 4, 10000, n)) {
        error = text::Format("The nesting limit \"%s\" is not a number from 4 to 10000.", value);
        return false;
      }
      out.maxDepth = static_cast<size_t>(n);
    } else if (arg == "--threads") {
      if (!next()) return false;
      if (!ParseCount(value, 1, 1024, n)) {
        error = text::Format("The thread count \"%s\" is not a number from 1 to 1024.", value);
        return false;
      }
      out.threads = static_cast<size_t>(n);
    } else if (arg == "--max-connections") {
      if (!next()) return false;
      if (!ParseCount(value, 1, 1000000, n)) {
        error = text::Format("The connection limit \"%s\" is not a number from 1 to 1000000.", value);
        return false;
      }
      out.maxConnections = static_cast<size_t>(n);
    } else if (arg == "--keep-alive") {
      if (!next()) return false;
      if (!ParseCount(value, 1, 3600, n)) {
        error = text::Format("The keep-alive time \"%s\" is not a number of seconds from 1 to 3600.", value);
        return false;
      }
      out.keepAliveSeconds = static_cast<int>(n);
    } else if (arg == "--read-timeout") {
      if (!next()) return false;
      if (!ParseCount(value, 1, 3600, n)) {
        error = text::Format("The read time-out \"%s\" is not a number of seconds from 1 to 3600.", value);
        return false;
      }
      out.readTimeoutSeconds = static_cast<int>(n);
    } else if (arg == "--site") {
      if (!next()) return false;
      if (!ParseCount(value, 1, UINT32_MAX, n)) {
        error = text::Format("The site number \"%s\" is not a number from 1.", value);
        return false;
      }
      out.site = static_cast<uint32_t>(n);
    } else if (arg == "--site-host") {
      if (!next()) return false;
      if (value.empty() || value.find_first_of("/\\ \t") != std::string_view::npos) {
        error = text::Format("The site host \"%s\" is not a host name.", value);
        return false;
      }
      out.siteHost = std::string(value);
      siteHostGiven = true;
    } else if (arg == "--tls-cert" || arg == "--tls-key") {
      if (!next()) return false;
      if (value.empty()) {
        error = text::Format("The file of %s is empty.", arg);
        return false;
      }
      (arg == "--tls-cert" ? out.tlsCert : out.tlsKey) = std::filesystem::path(value);
    } else {
      error = text::Format("Unknown argument \"%s\".", args[i]);
      return false;
    }
  }
  if (out.tlsCert.empty() != out.tlsKey.empty()) {
    error = "--tls-cert and --tls-key go together.";
    return false;
  }
  if (siteHostGiven && out.site == 0) {
    error = "--site-host goes with --site.";
    return false;
  }
  if (out.site != 0 && !out.resourceUrl.empty()) {
    error = "--site serves the site's folders; --resource-url does not go with it.";
    return false;
  }
  if (out.resourceUrl.empty() != out.resourceDir.empty()) {
    error = "--resource-url and --resource-dir go together.";
    return false;
  }
  if (!out.resourceUrl.empty()) {
    for (const Endpoint& e : out.endpoints.All()) {
      if (text::StartsWithNoCase(e.path, out.resourceUrl + "/")) {
        error = text::Format("The endpoint \"%s\" lies below the resource URL.", e.path);
        return false;
      }
    }
  }
  if (out.endpoints.Empty()) {
    error = "No endpoint to serve.";
    return false;
  }
  return true;
}

}  // namespace quor::soap
