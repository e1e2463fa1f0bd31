// Server certificates, KMIP version discovery and the per-provider status probe.
#include "kms/kmip_kms.h"
#include "kms/kms_wipe.h"
#include "kms/qlc_handles.h"

#include <harlibs/log.h>
#include <ironveil-common/ssl_utils.h>

#include <strings.h>

#include <cstdlib>

namespace Zyld::Kms {
namespace {

constexpr char kCertBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kCertEnd[] = "-----END CERTIFICATE-----";
constexpr char kClientNotTrustingServer[] =
    "com.velora.ovik.kms.providers.statussvc.client_not_trusting_server";
constexpr char kServerNotTrustingClient[] =
    "com.velora.ovik.kms.providers.statussvc.server_not_trusting_client";
constexpr uint32_t kCredentialFormatPem = 1;
constexpr uint32_t kCredentialFormatPemAlt = 4;

const char* TrueFalse(bool value) { return value ? "true" : "false"; }

}  // namespace

KmsResult KmipKms::GetRemoteServerCertificate(uint32_t server, std::string& certificate,
                                              std::string& error) {
  {
    Har::ReadGuard guard(cache_.lock);
    if (cache_.valid && server < cache_.remoteServerCertificates.size() &&
        !cache_.remoteServerCertificates[server].empty()) {
      certificate = cache_.remoteServerCertificates[server];
      Log_Level(kLogTrace, "Provider %s using cached remote server cert for server %s\n",
                info_->name.c_str(), ServerName(server).c_str());
      return Success;
    }
  }
  return FetchRemoteServerCertificate(server, certificate, error);
}

KmsResult KmipKms::FetchRemoteServerCertificate(uint32_t server, std::string& certificate,
                                                std::string& error) const {
  Log_Level(kLogTrace, "Fetching remote server cert\n");
  Har::SecureString spec = BuildConnectionSpec(server, false, std::string());
  qlc_session* raw = nullptr;
  QlcResult result(OpenSession(&raw, spec.c_str()));
  Har::Cleanse(spec);
  QlcSession session(raw);
  const int status = qlc_ok(result.get());
  KmsResult r = Success;
  if (status == QLC_UNTRUSTED) {
    std::string fetched;
    r = FetchServerCredentials(result.get(), fetched, error);
    if (r == Success) {
      if (!Brask::Common::SslUtils::StandardizePemString(kCertBegin, kCertEnd, fetched)) {
        Log_Level(kLogNotable, "Failed to standardize server certificate of key server %s\n",
                  ServerName(server).c_str());
      }
      certificate.swap(fetched);
    }
  } else if (status == QLC_OK) {
    error =
        "Client unexpectedly connected to key management server without any trusted server "
        "certificate";
    r = ServerCertNotRequired;
  } else {
    error = qlc_explain(result.get());
    r = MapLibraryStatus(status);
  }
  if (r != Success) {
    Log_Level(kLogFailure, "Failed to fetch server certificate from key server %s: %s\n",
              ServerName(server).c_str(), error.c_str());
  }
  return r;
}

KmsResult KmipKms::FetchServerCredentials(qlc_result* result, std::string& certificate,
                                          std::string& error) {
  qlc_credentials* raw = nullptr;
  const int status = qlc_fetch_server_credentials(result, &raw);
  QlcCredentials credentials(raw);
  if (status != QLC_OK) {
    error = qlc_explain(result);
    Log_Level(kLogFailure, "Failed to fetch server cert: ret = %d reason = %s\n", status,
              error.c_str());
    return MapLibraryStatus(status);
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

bool KmipKms::IsSupportedVersion(const std::string& version) {
  const char* begin = version.c_str();
  char* end = nullptr;
  std::strtod(begin, &end);
  const size_t dot = version.find('.');
  if (end == begin || dot == std::string::npos || version.find('.', dot + 1) != std::string::npos) {
    return false;
  }
  const std::string major = version.substr(0, dot);
  const std::string minor = version.substr(dot + 1);
  return strcasecmp(major.c_str(), "1") == 0 && minor.compare("1") >= 0;
}

KmsResult KmipKms::DiscoverVersions(uint32_t server, bool alwaysTrustServer,
                                    const std::string& remoteCertificate, std::string& error,
                                    std::vector<std::string>& versions) const {
  const std::string& name = ServerName(server);
  Har::SecureString spec = BuildConnectionSpec(server, true, std::string());
  qlc_session* raw = nullptr;
  QlcResult connected(OpenSession(&raw, spec.c_str()));
  Har::Cleanse(spec);
  int status = qlc_ok(connected.get());
  if (status == QLC_UNTRUSTED && alwaysTrustServer) {
    if (remoteCertificate.empty()) {
      error = "No certificate of key server " + name + " to trust";
      return MapLibraryStatus(status);
    }
    spec = BuildConnectionSpec(server, true, remoteCertificate);
    connected.reset();
    connected.reset(OpenSession(&raw, spec.c_str()));
    Har::Cleanse(spec);
    status = qlc_ok(connected.get());
  }
  if (status != QLC_OK) {
    error = qlc_explain(connected.get());
    Log_Level(kLogFailure, "Failed to connect to key server %s: %s\n", name.c_str(), error.c_str());
    return MapLibraryStatus(status);
  }
  QlcSession session(raw);
  connected.reset();
  QlcResult result(qlc_perform(session.get(), "Query, Versions"));
  status = qlc_ok(result.get());
  if (status != QLC_OK) {
    error = qlc_explain(result.get());
    Log_Level(kLogFailure, "Failed to query versions in key server %s: %s\n", name.c_str(),
              error.c_str());
    return MapLibraryStatus(status);
  }
  if (qlc_find("Versions", result.get()) == nullptr) {
    Log_Level(kLogFailure, "Key server %s did not return version information\n", name.c_str());
    error = "Key server did not return any version";
    versions.clear();
    return NoVersionsFound;
  }
  bool supported = false;
  for (const qlc_node* node = qlc_find("Versions/", result.get()); node != nullptr;
       node = qlc_next(node)) {
    char* text = nullptr;
    status = qlc_value_of(nullptr, node, "%s", &text);
    if (status != QLC_OK) {
      qlc_free(text);
      Log_Level(kLogFailure, "Failed to get version from the response of key server %s: %d\n",
                name.c_str(), status);
      error = "Failed to get version from the key server";
      return MapLibraryStatus(status);
    }
    Log_Level(kLogInfo, "Found server version %s for key server %s\n", text, name.c_str());
    versions.emplace_back(text);
    supported = IsSupportedVersion(versions.back()) || supported;
    qlc_free(text);
  }
  if (!supported) {
    error = "Key server version not supported";
    return NoSupportedVersions;
  }
  return Success;
}

void KmipKms::ProbeServer(uint32_t server, KmsCache& record) {
  const std::string& name = ServerName(server);
  const char* provider = info_->name.c_str();
  KmsServerStatus entry;
  std::string error;
  std::string certificate;
  if (FetchRemoteServerCertificate(server, certificate, error) != Success) {
    Log_Level(kLogFailure, "Failed to get remote server cert for server %s of provider %s\n",
              name.c_str(), provider);
    error.clear();
    certificate.clear();
  }
  std::vector<std::string> versions;
  bool healthy = false;
  KmsResult r = DiscoverVersions(server, false, certificate, error, versions);
  if (r == Success) {
    entry.clientTrustServer = entry.serverTrustClient = healthy = true;
  } else {
    Log_Level(kLogFailure,
              "DiscoverVersions(alwaysTrustServer=False) failed for server %s of provider %s: %s\n",
              name.c_str(), provider, error.c_str());
    entry.errors[kClientNotTrustingServer] = r;
    versions.clear();
    r = DiscoverVersions(server, true, certificate, error, versions);
    if (r == Success) {
      entry.serverTrustClient = true;
    } else {
      Log_Level(
          kLogFailure,
          "DiscoverVersions(alwaysTrustServer=True) failed for server %s of provider %s: %s\n",
          name.c_str(), provider, error.c_str());
      entry.errors[kServerNotTrustingClient] = r;
    }
  }
  Log_Level(kLogTrace,
            "Status update - provider: %s server: %s serverTrustClient: %d clientTrustServer: %d\n",
            provider, name.c_str(), entry.serverTrustClient ? 1 : 0,
            entry.clientTrustServer ? 1 : 0);
  KmsStatus& status = record.status;
  if (!status.masterKeyFound) {
    if (healthy) {
      error.clear();
      r = GetKey(server, info_->masterKeyId, true, record.masterKey, record.keyState, error);
      if (r == Success) {
        std::string checkError;
        r = CheckMasterKey(record.masterKey.size(), record.keyState, status.masterKeyFound,
                           status.masterKeyUsable, status.keySizeSupported, checkError);
        if (error.empty()) {
          error = checkError;
        }
        Log_Level(kLogTrace,
                  "Provider %s status update master key found %s usable %s size supported %s\n",
                  provider, TrueFalse(status.masterKeyFound), TrueFalse(status.masterKeyUsable),
                  TrueFalse(status.keySizeSupported));
      }
      if (status.masterKeyFound && status.masterKeyUsable && status.keySizeSupported) {
        status.keyProblems.clear();
        Log_Level(kLogTrace, "Provider %s status update master key state %d\n", provider,
                  record.keyState);
      } else {
        Log_Level(kLogNotable, "Master key is not available in server %s of provider %s: %s\n",
                  name.c_str(), provider, error.c_str());
        status.keyProblems.push_back(r);
      }
    } else {
      Log_Level(kLogNotable, "Key server %s of provider %s is unhealthy\n", name.c_str(), provider);
      status.keyProblems.push_back(MasterKeyNotFound);
    }
  }
  status.servers.push_back(std::move(entry));
  record.remoteServerCertificates.push_back(std::move(certificate));
}

void KmipKms::ProbeStatus(KmsCache& record) {
  record.keyState = kKeyStateUnknown;
  record.status.masterKeyFound = record.status.masterKeyUsable = record.status.keySizeSupported =
      false;
  for (uint32_t server = 0; server < GetServerCount(); ++server) {
    ProbeServer(server, record);
  }
  if (!record.status.masterKeyFound || record.keyState == 5 || record.keyState == 6) {
    Log_Level(kLogTrace,
              "Master key not found or already destroyed, clearing cache. Provider %s key %s\n",
              info_->name.c_str(), info_->masterKeyId.c_str());
    Har::Cleanse(record.masterKey.data(), record.masterKey.size());
    record.masterKey.clear();
  }
}

}  // namespace Zyld::Kms
