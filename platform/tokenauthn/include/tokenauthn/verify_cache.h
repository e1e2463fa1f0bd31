// VerifyCache: remembers what verifying a token string against a key gave, so that an identical
// token presented again costs a hash and a look-up instead of a signature verification.
//
// An entry is addressed by two SHA-256 digests, both stored and compared whole: the identity of
// the verifying key (Sha256Digest of its text) and the token text. It holds either the claims its
// owner extracted from a token that verified ("verified"), or the fact that the token does not
// verify with that key ("not verified"; worth caching only for outcomes that are deterministic for
// a key and a token, never for transient failures such as lack of memory). Claims that depend on
// the time (expiry) are not decided here: the owner checks them on every use.
//
// The cache is bounded (capacity entries in all, spread over the shards; a full shard drops its
// least recently used entry) and split into shards by token digest, each under its own mutex, so
// concurrent callers rarely meet. A shard that is written with another key identity than its
// entries were verified with forgets those entries first (a replaced key retires everything
// verified with the old one). Capacity 0 disables the cache. Thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace Ovik::Authn {

using Digest = std::array<uint8_t, 32>;

// SHA-256 of the text.
Digest Sha256Digest(std::string_view text);

struct VerifyCacheOptions {
  size_t capacity = 4096;  // entries in all; 0 disables the cache
  size_t shards = 16;      // independent locks; reduced to the capacity when larger
};

namespace Detail {

// The untyped store behind VerifyCache<Claims>.
class VerifyCacheCore {
 public:
  struct Hit {
    bool verified = false;
    std::shared_ptr<const void> claims;  // null when not verified
  };

  explicit VerifyCacheCore(const VerifyCacheOptions& options);
  ~VerifyCacheCore();
  VerifyCacheCore(const VerifyCacheCore&) = delete;
  VerifyCacheCore& operator=(const VerifyCacheCore&) = delete;

  std::optional<Hit> Find(const Digest& key, const Digest& token);
  void Put(const Digest& key, const Digest& token, Hit outcome);
  void Erase(const Digest& key, const Digest& token);
  void Clear();
  size_t Size() const;
  size_t Capacity() const { return capacity_; }

 private:
  struct Shard;
  Shard& ShardFor(const Digest& token) const;

  size_t capacity_ = 0;
  std::vector<std::unique_ptr<Shard>> shards_;
};

}  // namespace Detail

template <class Claims>
class VerifyCache {
 public:
  using ClaimsPtr = std::shared_ptr<const Claims>;
  struct Hit {
    bool verified = false;
    ClaimsPtr claims;  // set when verified
  };

  explicit VerifyCache(const VerifyCacheOptions& options = {}) : core_(options) {}

  // The remembered outcome of the token with that key, if any (and marks it recently used).
  std::optional<Hit> Find(const Digest& key, const Digest& token) {
    auto hit = core_.Find(key, token);
    if (!hit) {
      return std::nullopt;
    }
    return Hit{hit->verified, std::static_pointer_cast<const Claims>(hit->claims)};
  }
  void PutVerified(const Digest& key, const Digest& token, ClaimsPtr claims) {
    core_.Put(key, token, {true, std::move(claims)});
  }
  void PutNotVerified(const Digest& key, const Digest& token) {
    core_.Put(key, token, {false, nullptr});
  }
  void Erase(const Digest& key, const Digest& token) { core_.Erase(key, token); }
  void Clear() { core_.Clear(); }
  size_t Size() const { return core_.Size(); }
  size_t Capacity() const { return core_.Capacity(); }

 private:
  Detail::VerifyCacheCore core_;
};

}  // namespace Ovik::Authn
