// The stand-in browser: the child's standard streams, the cmd.exe start, and a thread that collects the output.
#include "launcher.h"

#include "utf8_win.h"

namespace companion_test {

namespace {

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

}  // namespace

Child::Child(const std::filesystem::path& program, const std::vector<std::string>& args, const Streams& streams,
             Launch launch) {
  const ScopedHandle err = inheritedStderr();
  std::wstring arguments;
  for (const std::string& arg : args) arguments += L' ' + quoteArgument(companion::utf8ToWide(arg));
  if (launch == Launch::kCmd) {
    // Chrome quotes the program whatever it holds.
    startThroughCmd(L"\"" + program.wstring() + L"\"" + arguments);
  } else {
    const ScopedHandle in = childStream(streams.in, true, streams.file, stdin_);
    const ScopedHandle out = childStream(streams.out, false, streams.file, stdout_);
    ChildProcess::Options options;
    options.program = program;
    options.commandLine = quoteArgument(program.wstring()) + arguments;
    options.streams = ChildProcess::StandardHandles{in.get(), out.get(), err.get()};
    // No console, as when a browser starts it: a console would stand in for a
    // missing standard handle.
    options.creationFlags = DETACHED_PROCESS;
    process_.start(options);
    // The child's ends close here: once the child exits, its pipes end.
  }
  outputEnded_ = !stdout_;
  if (stdout_) reader_ = std::thread(&Child::readOutput, this);
}

Child::~Child() {
  process_.terminate();
  stdin_.reset();
  if (reader_.joinable()) reader_.join();
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
  ChildProcess::Options options;
  options.program = cmd;
  options.commandLine = L"cmd.exe /d /s /c \"" + commandLine + L" < " + pipe + L".in > " + pipe + L".out\"";
  options.creationFlags = CREATE_NO_WINDOW;
  options.hidden = true;
  process_.start(options);
  // cmd.exe opens both before it starts the program.
  if (!process_.started() || !stdin_ || !stdout_) return;
  ConnectNamedPipe(stdin_.get(), nullptr);
  ConnectNamedPipe(stdout_.get(), nullptr);
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
  const std::optional<DWORD> code = process_.wait(timeout);
  if (!code) return std::nullopt;
  // Its output is complete once the pipe has delivered the end as well.
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_until(lock, deadline, [&] { return outputEnded_; });
  return code;
}

}  // namespace companion_test
