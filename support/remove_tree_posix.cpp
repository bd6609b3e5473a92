// removeTree on POSIX: std::filesystem handles every path length.
#include <system_error>

#include "temp_dir.h"

namespace companion_support {

void removeTree(const std::filesystem::path& dir) {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace companion_support
