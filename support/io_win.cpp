// Whole reads and writes on blocking handles, in pieces that a DWORD count and a pipe's buffer take.
#include "io_win.h"

namespace companion_support {
namespace {

constexpr size_t kMostPerCall = 65536;

DWORD pieceOf(size_t size) { return static_cast<DWORD>(size < kMostPerCall ? size : kMostPerCall); }

}  // namespace

bool writeAll(HANDLE handle, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, pieceOf(size), &written, nullptr)) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

bool readExactly(HANDLE handle, void* data, size_t size) {
  char* bytes = static_cast<char*>(data);
  while (size > 0) {
    DWORD read = 0;
    if (!ReadFile(handle, bytes, pieceOf(size), &read, nullptr) || read == 0) return false;
    bytes += read;
    size -= read;
  }
  return true;
}

}  // namespace companion_support
