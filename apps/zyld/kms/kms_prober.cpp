// KmsProber: server certificates, KMIP version discovery and the per-provider status probe.
#include "kms/kms_prober.h"

#include <harlibs/log.h>
#include <ironveil-common/ssl_utils.h>

#include <charconv>
#include <cstring>

namespace Zyld::Kms {
namespace {

constexpr char kClientNotTrustingServer[] =
    "com.velora.ovik.kms.providers.statussvc.client_not_trusting_server";
constexpr char kServerNotTrustingClient[] =
    "com.velora.ovik.kms.providers.statussvc.server_not_trusting_client";
constexpr char kQueryVersions[] = "Query, Versions";
constexpr std::string_view kSupportedMajor = "1";
constexpr unsigned kLowestSupportedMinor = 1;
// Longest minor version number read; longer texts are not versions this code supports.
constexpr size_t kMaxMinorDigits = 9;

// Credential formats of the library that carry a PEM certificate.
enum CredentialFormat : uint32_t {
  kCredentialFormatPem = 1,
  kCredentialFormatPemAlt = 4,
};

const char* TrueFalse(bool value) { return value ? "true" : "false"; }

bool AllDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return !text.empty();
}

KmsResult FetchServerCredentials(const QlcResult& result, std::string& certificate,
                                 std::string& error) {
  qlc_credentials* fetched = nullptr;
  const int status = qlc_fetch_server_credentials(result.get(), &fetched);
  const QlcCredentials credentials(fetched);
  if (status != QLC_OK) {
    error = qlc_explain(result.get());
    Log_Level(kLogFailure, "Failed to fetch server cert: ret = %d reason = %s\n", status,
              error.c_str());
    return KmsConnector::MapLibraryStatus(status);
  }
  if (credentials == nullptr || (credentials->format != kCredentialFormatPem &&
                                 credentials->format != kCredentialFormatPemAlt)) {
    const int format = credentials == nullptr ? -1 : static_cast<int>(credentials->format);
    Log_Level(kLogFailure, "Unknown certificate format %d\n", format);
    error = "Invalid certificate format";
    return CertFormatUnknown;
  }
  certificate.assign(reinterpret_cast<const char*>(credentials->data), credentials->length);
  return Success;
}

// A handshake that could not reach the server at all (not one the server refused).
bool IsUnreachable(KmsResult r) {
  return r == KeyServerTimeout || r == KeyServerCommunicationError;
}

// The entry of a server the certificate fetch could not reach. The version queries would only
// wait for the same time-out again (twice), so neither direction is tried: both are recorded as
// failed with the fetch's result.
KmsServerStatus Unreachable(const std::string& name, KmsResult r) {
  Log_Level(kLogFailure, "Key server %s is unreachable, skipping its version discovery\n",
            name.c_str());
  KmsServerStatus entry;
  entry.errors[kClientNotTrustingServer] = r;
  entry.errors[kServerNotTrustingClient] = r;
  return entry;
}

}  // namespace

KmsProber::KmsProber(const KmsConnector& connector, const MasterKeyReader& reader)
    : connector_(connector), reader_(reader) {}

KmsResult KmsProber::FetchRemoteServerCertificate(uint32_t server, std::string& certificate,
                                                  std::string& error) const {
  Log_Level(kLogTrace, "Fetching remote server cert\n");
  const KmsConnector::Handshake handshake = connector_.Open(server, false, std::string());
  const int status = handshake.Status();
  KmsResult r = Success;
  if (status == QLC_UNTRUSTED) {
    std::string fetched;
    r = FetchServerCredentials(handshake.result, fetched, error);
    if (r == Success) {
      if (!Brask::Common::SslUtils::StandardizePemString(
              Brask::Common::SslUtils::kPemCertificateBegin,
              Brask::Common::SslUtils::kPemCertificateEnd, fetched)) {
        Log_Level(kLogNotable, "Failed to standardize server certificate of key server %s\n",
                  connector_.ServerName(server).c_str());
      }
      certificate.swap(fetched);
    }
  } else if (status == QLC_OK) {
    error =
        "Client unexpectedly connected to key management server without any trusted server "
        "certificate";
    r = ServerCertNotRequired;
  } else {
    error = qlc_explain(handshake.result.get());
    r = KmsConnector::MapLibraryStatus(status);
  }
  if (r != Success) {
    Log_Level(kLogFailure, "Failed to fetch server certificate from key server %s: %s\n",
              connector_.ServerName(server).c_str(), error.c_str());
  }
  return r;
}

bool KmsProber::IsSupportedVersion(std::string_view version) {
  const size_t dot = version.find('.');
  if (dot == std::string_view::npos || version.substr(0, dot) != kSupportedMajor) {
    return false;
  }
  const std::string_view minor = version.substr(dot + 1);
  if (!AllDigits(minor) || minor.size() > kMaxMinorDigits) {
    return false;
  }
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(minor.data(), minor.data() + minor.size(), value);
  return ec == std::errc() && end == minor.data() + minor.size() && value >= kLowestSupportedMinor;
}

KmsResult KmsProber::OpenForVersions(uint32_t server, bool alwaysTrustServer,
                                     const std::string& remoteCertificate,
                                     KmsConnector::Handshake& handshake, std::string& error) const {
  const std::string& name = connector_.ServerName(server);
  handshake = connector_.Open(server, true, std::string());
  int status = handshake.Status();
  if (status == QLC_UNTRUSTED && alwaysTrustServer) {
    if (remoteCertificate.empty()) {
      error = "No certificate of key server " + name + " to trust";
      return KmsConnector::MapLibraryStatus(status);
    }
    handshake = KmsConnector::Handshake{};
    handshake = connector_.Open(server, true, remoteCertificate);
    status = handshake.Status();
  }
  if (status != QLC_OK) {
    error = qlc_explain(handshake.result.get());
    Log_Level(kLogFailure, "Failed to connect to key server %s: %s\n", name.c_str(), error.c_str());
    return KmsConnector::MapLibraryStatus(status);
  }
  return Success;
}

KmsResult KmsProber::ReadVersions(const std::string& name, const QlcResult& result,
                                  std::string& error, std::vector<std::string>& versions) const {
  if (qlc_find("Versions", result.get()) == nullptr) {
    Log_Level(kLogFailure, "Key server %s did not return version information\n", name.c_str());
    error = "Key server did not return any version";
    versions.clear();
    return NoVersionsFound;
  }
  bool supported = false;
  for (const qlc_node* node = qlc_find("Versions/", result.get()); node != nullptr;
       node = qlc_next(node)) {
    QlcValue value;
    char* text = nullptr;
    const int status = qlc_value_of(nullptr, node, "%s", &text);
    value.pointer_ = text;
    if (status != QLC_OK || text == nullptr) {
      Log_Level(kLogFailure, "Failed to get version from the response of key server %s: %d\n",
                name.c_str(), status);
      error = "Failed to get version from the key server";
      return KmsConnector::MapLibraryStatus(status == QLC_OK ? QLC_BAD_RESPONSE : status);
    }
    value.SetSize(std::strlen(text));
    Log_Level(kLogInfo, "Found server version %s for key server %s\n", text, name.c_str());
    versions.emplace_back(text, value.size_);
    supported = IsSupportedVersion(versions.back()) || supported;
  }
  if (!supported) {
    error = "Key server version not supported";
    return NoSupportedVersions;
  }
  return Success;
}

KmsResult KmsProber::DiscoverVersions(uint32_t server, bool alwaysTrustServer,
                                      const std::string& remoteCertificate, std::string& error,
                                      std::vector<std::string>& versions) const {
  KmsConnector::Handshake handshake;
  KmsResult r = OpenForVersions(server, alwaysTrustServer, remoteCertificate, handshake, error);
  if (r != Success) {
    return r;
  }
  const std::string& name = connector_.ServerName(server);
  const QlcResult result(qlc_perform(handshake.session.get(), kQueryVersions));
  const int status = qlc_ok(result.get());
  if (status != QLC_OK) {
    error = qlc_explain(result.get());
    Log_Level(kLogFailure, "Failed to query versions in key server %s: %s\n", name.c_str(),
              error.c_str());
    return KmsConnector::MapLibraryStatus(status);
  }
  return ReadVersions(name, result, error, versions);
}

KmsServerStatus KmsProber::ProbeTrust(uint32_t server, const std::string& certificate) const {
  const std::string& name = connector_.ServerName(server);
  const char* provider = connector_.Info().name.c_str();
  KmsServerStatus entry;
  std::string error;
  std::vector<std::string> versions;
  KmsResult r = DiscoverVersions(server, false, certificate, error, versions);
  if (r == Success) {
    entry.clientTrustServer = entry.serverTrustClient = true;
    return entry;
  }
  Log_Level(kLogFailure,
            "DiscoverVersions(alwaysTrustServer=False) failed for server %s of provider %s: %s\n",
            name.c_str(), provider, error.c_str());
  entry.errors[kClientNotTrustingServer] = r;
  versions.clear();
  r = DiscoverVersions(server, true, certificate, error, versions);
  if (r == Success) {
    entry.serverTrustClient = true;
  } else {
    Log_Level(kLogFailure,
              "DiscoverVersions(alwaysTrustServer=True) failed for server %s of provider %s: %s\n",
              name.c_str(), provider, error.c_str());
    entry.errors[kServerNotTrustingClient] = r;
  }
  return entry;
}

void KmsProber::ProbeMasterKey(uint32_t server, ProbeRecord& record) const {
  const char* provider = connector_.Info().name.c_str();
  KmsStatus& status = record.status;
  std::string error;
  KmsResult r = reader_.GetKey(server, connector_.Info().masterKeyId, true, record.masterKey,
                               record.keyState, error);
  if (r == Success) {
    MasterKeyCheck check;
    std::string checkError;
    r = MasterKeyReader::CheckMasterKey(record.masterKey.size(), record.keyState, check,
                                        checkError);
    status.masterKeyFound = check.found;
    status.masterKeyUsable = check.usable;
    status.keySizeSupported = check.sizeSupported;
    if (error.empty()) {
      error = checkError;
    }
    Log_Level(
        kLogTrace, "Provider %s status update master key found %s usable %s size supported %s\n",
        provider, TrueFalse(check.found), TrueFalse(check.usable), TrueFalse(check.sizeSupported));
  }
  if (status.masterKeyFound && status.masterKeyUsable && status.keySizeSupported) {
    status.keyProblems.clear();
    Log_Level(kLogTrace, "Provider %s status update master key state %d\n", provider,
              KeyStateValue(record.keyState));
    return;
  }
  Log_Level(kLogNotable, "Master key is not available in server %s of provider %s: %s\n",
            connector_.ServerName(server).c_str(), provider, error.c_str());
  status.keyProblems.push_back(r);
}

void KmsProber::ProbeServer(uint32_t server, ProbeRecord& record) const {
  const std::string& name = connector_.ServerName(server);
  const char* provider = connector_.Info().name.c_str();
  std::string error;
  std::string certificate;
  const KmsResult fetched = FetchRemoteServerCertificate(server, certificate, error);
  if (fetched != Success) {
    Log_Level(kLogFailure, "Failed to get remote server cert for server %s of provider %s\n",
              name.c_str(), provider);
    certificate.clear();
  }
  KmsServerStatus entry =
      IsUnreachable(fetched) ? Unreachable(name, fetched) : ProbeTrust(server, certificate);
  Log_Level(kLogTrace,
            "Status update - provider: %s server: %s serverTrustClient: %d clientTrustServer: %d\n",
            provider, name.c_str(), entry.serverTrustClient ? 1 : 0,
            entry.clientTrustServer ? 1 : 0);
  if (!record.status.masterKeyFound) {
    if (entry.clientTrustServer) {
      ProbeMasterKey(server, record);
    } else {
      Log_Level(kLogNotable, "Key server %s of provider %s is unhealthy\n", name.c_str(), provider);
      record.status.keyProblems.push_back(MasterKeyNotFound);
    }
  }
  record.status.servers.push_back(std::move(entry));
  record.remoteServerCertificates.push_back(std::move(certificate));
}

ProbeRecord KmsProber::ProbeStatus() const {
  ProbeRecord record;
  for (uint32_t server = 0; server < connector_.Info().servers.size(); ++server) {
    ProbeServer(server, record);
  }
  if (!record.status.masterKeyFound || IsDestroyed(record.keyState)) {
    Log_Level(kLogTrace,
              "Master key not found or already destroyed, clearing cache. Provider %s key %s\n",
              connector_.Info().name.c_str(), connector_.Info().masterKeyId.c_str());
    record.masterKey.Wipe();
  }
  return record;
}

}  // namespace Zyld::Kms
