// ProvidersImpl: the providers service (list, get, create, update, delete).
//
// List and Get read the store on the calling thread and take no lock. Create, Update and Delete
// validate on the calling thread (a bad request is answered at once), then run as one job each on
// the registry's key-server pool, in a lane of their own, so that no thread serving the API waits
// for the firewall's name resolution or for configLock. A job holds configLock for writing from
// its first store access until its answer has been delivered. Nothing is stored before the
// commit; the firewall is opened before the commit (and closed again when the commit fails) and
// closed after a deletion; the registry entry is dropped after an update or a deletion. A change
// that cannot get its turn within kChangeMaxWait is answered with the store error, unchanged.
// Every change is logged with the caller's user name. The object holds no state of its own.
#pragma once

#include "state/providers.h"

#include <zyl-bindings/services.h>

#include <chrono>
#include <string>
#include <vector>

namespace Com::Velora::Ovik::Kms::ProvidersSvc {

// The key-server pool's lane of configuration changes (no provider has an empty identifier).
inline constexpr const char* kConfigChangeLane = "";
inline constexpr std::chrono::seconds kChangeMaxWait{30};

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
