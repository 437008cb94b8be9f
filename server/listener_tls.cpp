#include "server/listener_tls.h"

#include <cstdint>
#include <cstring>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "platform/text/text.h"

namespace quor::soap::detail {

namespace {

namespace net = boost::asio;

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

}  // namespace

Result<net::ssl::context> TlsContext(const ListenerOptions& o) {
  net::ssl::context context(net::ssl::context::tls_server);
  SSL_CTX* native = context.native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  context.set_options(net::ssl::context::default_workarounds | net::ssl::context::no_compression |
                      net::ssl::context::single_dh_use);
  // A client could otherwise have the server redo the costly handshake at will.
  SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_default_passwd_cb(native, NoPassphrase);
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(native, o.tlsCert.c_str()) != 1)
    return Status(E_FAIL, text::Format("The TLS certificate file \"%s\" cannot be used: %s", o.tlsCert.string(),
                                       OpenSslReason()));
  bool mismatch = false;
  if (SSL_CTX_use_PrivateKey_file(native, o.tlsKey.c_str(), SSL_FILETYPE_PEM) == 1) {
    mismatch = SSL_CTX_check_private_key(native) != 1;
    ERR_clear_error();
  } else if (const std::string reason = OpenSslReason(&mismatch); !mismatch) {
    return Status(E_FAIL,
                  text::Format("The TLS private key file \"%s\" cannot be used: %s", o.tlsKey.string(), reason));
  }
  if (mismatch)
    return Status(E_FAIL, text::Format("The TLS private key \"%s\" does not belong to the certificate \"%s\".",
                                       o.tlsKey.string(), o.tlsCert.string()));
  return context;
}

}  // namespace quor::soap::detail
