// The client's TLS setup against servers with the certificates and settings a careful client
// refuses, in real handshakes over in-memory BIO pairs (no names to resolve). Certificates are
// made here with OpenSSL.
#include "network/tls.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>
#include <vector>

namespace mirelo::services::network {
namespace {

using Key = std::shared_ptr<EVP_PKEY>;
using Cert = std::shared_ptr<X509>;

Key ecKey() { return Key(EVP_EC_gen("P-256"), EVP_PKEY_free); }
Key rsaKey(unsigned bits) { return Key(EVP_RSA_gen(bits), EVP_PKEY_free); }

struct CertPlan {
  std::string cn = "leaf";
  std::string san;  // "DNS:a,IP:b", none when empty
  std::string constraints;  // basicConstraints, none when empty
  long notBefore = -3600;  // seconds from now
  long notAfter = 86400;
  const EVP_MD* digest = EVP_sha256();
};

void extend(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  ASSERT_NE(extension, nullptr) << value;
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

// A certificate for `key`, signed by `issuerKey` under `issuer` (itself when null).
Cert make(const CertPlan& plan, const Key& key, const Cert& issuer = nullptr, const Key& issuerKey = nullptr) {
  static long serial = 1;
  Cert cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), plan.notBefore);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), plan.notAfter);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(plan.cn.c_str()), -1, -1,
                             0);
  X509* signer = issuer ? issuer.get() : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  if (!plan.constraints.empty()) extend(cert.get(), signer, NID_basic_constraints, plan.constraints);
  if (plan.constraints.find("CA:TRUE") != std::string::npos) {
    extend(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  }
  if (!plan.san.empty()) extend(cert.get(), signer, NID_subject_alt_name, plan.san);
  X509_sign(cert.get(), (issuerKey ? issuerKey : key).get(), plan.digest);
  return cert;
}

CertPlan caSpec(std::string cn, std::string constraints = "critical,CA:TRUE") {
  CertPlan plan;
  plan.cn = std::move(cn);
  plan.constraints = std::move(constraints);
  return plan;
}

CertPlan leafSpec(std::string san) {
  CertPlan plan;
  plan.san = std::move(san);
  return plan;
}

// What a server presents and speaks.
struct Server {
  Cert leaf;
  Key key;
  std::vector<Cert> chain;  // sent after the leaf
  int maxVersion = 0;  // 0: TLS 1.3
  std::string ciphers;  // TLS 1.2 cipher list, OpenSSL's default when empty
  bool onlyHttp2 = false;  // ALPN: h2 or a no_application_protocol alert
};

struct Outcome {
  bool ok = false;
  long verify = X509_V_OK;
  std::string sni;  // what the server was told, "" for none
  std::string offered;  // the client's ALPN list, as on the wire
  std::string protocolError;  // tls::protocolFailure on the client's handshake error
};

int recordName(SSL* ssl, int*, void* arg) {
  const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  static_cast<Outcome*>(arg)->sni = name ? name : "";
  return SSL_TLSEXT_ERR_OK;
}

int choose(SSL* ssl, const unsigned char** out, unsigned char* outLength, const unsigned char* in, unsigned inLength,
           void*) {
  auto* outcome = static_cast<Outcome*>(SSL_get_app_data(ssl));
  outcome->offered.assign(reinterpret_cast<const char*>(in), inLength);
  static const unsigned char h2[] = {2, 'h', '2'};
  static const unsigned char http11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  const bool onlyHttp2 = SSL_get_ex_data(ssl, 1) != nullptr;
  if (SSL_select_next_proto(const_cast<unsigned char**>(out), outLength, onlyHttp2 ? h2 : http11,
                            onlyHttp2 ? sizeof h2 : sizeof http11, in, inLength) != OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  }
  return SSL_TLSEXT_ERR_OK;
}

// One handshake between the client as configured for `host`, trusting `roots`, and `server`.
Outcome handshake(const Server& server, const std::string& host, const std::vector<Cert>& roots) {
  Outcome outcome;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> clientContext(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  tls::configureContext(clientContext.get());
  for (const auto& root : roots) X509_STORE_add_cert(SSL_CTX_get_cert_store(clientContext.get()), root.get());

  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> serverContext(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  SSL_CTX_set_security_level(serverContext.get(), 0);  // the server may present anything
  EXPECT_EQ(SSL_CTX_use_certificate(serverContext.get(), server.leaf.get()), 1);
  EXPECT_EQ(SSL_CTX_use_PrivateKey(serverContext.get(), server.key.get()), 1);
  for (const auto& cert : server.chain) SSL_CTX_add1_chain_cert(serverContext.get(), cert.get());
  SSL_CTX_set_min_proto_version(serverContext.get(), TLS1_VERSION);
  if (server.maxVersion) SSL_CTX_set_max_proto_version(serverContext.get(), server.maxVersion);
  if (!server.ciphers.empty()) SSL_CTX_set_cipher_list(serverContext.get(), server.ciphers.c_str());
  SSL_CTX_set_tlsext_servername_callback(serverContext.get(), recordName);
  SSL_CTX_set_tlsext_servername_arg(serverContext.get(), &outcome);
  SSL_CTX_set_alpn_select_cb(serverContext.get(), choose, nullptr);

  std::unique_ptr<SSL, decltype(&SSL_free)> client(SSL_new(clientContext.get()), SSL_free);
  std::unique_ptr<SSL, decltype(&SSL_free)> peer(SSL_new(serverContext.get()), SSL_free);
  SSL_set_app_data(peer.get(), &outcome);
  SSL_set_ex_data(peer.get(), 1, server.onlyHttp2 ? &outcome : nullptr);
  tls::configurePeer(client.get(), host);
  BIO* clientBio = nullptr;
  BIO* serverBio = nullptr;
  BIO_new_bio_pair(&clientBio, 0, &serverBio, 0);
  SSL_set_bio(client.get(), clientBio, clientBio);
  SSL_set_bio(peer.get(), serverBio, serverBio);
  SSL_set_connect_state(client.get());
  SSL_set_accept_state(peer.get());
  ERR_clear_error();
  bool clientDone = false;
  bool serverDone = false;
  for (int round = 0; round < 20 && !(clientDone && serverDone); ++round) {
    if (!clientDone) {
      const int result = SSL_do_handshake(client.get());
      if (result == 1) {
        clientDone = true;
      } else if (SSL_get_error(client.get(), result) != SSL_ERROR_WANT_READ) {
        const unsigned long error = ERR_peek_error();
        outcome.verify = SSL_get_verify_result(client.get());
        outcome.protocolError = tls::protocolFailure(client.get(), error, {}).value_or("");
        ERR_clear_error();
        return outcome;
      }
    }
    if (!serverDone) {
      const int result = SSL_do_handshake(peer.get());
      if (result == 1) {
        serverDone = true;
      } else if (SSL_get_error(peer.get(), result) != SSL_ERROR_WANT_READ) {
        ERR_clear_error();
        // The server's alert, if any, reaches the client on its next step.
        const int last = SSL_do_handshake(client.get());
        if (last != 1) {
          const unsigned long error = ERR_peek_error();
          outcome.protocolError = tls::protocolFailure(client.get(), error, {}).value_or("");
        }
        ERR_clear_error();
        return outcome;
      }
    }
  }
  outcome.verify = SSL_get_verify_result(client.get());
  outcome.ok = clientDone && serverDone && outcome.verify == X509_V_OK;
  return outcome;
}

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rootKey = new Key(ecKey());
    root = new Cert(make(caSpec("Test Root"), *rootKey));
    interKey = new Key(ecKey());
    inter = new Cert(make(caSpec("Test Intermediate"), *interKey, *root, *rootKey));
  }

  Server leaf(const CertPlan& plan, const Cert& issuer = nullptr, const Key& issuerKey = nullptr,
              const Key& key = nullptr) {
    Server server;
    server.key = key ? key : ecKey();
    server.leaf = make(plan, server.key, issuer ? issuer : *root, issuerKey ? issuerKey : *rootKey);
    return server;
  }

  static Key* rootKey;
  static Cert* root;
  static Key* interKey;
  static Cert* inter;
};

Key* TlsTest::rootKey;
Cert* TlsTest::root;
Key* TlsTest::interKey;
Cert* TlsTest::inter;

TEST_F(TlsTest, NamesComeFromTheSubjectAltNameOnly) {
  CertPlan cnOnly;
  cnOnly.cn = "api.example.test";
  struct Case {
    const char* what;
    CertPlan plan;
    std::string host;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"exact name", leafSpec("DNS:api.example.test"), "api.example.test", true},
      {"names are case-insensitive", leafSpec("DNS:API.Example.TEST"), "api.example.test", true},
      {"subject CN without subjectAltName", cnOnly, "api.example.test", false},
      {"whole-label wildcard", leafSpec("DNS:*.example.test"), "api.example.test", true},
      {"partial wildcard before", leafSpec("DNS:a*.example.test"), "api.example.test", false},
      {"partial wildcard after", leafSpec("DNS:*pi.example.test"), "api.example.test", false},
      {"wildcard covers one label", leafSpec("DNS:*.example.test"), "a.api.example.test", false},
      {"another name", leafSpec("DNS:other.example.test"), "api.example.test", false},
      {"address in an IP entry", leafSpec("IP:127.0.0.1"), "127.0.0.1", true},
      {"IPv6 address", leafSpec("IP:::1"), "::1", true},
      {"address only as a DNS entry", leafSpec("DNS:127.0.0.1"), "127.0.0.1", false},
      {"name only as an IP entry", leafSpec("IP:127.0.0.1"), "localhost", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome outcome = handshake(leaf(c.plan), c.host, {*root});
    EXPECT_EQ(outcome.ok, c.ok);
    if (!c.ok) {
      const bool address = c.host.find_first_not_of("0123456789.:") == std::string::npos;
      EXPECT_EQ(outcome.verify, address ? X509_V_ERR_IP_ADDRESS_MISMATCH : X509_V_ERR_HOSTNAME_MISMATCH);
    }
  }
}

TEST_F(TlsTest, WhatACarefulClientRefuses) {
  const std::string host = "api.example.test";
  const CertPlan good = leafSpec("DNS:" + host);
  CertPlan expired = good;
  expired.notBefore = -7200;
  expired.notAfter = -3600;
  CertPlan early = good;
  early.notBefore = 3600;
  CertPlan sha1 = good;
  sha1.digest = EVP_sha1();

  const Key otherKey = ecKey();
  const Cert otherRoot = make(caSpec("Other Root"), otherKey);
  const Key notCaKey = ecKey();
  const Cert notCa = make(caSpec("Not a CA", "critical,CA:FALSE"), notCaKey, *root, *rootKey);
  const Key bareKey = ecKey();
  const Cert bare = make(caSpec("No constraints", ""), bareKey, *root, *rootKey);
  const Key shortKey = ecKey();
  const Cert shortRoot = make(caSpec("Short Root", "critical,CA:TRUE,pathlen:0"), shortKey);
  const Key belowKey = ecKey();
  const Cert below = make(caSpec("Below Short Root"), belowKey, shortRoot, shortKey);

  struct Case {
    const char* what;
    Server server;
    std::vector<Cert> roots;
    bool ok;
    long verify;  // the client's verification result when refused (X509_V_OK: not checked)
  };
  auto chained = [&](Server server, std::vector<Cert> chain) {
    server.chain = std::move(chain);
    return server;
  };
  auto tls = [&](Server server, int maxVersion, std::string ciphers) {
    server.maxVersion = maxVersion;
    server.ciphers = std::move(ciphers);
    return server;
  };
  const std::vector<Case> cases = {
      {"a good certificate", leaf(good), {*root}, true, X509_V_OK},
      {"expired", leaf(expired), {*root}, false, X509_V_ERR_CERT_HAS_EXPIRED},
      {"not yet valid", leaf(early), {*root}, false, X509_V_ERR_CERT_NOT_YET_VALID},
      {"an untrusted root",
       leaf(good, otherRoot, otherKey),
       {*root},
       false,
       X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
      {"self-signed",
       [&] {
         Server s;
         s.key = ecKey();
         s.leaf = make(good, s.key);
         return s;
       }(),
       {*root},
       false,
       X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
      {"with its intermediate", chained(leaf(good, *inter, *interKey), {*inter}), {*root}, true, X509_V_OK},
      {"missing intermediate",
       leaf(good, *inter, *interKey),
       {*root},
       false,
       X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
      {"an issuer that is no CA", chained(leaf(good, notCa, notCaKey), {notCa}), {*root}, false, X509_V_ERR_INVALID_CA},
      {"an issuer without basic constraints",
       chained(leaf(good, bare, bareKey), {bare}),
       {*root},
       false,
       X509_V_ERR_INVALID_CA},
      {"a path longer than allowed",
       chained(leaf(good, below, belowKey), {below}),
       {shortRoot},
       false,
       X509_V_ERR_PATH_LENGTH_EXCEEDED},
      {"signed with SHA-1", leaf(sha1), {*root}, false, X509_V_ERR_CA_MD_TOO_WEAK},
      {"a 1024-bit RSA key", leaf(good, nullptr, nullptr, rsaKey(1024)), {*root}, false, X509_V_ERR_EE_KEY_TOO_SMALL},
      {"a 2048-bit RSA key", leaf(good, nullptr, nullptr, rsaKey(2048)), {*root}, true, X509_V_OK},
      {"TLS 1.1 at most", tls(leaf(good), TLS1_1_VERSION, "DEFAULT:@SECLEVEL=0"), {*root}, false, X509_V_OK},
      {"TLS 1.2 with ECDHE and AES-GCM",
       tls(leaf(good), TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256"),
       {*root},
       true,
       X509_V_OK},
      {"TLS 1.2 with ECDHE and ChaCha20",
       tls(leaf(good), TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305"),
       {*root},
       true,
       X509_V_OK},
      {"TLS 1.2 with ECDHE and CBC",
       tls(leaf(good), TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA256:ECDHE-ECDSA-AES128-SHA"),
       {*root},
       false,
       X509_V_OK},
      {"TLS 1.2 with static RSA key exchange",
       tls(leaf(good, nullptr, nullptr, rsaKey(2048)), TLS1_2_VERSION, "AES128-GCM-SHA256"),
       {*root},
       false,
       X509_V_OK},
      {"TLS 1.2 with finite-field DHE",
       tls(leaf(good, nullptr, nullptr, rsaKey(2048)), TLS1_2_VERSION, "DHE-RSA-AES128-GCM-SHA256"),
       {*root},
       false,
       X509_V_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome outcome = handshake(c.server, host, c.roots);
    EXPECT_EQ(outcome.ok, c.ok);
    if (c.verify != X509_V_OK) {
      EXPECT_EQ(outcome.verify, c.verify);
    }
  }
}

TEST_F(TlsTest, NameIndicationForNamesOnlyAndHttp11Offered) {
  const Outcome named = handshake(leaf(leafSpec("DNS:api.example.test")), "api.example.test", {*root});
  EXPECT_TRUE(named.ok);
  EXPECT_EQ(named.sni, "api.example.test");
  EXPECT_EQ(named.offered, std::string("\x08http/1.1"));
  for (const char* address : {"127.0.0.1", "::1"}) {
    const Outcome bare = handshake(leaf(leafSpec(std::string("IP:") + address)), address, {*root});
    EXPECT_TRUE(bare.ok) << address;
    EXPECT_EQ(bare.sni, "") << address;
  }
}

TEST_F(TlsTest, AServerThatSpeaksOnlyHttp2IsNamed) {
  Server server = leaf(leafSpec("DNS:api.example.test"));
  server.onlyHttp2 = true;
  const Outcome outcome = handshake(server, "api.example.test", {*root});
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.protocolError,
            "ALPN negotiation failed: the server speaks none of the protocols offered (http/1.1)");
  // Without ALPN selected, the server's first HTTP/2 frame tells the same.
  const std::string settings("\x00\x00\x06\x04\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00\x64", 15);
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
  EXPECT_NE(tls::protocolFailure(ssl.get(), 0, settings), std::nullopt);
  EXPECT_EQ(tls::protocolFailure(ssl.get(), 0, "HTTP/1.1 200 OK\r\n"), std::nullopt);
  EXPECT_EQ(tls::protocolFailure(ssl.get(), 0, ""), std::nullopt);
}

}  // namespace
}  // namespace mirelo::services::network
