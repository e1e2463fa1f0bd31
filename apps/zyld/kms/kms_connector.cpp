// KmsConnector: the connection specification, the handshake, one command per call, and the
// mapping of library statuses.
#include "kms/kms_connector.h"

#include <harlibs/log.h>
#include <ironveil-common/ssl_utils.h>

#include <qlkmipsimple/connection_spec.h>

#include <cinttypes>
#include <limits>
#include <optional>

namespace Zyld::Kms {
namespace {

// The end marker with a trailing newline: the copies standardised here end in one.
const std::string kCertEndNewline = std::string(Brask::Common::SslUtils::kPemCertificateEnd) + "\n";
constexpr char kCredentialOptions[] = ", Options={Authentication={User=%s, Password=%s}}";

// Standardizes a certificate copy (one trailing newline); on failure logs `failure` and keeps
// the text as it stands.
std::string StandardCert(const std::string& pem, const char* failure) {
  std::string copy = pem;
  if (!Brask::Common::SslUtils::StandardizePemString(Brask::Common::SslUtils::kPemCertificateBegin,
                                                     kCertEndNewline, copy)) {
    Log_Level(kLogNotable, "%s", failure);
  }
  return copy;
}

// A stored port as the specification's port: 1..65535, or nothing (never narrowed to another).
std::optional<uint16_t> ToPort(int64_t value) {
  if (value < 1 || value > std::numeric_limits<uint16_t>::max()) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

// The server, the proxy when a proxy host is set, and the time-out (the default when 0). False
// when a port or the time-out is out of range.
int64_t EffectiveTimeout(const KmsInfo& info) {
  return info.connectionTimeout == 0 ? Qlkmip::kDefaultTimeoutSeconds : info.connectionTimeout;
}

bool FillAddress(Qlkmip::ConnectionSpec& spec, const KmsInfo& info, const ServerEntry& server) {
  const std::optional<uint16_t> port = ToPort(server.port);
  if (!port) {
    return false;
  }
  spec.host = server.host;
  spec.port = *port;
  if (!info.proxyHost.empty()) {
    const std::optional<uint16_t> proxyPort = ToPort(info.proxyPort);
    if (!proxyPort) {
      return false;
    }
    spec.proxyHost = info.proxyHost;
    spec.proxyPort = *proxyPort;
  }
  const int64_t timeout = EffectiveTimeout(info);
  if (timeout < 1 || timeout > Qlkmip::kMaxTimeoutSeconds) {
    return false;
  }
  spec.timeoutSeconds = static_cast<int>(timeout);
  return true;
}

// The client certificate (also the public PEM) and private key, when a certificate is set.
void FillClientCredentials(Qlkmip::ConnectionSpec& spec, const KmsInfo& info) {
  if (info.clientCertificate.empty()) {
    return;
  }
  spec.hasClientCertificate = true;
  spec.certificatePem =
      StandardCert(info.clientCertificate, "Could not standardize client certificate.\n");
  spec.publicPem = spec.certificatePem;
  spec.privateKeyPem = info.privateKey;
}

// The override certificate alone when given, otherwise the configured ones.
void FillTrusted(Qlkmip::ConnectionSpec& spec, const KmsInfo& info,
                 const std::string& overrideCert) {
  if (!overrideCert.empty()) {
    spec.trustedPems.push_back(
        StandardCert(overrideCert, "Could not standardize trusted server certificate.\n"));
    return;
  }
  for (const std::string& pem : info.trustedServerCertificates) {
    spec.trustedPems.push_back(StandardCert(pem, "Could not standardize server certificate.\n"));
  }
}

}  // namespace

KmsConnector::KmsConnector(std::shared_ptr<const KmsInfo> info) : info_(std::move(info)) {}

KmsConnector::~KmsConnector() = default;

int64_t KmsConnector::TimeoutSeconds() const { return EffectiveTimeout(*info_); }

const std::string& KmsConnector::ServerName(uint32_t server) const {
  static const std::string kNone;
  return server < info_->servers.size() ? info_->servers[server].name : kNone;
}

Har::Secret KmsConnector::BuildConnectionSpec(uint32_t server, bool trust,
                                              const std::string& overrideCert) const {
  const KmsInfo& info = *info_;
  if (server >= info.servers.size()) {
    Log_Level(kLogFailure, "No server %u in provider %s\n", server, info.name.c_str());
    return Har::Secret();
  }
  const ServerEntry& entry = info.servers[server];
  Log_Level(kLogInfo, "Create client context for server %s: %" PRId64 "\n", entry.host.c_str(),
            entry.port);
  Qlkmip::ConnectionSpec spec;
  if (!FillAddress(spec, info, entry)) {
    Log_Level(kLogFailure, "Port or time-out out of range for server %s in provider %s\n",
              entry.name.c_str(), info.name.c_str());
    return Har::Secret();
  }
  FillClientCredentials(spec, info);
  if (trust) {
    FillTrusted(spec, info, overrideCert);
  }
  return Qlkmip::BuildConnectionSpec(spec);
}

KmsConnector::Handshake KmsConnector::Open(uint32_t server, bool trust,
                                           const std::string& overrideCert) const {
  const Har::Secret spec = BuildConnectionSpec(server, trust, overrideCert);
  Handshake handshake;
  handshake.result = OpenSession(handshake.session, spec.c_str());
  return handshake;
}

KmsResult KmsConnector::Connect(uint32_t server, QlcSession& session, std::string& error) const {
  Handshake handshake = Open(server, true, std::string());
  const int status = handshake.Status();
  if (status != QLC_OK) {
    error = qlc_explain(handshake.result.get());
    Log_Level(kLogFailure, "Failed to connect to key server, %s\n", error.c_str());
    session.reset();
    return MapLibraryStatus(status);
  }
  session = std::move(handshake.session);
  return Success;
}

KmsResult KmsConnector::Perform(const QlcSession& session, const std::string& keyId,
                                const char* command, QlcResult& result, std::string& error) const {
  const KmsInfo& info = *info_;
  QlcResult performed;
  if (info.username.empty()) {
    performed.reset(qlc_perform(session.get(), command, keyId.c_str()));
  } else {
    Har::Secret format(command);
    format.append(kCredentialOptions);
    performed.reset(qlc_perform(session.get(), format.c_str(), keyId.c_str(), info.username.c_str(),
                                info.password.c_str()));
  }
  const int status = qlc_ok(performed.get());
  if (status != QLC_OK) {
    error = qlc_explain(performed.get());
    Log_Level(kLogFailure, "%s failed on key %s, %s\n", command, keyId.c_str(), error.c_str());
    return MapLibraryStatus(status);
  }
  result = std::move(performed);
  return Success;
}

QlcResult KmsConnector::OpenSession(QlcSession& session, const char* spec) const {
  qlc_session* opened = nullptr;
  QlcResult result(qlc_connect_key_manager(&opened, spec));
  session.reset(opened);
  return result;
}

KmsResult KmsConnector::MapLibraryStatus(int status) {
  switch (status) {
    case QLC_OK:
      return Success;
    case QLC_COMMUNICATION:
      return KeyServerCommunicationError;
    case QLC_TIMEOUT:
      return KeyServerTimeout;
    default:
      return GeneralError;
  }
}

}  // namespace Zyld::Kms
