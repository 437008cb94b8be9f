#include "platform/soap/http_client.h"

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <signal.h>

#include <algorithm>
#include <mutex>

#include "platform/com/errorinfo.h"
#include "platform/text/text.h"
#include "platform/text/url.h"

namespace quor::soap {

namespace {

constexpr std::u16string_view kSource = u"QuorHttpClient";

void IgnoreSigpipeOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) ::signal(SIGPIPE, SIG_IGN);
  });
}

Result<HttpUrl> CheckUrl(std::string_view url) {
  const auto invalid = [&](std::string_view why) {
    return Status(kHttpInvalidUrl, text::Format("The URL \"%s\" %s", url, why));
  };
  HttpUrl out;
  const std::optional<text::UrlParts> parts = text::SplitUrl(url);
  if (!parts) return Status(kHttpInvalidUrl, text::Format("\"%s\" is not an http:// or https:// URL.", url));
  out.tls = text::EqualsNoCase(parts->scheme, "https");
  if (!out.tls && !text::EqualsNoCase(parts->scheme, "http"))
    return Status(kHttpUnsupportedScheme,
                  text::Format("The scheme of \"%s\" is not supported; only http:// and https:// are.", url));
  if (out.tls) out.port = 443;
  if (url.find_first_of(" \t\r\n#") != std::string_view::npos) return invalid("holds white space or a fragment.");
  if (parts->authority.find('@') != std::string_view::npos) return invalid("holds user information.");
  const std::optional<text::HostPort> host = text::SplitHostPort(parts->authority);
  if (!host) return invalid("has a malformed IPv6 address.");
  out.host = std::string(host->host);
  if (out.host.empty()) return invalid("names no host.");
  if (host->hasPort) {
    const std::optional<uint16_t> port = text::ParsePort(host->port);
    if (!port)
      return Status(kHttpInvalidUrl, text::Format("The port of \"%s\" is not a number from 1 to 65535.", url));
    out.port = *port;
  }
  out.target.clear();
  if (parts->rest.empty() || parts->rest.starts_with('?')) out.target = '/';
  out.target.append(parts->rest);
  return out;
}

// The thread's latest OpenSSL reason (the queue emptied), or "".
std::string OpenSslReason() {
  const unsigned long last = ERR_peek_last_error();
  ERR_clear_error();
  const char* reason = last ? ERR_reason_error_string(last) : nullptr;
  return reason ? reason : "";
}

}  // namespace

Result<HttpUrl> ParseHttpUrl(std::string_view url) { return CheckUrl(url); }

struct HttpClient::Impl {
  Options options;
  std::string caFile;
  bool tls = false;
  std::string host;
  uint16_t port = 0;
  std::unique_ptr<httplib::ClientImpl> client;
  httplib::SSLClient* secure = nullptr;  // `client`, when it speaks https
  bool served = false;  // `client`'s kept-alive connection has carried an answer

  httplib::ClientImpl& For(const HttpUrl& url) {
    if (!client || tls != url.tls || host != url.host || port != url.port) {
      secure = nullptr;
      served = false;
      if (url.tls) {
        auto ssl = std::make_unique<httplib::SSLClient>(url.host, url.port);
        // Always verified (the library's default, stated rather than assumed).
        ssl->enable_server_certificate_verification(true);
        if (!caFile.empty()) ssl->set_ca_cert_path(caFile);
        secure = ssl.get();
        client = std::move(ssl);
      } else {
        client = std::make_unique<httplib::ClientImpl>(url.host, url.port);
      }
      tls = url.tls;
      host = url.host;
      port = url.port;
      const auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(options.timeout);
      client->set_connection_timeout(timeout);
      client->set_read_timeout(timeout);
      client->set_write_timeout(timeout);
      client->set_keep_alive(options.keepAlive);
      // Header and body go out as separate writes: without this, small
      // requests wait for the peer's delayed acknowledgement.
      client->set_tcp_nodelay(true);
      client->set_follow_location(false);
      client->set_url_encode(false);
    }
    return *client;
  }

  // Sends `request` (its method and headers set; the path is the URL's) and
  // hands the answer to `receiver` as it arrives.
  Status Exchange(std::string_view url, httplib::Request request, const HttpReceiver& receiver) {
    using Clock = std::chrono::steady_clock;
    Result<HttpUrl> checked = CheckUrl(url);
    HRESULT hr = checked.status().code();
    std::string error = checked.status().message();
    if (checked.ok()) {
      const HttpUrl& parsed = *checked;
      // What the answer did so far, for a failure's text.
      bool headSeen = false, stopped = false;
      HttpHead head;
      uint64_t received = 0;
      Clock::time_point lastData = Clock::now();
      request.path = parsed.target;
      request.response_handler = [&](const httplib::Response& r) {
        lastData = Clock::now();
        headSeen = true;
        head = HeadOf(r);
        if (receiver.head && !receiver.head(head)) stopped = true;
        return !stopped;
      };
      request.content_receiver = [&](const char* data, size_t n, uint64_t, uint64_t) {
        lastData = Clock::now();
        received += n;
        if (receiver.body && !receiver.body(std::string_view(data, n))) stopped = true;
        return !stopped;
      };
      // The library ends a chunked body early, as if whole, when a chunk is
      // not followed by its line end: a broken frame, which callers that
      // check what they read (an envelope, a response key) still refuse.
      ERR_clear_error();
      httplib::Response response;
      httplib::Error e = httplib::Error::Success;
      const bool reused =
          client && served && tls == parsed.tls && host == parsed.host && port == parsed.port;
      bool sent = For(parsed).send(request, response, e);
      if (!sent && !stopped && reused && !headSeen && (e == httplib::Error::Read || e == httplib::Error::Write) &&
          Clock::now() - lastData < options.timeout) {
        // The server closed the kept-alive connection, idle to it, as the
        // request went: nothing of an answer came, so the request was not
        // taken. Once more, on a connection of its own.
        client.reset();
        secure = nullptr;
        ERR_clear_error();
        response = httplib::Response();
        e = httplib::Error::Success;
        lastData = Clock::now();
        sent = For(parsed).send(request, response, e);
      }
      if (sent && !stopped) {
        if (!options.keepAlive) {
          client.reset();
          secure = nullptr;
        } else {
          served = true;
        }
        return Status();
      }
      // Each wait for data has the time-out, so only the last one tells.
      const bool late = Clock::now() - lastData >= options.timeout;
      const auto ms = static_cast<int64_t>(options.timeout.count());
      if (stopped || e == httplib::Error::Canceled) {
        hr = E_ABORT;
        error = text::Format("%s %s was stopped by the reader of its answer", request.method, url);
      } else if (headSeen && (e == httplib::Error::Read || e == httplib::Error::Unknown)) {
        // The head came, the body did not come whole.
        const std::string end = head.chunked        ? std::string(", before its last chunk")
                                : head.contentLength ? text::Format(", before its %d bytes", *head.contentLength)
                                                     : std::string();
        hr = late ? kHttpTimeout : kHttpConnectionAborted;
        error = late ? text::Format("%s %s failed: the answer stalled, nothing came for %d ms after %d bytes of "
                                    "its body",
                                    request.method, url, ms, received)
                     : text::Format("%s %s failed: the answer was cut off after %d bytes of its body%s",
                                    request.method, url, received, end);
      } else {
        switch (e) {
          case httplib::Error::Connection: hr = kHttpCannotConnect; break;
          case httplib::Error::ConnectionTimeout: hr = kHttpTimeout; break;
          case httplib::Error::Read: hr = late ? kHttpTimeout : kHttpConnectionAborted; break;
          case httplib::Error::Write: hr = late ? kHttpTimeout : kHttpConnectionAborted; break;
          case httplib::Error::SSLConnection:
          case httplib::Error::SSLLoadingCerts:
          case httplib::Error::SSLServerVerification: hr = kHttpSecureFailure; break;
          default: hr = kHttpInvalidResponse; break;
        }
        if (hr == kHttpSecureFailure)
          error = text::Format("%s %s failed: %s", request.method, url, SecureFailure(e, parsed));
        else
          error = text::Format("%s %s failed: %s%s", request.method, url, httplib::to_string(e),
                               hr == kHttpTimeout ? text::Format(" (no answer within %d ms)", ms) : std::string());
      }
      ERR_clear_error();
      // A broken or abandoned connection is not reused.
      client.reset();
      secure = nullptr;
    }
    // The object this client stands in for told its callers through the
    // thread's error information too.
    com::RaiseError(hr, com::Bstr(kSource), com::Bstr::FromUtf8(error));
    return Status(hr, std::move(error));
  }

  // The whole answer.
  Result<HttpReply> Collect(std::string_view url, httplib::Request request) {
    HttpReply got;
    const HttpReceiver receiver{
        .head =
            [&](const HttpHead& head) {
              got.status = head.status;
              got.contentType = head.contentType;
              // A stated length is trusted only so far before any of it came.
              if (head.contentLength) got.body.reserve(std::min<uint64_t>(*head.contentLength, 1u << 20));
              return true;
            },
        .body =
            [&](std::string_view piece) {
              got.body.append(piece);
              return true;
            },
    };
    QUOR_RETURN_IF_ERROR(Exchange(url, std::move(request), receiver));
    return got;
  }

  static HttpHead HeadOf(const httplib::Response& r) {
    HttpHead head;
    head.status = r.status;
    head.contentType = r.get_header_value("Content-Type");
    head.chunked = text::EqualsNoCase(r.get_header_value("Transfer-Encoding"), "chunked");
    if (!head.chunked && r.has_header("Content-Length"))
      head.contentLength = text::ParseUInt64(r.get_header_value("Content-Length"));
    return head;
  }

  // What went wrong with TLS, in words.
  std::string SecureFailure(httplib::Error e, const HttpUrl& url) const {
    if (e == httplib::Error::SSLLoadingCerts)
      return caFile.empty() ? std::string("the system's trusted CA certificates cannot be loaded")
                            : text::Format("the CA file \"%s\" cannot be loaded", caFile);
    if (e == httplib::Error::SSLServerVerification) {
      const long result = secure ? secure->get_openssl_verify_result() : X509_V_OK;
      if (result != X509_V_OK)
        return text::Format("the server's certificate is not trusted: %s", X509_verify_cert_error_string(result));
      return text::Format("the server's certificate does not name the host \"%s\"", url.host);
    }
    const std::string reason = OpenSslReason();
    return "the TLS handshake failed" + (reason.empty() ? std::string() : " (" + reason + ")");
  }
};

HttpClient::HttpClient() : HttpClient(Options{}) {}

HttpClient::HttpClient(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = options;
  IgnoreSigpipeOnce();
}

HttpClient::~HttpClient() = default;

void HttpClient::SetCaFile(std::string_view caFile) {
  if (impl_->caFile == caFile) return;
  impl_->caFile = caFile;
  // The next call connects anew with it.
  impl_->client.reset();
  impl_->secure = nullptr;
}

void HttpClient::SetTimeout(std::chrono::milliseconds timeout) {
  if (impl_->options.timeout == timeout) return;
  impl_->options.timeout = timeout;
  impl_->client.reset();
  impl_->secure = nullptr;
}

namespace {

httplib::Request PostRequest(std::string_view body, std::string_view contentType) {
  httplib::Request request;
  request.method = "POST";
  request.headers.emplace("Content-Type", std::string(contentType));
  request.body.assign(body);
  return request;
}

}  // namespace

Result<HttpReply> HttpClient::Post(std::string_view url, std::string_view body, std::string_view contentType) {
  return impl_->Collect(url, PostRequest(body, contentType));
}

Status HttpClient::Post(std::string_view url, std::string_view body, const HttpReceiver& receiver,
                        std::string_view contentType) {
  return impl_->Exchange(url, PostRequest(body, contentType), receiver);
}

Result<HttpReply> HttpClient::Get(std::string_view url) {
  httplib::Request request;
  request.method = "GET";
  return impl_->Collect(url, std::move(request));
}

}  // namespace quor::soap
