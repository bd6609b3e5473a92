// FrameLengths: follows the message frames of a native-messaging stream (a
// 4-byte length in native byte order, then that many bytes, as the browsers
// frame messages both ways) across the chunks it arrives in, reading the
// bytes and never changing them; OversizedMessageWatch finds the first
// message that the browsers would refuse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace companion {

// The longest message that Chromium and Firefox take from a host; a longer
// one makes them close the port.
constexpr uint32_t kBrowserMessageLimit = 1048576;

class FrameLengths {
 public:
  // Follows the next size bytes of the stream, calling onLength with each
  // frame's length once all four of its bytes have been seen.
  template <typename OnLength>
  void follow(const uint8_t* data, size_t size, OnLength&& onLength) {
    while (size > 0) {
      if (bodyLeft_ > 0) {
        // The common case: a chunk within one message's body.
        const size_t skipped = bodyLeft_ < size ? bodyLeft_ : size;
        bodyLeft_ -= static_cast<uint32_t>(skipped);
        data += skipped;
        size -= skipped;
        continue;
      }
      const size_t taken = sizeof header_ - headerSeen_ < size ? sizeof header_ - headerSeen_ : size;
      std::memcpy(header_ + headerSeen_, data, taken);
      headerSeen_ += taken;
      data += taken;
      size -= taken;
      if (headerSeen_ < sizeof header_) return;
      headerSeen_ = 0;
      std::memcpy(&bodyLeft_, header_, sizeof header_);
      onLength(bodyLeft_);
    }
  }

  // No frame is partly seen.
  bool atBoundary() const { return headerSeen_ == 0 && bodyLeft_ == 0; }

 private:
  uint8_t header_[sizeof(uint32_t)] = {};
  size_t headerSeen_ = 0;
  uint32_t bodyLeft_ = 0;
};

class OversizedMessageWatch {
 public:
  // Follows the next bytes to the browser; the length of the first message
  // over kBrowserMessageLimit when its length is among them, else 0. Once it
  // has found one it looks no further: the browser closes the port on it.
  uint32_t follow(const uint8_t* data, size_t size);

 private:
  FrameLengths frames_;
  bool found_ = false;
};

}  // namespace companion
