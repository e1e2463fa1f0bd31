#include <ironveil-common/ssl_utils.h>

#include <gtest/gtest.h>
#include <test_bytes.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using namespace Brask::Common::SslUtils;
using Bytes = std::vector<uint8_t>;

using TestSupport::FromHex;

Har::Secret KeyOf(size_t size) {
  Har::Secret key(size);
  for (size_t i = 0; i < size; ++i) key[i] = static_cast<char>(i * 7 + 1);
  return key;
}

Har::Secret Filled(size_t size, char byte) { return Har::Secret(std::string(size, byte)); }

// What one encryption gives.
struct Sealed {
  Bytes iv, ct, tag;
};

Sealed Seal(const Har::Secret& plain, size_t keySize, const Bytes& aad = {}) {
  Sealed out;
  EXPECT_TRUE(AesGcmEncrypt(plain, KeyOf(keySize), aad, out.iv, out.ct, out.tag));
  return out;
}

TEST(AesGcm, RoundTripsWithBothKeySizes) {
  const Har::Secret plain(std::string_view("data key\0\xff", 10));
  for (size_t keySize : {16u, 32u}) {
    for (const Bytes& aad : {Bytes{}, Bytes{1, 2, 3}}) {
      Bytes iv, ct, tag;
      ASSERT_TRUE(AesGcmEncrypt(plain, KeyOf(keySize), aad, iv, ct, tag));
      EXPECT_EQ(iv.size(), kAesGcmIvSize);
      EXPECT_EQ(tag.size(), kAesGcmTagSize);
      EXPECT_EQ(ct.size(), plain.size());
      Har::Secret back;
      ASSERT_TRUE(AesGcmDecrypt(ct, KeyOf(keySize), iv, aad, tag, back));
      EXPECT_EQ(back, plain);
    }
  }
  // Empty plaintext still authenticates; each encryption picks a fresh IV.
  const Sealed empty = Seal({}, 16);
  EXPECT_NE(empty.iv, Seal({}, 16).iv);
  Har::Secret back(std::string_view("\x09"));
  ASSERT_TRUE(AesGcmDecrypt(empty.ct, KeyOf(16), empty.iv, {}, empty.tag, back));
  EXPECT_TRUE(back.empty());
}

// GCM specification test case 3 (AES-128, 96-bit IV): interoperability with other implementations.
struct KnownAnswer {
  Har::Secret key = FromHex<Har::Secret>("feffe9928665731c6d6a8f9467308308");
  Bytes iv = FromHex<Bytes>("cafebabefacedbaddecaf888");
  Bytes ct = FromHex<Bytes>(
      "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e21d514b25466931c7d8f6a5aac84"
      "aa051ba30b396a0aac973d58e091473f5985");
  Bytes tag = FromHex<Bytes>("4d5c2af327cd64a62cf35abd2ba6fab4");
  Har::Secret plain = FromHex<Har::Secret>(
      "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6"
      "b525b16aedf5aa0de657ba637b391aafd255");
};

TEST(AesGcm, AnyTamperingFailsAndLeavesNoPlaintext) {
  const Bytes aad = {7, 7, 7};
  const auto [iv, ct, tag] = Seal(Filled(24, 0x5a), 32, aad);

  auto flip = [](Bytes v, size_t i) {
    v[i] ^= 0x01;
    return v;
  };
  Har::Secret out(std::string_view("\x01\x02\x03"));
  EXPECT_FALSE(AesGcmDecrypt(ct, KeyOf(32), iv, aad, flip(tag, 15), out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(AesGcmDecrypt(ct, KeyOf(32), flip(iv, 0), aad, tag, out));
  EXPECT_FALSE(AesGcmDecrypt(flip(ct, 3), KeyOf(32), iv, aad, tag, out));
  EXPECT_FALSE(AesGcmDecrypt(ct, KeyOf(32), iv, flip(aad, 1), tag, out));
  EXPECT_FALSE(AesGcmDecrypt(ct, KeyOf(32), iv, {}, tag, out));
  Har::Secret otherKey = KeyOf(32);
  otherKey[0] ^= 0x80;
  EXPECT_FALSE(AesGcmDecrypt(ct, otherKey, iv, aad, tag, out));
  // Truncated tag or IV.
  EXPECT_FALSE(AesGcmDecrypt(ct, KeyOf(32), iv, aad, Bytes(tag.begin(), tag.begin() + 12), out));
  EXPECT_FALSE(AesGcmDecrypt(ct, KeyOf(32), Bytes(iv.begin(), iv.begin() + 8), aad, tag, out));
  EXPECT_TRUE(out.empty());
}

TEST(AesGcm, OnlySixteenAndThirtyTwoByteKeys) {
  const Har::Secret plain = Filled(16, 1);
  const Sealed good = Seal(plain, 16);
  for (size_t size : {0u, 15u, 17u, 24u, 33u}) {
    Bytes iv = {9}, ct = {9}, tag = {9};
    EXPECT_FALSE(AesGcmEncrypt(plain, KeyOf(size), {}, iv, ct, tag)) << size;
    EXPECT_EQ(iv, Bytes{9});  // outputs untouched
    Har::Secret out;
    EXPECT_FALSE(AesGcmDecrypt(good.ct, KeyOf(size), good.iv, {}, good.tag, out)) << size;
  }
}

// Operations on one thread share a context: no key, tag, additional data or failure state of one
// operation may leak into the next, whatever the order of key sizes and outcomes.
TEST(AesGcm, ConsecutiveOperationsOnAThreadAreIndependent) {
  const KnownAnswer known;
  const Har::Secret plain = Filled(40, 0x5a);
  const Bytes aad = {1, 2, 3};
  const Sealed s16 = Seal(plain, 16, aad);
  Har::Secret out;
  Bytes badTag = s16.tag;
  badTag[0] ^= 1;
  EXPECT_FALSE(AesGcmDecrypt(s16.ct, KeyOf(16), s16.iv, aad, badTag, out));
  ASSERT_TRUE(AesGcmDecrypt(known.ct, known.key, known.iv, {}, known.tag, out));
  EXPECT_EQ(out, known.plain);  // the published answer
  const Sealed s32 = Seal(plain, 32);
  EXPECT_NE(s32.ct, s16.ct);
  // The 16-byte key's text under the 32-byte key; additional data the text was not made with.
  EXPECT_FALSE(AesGcmDecrypt(s16.ct, KeyOf(32), s16.iv, aad, s16.tag, out));
  EXPECT_FALSE(AesGcmDecrypt(s32.ct, KeyOf(32), s32.iv, aad, s32.tag, out));
  ASSERT_TRUE(AesGcmDecrypt(s32.ct, KeyOf(32), s32.iv, {}, s32.tag, out));
  EXPECT_EQ(out, plain);
  ASSERT_TRUE(AesGcmDecrypt(s16.ct, KeyOf(16), s16.iv, aad, s16.tag, out));
  EXPECT_EQ(out, plain);
}

TEST(AesGcm, ThreadsEncryptAndDecryptConcurrently) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      const KnownAnswer known;
      for (int i = 0; i < kRounds; ++i) {
        const Har::Secret plain = Filled(static_cast<size_t>(i % 70), static_cast<char>(t));
        const size_t keySize = (i + t) % 2 == 0 ? 16 : 32;
        Bytes iv, ct, tag;
        Har::Secret back, knownOut;
        const bool ok = AesGcmEncrypt(plain, KeyOf(keySize), {}, iv, ct, tag) &&
                        AesGcmDecrypt(ct, KeyOf(keySize), iv, {}, tag, back) && back == plain &&
                        AesGcmDecrypt(known.ct, known.key, known.iv, {}, known.tag, knownOut) &&
                        knownOut == known.plain;
        failures[static_cast<size_t>(t)] += ok ? 0 : 1;
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

}  // namespace
