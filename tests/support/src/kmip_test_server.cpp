#include "kmip_test_server.h"

#include <harlibs/openssl_ptr.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <qlkmipsimple/connection_spec.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <mutex>

#include "loopback_listener.h"
#include "test_bytes.h"

namespace KmipTest {
namespace {

using Qlkmip::Kmip::Operation;
using Qlkmip::Ttlv::Item;
using Qlkmip::Ttlv::Type;
namespace Tag = Qlkmip::Tag;
using TestSupport::FromHex;

// ---- The KMIP behaviour, shaped like the PyKMIP peer's answers ----

// The part of the configuration an answer depends on, copied per request.
struct AnswerConfig {
  std::map<std::string, KeyEntry> keys;
  std::vector<std::pair<int, int>> versions = {{2, 0}, {1, 4}, {1, 3}, {1, 2}, {1, 1}, {1, 0}};
  std::optional<FailureResult> failure;
};

Item Version(std::pair<int, int> v) {
  return Item::Struct(Tag::ProtocolVersion, {Item::Int(Tag::ProtocolVersionMajor, v.first),
                                             Item::Int(Tag::ProtocolVersionMinor, v.second)});
}

std::vector<uint8_t> Message(std::pair<int, int> version, std::vector<Item> batchItems) {
  Item message = Item::Struct(
      Tag::ResponseMessage,
      {Item::Struct(
          Tag::ResponseHeader,
          {Version(version), Item::Time(Tag::TimeStamp, static_cast<int64_t>(std::time(nullptr))),
           Item::Int(Tag::BatchCount, static_cast<int32_t>(batchItems.size()))})});
  for (Item& item : batchItems) message.children.push_back(std::move(item));
  const Har::Secret bytes = Qlkmip::Ttlv::Encode(message);
  return std::vector<uint8_t>(bytes.bytes(), bytes.bytes() + bytes.size());
}

Item Failure(std::optional<Operation> op, uint32_t reason, const std::string& text) {
  Item item = Item::Struct(Tag::BatchItem,
                           {Item::Enum(Tag::ResultStatus, 1), Item::Enum(Tag::ResultReason, reason),
                            Item::Text(Tag::ResultMessage, text)});
  if (op) {
    item.children.insert(item.children.begin(),
                         Item::Enum(Tag::Operation, static_cast<uint32_t>(*op)));
  }
  return item;
}

// A whole-message failure: header 1.0, one item without Operation or batch item id.
std::vector<uint8_t> MessageFailure(uint32_t reason, const std::string& text) {
  std::vector<Item> items;
  items.push_back(Failure(std::nullopt, reason, text));
  return Message({1, 0}, std::move(items));
}

Item Success(Operation op, Item payload) {
  return Item::Struct(Tag::BatchItem, {Item::Enum(Tag::Operation, static_cast<uint32_t>(op)),
                                       Item::Enum(Tag::ResultStatus, 0), std::move(payload)});
}

Item GetPayload(const std::string& id, const KeyEntry& key) {
  const std::vector<uint8_t>& m = key.material;
  Item block = Item::Struct(
      Tag::KeyBlock,
      {Item::Enum(Tag::KeyFormatType, Qlkmip::Kmip::kKeyFormatRaw),
       Item::Struct(Tag::KeyValue, {Item::Bytes(Tag::KeyMaterial, m.data(), m.size())}),
       Item::Enum(Tag::CryptographicAlgorithm, 3),
       Item::Int(Tag::CryptographicLength, static_cast<int32_t>(m.size() * 8))});
  return Item::Struct(
      Tag::ResponsePayload,
      {Item::Enum(Tag::ObjectType, Qlkmip::Kmip::kObjectTypeSymmetricKey),
       Item::Text(Tag::UniqueIdentifier, id), Item::Struct(Tag::SymmetricKey, {std::move(block)})});
}

Item AttributesPayload(const std::string& id, const KeyEntry& key) {
  Item payload = Item::Struct(Tag::ResponsePayload, {Item::Text(Tag::UniqueIdentifier, id)});
  if (key.state) {
    payload.children.push_back(Item::Struct(
        Tag::Attribute,
        {Item::Text(Tag::AttributeName, "State"), Item::Enum(Tag::AttributeValue, *key.state)}));
  }
  return payload;
}

// The version a ProtocolVersion structure names, or 1.0.
std::pair<int, int> VersionOf(const Item* version) {
  const Item* major = version ? version->Find(Tag::ProtocolVersionMajor) : nullptr;
  const Item* minor = version ? version->Find(Tag::ProtocolVersionMinor) : nullptr;
  if (!major || !minor) return {1, 0};
  return {static_cast<int>(major->number), static_cast<int>(minor->number)};
}

Item VersionsPayload(const AnswerConfig& config, const Item* requestPayload) {
  Item payload = Item::Struct(Tag::ResponsePayload);
  std::vector<std::pair<int, int>> asked;
  for (const Item& v : requestPayload ? requestPayload->children : std::vector<Item>{}) {
    if (v.tag == Tag::ProtocolVersion && v.Find(Tag::ProtocolVersionMajor) &&
        v.Find(Tag::ProtocolVersionMinor)) {
      asked.push_back(VersionOf(&v));
    }
  }
  for (const auto& v : asked.empty() ? config.versions : asked) {
    if (std::find(config.versions.begin(), config.versions.end(), v) != config.versions.end()) {
      payload.children.push_back(Version(v));
    }
  }
  return payload;
}

// The answer to one batch item (without its batch item id).
Item Answer(const AnswerConfig& config, Operation op, const Item* payload) {
  if (op == Operation::DiscoverVersions) {
    return Success(op, VersionsPayload(config, payload));
  }
  if (op != Operation::Get && op != Operation::GetAttributes) {
    return Failure(op, 5, "Operation is not supported by the server.");
  }
  const Item* uid = payload ? payload->Find(Tag::UniqueIdentifier, Type::TextString) : nullptr;
  const std::string id = uid ? uid->TextValue() : "";
  const auto key = config.keys.find(id);
  if (key == config.keys.end()) {
    return Failure(op, 1, "Could not locate object: " + id);
  }
  return Success(
      op, op == Operation::Get ? GetPayload(id, key->second) : AttributesPayload(id, key->second));
}

// The batch items a request announces (its Batch Count; extra items are ignored as the peer
// does), or an empty list when the message does not parse.
std::vector<const Item*> RequestItems(const Item* request) {
  const Item* header = request ? request->Find(Tag::RequestHeader, Type::Structure) : nullptr;
  const Item* count = header ? header->Find(Tag::BatchCount, Type::Integer) : nullptr;
  if (request == nullptr || request->tag != Tag::RequestMessage || count == nullptr ||
      count->number < 1 || header->Find(Tag::ProtocolVersion, Type::Structure) == nullptr) {
    return {};
  }
  std::vector<const Item*> items;
  for (const Item& child : request->children) {
    if (child.tag != Tag::BatchItem || child.type != Type::Structure) continue;
    if (static_cast<int64_t>(items.size()) == count->number) break;
    if (child.Find(Tag::Operation, Type::Enumeration) == nullptr) return {};
    items.push_back(&child);
  }
  if (static_cast<int64_t>(items.size()) != count->number) return {};
  return items;
}

// The encoded response to REQUEST (null when the request did not decode).
std::vector<uint8_t> BuildAnswer(const AnswerConfig& config, const Item* request) {
  const std::vector<const Item*> items = RequestItems(request);
  if (items.empty()) {
    return MessageFailure(4,
                          "Error parsing request message. See server logs for more information.");
  }
  if (config.failure) {
    return MessageFailure(config.failure->reason, config.failure->message);
  }
  for (const Item* item : items) {
    if (items.size() > 1 && item->Find(Tag::UniqueBatchItemId) == nullptr) {
      return MessageFailure(4, "Batch item ID is undefined.");
    }
  }
  std::vector<Item> answers;
  for (const Item* item : items) {
    const auto op = static_cast<Operation>(item->Find(Tag::Operation, Type::Enumeration)->number);
    Item answer = Answer(config, op, item->Find(Tag::RequestPayload, Type::Structure));
    if (const Item* id = item->Find(Tag::UniqueBatchItemId)) {
      answer.children.insert(answer.children.begin() + 1, *id);
    }
    const bool failed = answer.Find(Tag::ResultStatus)->number != 0;
    answers.push_back(std::move(answer));
    if (failed) break;  // the default Batch Error Continuation Option: Stop
  }
  const Item* header = request->Find(Tag::RequestHeader, Type::Structure);
  return Message(VersionOf(header->Find(Tag::ProtocolVersion, Type::Structure)),
                 std::move(answers));
}

}  // namespace

// ---- The server: configuration, counters, connections ----

struct KmipTestServer::State {
  explicit State(Options o) : options(std::move(o)) {}

  Options options;
  mutable std::mutex mutex;  // guards everything below up to the counters
  AnswerConfig config;
  Fault fault = Fault::None;
  std::map<uint32_t, int> requests;
  std::vector<uint8_t> lastRequest;
  int messages = 0;  // request messages (round trips)

  std::atomic<int> connections{0};
  std::atomic<int> handshakes{0};
  Har::SslCtxPtr ctx;
  LoopbackListener listener;

  Fault CurrentFault() const {
    std::lock_guard<std::mutex> lock(mutex);
    return fault;
  }
};

namespace {

using State = KmipTestServer::State;
constexpr size_t kMaxRequest = 1u << 20;

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
  while (!s.listener.stopping) {
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
    if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) || s.listener.stopping) {
      ERR_clear_error();
      return false;
    }
  }
}

bool ReadExact(const State& s, SSL* ssl, uint8_t* data, size_t size) {
  for (size_t done = 0, n = 0; done < size; done += n) {
    if (!SslRetry(s, ssl, [&] { return SSL_read_ex(ssl, data + done, size - done, &n); })) {
      return false;
    }
  }
  return true;
}

bool WriteAll(const State& s, SSL* ssl, const std::vector<uint8_t>& data) {
  for (size_t done = 0, n = 0; done < data.size(); done += n) {
    if (!SslRetry(s, ssl,
                  [&] { return SSL_write_ex(ssl, data.data() + done, data.size() - done, &n); })) {
      return false;
    }
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

// The reply to one request; false ends the connection.
bool Respond(State& s, SSL* ssl, int fd, const std::vector<uint8_t>& request) {
  Item decoded;
  const bool ok = Qlkmip::Ttlv::Decode(request.data(), request.size(), {}, &decoded).ok();
  const Item* item = ok ? &decoded : nullptr;
  AnswerConfig config;
  Fault fault;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.lastRequest = request;
    ++s.messages;
    for (size_t i = 0; item != nullptr && i < item->children.size(); ++i) {
      const Item& batch = item->children[i];
      const Item* op = batch.tag == Tag::BatchItem ? batch.Find(Tag::Operation) : nullptr;
      if (op != nullptr) ++s.requests[static_cast<uint32_t>(op->number)];
    }
    config = s.config;
    fault = s.fault;
  }
  switch (fault) {
    case Fault::StallResponse:
      WaitForEnd(s, fd);
      return false;
    case Fault::ResetAfterRequest:
      return false;  // the caller resets
    case Fault::CloseMidResponse:
      WriteAll(s, ssl,
               FromHex("42007b01000000c842007a0100000048420069010000002042006a02000000040000"
                       "000100000000"));
      return false;
    case Fault::GarbageResponse:
      return WriteAll(s, ssl, FromHex("485454502f312e31203430302042616420526571756573740d0a0d0a"));
    case Fault::MalformedResponse:
      return WriteAll(s, ssl, FromHex("42007b010000001042007a01000001000000000000000000"));
    case Fault::OversizedResponse:
      WriteAll(s, ssl, FromHex("42007b0100200000"));
      WaitForEnd(s, fd);
      return false;
    default:
      break;
  }
  return WriteAll(s, ssl, BuildAnswer(config, item));
}

void Serve(State& s, int fd) {
  ++s.connections;
  const Fault fault = s.CurrentFault();
  if (fault == Fault::ResetOnAccept) return ResetClose(fd);
  if (fault == Fault::StallHandshake) {
    WaitForEnd(s, fd);
    close(fd);
    return;
  }
  timeval tv{0, 100000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  Har::SslPtr ssl(SSL_new(s.ctx.get()));
  SSL_set_fd(ssl.get(), fd);
  if (SslRetry(s, ssl.get(), [&] { return SSL_accept(ssl.get()); })) {
    ++s.handshakes;
    for (;;) {
      std::optional<std::vector<uint8_t>> request = ReadRequest(s, ssl.get());
      if (!request || !Respond(s, ssl.get(), fd, *request)) break;
    }
  }
  ssl.reset();
  if (s.CurrentFault() == Fault::ResetAfterRequest) {
    ResetClose(fd);
  } else {
    close(fd);
  }
}

// Every certificate of a PEM text, in order.
std::vector<Har::X509Ptr> ReadCerts(const std::string& pem) {
  Har::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::vector<Har::X509Ptr> certs;
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    certs.emplace_back(cert);
  }
  ERR_clear_error();
  return certs;
}

Har::SslCtxPtr MakeContext(const KmipTestServer::Options& o) {
  Har::SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
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
  std::vector<Har::X509Ptr> chain = ReadCerts(o.server.certPem);
  Require(!chain.empty() && SSL_CTX_use_certificate(ctx.get(), chain[0].get()) == 1,
          "server certificate");
  for (size_t i = 1; i < chain.size(); ++i) SSL_CTX_add1_chain_cert(ctx.get(), chain[i].get());
  Har::BioPtr keyBio(
      BIO_new_mem_buf(o.server.keyPem.data(), static_cast<int>(o.server.keyPem.size())));
  Har::PkeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  Require(key != nullptr && SSL_CTX_use_PrivateKey(ctx.get(), key.get()) == 1, "server key");
  if (o.requireClientCert) {
    for (const Har::X509Ptr& ca : ReadCerts(o.clientCaPem)) {
      X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx.get()), ca.get());
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return ctx;
}

}  // namespace

KmipTestServer::KmipTestServer(Options options)
    : state_(std::make_shared<State>(std::move(options))) {}

KmipTestServer::~KmipTestServer() { Stop(); }

void KmipTestServer::Start() {
  state_->ctx = MakeContext(state_->options);
  State* s = state_.get();
  state_->listener.Start("KmipTestServer", [s](int fd) { Serve(*s, fd); });
}

void KmipTestServer::Stop() { state_->listener.Stop(); }

uint16_t KmipTestServer::Port() const { return state_->listener.Port(); }

// Runs F on the state under its lock; F's result.
template <typename F>
auto Locked(const std::shared_ptr<KmipTestServer::State>& s, F f) {
  std::lock_guard<std::mutex> lock(s->mutex);
  return f(*s);
}

void KmipTestServer::AddKey(const std::string& id, std::vector<uint8_t> material,
                            std::optional<uint32_t> state) {
  Locked(state_, [&](State& s) { s.config.keys[id] = KeyEntry{std::move(material), state}; });
}
void KmipTestServer::RemoveKey(const std::string& id) {
  Locked(state_, [&](State& s) { s.config.keys.erase(id); });
}
void KmipTestServer::SetVersions(std::vector<std::pair<int, int>> versions) {
  Locked(state_, [&](State& s) { s.config.versions = std::move(versions); });
}
void KmipTestServer::SetFault(Fault fault) {
  Locked(state_, [&](State& s) { s.fault = fault; });
}
void KmipTestServer::SetFailure(std::optional<FailureResult> failure) {
  Locked(state_, [&](State& s) { s.config.failure = std::move(failure); });
}

int KmipTestServer::Connections() const { return state_->connections; }
int KmipTestServer::Handshakes() const { return state_->handshakes; }
int KmipTestServer::Requests(Qlkmip::Kmip::Operation operation) const {
  return Locked(state_, [&](State& s) {
    const auto it = s.requests.find(static_cast<uint32_t>(operation));
    return it == s.requests.end() ? 0 : it->second;
  });
}
int KmipTestServer::Requests() const {
  return Locked(state_, [](State& s) { return s.messages; });
}
std::vector<uint8_t> KmipTestServer::LastRequest() const {
  return Locked(state_, [](State& s) { return s.lastRequest; });
}

std::unique_ptr<KmipTestServer> StartServer(const CertSet& certs) {
  KmipTestServer::Options options;
  options.server = certs.server;
  options.server.certPem += certs.ca.certPem;
  options.clientCaPem = certs.ca.certPem;
  auto server = std::make_unique<KmipTestServer>(options);
  server->Start();
  return server;
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
