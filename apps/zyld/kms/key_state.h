// Zyld::Kms::KeyState: the KMIP 1.1 State attribute of a key. The enumeration holds whatever
// integer a server sent; values outside the KMIP range are kept as they are (the key-state rules
// let them through), and Unknown marks a state that could not be read.
#pragma once

#include <cstdint>

namespace Zyld::Kms {

enum class KeyState : int32_t {
  Unknown = -1,
  PreActive = 1,
  Active = 2,
  Deactivated = 3,
  Compromised = 4,
  Destroyed = 5,
  DestroyedCompromised = 6,
};

inline constexpr KeyState KeyStateFromKmip(int32_t value) { return static_cast<KeyState>(value); }
inline constexpr int32_t KeyStateValue(KeyState state) { return static_cast<int32_t>(state); }

// True for the states after which the key's bytes are never used again.
inline constexpr bool IsDestroyed(KeyState state) {
  return state == KeyState::Destroyed || state == KeyState::DestroyedCompromised;
}

}  // namespace Zyld::Kms
