#pragma once

#include <memory>
#include <string>

#include "platform/result.h"

struct ssl_ctx_st;
struct x509_store_ctx_st;

namespace varnok::mqtt {

// TLS is on when caFile is set. The broker's certificate must chain to the CA
// in caFile and name the configured host (not the address it resolved to).
struct TlsSettings {
  std::string caFile;
  std::string certFile;  // optional client certificate (PEM chain) ...
  std::string keyFile;   // ... and its key; both or neither
};

// Our own TLS context for the broker connection. The library would verify
// the certificate against the host it connects to, which is the numeric
// address we resolved; with this context verification is entirely ours: the
// peer must chain to our CA and name the configured host.
//
// Ownership: owns the SSL_CTX (the library takes a reference of its own);
// lives at a fixed address, as the certificate check finds it through the
// context.
class TlsContext {
 public:
  // Nothing, with the log's text, when a file cannot be loaded or the host
  // cannot be checked against.
  static Result<std::unique_ptr<TlsContext>> create(const TlsSettings& settings,
                                                    const std::string& host);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  ssl_ctx_st* get() const { return ctx_; }
  // Why the certificate of the current attempt was refused; empty when it
  // was not.
  const std::string& refusal() const { return refusal_; }
  void newAttempt() { refusal_.clear(); }

 private:
  TlsContext() = default;
  static int verify(int preverifyOk, x509_store_ctx_st* store);

  ssl_ctx_st* ctx_ = nullptr;
  std::string refusal_;
};

// The TLS library's last error as text, which it then forgets.
std::string opensslError();

}  // namespace varnok::mqtt
