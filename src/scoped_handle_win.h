// Owners for what the Windows API hands out: handles closed with CloseHandle,
// registry keys, and memory freed with LocalFree or CoTaskMemFree.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "scoped_generic.h"

namespace companion {

// Some calls report "none" as null, others as INVALID_HANDLE_VALUE; an owner
// holds null for either.
struct HandleTraits {
  static HANDLE InvalidValue() { return nullptr; }
  static bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Free(HANDLE handle) { CloseHandle(handle); }
};
using ScopedHandle = ScopedGeneric<HANDLE, HandleTraits>;

struct RegistryKeyTraits {
  static HKEY InvalidValue() { return nullptr; }
  static bool IsValid(HKEY key) { return key != nullptr; }
  static void Free(HKEY key) { RegCloseKey(key); }
};
using ScopedRegistryKey = ScopedGeneric<HKEY, RegistryKeyTraits>;

// Memory of T that the system allocated and that Deallocate frees.
template <typename T, void (*Deallocate)(void*)>
struct SystemMemoryTraits {
  static T* InvalidValue() { return nullptr; }
  static bool IsValid(T* memory) { return memory != nullptr; }
  static void Free(T* memory) { Deallocate(memory); }
};

inline void freeLocalMemory(void* memory) { LocalFree(memory); }
inline void freeCoTaskMemory(void* memory) { CoTaskMemFree(memory); }

// Memory the system allocated with LocalAlloc, such as a SID's text.
template <typename T>
using ScopedLocalMemory = ScopedGeneric<T*, SystemMemoryTraits<T, freeLocalMemory>>;
// Memory the system allocated with CoTaskMemAlloc, such as a known folder's path.
template <typename T>
using ScopedCoTaskMemory = ScopedGeneric<T*, SystemMemoryTraits<T, freeCoTaskMemory>>;

}  // namespace companion
