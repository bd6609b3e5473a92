// The stand-in browser: starts a program with chosen standard streams and
// talks to it through anonymous pipes, as a browser starts its native host,
// or, as Chrome does by default on Windows, through cmd.exe and two named
// pipes.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process_win.h"
#include "support.h"

namespace companion_test {

using companion_support::ChildProcess;
using companion_support::quoteArgument;

// What a child gets as a standard stream: a pipe to this process (its end in
// no-wait mode for kNoWaitPipe), the file named in Streams::file, the NUL
// device, or no handle at all.
enum class Stream { kPipe, kNoWaitPipe, kFile, kNul, kMissing };
struct Streams {
  Stream in = Stream::kPipe;
  Stream out = Stream::kPipe;
  std::filesystem::path file;
};
// kCmd: cmd.exe /d /s /c ""program" args < \\.\pipe\...in > \\.\pipe\...out",
// with two named pipes that this process serves; the streams are those.
enum class Launch { kDirect, kCmd };

class Child {
 public:
  // Starts the program (cmd.exe, for kCmd); ok() tells whether it runs.
  Child(const std::filesystem::path& program, const std::vector<std::string>& args, const Streams& streams = Streams(),
        Launch launch = Launch::kDirect);
  // Ends a child that is still running.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool ok() const { return process_.started(); }
  DWORD pid() const { return process_.pid(); }

  bool write(const std::string& bytes) { return writeAll(stdin_.get(), bytes.data(), bytes.size()); }
  void closeStdin() { stdin_.reset(); }
  // Writes to standard input until the child has taken nothing for a while,
  // as when it waits on something else; the bytes written.
  size_t fillStdin();
  void kill() { process_.kill(); }
  // Stops reading and closes this end, so that the child's next write fails.
  void closeStdout();

  // Everything the child has written so far.
  std::string output();
  bool waitForOutput(size_t bytes, std::chrono::milliseconds timeout);
  // The first complete output line that starts with the prefix, or nothing.
  std::optional<std::string> waitForLine(const std::string& prefix, std::chrono::milliseconds timeout);
  // The exit code, or nothing when the child still runs after the timeout.
  std::optional<DWORD> wait(std::chrono::milliseconds timeout);

 private:
  void startThroughCmd(const std::wstring& commandLine);
  void readOutput();
  std::optional<std::string> findLine(const std::string& prefix) const;

  ChildProcess process_;
  ScopedHandle stdin_;
  ScopedHandle stdout_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  bool outputEnded_ = false;
};

}  // namespace companion_test
