// The positional formatter's single pass over its format.
#include "formatter.h"

#include <cstdint>

namespace companion {

std::string Formatter::str() const {
  const std::string& f = format_;
  const size_t n = f.size();
  std::string result;
  result.reserve(n + 512);
  size_t copied = 0;
  size_t pos = 0;
  while (pos < n) {
    const size_t p = f.find('%', pos);
    if (p == std::string::npos || p + 1 == n) break;
    size_t e = p + 1;
    while (e < n && f[e] >= '0' && f[e] <= '9') ++e;
    if (e == p + 1) {
      if (f[p + 1] == '%') {
        result.append(f, copied, p - copied).push_back('%');
        copied = p + 2;
      }
      pos = p + 2;
      continue;
    }
    // Markers count from 1; %0 and indexes that overflow name no argument.
    uint64_t index = 0;
    for (size_t i = p + 1; i < e && index <= arguments_.size(); ++i) index = index * 10 + (f[i] - '0');
    if (index >= 1 && index <= arguments_.size()) {
      result.append(f, copied, p - copied).append(arguments_[static_cast<size_t>(index - 1)]);
      copied = e;
    }
    pos = e;
  }
  if (copied < n) result.append(f, copied, n - copied);
  return result;
}

}  // namespace companion
