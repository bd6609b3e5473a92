// ChildProcess on Windows: CreateProcess with STARTF_USESTDHANDLES, and the
// native process call for a program path that CreateProcess refuses.
#include "child_process_win.h"

#include <winternl.h>

#include <utility>

namespace companion_support {
namespace {

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

std::wstring quoteArgument(const std::wstring& arg) {
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

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this == &other) return *this;
  terminate();
  process_ = std::move(other.process_);
  pid_ = std::exchange(other.pid_, 0);
  return *this;
}

bool ChildProcess::start(const Options& options) {
  terminate();
  const bool longPath = options.program.wstring().size() >= MAX_PATH;
  return options.streams && longPath ? createFromLongPath(options) : create(options);
}

bool ChildProcess::create(const Options& options) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (options.streams) {
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdInput = options.streams->in;
    startup.hStdOutput = options.streams->out;
    startup.hStdError = options.streams->err;
  }
  if (options.hidden) {
    startup.dwFlags |= STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
  }
  std::wstring commandLine = options.commandLine;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(options.program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, options.creationFlags,
                      nullptr, nullptr, &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  process_.reset(info.hProcess);
  pid_ = info.dwProcessId;
  return true;
}

bool ChildProcess::createFromLongPath(const Options& options) {
  std::wstring image = options.program.wstring();
  std::wstring ntImage = L"\\??\\" + image;
  std::wstring commandLine = options.commandLine;
  UNICODE_STRING imageString = unicodeString(image);
  UNICODE_STRING commandString = unicodeString(commandLine);
  PRTL_USER_PROCESS_PARAMETERS parameters = nullptr;
  if (ntdll<CreateProcessParametersEx>("RtlCreateProcessParametersEx")(
          &parameters, &imageString, nullptr, nullptr, &commandString, nullptr, nullptr, nullptr, nullptr, nullptr,
          kProcessParametersNormalized) != 0) {
    return false;
  }
  // Reserved2[2..4] are StandardInput, StandardOutput and StandardError.
  parameters->Reserved2[2] = options.streams->in;
  parameters->Reserved2[3] = options.streams->out;
  parameters->Reserved2[4] = options.streams->err;
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
  if (status != 0) return false;
  CloseHandle(thread);
  process_.reset(process);
  pid_ = GetProcessId(process);
  return true;
}

void ChildProcess::kill() const {
  if (process_) TerminateProcess(process_.get(), 1);
}

std::optional<DWORD> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (!process_ || WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  GetExitCodeProcess(process_.get(), &code);
  return code;
}

void ChildProcess::terminate() {
  if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
    kill();
    WaitForSingleObject(process_.get(), INFINITE);
  }
}

}  // namespace companion_support
