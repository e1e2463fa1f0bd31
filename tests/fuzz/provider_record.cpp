// Fuzz target: reading providers back from the store. The bytes are imported (as an operator's
// configuration import would) into an in-memory store, replacing every provider; then each listed
// provider is read as its API record, its key-server record and its host names. The records of a
// provider read in full must agree (same servers, in order), and the API record must encode to
// JSON that decodes to the same record.
#include "configstore/provider_config.h"

#include <harlibs/log.h>
#include <zyl-bindings/services.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

namespace PC = Zyld::ProviderConfig;

constexpr size_t kMaxInputBytes = 64 * 1024;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

void CheckEncodes(const PC::ProviderInfo& info) {
  const boost::json::value encoded = Mirel::Codec::Encode(info);
  PC::ProviderInfo again;
  Mirel::Codec::DecodeError error;
  Check(Mirel::Codec::Decode(encoded, again, error) && Mirel::Codec::Encode(again) == encoded);
}

void ReadProvider(const std::string& id) {
  PC::ProviderInfo info;
  const bool infoRead = PC::GetProviderInfo(id, info) == PC::Success;
  Zyld::Kms::KmsInfo kms;
  const bool kmsRead = PC::GetKmsInfo(id, kms) == PC::Success;
  std::vector<std::string> hosts;
  std::string proxy;
  const bool hostsRead = PC::GetProviderHosts(id, true, true, hosts, proxy) == PC::Success;
  if (infoRead) {
    CheckEncodes(info);
  }
  if (!infoRead || !kmsRead || !hostsRead) {
    return;
  }
  const auto& servers = info.keyServer.kmipServer.servers;
  Check(servers.size() == kms.servers.size() && servers.size() == hosts.size());
  for (size_t i = 0; i < servers.size(); ++i) {
    Check(servers[i].name == kms.servers[i].name && servers[i].address.hostname == hosts[i] &&
          kms.servers[i].host == hosts[i]);
  }
  Check(info.masterKeyId == kms.masterKeyId);
  const auto& proxyServer = info.keyServer.proxyServer;
  Check(proxyServer ? proxy == proxyServer->hostname && kms.proxyHost == proxy : proxy.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool configured = [] {
    OvikConfigStore::ConfigStore::Configure(":memory:");
    Log_Configure(kLogRecord, "");  // the read failures it provokes need no log lines
    return true;
  }();
  (void)configured;
  if (size > kMaxInputBytes) {
    return 0;
  }
  if (PC::ImportConfiguration(std::string(reinterpret_cast<const char*>(data), size)) !=
      PC::Success) {
    return 0;
  }
  std::vector<std::string> ids;
  Check(PC::ListProviderIds(ids) == PC::Success);
  for (const std::string& id : ids) {
    ReadProvider(id);
  }
  return 0;
}
