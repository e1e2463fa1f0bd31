// MasterKeyReader: fetching from the cache or a server, the key-state rules and the key-size
// check.
#include "kms/master_key_reader.h"

#include <harlibs/log.h>

#include <array>
#include <string_view>

namespace Zyld::Kms {
namespace {

constexpr size_t kBitsPerByte = 8;
constexpr std::array<size_t, 2> kSupportedKeyBits = {128, 256};
constexpr char kGetKeyCommand[] = "Get, Object, Id=%s";
constexpr char kGetStateCommand[] = "Get, Attributes, Id=%s, Names=State";

// A record that serves its key without a server: the key and its state are known.
bool HoldsKeyAndState(const ProbeRecord& record) {
  return !record.masterKey.empty() && record.keyState != KeyState::Unknown;
}

}  // namespace

MasterKeyReader::MasterKeyReader(const KmsConnector& connector, const KmsCache& cache)
    : connector_(connector), cache_(cache) {}

bool MasterKeyReader::ServesFromCache(const std::string& keyId) const {
  if (keyId != connector_.Info().masterKeyId) {
    return false;
  }
  bool serves = false;
  cache_.Read([&](const ProbeRecord& record) { serves = HoldsKeyAndState(record); });
  return serves;
}

bool MasterKeyReader::ReadCachedKey(const std::string& keyId, bool forceState, Har::Secret& key,
                                    KeyState& state) const {
  const KmsInfo& info = connector_.Info();
  if (keyId != info.masterKeyId) {
    return false;
  }
  bool cached = false;
  bool withState = false;
  cache_.Read([&](const ProbeRecord& record) {
    if (record.masterKey.empty()) {
      return;
    }
    key = record.masterKey;
    cached = true;
    withState = !forceState && HoldsKeyAndState(record);
    if (withState) {
      state = record.keyState;
    }
  });
  if (withState) {
    Log_Level(kLogTrace, "Provider %s using cached key and state\n", info.name.c_str());
  } else if (cached) {
    Log_Level(kLogTrace, "Provider %s using cached key\n", info.name.c_str());
  }
  return withState;
}

KmsResult MasterKeyReader::ReadKeyFromServer(const QlcSession& session, const std::string& keyId,
                                             Har::Secret& key, std::string& error) const {
  Log_Level(kLogTrace, "Provider %s getting key from server\n", connector_.Info().name.c_str());
  QlcResult result;
  const KmsResult r = connector_.Perform(session, keyId, kGetKeyCommand, result, error);
  if (r != Success) {
    return r;
  }
  QlcValue value;
  unsigned char* bytes = nullptr;
  int32_t length = 0;
  const int status = qlc_value_of("Symmetric_Key/Key", result.get(), "bs", &bytes, &length);
  value.pointer_ = bytes;
  if (status != QLC_OK || length < 0) {
    Log_Level(kLogNotable, "Failed to find key in the response %d\n", status);
    error = qlc_explain(result.get());
    return KmsConnector::MapLibraryStatus(status == QLC_OK ? QLC_BAD_RESPONSE : status);
  }
  value.SetSize(static_cast<size_t>(length));
  key.assign(std::string_view(reinterpret_cast<const char*>(bytes), value.size_));
  return Success;
}

KmsResult MasterKeyReader::ReadFromServer(uint32_t server, const std::string& keyId,
                                          Har::Secret& key, KeyState& state,
                                          std::string& error) const {
  QlcSession session;
  KmsResult r = connector_.Connect(server, session, error);
  if (r != Success) {
    key.Wipe();
    return r;
  }
  if (key.empty()) {
    r = ReadKeyFromServer(session, keyId, key, error);
  }
  if (r == Success) {
    Log_Level(kLogTrace, "Provider %s getting key state from server\n",
              connector_.Info().name.c_str());
    r = GetKeyState(session, keyId, state, error);
  }
  return r;
}

KmsResult MasterKeyReader::ReadShared(uint32_t server, const std::string& keyId, Har::Secret& key,
                                      KeyState& state, std::string& error) const {
  std::pair<uint32_t, std::string> flight{server, keyId};
  if (reads_.Callers(flight) > 0) {
    Log_Level(kLogTrace, "Provider %s waiting for the read of key %s in flight on server %s\n",
              connector_.Info().name.c_str(), keyId.c_str(), connector_.ServerName(server).c_str());
  }
  ServerRead read = reads_.Run(flight, [&] {
    ServerRead own;
    own.key = key;
    own.result = ReadFromServer(server, keyId, own.key, own.state, own.error);
    return own;
  });
  key = std::move(read.key);
  state = read.state;
  error = std::move(read.error);
  return read.result;
}

KmsResult MasterKeyReader::GetKey(uint32_t server, const std::string& keyId, bool forceState,
                                  Har::Secret& key, KeyState& state, std::string& error) const {
  if (ReadCachedKey(keyId, forceState, key, state)) {
    return Success;
  }
  const KmsResult r = ReadShared(server, keyId, key, state, error);
  if (r == GeneralError) {
    Log_Level(kLogNotable, "Overriding the result to NotFound for server %s of provider %s\n",
              connector_.ServerName(server).c_str(), connector_.Info().name.c_str());
    return MasterKeyNotFound;
  }
  return r;
}

KmsResult MasterKeyReader::GetUsableKey(uint32_t server, const std::string& keyId, Har::Secret& key,
                                        std::string& error) const {
  KeyState state = KeyState::Unknown;
  const KmsResult r = GetKey(server, keyId, false, key, state, error);
  return r == Success ? CheckKeyState(state, error) : r;
}

KmsResult MasterKeyReader::GetKeyState(const QlcSession& session, const std::string& keyId,
                                       KeyState& state, std::string& error) const {
  QlcResult result;
  const KmsResult r = connector_.Perform(session, keyId, kGetStateCommand, result, error);
  if (r != Success) {
    return r;
  }
  int value = 0;
  const int status = qlc_value_of("Attributes/State", result.get(), "d", &value);
  if (status != QLC_OK) {
    Log_Level(kLogNotable, "Failed to find key state in the response %d\n", status);
    error = qlc_explain(result.get());
    state = KeyState::Unknown;
  } else {
    state = KeyStateFromKmip(value);
  }
  return KmsConnector::MapLibraryStatus(status);
}

KmsResult MasterKeyReader::CheckKeyState(KeyState state, std::string& error) {
  switch (state) {
    case KeyState::PreActive:
      error = "The Key is in pre-active state and needs to be activated";
      return MasterKeyPreActive;
    case KeyState::Deactivated:
    case KeyState::Compromised:
      error = "The key is in deactivated or compromised state";
      return MasterKeyUnusableForEncryption;
    case KeyState::Destroyed:
    case KeyState::DestroyedCompromised:
      error = "The key is in destroyed or destroyed compromised state";
      return MasterKeyUnusable;
    case KeyState::Unknown:
      error = "The key state is unknown";
      return GeneralError;
    case KeyState::Active:
      return Success;
  }
  return Success;  // a value outside the KMIP range does not stop the key
}

KmsResult MasterKeyReader::CheckMasterKey(size_t keyLength, KeyState state, MasterKeyCheck& check,
                                          std::string& error) {
  check = MasterKeyCheck{};
  if (keyLength == 0) {
    error = "Key not found";
    return MasterKeyNotFound;
  }
  check.found = true;
  const KmsResult r = CheckKeyState(state, error);
  if (r != Success) {
    return r;
  }
  check.usable = true;
  const size_t bits = keyLength * kBitsPerByte;
  std::string sizes;
  for (size_t supported : kSupportedKeyBits) {
    if (bits == supported) {
      check.sizeSupported = true;
      return Success;
    }
    sizes += (sizes.empty() ? "" : ", ") + std::to_string(supported);
  }
  error = "Key size " + std::to_string(bits) + " bits is not in supported key sizes " + sizes;
  return MasterKeyLengthUnsupported;
}

}  // namespace Zyld::Kms
