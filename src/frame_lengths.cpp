// The watch for a message over the browsers' limit.
#include "frame_lengths.h"

namespace companion {

uint32_t OversizedMessageWatch::follow(const uint8_t* data, size_t size) {
  if (found_) return 0;
  uint32_t oversized = 0;
  frames_.follow(data, size, [&](uint32_t length) {
    if (length > kBrowserMessageLimit && oversized == 0) oversized = length;
  });
  found_ = oversized != 0;
  return oversized;
}

}  // namespace companion
