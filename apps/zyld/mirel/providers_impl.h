// ProvidersImpl: the providers service (list, get, create, update, delete).
//
// List and Get read the store on the calling thread and take no lock. Create, Update and Delete
// validate on the calling thread (a bad request is answered at once), then run as configuration
// changes (mirel/config_change.h: off the API threads, under configLock until answered). Nothing
// is stored before the commit; the firewall is opened before the commit (and closed again when
// the commit fails) and closed after a deletion; the registry entry is dropped after an update or
// a deletion. Every change is logged with the caller's user name. The object holds no state.
#pragma once

#include "state/providers.h"

#include <zyl-bindings/services.h>

#include <string>
#include <vector>

namespace Com::Velora::Ovik::Kms::ProvidersSvc {

class ProvidersImpl : public AsyncServiceInterface {
 public:
  explicit ProvidersImpl(::Zyld::State::Providers& registry = ::Zyld::State::Providers::Instance());

  void List(::Mirel::AsyncResult<std::vector<Summary>> result) override;
  void Create(const CreateSpec& spec, ::Mirel::AsyncResult<void> result) override;
  void Update(const std::string& provider, const UpdateSpec& spec,
              ::Mirel::AsyncResult<void> result) override;
  void Delete(const std::string& provider, ::Mirel::AsyncResult<void> result) override;
  void Get(const std::string& provider, ::Mirel::AsyncResult<Info> result) override;

 private:
  ::Zyld::State::Providers& registry_;
};

}  // namespace Com::Velora::Ovik::Kms::ProvidersSvc
