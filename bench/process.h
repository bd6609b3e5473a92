// Child processes of the benchmark: started with pipes on their standard streams, like a browser starts its host.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "scoped_fd.h"

namespace companion_bench {

// The current environment with the given NAME=value entries put in place.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides);

// A started program, with this process's ends of its standard input and output.
class Child {
 public:
  // Starts argv[0] (a path); throws std::runtime_error when it cannot.
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& environment);
  // Kills and reaps a child that is still running.
  ~Child();
  Child(Child&& other) noexcept;
  Child& operator=(Child&&) = delete;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  int input() const { return input_.get(); }
  int output() const { return output_.get(); }
  void closeInput() { input_.reset(); }
  // Blocks until the child has exited and returns its wait status.
  int wait();

 private:
  pid_t pid_ = -1;
  companion::ScopedFd input_;
  companion::ScopedFd output_;
};

}  // namespace companion_bench
