#include "server/listener.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <unordered_set>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/read_size.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>
#include <openssl/err.h>
#include <openssl/x509.h>

#include "platform/base/thread_annotations.h"
#include "platform/base/unique_fd.h"
#include "platform/eventlog/eventlog.h"
#include "platform/soap/wsdl.h"
#include "platform/text/text.h"
#include "platform/webconfig/webconfig.h"
#include "server/http_request.h"
#include "server/http_text.h"

namespace quor::soap {

namespace {

constexpr std::string_view kXmlType = kAnswerContentType;

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
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    default: return "Error";
  }
}

}  // namespace

// ---- Command line ------------------------------------------------------------

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

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
// A connection's executor: the I/O context it was accepted onto, which one
// thread runs, so its handlers never run at once and never change thread.
using Strand = net::io_context::executor_type;
using Socket = net::basic_stream_socket<tcp, Strand>;
using Timer = net::basic_waitable_timer<std::chrono::steady_clock, net::wait_traits<std::chrono::steady_clock>, Strand>;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr size_t kFileChunk = 64 * 1024;
// The most a read of a request body with a known length asks for at once.
constexpr size_t kLargeRead = 1024 * 1024;
constexpr unsigned kMaxRequestsPerConnection = 1000;
constexpr size_t kAcceptBatch = 1024;
// How often a listener at its bounds looks whether a connection or a refusal
// has ended.
constexpr milliseconds kRoomPoll{20};
// After an answer that closes, the client's unread rest is read and dropped
// this long, so the close does not reset the connection under the answer.
constexpr milliseconds kLinger{2000};
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 24\r\n"
    "Connection: close\r\n\r\n503 Service Unavailable\n";

std::string_view View(beast::string_view s) { return {s.data(), s.size()}; }

size_t DefaultWorkers() { return 4 * std::max(1u, std::thread::hardware_concurrency()); }

size_t IoThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

// At least what the system allows (the kernel caps it there anyway).
int Backlog() {
  int n = 0;
  if (std::FILE* f = std::fopen("/proc/sys/net/core/somaxconn", "re")) {
    if (std::fscanf(f, "%d", &n) != 1) n = 0;
    std::fclose(f);
  }
  return std::max(n, SOMAXCONN);
}

// Sockets must not leak into processes that components start.
void CloseOnExec(int fd) { ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC); }

// What the routes see of a request.
struct HttpRequest {
  std::string method;
  std::string path;  // decoded, without the query
  std::vector<std::string> params;  // the query's names, decoded
  std::string host;
  std::string range;  // the Range header
  std::string peer;   // the client's IP address; empty when unknown
  bool head = false;
  std::optional<uint64_t> length;  // declared

  bool HasParam(std::string_view name) const {
    for (const std::string& p : params)
      if (text::EqualsNoCase(p, name)) return true;
    return false;
  }
  // POST and PUT carry a body; answering them without reading it closes.
  bool Carries() const { return method == "POST" || method == "PUT"; }
};

struct HttpAnswer {
  int status = 200;
  std::string contentType;
  std::string body;  // of a file: its first part
  std::vector<std::pair<std::string, std::string>> headers;
  bool close = false;
  std::shared_ptr<UniqueFd> file;  // the rest of a file, sent after `body`
  uint64_t fileOffset = 0;         // where in the file `body` begins
  std::optional<uint64_t> length;  // the whole length when it is not body.size()
};

HttpAnswer Status(int status, bool close = false) {
  HttpAnswer a;
  a.status = status;
  a.close = close;
  return a;
}

HttpAnswer Text(int status, std::string body, std::string_view type) {
  HttpAnswer a;
  a.status = status;
  a.body = std::move(body);
  a.contentType = type;
  return a;
}

HttpAnswer NotAllowed(std::string allow, bool close) {
  HttpAnswer a = Status(405, close);
  a.headers.emplace_back("Allow", std::move(allow));
  return a;
}

// What comes next for a request: the answer; blocking work for a worker,
// which yields the next step; or the body first, then that work. Work
// after a body that `streams` gets a writer for its answer (else null);
// work that answered through it yields a `streamed` plan: nothing more to
// send from here.
struct Plan {
  std::optional<HttpAnswer> answer;
  std::function<Plan()> work;
  std::function<Plan(std::string body, AnswerWriter* writer)> withBody;
  std::optional<Endpoint> faultEndpoint;  // a body over the limit is answered with a fault naming it
  bool light = false;                     // cheaper than the trip to a worker
  bool streams = false;
  bool streamed = false;

  static Plan Now(HttpAnswer a) {
    Plan p;
    p.answer = std::move(a);
    return p;
  }
  static Plan Later(std::function<Plan()> work) {
    Plan p;
    p.work = std::move(work);
    return p;
  }
  static Plan Streamed() {
    Plan p;
    p.streamed = true;
    return p;
  }
  static Plan AfterBody(std::function<Plan(std::string, AnswerWriter*)> then,
                        std::optional<Endpoint> faultEndpoint = {}) {
    Plan p;
    p.withBody = std::move(then);
    p.faultEndpoint = std::move(faultEndpoint);
    return p;
  }
};

milliseconds Allowance(int seconds, uint64_t bytes) {
  return milliseconds(int64_t{seconds} * 1000 + static_cast<int64_t>(bytes / ((1u << 20) / 1000)));
}

using TlsStream = net::ssl::stream<Socket&>;

// A connection's bytes: the socket's own, or TLS over the socket. Shaped as
// an asynchronous stream, so that Asio's and Beast's writes take it.
class Stream {
 public:
  using executor_type = Strand;

  Stream(Socket& socket, net::ssl::context* tls) : socket_(socket) {
    if (tls) tls_.emplace(socket, *tls);
  }
  executor_type get_executor() { return socket_.get_executor(); }
  TlsStream* Tls() { return tls_ ? &*tls_ : nullptr; }

  template <typename Buffers, typename Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    if (tls_)
      tls_->async_read_some(buffers, std::forward<Handler>(handler));
    else
      socket_.async_read_some(buffers, std::forward<Handler>(handler));
  }
  template <typename Buffers, typename Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    if (tls_)
      tls_->async_write_some(buffers, std::forward<Handler>(handler));
    else
      socket_.async_write_some(buffers, std::forward<Handler>(handler));
  }

 private:
  Socket& socket_;
  std::optional<TlsStream> tls_;
};

// The first reason in OpenSSL's error queue of this thread (which it
// empties); `mismatch` tells whether a key did not fit its certificate.
std::string OpenSslReason(bool* mismatch = nullptr) {
  const unsigned long first = ERR_peek_error();
  if (mismatch) {
    *mismatch = false;
    for (unsigned long e; (e = ERR_get_error()) != 0;)
      if (ERR_GET_LIB(e) == ERR_LIB_X509 && ERR_GET_REASON(e) == X509_R_KEY_VALUES_MISMATCH) *mismatch = true;
  }
  ERR_clear_error();
  if (first == 0) return "unknown error";
  if (ERR_SYSTEM_ERROR(first)) return std::strerror(ERR_GET_REASON(first));
  const char* reason = ERR_reason_error_string(first);
  return reason ? reason : text::Format("OpenSSL error %x", uint64_t{first});
}

// An encrypted key would make OpenSSL ask for its pass phrase on the
// terminal; a server must fail instead.
int NoPassphrase(char*, int, int, void*) { return 0; }

// The server's TLS context: TLS 1.2 at least, the certificate chain and the
// private key that must match it.
std::optional<net::ssl::context> TlsContext(const ListenerOptions& o, std::string& error) {
  net::ssl::context context(net::ssl::context::tls_server);
  SSL_CTX* native = context.native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  context.set_options(net::ssl::context::default_workarounds | net::ssl::context::no_compression |
                      net::ssl::context::single_dh_use);
  // A client could otherwise have the server redo the costly handshake at will.
  SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_default_passwd_cb(native, NoPassphrase);
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(native, o.tlsCert.c_str()) != 1) {
    error = text::Format("The TLS certificate file \"%s\" cannot be used: %s", o.tlsCert.string(), OpenSslReason());
    return std::nullopt;
  }
  bool mismatch = false;
  if (SSL_CTX_use_PrivateKey_file(native, o.tlsKey.c_str(), SSL_FILETYPE_PEM) == 1) {
    mismatch = SSL_CTX_check_private_key(native) != 1;
    ERR_clear_error();
  } else if (const std::string reason = OpenSslReason(&mismatch); !mismatch) {
    error = text::Format("The TLS private key file \"%s\" cannot be used: %s", o.tlsKey.string(), reason);
    return std::nullopt;
  }
  if (mismatch) {
    error = text::Format("The TLS private key \"%s\" does not belong to the certificate \"%s\".", o.tlsKey.string(),
                         o.tlsCert.string());
    return std::nullopt;
  }
  return context;
}

}  // namespace

// Threads: one I/O thread per core, each running an I/O context of its own;
// connections go round the contexts, and every connection's state (socket,
// timer, buffers, parser, answer) belongs to its context's thread and is
// touched only there (a connection's work never wakes another I/O thread). Blocking work (component calls, site
// configuration, files) runs on the worker pool and posts its result back to
// the strand; a worker only reads the immutable HttpRequest and the options.
// A call that streams its answer shares one more object with its connection:
// the AnswerStream, the worker writing into it and the strand taking from it.
// Shared between threads: `connections` (under connectionsMutex),
// `dispatcher` and `unloadCount` (under dispatcherMutex), the atomics, the
// acceptor (on acceptStrand only), and each AnswerStream (under its mutex).
struct Listener::Impl {
  class AnswerStream;
  class Connection;
  class Refusal;

  ListenerOptions options;
  eventlog::EventSource log{"QuorServer"};
  // Replaced when the site's applications are unloaded; calls under way keep
  // the one they started with.
  std::shared_ptr<Dispatcher> dispatcher;
  std::mutex dispatcherMutex;
  UniqueFd resourceRoot;
  int port = -1;
  // Set before serving, read-only afterwards (OpenSSL's context is safe to
  // share between connections).
  std::optional<net::ssl::context> tls;
  // Site mode only.
  std::unique_ptr<webconfig::Watcher> site;
  std::optional<uint64_t> unloadCount;

  std::mutex connectionsMutex;
  std::unordered_set<Connection*> connections;
  std::atomic<size_t> live{0};      // counted against maxConnections
  std::atomic<size_t> refusing{0};  // being answered 503, at most maxConnections
  std::atomic<bool> stopping{false};
  std::atomic<bool> trimming{false};  // a malloc_trim is under way

  // Declared after what connections use: its destruction drops the last ones.
  const size_t ioThreads = IoThreads();
  std::vector<std::unique_ptr<net::io_context>> contexts = MakeContexts(ioThreads);
  // Keeps each context running while it has no connection; dropped by Stop.
  std::vector<net::executor_work_guard<Strand>> running = Guards(contexts);
  std::atomic<size_t> nextContext{0};
  net::io_context& ioc = *contexts.front();
  Strand acceptStrand{ioc.get_executor()};
  net::basic_socket_acceptor<tcp, Strand> acceptor{acceptStrand};
  Timer acceptRetry{acceptStrand};
  std::optional<net::thread_pool> workers;

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

  static std::vector<std::unique_ptr<net::io_context>> MakeContexts(size_t n) {
    std::vector<std::unique_ptr<net::io_context>> out;
    for (size_t i = 0; i < n; ++i) out.push_back(std::make_unique<net::io_context>(1));
    return out;
  }

  static std::vector<net::executor_work_guard<Strand>> Guards(
      const std::vector<std::unique_ptr<net::io_context>>& all) {
    std::vector<net::executor_work_guard<Strand>> out;
    for (const auto& c : all) out.push_back(net::make_work_guard(c->get_executor()));
    return out;
  }

  // The context of the next connection.
  Strand NextExecutor() { return contexts[nextContext++ % contexts.size()]->get_executor(); }

  // ---- Serving --------------------------------------------------------------

  void Accept();
  void OnAccept(beast::error_code ec, Socket socket);
  void Admit(Socket socket);
  bool Full() const;
  void WaitForRoom();
  void Stop();

  void RunIo(net::io_context& context) {
    for (;;) {
      try {
        context.run();
        return;
      } catch (const std::exception& e) {
        log.Report(eventlog::EventType::Error, 22, {"listener", e.what()});
      }
    }
  }

  // Runs `work`; anything thrown becomes a 500 and an event.
  Plan Guarded(const std::function<Plan()>& work, const std::string& path) {
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

  HttpAnswer TooLarge(const HttpRequest& req, const std::optional<Endpoint>& endpoint) {
    const std::string why = text::Format("The request body is larger than the limit of %u bytes.",
                                         static_cast<uint64_t>(options.maxBodyBytes));
    log.Report(eventlog::EventType::Warning, 24, {req.path, why});
    HttpAnswer a = endpoint ? Text(413, Dispatcher::RequestFault(*endpoint, E_INVALIDARG, why), kXmlType)
                            : Text(413, "413 Payload Too Large\n", "text/plain");
    a.close = true;
    return a;
  }

  // ---- Routes -----------------------------------------------------------------
  // Route itself never blocks (it runs on an I/O thread); what does is
  // handed out as work.

  net::ssl::context* Tls() { return tls ? &*tls : nullptr; }

  Plan Route(const std::shared_ptr<const HttpRequest>& r) {
    const HttpRequest& req = *r;
    const std::string& m = req.method;
    const bool get = m == "GET" || m == "HEAD";
    if (options.benchRoute && req.path == kBenchRoutePath && (get || m == "POST")) {
      if (get) return Plan::Now(Text(200, std::string(kFixedAnswer), kXmlType));
      Plan p = Plan::AfterBody(
          [](std::string, AnswerWriter*) { return Plan::Now(Text(200, std::string(kFixedAnswer), kXmlType)); });
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

  // A large result may leave as it comes, through the connection's writer.
  Plan CallPlan(Endpoint endpoint, std::string peer) {
    Plan p = Plan::AfterBody(
        [this, endpoint, peer = std::move(peer)](std::string body, AnswerWriter* writer) {
          CallResult result = Dispatch()->Call(endpoint, std::move(body), peer, writer);
          if (result.streamed) return Plan::Streamed();
          return Plan::Now(Text(result.fault ? 500 : 200, std::move(result.body), kXmlType));
        },
        endpoint);
    p.streams = true;
    return p;
  }

  Plan OnPost(const std::shared_ptr<const HttpRequest>& r) {
    const Endpoint* endpoint = options.endpoints.Find(r->path);
    if (!endpoint) {
      const bool known = IsResource(r->path) || options.endpoints.FindByWsdlPath(r->path);
      return Plan::Now(known ? NotAllowed("GET, HEAD", true) : Status(404, true));
    }
    return CallPlan(*endpoint, r->peer);
  }

  Plan OnGet(const std::shared_ptr<const HttpRequest>& r) {
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
        return Plan::Now(ServeFile(resourceRoot.get(), relative, *r));
      });
    return Plan::Now(Status(404));
  }

  HttpAnswer ServeWsdl(const Endpoint& endpoint, const HttpRequest& req) {
    std::vector<com::MemberInfo> methods;
    std::string error;
    if (HRESULT hr = Dispatch()->Methods(endpoint, methods, error); FAILED(hr))
      return Text(500, Dispatcher::RequestFault(endpoint, hr, error), kXmlType);
    // The address clients used, when it is a plain host[:port].
    std::string host = req.host;
    if (host.empty() || host.find_first_of(" \t\"'<>&/\\@") != std::string::npos)
      host = (options.address.find(':') != std::string::npos ? "[" + options.address + "]" : options.address) +
             text::Format(":%d", port);
    const char* scheme = tls ? "https://" : "http://";
    return Text(200, WriteWsdl(endpoint, scheme + host + endpoint.path, methods), kXmlType);
  }

  bool IsResource(std::string_view path) const {
    return !options.resourceUrl.empty() &&
           (text::EqualsNoCase(path, options.resourceUrl) || StartsWithNoCase(path, options.resourceUrl + "/"));
  }

  // Walks `relative` down from the resource folder one segment at a time,
  // following no symbolic link.
  static Opened Segments(std::string_view relative, std::vector<std::string>& segments, std::string& reason) {
    switch (PathSegments(relative, segments)) {
      case PathCheck::Ok: return Opened::Ok;
      case PathCheck::Empty: return Opened::NotFound;
      case PathCheck::Refused: break;
    }
    reason = "the path leaves the folder or holds a backslash";
    return Opened::Refused;
  }

  // The name in `dir` that equals `name` without case; empty when none does.
  static std::string NameNoCase(int dir, std::string_view name) {
    UniqueFd readable(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* listing = readable.valid() ? ::fdopendir(readable.get()) : nullptr;
    if (!listing) return {};
    readable.Release();  // the listing owns it now
    std::string found;
    while (const dirent* entry = ::readdir(listing)) {
      if (text::EqualsNoCase(entry->d_name, name)) {
        found = entry->d_name;
        break;
      }
    }
    ::closedir(listing);
    return found;
  }

  // `foldCase`: a segment missing in exact case may match a name that
  // differs only in case, as the web server's file names do.
  static Opened OpenResource(int root, std::string_view relative, UniqueFd& file, struct stat& st, std::string& reason,
                             bool foldCase = false) {
    std::vector<std::string> segments;
    if (Opened o = Segments(relative, segments, reason); o != Opened::Ok) return o;
    UniqueFd dir(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (!dir.valid()) return Opened::NotFound;
    for (size_t i = 0; i < segments.size(); ++i) {
      const bool last = i + 1 == segments.size();
      const int flags = (last ? (O_RDONLY | O_NONBLOCK | O_NOCTTY) : (O_PATH | O_DIRECTORY)) | O_NOFOLLOW | O_CLOEXEC;
      UniqueFd next(::openat(dir.get(), segments[i].c_str(), flags));
      if (!next.valid() && errno == ENOENT && foldCase) {
        if (std::string other = NameNoCase(dir.get(), segments[i]); !other.empty()) {
          segments[i] = std::move(other);
          next.Reset(::openat(dir.get(), segments[i].c_str(), flags));
        } else {
          errno = ENOENT;  // missing in any case
        }
      }
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

  // The file's first part now; the connection fetches the rest as it sends.
  HttpAnswer ServeFile(int root, std::string_view relative, const HttpRequest& req) {
    UniqueFd file;
    struct stat st {};
    std::string reason;
    switch (OpenResource(root, relative, file, st, reason)) {
      case Opened::Refused:
        log.Report(eventlog::EventType::Warning, 23, {req.path, reason});
        return Status(403);
      case Opened::NotFound: return Status(404);
      case Opened::Ok: break;
    }
    HttpAnswer a = Text(200, {}, MimeType(req.path));
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    uint64_t first = 0, last = size - 1;
    bool satisfiable = true;
    if (!req.range.empty() && ByteRange(req.range, size, first, last, satisfiable)) {
      if (!satisfiable) {
        a = Status(416);
        a.headers.emplace_back("Content-Range", text::Format("bytes */%u", size));
        return a;
      }
      a.status = 206;
      a.headers.emplace_back("Content-Range", text::Format("bytes %u-%u/%u", first, last, size));
    }
    a.headers.emplace_back("Accept-Ranges", "bytes");
    const uint64_t length = size == 0 ? 0 : last - first + 1;
    a.length = length;
    a.fileOffset = first;
    if (req.head) return a;
    a.body.resize(static_cast<size_t>(std::min<uint64_t>(length, kFileChunk)));
    const ssize_t n = ::pread(file.get(), a.body.data(), a.body.size(), static_cast<off_t>(first));
    a.body.resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (a.body.size() < length) a.file = std::make_shared<UniqueFd>(std::move(file));
    return a;
  }

  // ---- Site mode (on a worker: the configuration is a file) --------------------

  // The site as configured now (null when it is not there). A file that
  // cannot be read is reported once and the last good configuration kept; a
  // new unload count drops the component classes held so far.
  std::shared_ptr<const webconfig::SiteConfig> SiteNow(const webconfig::Site*& out) {
    quor::Status failure;
    std::shared_ptr<const webconfig::SiteConfig> config = site->Current(&failure);
    if (!failure.ok()) log.Report(eventlog::EventType::Warning, 25, {site->Path().string(), failure.message()});
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

  Plan OnSite(const std::shared_ptr<const HttpRequest>& r) {
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
        UniqueFd root(::open(vd->path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)), file;
        struct stat st {};
        std::string reason;
        const Opened found = root.valid() ? OpenResource(root.get(), rest, file, st, reason, true) : Opened::NotFound;
        if (found == Opened::Refused) {
          log.Report(eventlog::EventType::Warning, 23, {req.path, reason});
          return Plan::Now(Status(403, hasBody));
        }
        if (found == Opened::NotFound) return Plan::Now(Status(404, hasBody));
      }
      if (!map->Allows(req.method)) return Plan::Now(NotAllowed(map->AllowHeader(), hasBody));
      return OnScript(*map, r);
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
        log.Report(eventlog::EventType::Warning, 23, {req.path, "the folder is not writable"});
        return Plan::Now(Status(403, true));
      }
      return PutFile(vd->path, rest, r);
    }
    if (!readable) return Plan::Now(NotAllowed(vd->Writable(folder) ? "GET, HEAD, PUT" : "GET, HEAD", hasBody));
    UniqueFd root(::open(vd->path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid()) return Plan::Now(Status(404));
    return Plan::Now(ServeFile(root.get(), rest, req));
  }

  Plan OnScript(const webconfig::ScriptMap& map, const std::shared_ptr<const HttpRequest>& r) {
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

  // Writes the body to `relative` below `root`: the folders must exist and
  // are walked without following links (checked before the body is read);
  // the file is written aside and renamed into place, so readers never see
  // half of it.
  Plan PutFile(const std::string& root, std::string_view relative, const std::shared_ptr<const HttpRequest>& r) {
    const auto refuse = [&](int status, std::string_view why) {
      if (status == 403) log.Report(eventlog::EventType::Warning, 23, {r->path, std::string(why)});
      return Plan::Now(Status(status, true));
    };
    std::vector<std::string> segments;
    std::string reason;
    switch (Segments(relative, segments, reason)) {
      case Opened::Refused: return refuse(403, reason);
      case Opened::NotFound: return refuse(409, "no file name");
      case Opened::Ok: break;
    }
    UniqueFd dir(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
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
    std::string name = segments.back();
    struct stat existing {};
    const bool existed = ::fstatat(dir.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (existed && !S_ISREG(existing.st_mode)) return refuse(403, text::Format("\"%s\" is not a plain file", name));
    auto parent = std::make_shared<UniqueFd>(std::move(dir));
    return Plan::AfterBody([this, r, parent, name, existed](std::string body, AnswerWriter*) {
      return Plan::Now(WriteFile(*parent, name, existed, body, r->path));
    });
  }

  // Removes the temporaries of `name` in `folder` that a writer killed
  // before its rename left behind: their names carry the writer's process,
  // and only those of processes that are gone are taken.
  static void RemoveStaleTemporaries(int folder, const std::string& name) {
    const std::string prefix = "." + name + ".put-";
    UniqueFd readable(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* listing = readable.valid() ? ::fdopendir(readable.get()) : nullptr;
    if (!listing) return;
    readable.Release();  // the listing owns it now
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(listing)) {
      const std::string_view entryName = entry->d_name;
      if (!entryName.starts_with(prefix)) continue;
      const std::string_view rest = entryName.substr(prefix.size());
      const std::string digits(rest.substr(0, rest.find('-')));
      if (digits.empty() || digits.size() == rest.size() || digits.size() > 9 ||
          digits.find_first_not_of("0123456789") != std::string::npos)
        continue;
      const pid_t pid = static_cast<pid_t>(std::strtol(digits.c_str(), nullptr, 10));
      if (pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH) stale.emplace_back(entryName);
    }
    ::closedir(listing);
    for (const std::string& entryName : stale) ::unlinkat(folder, entryName.c_str(), 0);
  }

  // The body is written into an unnamed file (O_TMPFILE), so that a server
  // killed while writing leaves nothing behind; only once whole and synced
  // is it given a hidden name, renamed over the target and the folder synced.
  // Where unnamed files are not supported the hidden name comes first.
  HttpAnswer WriteFile(const UniqueFd& dir, const std::string& name, bool existed, const std::string& body,
                   const std::string& path) {
    // O_PATH descriptors serve as the base of *at calls; writing needs a real one.
    UniqueFd folder(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) RemoveStaleTemporaries(folder.get(), name);
    std::string temp;
    thread_local std::mt19937_64 random{std::random_device{}()};
    const auto tempName = [&] { return text::Format(".%s.put-%d-%x", name, static_cast<int>(::getpid()), random()); };
    // Naming an unnamed file goes through its /proc link.
    static const bool canName = ::access("/proc/self/fd", F_OK) == 0;
    UniqueFd out(folder.valid() && canName ? ::openat(folder.get(), ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0644) : -1);
    const bool unnamed = out.valid();
    for (int attempt = 0; attempt < 16 && folder.valid() && !out.valid(); ++attempt) {
      temp = tempName();
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
    if (written && unnamed) {
      const std::string self = text::Format("/proc/self/fd/%d", out.get());
      written = false;
      for (int attempt = 0; attempt < 16 && !written; ++attempt) {
        temp = tempName();
        written = ::linkat(AT_FDCWD, self.c_str(), folder.get(), temp.c_str(), AT_SYMLINK_FOLLOW) == 0;
        if (!written && errno != EEXIST) break;
      }
      if (!written) temp.clear();
    }
    out.Reset();
    written = written && ::renameat(folder.get(), temp.c_str(), folder.get(), name.c_str()) == 0;
    if (!written) {
      if (!temp.empty() && folder.valid()) ::unlinkat(folder.get(), temp.c_str(), 0);
      log.Report(eventlog::EventType::Error, 22, {path, "the file cannot be written"});
      return Status(500);
    }
    ::fsync(folder.get());
    return Status(existed ? 204 : 201);
  }
};

// The hand-off of a streamed answer between the call that writes it, on a
// worker (the AnswerWriter calls), and its connection, on the connection's
// strand (Take, Fail, Stop). The queue is bounded: the worker waits while it
// is full, so that a slow client holds back the call rather than memory
// growing; the strand never waits. A failure (the connection closed, a
// piece not taken within its deadline, the server stopping) wakes the
// worker and fails each later call, so that the call ends and frees it.
class Listener::Impl::AnswerStream final : public AnswerWriter {
 public:
  // At most this many pieces, or about this many bytes, wait for the strand.
  static constexpr size_t kMaxPieces = 4;
  static constexpr size_t kMaxBytes = size_t{1} << 20;

  // `wake` has the strand take (posts to it); it is called by the worker
  // only while the strand is not already taking.
  explicit AnswerStream(std::function<void()> wake) : wake_(std::move(wake)) {}

  // ---- The worker's side.

  quor::Status Start(std::string_view contentType, std::string piece) override {
    {
      MutexLock lock(mutex_);
      contentType_ = std::string(contentType);
    }
    return Put(std::move(piece), false);
  }

  quor::Status Write(std::string piece) override {
    if (piece.empty()) {
      MutexLock lock(mutex_);
      return failure_;
    }
    return Put(std::move(piece), false);
  }

  // Returns once the last piece is queued, not sent: the worker is free while
  // the strand sends the rest (should the client stall on it, the answer
  // is cut off by the piece's deadline, the call no longer knowing).
  quor::Status Finish(std::string piece) override { return Put(std::move(piece), true); }

  void Abort() override {
    bool wake = false;
    {
      MutexLock lock(mutex_);
      aborted_ = true;
      queue_.clear();
      queued_ = 0;
      wake = !std::exchange(taking_, true);
    }
    if (wake) wake_();
  }

  // ---- The strand's side.

  struct Next {
    enum class Kind { Nothing, Piece, Aborted };
    Kind kind = Kind::Nothing;
    std::string piece;
    bool last = false;         // the answer's end: no more after it
    std::string contentType;   // with the first piece only
  };

  // The next piece to send. Nothing: the strand stops taking until the
  // worker wakes it; after a piece it takes again once that piece went.
  Next Take() {
    MutexLock lock(mutex_);
    Next next;
    if (aborted_) {
      next.kind = Next::Kind::Aborted;
      return next;
    }
    if (queue_.empty()) {
      taking_ = false;
      return next;
    }
    next.kind = Next::Kind::Piece;
    next.piece = std::move(queue_.front());
    queue_.pop_front();
    queued_ -= next.piece.size();
    next.last = ended_ && queue_.empty();
    if (!begun_) {
      begun_ = true;
      next.contentType = contentType_;
    }
    room_.notify_all();
    return next;
  }

  // The answer cannot go on: the worker's waits and later calls fail.
  void Fail(std::string_view why) {
    MutexLock lock(mutex_);
    if (failure_.ok()) failure_ = quor::Status(E_ABORT, std::string(why));
    room_.notify_all();
  }

  // The server stops: an answer whose end is not yet written fails (true);
  // one that only waits to be sent goes on.
  bool Stop() {
    MutexLock lock(mutex_);
    if (ended_ || aborted_) return false;
    if (failure_.ok()) failure_ = quor::Status(E_ABORT, "The server stops.");
    room_.notify_all();
    return true;
  }

 private:
  quor::Status Put(std::string piece, bool last) {
    bool wake = false;
    {
      MutexLock lock(mutex_);
      while (failure_.ok() && (queue_.size() >= kMaxPieces || queued_ >= kMaxBytes)) room_.wait(mutex_);
      if (!failure_.ok()) return failure_;
      if (ended_ || aborted_) return quor::Status(E_UNEXPECTED, "The answer has ended.");
      queued_ += piece.size();
      queue_.push_back(std::move(piece));
      ended_ = last;
      wake = !std::exchange(taking_, true);
    }
    if (wake) wake_();
    return quor::Status();
  }

  const std::function<void()> wake_;
  Mutex mutex_;
  // Signalled when the queue shrinks or the answer fails.
  std::condition_variable_any room_;
  std::deque<std::string> queue_ QUOR_GUARDED_BY(mutex_);
  size_t queued_ QUOR_GUARDED_BY(mutex_) = 0;  // bytes in queue_
  std::string contentType_ QUOR_GUARDED_BY(mutex_);
  bool begun_ QUOR_GUARDED_BY(mutex_) = false;    // the first piece was taken
  bool ended_ QUOR_GUARDED_BY(mutex_) = false;    // Finish queued the last piece
  bool aborted_ QUOR_GUARDED_BY(mutex_) = false;  // Abort: the connection is to close
  // The strand is taking (a take is posted, or a piece is being sent and it
  // takes again when it went): the worker need not wake it. Only while this
  // is false does the worker call wake_, so one take runs at a time.
  bool taking_ QUOR_GUARDED_BY(mutex_) = false;
  quor::Status failure_ QUOR_GUARDED_BY(mutex_);
};

// One client connection, from accept to close; everything here runs on the
// connection's strand (workers get copies and post back; a streamed answer
// comes through its AnswerStream, the one object both sides touch). Its deadlines:
// the first byte of a request within keepAliveSeconds (kept-alive) or the
// head within readTimeoutSeconds of the accept; a head within
// readTimeoutSeconds of its first byte; the body within readTimeoutSeconds
// plus a second per MiB declared (the body limit's allowance when chunked);
// the answer likewise by its length, a streamed one piece by piece. No
// deadline runs while a worker works, nor while a streamed answer waits for
// its call's next piece.
class Listener::Impl::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Impl& server, Socket socket)
      : server_(server), strand_(socket.get_executor()), socket_(std::move(socket)), io_(socket_, server.Tls()),
        timer_(strand_) {}

  ~Connection() {
    {
      std::lock_guard lock(server_.connectionsMutex);
      server_.connections.erase(this);
    }
    --server_.live;
  }

  // From the acceptor's strand.
  void Start() {
    {
      std::lock_guard lock(server_.connectionsMutex);
      server_.connections.insert(this);
    }
    net::dispatch(strand_, [self = shared_from_this()] { self->Begin(); });
  }

  // Posted by Stop: idle connections go now, busy ones after their answer;
  // a streamed answer whose call still writes is cut off (its call is told
  // at its next piece).
  void OnStop() {
    stopping_ = true;
    if (phase_ == Phase::Handshake || phase_ == Phase::Waiting || phase_ == Phase::Closing) return Close();
    if (stream_ && stream_->Stop() && phase_ == Phase::Streaming) Close("The server stops.");
  }

  Strand strand() const { return strand_; }

 private:
  // Streaming: a call's answer is being sent while the call runs.
  enum class Phase { Handshake, Waiting, Head, Body, Working, Writing, Streaming, Closing, Closed };

  Impl& server_;
  const Strand strand_;
  Socket socket_;
  Stream io_;  // reads and writes: socket_'s own, or TLS over it
  Timer timer_;
  uint64_t deadline_ = 0;  // the armed deadline's number; an older one that fires is ignored
  bool expired_ = false;
  bool stopping_ = false;
  bool kept_ = false;  // waiting for a further request
  bool close_ = false;
  unsigned served_ = 0;
  Phase phase_ = Phase::Waiting;
  beast::flat_buffer buffer_;
  std::optional<RequestReader> reader_;
  std::shared_ptr<const HttpRequest> request_;
  Plan pending_;  // what follows the body
  http::response<http::buffer_body> response_;
  std::optional<http::response_serializer<http::buffer_body>> serializer_;
  std::string out_;  // the part of the answer being written
  std::shared_ptr<UniqueFd> file_;
  uint64_t fileStart_ = 0;   // where in the file the answer begins
  uint64_t fileOffset_ = 0;  // how much of the answer was fetched
  uint64_t fileLength_ = 0;
  // The call under way may stream its answer through this (the worker
  // holds it too, and writes into it; this side only takes, fails and
  // stops it); streamed_ counts the bytes of the answer sent so far.
  std::shared_ptr<AnswerStream> stream_;
  uint64_t streamed_ = 0;

  milliseconds ReadTime(uint64_t bytes = 0) const { return Allowance(server_.options.readTimeoutSeconds, bytes); }

  void Arm(milliseconds after) {
    expired_ = false;
    const uint64_t number = ++deadline_;
    timer_.expires_after(after);
    timer_.async_wait([weak = weak_from_this(), number](beast::error_code ec) {
      const auto self = weak.lock();
      if (ec || !self || self->deadline_ != number) return;
      self->OnDeadline();
    });
  }

  // A request that is late is answered (Feed sees `expired_` at its next
  // step: the read under way is cancelled, none is started after); anything
  // else late just ends.
  void OnDeadline() {
    if (phase_ == Phase::Streaming) return Close("The client did not take the answer in time.");
    if (phase_ != Phase::Head && phase_ != Phase::Body) return Close();
    expired_ = true;
    beast::error_code ignored;
    socket_.cancel(ignored);
  }

  void Disarm() {
    ++deadline_;
    timer_.cancel();
  }

  // A streamed answer's call learns why at its next piece.
  void Close(std::string_view why = "The connection closed.") {
    if (phase_ == Phase::Closed) return;
    phase_ = Phase::Closed;
    if (stream_) stream_->Fail(why);
    Disarm();
    beast::error_code ignored;
    socket_.close(ignored);
  }

  void Begin() {
    if (phase_ == Phase::Closed) return;
    if (server_.stopping) stopping_ = true;
    if (stopping_) return Close();
    // The handshake, like the head, within the read time-out of the accept.
    Arm(ReadTime());
    if (TlsStream* tls = io_.Tls()) {
      phase_ = Phase::Handshake;
      tls->async_handshake(net::ssl::stream_base::server, [self = shared_from_this()](beast::error_code ec) {
        if (self->phase_ == Phase::Closed) return;
        if (ec || self->expired_ || self->stopping_) return self->Close();
        self->WaitForRequest();
      });
      return;
    }
    WaitForRequest();
  }

  // No buffer is held while nothing comes (over TLS, a read: TLS may
  // already hold the next request's bytes, where a wait on the socket would
  // not see them).
  void WaitForRequest() {
    phase_ = Phase::Waiting;
    if (io_.Tls()) {
      io_.async_read_some(buffer_.prepare(beast::read_size(buffer_, 65536)),
                          [self = shared_from_this()](beast::error_code ec, size_t n) {
                            if (self->phase_ == Phase::Closed) return;
                            self->buffer_.commit(n);
                            self->OnReadable(n > 0 ? beast::error_code() : ec);
                          });
      return;
    }
    socket_.async_wait(Socket::wait_read, [self = shared_from_this()](beast::error_code ec) { self->OnReadable(ec); });
  }

  void OnReadable(beast::error_code ec) {
    if (phase_ == Phase::Closed) return;
    if (ec || expired_ || stopping_) return Close();
    // A new connection's head counts from the accept; a further one from its first byte.
    if (kept_) Arm(ReadTime());
    ReadHead();
  }

  void ReadHead() {
    phase_ = Phase::Head;
    reader_.emplace(server_.options.maxBodyBytes);
    Feed();
  }

  // Our own read loop rather than Beast's composed reads: a deadline must
  // stop it between two reads too, which cancelling a socket cannot.
  // Feeds what is buffered to the parser and reads more until the head (in
  // Phase::Head) or the whole request (Phase::Body) is in.
  void Feed() {
    if (buffer_.size() > 0 && !reader_->Complete()) {
      const auto data = buffer_.data();
      buffer_.consume(reader_->Put({static_cast<const char*>(data.data()), data.size()}));
    }
    if (reader_->Complete() || reader_->Refusal()) return Parsed({});
    if (expired_) return Parsed(net::error::timed_out);
    // A long body is read in large pieces: each read is a trip through the
    // workers, and a 64 KB piece at a time makes a megabyte sixteen of them.
    size_t want = beast::read_size(buffer_, 65536);
    if (phase_ == Phase::Body) {
      if (const auto rest = reader_->parser().content_length_remaining(); rest && *rest > want)
        want = static_cast<size_t>(std::min<uint64_t>(*rest, kLargeRead));
    }
    io_.async_read_some(buffer_.prepare(want), [self = shared_from_this()](beast::error_code ec, size_t n) {
      if (self->phase_ == Phase::Closed) return;
      self->buffer_.commit(n);
      if (self->expired_) return self->Parsed(net::error::timed_out);
      if (ec == net::error::eof)
        return self->Parsed(self->reader_->parser().got_some() ? http::error::partial_message
                                                               : http::error::end_of_stream);
      if (ec) return self->Parsed(ec);
      self->Feed();
    });
  }

  void Parsed(beast::error_code ec) {
    if (phase_ == Phase::Head) return OnHead(ec);
    OnBody(ec);
  }

  void OnHead(beast::error_code ec) {
    if (phase_ == Phase::Closed) return;
    const auto& m = reader_->parser().get();
    const std::string_view method = View(m.method_string()), target = View(m.target());
    if (expired_) {
      if (buffer_.size() == 0 && !reader_->parser().got_some()) return Close();
      return Send(Status(408, true));
    }
    if (const int refusal = reader_->Refusal()) return Send(Status(refusal, true));
    // The client went before its head was whole: nobody to answer.
    if (ec) return Close();
    if (const int refusal = reader_->CheckHead()) return Send(Status(refusal, true));

    auto request = std::make_shared<HttpRequest>();
    request->method = std::string(method);
    const size_t question = target.find('?');
    request->path = DecodeUrl(target.substr(0, question), false);
    if (question != std::string_view::npos) {
      std::string_view query = target.substr(question + 1);
      query = query.substr(0, query.find('?'));
      for (const std::string& part : text::Split(query, '&')) {
        std::string name = DecodeUrl(std::string_view(part).substr(0, part.find('=')), true);
        if (!name.empty()) request->params.push_back(std::move(name));
      }
    }
    request->host = std::string(View(m[http::field::host]));
    request->range = std::string(View(m[http::field::range]));
    beast::error_code peerError;
    const auto peer = beast::get_lowest_layer(socket_).remote_endpoint(peerError);
    if (!peerError) request->peer = peer.address().to_string();
    request->head = request->method == "HEAD";
    if (const auto length = reader_->parser().content_length()) request->length = *length;
    request_ = std::move(request);
    Run(server_.Guarded([&] { return server_.Route(request_); }, request_->path));
  }

  void Run(Plan plan) {
    if (phase_ == Phase::Closed) return;
    // The answer went (or goes on going) through the stream, which drives
    // the connection on by itself.
    if (plan.streamed) return;
    if (plan.answer) return Send(std::move(*plan.answer));
    if (plan.withBody) return ReadBody(std::move(plan));
    if (!plan.work) return Send(Status(500, true));
    if (plan.light) return Run(server_.Guarded(plan.work, request_->path));
    phase_ = Phase::Working;
    Disarm();
    net::post(*server_.workers, [self = shared_from_this(), work = std::move(plan.work), request = request_,
                                 guard = net::make_work_guard(strand_)]() mutable {
      Plan next = self->server_.Guarded(work, request->path);
      net::post(self->strand_, [self, next = std::move(next)]() mutable { self->Run(std::move(next)); });
    });
  }

  void ReadBody(Plan plan) {
    const auto length = reader_->parser().content_length();
    // A declared length over the limit is refused before a byte of it is read.
    if (length && *length > server_.options.maxBodyBytes)
      return Send(server_.TooLarge(*request_, plan.faultEndpoint));
    pending_ = std::move(plan);
    reader_->ReadBody();
    if (reader_->Complete()) return OnBody({});
    phase_ = Phase::Body;
    Arm(ReadTime(length ? *length : server_.options.maxBodyBytes));
    const auto& m = reader_->parser().get();
    if (m.version() == 11 && text::EqualsNoCase(View(m[http::field::expect]), "100-continue")) {
      net::async_write(io_, net::buffer(kContinue.data(), kContinue.size()),
                       [self = shared_from_this()](beast::error_code ec, size_t) {
                         if (self->phase_ == Phase::Closed) return;
                         if (ec || self->expired_) return self->Close();
                         self->Feed();
                       });
      return;
    }
    Feed();
  }

  void OnBody(beast::error_code ec) {
    if (phase_ == Phase::Closed) return;
    // What is left of a body refused stays unread: the connection cannot be reused.
    if (expired_) {
      HttpAnswer a = Text(408, "408 Request Timeout: the body did not come in time\n", "text/plain");
      a.close = true;
      return Send(std::move(a));
    }
    const int refusal = reader_->Refusal();
    if (refusal == 413) return Send(server_.TooLarge(*request_, pending_.faultEndpoint));
    if (refusal == 431) return Send(Status(431, true));
    if (refusal || ec) {
      HttpAnswer a = Text(400, "400 Bad Request: the body cannot be read\n", "text/plain");
      a.close = true;
      return Send(std::move(a));
    }
    Plan then = std::exchange(pending_, Plan{});
    // Only a POST's answer may stream (HEAD never reaches a call).
    std::shared_ptr<AnswerStream> stream;
    if (then.streams && request_->method == "POST") stream_ = stream = std::make_shared<AnswerStream>(Waker());
    Plan next = Plan::Later([work = std::move(then.withBody), body = std::move(reader_->parser().get().body()),
                             stream = std::move(stream)]() mutable { return work(std::move(body), stream.get()); });
    next.light = then.light;
    Run(std::move(next));
  }

  void Send(HttpAnswer a) {
    if (phase_ == Phase::Closed) return;
    phase_ = Phase::Writing;
    const bool head = request_ && request_->head;
    if (a.status >= 400 && a.body.empty() && !a.length) {
      a.body = text::Format("%d %s\n", a.status, Reason(a.status));
      a.contentType = "text/plain";
    }
    const uint64_t length = a.length.value_or(a.body.size());
    if (a.contentType.empty() && length > 0) a.contentType = "text/plain";
    ++served_;
    // A body left unread would be taken for the next request.
    close_ = a.close || stopping_ || !reader_ || !reader_->parser().is_done() ||
             !reader_->parser().get().keep_alive() || reader_->MustClose() || served_ >= kMaxRequestsPerConnection;

    serializer_.reset();
    response_ = {};
    response_.version(11);
    response_.result(static_cast<unsigned>(a.status));
    for (const auto& [name, value] : a.headers) response_.set(name, value);
    if (!a.contentType.empty()) response_.set(http::field::content_type, a.contentType);
    if (a.status != 204) response_.content_length(length);
    if (close_) {
      response_.set(http::field::connection, "close");
    } else {
      response_.set(http::field::keep_alive, text::Format("timeout=%d, max=%u", server_.options.keepAliveSeconds,
                                                          uint64_t{kMaxRequestsPerConnection}));
      if (reader_->parser().get().version() == 10) response_.set(http::field::connection, "keep-alive");
    }
    out_ = head ? std::string() : std::move(a.body);
    file_ = head ? nullptr : std::move(a.file);
    fileStart_ = a.fileOffset;
    fileOffset_ = out_.size();
    fileLength_ = head ? out_.size() : length;
    auto& body = response_.body();
    body.data = out_.empty() ? nullptr : out_.data();
    body.size = out_.size();
    body.more = file_ && fileOffset_ < fileLength_;
    serializer_.emplace(response_);
    Arm(ReadTime(fileLength_));
    Write();
  }

  void Write() {
    http::async_write(io_, *serializer_,
                      [self = shared_from_this()](beast::error_code ec, size_t) { self->OnWrite(ec); });
  }

  void OnWrite(beast::error_code ec) {
    if (phase_ == Phase::Closed) return;
    if (ec == http::error::need_buffer) return NextChunk();
    if (ec) return Close();
    Finished();
  }

  // The next part of a file, read by a worker.
  void NextChunk() {
    out_ = std::string();
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kFileChunk, fileLength_ - fileOffset_));
    net::post(*server_.workers, [self = shared_from_this(), file = file_, offset = fileStart_ + fileOffset_, want,
                                 guard = net::make_work_guard(strand_)]() mutable {
      std::string chunk(want, '\0');
      const ssize_t n = ::pread(file->get(), chunk.data(), want, static_cast<off_t>(offset));
      chunk.resize(n > 0 ? static_cast<size_t>(n) : 0);
      net::post(self->strand_, [self, chunk = std::move(chunk)]() mutable { self->OnChunk(std::move(chunk)); });
    });
  }

  void OnChunk(std::string chunk) {
    if (phase_ == Phase::Closed) return;
    // A file that shrank under us ends the connection rather than the answer.
    if (chunk.empty()) return Close();
    out_ = std::move(chunk);
    fileOffset_ += out_.size();
    auto& body = response_.body();
    body.data = out_.data();
    body.size = out_.size();
    body.more = fileOffset_ < fileLength_;
    Write();
  }

  // ---- A streamed answer (on the strand; the call writes it on its worker)

  // Has the strand take the stream's next piece.
  std::function<void()> Waker() {
    return [weak = weak_from_this(), strand = strand_] {
      net::post(strand, [weak] {
        if (const auto self = weak.lock()) self->Pump();
      });
    };
  }

  // Sends the stream's next piece, if one is there. Runs once per wake and
  // once per piece sent, never while a piece is being sent (AnswerStream's
  // `taking_`).
  void Pump() {
    if (phase_ == Phase::Closed || !stream_) return;
    AnswerStream::Next next = stream_->Take();
    if (next.kind == AnswerStream::Next::Kind::Aborted) return Close("The answer was cut off.");
    if (next.kind == AnswerStream::Next::Kind::Nothing) return;
    if (phase_ != Phase::Streaming) BeginStream(next.contentType);
    out_ = std::move(next.piece);
    streamed_ += out_.size();
    auto& body = response_.body();
    body.data = out_.empty() ? nullptr : out_.data();
    body.size = out_.size();
    body.more = !next.last;
    // Each piece within the allowance for its length: a slow client is
    // served, one that stopped reading is cut off.
    Arm(ReadTime(out_.size()));
    http::async_write(io_, *serializer_,
                      [self = shared_from_this()](beast::error_code ec, size_t) { self->OnStreamed(ec); });
  }

  // The head of a 200 answer whose length is not known: chunked over
  // HTTP/1.1 (the connection then goes on as after any answer); over
  // HTTP/1.0, which has no chunks, the body ends with the connection.
  void BeginStream(std::string_view contentType) {
    phase_ = Phase::Streaming;
    ++served_;
    const auto& m = reader_->parser().get();
    const bool chunked = m.version() >= 11;
    close_ = !chunked || stopping_ || !reader_->parser().is_done() || !m.keep_alive() || reader_->MustClose() ||
             served_ >= kMaxRequestsPerConnection;
    serializer_.reset();
    response_ = {};
    response_.version(11);
    response_.result(http::status::ok);
    response_.set(http::field::content_type, beast::string_view(contentType.data(), contentType.size()));
    if (chunked) response_.chunked(true);
    if (close_)
      response_.set(http::field::connection, "close");
    else
      response_.set(http::field::keep_alive, text::Format("timeout=%d, max=%u", server_.options.keepAliveSeconds,
                                                          uint64_t{kMaxRequestsPerConnection}));
    serializer_.emplace(response_);
  }

  void OnStreamed(beast::error_code ec) {
    if (phase_ == Phase::Closed) return;
    if (ec == http::error::need_buffer) {
      Disarm();
      return Pump();
    }
    if (ec) return Close();
    Finished();  // the last piece (and chunk) went
  }

  // Drops what the request needed, so an idle connection holds little.
  void Release() {
    const bool big = (!file_ && out_.size() >= (1u << 20)) || streamed_ >= (1u << 20);
    stream_.reset();
    streamed_ = 0;
    serializer_.reset();
    response_ = {};
    out_ = std::string();
    // The answer and the call's many small blocks stay with malloc (in
    // pieces it cannot give back) unless trimmed; after a large answer they
    // are handed back to the system, one trim at a time.
    if (big && !server_.trimming.exchange(true))
      net::post(*server_.workers, [&server = server_] {
        malloc_trim(0);
        server.trimming = false;
      });
    file_.reset();
    reader_.reset();
    request_.reset();
    pending_ = Plan{};
  }

  void Finished() {
    Disarm();
    Release();
    if (close_ || stopping_) return Linger();
    kept_ = true;
    if (buffer_.size() > 0) {
      // Pipelined: the next head is here already.
      Arm(ReadTime());
      return ReadHead();
    }
    buffer_ = beast::flat_buffer();
    Arm(milliseconds(int64_t{server_.options.keepAliveSeconds} * 1000));
    WaitForRequest();
  }

  // Sends our end (over TLS, close_notify first, which waits for the
  // client's), then reads and drops what the client still sends until it
  // closes or kLinger passes.
  void Linger() {
    Release();
    phase_ = Phase::Closing;
    buffer_ = beast::flat_buffer();
    Arm(stopping_ ? milliseconds(100) : kLinger);
    if (TlsStream* tls = io_.Tls()) {
      tls->async_shutdown([self = shared_from_this()](beast::error_code) {
        if (self->phase_ == Phase::Closed) return;
        self->EndSending();
      });
      return;
    }
    EndSending();
  }

  void EndSending() {
    beast::error_code ignored;
    socket_.shutdown(Socket::shutdown_send, ignored);
    Drain();
  }

  void Drain() {
    socket_.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](beast::error_code ec, size_t) {
      if (self->phase_ == Phase::Closed) return;
      if (ec) return self->Close();
      self->Drain();
    });
  }
};

// A connection over the cap: 503 (over TLS after the handshake), our end
// closed, the rest read and dropped; a second at most for all of it. At most
// maxConnections at once (see Full).
class Listener::Impl::Refusal : public std::enable_shared_from_this<Refusal> {
 public:
  Refusal(Impl& server, Socket socket)
      : server_(server), socket_(std::move(socket)), io_(socket_, server.Tls()), timer_(socket_.get_executor()) {
    ++server_.refusing;
  }
  ~Refusal() { --server_.refusing; }

  void Start() {
    net::dispatch(socket_.get_executor(), [self = shared_from_this()] {
      self->timer_.expires_after(seconds(1));
      self->timer_.async_wait([self](beast::error_code ec) {
        beast::error_code ignored;
        if (!ec) self->socket_.close(ignored);
      });
      if (TlsStream* tls = self->io_.Tls()) {
        tls->async_handshake(net::ssl::stream_base::server, [self](beast::error_code ec) {
          if (ec) return self->Done();
          self->Answer();
        });
        return;
      }
      self->Answer();
    });
  }

 private:
  void Answer() {
    net::async_write(io_, net::buffer(kBusy.data(), kBusy.size()), [self = shared_from_this()](beast::error_code ec,
                                                                                               size_t) {
      if (ec) return self->Done();
      if (TlsStream* tls = self->io_.Tls())
        return tls->async_shutdown([self](beast::error_code) { self->EndSending(); });
      self->EndSending();
    });
  }
  void EndSending() {
    beast::error_code ignored;
    socket_.shutdown(Socket::shutdown_send, ignored);
    Drain();
  }
  void Drain() {
    socket_.async_read_some(net::buffer(scratch_), [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->Done();
      self->Drain();
    });
  }
  void Done() {
    beast::error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
  }

  Impl& server_;
  Socket socket_;
  Stream io_;
  Timer timer_;
  std::array<char, 512> scratch_{};
};

void Listener::Impl::Accept() {
  acceptor.async_accept(NextExecutor(),
                        [this](beast::error_code ec, Socket socket) { OnAccept(ec, std::move(socket)); });
}

// On acceptStrand.
void Listener::Impl::OnAccept(beast::error_code ec, Socket socket) {
  if (!acceptor.is_open() || ec == net::error::operation_aborted) return;
  if (ec) {
    // Out of descriptors or memory: wait a little rather than spin; clients
    // wait in the backlog meanwhile.
    acceptRetry.expires_after(milliseconds(50));
    acceptRetry.async_wait([this](beast::error_code e) {
      if (!e && acceptor.is_open()) Accept();
    });
    return;
  }
  Admit(std::move(socket));
  // The rest of the backlog now: one accept per turn of the I/O queue would
  // keep a burst of new clients waiting behind every busy connection's work.
  for (size_t i = 0; i < kAcceptBatch && !Full(); ++i) {
    Socket next = acceptor.accept(NextExecutor(), ec);  // non-blocking: would_block when empty
    if (ec) break;
    Admit(std::move(next));
  }
  if (Full()) return WaitForRoom();
  Accept();
}

// On acceptStrand. Only the acceptor adds to `live` and `refusing`, so
// neither can pass its bound between Full() and the accept after it.
bool Listener::Impl::Full() const {
  return live.load() >= options.maxConnections && refusing.load() >= options.maxConnections;
}

// Nothing is accepted while Full(): the clients wait in the listen backlog
// and are answered in turn (a 503 at least) rather than dropped unanswered.
void Listener::Impl::WaitForRoom() {
  acceptRetry.expires_after(kRoomPoll);
  acceptRetry.async_wait([this](beast::error_code e) {
    if (e || !acceptor.is_open()) return;
    if (Full()) return WaitForRoom();
    Accept();
  });
}

void Listener::Impl::Admit(Socket socket) {
  CloseOnExec(socket.native_handle());
  beast::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  if (live.load() < options.maxConnections) {
    ++live;
    std::make_shared<Connection>(*this, std::move(socket))->Start();
  } else {
    std::make_shared<Refusal>(*this, std::move(socket))->Start();
  }
}

void Listener::Impl::Stop() {
  if (stopping.exchange(true)) return;
  net::post(acceptStrand, [this] {
    beast::error_code ignored;
    acceptor.close(ignored);
    acceptRetry.cancel();
    // Each context now ends when its last connection has.
    for (auto& guard : running) guard.reset();
  });
  std::lock_guard lock(connectionsMutex);
  for (Connection* c : connections)
    net::post(c->strand(), [weak = c->weak_from_this()] {
      if (const auto self = weak.lock()) self->OnStop();
    });
}

Listener::Listener(ListenerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Listener::~Listener() = default;

const ListenerOptions& Listener::Options() const { return impl_->options; }

int Listener::Port() const { return impl_->port; }

bool Listener::LoadTls(std::string& error) {
  Impl& impl = *impl_;
  if (impl.options.tlsCert.empty() || impl.tls) return true;
  impl.tls = TlsContext(impl.options, error);
  return impl.tls.has_value();
}

bool Listener::Bind(std::string& error) {
  Impl& impl = *impl_;
  const ListenerOptions& o = impl.options;
  if (!LoadTls(error)) return false;
  // In site mode the folders come from the site configuration.
  if (!o.resourceDir.empty() && o.site == 0) {
    impl.resourceRoot.Reset(::open(o.resourceDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!impl.resourceRoot.valid()) {
      error = text::Format("The resource folder \"%s\" cannot be opened: %s", o.resourceDir.string(),
                           std::strerror(errno));
      return false;
    }
  }
  beast::error_code ec;
  tcp::resolver resolver(impl.ioc);
  const auto endpoints = resolver.resolve(o.address, std::to_string(o.port),
                                          tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  for (const auto& entry : endpoints) {
    auto& acceptor = impl.acceptor;
    beast::error_code ignored;
    acceptor.close(ignored);
    acceptor.open(entry.endpoint().protocol(), ec);
    if (ec) continue;
    CloseOnExec(acceptor.native_handle());
    // Address reuse for quick restarts, but never a port shared with another
    // running listener (no SO_REUSEPORT).
    acceptor.set_option(net::socket_base::reuse_address(true), ignored);
    acceptor.bind(entry.endpoint(), ec);
    if (!ec) acceptor.listen(Backlog(), ec);
    if (!ec) acceptor.non_blocking(true, ec);
    if (ec) continue;
    impl.port = acceptor.local_endpoint(ec).port();
    if (!ec) return true;
  }
  if (!ec) ec = net::error::host_not_found;
  beast::error_code ignored;
  impl.acceptor.close(ignored);
  error = text::Format("Cannot listen on %s port %d: %s", o.address, o.port, ec.message());
  impl.port = -1;
  return false;
}

bool Listener::Run() {
  Impl& impl = *impl_;
  if (impl.port <= 0) return false;
  impl.log.Report(eventlog::EventType::Information, 1,
                  {text::Format("listening on %s:%d", impl.options.address, impl.port)});
  impl.workers.emplace(impl.options.threads ? impl.options.threads : DefaultWorkers());
  impl.Accept();
  std::vector<std::thread> io;
  for (size_t i = 1; i < impl.ioThreads; ++i)
    io.emplace_back([&impl, i] { impl.RunIo(*impl.contexts[i]); });
  impl.RunIo(impl.ioc);
  for (std::thread& t : io) t.join();
  impl.workers->join();
  impl.log.Report(eventlog::EventType::Information, 2, {"stopped (normally)"});
  return true;
}

void Listener::Stop() { impl_->Stop(); }

}  // namespace quor::soap
