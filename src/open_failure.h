// The failed open of the agent's channel: its record and its return code.
#pragma once

#include <cstdint>

namespace companion {

// What a platform makes of its native error when the channel does not open.
enum class OpenFailure {
  kNotFound,  // no agent serves the name
  kBusy,      // every connection slot of the agent is taken
  kInvalid,   // anything else
};

// Logs the failure with the native error number and gives 240, 241 or 242.
int32_t reportOpenFailure(OpenFailure failure, uint32_t error);

}  // namespace companion
