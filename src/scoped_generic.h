// ScopedGeneric: the one owner of a system resource (a descriptor, a HANDLE, a registry key, system memory) that a traits class describes.
#pragma once

#include <utility>

namespace companion {

// Owns one value of T and frees it through Traits when it goes out of scope.
// Traits provide:
//   static T InvalidValue();    what an empty owner holds
//   static bool IsValid(T);     whether a value is a resource (some APIs give
//                               more than one "none"; each is taken as empty)
//   static void Free(T);        releases a valid value
template <typename T, typename Traits>
class ScopedGeneric {
 public:
  ScopedGeneric() = default;
  explicit ScopedGeneric(T value) { reset(value); }
  ScopedGeneric(ScopedGeneric&& other) noexcept : value_(other.release()) {}
  ScopedGeneric& operator=(ScopedGeneric&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ScopedGeneric(const ScopedGeneric&) = delete;
  ScopedGeneric& operator=(const ScopedGeneric&) = delete;
  ~ScopedGeneric() { reset(); }

  T get() const { return value_; }
  bool valid() const { return Traits::IsValid(value_); }
  explicit operator bool() const { return valid(); }
  // Gives up ownership without freeing.
  T release() { return std::exchange(value_, Traits::InvalidValue()); }
  // Frees what is owned and takes value instead.
  void reset(T value = Traits::InvalidValue()) {
    if (valid()) Traits::Free(value_);
    value_ = Traits::IsValid(value) ? value : Traits::InvalidValue();
  }

 private:
  T value_ = Traits::InvalidValue();
};

}  // namespace companion
