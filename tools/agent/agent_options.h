// Command line of the example agent and the rendezvous path it serves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace companion_agent {

struct Options {
  // The Unix socket to serve; the current user's rendezvous path unless given.
  std::string socketPath;
  // Read and drop the companion's bytes instead of echoing them.
  bool swallow = false;
  // Never read the companion's bytes, so that its writes block.
  bool noRead = false;
  // Pattern bytes to send to each companion once both its connections are in.
  uint64_t sendBytes = 0;
  // The length of one message, framed as a browser reads it, to send to each
  // companion when its first bytes come in, before what it echoes.
  std::optional<uint32_t> frameBytes;
  // Close the connection the companion reads after this many bytes went out.
  std::optional<uint64_t> closeReadAfter;
  // Close the connection the companion writes after this many bytes came in.
  std::optional<uint64_t> closeWriteAfter;
  // Close both connections once this many bytes went out.
  std::optional<uint64_t> hangUpAfter;
  // Close every client's second connection as soon as it is accepted.
  bool refuseSecond = false;
  // Stop listening (the socket file stays) after the first connection.
  bool firstOnly = false;
  // Fill the listen backlog and never accept, so every connect finds it full.
  bool busy = false;
  // Serve clients that use one connection both ways (socat, a direct client)
  // instead of pairing two connections per process.
  bool single = false;
  // Exit once this many companions have gone.
  std::optional<uint64_t> sessions;
  // A slow agent: one read of at most readSize bytes every readEveryMs, for
  // slowForMs after a companion's first read (for ever without it), then as
  // fast as the companion sends.
  std::optional<uint64_t> readEveryMs;
  uint64_t readSize = 4096;
  std::optional<uint64_t> slowForMs;
};

// Parses argv; on a bad command line prints the usage and returns nothing.
std::optional<Options> parseOptions(int argc, char* argv[]);

}  // namespace companion_agent
