// Windows file access for the core: UTF-8 paths become UTF-16, the log is a
// shared append-only file.
#include "file.h"

#include <windows.h>

#include <algorithm>

#include "file_read.h"
#include "scoped_handle_win.h"
#include "utf8_win.h"

namespace companion {

const char kLineEnd[] = "\r\n";

namespace {

HANDLE toHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Opens an existing file to read, shared for everything, deletion included.
HANDLE openShared(const std::wstring& path, DWORD access) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool isSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Whether Windows would change a name of the path: it drops the spaces and
// dots at the end of each one (a suffix may end in either). "." and ".."
// are left alone, since only the usual form understands them.
bool needsVerbatimForm(const std::wstring& path) {
  bool changed = false;
  for (size_t start = 0; start <= path.size();) {
    size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    const std::wstring name = path.substr(start, end - start);
    if (name == L"." || name == L"..") return false;
    if (!name.empty() && (name.back() == L' ' || name.back() == L'.')) changed = true;
    start = end + 1;
  }
  return changed;
}

// The UTF-16 path for a file-system call: an absolute path whose names
// Windows would change in its \\?\ form, which takes every name as it is
// and knows only backslashes.
std::wstring systemPath(const std::string& utf8Path) {
  std::wstring path = utf8ToWide(utf8Path);
  const bool drive = path.size() >= 3 && path[1] == L':' && isSeparator(path[2]);
  const bool share = path.size() >= 3 && isSeparator(path[0]) && isSeparator(path[1]) && path[2] != L'?' && path[2] != L'.';
  if ((!drive && !share) || !needsVerbatimForm(path)) return path;
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return drive ? L"\\\\?\\" + path : L"\\\\?\\UNC" + path.substr(1);
}

// Where the names of a path begin: after "C:\\", "\\server\\share\\", or their
// \\?\ forms; none of those is a directory to create.
size_t firstNameAt(const std::wstring& path) {
  size_t at = 0;
  bool share = false;
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    at = 8;
    share = true;
  } else if (path.rfind(L"\\\\?\\", 0) == 0) {
    at = 4;
  } else if (path.size() > 1 && isSeparator(path[0]) && isSeparator(path[1])) {
    at = 2;
    share = true;
  }
  const bool drive = !share && path.size() > at + 1 && path[at + 1] == L':';
  // A share's root is its server and share name; a drive's, its letter and colon.
  for (int names = share ? 2 : drive ? 1 : 0; names > 0 && at < path.size(); --names) {
    while (at < path.size() && !isSeparator(path[at])) ++at;
    if (at < path.size()) ++at;
  }
  return at;
}

// Opens what is at the path for its attributes alone, following links, shared
// for everything; a directory too.
HANDLE openAttributes(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

std::filesystem::path pathFromUtf8(const std::string& utf8Path) { return std::filesystem::path(systemPath(utf8Path)); }

// Every call here is a Win32 one, which takes the \\?\ form that systemPath
// gives some paths. The C runtime that std::filesystem calls on Windows
// (msvcrt's _wstat64) refuses any path holding '?'.
namespace files {

void createDirectories(const std::string& utf8Path) {
  const std::wstring path = systemPath(utf8Path);
  for (size_t at = firstNameAt(path); at < path.size(); ++at) {
    if (isSeparator(path[at])) CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  }
  if (!path.empty()) CreateDirectoryW(path.c_str(), nullptr);
}

uint64_t fileSize(const std::string& utf8Path) {
  const ScopedHandle file(openAttributes(systemPath(utf8Path)));
  BY_HANDLE_FILE_INFORMATION information{};
  if (!file || !GetFileInformationByHandle(file.get(), &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return 0;
  }
  return (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
}

// A file that another process holds open, shared for deletion as every
// companion holds its log, is only marked for deletion by DeleteFileW, and
// its name stays taken until the last handle closes ("A file cannot be
// deleted until all handles to it are closed. If a file cannot be deleted,
// its name cannot be reused. To reuse a file name immediately, rename the
// existing file.": Microsoft, "Closing and Deleting Files"). So it is moved
// aside first, under a name of this process's own, and deleted there.
void remove(const std::string& utf8Path) {
  const std::wstring path = systemPath(utf8Path);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    RemoveDirectoryW(path.c_str());
    return;
  }
  static unsigned removals = 0;
  const std::wstring aside =
      path + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++removals) + L".removed";
  DeleteFileW(MoveFileExW(path.c_str(), aside.c_str(), 0) ? aside.c_str() : path.c_str());
}

// A rename needs delete access to the file, which its other holders grant by
// sharing deletion ("Delete access allows both delete and rename
// operations": CreateFileW, FILE_SHARE_DELETE).
void rename(const std::string& from, const std::string& to) {
  MoveFileExW(systemPath(from).c_str(), systemPath(to).c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool exists(const std::string& utf8Path) {
  const std::wstring path = systemPath(utf8Path);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  // A link counts only when what it names is there.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  const ScopedHandle target(openAttributes(path));
  return target || GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace files

void FileHandleTraits::Free(intptr_t handle) { HandleTraits::Free(toHandle(handle)); }

bool AppendFile::open(const std::string& utf8Path) {
  close();
  // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write land at the
  // current end of file, also when other processes append at the same time.
  // Shared for deletion, so that another companion's start can rotate the log
  // while this one appends: its later records then land in the predecessor.
  const HANDLE file = CreateFileW(systemPath(utf8Path).c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  file_.reset(reinterpret_cast<intptr_t>(file));
  return isOpen();
}

bool AppendFile::append(const char* data, size_t size) {
  if (!isOpen()) return false;
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, MAXDWORD));
    DWORD written = 0;
    if (!WriteFile(toHandle(file_.get()), data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool readRegularFile(const std::string& utf8Path, size_t maxBytes, std::string& content, FilePart part) {
  const ScopedHandle owner(openShared(systemPath(utf8Path), GENERIC_READ));
  if (!owner) return false;
  const HANDLE file = owner.get();
  LARGE_INTEGER size{};
  bool ok = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size);
  const uint64_t offset = ok ? readOffset(static_cast<uint64_t>(size.QuadPart), maxBytes, part) : 0;
  LARGE_INTEGER start{};
  start.QuadPart = static_cast<LONGLONG>(offset);
  ok = ok && SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
  ok = ok && readBounded(static_cast<uint64_t>(size.QuadPart) - offset, maxBytes, content, [&](char* into, size_t most) {
         DWORD read = 0;
         const DWORD chunk = static_cast<DWORD>(std::min<size_t>(most, MAXDWORD));
         return ReadFile(file, into, chunk, &read, nullptr) ? static_cast<long long>(read) : -1LL;
       });
  return ok;
}

ScopedFile FileLock::open(const std::string& utf8Path) {
  // Shared for deletion, so that the holder can still rename the file.
  return ScopedFile(reinterpret_cast<intptr_t>(openShared(systemPath(utf8Path), GENERIC_READ)));
}

bool FileLock::tryLock() {
  // Windows refuses reads and writes through other handles in a locked
  // range, so the lock takes one byte that no log ever reaches (at 2^62).
  OVERLAPPED beyondAnyEnd{};
  beyondAnyEnd.OffsetHigh = 0x40000000;
  return LockFileEx(toHandle(file_.get()), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &beyondAnyEnd) != 0;
}

bool FileLock::holds(const std::string& utf8Path) const {
  if (!file_.valid()) return false;
  const ScopedHandle named(openShared(systemPath(utf8Path), FILE_READ_ATTRIBUTES));
  if (!named) return false;
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  return GetFileInformationByHandle(toHandle(file_.get()), &a) && GetFileInformationByHandle(named.get(), &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace companion
