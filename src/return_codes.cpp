// The meanings of the return codes.
#include "return_codes.h"

namespace companion {

const char* returnCodeMeaning(int64_t code) {
  switch (code) {
    case kCodeSuccess: return "success";
    case kCodeSocketNotFound: return "no agent served the rendezvous name";
    case kCodeSocketBusy: return "the agent was busy";
    case kCodeSocketInvalid: return "the agent's name could not be opened, or another user serves it";
    case kCodeStdNotPipe: return "standard input or output was not a pipe (not started by a browser)";
    case kCodeReadFailed: return "a side closed its end (the normal end of a session)";
    case kCodeStdoutWriteFailed: return "writing to the browser failed (the browser went away)";
    case kCodeSocketWriteFailed: return "writing to the agent failed (the agent went away)";
    default: return "not a code of the companion";
  }
}

}  // namespace companion
