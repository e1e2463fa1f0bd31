// RawConfigImpl: the whole provider configuration as one gzip-compressed export text.
//
// Get exports the providers on the calling thread without a lock and answers the hash, and the
// compressed text only to a caller holding KMS_ADMIN (the text carries every KMIP password and
// client private key; KMS_READ callers may read the hash alone). Set refuses empty bytes on the
// calling thread, then runs as a configuration change (mirel/config_change.h): its unlocked
// prepare step decompresses and checks every provider against the schema (so that neither the
// inflation nor the parse of up to 64 MiB holds an API thread or configLock); under configLock
// the new hosts are opened in the firewall, the text is imported in one store transaction, and
// the old hosts no new provider uses are closed and the registry emptied. A refused text changes
// nothing: not the store, the registry nor the firewall. Buffers holding the text are wiped.
#pragma once

#include "state/providers.h"

#include <zyl-bindings/services.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace Com::Velora::Ovik::Kms::RawConfigSvc {

class RawConfigImpl : public AsyncServiceInterface {
 public:
  explicit RawConfigImpl(::Zyld::State::Providers& registry = ::Zyld::State::Providers::Instance());

  void Get(const std::optional<InfoType>& infoType, ::Mirel::AsyncResult<Info> result) override;
  void Set(const std::vector<uint8_t>& configuration, ::Mirel::AsyncResult<void> result) override;

 private:
  ::Zyld::State::Providers& registry_;
};

}  // namespace Com::Velora::Ovik::Kms::RawConfigSvc
