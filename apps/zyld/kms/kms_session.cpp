// KmipKms construction, simple accessors and the session layer: the connection specification,
// connecting, running one command, and the mapping of library statuses.
#include "kms/kmip_kms.h"
#include "kms/kms_wipe.h"
#include "kms/qlc_handles.h"
#include "configstore/provider_config.h"

#include <harlibs/log.h>
#include <ironveil-common/ssl_utils.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>

namespace Zyld::Kms {
namespace {

constexpr char kKmipVersion[] = "1.1";
constexpr int64_t kDefaultTimeoutSeconds = 60;
constexpr char kCertBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kCertEndNewline[] = "-----END CERTIFICATE-----\n";
constexpr char kCredentialOptions[] = ", Options={Authentication={User=%s, Password=%s}}";

std::atomic<WipeAudit::Observer> gObserver{nullptr};
std::atomic<int64_t> gLiveGuards{0};

void AppendHex(Har::SecureString& out, const std::string& text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (unsigned char c : text) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0x0f]);
  }
}

void AppendDecimal(Har::SecureString& out, int64_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%" PRId64, value);
  out.append(buffer);
}

// Standardizes a certificate copy (one trailing newline); on failure logs `failure` and keeps
// the text as it stands.
std::string StandardCert(const std::string& pem, const char* failure) {
  std::string copy = pem;
  if (!Brask::Common::SslUtils::StandardizePemString(kCertBegin, kCertEndNewline, copy)) {
    Log_Level(kLogNotable, "%s", failure);
  }
  return copy;
}

void AppendTrusted(Har::SecureString& spec, const std::string& pem, const char* failure) {
  spec.append(", Trusted_Cert=PEM:[");
  AppendHex(spec, StandardCert(pem, failure));
  spec.append("]");
}

}  // namespace

namespace WipeAudit {
void SetObserver(Observer observer) { gObserver.store(observer); }
void Report(const char* what, const void* data, size_t size) {
  Observer observer = gObserver.load(std::memory_order_relaxed);
  if (observer != nullptr) {
    observer(what, static_cast<const uint8_t*>(data), size);
  }
}
int64_t LiveGuards() { return gLiveGuards.load(); }
void AddLive(int64_t delta) { gLiveGuards.fetch_add(delta, std::memory_order_relaxed); }
}  // namespace WipeAudit

KmsCache::KmsCache() : lock("kmsCache", kKmsCacheLockRank) {}

KmsCache::~KmsCache() { Har::Cleanse(masterKey.data(), masterKey.size()); }

std::unique_ptr<KmipKms> CreateKms(const std::string& providerId,
                                   ProviderConfig::ConfigResult* result) {
  auto info = std::make_shared<KmsInfo>();
  const ProviderConfig::ConfigResult read = ProviderConfig::GetKmsInfo(providerId, *info);
  if (result != nullptr) {
    *result = read;
  }
  if (read != ProviderConfig::Success) {
    Log_Level(kLogNotable, "Error getting provider %s\n", providerId.c_str());
    return nullptr;
  }
  return std::make_unique<KmipKms>(std::move(info));
}

KmipKms::KmipKms(std::shared_ptr<const KmsInfo> info) : info_(std::move(info)) {}

KmipKms::~KmipKms() = default;

uint32_t KmipKms::GetServerCount() const { return static_cast<uint32_t>(info_->servers.size()); }

void KmipKms::GetTrustedServerCertificates(std::vector<std::string>& certificates) const {
  certificates = info_->trustedServerCertificates;
}

void KmipKms::GetClientCertificate(std::string& certificate) const {
  certificate = info_->clientCertificate;
}

int KmipKms::GetServerName(uint32_t server, std::string& name) const {
  name = ServerName(server);
  return 0;
}

const std::string& KmipKms::ServerName(uint32_t server) const {
  static const std::string kNone;
  return server < info_->servers.size() ? info_->servers[server].name : kNone;
}

Har::SecureString KmipKms::BuildConnectionSpec(uint32_t server, bool trust,
                                               const std::string& overrideCert) const {
  const KmsInfo& info = *info_;
  Har::SecureString spec;
  if (server >= info.servers.size()) {
    Log_Level(kLogFailure, "No server %u in provider %s\n", server, info.name.c_str());
    return spec;  // the library rejects an empty specification
  }
  const ServerEntry& s = info.servers[server];
  Log_Level(kLogInfo, "Create client context for server %s: %" PRId64 "\n", s.host.c_str(), s.port);
  spec.reserve(256 + 4 * (info.clientCertificate.size() + info.privateKey.size()));
  spec.append("Presentation={Protocol=KMIP, Version='")
      .append(kKmipVersion)
      .append("', Format=TTLV}, Session = {");
  if (!info.proxyHost.empty()) {
    spec.append("Proxy={Protocol=HTTP, Host='").append(info.proxyHost).append("', Port='");
    AppendDecimal(spec, info.proxyPort);
    spec.append("'},");
  }
  spec.append("Protocol=SSL, Host='").append(s.host).append("', Port='");
  AppendDecimal(spec, s.port);
  spec.append("', Timeout=");
  AppendDecimal(spec,
                info.connectionTimeout == 0 ? kDefaultTimeoutSeconds : info.connectionTimeout);
  spec.append(":Seconds, ");
  if (!info.clientCertificate.empty()) {
    const std::string cert =
        StandardCert(info.clientCertificate, "Could not standardize client certificate.\n");
    spec.append("Certificate=PEM:[");
    AppendHex(spec, cert);
    spec.append("], Public=PEM:[");
    AppendHex(spec, cert);
    spec.append("], Private=PEM:[");
    AppendHex(spec, info.privateKey);
    spec.append("],");
  }
  spec.append("User_Trust, Authenticate}");
  if (trust) {
    if (!overrideCert.empty()) {
      AppendTrusted(spec, overrideCert, "Could not standardize trusted server certificate.\n");
    } else {
      for (const std::string& pem : info.trustedServerCertificates) {
        AppendTrusted(spec, pem, "Could not standardize server certificate.\n");
      }
    }
  }
  return spec;
}

KmsResult KmipKms::Connect(qlc_session** session, uint32_t server, std::string& error) const {
  Har::SecureString spec = BuildConnectionSpec(server, true, std::string());
  *session = nullptr;
  QlcResult result(OpenSession(session, spec.c_str()));
  Har::Cleanse(spec);
  const int status = qlc_ok(result.get());
  if (status != QLC_OK) {
    error = qlc_explain(result.get());
    Log_Level(kLogFailure, "Failed to connect to key server, %s\n", error.c_str());
    if (*session != nullptr) {
      qlc_disconnect_key_manager(*session);
      *session = nullptr;
    }
  }
  return MapLibraryStatus(status);
}

KmsResult KmipKms::PerformOperation(qlc_session* session, const std::string& keyId,
                                    const char* command, std::string& error,
                                    qlc_result** out) const {
  const KmsInfo& info = *info_;
  QlcResult result;
  if (info.username.empty()) {
    result.reset(qlc_perform(session, command, keyId.c_str()));
  } else {
    Har::SecureString format(command);
    format.append(kCredentialOptions);
    result.reset(qlc_perform(session, format.c_str(), keyId.c_str(), info.username.c_str(),
                             info.password.c_str()));
  }
  const int status = qlc_ok(result.get());
  if (status != QLC_OK) {
    error = qlc_explain(result.get());
    Log_Level(kLogFailure, "%s failed on key %s, %s\n", command, keyId.c_str(), error.c_str());
  } else if (out != nullptr) {
    *out = result.release();
  }
  return MapLibraryStatus(status);
}

qlc_result* KmipKms::OpenSession(qlc_session** session, const char* spec) const {
  return qlc_connect_key_manager(session, spec);
}

KmsResult KmipKms::MapLibraryStatus(int status) {
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
