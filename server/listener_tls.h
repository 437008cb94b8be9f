// The server's TLS context, made from the certificate chain and private key
// the options name.
#pragma once

#include <optional>
#include <string>

#include <boost/asio/ssl/context.hpp>

#include "server/listener_options.h"

namespace quor::soap::detail {

// TLS 1.2 at least, without renegotiation; the chain (PEM, the server's
// certificate first) and the unencrypted key that must belong to it. None,
// with the reason in `error`, when a file cannot be used or they do not match.
std::optional<boost::asio::ssl::context> TlsContext(const ListenerOptions& o, std::string& error);

}  // namespace quor::soap::detail
