// ServerCertificatesImpl: the trusted server certificates of a provider (set, get).
// RemoteImpl: the certificate each server of a provider presents, and whether it is trusted.
//
// Set checks its input on the calling thread (a bad request is answered at once), then stores the
// list exactly as sent as a configuration change (mirel/config_change.h: off the API threads,
// under configLock until answered) and drops the registry entry, so that the next connection
// trusts the new list. Get reads the store on the calling thread without a lock.
//
// List looks the provider up on the calling thread, then fetches the certificates of the selected
// servers in parallel, each as one job of the registry's key-server pool under the provider's
// name and bounded by the provider's time-out; a certificate the status cache holds is read on the
// calling thread. No lock is held while fetching and no API thread waits for a server: the last
// job to end answers, with the summaries in server order. A job that does not run gives its
// server the generic list error. The objects hold no state of their own.
#pragma once

#include "state/providers.h"

#include <zyl-bindings/services.h>

#include <optional>
#include <string>
#include <vector>

namespace Com::Velora::Ovik::Kms::Providers {

// Most trusted server certificates a provider may have.
inline constexpr size_t kMaxServerCertificates = 10;

namespace ServerCertificatesSvc {

class ServerCertificatesImpl : public AsyncServiceInterface {
 public:
  explicit ServerCertificatesImpl(
      ::Zyld::State::Providers& registry = ::Zyld::State::Providers::Instance());

  void Set(const std::string& provider, const std::vector<std::string>& certificates,
           ::Mirel::AsyncResult<void> result) override;
  void Get(const std::string& provider, ::Mirel::AsyncResult<Info> result) override;

 private:
  ::Zyld::State::Providers& registry_;
};

}  // namespace ServerCertificatesSvc

namespace ServerCertificates::RemoteSvc {

class RemoteImpl : public AsyncServiceInterface {
 public:
  explicit RemoteImpl(::Zyld::State::Providers& registry = ::Zyld::State::Providers::Instance());

  void List(const std::string& provider, const std::optional<FilterSpec>& filter,
            ::Mirel::AsyncResult<std::vector<Summary>> result) override;

 private:
  ::Zyld::State::Providers& registry_;
};

}  // namespace ServerCertificates::RemoteSvc

}  // namespace Com::Velora::Ovik::Kms::Providers
