// CsrImpl: a provider's pending certificate signing request (CSR) and its private key.
//
// Create generates a new key and CSR (before configLock is taken), stores them and returns both;
// Set stores a CSR with its key after checking, on the calling thread, that they belong together.
// Both run as configuration changes (mirel/config_change.h) and drop the provider's registry
// entry. A certificate later issued for the CSR is uploaded without a key through the client
// certificate service, which takes the key from here. Get reads the store on the calling thread
// without a lock and returns the CSR standardised, the key only when asked for. Private keys are
// held as Har::Secret, wiped after use and never logged. The object holds no state.
#pragma once

#include "state/providers.h"

#include <zyl-bindings/services.h>

#include <optional>
#include <string>

namespace Com::Velora::Ovik::Kms::Providers::ClientCertificate::CsrSvc {

class CsrImpl : public AsyncServiceInterface {
 public:
  explicit CsrImpl(::Zyld::State::Providers& registry = ::Zyld::State::Providers::Instance());

  void Create(const std::string& provider, ::Mirel::AsyncResult<Info> result) override;
  void Get(const std::string& provider, const std::optional<GetSpec>& spec,
           ::Mirel::AsyncResult<Info> result) override;
  void Set(const std::string& provider, const SetSpec& spec,
           ::Mirel::AsyncResult<void> result) override;

 private:
  ::Zyld::State::Providers& registry_;
};

}  // namespace Com::Velora::Ovik::Kms::Providers::ClientCertificate::CsrSvc
