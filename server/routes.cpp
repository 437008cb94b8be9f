// The routes: what a request gets, by its method and path, or in site mode
// by the site configuration.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <exception>

#include "platform/soap/wsdl.h"
#include "platform/text/text.h"
#include "server/http_text.h"
#include "server/listener_impl.h"
#include "server/site_files.h"

namespace quor::soap {

using namespace detail;

namespace {

constexpr std::string_view kXmlType = kAnswerContentType;

// What /quor-bench/fixed answers: an answer of the size of a short call's.
constexpr std::string_view kFixedAnswer =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
    "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><SOAP-ENV:Body><ConvertResponse>"
    "<result>[fixed|text]</result></ConvertResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>";

}  // namespace

Plan Listener::Impl::Guarded(const std::function<Plan()>& work, const std::string& path) {
  std::string what = "unknown exception";
  try {
    return work();
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  log.Report(eventlog::EventType::Error, 22, {path, what});
  return Plan::Now(Text(500, "500 Internal Server Error\n", "text/plain"));
}

HttpAnswer Listener::Impl::TooLarge(const HttpRequest& req, const std::optional<Endpoint>& endpoint) {
  const std::string why = text::Format("The request body is larger than the limit of %u bytes.",
                                       static_cast<uint64_t>(options.maxBodyBytes));
  log.Report(eventlog::EventType::Warning, 24, {req.path, why});
  HttpAnswer a = endpoint ? Text(413, Dispatcher::RequestFault(*endpoint, E_INVALIDARG, why), kXmlType)
                          : Text(413, "413 Payload Too Large\n", "text/plain");
  a.close = true;
  return a;
}

Plan Listener::Impl::Route(const std::shared_ptr<const HttpRequest>& r) {
  const HttpRequest& req = *r;
  const std::string& m = req.method;
  const bool get = m == "GET" || m == "HEAD";
  if (options.benchRoute && req.path == kBenchRoutePath && (get || m == "POST")) {
    if (get) return Plan::Now(Text(200, std::string(kFixedAnswer), kXmlType));
    Plan p = Plan::AfterBody([](Body&) { return Plan::Now(Text(200, std::string(kFixedAnswer), kXmlType)); });
    p.light = true;
    return p;
  }
  if (!get && m != "POST" && m != "PUT" && m != "DELETE" && m != "OPTIONS" && m != "PATCH")
    return Plan::Now(Status(400));
  // No route takes a body with these: one declared over the limit is
  // still refused as too large, any other is left unread (and the
  // connection closed after the answer).
  if ((m == "PATCH" || m == "DELETE" || (m == "PUT" && !site)) && req.length && *req.length > options.maxBodyBytes)
    return Plan::Now(Status(413, true));
  if (site) return Plan::Later([this, r] { return OnSite(r); });
  if (get) return OnGet(r);
  if (m == "POST") return OnPost(r);
  return Plan::Now(Status(404));
}

Plan Listener::Impl::CallPlan(Endpoint endpoint, std::string peer) {
  Plan p = Plan::AfterBody(
      [this, endpoint, peer = std::move(peer)](Body& body) {
        CallResult result = Dispatch()->Call(endpoint, std::move(body.text), peer, body.writer, std::move(body.hold));
        if (result.streamed) return Plan::Streamed();
        return Plan::Now(Text(result.fault ? 500 : 200, std::move(result.body), kXmlType));
      },
      endpoint);
  p.streams = true;
  return p;
}

Plan Listener::Impl::OnPost(const std::shared_ptr<const HttpRequest>& r) {
  const Endpoint* endpoint = options.endpoints.Find(r->path);
  if (!endpoint) {
    const bool known = IsResource(r->path) || options.endpoints.FindByWsdlPath(r->path);
    return Plan::Now(known ? NotAllowed("GET, HEAD", true) : Status(404, true));
  }
  return CallPlan(*endpoint, r->peer);
}

Plan Listener::Impl::OnGet(const std::shared_ptr<const HttpRequest>& r) {
  const HttpRequest& req = *r;
  if (const Endpoint* endpoint = options.endpoints.Find(req.path)) {
    if (req.HasParam("wsdl")) return Plan::Later([this, r, e = *endpoint] { return Plan::Now(ServeWsdl(e, *r)); });
    HttpAnswer a = Text(405,
                    "405 Method Not Allowed: post SOAP calls here; GET " + endpoint->path +
                        "?wsdl for the description\n",
                    "text/plain");
    a.headers.emplace_back("Allow", "POST");
    return Plan::Now(std::move(a));
  }
  if (const Endpoint* endpoint = options.endpoints.FindByWsdlPath(req.path))
    return Plan::Later([this, r, e = *endpoint] { return Plan::Now(ServeWsdl(e, *r)); });
  if (IsResource(req.path))
    return Plan::Later([this, r] {
      const std::string_view relative = std::string_view(r->path).substr(options.resourceUrl.size());
      return Plan::Now(ServeFile(resourceRoot.get(), relative, *r, log));
    });
  return Plan::Now(Status(404));
}

HttpAnswer Listener::Impl::ServeWsdl(const Endpoint& endpoint, const HttpRequest& req) {
  const Result<std::vector<com::MemberInfo>> methods = Dispatch()->Methods(endpoint);
  if (!methods.ok())
    return Text(500, Dispatcher::RequestFault(endpoint, methods.status().code(), methods.status().message()), kXmlType);
  // The address clients used, when it is a plain host[:port].
  std::string host = req.host;
  if (host.empty() || host.find_first_of(" \t\"'<>&/\\@") != std::string::npos)
    host = (options.address.find(':') != std::string::npos ? "[" + options.address + "]" : options.address) +
           text::Format(":%d", port);
  const char* scheme = tls ? "https://" : "http://";
  return Text(200, WriteWsdl(endpoint, scheme + host + endpoint.path, *methods), kXmlType);
}

bool Listener::Impl::IsResource(std::string_view path) const {
  return !options.resourceUrl.empty() &&
         (text::EqualsNoCase(path, options.resourceUrl) || text::StartsWithNoCase(path, options.resourceUrl + "/"));
}

// ---- Site mode ------------------------------------------------------------------

std::shared_ptr<const webconfig::SiteConfig> Listener::Impl::SiteNow(const webconfig::Site*& out) {
  quor::Status failure;
  std::shared_ptr<const webconfig::SiteConfig> config = site->Current(&failure);
  if (!failure.ok()) log.Report(eventlog::EventType::Warning, 25, {site->Path().string(), failure.message()});
  out = config->Find(options.siteHost, options.site);
  const uint64_t count = out ? out->unloadCount : 0;
  MutexLock lock(dispatcherMutex);
  if (unloadCount && *unloadCount != count) {
    dispatcher = std::make_shared<Dispatcher>(ParseLimits{options.maxDepth}, &log);
    log.Report(eventlog::EventType::Information, 26,
               {text::Format("site %s/%u unloaded", options.siteHost, uint64_t{options.site})});
  }
  unloadCount = count;
  return config;
}

Plan Listener::Impl::OnSite(const std::shared_ptr<const HttpRequest>& r) {
  const HttpRequest& req = *r;
  const webconfig::Site* siteNow = nullptr;
  const auto config = SiteNow(siteNow);  // keeps siteNow alive
  const bool hasBody = req.Carries();
  const std::string_view path(req.path);
  // "/<virtual directory>/<rest>"
  const size_t slash = path.size() > 1 ? path.find('/', 1) : std::string_view::npos;
  const webconfig::VirtualDirectory* vd =
      siteNow && slash != std::string_view::npos ? siteNow->FindVirtualDirectory(path.substr(1, slash - 1)) : nullptr;
  if (!vd) return Plan::Now(Status(404, hasBody));
  const std::string_view rest = path.substr(slash + 1);
  const std::string_view last = rest.substr(rest.rfind('/') + 1);
  const size_t dot = last.rfind('.');
  const std::string_view extension = dot == std::string_view::npos ? std::string_view() : last.substr(dot);
  if (std::optional<webconfig::ScriptMap> map =
          extension.empty() ? std::nullopt : siteNow->FindScriptMap(extension)) {
    // A map that wants its file: no file, no resource (whatever the verb).
    if (map->RequiresFile()) {
      UniqueFd root(::open(vd->path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      const quor::Status found = root.valid() ? OpenResource(root.get(), rest, true).status() : quor::Status(kNotFound);
      if (found.code() == kRefused) {
        log.Report(eventlog::EventType::Warning, 23, {req.path, found.message()});
        return Plan::Now(Status(403, hasBody));
      }
      if (!found.ok()) return Plan::Now(Status(404, hasBody));
    }
    if (!map->Allows(req.method)) return Plan::Now(NotAllowed(map->AllowHeader(), hasBody));
    return OnScript(*map, r);
  }
  const bool readable = req.method == "GET" || req.method == "HEAD";
  // The folder as the walk will see it ("." and empty segments dropped).
  std::string folder;
  {
    if (quor::Result<std::vector<std::string>> segments = Segments(rest); segments.ok()) {
      segments->pop_back();
      for (const std::string& s : *segments) folder += (folder.empty() ? "" : "/") + s;
    }
  }
  if (req.method == "PUT") {
    if (!vd->Writable(folder)) {
      log.Report(eventlog::EventType::Warning, 23, {req.path, "the folder is not writable"});
      return Plan::Now(Status(403, true));
    }
    return PutFile(vd->path, rest, r, log);
  }
  if (!readable) return Plan::Now(NotAllowed(vd->Writable(folder) ? "GET, HEAD, PUT" : "GET, HEAD", hasBody));
  UniqueFd root(::open(vd->path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid()) return Plan::Now(Status(404));
  return Plan::Now(ServeFile(root.get(), rest, req, log));
}

Plan Listener::Impl::OnScript(const webconfig::ScriptMap& map, const std::shared_ptr<const HttpRequest>& r) {
  const HttpRequest& req = *r;
  const bool hasBody = req.Carries();
  if (text::EqualsNoCase(map.extension, ".sod")) {
    const Endpoint* listed = options.endpoints.Find(req.path);
    const Endpoint endpoint{req.path, listed ? listed->progId : EndpointTable::DefaultProgId(req.path)};
    if (req.method == "POST") return CallPlan(endpoint, req.peer);
    if (req.HasParam("wsdl") && (req.method == "GET" || req.method == "HEAD"))
      return Plan::Now(ServeWsdl(endpoint, req));
    return Plan::Now(NotAllowed("POST", hasBody));
  }
  if (text::EqualsNoCase(map.extension, ".wsdl")) {
    if (req.method != "GET" && req.method != "HEAD" && req.method != "POST")
      return Plan::Now(NotAllowed("GET, HEAD, POST", hasBody));
    std::string sod = req.path.substr(0, req.path.size() - map.extension.size()) + ".sod";
    const Endpoint* listed = options.endpoints.Find(sod);
    const Endpoint endpoint{sod, listed ? listed->progId : EndpointTable::DefaultProgId(sod)};
    HttpAnswer a = ServeWsdl(endpoint, req);
    a.close = a.close || hasBody;
    return Plan::Now(std::move(a));
  }
  // A map to something this server does not run.
  return Plan::Now(Status(404, hasBody));
}

}  // namespace quor::soap
