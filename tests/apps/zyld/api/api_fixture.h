// Shared set-up of the API tests: a real store database holding the attestation and the host
// administration certificates, real RS256 tokens signed with their keys, a registry of scripted
// key-server objects, the audit log in a temporary file, and the daemon's provider assembled over
// the generated metadata file.
#pragma once

#include "../state/fake_kms.h"
#include "include/logger.h"
#include "mirel/message_resolver.h"
#include "mirel/api_provider.h"
#include "provider_fixture.h"
#include "token_signer.h"

#include <harlibs/audit.h>
#include <harlibs/clock.h>
#include <ironveil-common/ssl_utils.h>

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ZyldTest {

inline std::string SignToken(const ZyldToken::Options& options, const std::string& key) {
  Har::Secret token;
  const Har::Secret bytes(key);
  const int64_t now = static_cast<int64_t>(HarClock_GetTimeOfDay() / 1'000'000);
  const Har::Status signing = ZyldToken::SignToken(options, bytes, now, token);
  EXPECT_TRUE(signing) << signing.message();
  return std::string(token.view());
}

inline ZyldToken::Options AttestationClaims() {
  ZyldToken::Options o;
  o.iss = "https://proofd.local/attestation";
  o.aud = "zyld";
  o.sub = "vm-42";
  o.ttlSeconds = 3600;
  return o;
}

inline ZyldToken::Options AdminClaims(std::vector<std::string> entitlements,
                                      std::string sub = "alice") {
  ZyldToken::Options o;
  o.aud = "zyld";
  o.sub = std::move(sub);
  o.ttlSeconds = 3600;
  o.entitlements = std::move(entitlements);
  return o;
}

inline std::vector<boost::json::object> ReadAuditRecords(const std::string& path) {
  std::vector<boost::json::object> records;
  for (const std::string& line : TestSupport::Lines(ReadFile(path))) {
    records.push_back(boost::json::parse(line).as_object());
  }
  return records;
}

class ApiTest : public StoreTest {
 protected:
  static const Identity& Attestation() { return SharedIdentity<0>(); }
  static const Identity& Admin() { return SharedIdentity<1>(); }

  void SetUp() override {
    StoreTest::SetUp();
    StoreCertificate("attestation", Attestation().cert);
    StoreCertificate("authn", Admin().cert);
    auditPath_ = dir_.File("audit.log");
    VlrAudit_Configure(auditPath_);
    registry_ = UncachedRegistry([](const std::string& id) -> std::shared_ptr<Zyld::Kms::Kms> {
      return id == "prov1" ? std::make_shared<FakeKms>(id, std::vector<FakeServer>{{"s1"}})
                           : nullptr;
    });
    logBridge_ = std::make_shared<Zyld::ZylApi::MirelLoggerWrapper>(&Log_Level);
    traffic_ = std::make_shared<Brask::Common::QuorexMirel::TrafficTracker>(
        Quorex::Service::Logger::Default(), std::chrono::hours(1), &pool_);
    errors_ = std::make_shared<Brask::Common::QuorexMirel::ErrorsTracker>(
        Quorex::Service::Logger::Default(), std::chrono::hours(1), &pool_);
    Zyld::ZylApi::ProviderOptions options;
    options.registry = registry_.get();
    provider_ = Zyld::ZylApi::CreateApiProvider(ZYL_MIREL_METADATA, Zyld::ZylApi::MakeLocalizer(),
                                                logBridge_, traffic_, errors_, std::move(options));
  }

  void TearDown() override {
    provider_.reset();
    traffic_->Stop();
    errors_->Stop();
    VlrAudit_Configure("");
    StoreTest::TearDown();
  }

  // One call through the whole pipeline; every stage answers inline.
  Mirel::MethodResult Call(const std::optional<std::string>& token, const std::string& method,
                           boost::json::value params = nullptr) {
    auto ctx = std::make_shared<Mirel::CallContext>();
    if (token) ctx->accessToken.emplace(*token);
    Mirel::ApiRequest request;
    request.id = 1;
    const size_t dot = method.rfind('.');
    request.serviceId = method.substr(0, dot);
    request.operationId = method.substr(dot + 1);
    request.params = std::move(params);
    int completions = 0;
    Mirel::MethodResult out;
    provider_->Invoke(ctx, std::move(request), [&](Mirel::MethodResult r) {
      ++completions;
      out = std::move(r);
    });
    EXPECT_EQ(completions, 1) << method;
    return out;
  }

  static std::string ErrorType(const Mirel::MethodResult& r) {
    return r.IsError() ? r.error->type : "ok";
  }

  std::vector<boost::json::object> AuditRecords() const { return ReadAuditRecords(auditPath_); }

  Quorex::Service::ThreadPool pool_{1, 2};
  std::string auditPath_;
  std::unique_ptr<Zyld::State::Providers> registry_;
  std::shared_ptr<Zyld::ZylApi::MirelLoggerWrapper> logBridge_;
  std::shared_ptr<Brask::Common::QuorexMirel::TrafficTracker> traffic_;
  std::shared_ptr<Brask::Common::QuorexMirel::ErrorsTracker> errors_;
  Mirel::ApiProviderPtr provider_;
};

inline constexpr const char* kGenerateKey = "com.velora.ovik.kms.key_operation.generate_key";
inline constexpr const char* kDecrypt = "com.velora.ovik.kms.key_operation.decrypt";
inline constexpr const char* kUnauthenticated = "com.velora.mirel.std.errors.unauthenticated";
inline constexpr const char* kUnauthorized = "com.velora.mirel.std.errors.unauthorized";
inline constexpr const char* kOperationNotFound = "com.velora.mirel.std.errors.operation_not_found";

}  // namespace ZyldTest
