// Who serves a named pipe: the user of the server process's token.
#pragma once

#include <string>

namespace companion {

// The SID text of the user whose token the process serving the pipe (the
// client end given) runs with; empty when that cannot be established: the
// server's process id is unknown, or its process or token may not be opened.
std::string pipeServerUserSid(void* pipe);

// The SID text of this thread's or process's token user; empty when unknown.
std::string ownUserSid();

}  // namespace companion
