// The frame bookkeeping on the way to the browser, across chunk boundaries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame_lengths.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLimit = 1048576;

// A frame's length as a browser reads it: four bytes in native byte order.
Bytes lengthOf(uint32_t length) {
  Bytes bytes(sizeof length);
  std::memcpy(bytes.data(), &length, sizeof length);
  return bytes;
}

// A whole frame whose body is made of the byte fill.
Bytes frame(uint32_t length, uint8_t fill) {
  Bytes bytes = lengthOf(length);
  bytes.resize(bytes.size() + length, fill);
  return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Case {
  const char* name;
  std::vector<Bytes> chunks;
  // What follow gives for each chunk.
  std::vector<uint32_t> reported;
};

std::vector<Case> cases() {
  const Bytes over = lengthOf(kLimit + 1);
  // Bodies of 0xff bytes, which read as a length would be far over.
  std::vector<Case> table = {
      {"a length split over two chunks", {Bytes(over.begin(), over.begin() + 2), Bytes(over.begin() + 2, over.end())},
       {0, kLimit + 1}},
      {"several frames in one chunk, the last over", {frame(4, 0xff) + frame(0, 0) + frame(2, 'x') + over},
       {kLimit + 1}},
      {"several frames in one chunk, a body split from its length",
       {frame(3, 'a') + lengthOf(5) + Bytes(2, 0xff), Bytes(3, 0xff) + over}, {0, kLimit + 1}},
      {"only the first message over the limit", {over, Bytes(kLimit, 0xff), lengthOf(kLimit + 2)}, {kLimit + 1, 0, 0}},
  };
  // Exactly the limit, its body in relay-sized chunks, then a message one over.
  Case exact{"exactly the limit, then one over", {lengthOf(kLimit)}, {0}};
  for (uint32_t sent = 0; sent < kLimit; sent += 4096) {
    exact.chunks.push_back(Bytes(4096, 0xff));
    exact.reported.push_back(0);
  }
  exact.chunks.push_back(over);
  exact.reported.push_back(kLimit + 1);
  table.push_back(exact);
  return table;
}

TEST(OversizedMessageWatchTest, ReportsTheFirstMessageOverTheLimitAcrossChunks) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    companion::OversizedMessageWatch watch;
    std::vector<uint32_t> reported;
    for (const Bytes& chunk : c.chunks) reported.push_back(watch.follow(chunk.data(), chunk.size()));
    EXPECT_EQ(reported, c.reported);
  }
}

}  // namespace
