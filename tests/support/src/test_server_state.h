// Shared state of KmipTestServer (configuration, counters, threads) and the KMIP answer builder.
#ifndef KMIP_TEST_SERVER_STATE_H
#define KMIP_TEST_SERVER_STATE_H

#include <openssl/ssl.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "kmip_test_server.h"

namespace KmipTest {

// The part of the configuration an answer depends on, copied per request.
struct AnswerConfig {
  std::map<std::string, KeyEntry> keys;
  std::vector<std::pair<int, int>> versions;
  std::optional<FailureResult> failure;
};

// Builds the encoded response to REQUEST (null when the request did not decode).
std::vector<uint8_t> BuildAnswer(const AnswerConfig& config, const Qlkmip::Ttlv::Item* request);

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};

struct KmipTestServer::State {
  explicit State(Options o) : options(std::move(o)) {}

  Options options;
  mutable std::mutex mutex;  // guards everything below up to the counters
  AnswerConfig config;
  Fault fault = Fault::None;
  Responder responder;
  std::map<uint32_t, int> requests;
  std::vector<uint8_t> lastRequest;
  int messages = 0;  // request messages (round trips)

  std::atomic<int> connections{0};
  std::atomic<int> handshakes{0};
  std::atomic<bool> stopping{false};
  int listenFd = -1;
  uint16_t port = 0;
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
  std::thread acceptThread;
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex threadsMutex;
  std::vector<Connection> connectionThreads;  // finished ones are joined as new ones arrive
};

}  // namespace KmipTest

#endif
