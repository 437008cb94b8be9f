// The server's TLS context, made from the certificate chain and private key
// the options name.
#pragma once

#include <boost/asio/ssl/context.hpp>

#include "platform/com/status.h"
#include "server/listener_options.h"

namespace quor::soap::detail {

// TLS 1.2 at least, without renegotiation; the chain (PEM, the server's
// certificate first) and the unencrypted key that must belong to it. E_FAIL
// with the reason when a file cannot be used or they do not match.
Result<boost::asio::ssl::context> TlsContext(const ListenerOptions& o);

}  // namespace quor::soap::detail
