#include "kmip_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <qlkmipsimple/connection_spec.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <stdexcept>

#include "test_server_state.h"

namespace KmipTest {
namespace {

using State = KmipTestServer::State;
constexpr size_t kMaxRequest = 1u << 20;

struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};

void Require(bool ok, const std::string& what) {
  if (!ok) {
    ERR_clear_error();
    throw std::runtime_error("KmipTestServer: " + what);
  }
}

void ResetClose(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  close(fd);
}

// Waits until the server stops or the peer closes its side.
void WaitForEnd(const State& s, int fd) {
  while (!s.stopping) {
    pollfd p{fd, POLLRDHUP, 0};
    if (poll(&p, 1, 50) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
      return;
    }
  }
}

// Retries an SSL call across receive time-outs until it succeeds, fails or the server stops.
template <typename Call>
bool SslRetry(const State& s, SSL* ssl, Call call) {
  for (;;) {
    ERR_clear_error();
    const int rc = call();
    if (rc > 0) return true;
    const int error = SSL_get_error(ssl, rc);
    if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) || s.stopping) {
      ERR_clear_error();
      return false;
    }
  }
}

bool ReadExact(const State& s, SSL* ssl, uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    size_t n = 0;
    if (!SslRetry(s, ssl, [&] { return SSL_read_ex(ssl, data + done, size - done, &n); })) {
      return false;
    }
    done += n;
  }
  return true;
}

bool WriteAll(const State& s, SSL* ssl, const std::vector<uint8_t>& data) {
  size_t done = 0;
  while (done < data.size()) {
    size_t n = 0;
    if (!SslRetry(s, ssl,
                  [&] { return SSL_write_ex(ssl, data.data() + done, data.size() - done, &n); })) {
      return false;
    }
    done += n;
  }
  return true;
}

std::optional<std::vector<uint8_t>> ReadRequest(const State& s, SSL* ssl) {
  std::vector<uint8_t> bytes(Qlkmip::Ttlv::kHeaderSize);
  if (!ReadExact(s, ssl, bytes.data(), bytes.size())) return std::nullopt;
  const Qlkmip::Ttlv::Header header = Qlkmip::Ttlv::ReadHeader(bytes.data());
  if (header.length > kMaxRequest) return std::nullopt;
  bytes.resize(bytes.size() + header.length);
  if (!ReadExact(s, ssl, bytes.data() + Qlkmip::Ttlv::kHeaderSize, header.length)) {
    return std::nullopt;
  }
  return bytes;
}

std::vector<uint8_t> Bytes(const char* hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  }
  return out;
}

// The reply to one request; false ends the connection.
bool Respond(State& s, SSL* ssl, int fd, const std::vector<uint8_t>& request) {
  Qlkmip::Ttlv::Item decoded;
  const bool ok = Qlkmip::Ttlv::Decode(request.data(), request.size(), {}, &decoded).ok();
  const Qlkmip::Ttlv::Item* item = ok ? &decoded : nullptr;
  AnswerConfig config;
  Fault fault;
  KmipTestServer::Responder responder;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.lastRequest = request;
    ++s.messages;
    for (size_t i = 0; item != nullptr && i < item->children.size(); ++i) {
      const Qlkmip::Ttlv::Item& batch = item->children[i];
      const Qlkmip::Ttlv::Item* op =
          batch.tag == Qlkmip::Tag::BatchItem ? batch.Find(Qlkmip::Tag::Operation) : nullptr;
      if (op != nullptr) ++s.requests[static_cast<uint32_t>(op->number)];
    }
    config = s.config;
    fault = s.fault;
    responder = s.responder;
  }
  switch (fault) {
    case Fault::StallResponse:
      WaitForEnd(s, fd);
      return false;
    case Fault::ResetAfterRequest:
      return false;  // the caller resets
    case Fault::CloseMidResponse:
      WriteAll(s, ssl,
               Bytes("42007b01000000c842007a0100000048420069010000002042006a02000000040000"
                     "000100000000"));
      return false;
    case Fault::GarbageResponse:
      return WriteAll(s, ssl, Bytes("485454502f312e31203430302042616420526571756573740d0a0d0a"));
    case Fault::MalformedResponse:
      return WriteAll(s, ssl, Bytes("42007b010000001042007a01000001000000000000000000"));
    case Fault::OversizedResponse:
      WriteAll(s, ssl, Bytes("42007b0100200000"));
      WaitForEnd(s, fd);
      return false;
    default:
      break;
  }
  std::optional<std::vector<uint8_t>> custom = responder ? responder(item) : std::nullopt;
  return WriteAll(s, ssl, custom ? *custom : BuildAnswer(config, item));
}

void Serve(std::shared_ptr<State> s, int fd) {
  ++s->connections;
  Fault fault;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    fault = s->fault;
  }
  if (fault == Fault::ResetOnAccept) {
    ResetClose(fd);
    return;
  }
  if (fault == Fault::StallHandshake) {
    WaitForEnd(*s, fd);
    close(fd);
    return;
  }
  timeval tv{0, 100000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(s->ctx.get()));
  SSL_set_fd(ssl.get(), fd);
  if (SslRetry(*s, ssl.get(), [&] { return SSL_accept(ssl.get()); })) {
    ++s->handshakes;
    for (;;) {
      std::optional<std::vector<uint8_t>> request = ReadRequest(*s, ssl.get());
      if (!request || !Respond(*s, ssl.get(), fd, *request)) break;
    }
  }
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    fault = s->fault;
  }
  ssl.reset();
  if (fault == Fault::ResetAfterRequest) {
    ResetClose(fd);
  } else {
    close(fd);
  }
}

void JoinFinished(State& s) {
  auto& list = s.connectionThreads;
  for (auto it = list.begin(); it != list.end();) {
    if (*it->done) {
      it->thread.join();
      it = list.erase(it);
    } else {
      ++it;
    }
  }
}

void AcceptLoop(std::shared_ptr<State> s) {
  while (!s->stopping) {
    pollfd p{s->listenFd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int fd = accept4(s->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(s->threadsMutex);
    JoinFinished(*s);
    auto done = std::make_shared<std::atomic<bool>>(false);
    s->connectionThreads.push_back(State::Connection{std::thread([s, fd, done] {
                                                       Serve(s, fd);
                                                       *done = true;
                                                     }),
                                                     done});
  }
}

void LoadServerCredentials(SSL_CTX* ctx, const KeyPair& server) {
  std::unique_ptr<BIO, BioFree> bio(
      BIO_new_mem_buf(server.certPem.data(), static_cast<int>(server.certPem.size())));
  X509* leaf = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
  Require(leaf != nullptr && SSL_CTX_use_certificate(ctx, leaf) == 1, "server certificate");
  X509_free(leaf);
  while (X509* extra = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    SSL_CTX_add0_chain_cert(ctx, extra);
  }
  ERR_clear_error();
  std::unique_ptr<BIO, BioFree> keyBio(
      BIO_new_mem_buf(server.keyPem.data(), static_cast<int>(server.keyPem.size())));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr);
  Require(key != nullptr && SSL_CTX_use_PrivateKey(ctx, key) == 1, "server key");
  EVP_PKEY_free(key);
}

void TrustClients(SSL_CTX* ctx, const std::string& caPem) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(caPem.data(), static_cast<int>(caPem.size())));
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  while (X509* ca = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    X509_STORE_add_cert(store, ca);
    X509_free(ca);
  }
  ERR_clear_error();
}

std::unique_ptr<SSL_CTX, SslCtxFree> MakeContext(const KmipTestServer::Options& o) {
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_server_method()));
  Require(ctx != nullptr, "TLS context");
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  if (o.peerLikeTls) {
    SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
    Require(SSL_CTX_set_cipher_list(ctx.get(),
                                    "ECDHE-RSA-AES256-SHA384:ECDHE-RSA-AES128-SHA256:"
                                    "AES256-SHA256:AES128-SHA256") == 1,
            "cipher list");
    SSL_CTX_set_options(ctx.get(), SSL_OP_CIPHER_SERVER_PREFERENCE);
  }
  LoadServerCredentials(ctx.get(), o.server);
  if (o.requireClientCert) {
    TrustClients(ctx.get(), o.clientCaPem);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return ctx;
}

}  // namespace

KmipTestServer::KmipTestServer(Options options)
    : state_(std::make_shared<State>(std::move(options))) {
  state_->config.versions = {{2, 0}, {1, 4}, {1, 3}, {1, 2}, {1, 1}, {1, 0}};
}

KmipTestServer::~KmipTestServer() { Stop(); }

void KmipTestServer::Start() {
  std::signal(SIGPIPE, SIG_IGN);
  state_->ctx = MakeContext(state_->options);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Require(fd >= 0, "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    Require(false, "listen");
  }
  state_->listenFd = fd;
  state_->port = ntohs(address.sin_port);
  state_->stopping = false;
  state_->acceptThread = std::thread(AcceptLoop, state_);
}

void KmipTestServer::Stop() {
  if (!state_->acceptThread.joinable()) return;
  state_->stopping = true;
  state_->acceptThread.join();
  close(state_->listenFd);
  state_->listenFd = -1;
  std::vector<State::Connection> threads;
  {
    std::lock_guard<std::mutex> lock(state_->threadsMutex);
    threads.swap(state_->connectionThreads);
  }
  for (State::Connection& c : threads) c.thread.join();
}

uint16_t KmipTestServer::Port() const { return state_->port; }

void KmipTestServer::AddKey(const std::string& id, std::vector<uint8_t> material,
                            std::optional<uint32_t> state) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->config.keys[id] = KeyEntry{std::move(material), state};
}

void KmipTestServer::RemoveKey(const std::string& id) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->config.keys.erase(id);
}

void KmipTestServer::SetVersions(std::vector<std::pair<int, int>> versions) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->config.versions = std::move(versions);
}

void KmipTestServer::SetFault(Fault fault) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->fault = fault;
}

void KmipTestServer::SetFailure(std::optional<FailureResult> failure) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->config.failure = std::move(failure);
}

void KmipTestServer::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->responder = std::move(responder);
}

int KmipTestServer::Connections() const { return state_->connections; }
int KmipTestServer::Handshakes() const { return state_->handshakes; }

int KmipTestServer::Requests(Qlkmip::Kmip::Operation operation) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  const auto it = state_->requests.find(static_cast<uint32_t>(operation));
  return it == state_->requests.end() ? 0 : it->second;
}

int KmipTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->messages;
}

std::vector<uint8_t> KmipTestServer::LastRequest() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lastRequest;
}

std::string BuildSpec(const SpecOptions& o) {
  Qlkmip::ConnectionSpec spec;
  spec.host = o.host;
  spec.port = o.port;
  spec.timeoutSeconds = o.timeoutSeconds;
  spec.proxyHost = o.proxyHost;
  spec.proxyPort = o.proxyPort;
  if (o.client != nullptr) {
    spec.hasClientCertificate = true;
    spec.certificatePem = o.client->certPem;
    spec.publicPem = o.client->certPem;
    spec.privateKeyPem.assign(o.client->keyPem);
  }
  spec.trustedPems = o.trustedPems;
  return std::string(Qlkmip::BuildConnectionSpec(spec).view());
}

}  // namespace KmipTest
