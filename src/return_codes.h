// The return codes of the relay run, which are also the process exit codes,
// and what each one tells a user.
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

// What an exit code of the companion means, in words for a diagnosis. Takes
// any number, as a log or a process status gives it; one that is no
// ReturnCode is said to be none.
const char* returnCodeMeaning(int64_t code);

}  // namespace companion
