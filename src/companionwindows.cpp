// CompanionWindows: the agent's named pipe and the standard streams, the two
// relay pumps, the user's identity, and paths and files, on the Windows API.
#include "companionwindows.h"

#define SECURITY_WIN32
#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <sddl.h>
#include <security.h>
#include <shlobj.h>
#include <winternl.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "open_failure.h"
#include "pipe_server_win.h"
#include "platform_paths.h"
#include "scoped_handle_win.h"
#include "utf8_win.h"

namespace companion {

namespace {

// The agent may identify the user at the other end of its pipe but not act as
// that user: without SECURITY_SQOS_PRESENT a client grants whoever serves the
// name full impersonation. The pumps' reads pass no OVERLAPPED on these
// overlapped handles; the system then waits on the handle itself for the
// transfer, which is unambiguous because only one transfer is ever pending on
// each handle. The write to the agent passes one, so that its wait can end
// now and then to look at standard input.
constexpr DWORD kSocketOpenFlags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// How often a write that the agent holds up looks whether the browser has
// left; no wait happens at all while the agent takes the bytes.
constexpr DWORD kBrowserLookMs = 50;

// A pipe's peek (FSCTL_PIPE_PEEK, which needs only read access) tells that
// the writing end is closed while bytes are still queued; PeekNamedPipe
// tells only once they have been read.
constexpr ULONG kPipePeek = CTL_CODE(FILE_DEVICE_NAMED_PIPE, 3, METHOD_BUFFERED, FILE_READ_DATA);
constexpr ULONG kPipeClosingState = 4;  // FILE_PIPE_CLOSING_STATE
constexpr NTSTATUS kStatusBufferOverflow = static_cast<NTSTATUS>(0x80000005);
constexpr NTSTATUS kStatusPipeDisconnected = static_cast<NTSTATUS>(0xC00000B0);
constexpr NTSTATUS kStatusPipeBroken = static_cast<NTSTATUS>(0xC000014B);
// FILE_PIPE_PEEK_BUFFER without its data.
struct PipePeek {
  ULONG namedPipeState;
  ULONG readDataAvailable;
  ULONG numberOfMessages;
  ULONG messageLength;
};

// Exactly TOKEN_USER with a five sub-authority SID (a user account) in a
// 32-bit process; a 64-bit build needs one retry with the reported size.
constexpr DWORD kFirstTokenInfoBytes = 36;
constexpr DWORD kMaxTokenInfoBytes = 8192;
constexpr ULONG kFirstNameUnits = 256;
constexpr ULONG kMaxNameUnits = 8192;

// The module path buffer starts at MAX_PATH + 1 units and grows, as long as
// the path comes back cut, up to the longest path the system has.
constexpr DWORD kFirstModulePathUnits = 261;
constexpr DWORD kMaxModulePathUnits = 32768;
constexpr DWORD kFullPathUnits = 65536;

// A write that succeeded. A pipe in no-wait mode reports success with nothing
// written while it is full; repeating would spin for as long as its reader
// does not read.
Transfer succeeded(DWORD written, uint32_t size) {
  if (written == 0 && size != 0) return {false, 0, ERROR_WRITE_FAULT};
  return {true, written, 0};
}

OpenFailure classifyOpenError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return OpenFailure::kNotFound;
    case ERROR_PIPE_BUSY: return OpenFailure::kBusy;
    default: return OpenFailure::kInvalid;
  }
}

// Opens one end of the agent's pipe into the field, which is left null on
// failure. No waiting: a missing or busy pipe is reported at once.
ReturnCode openSocket(std::atomic<HANDLE>& field, const std::wstring& path, DWORD access) {
  field = CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, kSocketOpenFlags, nullptr);
  const DWORD error = GetLastError();
  if (field.load() != INVALID_HANDLE_VALUE) return kCodeSuccess;
  field = nullptr;
  return reportOpenFailure(classifyOpenError(error), error);
}

std::string sidText(PSID sid) {
  LPWSTR text = nullptr;
  if (sid == nullptr || IsValidSid(sid) != 1 || ConvertSidToStringSidW(sid, &text) != 1) return std::string();
  const ScopedLocalMemory<wchar_t> owner(text);
  return wideToUtf8(text, std::wcslen(text));
}

// The SID of the token's user; the buffer grows only to the size the system
// reports, and only when that is more than it has and within the cap.
std::string tokenUserSid(HANDLE token) {
  std::vector<uint8_t> buffer(kFirstTokenInfoBytes);
  for (;;) {
    DWORD needed = 0;
    const BOOL ok = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
    const DWORD error = GetLastError();
    if (ok) return sidText(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
    if (error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size() || needed > kMaxTokenInfoBytes) {
      return std::string();
    }
    buffer.resize(needed);
  }
}

}  // namespace

std::string ownUserSid() {
  HANDLE token = nullptr;
  // An impersonating thread has a token of its own; otherwise the process
  // token names the user.
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    const DWORD error = GetLastError();
    COMPANION_LOG(LoggerLevel::Error, "OpenProcessToken fail: %1", error);
    return std::string();
  }
  const ScopedHandle owner(token);
  return owner ? tokenUserSid(token) : std::string();
}

// The server's process id comes from the system, not from the server, and the
// user of that process's token is who reads the traffic. The pipe's owner SID
// would not do: the owner of an object created by an elevated process is the
// Administrators group, and the owner says who created the object, not who
// serves it. A same-user agent that runs elevated still has the user's SID as
// its token user; where the system does not let this process open that
// token, the server cannot be established and is refused, as is any server
// whose process this process may not open.
std::string pipeServerUserSid(void* pipe) {
  ULONG processId = 0;
  if (!GetNamedPipeServerProcessId(pipe, &processId)) return std::string();
  const ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  HANDLE token = nullptr;
  if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, &token)) return std::string();
  const ScopedHandle owner(token);
  return tokenUserSid(token);
}

namespace {

std::string getUniqueIdName() {
  std::vector<wchar_t> buffer(kFirstNameUnits);
  for (;;) {
    const auto bufferUnits = static_cast<ULONG>(buffer.size());
    ULONG size = bufferUnits;
    if (GetUserNameExW(NameUniqueId, buffer.data(), &size)) {
      if (size == 0 || size > bufferUnits) {
        const DWORD error = GetLastError();
        COMPANION_LOG(LoggerLevel::Error,
                      "GetUserNameEx() invalid buffer size, error: %1, buffer.size() = %2, result size = %3, "
                      "name format = %4",
                      error, bufferUnits, size, "NameUniqueId");
        return std::string();
      }
      return wideToUtf8(buffer.data(), size);
    }
    const DWORD error = GetLastError();
    if (error == ERROR_NONE_MAPPED) return std::string();
    if (error != ERROR_MORE_DATA) {
      COMPANION_LOG(LoggerLevel::Error, "GetUserNameEx() error: %1, result size = %2", error, size);
      return std::string();
    }
    if (size <= bufferUnits) {
      COMPANION_LOG(LoggerLevel::Critical, "GetUserNameEx() invalid buffer size, buffer size = %1, result size = %2",
                    bufferUnits, size);
      return std::string();
    }
    if (size > kMaxNameUnits) {
      COMPANION_LOG(LoggerLevel::Error, "GetUserNameEx() too big buffer size, result size = %1", size);
      return std::string();
    }
    buffer.resize(size);
  }
}

// The running executable's path; empty when the system cannot tell.
std::wstring modulePath() {
  std::wstring buffer(kFirstModulePathUnits, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    // A path that does not fit comes back cut, its length the buffer's size.
    if (length < buffer.size() || buffer.size() >= kMaxModulePathUnits) return buffer.substr(0, length);
    buffer.assign(std::min<size_t>(buffer.size() * 2, kMaxModulePathUnits), L'\0');
  }
}

// The part before the last backslash, or the whole path when it has none.
std::string directoryOf(const std::wstring& path) {
  const std::string utf8 = wideToUtf8(path);
  const size_t separator = utf8.rfind('\\');
  return separator == std::string::npos ? utf8 : utf8.substr(0, separator);
}

}  // namespace

CompanionWindows::CompanionWindows()
    : RelayPumps(relayState(socketResult, stdResult, socketDone, stdDone, stopRequested)) {}

int32_t CompanionWindows::runLoop() {
  const ScopedHandle written(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  agentWritten = written.get();
  const int32_t code = relay();
  agentWritten = nullptr;
  return code;
}

std::atomic<CompanionWindows::Handle>& CompanionWindows::handleOf(Channel channel) {
  switch (channel) {
    case Channel::kSocketIn: return socketInHandle;
    case Channel::kSocketOut: return socketOutHandle;
    case Channel::kStdin: return stdinHandle;
    default: return stdoutHandle;
  }
}

Transfer CompanionWindows::readSome(Channel channel, uint8_t* data, uint32_t size) {
  const HANDLE handle = handleOf(channel).load();
  if (draining()) {
    // Only what has arrived: a read that would wait has nothing left to deliver.
    DWORD available = 0;
    if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) return {false, 0, GetLastError()};
    if (available == 0) return {false, 0, ERROR_OPERATION_ABORTED};
    size = std::min<uint32_t>(size, available);
  }
  DWORD read = 0;
  if (ReadFile(handle, data, size, &read, nullptr)) return {true, read, 0};
  return {false, 0, GetLastError()};
}

Transfer CompanionWindows::writeSome(Channel channel, const uint8_t* data, uint32_t size) {
  DWORD written = 0;
  if (!WriteFile(handleOf(channel).load(), data, size, &written, nullptr)) return {false, 0, GetLastError()};
  return succeeded(written, size);
}

// Whether the browser has closed its end of standard input. Asked only while
// no read is pending on it: a query on a synchronous handle waits behind one.
bool CompanionWindows::browserInputGone() {
  // From ntdll, which every process has loaded; linking it would add an import.
  static const auto control = reinterpret_cast<decltype(&NtFsControlFile)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtFsControlFile")));
  if (control == nullptr) return false;
  PipePeek peek{};
  IO_STATUS_BLOCK status{};
  const NTSTATUS result =
      control(stdinHandle.load(), nullptr, nullptr, nullptr, &status, kPipePeek, nullptr, 0, &peek, sizeof peek);
  // With nothing queued the closed pipe fails the peek instead.
  if (result == kStatusPipeBroken || result == kStatusPipeDisconnected) return true;
  return (result >= 0 || result == kStatusBufferOverflow) && peek.namedPipeState == kPipeClosingState;
}

Transfer CompanionWindows::writeToAgent(const uint8_t* data, uint32_t size, AgentStall& stall) {
  const HANDLE agent = socketOutHandle.load();
  OVERLAPPED overlapped{};
  overlapped.hEvent = agentWritten;
  if (!WriteFile(agent, data, size, nullptr, &overlapped)) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return {false, 0, error};
  }
  // Without an event the handle itself is signalled.
  const HANDLE done = agentWritten != nullptr ? agentWritten : agent;
  bool givingUp = false;
  while (!givingUp && WaitForSingleObject(done, static_cast<DWORD>(stall.waitMs(kBrowserLookMs))) == WAIT_TIMEOUT) {
    if (!stall.browserGone()) {
      if (browserInputGone()) stall.browserLeft();
    } else if (stall.expired()) {
      givingUp = CancelIoEx(agent, &overlapped) != 0;
    }
  }
  DWORD written = 0;
  if (!GetOverlappedResult(agent, &overlapped, &written, TRUE)) {
    const DWORD error = GetLastError();
    return givingUp && error == ERROR_OPERATION_ABORTED ? stall.giveUp(ERROR_BROKEN_PIPE) : Transfer{false, 0, error};
  }
  return succeeded(written, size);
}

// A blocked transfer cannot see the stop flag; cancelling every transfer
// pending on the pump's two handles makes it fail with 995.
void CompanionWindows::cancelTransfers(const Pump& pump) {
  CancelIoEx(handleOf(pump.input).load(), nullptr);
  CancelIoEx(handleOf(pump.output).load(), nullptr);
}

// While the agent's last reply drains, the write of it to the browser goes on.
void CompanionWindows::cancelRead(const Pump& pump) { CancelIoEx(handleOf(pump.input).load(), nullptr); }

int32_t CompanionWindows::connectSocket() {
  const std::string socketPath = getSocketPath();
  COMPANION_LOG(LoggerLevel::Info, "Connect to socket path: %1", socketPath);
  const std::wstring widePath = utf8ToWide(socketPath);
  // The agent tells a client's two connections apart by this order: first the
  // one this process reads from, then the one it writes to.
  ReturnCode code = openSocket(socketInHandle, widePath, FILE_READ_DATA);
  if (code == kCodeSuccess) code = openSocket(socketOutHandle, widePath, FILE_WRITE_DATA);
  return code == kCodeSuccess ? checkServer() : code;
}

// Anyone can compute the pipe's name and create it first: only a server
// running as this user gets the browser's traffic. Each of the two
// connections may have a server of its own.
int32_t CompanionWindows::checkServer() {
  const std::string own = ownUserSid();
  for (const std::atomic<Handle>* connection : {&socketInHandle, &socketOutHandle}) {
    const std::string server = pipeServerUserSid(connection->load());
    if (own.empty() || server != own) {
      reportRefusedServer(server.empty() ? "unknown" : server, own.empty() ? "unknown" : own);
      return kCodeSocketInvalid;
    }
  }
  return kCodeSuccess;
}

int32_t CompanionWindows::connectStd() {
  if (!takeStdHandle(stdinHandle, STD_INPUT_HANDLE, "stdin")) return kCodeStdNotPipe;
  if (!takeStdHandle(stdoutHandle, STD_OUTPUT_HANDLE, "stdout")) return kCodeStdNotPipe;
  return kCodeSuccess;
}

// The browser starts this process with pipes on both standard streams; a
// console, a file or a missing handle means someone else started it.
bool CompanionWindows::takeStdHandle(std::atomic<Handle>& field, uint32_t selector, const char* name) {
  field = GetStdHandle(selector);
  const DWORD error = GetLastError();
  if (field.load() == INVALID_HANDLE_VALUE) {
    COMPANION_LOG(LoggerLevel::Error, "Get %1 handle, error: %2", name, error);
    field = nullptr;
    return false;
  }
  const DWORD type = GetFileType(field.load());
  if (type == FILE_TYPE_PIPE) return true;
  COMPANION_LOG(LoggerLevel::Error, "%1 type handle must be pipe, type: %2", name, type);
  return false;
}

void CompanionWindows::closeAll() {
  for (std::atomic<Handle>* field : {&stdinHandle, &stdoutHandle, &socketInHandle, &socketOutHandle}) {
    const Handle handle = field->exchange(nullptr);
    if (handle != nullptr) CloseHandle(handle);
  }
}

uint32_t CompanionWindows::getProcessId() { return GetCurrentProcessId(); }

std::string platform::userId() {
  std::string id = ownUserSid();
  if (id.empty()) id = getUniqueIdName();
  return id.empty() ? "unknown" : id;
}

std::string platform::rendezvousDirectory() { return "\\\\.\\pipe\\"; }

std::string platform::dataDirectory() {
  PWSTR folder = nullptr;
  const HRESULT result = SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DONT_VERIFY, nullptr, &folder);
  // Whatever the outcome, the string (or null) is the caller's to free.
  const ScopedCoTaskMemory<wchar_t> owner(folder);
  return result == S_OK ? wideToUtf8(folder, std::wcslen(folder)) : std::string();
}

std::string platform::executableDirectory(const char* programPath) {
  const std::wstring module = modulePath();
  if (!module.empty()) return directoryOf(module);

  const std::string program = programPath != nullptr ? programPath : "";
  std::wstring fullPath(kFullPathUnits, L'\0');
  const DWORD length = GetFullPathNameW(utf8ToWide(program).c_str(), kFullPathUnits, &fullPath[0], nullptr);
  if (length == 0 || length >= kFullPathUnits) return program;
  fullPath.resize(length);
  return directoryOf(fullPath);
}

std::string CompanionWindows::getPlatformName() { return "windows"; }

}  // namespace companion
