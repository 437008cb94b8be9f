#include "platform/soap/listener.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>

#include "platform/base/unique_fd.h"
#include "platform/eventlog/eventlog.h"
#include "platform/soap/wsdl.h"
#include "platform/text/text.h"
#include "platform/webconfig/webconfig.h"

namespace quor::soap {

namespace {

constexpr const char* kXmlType = "text/xml; charset=utf-8";

// What /quor-bench/fixed answers: an answer of the size of a short call's.
constexpr std::string_view kFixedAnswer =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
    "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><SOAP-ENV:Body><ConvertResponse>"
    "<result>[fixed|text]</result></ConvertResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>";

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && text::EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

std::string_view MimeType(std::string_view name) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {".xml", "text/xml"},          {".xsl", "text/xml"},         {".wsdl", "text/xml"},
      {".html", "text/html"},        {".htm", "text/html"},        {".txt", "text/plain"},
      {".csv", "text/csv"},          {".css", "text/css"},         {".js", "application/javascript"},
      {".json", "application/json"}, {".png", "image/png"},        {".gif", "image/gif"},
      {".jpg", "image/jpeg"},        {".jpeg", "image/jpeg"},      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},      {".pdf", "application/pdf"},  {".zip", "application/zip"},
  };
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    const std::string_view ext = name.substr(dot);
    for (const auto& [e, type] : kTypes)
      if (text::EqualsNoCase(e, ext)) return type;
  }
  return "application/octet-stream";
}

bool ParseCount(std::string_view value, uint64_t min, uint64_t max, uint64_t& out) {
  if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) return false;
  const auto n = text::ParseUInt64(value);
  if (!n || *n < min || *n > max) return false;
  out = *n;
  return true;
}

enum class Opened { Ok, NotFound, Refused };

std::string_view Reason(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    default: return "Error";
  }
}

}  // namespace

// ---- Command line ------------------------------------------------------------

std::string_view Usage() {
  return "usage: quor-server [--address A] [--port N] [--endpoint /path=ProgID]...\n"
         "                   [--resource-url /path --resource-dir DIR] [--max-body BYTES]\n"
         "                   [--max-depth N] [--threads N] [--read-timeout SECONDS]\n"
         "                   [--keep-alive SECONDS] [--site N [--site-host H]]\n"
         "  Serves the SOAP endpoints (default /QuorService/QuorServiceCore.sod and\n"
         "  /QuorService/QuorServiceCoreAdmin.sod), their WSDL (<endpoint>?wsdl) and the\n"
         "  resource folder (without --resource-url: ResourceDir under the path of\n"
         "  ResourceURL, from the service key). The registry file is $QUOR_REGISTRY. Port 0 picks a free port;\n"
         "  the bound one is printed as \"listening on ADDRESS:PORT\".\n"
         "  With --site, paths are served by that site of the site configuration\n"
         "  ($QUOR_SITE_CONFIG, else sites.xml beside the registry file).\n";
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
      if (!out.endpoints.Add(std::move(path), std::move(progId), error)) return false;
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
    } else {
      error = text::Format("Unknown argument \"%s\".", args[i]);
      return false;
    }
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
      if (StartsWithNoCase(e.path, out.resourceUrl + "/")) {
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

// ---- Listener --------------------------------------------------------------------

struct Listener::Impl {
  ListenerOptions options;
  eventlog::EventSource log{"QuorServer"};
  // Replaced when the site's applications are unloaded; calls under way keep
  // the one they started with.
  std::shared_ptr<Dispatcher> dispatcher;
  std::mutex dispatcherMutex;
  httplib::Server server;
  UniqueFd resourceRoot;
  int port = -1;
  // Site mode only.
  std::unique_ptr<webconfig::Watcher> site;
  std::optional<uint64_t> unloadCount;

  explicit Impl(ListenerOptions o)
      : options(std::move(o)), dispatcher(std::make_shared<Dispatcher>(ParseLimits{options.maxDepth}, &log)) {
    if (options.site != 0)
      site = std::make_unique<webconfig::Watcher>(options.siteConfig.empty() ? webconfig::DefaultPath()
                                                                             : options.siteConfig);
  }

  std::shared_ptr<Dispatcher> Dispatch() {
    std::lock_guard lock(dispatcherMutex);
    return dispatcher;
  }

  void Routes() {
    const size_t threads = options.threads;
    // The HTTP layer takes the queue over and deletes it.
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_payload_max_length(options.maxBodyBytes);
    server.set_read_timeout(options.readTimeoutSeconds, 0);
    server.set_write_timeout(options.readTimeoutSeconds, 0);
    server.set_keep_alive_timeout(options.keepAliveSeconds);
    server.set_keep_alive_max_count(1000);
    // Idle kept-alive connections notice a stop within a tenth of a second.
    server.set_idle_interval(0, 100000);
    server.set_tcp_nodelay(true);
    // Address reuse for quick restarts, but never a port shared with another
    // running listener (the HTTP layer's default would allow that).
    server.set_socket_options([](int sock) {
      int yes = 1;
      ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.Post(".*", httplib::Server::HandlerWithContentReader(
                          [this](const httplib::Request& req, httplib::Response& res,
                                 const httplib::ContentReader& reader) { OnPost(req, res, reader); }));
    server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) { OnGet(req, res); });
    if (site) {
      server.Put(".*", httplib::Server::HandlerWithContentReader(
                           [this](const httplib::Request& req, httplib::Response& res,
                                  const httplib::ContentReader& reader) { OnSite(req, res, &reader); }));
      const auto other = [this](const httplib::Request& req, httplib::Response& res) { OnSite(req, res, nullptr); };
      server.Delete(".*", other);
      server.Options(".*", other);
      server.Patch(".*", other);
    }
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [this](const httplib::Request& req, httplib::Response& res) { return OnError(req, res); }));
    server.set_exception_handler([this](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
      std::string what = "unknown exception";
      try {
        if (ep) std::rethrow_exception(ep);
      } catch (const std::exception& e) {
        what = e.what();
      } catch (...) {
      }
      log.Report(eventlog::EventType::Error, 22, {req.path, what});
      res.status = 500;
      res.set_content("500 Internal Server Error\n", "text/plain");
    });
  }

  // Reads the body through `reader` within the limit. False when the
  // answer is already set: 413 with a fault (or plain text off an endpoint),
  // or 400 for a body that cannot be read.
  bool ReadBody(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
                const Endpoint* endpoint, std::string& body) {
    bool tooLarge = false;
    // A declared length over the limit is refused before a byte of it is read.
    if (const std::string length = req.get_header_value("Content-Length"); !length.empty()) {
      const auto n = text::ParseUInt64(length);
      tooLarge = !n || *n > options.maxBodyBytes;
    }
    bool read = false;
    if (!tooLarge) {
      read = reader([&](const char* data, size_t size) {
        if (body.size() + size > options.maxBodyBytes) {
          tooLarge = true;
          return false;
        }
        body.append(data, size);
        return true;
      });
    }
    if (read && !tooLarge) return true;
    // What is left of the body stays unread: the client should not reuse the
    // connection (if it does, the rest of its body is refused as a request).
    res.set_header("Connection", "close");
    if (!tooLarge && res.status != 413) {
      res.status = 400;
      res.set_content("400 Bad Request: the body cannot be read\n", "text/plain");
      return false;
    }
    res.status = 413;
    const std::string why = text::Format("The request body is larger than the limit of %u bytes.",
                                         static_cast<uint64_t>(options.maxBodyBytes));
    log.Report(eventlog::EventType::Warning, 24, {req.path, why});
    if (endpoint)
      res.set_content(Dispatcher::RequestFault(*endpoint, E_INVALIDARG, why), kXmlType);
    else
      res.set_content("413 Payload Too Large\n", "text/plain");
    return false;
  }

  void OnPost(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    std::string body;
    if (options.benchRoute && req.path == kBenchRoutePath) {
      if (ReadBody(req, res, reader, nullptr, body)) res.set_content(kFixedAnswer.data(), kFixedAnswer.size(), kXmlType);
      return;
    }
    if (site) return OnSite(req, res, &reader);
    const Endpoint* endpoint = options.endpoints.Find(req.path);
    if (!endpoint) {
      res.status = IsResource(req.path) || options.endpoints.FindByWsdlPath(req.path) ? 405 : 404;
      if (res.status == 405) res.set_header("Allow", "GET, HEAD");
      res.set_header("Connection", "close");
      return;
    }
    if (!ReadBody(req, res, reader, endpoint, body)) return;
    CallResult result = Dispatch()->Call(*endpoint, body);
    res.status = result.fault ? 500 : 200;
    res.set_content(std::move(result.body), kXmlType);
  }

  void OnGet(const httplib::Request& req, httplib::Response& res) {
    if (options.benchRoute && req.path == kBenchRoutePath) {
      res.set_content(kFixedAnswer.data(), kFixedAnswer.size(), kXmlType);
      return;
    }
    if (site) return OnSite(req, res, nullptr);
    if (const Endpoint* endpoint = options.endpoints.Find(req.path)) {
      bool wsdl = false;
      for (const auto& [name, value] : req.params) wsdl = wsdl || text::EqualsNoCase(name, "wsdl");
      if (wsdl) return ServeWsdl(*endpoint, req, res);
      res.status = 405;
      res.set_header("Allow", "POST");
      res.set_content("405 Method Not Allowed: post SOAP calls here; GET " + endpoint->path +
                          "?wsdl for the description\n",
                      "text/plain");
      return;
    }
    if (const Endpoint* endpoint = options.endpoints.FindByWsdlPath(req.path)) return ServeWsdl(*endpoint, req, res);
    if (IsResource(req.path)) return ServeResource(req, res);
    res.status = 404;
  }

  httplib::Server::HandlerResponse OnError(const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty() || res.content_length_ > 0) return httplib::Server::HandlerResponse::Unhandled;
    res.set_content(text::Format("%d %s\n", res.status, Reason(res.status)), "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  }

  void ServeWsdl(const Endpoint& endpoint, const httplib::Request& req, httplib::Response& res) {
    std::vector<com::MemberInfo> methods;
    std::string error;
    if (HRESULT hr = Dispatch()->Methods(endpoint, methods, error); FAILED(hr)) {
      res.status = 500;
      res.set_content(Dispatcher::RequestFault(endpoint, hr, error), kXmlType);
      return;
    }
    // The address clients used, when it is a plain host[:port].
    std::string host = req.get_header_value("Host");
    if (host.empty() || host.find_first_of(" \t\"'<>&/\\@") != std::string::npos)
      host = (options.address.find(':') != std::string::npos ? "[" + options.address + "]" : options.address) +
             text::Format(":%d", port);
    res.set_content(WriteWsdl(endpoint, "http://" + host + endpoint.path, methods), kXmlType);
  }

  bool IsResource(std::string_view path) const {
    return !options.resourceUrl.empty() &&
           (text::EqualsNoCase(path, options.resourceUrl) || StartsWithNoCase(path, options.resourceUrl + "/"));
  }

  // Walks `relative` down from the resource folder one segment at a time,
  // following no symbolic link.
  static Opened Segments(std::string_view relative, std::vector<std::string>& segments, std::string& reason) {
    for (std::string& s : text::Split(relative, '/')) {
      if (s.empty() || s == ".") continue;
      if (s == ".." || s.find('\\') != std::string::npos || s.find('\0') != std::string::npos) {
        reason = "the path leaves the folder or holds a backslash";
        return Opened::Refused;
      }
      segments.push_back(std::move(s));
    }
    return segments.empty() ? Opened::NotFound : Opened::Ok;
  }

  static Opened OpenResource(int root, std::string_view relative, UniqueFd& file, struct stat& st, std::string& reason) {
    std::vector<std::string> segments;
    if (Opened o = Segments(relative, segments, reason); o != Opened::Ok) return o;
    UniqueFd dir(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (!dir.valid()) return Opened::NotFound;
    for (size_t i = 0; i < segments.size(); ++i) {
      const bool last = i + 1 == segments.size();
      const int flags = last ? (O_RDONLY | O_NONBLOCK | O_NOCTTY) : (O_PATH | O_DIRECTORY);
      UniqueFd next(::openat(dir.get(), segments[i].c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
      if (!next.valid()) {
        const int err = errno;
        struct stat link {};
        if (err == ELOOP || err == EACCES || err == EPERM ||
            (::fstatat(dir.get(), segments[i].c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode))) {
          reason = text::Format("\"%s\" is a symbolic link or not accessible", segments[i]);
          return Opened::Refused;
        }
        return Opened::NotFound;
      }
      dir = std::move(next);
    }
    if (::fstat(dir.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Opened::NotFound;
    file = std::move(dir);
    return Opened::Ok;
  }

  void ServeResource(const httplib::Request& req, httplib::Response& res) {
    ServeFile(resourceRoot.get(), std::string_view(req.path).substr(options.resourceUrl.size()), req, res);
  }

  void ServeFile(int root, std::string_view relative, const httplib::Request& req, httplib::Response& res) {
    UniqueFd file;
    struct stat st {};
    std::string reason;
    switch (OpenResource(root, relative, file, st, reason)) {
      case Opened::Refused:
        log.Report(eventlog::EventType::Warning, 23, {req.path, reason});
        res.status = 403;
        return;
      case Opened::NotFound: res.status = 404; return;
      case Opened::Ok: break;
    }
    auto shared = std::make_shared<UniqueFd>(std::move(file));
    res.set_content_provider(
        static_cast<size_t>(st.st_size), std::string(MimeType(req.path)),
        [shared](size_t offset, size_t length, httplib::DataSink& sink) {
          char buffer[65536];
          const ssize_t n = ::pread(shared->get(), buffer, std::min(length, sizeof buffer), static_cast<off_t>(offset));
          // A file that shrank under us ends the connection rather than the answer.
          if (n <= 0) return false;
          return sink.write(buffer, static_cast<size_t>(n));
        });
  }

  // ---- Site mode ------------------------------------------------------------

  // The site as configured now (null when it is not there). A file that
  // cannot be read is reported once and the last good configuration kept; a
  // new unload count drops the component classes held so far.
  std::shared_ptr<const webconfig::SiteConfig> SiteNow(const webconfig::Site*& out) {
    std::string error;
    std::shared_ptr<const webconfig::SiteConfig> config = site->Current(&error);
    if (!error.empty()) log.Report(eventlog::EventType::Warning, 25, {site->Path().string(), error});
    out = config->Find(options.siteHost, options.site);
    const uint64_t count = out ? out->unloadCount : 0;
    std::lock_guard lock(dispatcherMutex);
    if (unloadCount && *unloadCount != count) {
      dispatcher = std::make_shared<Dispatcher>(ParseLimits{options.maxDepth}, &log);
      log.Report(eventlog::EventType::Information, 26,
                 {text::Format("site %s/%u unloaded", options.siteHost, uint64_t{options.site})});
    }
    unloadCount = count;
    return config;
  }

  static void NotAllowed(httplib::Response& res, const std::string& allow, bool bodyUnread) {
    res.status = 405;
    res.set_header("Allow", allow);
    if (bodyUnread) res.set_header("Connection", "close");
  }

  // `reader` is given for methods that carry a body (POST, PUT).
  void OnSite(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader* reader) {
    const webconfig::Site* siteNow = nullptr;
    const auto config = SiteNow(siteNow);  // keeps siteNow alive
    const bool hasBody = reader != nullptr;
    const std::string_view path(req.path);
    // "/<virtual directory>/<rest>"
    const size_t slash = path.size() > 1 ? path.find('/', 1) : std::string_view::npos;
    const webconfig::VirtualDirectory* vd =
        siteNow && slash != std::string_view::npos ? siteNow->FindVirtualDirectory(path.substr(1, slash - 1)) : nullptr;
    if (!vd) {
      res.status = 404;
      if (hasBody) res.set_header("Connection", "close");
      return;
    }
    const std::string_view rest = path.substr(slash + 1);
    const std::string_view last = rest.substr(rest.rfind('/') + 1);
    const size_t dot = last.rfind('.');
    const std::string_view extension = dot == std::string_view::npos ? std::string_view() : last.substr(dot);
    if (std::optional<webconfig::ScriptMap> map =
            extension.empty() ? std::nullopt : siteNow->FindScriptMap(extension)) {
      if (!map->Allows(req.method)) return NotAllowed(res, map->AllowHeader(), hasBody);
      return OnScript(*map, req, res, reader);
    }
    const bool readable = req.method == "GET" || req.method == "HEAD";
    // The folder as the walk will see it ("." and empty segments dropped).
    std::string folder;
    {
      std::vector<std::string> segments;
      std::string ignored;
      if (Segments(rest, segments, ignored) == Opened::Ok) {
        segments.pop_back();
        for (const std::string& s : segments) folder += (folder.empty() ? "" : "/") + s;
      }
    }
    if (req.method == "PUT") {
      if (!vd->Writable(folder)) {
        res.status = 403;
        res.set_header("Connection", "close");
        log.Report(eventlog::EventType::Warning, 23, {req.path, "the folder is not writable"});
        return;
      }
      return PutFile(*vd, rest, req, res, *reader);
    }
    if (!readable) return NotAllowed(res, vd->Writable(folder) ? "GET, HEAD, PUT" : "GET, HEAD", hasBody);
    UniqueFd root(::open(vd->path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid()) {
      res.status = 404;
      return;
    }
    ServeFile(root.get(), rest, req, res);
  }

  void OnScript(const webconfig::ScriptMap& map, const httplib::Request& req, httplib::Response& res,
                const httplib::ContentReader* reader) {
    const bool hasBody = reader != nullptr;
    if (text::EqualsNoCase(map.extension, ".sod")) {
      const Endpoint* listed = options.endpoints.Find(req.path);
      const Endpoint endpoint{req.path, listed ? listed->progId : EndpointTable::DefaultProgId(req.path)};
      if (req.method == "POST") {
        std::string body;
        if (!ReadBody(req, res, *reader, &endpoint, body)) return;
        CallResult result = Dispatch()->Call(endpoint, body);
        res.status = result.fault ? 500 : 200;
        res.set_content(std::move(result.body), kXmlType);
        return;
      }
      bool wsdl = false;
      for (const auto& [name, value] : req.params) wsdl = wsdl || text::EqualsNoCase(name, "wsdl");
      if (wsdl && (req.method == "GET" || req.method == "HEAD")) return ServeWsdl(endpoint, req, res);
      return NotAllowed(res, "POST", hasBody);
    }
    if (text::EqualsNoCase(map.extension, ".wsdl")) {
      if (hasBody) res.set_header("Connection", "close");
      if (req.method != "GET" && req.method != "HEAD" && req.method != "POST")
        return NotAllowed(res, "GET, HEAD, POST", hasBody);
      std::string sod = req.path.substr(0, req.path.size() - map.extension.size()) + ".sod";
      const Endpoint* listed = options.endpoints.Find(sod);
      const Endpoint endpoint{sod, listed ? listed->progId : EndpointTable::DefaultProgId(sod)};
      return ServeWsdl(endpoint, req, res);
    }
    // A map to something this server does not run.
    res.status = 404;
    if (hasBody) res.set_header("Connection", "close");
  }

  // Writes the body to `relative` below the directory's folder: the folders
  // must exist and are walked without following links; the file is written
  // aside and renamed into place, so readers never see half of it.
  void PutFile(const webconfig::VirtualDirectory& vd, std::string_view relative, const httplib::Request& req,
               httplib::Response& res, const httplib::ContentReader& reader) {
    const auto refuse = [&](int status, std::string_view why) {
      res.status = status;
      res.set_header("Connection", "close");
      if (status == 403) log.Report(eventlog::EventType::Warning, 23, {req.path, std::string(why)});
    };
    std::vector<std::string> segments;
    std::string reason;
    switch (Segments(relative, segments, reason)) {
      case Opened::Refused: return refuse(403, reason);
      case Opened::NotFound: return refuse(409, "no file name");
      case Opened::Ok: break;
    }
    UniqueFd dir(::open(vd.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return refuse(409, "the folder is missing");
    for (size_t i = 0; i + 1 < segments.size(); ++i) {
      UniqueFd next(::openat(dir.get(), segments[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!next.valid()) {
        struct stat link {};
        if (::fstatat(dir.get(), segments[i].c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode))
          return refuse(403, text::Format("\"%s\" is a symbolic link", segments[i]));
        return refuse(409, "a folder on the way is missing");
      }
      dir = std::move(next);
    }
    const std::string& name = segments.back();
    struct stat existing {};
    const bool existed = ::fstatat(dir.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (existed && !S_ISREG(existing.st_mode)) return refuse(403, text::Format("\"%s\" is not a plain file", name));

    std::string body;
    if (!ReadBody(req, res, reader, nullptr, body)) return;
    // O_PATH descriptors serve as the base of *at calls; writing needs a real one.
    UniqueFd folder(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string temp;
    UniqueFd out;
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 16 && folder.valid() && !out.valid(); ++attempt) {
      temp = text::Format(".%s.put-%x", name, random());
      out.Reset(::openat(folder.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
      if (!out.valid() && errno != EEXIST) break;
    }
    bool written = out.valid();
    for (size_t done = 0; written && done < body.size();) {
      const ssize_t n = ::write(out.get(), body.data() + done, body.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) written = false;
      else done += static_cast<size_t>(n);
    }
    written = written && ::fsync(out.get()) == 0;
    out.Reset();
    written = written && ::renameat(folder.get(), temp.c_str(), folder.get(), name.c_str()) == 0;
    if (!written) {
      if (!temp.empty() && folder.valid()) ::unlinkat(folder.get(), temp.c_str(), 0);
      log.Report(eventlog::EventType::Error, 22, {req.path, "the file cannot be written"});
      res.status = 500;
      return;
    }
    res.status = existed ? 204 : 201;
  }
};

Listener::Listener(ListenerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) { impl_->Routes(); }

Listener::~Listener() = default;

const ListenerOptions& Listener::Options() const { return impl_->options; }

int Listener::Port() const { return impl_->port; }

bool Listener::Bind(std::string& error) {
  const ListenerOptions& o = impl_->options;
  // In site mode the folders come from the site configuration.
  if (!o.resourceDir.empty() && o.site == 0) {
    impl_->resourceRoot.Reset(::open(o.resourceDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!impl_->resourceRoot.valid()) {
      error = text::Format("The resource folder \"%s\" cannot be opened: %s", o.resourceDir.string(),
                           std::strerror(errno));
      return false;
    }
  }
  errno = 0;
  if (o.port == 0) {
    impl_->port = impl_->server.bind_to_any_port(o.address);
  } else if (impl_->server.bind_to_port(o.address, o.port)) {
    impl_->port = o.port;
  }
  if (impl_->port <= 0) {
    error = text::Format("Cannot listen on %s port %d%s", o.address, o.port,
                         errno ? text::Format(": %s", std::strerror(errno)) : std::string("."));
    impl_->port = -1;
    return false;
  }
  return true;
}

bool Listener::Run() {
  if (impl_->port <= 0) return false;
  impl_->log.Report(eventlog::EventType::Information, 1,
                    {text::Format("listening on %s:%d", impl_->options.address, impl_->port)});
  const bool ok = impl_->server.listen_after_bind();
  impl_->log.Report(eventlog::EventType::Information, 2, {text::Format("stopped (%s)", ok ? "normally" : "failed")});
  return ok;
}

void Listener::Stop() { impl_->server.stop(); }

}  // namespace quor::soap
