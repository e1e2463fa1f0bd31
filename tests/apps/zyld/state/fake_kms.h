// A key-server object with scripted servers for the registry and key-server service tests: each
// server has a name, the result its operations give and the certificate it presents; a successful
// GenerateKey hands out a data-key text of keySize characters and a wrapped key naming the server.
// Calls are counted. Certificates always need a fetch (nothing is cached). GetStatus answers a
// scripted status; while a probe is scripted as needed, it runs the probe hook first.
#pragma once

#include "kms/kms.h"
#include "state/providers.h"

#include <atomic>
#include <memory>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ZyldTest {

struct FakeServer {
  std::string name;
  Zyld::Kms::KmsResult result = Zyld::Kms::Success;
  std::string error = "scripted failure";
  std::string certificate;
};

class FakeKms : public Zyld::Kms::Kms {
 public:
  explicit FakeKms(std::string provider, std::vector<FakeServer> servers = {})
      : provider_(std::move(provider)), servers_(std::move(servers)) {}

  const std::string& Provider() const { return provider_; }
  int UpdateCount() const { return updates_.load(); }
  std::vector<uint32_t> Attempts() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return attempts_;
  }
  void SetTrusted(std::vector<std::string> certificates) { trusted_ = std::move(certificates); }
  // Runs inside UpdateStatus (before it is counted).
  void OnUpdate(std::function<void()> hook) { onUpdate_ = std::move(hook); }
  void SetStatus(Zyld::Kms::KmsStatus status, bool probeNeeded = false) {
    status_ = std::move(status);
    probeNeeded_ = probeNeeded;
  }
  // Runs inside GetStatus when a probe is needed.
  void OnProbe(std::function<void()> hook) { onProbe_ = std::move(hook); }
  void SetClientCertificate(std::string certificate) { client_ = std::move(certificate); }

  uint32_t GetServerCount() const override { return static_cast<uint32_t>(servers_.size()); }
  Zyld::Kms::KmsResult GenerateKey(uint32_t server, uint32_t keySize, std::string& key,
                                   std::string& wrappedKey, std::string& error) override {
    const FakeServer& s = Attempt(server, error);
    if (s.result == Zyld::Kms::Success) {
      key.assign(keySize, 'k');
      wrappedKey = "wrapped-by-" + s.name;
    }
    return s.result;
  }
  Zyld::Kms::KmsResult Decrypt(uint32_t server, const std::string& wrappedKey, std::string& key,
                               std::string& error) override {
    const FakeServer& s = Attempt(server, error);
    if (s.result == Zyld::Kms::Success) {
      key = "clear-" + wrappedKey;
    }
    return s.result;
  }
  void GetTrustedServerCertificates(std::vector<std::string>& certificates) const override {
    certificates = trusted_;
  }
  void GetClientCertificate(std::string& certificate) const override { certificate = client_; }
  int GetServerName(uint32_t server, std::string& name) const override {
    name = servers_.at(server).name;
    return 0;
  }
  Zyld::Kms::KmsResult GetRemoteServerCertificate(uint32_t server, std::string& certificate,
                                                  std::string& error) override {
    const FakeServer& s = Attempt(server, error);
    if (s.result == Zyld::Kms::Success) {
      certificate = s.certificate;
    }
    return s.result;
  }
  std::optional<Zyld::Kms::ServerFetch> CertificateFetchNeededFor(uint32_t) const override {
    return Zyld::Kms::ServerFetch{{}, kFetchTimeoutSeconds};
  }
  void UpdateStatus() override {
    if (onUpdate_) {
      onUpdate_();
    }
    updates_.fetch_add(1);
  }
  void GetStatus(Zyld::Kms::KmsStatus& status) override {
    if (probeNeeded_ && onProbe_) {
      onProbe_();
    }
    status = status_;
  }
  std::optional<Zyld::Kms::ServerFetch> StatusFetchNeeded() const override {
    if (!probeNeeded_) {
      return std::nullopt;
    }
    return Zyld::Kms::ServerFetch{{}, kFetchTimeoutSeconds};
  }

 private:
  const FakeServer& Attempt(uint32_t server, std::string& error) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      attempts_.push_back(server);
    }
    const FakeServer& s = servers_.at(server);
    if (s.result != Zyld::Kms::Success) {
      error = s.error;
    }
    return s;
  }

  std::string provider_;
  static constexpr int64_t kFetchTimeoutSeconds = 5;
  std::vector<FakeServer> servers_;
  std::vector<std::string> trusted_;
  std::atomic<int> updates_{0};
  mutable std::mutex mutex_;
  std::vector<uint32_t> attempts_;
  std::function<void()> onUpdate_;
  std::function<void()> onProbe_;
  Zyld::Kms::KmsStatus status_;
  bool probeNeeded_ = false;
  std::string client_;
};

// A registry without caching: every look-up builds its object afresh with `build` (by default, the
// daemon's builder reading the store).
inline std::unique_ptr<Zyld::State::Providers> UncachedRegistry(
    std::function<std::shared_ptr<Zyld::Kms::Kms>(const std::string&)> build = nullptr) {
  Zyld::State::ProvidersEnvironment env;
  if (build) {
    env.createKms = [build](const std::string& id) {
      return Zyld::State::ProviderLookup(build(id));
    };
  }
  auto registry = std::make_unique<Zyld::State::Providers>(std::move(env));
  Quorex::Service::ConfigValues values;
  values.SetBool("caching", false);
  registry->Init(values);
  return registry;
}

}  // namespace ZyldTest
