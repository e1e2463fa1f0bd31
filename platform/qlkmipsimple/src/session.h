// One client session: TCP (optionally through an HTTP CONNECT proxy), TLS, then one KMIP request
// at a time. Opening (connect, proxy exchange and handshake together) and each request/response
// get one deadline each of the specification's time-out. Responses are at most 1 MiB (announced
// length checked before reading). After a failed exchange the session no longer sends requests (the
// stream position is lost) and every later request fails with QLC_COMMUNICATION. A Get goes out
// with a Get Attributes "State" of the same object in the same message; the State answer is kept
// for the next request only: when that is the State query of the same object with the same
// credential options it is answered from the kept answer without a round trip, any other request
// drops it.
#ifndef QLKMIPSIMPLE_SESSION_H
#define QLKMIPSIMPLE_SESSION_H

#include <qlkmipsimple/connection_spec.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "kmip_messages.h"
#include "net.h"
#include "result_tree.h"
#include "tls_channel.h"

namespace Qlkmip {

constexpr size_t kMaxResponseSize = 1u << 20;

class Session {
 public:
  // Opens a session. On QLC_UNTRUSTED *presentedPem holds the server's certificate.
  static Net::Outcome Open(const ConnectionSpec& spec, std::unique_ptr<Session>* out,
                           std::string* presentedPem);

  Session(std::unique_ptr<TlsChannel> channel, int timeoutSeconds);

  // Sends REQUEST and fills RESULT from the response.
  void Perform(const Kmip::Request& request, qlc_result* result);

 private:
  // The answer of a State query sent along with a Get, and what that query was.
  struct KeptState {
    Kmip::Request query;
    Kmip::Reply reply;
    bool Answers(const Kmip::Request& request) const;
  };

  Kmip::Reply Exchange(const Kmip::Request& request);
  Kmip::Reply ExchangeGetWithState(const Kmip::Request& get);
  // Writes MESSAGE and reads one bounded response into *DECODED; a non-zero status on failure.
  Kmip::Reply RoundTrip(const Har::Secret& message, Ttlv::Item* decoded);

  std::mutex mutex_;
  std::optional<KeptState> kept_;
  std::unique_ptr<TlsChannel> channel_;
  int timeoutSeconds_;
  bool broken_ = false;
};

}  // namespace Qlkmip

struct qlc_session {
  std::unique_ptr<Qlkmip::Session> session;
};

#endif
