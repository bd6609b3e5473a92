// The stand-in browser: CreateProcess with STARTF_USESTDHANDLES, and the
// native process call for a program path that CreateProcess refuses.
#include "launcher.h"

#include <winternl.h>

#include "utf8_win.h"

namespace companion_test {

namespace {

// Quotes an argument the way the C runtime splits a command line.
std::wstring quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'"') quoted.append(backslashes + 1, L'\\');
    backslashes = c == L'\\' ? backslashes + 1 : 0;
    quoted += c;
  }
  return quoted.append(backslashes, L'\\') + L'"';
}

ScopedHandle inheritable(HANDLE handle) {
  ScopedHandle owner(handle);
  if (owner) SetHandleInformation(owner.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return owner;
}

// The child's end of one standard stream; for a pipe, this process keeps the
// other end in parentEnd.
ScopedHandle childStream(Stream kind, bool childReads, const std::filesystem::path& file,
                         ScopedHandle& parentEnd) {
  const DWORD access = childReads ? GENERIC_READ : GENERIC_WRITE;
  switch (kind) {
    case Stream::kPipe:
    case Stream::kNoWaitPipe: {
      HANDLE read = nullptr;
      HANDLE write = nullptr;
      if (!CreatePipe(&read, &write, nullptr, 0)) return ScopedHandle();
      parentEnd.reset(childReads ? write : read);
      HANDLE childEnd = childReads ? read : write;
      DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
      if (kind == Stream::kNoWaitPipe) SetNamedPipeHandleState(childEnd, &mode, nullptr, nullptr);
      return inheritable(childEnd);
    }
    case Stream::kFile:
      return inheritable(CreateFileW(file.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    case Stream::kNul:
      return inheritable(
          CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    case Stream::kMissing:
      break;
  }
  return ScopedHandle();
}

// Children report their own trouble on the test's error output.
ScopedHandle inheritedStderr() {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &copy, 0, TRUE,
                  DUPLICATE_SAME_ACCESS);
  return ScopedHandle(copy);
}

// What NtCreateUserProcess needs beyond winternl.h (ntdll's own layout).
struct PsAttribute {
  ULONG_PTR attribute;
  SIZE_T size;
  PVOID value;
  PSIZE_T returnLength;
};
struct PsAttributeList {
  SIZE_T totalLength;
  PsAttribute attributes[1];
};
struct PsCreateInfo {
  SIZE_T size;
  ULONG state;
  BYTE rest[88 - 2 * sizeof(SIZE_T)];
};
constexpr ULONG_PTR kPsAttributeImageName = 0x20005;
constexpr ULONG kProcessCreateInheritHandles = 0x4;
constexpr ULONG kProcessParametersNormalized = 0x1;
using CreateProcessParametersEx = NTSTATUS(NTAPI*)(PRTL_USER_PROCESS_PARAMETERS*, PUNICODE_STRING, PUNICODE_STRING,
                                                    PUNICODE_STRING, PUNICODE_STRING, PVOID, PUNICODE_STRING,
                                                    PUNICODE_STRING, PUNICODE_STRING, PUNICODE_STRING, ULONG);
using DestroyProcessParameters = NTSTATUS(NTAPI*)(PRTL_USER_PROCESS_PARAMETERS);
using CreateUserProcess = NTSTATUS(NTAPI*)(PHANDLE, PHANDLE, ACCESS_MASK, ACCESS_MASK, PVOID, PVOID, ULONG, ULONG,
                                           PVOID, PsCreateInfo*, PsAttributeList*);

UNICODE_STRING unicodeString(std::wstring& text) {
  const auto bytes = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  return UNICODE_STRING{bytes, bytes, &text[0]};
}

template <typename Function>
Function ntdll(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

}  // namespace

Child::Child(const std::filesystem::path& program, const std::vector<std::string>& args, const Streams& streams,
             Launch launch) {
  const ScopedHandle err = inheritedStderr();
  std::wstring arguments;
  for (const std::string& arg : args) arguments += L' ' + quote(companion::utf8ToWide(arg));
  if (launch == Launch::kCmd) {
    // Chrome quotes the program whatever it holds.
    startThroughCmd(L"\"" + program.wstring() + L"\"" + arguments);
  } else {
    const ScopedHandle in = childStream(streams.in, true, streams.file, stdin_);
    const ScopedHandle out = childStream(streams.out, false, streams.file, stdout_);
    std::wstring commandLine = quote(program.wstring()) + arguments;
    // CreateProcess (on Windows and in Wine) refuses a program path of
    // MAX_PATH units or more; the native call takes any length.
    if (program.wstring().size() < MAX_PATH) {
      start(program, std::move(commandLine), in.get(), out.get(), err.get());
    } else {
      startFromLongPath(program, std::move(commandLine), in.get(), out.get(), err.get());
    }
    // The child's ends close here: once the child exits, its pipes end.
  }
  outputEnded_ = !stdout_;
  if (stdout_) reader_ = std::thread(&Child::readOutput, this);
}

Child::~Child() {
  if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), INFINITE);
  }
  stdin_.reset();
  if (reader_.joinable()) reader_.join();
}

void Child::start(const std::filesystem::path& program, std::wstring commandLine, HANDLE in, HANDLE out, HANDLE err) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  // No console, as when a browser starts it: a console would stand in for a
  // missing standard handle.
  create(program, std::move(commandLine), startup, DETACHED_PROCESS);
}

void Child::create(const std::filesystem::path& program, std::wstring commandLine, STARTUPINFOW& startup,
                   DWORD flags) {
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
                      &info)) {
    return;
  }
  CloseHandle(info.hThread);
  process_.reset(info.hProcess);
  pid_ = info.dwProcessId;
}

void Child::startThroughCmd(const std::wstring& commandLine) {
  static int count = 0;
  const std::wstring pipe =
      L"\\\\.\\pipe\\companion-test-browser." + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++count);
  stdin_.reset(CreateNamedPipeW((pipe + L".in").c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr));
  stdout_.reset(CreateNamedPipeW((pipe + L".out").c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr));
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::filesystem::path cmd = std::filesystem::path(system) / L"cmd.exe";
  // Chrome starts it hidden, with standard handles of its own that cmd.exe
  // replaces for the program; this one gets none.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  create(cmd, L"cmd.exe /d /s /c \"" + commandLine + L" < " + pipe + L".in > " + pipe + L".out\"", startup,
         CREATE_NO_WINDOW);
  // cmd.exe opens both before it starts the program.
  if (!process_ || !stdin_ || !stdout_) return;
  ConnectNamedPipe(stdin_.get(), nullptr);
  ConnectNamedPipe(stdout_.get(), nullptr);
}

void Child::startFromLongPath(const std::filesystem::path& program, std::wstring commandLine, HANDLE in, HANDLE out,
                              HANDLE err) {
  std::wstring image = program.wstring();
  std::wstring ntImage = L"\\??\\" + image;
  UNICODE_STRING imageString = unicodeString(image);
  UNICODE_STRING commandString = unicodeString(commandLine);
  PRTL_USER_PROCESS_PARAMETERS parameters = nullptr;
  if (ntdll<CreateProcessParametersEx>("RtlCreateProcessParametersEx")(
          &parameters, &imageString, nullptr, nullptr, &commandString, nullptr, nullptr, nullptr, nullptr, nullptr,
          kProcessParametersNormalized) != 0) {
    return;
  }
  // Reserved2[2..4] are StandardInput, StandardOutput and StandardError.
  parameters->Reserved2[2] = in;
  parameters->Reserved2[3] = out;
  parameters->Reserved2[4] = err;
  PsCreateInfo createInfo{};
  createInfo.size = sizeof createInfo;
  PsAttributeList attributes{};
  attributes.totalLength = sizeof attributes;
  attributes.attributes[0] = {kPsAttributeImageName, ntImage.size() * sizeof(wchar_t), &ntImage[0], nullptr};
  HANDLE process = nullptr;
  HANDLE thread = nullptr;
  const NTSTATUS status = ntdll<CreateUserProcess>("NtCreateUserProcess")(
      &process, &thread, PROCESS_ALL_ACCESS, THREAD_ALL_ACCESS, nullptr, nullptr, kProcessCreateInheritHandles, 0,
      parameters, &createInfo, &attributes);
  ntdll<DestroyProcessParameters>("RtlDestroyProcessParameters")(parameters);
  if (status != 0) return;
  CloseHandle(thread);
  process_.reset(process);
  pid_ = GetProcessId(process);
}

void Child::readOutput() {
  std::vector<char> buffer(65536);
  DWORD read = 0;
  while (ReadFile(stdout_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
    std::lock_guard<std::mutex> lock(mutex_);
    output_.append(buffer.data(), read);
    changed_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  outputEnded_ = true;
  changed_.notify_all();
}

size_t Child::fillStdin() {
  // In no-wait mode a write takes what fits, possibly nothing.
  DWORD mode = PIPE_NOWAIT;
  SetNamedPipeHandleState(stdin_.get(), &mode, nullptr, nullptr);
  const std::string chunk(4096, 'f');
  size_t total = 0;
  for (auto taken = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - taken < std::chrono::milliseconds(500);) {
    DWORD written = 0;
    if (!WriteFile(stdin_.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr)) break;
    total += written;
    if (written > 0) {
      taken = std::chrono::steady_clock::now();
    } else {
      Sleep(10);
    }
  }
  return total;
}

void Child::closeStdout() {
  if (!reader_.joinable()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  // A cancellation that comes just before the reader's next ReadFile is lost.
  while (!outputEnded_) {
    CancelIoEx(stdout_.get(), nullptr);
    changed_.wait_for(lock, std::chrono::milliseconds(5));
  }
  lock.unlock();
  reader_.join();
  stdout_.reset();
}

std::string Child::output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

bool Child::waitForOutput(size_t bytes, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return output_.size() >= bytes || outputEnded_; });
  return output_.size() >= bytes;
}

std::optional<std::string> Child::findLine(const std::string& prefix) const {
  for (size_t begin = 0, end; (end = output_.find('\n', begin)) != std::string::npos; begin = end + 1) {
    if (output_.compare(begin, prefix.size(), prefix) == 0) return output_.substr(begin, end - begin);
  }
  return std::nullopt;
}

std::optional<std::string> Child::waitForLine(const std::string& prefix, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return findLine(prefix) || outputEnded_; });
  return findLine(prefix);
}

std::optional<DWORD> Child::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (!process_ || WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  // Its output is complete once the pipe has delivered the end as well.
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_until(lock, deadline, [&] { return outputEnded_; });
  DWORD code = 0;
  GetExitCodeProcess(process_.get(), &code);
  return code;
}

}  // namespace companion_test
