// runWithRootAt on Windows, which has no per-process root directory.
#include "private_root.h"

namespace companion_test {

int runWithRootAt(const std::filesystem::path&, const std::function<int()>&, std::string& whyNot) {
  whyNot = "Windows has no per-process root directory";
  return -1;
}

}  // namespace companion_test
