// ClientCertificateImpl: the certificate and private key a provider's KMIP connections present.
//
// Set stores a certificate with its key, or without one for a certificate issued for the pending
// CSR (mirel/csr_impl.h), whose key is then taken; the pair must match. Create generates a new key
// and self-signed certificate (before configLock is taken) and stores them. Both run as
// configuration changes (mirel/config_change.h) and drop the provider's registry entry, so that
// the next key operation connects with the new identity. Get reads the store on the calling thread
// without a lock and returns the certificate standardised, the key only when asked for. Private
// keys are held as Har::Secret, wiped after use and never logged. The object holds no state.
#pragma once

#include "state/providers.h"

#include <zyl-bindings/services.h>

#include <optional>
#include <string>

namespace Com::Velora::Ovik::Kms::Providers::ClientCertificateSvc {

class ClientCertificateImpl : public AsyncServiceInterface {
 public:
  explicit ClientCertificateImpl(
      ::Zyld::State::Providers& registry = ::Zyld::State::Providers::Instance());

  void Create(const std::string& provider, ::Mirel::AsyncResult<void> result) override;
  void Get(const std::string& provider, const std::optional<GetSpec>& spec,
           ::Mirel::AsyncResult<Info> result) override;
  void Set(const std::string& provider, const SetSpec& spec,
           ::Mirel::AsyncResult<void> result) override;

 private:
  ::Zyld::State::Providers& registry_;
};

}  // namespace Com::Velora::Ovik::Kms::Providers::ClientCertificateSvc
