// Zyld::Kms::MasterKeyReader: a provider's master key and its KMIP state. GetKey serves the key
// from the provider's cache when the cache holds the requested key (and its state, unless the
// caller forces a state query); otherwise it opens one session to the addressed server, reads the
// bytes unless the caller already has them, then the state. The rules on states and key sizes
// are static. Server reads are single flight: callers that need the same key from the same server
// while a read is in flight wait for it and share its outcome (key bytes copied into each caller's
// Har::Secret, or its failure), so one stalled server holds one session per key, not one per
// caller. The reader borrows the connector and the cache of its KmipKms, which outlive it; its only
// state is the reads in flight: safe from several threads at once.
#pragma once

#include "kms/key_state.h"
#include "kms/kms.h"
#include "kms/kms_cache.h"
#include "kms/kms_connector.h"
#include "kms/single_flight.h"

#include <harlibs/secure.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace Zyld::Kms {

// What CheckMasterKey found out about a key.
struct MasterKeyCheck {
  bool found = false;
  bool usable = false;
  bool sizeSupported = false;
};

class MasterKeyReader {
 public:
  MasterKeyReader(const KmsConnector& connector, const KmsCache& cache);

  // True when GetKey (without forcing the state) would answer for keyId from the cache alone.
  bool ServesFromCache(const std::string& keyId) const;
  // Key bytes and state of keyId. A non-empty key on entry is in hand: only the state is read.
  // A failed connection empties the key; any other library failure reads as MasterKeyNotFound.
  KmsResult GetKey(uint32_t server, const std::string& keyId, bool forceState, Har::Secret& key,
                   KeyState& state, std::string& error) const;
  // GetKey, then the state rules: Success only for a key that may wrap new data keys, or
  // MasterKeyUnusableForEncryption for one that may still unwrap.
  KmsResult GetUsableKey(uint32_t server, const std::string& keyId, Har::Secret& key,
                         std::string& error) const;
  // The state of keyId on an open session; Unknown (with the reason) when the answer has none.
  KmsResult GetKeyState(const QlcSession& session, const std::string& keyId, KeyState& state,
                        std::string& error) const;

  static KmsResult CheckKeyState(KeyState state, std::string& error);
  static KmsResult CheckMasterKey(size_t keyLength, KeyState state, MasterKeyCheck& check,
                                  std::string& error);

 private:
  bool ReadCachedKey(const std::string& keyId, bool forceState, Har::Secret& key,
                     KeyState& state) const;
  KmsResult ReadKeyFromServer(const QlcSession& session, const std::string& keyId, Har::Secret& key,
                              std::string& error) const;
  KmsResult ReadFromServer(uint32_t server, const std::string& keyId, Har::Secret& key,
                           KeyState& state, std::string& error) const;

  // The outcome of one server read, shared by the callers of its flight.
  struct ServerRead {
    KmsResult result = GeneralError;
    Har::Secret key;
    KeyState state = KeyState::Unknown;
    std::string error;
  };
  // ReadFromServer as one flight per server and key id.
  KmsResult ReadShared(uint32_t server, const std::string& keyId, Har::Secret& key, KeyState& state,
                       std::string& error) const;

  const KmsConnector& connector_;
  const KmsCache& cache_;
  mutable SingleFlight<std::pair<uint32_t, std::string>, ServerRead> reads_;
};

}  // namespace Zyld::Kms
