// KmsConnector: the connection specification, the handshake, one command per call, and the
// mapping of library statuses.
#include "kms/kms_connector.h"

#include <harlibs/log.h>
#include <ironveil-common/ssl_utils.h>

#include <cinttypes>
#include <string_view>

namespace Zyld::Kms {
namespace {

constexpr char kKmipVersion[] = "1.1";
constexpr int64_t kDefaultTimeoutSeconds = 60;
constexpr char kCertBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kCertEndNewline[] = "-----END CERTIFICATE-----\n";
constexpr char kCredentialOptions[] = ", Options={Authentication={User=%s, Password=%s}}";
// Fixed text of a specification, besides the hex-encoded certificates and key.
constexpr size_t kSpecReserve = 256;
constexpr size_t kHexPerByte = 2;

void AppendHex(Har::Secret& out, std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  constexpr unsigned kNibbleBits = 4;
  constexpr unsigned kNibbleMask = 0x0f;
  for (unsigned char c : text) {
    out.push_back(kDigits[c >> kNibbleBits]);
    out.push_back(kDigits[c & kNibbleMask]);
  }
}

void AppendDecimal(Har::Secret& out, int64_t value) { out.append(std::to_string(value)); }

// Standardizes a certificate copy (one trailing newline); on failure logs `failure` and keeps
// the text as it stands.
std::string StandardCert(const std::string& pem, const char* failure) {
  std::string copy = pem;
  if (!Brask::Common::SslUtils::StandardizePemString(kCertBegin, kCertEndNewline, copy)) {
    Log_Level(kLogNotable, "%s", failure);
  }
  return copy;
}

void AppendTrusted(Har::Secret& spec, const std::string& pem, const char* failure) {
  spec.append(", Trusted_Cert=PEM:[");
  AppendHex(spec, StandardCert(pem, failure));
  spec.append("]");
}

void AppendAddress(Har::Secret& spec, const KmsInfo& info, const ServerEntry& server) {
  if (!info.proxyHost.empty()) {
    spec.append("Proxy={Protocol=HTTP, Host='");
    spec.append(info.proxyHost);
    spec.append("', Port='");
    AppendDecimal(spec, info.proxyPort);
    spec.append("'},");
  }
  spec.append("Protocol=SSL, Host='");
  spec.append(server.host);
  spec.append("', Port='");
  AppendDecimal(spec, server.port);
  spec.append("', Timeout=");
  AppendDecimal(spec,
                info.connectionTimeout == 0 ? kDefaultTimeoutSeconds : info.connectionTimeout);
  spec.append(":Seconds, ");
}

void AppendClientCredentials(Har::Secret& spec, const KmsInfo& info) {
  if (info.clientCertificate.empty()) {
    return;
  }
  const std::string cert =
      StandardCert(info.clientCertificate, "Could not standardize client certificate.\n");
  spec.append("Certificate=PEM:[");
  AppendHex(spec, cert);
  spec.append("], Public=PEM:[");
  AppendHex(spec, cert);
  spec.append("], Private=PEM:[");
  AppendHex(spec, info.privateKey.view());
  spec.append("],");
}

}  // namespace

KmsConnector::KmsConnector(std::shared_ptr<const KmsInfo> info) : info_(std::move(info)) {}

KmsConnector::~KmsConnector() = default;

const std::string& KmsConnector::ServerName(uint32_t server) const {
  static const std::string kNone;
  return server < info_->servers.size() ? info_->servers[server].name : kNone;
}

Har::Secret KmsConnector::BuildConnectionSpec(uint32_t server, bool trust,
                                              const std::string& overrideCert) const {
  const KmsInfo& info = *info_;
  Har::Secret spec;
  if (server >= info.servers.size()) {
    Log_Level(kLogFailure, "No server %u in provider %s\n", server, info.name.c_str());
    return spec;
  }
  const ServerEntry& entry = info.servers[server];
  Log_Level(kLogInfo, "Create client context for server %s: %" PRId64 "\n", entry.host.c_str(),
            entry.port);
  spec.reserve(kSpecReserve +
               2 * kHexPerByte * (info.clientCertificate.size() + info.privateKey.size()));
  spec.append("Presentation={Protocol=KMIP, Version='");
  spec.append(kKmipVersion);
  spec.append("', Format=TTLV}, Session = {");
  AppendAddress(spec, info, entry);
  AppendClientCredentials(spec, info);
  spec.append("User_Trust, Authenticate}");
  if (!trust) {
    return spec;
  }
  if (!overrideCert.empty()) {
    AppendTrusted(spec, overrideCert, "Could not standardize trusted server certificate.\n");
    return spec;
  }
  for (const std::string& pem : info.trustedServerCertificates) {
    AppendTrusted(spec, pem, "Could not standardize server certificate.\n");
  }
  return spec;
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
