// An in-process KMIP 1.1 server for tests: real TLS on 127.0.0.1 (ephemeral port), one thread
// per connection, built on the client library's TTLV codec. It serves Get (Raw symmetric keys of
// any length), Get Attributes "State" and Discover Versions from configurable data, answers
// requests it cannot parse with a message-level Invalid Message failure (header 1.0, no
// Operation), and can inject faults. Counters record connections, completed handshakes and
// requests per operation. All setters are thread-safe and take effect for the next request.
// Starting a server makes the process ignore SIGPIPE (test processes only).
#ifndef KMIP_TEST_SERVER_H
#define KMIP_TEST_SERVER_H

#include <qlkmipsimple/kmip_tags.h>
#include <qlkmipsimple/ttlv.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kmip_test_certs.h"

namespace KmipTest {

enum class Fault {
  None,
  StallHandshake,     // accept TCP, never speak TLS
  StallResponse,      // read the request, never answer
  ResetOnAccept,      // accept, then close with a TCP reset
  ResetAfterRequest,  // read the request, then reset
  CloseMidResponse,   // send the first 40 bytes of a response announcing more, then close
  GarbageResponse,    // answer bytes that are not a response message
  MalformedResponse,  // a response message whose inner items overrun their structure
  OversizedResponse,  // announce a 2 MiB response
};

struct KeyEntry {
  std::vector<uint8_t> material;
  std::optional<uint32_t> state = 2;  // nullopt: Get Attributes returns no State
};

// A whole-message failure: no Operation echoed, response header 1.0.
struct FailureResult {
  uint32_t reason = 1;  // Result Reason
  std::string message;  // Result Message
};

class KmipTestServer {
 public:
  struct Options {
    KeyPair server;           // presented certificate (PEM may hold a chain) and key
    std::string clientCaPem;  // authority client certificates must chain to
    bool requireClientCert = true;
    bool peerLikeTls = true;  // TLS 1.2 only, CBC-SHA256/384 suites as the PyKMIP peer
  };

  explicit KmipTestServer(Options options);
  ~KmipTestServer();
  KmipTestServer(const KmipTestServer&) = delete;
  KmipTestServer& operator=(const KmipTestServer&) = delete;

  // Listens on 127.0.0.1 with an ephemeral port. Throws std::runtime_error on failure.
  void Start();
  // Stops accepting, ends every connection (stalls included) and joins all threads. The port
  // is closed afterwards, so later connects to it are refused. Start once per object.
  void Stop();
  uint16_t Port() const;

  void AddKey(const std::string& id, std::vector<uint8_t> material,
              std::optional<uint32_t> state = 2);
  void RemoveKey(const std::string& id);
  // Versions returned for an empty Discover Versions list, e.g. {{2,0},{1,4},...,{1,0}}.
  void SetVersions(std::vector<std::pair<int, int>> versions);
  void SetFault(Fault fault);
  // Answers every request message with this failure (nullopt: normal answers).
  void SetFailure(std::optional<FailureResult> failure);

  int Connections() const;
  int Handshakes() const;
  // Batch items received for OPERATION; request messages (round trips) in all.
  int Requests(Qlkmip::Kmip::Operation operation) const;
  int Requests() const;
  // The bytes of the last request received (empty before any).
  std::vector<uint8_t> LastRequest() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// A started server with the credentials of CERTS: it sends its certificate with the authority's (as
// the peer does) and accepts clients of the authority.
std::unique_ptr<KmipTestServer> StartServer(const CertSet& certs);

// The connection specification text for 127.0.0.1 (or HOST) : PORT with the client's
// credentials and trusted certificates, written by the library's builder.
struct SpecOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  int timeoutSeconds = 10;
  std::string proxyHost;
  uint16_t proxyPort = 0;
  const KeyPair* client = nullptr;
  std::vector<std::string> trustedPems;
};
std::string BuildSpec(const SpecOptions& options);

}  // namespace KmipTest

#endif
