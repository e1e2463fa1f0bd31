// Zyld::Kms::KmsConnector: opens KMIP 1.1 sessions to the servers of one provider through
// qlkmipsimple and runs single commands on them. It builds the connection specification (which
// carries the client private key, so it is a Har::Secret wiped when the call ends), adds the
// provider's credential options to key commands, and maps library statuses to KmsResult. Every
// handle it hands out is an owner (QlcSession, QlcResult); nothing is retried. It holds only the
// immutable provider information, so it is safe to use from several threads at once.
#pragma once

#include "kms/kms.h"
#include "kms/kms_info.h"

#include <harlibs/secure.h>
#include <qlkmipsimple/handles.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Zyld::Kms {

using Qlkmip::QlcCredentials;
using Qlkmip::QlcResult;
using Qlkmip::QlcSession;
using Qlkmip::QlcValue;

class KmsConnector {
 public:
  // What a handshake left: the library result (status, explanation, the server's credentials)
  // and the session, when the library opened one.
  struct Handshake {
    QlcSession session;
    QlcResult result;
    int Status() const { return qlc_ok(result.get()); }
  };

  explicit KmsConnector(std::shared_ptr<const KmsInfo> info);
  virtual ~KmsConnector();
  KmsConnector(const KmsConnector&) = delete;
  KmsConnector& operator=(const KmsConnector&) = delete;

  const KmsInfo& Info() const { return *info_; }
  // How long one session may wait for the server: the configured time-out, else the library's
  // default.
  int64_t TimeoutSeconds() const;
  // The configured name of the server; empty for an index past the list.
  const std::string& ServerName(uint32_t server) const;

  // The specification of a session to the server: address, proxy, timeout, client credentials
  // and, with `trust`, the trusted certificates (overrideCert alone when it is not empty). Empty
  // (which the library refuses) for an index past the list or a port or time-out out of range.
  Har::Secret BuildConnectionSpec(uint32_t server, bool trust,
                                  const std::string& overrideCert) const;
  // A handshake with that specification, whatever its outcome.
  Handshake Open(uint32_t server, bool trust, const std::string& overrideCert) const;
  // A session trusting the configured certificates; on failure no session, the reason in error.
  KmsResult Connect(uint32_t server, QlcSession& session, std::string& error) const;
  // Runs `command` (a format with one %s, the key identifier) with the credential options when
  // a user name is configured; the library result goes to `result` on success only.
  KmsResult Perform(const QlcSession& session, const std::string& keyId, const char* command,
                    QlcResult& result, std::string& error) const;

  static KmsResult MapLibraryStatus(int status);

 protected:
  // The library handshake; a seam for tests that need an outcome the library cannot produce
  // with a given specification.
  virtual QlcResult OpenSession(QlcSession& session, const char* spec) const;

 private:
  std::shared_ptr<const KmsInfo> info_;
};

}  // namespace Zyld::Kms
