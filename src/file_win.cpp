// Windows file access for the core: UTF-8 paths become UTF-16, the log is a
// shared append-only file.
#include "file.h"

#include <windows.h>

#include <algorithm>

#include "utf8_win.h"

namespace companion {

const char kLineEnd[] = "\r\n";

std::filesystem::path pathFromUtf8(const std::string& utf8Path) { return std::filesystem::path(utf8ToWide(utf8Path)); }

namespace {

HANDLE toHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

bool AppendFile::open(const std::string& utf8Path) {
  close();
  // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write land at the
  // current end of file, also when other processes append at the same time.
  const HANDLE file = CreateFileW(utf8ToWide(utf8Path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(file);
  return true;
}

bool AppendFile::append(const char* data, size_t size) {
  if (!isOpen()) return false;
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, MAXDWORD));
    DWORD written = 0;
    if (!WriteFile(toHandle(handle_), data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

void AppendFile::close() {
  if (!isOpen()) return;
  CloseHandle(toHandle(handle_));
  handle_ = kClosed;
}

}  // namespace companion
