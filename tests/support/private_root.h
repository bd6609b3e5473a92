// Runs code in a child process whose root directory is a test's own, so that
// what it does at "/" lands there and never at the real root.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace companion_test {

// The child's exit status, which is what body returned; -1 with the reason
// in whyNot when this system cannot give a process a root of its own.
int runWithRootAt(const std::filesystem::path& root, const std::function<int()>& body, std::string& whyNot);

}  // namespace companion_test
