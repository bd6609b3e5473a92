// SHA-1 (FIPS 180): the digest that turns the user id into the rendezvous name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sha1 {

// The five chaining words H0..H4; after finish, the digest.
using Digest = std::array<uint32_t, 5>;

// A single-use digest: construct, add bytes, finish once. Allocates nothing.
class SHA1 {
 public:
  SHA1();
  virtual ~SHA1() = default;

  void addByte(uint8_t byte);
  void addBytes(const std::string& bytes);
  void addBytes(const void* data, size_t size);
  // Pads the message and returns the digest words.
  Digest finish();

 private:
  void transform();

  Digest state_;
  uint8_t block_[64] = {};
  uint32_t blockIndex_ = 0;
  uint32_t byteCount_ = 0;  // counts padding too; wraps modulo 2^32
};

// Forty lowercase hexadecimal digits, H0 first, each word zero-padded to eight.
std::string toText(const Digest& digest);

}  // namespace sha1
