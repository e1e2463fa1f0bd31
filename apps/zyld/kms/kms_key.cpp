// Master key and state: fetching from a server or the cache, the key-state rules, the key-size
// check, and the cache refresh and read.
#include "kms/kmip_kms.h"
#include "kms/kms_wipe.h"
#include "kms/qlc_handles.h"

#include <harlibs/log.h>

#include <array>
#include <climits>

namespace Zyld::Kms {
namespace {

constexpr std::array<size_t, 2> kSupportedKeyBits = {128, 256};
constexpr char kGetKeyCommand[] = "Get, Object, Id=%s";
constexpr char kGetStateCommand[] = "Get, Attributes, Id=%s, Names=State";

}  // namespace

bool KmipKms::ReadCachedKey(const std::string& keyId, bool forceState, Har::SecureBytes& key,
                            int32_t& state) {
  if (keyId != info_->masterKeyId) {
    return false;
  }
  Har::ReadGuard guard(cache_.lock);
  if (!cache_.valid || cache_.masterKey.empty()) {
    return false;
  }
  Har::Cleanse(key.data(), key.size());
  key.assign(cache_.masterKey.begin(), cache_.masterKey.end());
  if (!forceState && cache_.keyState != kKeyStateUnknown) {
    state = cache_.keyState;
    Log_Level(kLogTrace, "Provider %s using cached key and state\n", info_->name.c_str());
    return true;
  }
  Log_Level(kLogTrace, "Provider %s using cached key\n", info_->name.c_str());
  return false;
}

KmsResult KmipKms::ReadKeyFromServer(qlc_session* session, const std::string& keyId,
                                     Har::SecureBytes& key, std::string& error) const {
  Log_Level(kLogTrace, "Provider %s getting key from server\n", info_->name.c_str());
  qlc_result* raw = nullptr;
  KmsResult r = PerformOperation(session, keyId, kGetKeyCommand, error, &raw);
  if (r != Success) {
    return r;
  }
  QlcResult result(raw);
  QlcValue value;
  unsigned char* bytes = nullptr;
  int32_t length = 0;
  const int status = qlc_value_of("Symmetric_Key/Key", result.get(), "bs", &bytes, &length);
  value.pointer_ = bytes;
  if (status != QLC_OK || length < 0) {
    Log_Level(kLogNotable, "Failed to find key in the response %d\n", status);
    error = qlc_explain(result.get());
    return MapLibraryStatus(status == QLC_OK ? QLC_BAD_RESPONSE : status);
  }
  value.SetSize(static_cast<size_t>(length));
  Har::Cleanse(key.data(), key.size());
  key.assign(bytes, bytes + length);
  return Success;
}

KmsResult KmipKms::GetKey(uint32_t server, const std::string& keyId, bool forceState,
                          Har::SecureBytes& key, int32_t& state, std::string& error) {
  if (ReadCachedKey(keyId, forceState, key, state)) {
    return Success;
  }
  qlc_session* raw = nullptr;
  KmsResult r = Connect(&raw, server, error);
  if (r != Success) {
    Har::Cleanse(key.data(), key.size());
    key.clear();
  } else {
    QlcSession session(raw);
    if (key.empty()) {
      r = ReadKeyFromServer(session.get(), keyId, key, error);
    }
    if (r == Success) {
      Log_Level(kLogTrace, "Provider %s getting key state from server\n", info_->name.c_str());
      r = GetKeyState(session.get(), keyId, state, error);
    }
  }
  if (r == GeneralError) {
    Log_Level(kLogNotable, "Overriding the result to NotFound for server %s of provider %s\n",
              ServerName(server).c_str(), info_->name.c_str());
    return MasterKeyNotFound;
  }
  return r;
}

KmsResult KmipKms::GetKeyState(qlc_session* session, const std::string& keyId, int32_t& state,
                               std::string& error) const {
  qlc_result* raw = nullptr;
  KmsResult r = PerformOperation(session, keyId, kGetStateCommand, error, &raw);
  if (r != Success) {
    return r;
  }
  QlcResult result(raw);
  int value = 0;
  const int status = qlc_value_of("Attributes/State", result.get(), "d", &value);
  if (status != QLC_OK) {
    Log_Level(kLogNotable, "Failed to find key state in the response %d\n", status);
    error = qlc_explain(result.get());
    state = kKeyStateUnknown;
  } else {
    state = value;
  }
  return MapLibraryStatus(status);
}

KmsResult KmipKms::CheckKeyState(int32_t state, std::string& error) {
  switch (state) {
    case 1:
      error = "The Key is in pre-active state and needs to be activated";
      return MasterKeyPreActive;
    case 3:
    case 4:
      error = "The key is in deactivated or compromised state";
      return MasterKeyUnusableForEncryption;
    case 5:
    case 6:
      error = "The key is in destroyed or destroyed compromised state";
      return MasterKeyUnusable;
    case kKeyStateUnknown:
      error = "The key state is unknown";
      return GeneralError;
    default:
      return Success;
  }
}

KmsResult KmipKms::CheckMasterKey(size_t keyLength, int32_t state, bool& found, bool& usable,
                                  bool& sizeSupported, std::string& error) {
  found = usable = sizeSupported = false;
  if (keyLength == 0) {
    error = "Key not found";
    return MasterKeyNotFound;
  }
  found = true;
  KmsResult r = CheckKeyState(state, error);
  if (r != Success) {
    return r;
  }
  usable = true;
  const size_t bits = keyLength * 8;
  std::string sizes;
  for (size_t supported : kSupportedKeyBits) {
    if (bits == supported) {
      sizeSupported = true;
      return Success;
    }
    sizes += (sizes.empty() ? "" : ", ") + std::to_string(supported);
  }
  error = "Key size " + std::to_string(bits) + " bits is not in supported key sizes " + sizes;
  return MasterKeyLengthUnsupported;
}

void KmipKms::UpdateStatus() {
  Log_Level(kLogTrace, "Provider %s update status\n", info_->name.c_str());
  KmsCache probed;
  ProbeStatus(probed);
  Har::WriteGuard guard(cache_.lock);
  // Swapping leaves the previous key in `probed`, which wipes it when it goes.
  cache_.masterKey.swap(probed.masterKey);
  cache_.keyState = probed.keyState;
  cache_.status = probed.status;
  cache_.remoteServerCertificates.swap(probed.remoteServerCertificates);
  cache_.valid = true;
}

void KmipKms::GetStatus(KmsStatus& status) {
  cache_.lock.AcquireRead();
  if (cache_.valid) {
    status = cache_.status;
    Log_Level(kLogTrace, "Provider %s getting status from cache\n", info_->name.c_str());
    cache_.lock.Release();
    return;
  }
  cache_.lock.Release();
  Log_Level(kLogTrace, "Provider %s getting status from server\n", info_->name.c_str());
  KmsCache probed;
  ProbeStatus(probed);
  status = std::move(probed.status);
}

}  // namespace Zyld::Kms
