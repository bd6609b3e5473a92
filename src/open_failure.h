// The failed or refused open of the agent's channel: its records and its return code.
#pragma once

#include <cstdint>
#include <string>

#include "return_codes.h"

namespace companion {

// What a platform makes of its native error when the channel does not open.
enum class OpenFailure {
  kNotFound,  // no agent serves the name
  kBusy,      // every connection slot of the agent is taken
  kInvalid,   // anything else
};

// Logs the failure with the native error number and gives 240, 241 or 242.
ReturnCode reportOpenFailure(OpenFailure failure, uint32_t error);

// Logs that the channel opened but is served by another user (or by one who
// cannot be established), naming both identities.
void reportRefusedServer(const std::string& server, const std::string& own);

}  // namespace companion
