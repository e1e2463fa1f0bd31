// A TLS 1.2+ client channel over a connected non-blocking socket. The handshake and every read
// and write wait with poll against a deadline. Trust: the server must chain to one of the
// specification's trusted certificates (partial chains allowed); when the presented certificate
// is itself one of them the host name is not checked, otherwise the host must match a subject
// alternative name. Without trusted certificates the server is never trusted. In every
// untrusted case the handshake stops before the client sends its certificate, the outcome is
// QLC_UNTRUSTED and the presented certificate is kept as PEM. Writes never raise SIGPIPE.
#ifndef QLKMIPSIMPLE_TLS_CHANNEL_H
#define QLKMIPSIMPLE_TLS_CHANNEL_H

#include <harlibs/openssl_ptr.h>
#include <qlkmipsimple/connection_spec.h>

#include <memory>
#include <string>

#include "net.h"

namespace Qlkmip {

class TlsChannel {
 public:
  // Builds the TLS context from SPEC's credentials and trust without touching the network.
  // Codes: 0, QLC_BAD_SPEC (client certificate, key or a trusted certificate unusable),
  // QLC_COMMUNICATION (TLS library failure).
  static Net::Outcome Prepare(const ConnectionSpec& spec, std::unique_ptr<TlsChannel>* out);

  // Runs the handshake over the connected socket FD. Codes: 0, QLC_COMMUNICATION, QLC_TIMEOUT,
  // QLC_UNTRUSTED (then *presentedPem receives the server's certificate).
  Net::Outcome Handshake(Net::Fd fd, const Net::Deadline& deadline, std::string* presentedPem);

  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  Net::Outcome WriteAll(const uint8_t* data, size_t size, const Net::Deadline& deadline);
  Net::Outcome ReadExact(uint8_t* data, size_t size, const Net::Deadline& deadline);

  struct VerifyState;
  struct BioState;

  TlsChannel();  // use Open

 private:
  Net::Outcome Setup(const ConnectionSpec& spec);
  // Classifies a failed SSL call; returns 0 when the caller should retry after waiting.
  Net::Outcome Retry(int rc, const Net::Deadline& deadline, const char* what);

  Net::Fd fd_;
  std::unique_ptr<VerifyState> verify_;
  std::unique_ptr<BioState> bio_;
  Har::BioMethodPtr method_;
  Har::SslCtxPtr ctx_;
  Har::SslPtr ssl_;
  bool failed_ = false;  // a fatal TLS or socket error occurred: no close_notify
};

}  // namespace Qlkmip

#endif
