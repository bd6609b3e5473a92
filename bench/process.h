// Child processes of the benchmark: started with pipes on their standard streams, like a browser starts its host.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "child_process_posix.h"
#include "scoped_fd.h"

namespace companion_bench {

// The current environment with the given NAME=value entries put in place.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides);

// A started program, with this process's ends of its standard input and output.
class Child {
 public:
  // Starts argv[0] (a path); throws std::runtime_error when no process can
  // be made. A program that cannot be executed exits with 127.
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& environment);
  // Going away kills and reaps a child that is still running.
  Child(Child&& other) noexcept = default;
  Child& operator=(Child&&) = delete;

  pid_t pid() const { return process_.pid(); }
  int input() const { return input_.get(); }
  int output() const { return output_.get(); }
  void closeInput() { input_.reset(); }
  // Blocks until the child has exited and returns its wait status; one that
  // outlives the watchdog is killed.
  int wait();

 private:
  companion::ScopedFd input_;
  companion::ScopedFd output_;
  // Last, so that a child still running is killed before its pipes close.
  companion_support::ChildProcess process_;
};

}  // namespace companion_bench
