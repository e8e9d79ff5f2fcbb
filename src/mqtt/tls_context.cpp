#include "mqtt/tls_context.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace varnok::mqtt {
namespace {

bool isNumericAddress(const std::string& host) {
  in_addr a{};
  return ::inet_pton(AF_INET, host.c_str(), &a) == 1;
}

}  // namespace

std::string opensslError() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

Result<std::unique_ptr<TlsContext>> TlsContext::create(const TlsSettings& t,
                                                       const std::string& host) {
  std::unique_ptr<TlsContext> out(new TlsContext);
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  out->ctx_ = ctx;
  const auto fail = [](const std::string& what) {
    return Error{0, "MQTT TLS settings unusable - " + what + ": " + opensslError()};
  };
  if (!ctx) return fail("cannot create a TLS context");
  ERR_clear_error();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  if (SSL_CTX_load_verify_locations(ctx, t.caFile.c_str(), nullptr) != 1) {
    return fail("cannot load CA file " + t.caFile);
  }
  if (!t.certFile.empty()) {
    if (SSL_CTX_use_certificate_chain_file(ctx, t.certFile.c_str()) != 1) {
      return fail("cannot load certificate " + t.certFile);
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, t.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      return fail("cannot load key " + t.keyFile);
    }
    if (SSL_CTX_check_private_key(ctx) != 1) return fail("key does not match the certificate");
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &TlsContext::verify);
  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  const bool named = isNumericAddress(host)
                         ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                         : X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0) == 1;
  if (!named) return fail("cannot verify against host " + host);
  SSL_CTX_set_app_data(ctx, out.get());
  return out;
}

TlsContext::~TlsContext() {
  if (ctx_) SSL_CTX_free(ctx_);
}

int TlsContext::verify(int preverifyOk, X509_STORE_CTX* store) {
  if (preverifyOk) return 1;
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* self = ssl ? static_cast<TlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))) : nullptr;
  if (self && self->refusal_.empty()) {
    self->refusal_ = std::string("certificate refused: ") +
                     X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
  }
  return 0;
}

}  // namespace varnok::mqtt
