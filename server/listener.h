// The SOAP listener: one long-lived HTTP/1.1 server (quor-server) that
// turns POSTs on its endpoints into component calls (dispatcher.h), serves
// their service descriptions and a read-only resource folder.
//
// Routes (paths compare without case, as the web server's do):
//   POST <endpoint>                 a SOAP call: 200 with the answer, or 500
//                                   with a SOAP fault (SOAP 1.1's HTTP
//                                   binding); any content type is accepted.
//                                   A result the component streams and that
//                                   passes Dispatcher::kStreamAfter leaves
//                                   as it comes: chunked over HTTP/1.1,
//                                   over HTTP/1.0 without a length and
//                                   ended by the close; a failure after it
//                                   began cuts it off (no last chunk, the
//                                   connection closed)
//   GET  <endpoint>?wsdl            the endpoint's WSDL (text/xml)
//   GET  <endpoint less .sod>.wsdl  the same ("/QuorService/QuorServiceCore.wsdl")
//   GET  <endpoint>                 405 (Allow: POST)
//   GET  <resource-url>/<path>      a file below the resource folder: no
//                                   "." or ".." segment, no backslash, no
//                                   symbolic link followed (403), regular
//                                   files only (404 otherwise); HEAD too,
//                                   and one byte range (206, or 416)
//   GET/POST /quor-bench/fixed      with --bench-route only: a fixed SOAP
//                                   answer, for measuring the transport
//                                   alone next to real calls
//   anything else                   404
//
// With --site N the listener serves by the site configuration instead
// (platform/webconfig): a path "/<virtual directory>/<rest>" maps to that
// directory's folder; the last segment's extension picks a script map
// (".sod": a SOAP call, the component chosen by the endpoint table when it
// lists the path, else by the file name; ".wsdl": the description of the
// matching ".sod"), whose flags and verbs are enforced: with the
// file-exists flag the request's file must be a plain file in the folder
// (found as the resource folder's walk finds it, though names compare
// without case; 404 when missing, 403 when refused), checked before the
// verb; a verb not in the map's list gets 405 with Allow. Without a
// map: GET/HEAD of a file in the folder (the same walk as the resource
// folder's) and PUT below a folder the configuration marks writable (403
// elsewhere). The file is looked at on every request and read again when it
// changed; a file that cannot be read keeps the last good configuration. A
// new unload count drops the component classes the listener holds.
// Every byte a client sends counts against a limit (http_request.h), and
// each refusal is an answer with Connection: close, never a silent close:
//   - a request line over 8 KiB gets 414, a header line over 8 KiB or a head
//     over 64 KiB 400;
//   - a body over the limit gets 413 (with a SOAP fault as its body on an
//     endpoint): a declared length before the body is read, a chunked body
//     as soon as its chunk data and chunk extensions together pass it;
//   - a chunk's size line (size, extensions, CRLF) over 4 KiB gets 400;
//     trailers over what the head left of its 64 KiB get 431;
//   - Transfer-Encoding other than "chunked" alone (any case, white space
//     around it allowed) gets 501 before any route sees the request; both
//     Transfer-Encoding and Content-Length get 400. HTTP/1.0 with
//     Transfer-Encoding is served, then the connection closes.
//
// With --tls-cert and --tls-key the listener speaks HTTPS only (TLS 1.2 or
// later), on every route alike. The TLS handshake counts against the head's
// deadline (from the accept), and a connection that closes after its answer
// sends TLS's close_notify before its end of the TCP connection.
//
// Serving: one I/O thread per core carries the connections without
// blocking, so idle and slow clients cost no thread; component calls, the
// site configuration and file work run on a pool of workers (--threads) and
// their answers go back to the connection. Deadlines are totals, not per
// read: a request's head must arrive within the read time-out of its first
// byte (of the accept, on a new connection), else 408 and the connection
// closes; its body within the read time-out plus a second per MiB declared
// (a chunked one gets the body limit's allowance), else 408; an answer must
// be taken within the same allowance for its length (a streamed answer's
// each piece within the allowance for that piece; while the call computes
// its next piece no deadline runs, and at most a few pieces wait for the
// client, the call waiting meanwhile). A kept-alive connection
// with no next request closes after the keep-alive time. Connections beyond
// maxConnections get 503 and are closed (a second at most each, less when
// the client closes on reading it). At most maxConnections refusals are
// under way at once; while that many are and the cap is full, nothing more
// is accepted, so further clients wait in the listen backlog and are
// answered in turn, and descriptors stay within twice the cap. Past the
// backlog (net.core.somaxconn) the kernel drops their connection attempts
// and the clients retry.
//
// Problems go to the event log under the source "QuorServer": 1 started
// (information), 2 stopped, 20 malformed request (warning), 21 component not
// created (error), 22 exception in a call (error), 23 resource refused
// (warning), 24 body too large (warning), 25 site configuration refused
// (warning), 26 site applications unloaded (information), 27 a streamed
// answer cut off by a failure after it began (error: endpoint, method,
// reason and status).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "server/listener_options.h"

namespace quor::soap {

inline constexpr std::string_view kBenchRoutePath = "/quor-bench/fixed";

class Listener {
 public:
  explicit Listener(ListenerOptions options);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Reads the TLS certificate chain and private key the options name (none:
  // nothing to do) and checks that they belong together; the failure says
  // why. Bind does it when it was not done before.
  quor::Status LoadTls();
  // Opens the resource folder and binds the address; the failure says why.
  quor::Status Bind();
  // The bound port (after Bind).
  int Port() const;
  const ListenerOptions& Options() const;
  // Serves until Stop; false when serving could not start.
  bool Run();
  // Stops Run (from any thread; a stop before Run starts makes Run return
  // at once): no new connections, idle ones closed, requests under way
  // answered (with Connection: close) before Run returns. A streamed answer
  // whose call still writes is cut off at once (the call fails at its next
  // piece); one whose call has finished is sent to its end.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quor::soap
