// removeTree on Windows: walks the tree with \\?\ paths, which have no
// MAX_PATH limit.
#include <windows.h>

#include <string>

#include "temp_dir.h"

namespace companion_support {

void removeTree(const std::filesystem::path& dir) {
  const std::wstring path = L"\\\\?\\" + std::filesystem::absolute(dir).wstring();
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeTree(dir / name);
      } else {
        DeleteFileW((path + L"\\" + name).c_str());
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

}  // namespace companion_support
