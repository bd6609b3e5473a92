// SHA-1 against the FIPS 180 vectors, the padding boundaries and the worked
// rendezvous digests.
#include "sha1.h"

#include <gtest/gtest.h>

namespace {

std::string digestOf(const std::string& message) {
  sha1::SHA1 digest;
  digest.addBytes(message);
  return sha1::toText(digest.finish());
}

// Bytes 3, 10, 17, ... so that no two padding cases hash the same pattern.
std::string patternOf(size_t size) {
  std::string bytes;
  for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>((i * 7 + 3) % 256));
  return bytes;
}

struct Vector {
  std::string message;
  const char* digest;
};

TEST(Sha1Test, MatchesKnownDigests) {
  const Vector vectors[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "a49b2446a02c645bf419f995b67091253a04a259"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {"S-1-5-21-1111111111-2222222222-3333333333-1001", "e2048beadfbaa3cd2fef85ee2d697d4427614b0c"},
      {"unknown", "50d8b4a941c26b89482c94ab324b5a274f9ced66"},
      {patternOf(55), "ddf57317ef34bfee3b6df83d359098930eb278bc"},
      {patternOf(56), "a0d492bb0fc889d0eca3bc137066ab6f4f74f369"},
      {patternOf(63), "c55856749bef509bdfe6bfebfc7bf4e793e82132"},
      {patternOf(64), "bede92be29c3874e1b54ddc77988d606fc857a8e"},
      {patternOf(119), "504e27376a6e0f0dba8295b85cb25dc4dfa17d23"},
      {patternOf(120), "82134b02fb3f702491be9bed581eeab59334acb2"},
  };
  for (const Vector& v : vectors) EXPECT_EQ(digestOf(v.message), v.digest) << "message of " << v.message.size();
}

TEST(Sha1Test, TextKeepsLeadingZerosAndLowerCase) {
  EXPECT_EQ(sha1::toText({0x1u, 0xABCDEFu, 0u, 0xFFFFFFFFu, 0x0A0B0C0Du}),
            "00000001" "00abcdef" "00000000" "ffffffff" "0a0b0c0d");
}

TEST(Sha1Test, FinishingTwiceDoesNotRepeatTheDigest) {
  sha1::SHA1 digest;
  digest.addBytes("abc");
  const sha1::Digest first = digest.finish();
  EXPECT_NE(digest.finish(), first);
  EXPECT_EQ(digestOf("abc"), digestOf("abc"));
}

}  // namespace
