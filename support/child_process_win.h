// ChildProcess on Windows: a program started with the standard handles each caller chooses, for the tests and the Wine benchmark.
#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "scoped_handle_win.h"

namespace companion_support {

// Quotes an argument the way the C runtime splits a command line.
std::wstring quoteArgument(const std::wstring& arg);

// A started program. Going away ends a child that still runs.
class ChildProcess {
 public:
  struct StandardHandles {
    HANDLE in = nullptr;
    HANDLE out = nullptr;
    HANDLE err = nullptr;
  };
  struct Options {
    std::filesystem::path program;
    std::wstring commandLine;  // the program's own name first
    // Inheritable handles the child gets as its standard streams; without
    // them it has what its creation flags give it.
    std::optional<StandardHandles> streams;
    DWORD creationFlags = 0;
    bool hidden = false;  // its window, if any, starts hidden
  };

  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept = default;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ~ChildProcess() { terminate(); }

  // Starts the program; false when it cannot be started. A program path of
  // MAX_PATH units or more, which CreateProcess refuses (on Windows and in
  // Wine), is started by the native call, which takes any length.
  bool start(const Options& options);

  bool started() const { return static_cast<bool>(process_); }
  HANDLE handle() const { return process_.get(); }
  DWORD pid() const { return pid_; }
  // Ends the child as TerminateProcess does, with exit code 1.
  void kill() const;
  // The exit code, or nothing when the child still runs after the timeout.
  std::optional<DWORD> wait(std::chrono::milliseconds timeout);
  std::optional<DWORD> wait() { return wait(std::chrono::milliseconds(INFINITE)); }
  // Kills a child that still runs and waits until it has gone.
  void terminate();

 private:
  bool create(const Options& options);
  bool createFromLongPath(const Options& options);

  companion::ScopedHandle process_;
  DWORD pid_ = 0;
};

}  // namespace companion_support
