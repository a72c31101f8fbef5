#pragma once

// How the client's TLS is set up: the context every connection shares, and the peer-name check of
// one connection. OpenSSL only (no Asio), so it can be tested with in-memory handshakes.

#include <openssl/ssl.h>

#include <optional>
#include <string>

namespace mirelo::services::network::tls {

// The protocol spoken over every connection, offered by ALPN.
inline constexpr const char* kProtocol = "http/1.1";

// Peer verification against the system store (OpenSSL's default paths, so SSL_CERT_FILE and
// SSL_CERT_DIR work as OpenSSL defines them), TLS 1.2 at least, security level 2 (no SHA-1
// signatures, no RSA keys under 2048 bits) whatever the system's configuration says, TLS 1.2 only
// with ECDHE key exchange and AEAD ciphers, ALPN "http/1.1" offered.
void configureContext(SSL_CTX* context);

// SNI for a host name (never for an address); the certificate must name `host` in its
// subjectAltName: a DNS entry for a name (a wildcard only as the whole left-most label, the
// subject's CN never looked at), an IP entry for an address.
void configurePeer(SSL* ssl, const std::string& host);

// A clear message when a failed handshake or a first response that is no HTTP/1.1 means the
// server speaks none of the protocols we offer, nullopt otherwise. `error` is the handshake's
// OpenSSL error (0 when it succeeded), `first` the first bytes the server sent after it.
std::optional<std::string> protocolFailure(SSL* ssl, unsigned long error, std::string_view first);

}  // namespace mirelo::services::network::tls
