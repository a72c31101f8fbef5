// The client's TLS setup: what every connection is verified against and what it offers, and the
// peer-name check of each connection. Runs once per context and once per connection; costs
// nothing per byte.
#include "tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <cstring>

namespace mirelo::services::network::tls {
namespace {

// TLS 1.2 suites with forward secrecy and authenticated encryption only; TLS 1.3's are all so.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

bool isAddress(const std::string& host) {
  unsigned char bytes[16];
  return inet_pton(AF_INET, host.c_str(), bytes) == 1 || inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

// A verification that fails whatever the peer presents: what a connection gets when its name
// could not be set up, so that it never goes unchecked.
int refuseAll(int, X509_STORE_CTX*) { return 0; }

// The first bytes an HTTP/2 server sends: its SETTINGS frame (or a GOAWAY), on stream 0.
bool looksLikeHttp2(std::string_view first) {
  if (first.size() < 9) return false;
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(first[i]); };
  const bool stream0 = (byte(5) & 0x7f) == 0 && byte(6) == 0 && byte(7) == 0 && byte(8) == 0;
  return stream0 && (byte(3) == 0x04 || byte(3) == 0x07);
}

}  // namespace

void configureContext(SSL_CTX* context) {
  SSL_CTX_set_default_verify_paths(context);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // An OPENSSL_CONF lowering the level must not let weak keys or SHA-1 signatures through.
  SSL_CTX_set_security_level(context, 2);
  SSL_CTX_set_cipher_list(context, kTls12Ciphers);
  const size_t length = std::strlen(kProtocol);
  unsigned char wire[16];
  wire[0] = static_cast<unsigned char>(length);
  std::memcpy(wire + 1, kProtocol, length);  // NOLINT(bugprone-not-null-terminated-result): length-prefixed
  SSL_CTX_set_alpn_protos(context, wire, static_cast<unsigned>(length + 1));
}

void configurePeer(SSL* ssl, const std::string& host) {
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  // Names come from the subjectAltName only; "a*.example" matches nothing.
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  bool named;
  if (isAddress(host)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
  } else {
    named = SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 &&
            X509_VERIFY_PARAM_set1_host(param, host.data(), host.size()) == 1;
  }
  if (!named) SSL_set_verify(ssl, SSL_VERIFY_PEER, refuseAll);
}

std::optional<std::string> protocolFailure(SSL* ssl, unsigned long error, std::string_view first) {
  if (error != 0) {
    if (ERR_GET_LIB(error) == ERR_LIB_SSL && ERR_GET_REASON(error) == SSL_R_TLSV1_ALERT_NO_APPLICATION_PROTOCOL) {
      return std::string("ALPN negotiation failed: the server speaks none of the protocols offered (") + kProtocol +
             ")";
    }
    return std::nullopt;
  }
  const unsigned char* chosen = nullptr;
  unsigned length = 0;
  SSL_get0_alpn_selected(ssl, &chosen, &length);
  if (length != 0 && std::string_view(reinterpret_cast<const char*>(chosen), length) != kProtocol) {
    return "ALPN negotiation failed: the server chose \"" + std::string(reinterpret_cast<const char*>(chosen), length) +
           "\", only " + kProtocol + " is spoken";
  }
  if (length == 0 && looksLikeHttp2(first)) {
    return std::string("ALPN negotiation failed: the server chose no protocol and answered in HTTP/2; only ") +
           kProtocol + " is spoken";
  }
  return std::nullopt;
}

}  // namespace mirelo::services::network::tls
