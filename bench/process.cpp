// Starts the benchmark's child processes with pipes on their standard streams.
#include "process.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace companion_bench {

using companion_support::ChildProcess;

std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
  std::vector<std::string> result;
  auto overridden = [&](const std::string& entry) {
    for (const std::string& replacement : overrides) {
      if (entry.compare(0, entry.find('='), replacement, 0, replacement.find('=')) == 0) return true;
    }
    return false;
  };
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!overridden(*entry)) result.emplace_back(*entry);
  }
  result.insert(result.end(), overrides.begin(), overrides.end());
  return result;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  companion_support::Pipe in = companion_support::makePipe();
  companion_support::Pipe out = companion_support::makePipe();
  if (!in.read.valid() || !out.read.valid()) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  ChildProcess::Options options;
  options.argv = argv;
  options.environment = environment;
  options.in = in.read.get();
  options.out = out.write.get();
  if (!process_.start(options)) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(errno));
  input_ = std::move(in.write);
  output_ = std::move(out.read);
}

int Child::wait() { return process_.wait().value_or(0); }

}  // namespace companion_bench
