// runWithRootAt on POSIX: fork, then chroot, in a user namespace of its own
// when the process may not chroot where it is.
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "private_root.h"

namespace companion_test {
namespace {

// Exit status of a child that could not change its root.
constexpr int kNoRoot = 125;

}  // namespace

int runWithRootAt(const std::filesystem::path& root, const std::function<int()>& body, std::string& whyNot) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return whyNot = "pipe failed", -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeEnds[0]);
    const bool rooted = ::chroot(root.c_str()) == 0 ||
                        (::unshare(CLONE_NEWUSER) == 0 && ::chroot(root.c_str()) == 0);
    if (!rooted || ::chdir("/") != 0) {
      const char* reason = std::strerror(errno);
      (void)!::write(pipeEnds[1], reason, std::strlen(reason));
      ::_exit(kNoRoot);
    }
    ::_exit(body());
  }
  ::close(pipeEnds[1]);
  char reason[256] = {};
  const ssize_t length = child > 0 ? ::read(pipeEnds[0], reason, sizeof reason - 1) : -1;
  ::close(pipeEnds[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return whyNot = "fork failed", -1;
  if (length > 0) return whyNot = std::string("chroot failed: ") + reason, -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace companion_test
