// SHA-1 (FIPS 180), one byte at a time into a 64-byte block.
#include "sha1.h"

#include <iomanip>
#include <sstream>

namespace sha1 {
namespace {

constexpr uint32_t rotateLeft(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

}  // namespace

SHA1::SHA1() : state_{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u} {}

void SHA1::addByte(uint8_t byte) {
  block_[blockIndex_++] = byte;
  ++byteCount_;
  if (blockIndex_ == 64) {
    blockIndex_ = 0;
    transform();
  }
}

void SHA1::addBytes(const std::string& bytes) { addBytes(bytes.data(), bytes.size()); }

void SHA1::addBytes(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) addByte(bytes[i]);
}

Digest SHA1::finish() {
  const uint32_t bitLength = byteCount_ * 8u;
  addByte(0x80);
  if (blockIndex_ > 56) {
    while (blockIndex_ != 0) addByte(0);
  }
  while (blockIndex_ < 56) addByte(0);
  for (int i = 0; i < 4; ++i) addByte(0);  // lengths stay below 2^32 bits
  for (int shift = 24; shift >= 0; shift -= 8) addByte(static_cast<uint8_t>(bitLength >> shift));
  return state_;
}

void SHA1::transform() {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = uint32_t{block_[4 * i]} << 24 | uint32_t{block_[4 * i + 1]} << 16 | uint32_t{block_[4 * i + 2]} << 8 |
           uint32_t{block_[4 * i + 3]};
  }
  for (int i = 16; i < 80; ++i) w[i] = rotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    const uint32_t next = rotateLeft(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotateLeft(b, 30);
    b = a;
    a = next;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
}

std::string toText(const Digest& digest) {
  std::ostringstream text;
  for (uint32_t word : digest) text << std::setw(8) << std::setfill('0') << std::hex << word;
  return text.str();
}

}  // namespace sha1
