#include <tokenauthn/verify_cache.h>

#include <harlibs/openssl_ptr.h>

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace Ovik::Authn {

namespace {

// Fetched once: the one-shot SHA256() looks the implementation up by name, under the provider
// store's locks, on every call.
const EVP_MD* Sha256() {
  static const Har::MdPtr md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  return md.get();
}

}  // namespace

Digest Sha256Digest(std::string_view text) {
  Digest digest{};
  const EVP_MD* md = Sha256();
  if (md == nullptr ||
      EVP_Digest(text.data(), text.size(), digest.data(), nullptr, md, nullptr) != 1) {
    // Never expected; the one-shot path gives the same digest without the cached implementation.
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data());
  }
  return digest;
}

namespace Detail {
namespace {

// The digest is uniformly distributed already: any 8 bytes of it make a good hash. The shard is
// chosen from other bytes than the ones the map hashes.
struct DigestHash {
  size_t operator()(const Digest& d) const {
    uint64_t h = 0;
    std::memcpy(&h, d.data(), sizeof(h));
    return static_cast<size_t>(h);
  }
};

size_t ShardIndex(const Digest& d, size_t count) {
  uint64_t h = 0;
  std::memcpy(&h, d.data() + 8, sizeof(h));
  return static_cast<size_t>(h % count);
}

}  // namespace

struct VerifyCacheCore::Shard {
  struct Entry {
    Digest token;
    Hit outcome;
  };

  explicit Shard(size_t limit) : limit(limit) {}

  // Forgets everything when the shard's entries were verified with another key.
  void AdoptKey(const Digest& newKey) {
    if (hasKey && key == newKey) {
      return;
    }
    index.clear();
    entries.clear();
    key = newKey;
    hasKey = true;
  }

  const size_t limit;
  std::mutex mutex;
  bool hasKey = false;
  Digest key{};
  std::list<Entry> entries;  // most recently used first
  std::unordered_map<Digest, std::list<Entry>::iterator, DigestHash> index;
};

VerifyCacheCore::VerifyCacheCore(const VerifyCacheOptions& options) : capacity_(options.capacity) {
  if (capacity_ == 0) {
    return;
  }
  const size_t count = std::clamp<size_t>(options.shards, 1, capacity_);
  for (size_t i = 0; i < count; ++i) {
    // The remainder goes one by one to the first shards, so the limits add up to the capacity.
    const size_t limit = capacity_ / count + (i < capacity_ % count ? 1 : 0);
    shards_.push_back(std::make_unique<Shard>(limit));
  }
}

VerifyCacheCore::~VerifyCacheCore() = default;

VerifyCacheCore::Shard& VerifyCacheCore::ShardFor(const Digest& token) const {
  return *shards_[ShardIndex(token, shards_.size())];
}

std::optional<VerifyCacheCore::Hit> VerifyCacheCore::Find(const Digest& key, const Digest& token) {
  if (shards_.empty()) {
    return std::nullopt;
  }
  Shard& shard = ShardFor(token);
  std::lock_guard<std::mutex> lock(shard.mutex);
  if (!shard.hasKey || shard.key != key) {
    return std::nullopt;
  }
  const auto it = shard.index.find(token);
  if (it == shard.index.end()) {
    return std::nullopt;
  }
  shard.entries.splice(shard.entries.begin(), shard.entries, it->second);
  return it->second->outcome;
}

void VerifyCacheCore::Put(const Digest& key, const Digest& token, Hit outcome) {
  if (shards_.empty()) {
    return;
  }
  Shard& shard = ShardFor(token);
  std::lock_guard<std::mutex> lock(shard.mutex);
  shard.AdoptKey(key);
  if (const auto it = shard.index.find(token); it != shard.index.end()) {
    it->second->outcome = std::move(outcome);
    shard.entries.splice(shard.entries.begin(), shard.entries, it->second);
    return;
  }
  if (shard.entries.size() >= shard.limit) {
    shard.index.erase(shard.entries.back().token);
    shard.entries.pop_back();
  }
  shard.entries.push_front(Shard::Entry{token, std::move(outcome)});
  shard.index.emplace(token, shard.entries.begin());
}

void VerifyCacheCore::Erase(const Digest& key, const Digest& token) {
  if (shards_.empty()) {
    return;
  }
  Shard& shard = ShardFor(token);
  std::lock_guard<std::mutex> lock(shard.mutex);
  if (!shard.hasKey || shard.key != key) {
    return;
  }
  if (const auto it = shard.index.find(token); it != shard.index.end()) {
    shard.entries.erase(it->second);
    shard.index.erase(it);
  }
}

void VerifyCacheCore::Clear() {
  for (const auto& shard : shards_) {
    std::lock_guard<std::mutex> lock(shard->mutex);
    shard->index.clear();
    shard->entries.clear();
    shard->hasKey = false;
  }
}

size_t VerifyCacheCore::Size() const {
  size_t total = 0;
  for (const auto& shard : shards_) {
    std::lock_guard<std::mutex> lock(shard->mutex);
    total += shard->entries.size();
  }
  return total;
}

}  // namespace Detail
}  // namespace Ovik::Authn
