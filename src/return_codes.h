// The return codes of the relay run, which are also the process exit codes.
#pragma once

#include <cstdint>

namespace companion {

enum ReturnCode : int32_t {
  kCodeSuccess = 0,
  kCodeSocketNotFound = 240,
  kCodeSocketBusy = 241,
  kCodeSocketInvalid = 242,
  kCodeStdNotPipe = 243,
  kCodeReadFailed = 246,
  kCodeStdoutWriteFailed = 247,
  kCodeSocketWriteFailed = 249,
};

}  // namespace companion
