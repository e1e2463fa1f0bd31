#include "tls_channel.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <qlkmipsimple.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace Qlkmip {
namespace {

// TLS 1.2 suites: AEAD first, then the CBC-SHA256/SHA384 suites that some KMIP servers offer
// exclusively with RSA certificates.
constexpr const char* kCipherList =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES256-SHA384:ECDHE-RSA-AES128-SHA256:AES256-SHA256:AES128-SHA256";

using Har::BioPtr;
using Har::X509Ptr;

std::string OpenSslError(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) {
    return fallback;
  }
  constexpr size_t kErrorTextSize = 256;  // what ERR_error_string_n needs at most
  char text[kErrorTextSize];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

// Every certificate in a PEM text; empty when none could be read.
std::vector<X509Ptr> ReadCertificates(const std::string& pem) {
  std::vector<X509Ptr> certs;
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  while (bio) {
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) {
      break;
    }
    certs.push_back(std::move(cert));
  }
  ERR_clear_error();
  return certs;
}

std::string ToPem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) {
    return {};
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

bool IsIpAddress(const std::string& host) {
  in6_addr buffer{};  // room for either address family
  return inet_pton(AF_INET, host.c_str(), &buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), &buffer) == 1;
}

Net::Outcome BadSpec(std::string text) { return Net::Outcome{QLC_BAD_SPEC, std::move(text)}; }

}  // namespace

struct TlsChannel::VerifyState {
  std::string host;
  std::vector<X509Ptr> pinned;
  bool untrusted = false;
  std::string reason;
  std::string presentedPem;
};

struct TlsChannel::BioState {
  int fd = -1;
  int lastErrno = 0;
};

namespace {

int Untrusted(X509_STORE_CTX* ctx, TlsChannel::VerifyState* state, int error, std::string reason) {
  state->untrusted = true;
  state->reason = std::move(reason);
  X509_STORE_CTX_set_error(ctx, error);
  return 0;
}

bool HostMatches(X509* leaf, const std::string& host) {
  if (IsIpAddress(host)) {
    return X509_check_ip_asc(leaf, host.c_str(), 0) == 1;
  }
  return X509_check_host(leaf, host.data(), host.size(), X509_CHECK_FLAG_NEVER_CHECK_SUBJECT,
                         nullptr) == 1;
}

// Replaces OpenSSL's chain check so that the presented certificate is always captured.
int VerifyServer(X509_STORE_CTX* ctx, void* arg) {
  auto* state = static_cast<TlsChannel::VerifyState*>(arg);
  X509* leaf = X509_STORE_CTX_get0_cert(ctx);
  if (leaf == nullptr) {
    return Untrusted(ctx, state, X509_V_ERR_UNSPECIFIED, "the server presented no certificate");
  }
  state->presentedPem = ToPem(leaf);
  if (state->pinned.empty()) {
    return Untrusted(ctx, state, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
                     "no trusted server certificate is configured");
  }
  if (X509_verify_cert(ctx) != 1) {
    const int error = X509_STORE_CTX_get_error(ctx);
    return Untrusted(ctx, state, error, X509_verify_cert_error_string(error));
  }
  for (const X509Ptr& pinned : state->pinned) {
    if (X509_cmp(pinned.get(), leaf) == 0) {
      return 1;
    }
  }
  if (!HostMatches(leaf, state->host)) {
    return Untrusted(ctx, state, X509_V_ERR_HOSTNAME_MISMATCH,
                     "the certificate does not name host " + state->host);
  }
  return 1;
}

int BioWrite(BIO* bio, const char* data, int size) {
  auto* state = static_cast<TlsChannel::BioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const ssize_t n = send(state->fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (n < 0) {
    state->lastErrno = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      BIO_set_retry_write(bio);
    }
  }
  return static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int size) {
  auto* state = static_cast<TlsChannel::BioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const ssize_t n = recv(state->fd, data, static_cast<size_t>(size), 0);
  if (n < 0) {
    state->lastErrno = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      BIO_set_retry_read(bio);
    }
  } else if (n == 0) {
    state->lastErrno = 0;
  }
  return static_cast<int>(n);
}

long BioCtrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

}  // namespace

TlsChannel::TlsChannel()
    : verify_(std::make_unique<VerifyState>()), bio_(std::make_unique<BioState>()) {}

TlsChannel::~TlsChannel() {
  if (ssl_ && !failed_ && SSL_is_init_finished(ssl_.get())) {
    SSL_shutdown(ssl_.get());  // one best-effort close_notify, never waits
  }
  ERR_clear_error();
}

Net::Outcome TlsChannel::Prepare(const ConnectionSpec& spec, std::unique_ptr<TlsChannel>* out) {
  ERR_clear_error();
  auto channel = std::make_unique<TlsChannel>();
  Net::Outcome outcome = channel->Setup(spec);
  if (outcome.ok()) {
    *out = std::move(channel);
  }
  return outcome;
}

namespace {

Net::Outcome LoadClientCredentials(SSL_CTX* ctx, const ConnectionSpec& spec) {
  std::vector<X509Ptr> chain = ReadCertificates(spec.certificatePem);
  if (chain.empty()) {
    return BadSpec("The client certificate is not a PEM certificate");
  }
  // A read-only view of the secret: the key text is not copied.
  BioPtr bio(
      BIO_new_mem_buf(spec.privateKeyPem.c_str(), static_cast<int>(spec.privateKeyPem.size())));
  Har::PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) {
    return BadSpec("The client private key cannot be read: " + OpenSslError("no key"));
  }
  if (SSL_CTX_use_certificate(ctx, chain.front().get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    return BadSpec("The client certificate does not match its key: " + OpenSslError("mismatch"));
  }
  for (size_t i = 1; i < chain.size(); ++i) {
    if (SSL_CTX_add1_chain_cert(ctx, chain[i].get()) != 1) {
      return BadSpec("The client certificate chain is unusable");
    }
  }
  return {};
}

}  // namespace

Net::Outcome TlsChannel::Setup(const ConnectionSpec& spec) {
  ctx_.reset(SSL_CTX_new(TLS_client_method()));
  if (!ctx_ || SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(ctx_.get(), kCipherList) != 1) {
    return Net::Communication("TLS setup failed: " + OpenSslError("context"));
  }
  SSL_CTX_set_options(ctx_.get(), SSL_OP_NO_RENEGOTIATION);
  X509_STORE* store = SSL_CTX_get_cert_store(ctx_.get());
  X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
  for (size_t i = 0; i < spec.trustedPems.size(); ++i) {
    std::vector<X509Ptr> certs = ReadCertificates(spec.trustedPems[i]);
    if (certs.empty()) {
      return BadSpec("Trusted certificate " + std::to_string(i + 1) + " is not a PEM certificate");
    }
    for (X509Ptr& cert : certs) {
      X509_STORE_add_cert(store, cert.get());
      verify_->pinned.push_back(std::move(cert));
    }
  }
  ERR_clear_error();
  verify_->host = spec.host;
  SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_cert_verify_callback(ctx_.get(), VerifyServer, verify_.get());
  if (spec.hasClientCertificate) {
    Net::Outcome loaded = LoadClientCredentials(ctx_.get(), spec);
    if (!loaded.ok()) {
      return loaded;
    }
  }
  method_.reset(BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qlc socket"));
  ssl_.reset(SSL_new(ctx_.get()));
  if (!method_ || !ssl_ || BIO_meth_set_write(method_.get(), BioWrite) != 1 ||
      BIO_meth_set_read(method_.get(), BioRead) != 1 ||
      BIO_meth_set_ctrl(method_.get(), BioCtrl) != 1 ||
      BIO_meth_set_create(method_.get(), BioCreate) != 1) {
    return Net::Communication("TLS setup failed: " + OpenSslError("connection"));
  }
  BIO* bio = BIO_new(method_.get());
  if (bio == nullptr) {
    return Net::Communication("TLS setup failed: " + OpenSslError("socket"));
  }
  BIO_set_data(bio, bio_.get());
  SSL_set_bio(ssl_.get(), bio, bio);
  if (!IsIpAddress(spec.host)) {
    SSL_set_tlsext_host_name(ssl_.get(), spec.host.c_str());
  }
  return {};
}

Net::Outcome TlsChannel::Retry(int rc, const Net::Deadline& deadline, const char* what) {
  const int error = SSL_get_error(ssl_.get(), rc);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    ERR_clear_error();
    return Net::WaitReady(fd_.get(), error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline,
                          what);
  }
  failed_ = true;
  if (verify_->untrusted) {
    ERR_clear_error();
    return Net::Outcome{QLC_UNTRUSTED, "The server certificate is not trusted: " + verify_->reason};
  }
  std::string detail;
  if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && bio_->lastErrno == 0)) {
    detail = "the server closed the connection";
  } else if (error == SSL_ERROR_SYSCALL) {
    detail = std::strerror(bio_->lastErrno);
  } else {
    detail = OpenSslError("TLS error");
  }
  ERR_clear_error();
  return Net::Communication(std::string("TLS failure ") + what + ": " + detail);
}

Net::Outcome TlsChannel::Handshake(Net::Fd fd, const Net::Deadline& deadline,
                                   std::string* presentedPem) {
  fd_ = std::move(fd);
  bio_->fd = fd_.get();
  for (;;) {
    ERR_clear_error();
    bio_->lastErrno = 0;
    const int rc = SSL_connect(ssl_.get());
    if (rc == 1) {
      return {};
    }
    Net::Outcome outcome = Retry(rc, deadline, "during the TLS handshake");
    if (outcome.code == QLC_UNTRUSTED) {
      *presentedPem = verify_->presentedPem;
    }
    if (!outcome.ok()) {
      return outcome;
    }
  }
}

Net::Outcome TlsChannel::WriteAll(const uint8_t* data, size_t size, const Net::Deadline& deadline) {
  size_t done = 0;
  while (done < size) {
    ERR_clear_error();
    bio_->lastErrno = 0;
    size_t written = 0;
    const int rc = SSL_write_ex(ssl_.get(), data + done, size - done, &written);
    if (rc == 1) {
      done += written;
      continue;
    }
    Net::Outcome outcome = Retry(rc, deadline, "sending the request");
    if (!outcome.ok()) {
      return outcome;
    }
  }
  return {};
}

Net::Outcome TlsChannel::ReadExact(uint8_t* data, size_t size, const Net::Deadline& deadline) {
  size_t done = 0;
  while (done < size) {
    ERR_clear_error();
    bio_->lastErrno = 0;
    size_t read = 0;
    const int rc = SSL_read_ex(ssl_.get(), data + done, size - done, &read);
    if (rc == 1) {
      done += read;
      continue;
    }
    Net::Outcome outcome = Retry(rc, deadline, "waiting for the response");
    if (!outcome.ok()) {
      return outcome;
    }
  }
  return {};
}

}  // namespace Qlkmip
