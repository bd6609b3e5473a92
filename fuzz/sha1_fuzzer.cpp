// Fuzz target: sha1::SHA1, fed in pieces, against a second whole-message SHA-1.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sha1.h"

namespace {

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Processes one 64-byte block into the chaining words, as FIPS 180 writes it.
void compress(sha1::Digest& h, const uint8_t* block) {
  uint32_t w[80];
  for (int t = 0; t < 16; ++t)
    w[t] = uint32_t{block[4 * t]} << 24 | uint32_t{block[4 * t + 1]} << 16 | uint32_t{block[4 * t + 2]} << 8 |
           block[4 * t + 3];
  for (int t = 16; t < 80; ++t) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  static const uint32_t kRound[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int t = 0; t < 80; ++t) {
    const int round = t / 20;
    const uint32_t f = round == 0 ? d ^ (b & (c ^ d)) : round == 2 ? (b & c) | (d & (b | c)) : b ^ c ^ d;
    const uint32_t temp = rotl(a, 5) + f + e + w[t] + kRound[round];
    e = d, d = c, c = rotl(b, 30), b = a, a = temp;
  }
  h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
}

// Pads the whole message at once (0x80, zeros, 64-bit big-endian bit length).
sha1::Digest referenceSha1(const uint8_t* data, size_t size) {
  std::vector<uint8_t> message(data, data + size);
  message.push_back(0x80);
  while (message.size() % 64 != 56) message.push_back(0);
  const uint64_t bits = uint64_t{size} * 8;
  for (int shift = 56; shift >= 0; shift -= 8) message.push_back(static_cast<uint8_t>(bits >> shift));
  sha1::Digest h = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  for (size_t offset = 0; offset < message.size(); offset += 64) compress(h, message.data() + offset);
  return h;
}

std::string hexText(const sha1::Digest& digest) {
  char text[41];
  std::snprintf(text, sizeof text, "%08x%08x%08x%08x%08x", digest[0], digest[1], digest[2], digest[3], digest[4]);
  return text;
}

// Feeds the message in pieces whose size and entry point the message itself picks.
sha1::Digest coreSha1(const uint8_t* data, size_t size) {
  sha1::SHA1 hash;
  for (size_t pos = 0; pos < size;) {
    const uint8_t control = data[pos];
    const size_t piece = std::min<size_t>(1 + control / 3, size - pos);
    switch (control % 3) {
      case 0:
        std::for_each(data + pos, data + pos + piece, [&hash](uint8_t byte) { hash.addByte(byte); });
        break;
      case 1:
        hash.addBytes(std::string(data + pos, data + pos + piece));
        break;
      default:
        hash.addBytes(data + pos, piece);
    }
    pos += piece;
  }
  return hash.finish();
}

}  // namespace

// Guards the reference itself with the FIPS 180 "abc" vector before any run.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  if (hexText(referenceSha1(abc, sizeof abc)) != "a9993e364706816aba3e25717850c26c9cd0d89d") __builtin_trap();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const sha1::Digest core = coreSha1(data, size), reference = referenceSha1(data, size);
  if (core != reference || sha1::toText(core) != hexText(reference)) __builtin_trap();
  return 0;
}
