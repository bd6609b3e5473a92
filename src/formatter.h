// Formatter: builds text from a format with numbered markers %1, %2, ...
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace companion {

// Builds text from a format with numbered markers %1, %2, ... in one pass.
// Inserted argument texts are never scanned again; markers that name no
// argument, and a '%' followed by neither a digit nor '%', stay as written;
// "%%" gives one '%'.
class Formatter {
 public:
  // One argument: a byte string, a NUL-terminated string, or a 32-bit integer.
  class Arg {
   public:
    Arg(std::string text) : text_(std::move(text)) {}
    Arg(const char* text) : text_(text) {}
    template <typename Int, typename = std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool> &&
                                                        !std::is_same_v<Int, char> && sizeof(Int) <= 4>>
    Arg(Int value) : text_(std::to_string(value)) {}

   private:
    friend class Formatter;
    std::string text_;
  };

  template <typename... Args>
  explicit Formatter(std::string format, Args&&... args) : format_(std::move(format)) {
    arguments_.reserve(sizeof...(args));
    (arguments_.push_back(Arg(std::forward<Args>(args)).text_), ...);
  }

  std::string str() const;

 private:
  std::string format_;
  std::vector<std::string> arguments_;
};

}  // namespace companion
