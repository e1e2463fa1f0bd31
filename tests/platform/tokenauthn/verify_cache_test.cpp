// The token verification cache: whole-digest addressing, key identity, the bound and its
// least-recently-used order, negative entries and concurrent use.
#include <tokenauthn/verify_cache.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using Ovik::Authn::Digest;
using Ovik::Authn::Sha256Digest;
using Cache = Ovik::Authn::VerifyCache<std::string>;

std::shared_ptr<const std::string> Claims(const std::string& text) {
  return std::make_shared<const std::string>(text);
}

const Digest kKey = Sha256Digest("key one");
const Digest kOtherKey = Sha256Digest("key two");

TEST(VerifyCacheTest, RemembersOutcomesPerKeyAndWholeTokenDigest) {
  Cache cache({64, 4});
  const Digest token = Sha256Digest("token");
  EXPECT_FALSE(cache.Find(kKey, token));
  cache.PutVerified(kKey, token, Claims("claims"));
  auto hit = cache.Find(kKey, token);
  ASSERT_TRUE(hit);
  EXPECT_TRUE(hit->verified);
  EXPECT_EQ(*hit->claims, "claims");
  EXPECT_FALSE(cache.Find(kOtherKey, token));

  // Digests that share all but their last byte land in the same shard and bucket: still apart.
  Digest near = token;
  near[31] ^= 1;
  EXPECT_FALSE(cache.Find(kKey, near));
  cache.PutNotVerified(kKey, near);
  hit = cache.Find(kKey, near);
  ASSERT_TRUE(hit);
  EXPECT_FALSE(hit->verified);
  EXPECT_EQ(hit->claims, nullptr);
  EXPECT_TRUE(cache.Find(kKey, token)->verified);

  cache.Erase(kKey, token);
  EXPECT_FALSE(cache.Find(kKey, token));
  EXPECT_EQ(cache.Size(), 1u);
  cache.Clear();
  EXPECT_EQ(cache.Size(), 0u);
}

TEST(VerifyCacheTest, AnotherKeyRetiresWhatTheOldKeyVerified) {
  Cache cache({64, 1});
  for (int i = 0; i < 5; ++i) {
    cache.PutVerified(kKey, Sha256Digest(std::to_string(i)), Claims("old"));
  }
  cache.PutVerified(kOtherKey, Sha256Digest("new"), Claims("new"));
  EXPECT_EQ(cache.Size(), 1u);
  EXPECT_FALSE(cache.Find(kKey, Sha256Digest("0")));
  EXPECT_EQ(*cache.Find(kOtherKey, Sha256Digest("new"))->claims, "new");
}

TEST(VerifyCacheTest, BoundHoldsAndLeastRecentlyUsedGoesFirst) {
  Cache single({3, 1});
  single.PutVerified(kKey, Sha256Digest("a"), Claims("a"));
  single.PutVerified(kKey, Sha256Digest("b"), Claims("b"));
  single.PutVerified(kKey, Sha256Digest("c"), Claims("c"));
  ASSERT_TRUE(single.Find(kKey, Sha256Digest("a")));  // a becomes the most recent
  single.PutVerified(kKey, Sha256Digest("d"), Claims("d"));
  EXPECT_TRUE(single.Find(kKey, Sha256Digest("a")));
  EXPECT_FALSE(single.Find(kKey, Sha256Digest("b")));
  EXPECT_EQ(single.Size(), 3u);

  for (const auto& [capacity, shards] :
       std::vector<std::pair<size_t, size_t>>{{10, 3}, {5, 16}, {4096, 16}}) {
    Cache cache({capacity, shards});
    EXPECT_EQ(cache.Capacity(), capacity);
    for (size_t i = 0; i < capacity * 3; ++i) {
      cache.PutVerified(kKey, Sha256Digest(std::to_string(i)), Claims("x"));
      ASSERT_LE(cache.Size(), capacity);
    }
  }

  Cache disabled({0, 16});
  disabled.PutVerified(kKey, Sha256Digest("a"), Claims("a"));
  EXPECT_FALSE(disabled.Find(kKey, Sha256Digest("a")));
  EXPECT_EQ(disabled.Size(), 0u);
}

TEST(VerifyCacheTest, ConcurrentUseKeepsEntriesIntact) {
  Cache cache({32, 4});
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const std::string name = std::to_string((i * 7 + t) % 64);
        const Digest token = Sha256Digest(name);
        if (auto hit = cache.Find(kKey, token)) {
          wrong += (hit->verified && *hit->claims == name) ? 0 : 1;
        } else {
          cache.PutVerified(kKey, token, Claims(name));
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(cache.Size(), 32u);
}

}  // namespace
