// The HTTP client in the XML HTTP request object's role: a synchronous POST
// (or GET) of a text body to an "http://host[:port]/path" or
// "https://host[:port]/path" URL, reading the status and the body.
//
// Over https the server's certificate must chain to a trusted CA (the CA
// file given, else the system's trust store) and name the URL's host (a DNS
// name, or an IP address in its alternative names); anything less fails the
// call with kHttpSecureFailure and a text naming what was wrong. There is no
// way to skip the check.
//
// A call succeeds as soon as a complete HTTP response arrived, whatever its
// status (a SOAP fault comes with 500): the caller reads the status. A
// transport failure is one of the statuses below, its message saying what
// failed; the thread's error information holds the same text. A body that
// ends short of its Content-Length or of its last chunk is such a failure
// (kHttpConnectionAborted), never a shorter answer.
//
// The time-out bounds connecting and every wait for data (sending or
// receiving), not the whole call: an answer that keeps coming may take
// longer in all. One client keeps its connection to the last host open
// between calls (keep-alive) unless told not to. A client is for one thread
// at a time; use one per thread.
//
// A process that uses the client does not die of SIGPIPE when a server
// drops the connection: the first client sets SIGPIPE to be ignored when it
// still has its default action.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/com/status.h"

namespace quor::soap {

// The platform's numbers for HTTP transport failures, as statuses.
inline constexpr HRESULT kHttpTimeout = HRESULT_FROM_WIN32(12002);           // no answer in time
inline constexpr HRESULT kHttpInvalidUrl = HRESULT_FROM_WIN32(12005);        // the URL cannot be read
inline constexpr HRESULT kHttpUnsupportedScheme = HRESULT_FROM_WIN32(12006); // not "http://" nor "https://"
inline constexpr HRESULT kHttpCannotConnect = HRESULT_FROM_WIN32(12029);     // refused or unreachable
inline constexpr HRESULT kHttpConnectionAborted = HRESULT_FROM_WIN32(12030); // dropped in the middle
inline constexpr HRESULT kHttpInvalidResponse = HRESULT_FROM_WIN32(12152);   // not an HTTP response
inline constexpr HRESULT kHttpSecureFailure = HRESULT_FROM_WIN32(12175);     // TLS failed or certificate refused

struct HttpUrl {
  bool tls = false;  // https
  std::string host;  // without brackets for an IPv6 address
  uint16_t port = 80;  // 443 for https unless given
  std::string target = "/";  // path and query, as sent in the request line
};

// Reads "http[s]://host[:port][/path[?query]]". kHttpUnsupportedScheme when
// the scheme is not http or https (any case); kHttpInvalidUrl when the host
// is missing, the port is not a number from 1 to 65535, or the URL holds user
// information, white space or a fragment; each with the reason.
Result<HttpUrl> ParseHttpUrl(std::string_view url);

struct HttpReply {
  int status = 0;           // 200, 500, ...
  std::string contentType;  // as the server sent it; may be empty
  std::string body;
};

// An answer's status line and headers, handed over before its body.
struct HttpHead {
  int status = 0;
  std::string contentType;                // as the server sent it; may be empty
  bool chunked = false;                   // Transfer-Encoding: chunked
  std::optional<uint64_t> contentLength;  // when given and the body is not chunked
  // Neither chunked nor of a given length: the body ends when the server
  // closes the connection.
  bool Unsized() const { return !chunked && !contentLength; }
};

// Where a streamed answer goes: the head once, then the body's pieces in
// order (framing removed; none for an empty body). Either may answer false
// to stop the call, which then fails with E_ABORT and drops the connection.
struct HttpReceiver {
  std::function<bool(const HttpHead&)> head;
  std::function<bool(std::string_view piece)> body;
};

class HttpClient {
 public:
  struct Options {
    std::chrono::milliseconds timeout{30000};
    bool keepAlive = true;
  };

  HttpClient();
  explicit HttpClient(Options options);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The CA certificates (a PEM file) that https servers must chain to, for
  // the calls from now on; empty (the default): the system's trust store.
  void SetCaFile(std::string_view caFile);
  // The time-out for the calls from now on.
  void SetTimeout(std::chrono::milliseconds timeout);

  // Sends `body` with `contentType` and no other header of ours (no
  // SOAPAction).
  Result<HttpReply> Post(std::string_view url, std::string_view body,
                         std::string_view contentType = "text/xml; charset=utf-8");
  // The same request, its answer handed to `receiver` as it arrives and
  // never held here. Success only once the whole body arrived: a failure
  // after pieces were handed over (cut short, stalled past the time-out)
  // voids them, and the receiver must drop what it got.
  Status Post(std::string_view url, std::string_view body, const HttpReceiver& receiver,
              std::string_view contentType = "text/xml; charset=utf-8");
  Result<HttpReply> Get(std::string_view url);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quor::soap
