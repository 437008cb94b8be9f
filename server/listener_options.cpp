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

namespace {

// A command line that cannot be served, and why.
Status Refused(std::string reason) { return Status(E_INVALIDARG, std::move(reason)); }

}  // namespace

Status ParseCommandLine(std::span<const std::string_view> args, ListenerOptions& out, bool& help) {
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
    auto next = [&]() -> Status {
      if (hasValue) return Status();
      if (i + 1 >= args.size()) return Refused(text::Format("The option %s needs a value.", arg));
      value = args[++i];
      return Status();
    };
    uint64_t n = 0;
    if (arg == "--help" || arg == "-h") {
      help = true;
      return Status();
    } else if (arg == "--bench-route") {
      out.benchRoute = true;
    } else if (arg == "--address") {
      QUOR_RETURN_IF_ERROR(next());
      if (value.empty()) return Refused("The address is empty.");
      out.address = std::string(value);
    } else if (arg == "--port") {
      QUOR_RETURN_IF_ERROR(next());
      if (!ParseCount(value, 0, 65535, n))
        return Refused(text::Format("The port \"%s\" is not a number from 0 to 65535.", value));
      out.port = static_cast<int>(n);
    } else if (arg == "--endpoint") {
      QUOR_RETURN_IF_ERROR(next());
      if (!endpointsGiven) {
        out.endpoints = EndpointTable{};
        endpointsGiven = true;
      }
      const size_t eq = value.find('=');
      std::string path(value.substr(0, eq));
      std::string progId =
          eq == std::string_view::npos ? EndpointTable::DefaultProgId(path) : std::string(value.substr(eq + 1));
      QUOR_RETURN_IF_ERROR(out.endpoints.Add(std::move(path), std::move(progId)));
    } else if (arg == "--resource-url") {
      QUOR_RETURN_IF_ERROR(next());
      std::string url(value);
      while (url.size() > 1 && url.back() == '/') url.pop_back();
      if (url.empty() || url[0] != '/' || url == "/" || url.find_first_of("?# \t\\") != std::string::npos)
        return Refused(text::Format("The resource URL \"%s\" is not an absolute path below \"/\".", value));
      out.resourceUrl = std::move(url);
    } else if (arg == "--resource-dir") {
      QUOR_RETURN_IF_ERROR(next());
      if (value.empty()) return Refused("The resource folder is empty.");
      out.resourceDir = std::filesystem::path(value);
    } else if (arg == "--max-body") {
      QUOR_RETURN_IF_ERROR(next());
      if (!ParseCount(value, 1, uint64_t{1} << 32, n))
        return Refused(text::Format("The body limit \"%s\" is not a number of bytes from 1 to 4 GiB.", value));
      out.maxBodyBytes = static_cast<size_t>(n);
    } else if (arg == "--max-depth") {
      QUOR_RETURN_IF_ERROR(next());
      if (!ParseCount(value, 4, 10000, n))
        return Refused(text::Format("The nesting limit \"%s\" is not a number from 4 to 10000.", value));
      out.maxDepth = static_cast<size_t>(n);
    } else if (arg == "--threads") {
      QUOR_RETURN_IF_ERROR(next());
      if (!ParseCount(value, 1, 1024, n))
        return Refused(text::Format("The thread count \"%s\" is not a number from 1 to 1024.", value));
      out.threads = static_cast<size_t>(n);
    } else if (arg == "--max-connections") {
      QUOR_RETURN_IF_ERROR(next());
      if (!ParseCount(value, 1, 1000000, n))
        return Refused(text::Format("The connection limit \"%s\" is not a number from 1 to 1000000.", value));
      out.maxConnections = static_cast<size_t>(n);
    } else if (arg == "--keep-alive") {
      QUOR_RETURN_IF_ERROR(next());
      if (!ParseCount(value, 1, 3600, n))
        return Refused(text::Format("The keep-alive time \"%s\" is not a number of seconds from 1 to 3600.", value));
      out.keepAliveSeconds = static_cast<int>(n);
    } else if (arg == "--read-timeout") {
      QUOR_RETURN_IF_ERROR(next());
      if (!ParseCount(value, 1, 3600, n))
        return Refused(text::Format("The read time-out \"%s\" is not a number of seconds from 1 to 3600.", value));
      out.readTimeoutSeconds = static_cast<int>(n);
    } else if (arg == "--site") {
      QUOR_RETURN_IF_ERROR(next());
      if (!ParseCount(value, 1, UINT32_MAX, n))
        return Refused(text::Format("The site number \"%s\" is not a number from 1.", value));
      out.site = static_cast<uint32_t>(n);
    } else if (arg == "--site-host") {
      QUOR_RETURN_IF_ERROR(next());
      if (value.empty() || value.find_first_of("/\\ \t") != std::string_view::npos)
        return Refused(text::Format("The site host \"%s\" is not a host name.", value));
      out.siteHost = std::string(value);
      siteHostGiven = true;
    } else if (arg == "--tls-cert" || arg == "--tls-key") {
      QUOR_RETURN_IF_ERROR(next());
      if (value.empty()) return Refused(text::Format("The file of %s is empty.", arg));
      (arg == "--tls-cert" ? out.tlsCert : out.tlsKey) = std::filesystem::path(value);
    } else {
      return Refused(text::Format("Unknown argument \"%s\".", args[i]));
    }
  }
  if (out.tlsCert.empty() != out.tlsKey.empty()) return Refused("--tls-cert and --tls-key go together.");
  if (siteHostGiven && out.site == 0) return Refused("--site-host goes with --site.");
  if (out.site != 0 && !out.resourceUrl.empty())
    return Refused("--site serves the site's folders; --resource-url does not go with it.");
  if (out.resourceUrl.empty() != out.resourceDir.empty())
    return Refused("--resource-url and --resource-dir go together.");
  if (!out.resourceUrl.empty()) {
    for (const Endpoint& e : out.endpoints.All()) {
      if (text::StartsWithNoCase(e.path, out.resourceUrl + "/"))
        return Refused(text::Format("The endpoint \"%s\" lies below the resource URL.", e.path));
    }
  }
  if (out.endpoints.Empty()) return Refused("No endpoint to serve.");
  return Status();
}

}  // namespace quor::soap
