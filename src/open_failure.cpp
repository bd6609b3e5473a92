// The records and codes of a failed open of the agent's channel.
#include "open_failure.h"

#include "logger.h"

namespace companion {

ReturnCode reportOpenFailure(OpenFailure failure, uint32_t error) {
  switch (failure) {
    case OpenFailure::kNotFound:
      COMPANION_LOG(LoggerLevel::Warning, "Open socket not exists, error: %1", error);
      return kCodeSocketNotFound;
    case OpenFailure::kBusy:
      COMPANION_LOG(LoggerLevel::Warning, "Open socket busy, error: %1", error);
      return kCodeSocketBusy;
    default:
      COMPANION_LOG(LoggerLevel::Error, "Open socket invalid handle, error: %1", error);
      return kCodeSocketInvalid;
  }
}

void reportRefusedServer(const std::string& server, const std::string& own) {
  COMPANION_LOG(LoggerLevel::Error, "Open socket refused, server user: %1, own user: %2", server, own);
}

}  // namespace companion
