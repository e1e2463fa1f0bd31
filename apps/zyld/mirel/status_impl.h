// Providers::StatusSvc::StatusImpl: the health of one provider and of each of its key servers. It
// combines the provider's probed status, the server certificates it trusts, the certificate each
// server presents and the client certificate into one health value with messages, plus one entry
// per server for callers other than attestation callers.
// StatusSvc::StatusImpl: the health of the daemon as a whole.
//
// Get checks its input, looks the provider up and reads the caller on the calling thread. When the
// key-server object can answer from its status cache (the status and every certificate the answer
// needs), the health is computed there. Otherwise the computation (a probe, or a certificate
// fetch) runs as one job of the registry's key-server pool under the provider's name and bounded
// by the provider's time-out, so that no API thread waits for a server. Calls for the same object
// that arrive while its job is pending or running join it: one probe, and each of them is answered
// with its outcome. A job the pool does not run (refused, expired, stopped) answers ERROR with the
// status error message of each server. Neither object takes a lock of its own over a computation.
#pragma once

#include "state/providers.h"

#include <zyl-bindings/services.h>

#include <memory>
#include <string>

namespace Com::Velora::Ovik::Kms {

namespace Providers::StatusSvc {

class HealthFlights;

class StatusImpl : public AsyncServiceInterface {
 public:
  explicit StatusImpl(::Zyld::State::Providers& registry = ::Zyld::State::Providers::Instance());

  void Get(const std::string& provider, ::Mirel::AsyncResult<Info> result) override;

 private:
  ::Zyld::State::Providers& registry_;
  std::shared_ptr<HealthFlights> flights_;  // shared with the jobs in flight
};

}  // namespace Providers::StatusSvc

namespace StatusSvc {

class StatusImpl : public AsyncServiceInterface {
 public:
  void Get(::Mirel::AsyncResult<Info> result) override;
};

}  // namespace StatusSvc

}  // namespace Com::Velora::Ovik::Kms
