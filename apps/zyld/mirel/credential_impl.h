// CredentialImpl: sets and reads the credential (the KMIP password) of a provider.
//
// Set checks the identifier on the calling thread, then stores the credential as a configuration
// change (mirel/config_change.h) and drops the provider's registry entry, so that the next key
// operation connects with the new credential. Get answers only while the credentialRead feature
// switch is on; it reads the store on the calling thread without a lock. The credential is held
// as a Har::Secret and never logged. The object holds no state.
#pragma once

#include "state/providers.h"

#include <zyl-bindings/services.h>

#include <string>

namespace Com::Velora::Ovik::Kms::Providers::CredentialSvc {

class CredentialImpl : public AsyncServiceInterface {
 public:
  explicit CredentialImpl(
      ::Zyld::State::Providers& registry = ::Zyld::State::Providers::Instance());

  void Set(const std::string& provider, const std::string& credential,
           ::Mirel::AsyncResult<void> result) override;
  void Get(const std::string& provider, ::Mirel::AsyncResult<Info> result) override;

 private:
  ::Zyld::State::Providers& registry_;
};

}  // namespace Com::Velora::Ovik::Kms::Providers::CredentialSvc
