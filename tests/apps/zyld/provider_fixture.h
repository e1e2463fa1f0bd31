// Shared set-up of the persistence tests: a fresh store database in a temporary directory, a
// helper that writes a provider through ProviderConfig the way the providers service does, and
// certificates with their keys.
#pragma once

#include "configstore/provider_config.h"
#include "zyld_test_util.h"

#include <configstore/configstore.h>
#include <ironveil-common/ssl_utils.h>
#include <test_pem.h>

#include <optional>
#include <string>
#include <vector>

namespace ZyldTest {

namespace PC = Zyld::ProviderConfig;

struct ServerSpec {
  std::string name;
  std::string host;
  int64_t port = 5696;
};

struct ProviderSpec {
  std::string id;
  std::string masterKeyId = "mk-1";
  std::optional<std::string> description;
  std::optional<int64_t> timeout;
  std::optional<std::string> username;
  std::string proxyHost;  // empty: none
  int64_t proxyPort = 443;
  std::vector<ServerSpec> servers;
};

inline PC::ConfigResult WriteProvider(const ProviderSpec& spec) {
  PC::ProviderObjects objects{.providerId = spec.id};
  PC::ConfigResult r = PC::CreateProviderObjects(objects);
  if (r != PC::Success) {
    return r;
  }
  PC::SetMasterKeyId(objects, spec.masterKeyId);
  PC::SetKeyServerType(objects, PC::KeyServerType::KMIP);
  if (spec.description) {
    PC::SetDescription(objects, *spec.description);
  }
  if (spec.timeout) {
    PC::SetConnectionTimeout(objects, *spec.timeout);
  }
  if (spec.username) {
    PC::SetUsername(objects, *spec.username);
  }
  if (!spec.proxyHost.empty()) {
    PC::SetProxyServer(objects, spec.proxyHost, spec.proxyPort);
  }
  for (const ServerSpec& s : spec.servers) {
    if ((r = PC::AddServer(objects, s.name, s.host, s.port)) != PC::Success) {
      return r;
    }
  }
  return PC::CommitProviderObjects(objects);
}

// A certificate and its key, and the same certificate written with 76-column CRLF lines and
// surrounding white space (standardisation gives back `cert` without its final newline).
struct TestCert {
  std::string key;
  std::string cert;
  std::string messy;
  std::string standard;
};

inline TestCert MakeCert() {
  TestCert c;
  Brask::Common::SslUtils::GenerateKeyAndCert(c.key, c.cert);
  c.messy = "  \r\n-----BEGIN CERTIFICATE-----\r\n" +
            TestSupport::Wrap(TestSupport::PemBody(c.cert), 76, "\r\n") +
            "-----END CERTIFICATE-----\r\n\r\n";
  c.standard = c.cert.substr(0, c.cert.size() - 1);
  return c;
}

// A private key and its self-signed certificate.
using Identity = TestSupport::KeyAndCert;
inline Identity NewIdentity() { return TestSupport::NewKeyAndCert(); }
// A key pair made once per process for each tag.
template <int Tag>
const Identity& SharedIdentity() {
  static const Identity id = NewIdentity();
  return id;
}

// Stores `cert` as the certificate of `group` ("attestation": proofd's, "authn": the host's).
inline void StoreCertificate(const std::string& group, const std::string& cert) {
  auto object = std::make_shared<OvikConfigStore::ConfigStoreObject>(
      OvikConfigStore::ConfigStoreObjectId("certificate", group, "ovik"));
  object->SetValue("certificate", cert);
  OvikConfigStore::ConfigStore::GetStore(OvikConfigStore::sGlobalNamespace)->Set(object, nullptr);
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { OvikConfigStore::ConfigStore::Configure(dbPath_); }
  void TearDown() override { OvikConfigStore::ConfigStore::Configure(":memory:"); }

  std::shared_ptr<OvikConfigStore::ConfigStore> Store() {
    return OvikConfigStore::ConfigStore::GetStore(OvikConfigStore::sGlobalNamespace);
  }
  std::string Export() {
    std::string text, hash;
    EXPECT_EQ(PC::ExportProviders(text, hash), PC::Success);
    return text;
  }

  TempDir dir_;
  std::string dbPath_ = dir_.File("ovik.db");
};

}  // namespace ZyldTest
