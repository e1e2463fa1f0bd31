// The credential, client certificate and CSR services on a real store with real keys: the feature
// switch, the choice and checks of a client certificate's key, what is stored and what is read
// back, and the registry entry dropped after a change.
#include "mirel/client_certificate_impl.h"
#include "mirel/credential_impl.h"
#include "mirel/csr_impl.h"

#include "fake_kms.h"
#include "service_fixture.h"

#include <harlibs/feature.h>
#include <mirel/errors.h>

#include <atomic>

namespace {

namespace Credential = Com::Velora::Ovik::Kms::Providers::CredentialSvc;
namespace Cert = Com::Velora::Ovik::Kms::Providers::ClientCertificateSvc;
namespace Csr = Com::Velora::Ovik::Kms::Providers::ClientCertificate::CsrSvc;
namespace PC = Zyld::ProviderConfig;
namespace Ssl = Brask::Common::SslUtils;
using Mirel::MethodResult;
using ZyldTest::ExpectError;
using ZyldTest::RunCall;
using namespace Mirel::ErrorTypes;

const std::string kProvider = "p";

class IdentityServicesTest : public ZyldTest::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(ZyldTest::WriteProvider({.id = kProvider, .servers = {{"s1", "h1"}}}), PC::Success);
  }

  MethodResult SetCredential(const std::string& id, const std::string& credential) {
    return RunCall<void>([&](auto r) { credentials_.Set(id, credential, std::move(r)); });
  }
  MethodResult GetCredential(const std::string& id) {
    return RunCall<Credential::Info>([&](auto r) { credentials_.Get(id, std::move(r)); });
  }
  MethodResult SetCert(const std::string& cert, std::optional<std::string> key,
                       const std::string& id = kProvider) {
    return RunCall<void>([&](auto r) { certs_.Set(id, {cert, key}, std::move(r)); });
  }
  MethodResult GetCert(std::optional<Cert::GetSpec> spec = std::nullopt) {
    return RunCall<Cert::Info>([&](auto r) { certs_.Get(kProvider, spec, std::move(r)); });
  }
  MethodResult SetCsr(const std::string& csr, const std::string& key) {
    return RunCall<void>([&](auto r) { csrs_.Set(kProvider, {csr, key}, std::move(r)); });
  }
  MethodResult GetCsr(std::optional<Csr::GetSpec> spec = std::nullopt) {
    return RunCall<Csr::Info>([&](auto r) { csrs_.Get(kProvider, spec, std::move(r)); });
  }

  // A text field of a successful answer.
  static std::string Text(const MethodResult& r, const char* field) {
    if (r.IsError()) {
      ADD_FAILURE() << "error " << r.error->type;
      return {};
    }
    return std::string(r.value->at(field).as_string());
  }

  // Objects built from the stored configuration, counted; the entry stays until it is dropped.
  std::atomic<int> builds_{0};
  Zyld::State::Providers registry_{
      Zyld::State::ProvidersEnvironment{.createKms = [this](const std::string& id) {
        ++builds_;
        Zyld::State::ProviderLookup built(std::make_shared<ZyldTest::FakeKms>(id));
        auto info = std::make_shared<Zyld::Kms::KmsInfo>();
        EXPECT_EQ(PC::GetKmsInfo(id, *info), PC::Success);
        built.builtFrom = std::move(info);
        return built;
      }}};
  Credential::CredentialImpl credentials_{registry_};
  Cert::ClientCertificateImpl certs_{registry_};
  Csr::CsrImpl csrs_{registry_};
};

TEST_F(IdentityServicesTest, CredentialReadNeedsTheSwitchAndRoundTrips) {
  FeatureList_Set("credentialRead", false);
  for (const std::string& id : {std::string(), kProvider}) {
    const MethodResult off = GetCredential(id);
    ExpectError(off, kError);
    EXPECT_TRUE(off.IsError() && off.error->messages.empty()) << "a refusal without a message";
  }
  FeatureList_Set("credentialRead", true);
  ExpectError(GetCredential(""), kInvalidArgument, "invalid_argument", {{"parameter", "provider"}});
  ExpectError(SetCredential("", "x"), kInvalidArgument, "invalid_argument",
              {{"parameter", "provider"}});

  for (const std::string credential : {" pa$$ word\n", ""}) {
    ASSERT_FALSE(SetCredential(kProvider, credential).IsError());
    EXPECT_EQ(Text(GetCredential(kProvider), "credential"), credential);
  }
  ExpectError(SetCredential("q", "x"), kNotFound, "not_found", {{"provider", "q"}});
  ExpectError(GetCredential("q"), kNotFound, "not_found", {{"provider", "q"}});
}

TEST_F(IdentityServicesTest, CertificateWithoutKeyTakesTheNewestCsrKey) {
  const ZyldTest::TestCert older = ZyldTest::MakeCert();
  const ZyldTest::TestCert newer = ZyldTest::MakeCert();
  ExpectError(SetCert(newer.cert, std::nullopt), kInvalidArgument, "private_key_unknown");
  ExpectError(SetCert(newer.cert, std::nullopt, "q"), kInvalidArgument, "private_key_unknown");

  // The service reads only the key of the pending CSR record.
  const std::string& csr = TestSupport::SharedCsr().cert;
  ASSERT_EQ(PC::SetClientCsr(kProvider, csr, older.key), PC::Success);
  ASSERT_EQ(PC::SetClientCsr(kProvider, csr, newer.key), PC::Success);
  ExpectError(SetCert(older.cert, std::nullopt), kInvalidArgument, "private_key_mismatch");
  ASSERT_FALSE(SetCert(newer.messy, std::nullopt).IsError());

  std::string stored;
  Har::Secret storedKey;
  ASSERT_EQ(PC::GetClientCertificate(kProvider, stored, storedKey), PC::Success);
  EXPECT_EQ(stored, newer.messy);
  EXPECT_EQ(storedKey.view(), newer.key);
  EXPECT_EQ(Text(GetCsr(), "csr"), csr);  // the CSR record stays
}

TEST_F(IdentityServicesTest, CertificateMustMatchItsKeyAndIsReadBackStandardised) {
  const ZyldTest::TestCert cert = ZyldTest::MakeCert();
  const ZyldTest::Identity other = ZyldTest::NewIdentity();
  for (const std::string& text : {other.cert, std::string("no certificate"), std::string()}) {
    ExpectError(SetCert(text, cert.key), kInvalidArgument, "private_key_mismatch");
  }
  ExpectError(SetCert(cert.cert, ""), kInvalidArgument, "private_key_mismatch");
  ExpectError(SetCert(cert.cert, cert.key, ""), kInvalidArgument, "invalid_argument",
              {{"parameter", "provider"}});
  ExpectError(SetCert(cert.cert, cert.key, "q"), kNotFound, "not_found", {{"provider", "q"}});
  EXPECT_EQ(Text(GetCert(), "certificate"), "");

  ASSERT_FALSE(SetCert(cert.messy, cert.key).IsError());
  for (const std::optional<Cert::GetSpec>& spec :
       {std::optional<Cert::GetSpec>(), std::optional<Cert::GetSpec>(Cert::GetSpec{}),
        std::optional<Cert::GetSpec>(Cert::GetSpec{false})}) {
    const MethodResult got = GetCert(spec);
    EXPECT_EQ(Text(got, "certificate"), cert.standard);
    EXPECT_FALSE(got.value->as_object().contains("privateKey"));
  }
  EXPECT_EQ(Text(GetCert(Cert::GetSpec{true}), "privateKey"), cert.key);

  // A stored certificate that cannot be standardised.
  ASSERT_EQ(PC::SetClientCertificate(kProvider, "garbage", cert.key), PC::Success);
  const MethodResult bad = GetCert();
  ASSERT_TRUE(bad.IsError());
  EXPECT_EQ(bad.error->type, kError);
  EXPECT_EQ(bad.error->messages.at(0).id, "com.velora.ovik.kms.invalid_config_value");
  EXPECT_EQ(bad.error->messages.at(0).args.at("parameter"), "certificate");
}

TEST_F(IdentityServicesTest, CreatedCertificateMatchesItsKey) {
  ASSERT_FALSE(RunCall<void>([&](auto r) { certs_.Create(kProvider, std::move(r)); }).IsError());
  const MethodResult got = GetCert(Cert::GetSpec{true});
  EXPECT_TRUE(Ssl::ValidatePemCertWithKey(Text(got, "certificate"), Text(got, "privateKey")));
  ExpectError(RunCall<void>([&](auto r) { certs_.Create("q", std::move(r)); }), kNotFound,
              "not_found", {{"provider", "q"}});
}

TEST_F(IdentityServicesTest, CsrMustMatchItsKeyAndCreateReturnsTheKey) {
  const TestSupport::KeyAndCert& shared = TestSupport::SharedCsr();
  ExpectError(SetCsr(shared.cert, ZyldTest::NewIdentity().key), kInvalidArgument,
              "invalid_argument", {{"parameter", "clientCSR"}});
  EXPECT_EQ(Text(GetCsr(), "csr"), "");
  ASSERT_FALSE(SetCsr(shared.cert, shared.key).IsError());
  EXPECT_EQ(Text(GetCsr(Csr::GetSpec{true}), "privateKey"), shared.key);

  const MethodResult created =
      RunCall<Csr::Info>([&](auto r) { csrs_.Create(kProvider, std::move(r)); });
  ASSERT_FALSE(created.IsError());
  EXPECT_TRUE(Ssl::ValidatePemCsrWithKey(Text(created, "csr"), Text(created, "privateKey")));
  const MethodResult got = GetCsr();
  EXPECT_EQ(Text(got, "csr"), Text(created, "csr"));
  EXPECT_FALSE(got.value->as_object().contains("privateKey"));
  ExpectError(RunCall<Csr::Info>([&](auto r) { csrs_.Create("q", std::move(r)); }), kNotFound,
              "not_found", {{"provider", "q"}});
  ExpectError(RunCall<Csr::Info>([&](auto r) { csrs_.Create("", std::move(r)); }), kInvalidArgument,
              "invalid_argument", {{"parameter", "provider"}});
}

// A new CSR leaves the built configuration as it was: only the service's removal drops the entry.
TEST_F(IdentityServicesTest, AChangeDropsTheRegistryEntry) {
  const auto first = registry_.GetProvider(kProvider);
  EXPECT_EQ(registry_.GetProvider(kProvider), first);
  ASSERT_EQ(builds_.load(), 1);
  const TestSupport::KeyAndCert& shared = TestSupport::SharedCsr();
  ASSERT_FALSE(SetCsr(shared.cert, shared.key).IsError());
  EXPECT_NE(registry_.GetProvider(kProvider), first);
  EXPECT_EQ(builds_.load(), 2);
}

}  // namespace
