// The diagnosis: manifests as the browsers check them, the suffix, the
// rendezvous name and the log's last outcome.
#include "doctor.h"

#include <cstdlib>
#include <filesystem>

#include "frame_lengths.h"
#include "logger.h"
#include "manifest_check.h"
#include "policies.h"

namespace companion_doctor {
namespace {

namespace fs = std::filesystem;

// More than any manifest, and more than a log grows before it is rotated.
constexpr size_t kMaxReadBytes = size_t{64} << 20;

// The start of a regular file; anything else (a FIFO planted there) reads as
// empty instead of blocking the diagnosis.
std::string readWhole(const std::string& path) {
  std::string content;
  return companion::readRegularFile(path, kMaxReadBytes, content) ? content : std::string();
}

std::string meaningOf(int code) {
  switch (code) {
    case 0: return "success";
    case 240: return "no agent served the rendezvous name";
    case 241: return "the agent was busy";
    case 242: return "the agent's name could not be opened, or another user serves it";
    case 243: return "standard input or output was not a pipe (not started by a browser)";
    case 246: return "a side closed its end (the normal end of a session)";
    case 247: return "writing to the browser failed (the browser went away)";
    case 249: return "writing to the agent failed (the agent went away)";
    default: return "not a code of the companion";
  }
}

// The record of a message over the browsers' limit that the run of the
// record at recordAt logged; empty when it logged none. A run's records are
// those of its process id, from its "Logger started" record on.
std::string oversizedMessageOfRun(const std::string& log, size_t recordAt) {
  using companion::LoggerLevel;
  const size_t lineStart = log.rfind('\n', recordAt) + 1;  // 0 on the first line
  // "\t[<pid>]\t", the field after the zone.
  const size_t processAt = log.find("\t[", lineStart);
  const std::string process = log.substr(processAt, log.find(']', processAt) + 2 - processAt);
  const size_t runStart =
      log.rfind(process + companion::levelTag(LoggerLevel::Info) + ":\tLogger started: ", lineStart);
  const std::string format = companion::kOversizedMessageFormat;
  const std::string warning = process + companion::levelTag(LoggerLevel::Warning) + ":\t";
  const size_t at = log.find(warning + format.substr(0, format.find('%')), runStart == std::string::npos ? 0 : runStart);
  if (at == std::string::npos || at > lineStart) return "";
  const size_t messageAt = at + warning.size();
  return log.substr(messageAt, log.find('\t', messageAt) - messageAt);
}

}  // namespace

std::string join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
  return out;
}

std::vector<Finding> Doctor::run(companion::CompanionBase& companion, const std::string& executableDir) {
  const bool chromeFamilyStarts = chromeFamilyCanStartHosts(findings_);
  for (BrowserLookup lookup : lookUpBrowsers()) {
    // What the browser's policies say follows the browser's own line.
    std::vector<Finding> policy;
    const bool starts = lookup.family != "chrome" || chromeFamilyStarts;
    if (starts && applyHostPolicy(lookup, hostName(), policy)) checkBrowser(lookup);
    findings_.insert(findings_.end(), policy.begin(), policy.end());
  }
  for (const Finding& note : sandboxNotes()) findings_.push_back(note);
  companion.readSuffixBeside(executableDir);
  checkSuffix(executableDir, companion);
  findings_.push_back(inspectRendezvous(companion.getSocketPath(), served_));
  checkLog(companion.getLogPath(), companion.debugRequestedBeside(executableDir));
  return findings_;
}

void Doctor::add(Status status, const std::string& area, const std::string& message, const std::string& fix) {
  findings_.push_back({status, area, message, fix});
}

void Doctor::checkBrowser(const BrowserLookup& lookup) {
  const std::string area = "browser " + lookup.browser;
  if (lookup.manifest.empty()) {
    add(Status::Note, area, "no manifest in " + join(lookup.searched), "register the companion with the extension ids");
    return;
  }
  std::error_code error;
  if (!fs::is_regular_file(companion::pathFromUtf8(lookup.manifest), error)) {
    add(Status::Problem, area, lookup.foundAt + " names " + lookup.manifest + ", which does not exist",
        "register the companion again");
    return;
  }
  const ManifestCheck check = checkManifest(lookup.manifest, readWhole(lookup.manifest), lookup.family, hostName());
  if (!check.problems.empty()) {
    add(Status::Problem, area, lookup.foundAt + " names " + lookup.manifest + ": " + join(check.problems, "; "),
        "register the companion again, or mend " + lookup.manifest);
    return;
  }
  ++browsersOk_;
  if (!samePath(check.program, companionPath_)) {
    add(Status::Note, area, lookup.manifest + " is valid but starts " + check.program + ", not " + companionPath_);
    return;
  }
  add(Status::Ok, area, "uses " + lookup.manifest + " (from " + lookup.foundAt + ")");
}

void Doctor::checkSuffix(const std::string& executableDir, const companion::CompanionBase& companion) {
  const std::string file = executableDir + "/companion.suffix";
  std::error_code error;
  if (!fs::exists(companion::pathFromUtf8(file), error)) {
    add(Status::Note, "suffix", "no " + file + ": the default log folder and rendezvous name");
    return;
  }
  add(Status::Ok, "suffix", file + " gives the log suffix '" + companion.getLogSuffix() + "'");
}

void Doctor::checkLog(const std::string& path, bool debug) {
  std::error_code error;
  const uintmax_t size = fs::file_size(companion::pathFromUtf8(path), error);
  if (error) {
    add(Status::Note, "log", "no log yet at " + path);
  } else {
    add(Status::Ok, "log", path + ", " + std::to_string(size) + " bytes");
  }
  if (debug) add(Status::Note, "log", "debug logging is on: relayed data is written to the log");
  const std::string marker = "\tReturn code: ";
  const std::string log = error ? std::string() : readWhole(path);
  const size_t at = log.rfind(marker);
  if (at == std::string::npos) return;
  const int code = std::atoi(log.c_str() + at + marker.size());
  add(code == 246 ? Status::Ok : Status::Note, "log",
      "the last relay ended with " + std::to_string(code) + ": " + meaningOf(code));
  const std::string oversized = oversizedMessageOfRun(log, at);
  if (!oversized.empty()) {
    add(Status::Problem, "log",
        "the last relay logged \"" + oversized + "\": the agent sent a message that the browsers refuse, and the "
        "browser closed the port", "make the agent send messages of at most " +
        std::to_string(companion::kBrowserMessageLimit) + " bytes");
  }
}

}  // namespace companion_doctor
