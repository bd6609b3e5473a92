// The diagnosis: manifests as the browsers check them, the suffix, the
// rendezvous name and the log's last outcome. Every file-system query is in
// its non-throwing form: what cannot be looked at is a finding.
#include "doctor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "file.h"
#include "frame_lengths.h"
#include "host_name.h"
#include "log_record.h"
#include "logger.h"
#include "manifest_check.h"
#include "platform_paths.h"
#include "policies.h"
#include "rendezvous.h"
#include "return_codes.h"
#include "suffix.h"

namespace companion_doctor {
namespace {

namespace fs = std::filesystem;

// Far more than any manifest; a bigger file is not read.
constexpr uintmax_t kMaxManifestBytes = uintmax_t{1} << 20;
// How much of the log's end is searched for the last relay's code.
constexpr size_t kLogTailBytes = size_t{4} << 20;
// Problems listed in one finding; the rest are counted.
constexpr size_t kListedProblems = 5;

using companion::LoggerLevel;

// The records of a log's text; lines that are none (the first one of a tail
// may be cut) are passed over.
std::vector<companion::LogRecord> recordsOf(const std::string& text) {
  std::vector<companion::LogRecord> records;
  for (size_t begin = 0; begin < text.size();) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (std::optional<companion::LogRecord> record = companion::parseLogRecord(line)) records.push_back(*record);
    begin = end + 1;
  }
  return records;
}

// Whether the record's message was made from the format: it starts with
// the format's text before its first marker.
bool madeFrom(const companion::LogRecord& record, const char* format) {
  const std::string fixed(format, std::strcspn(format, "%"));
  return record.message.compare(0, fixed.size(), fixed) == 0;
}

// The last run that the records show: the records of its process from its
// "Logger started" record on, or, when no start is among them, of the last
// process that logged its return code. begin is the first of them.
struct Run {
  int64_t processId = 0;
  std::vector<companion::LogRecord>::const_iterator begin;
  bool started = false;
};

Run lastRun(const std::vector<companion::LogRecord>& records) {
  const auto isStart = [](const companion::LogRecord& r) { return madeFrom(r, companion::kLoggerStartedFormat); };
  const auto start = std::find_if(records.rbegin(), records.rend(), isStart);
  if (start != records.rend()) return {start->processId, std::prev(start.base()), true};
  const auto code = std::find_if(records.rbegin(), records.rend(),
                                 [](const companion::LogRecord& r) { return madeFrom(r, companion::kReturnCodeFormat); });
  return {code == records.rend() ? 0 : code->processId, records.begin(), false};
}

// The first record of the run that was made from the format; nothing when
// the run has none.
const companion::LogRecord* runRecord(const std::vector<companion::LogRecord>& records, const Run& run,
                                      const char* format) {
  const auto found = std::find_if(run.begin, records.cend(), [&](const companion::LogRecord& r) {
    return r.processId == run.processId && madeFrom(r, format);
  });
  return found == records.cend() ? nullptr : &*found;
}

std::string listed(const std::vector<std::string>& problems) {
  if (problems.size() <= kListedProblems) return join(problems, "; ");
  const std::vector<std::string> first(problems.begin(), problems.begin() + kListedProblems);
  return join(first, "; ") + "; and " + std::to_string(problems.size() - kListedProblems) + " more";
}

// The number at text[at]: an optional minus and at most 12 digits; false
// when no digit is there.
bool numberAt(const std::string& text, size_t at, int64_t& code) {
  const bool negative = at < text.size() && text[at] == '-';
  if (negative) ++at;
  code = 0;
  size_t digits = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 12; ++at, ++digits) {
    code = code * 10 + (text[at] - '0');
  }
  if (negative) code = -code;
  return digits > 0;
}

// How to switch off the debug logging that the companion turns on for the
// marker beside it or, without one, for its suffix.
std::string debugFix(const std::string& executableDir) {
  const std::string marker = companion::pathIn(executableDir, companion::kDebugMarkerName);
  if (stateOf(marker).type != fs::file_type::not_found) return "remove " + marker;
  return "write a suffix without \"debug\" in " + companion::pathIn(executableDir, companion::kSuffixFileName);
}

}  // namespace

std::string join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
  return out;
}

std::string describe(fs::file_type type) {
  switch (type) {
    case fs::file_type::regular: return "a file";
    case fs::file_type::directory: return "a directory";
    case fs::file_type::symlink: return "a symbolic link";
    case fs::file_type::fifo: return "a FIFO";
    case fs::file_type::socket: return "a socket";
    case fs::file_type::block:
    case fs::file_type::character: return "a device";
    case fs::file_type::not_found: return "missing";
    default: return "neither a file nor a directory";
  }
}

Finding cannotRead(const std::string& area, const std::string& path, const std::error_code& error) {
  // The folder that stops the way is the deepest one that is there.
  std::string blocked = path;
  if (error == std::errc::permission_denied) {
    for (size_t cut = path.find_last_of("/\\"); cut != std::string::npos && cut > 0;
         cut = path.find_last_of("/\\", cut - 1)) {
      if (stateOf(path.substr(0, cut)).type == fs::file_type::directory) {
        blocked = path.substr(0, cut);
        break;
      }
    }
  }
  return {Status::Problem, area, "cannot read " + blocked + ": " + error.message(),
          error == std::errc::permission_denied ? accessFix(blocked) : "mend or remove " + path};
}

std::vector<Finding> Doctor::run(const std::string& executableDir) {
  const bool promptStartsHosts = commandPromptStartsHosts(findings_);
  for (BrowserLookup lookup : lookUpBrowsers()) {
    // What the browser's policies say follows the browser's own line.
    std::vector<Finding> policy;
    if (applyHostPolicy(lookup, kHostName, promptStartsHosts, policy)) checkBrowser(lookup);
    findings_.insert(findings_.end(), policy.begin(), policy.end());
  }
  for (const Finding& note : sandboxNotes()) findings_.push_back(note);
  // What the companion beside the doctor derives at its start.
  const std::string logSuffix = companion::logSuffixBeside(executableDir);
  checkSuffix(executableDir, logSuffix);
  findings_.push_back(inspectRendezvous(companion::userRendezvousPath(companion::socketSuffixFor(logSuffix)), served_));
  const bool debug = companion::suffixAsksForDebug(logSuffix) ||
                     companion::files::exists(companion::pathIn(executableDir, companion::kDebugMarkerName));
  checkLog(companion::userLogDir(logSuffix), debug ? debugFix(executableDir) : "");
  return findings_;
}

void Doctor::add(Status status, const std::string& area, const std::string& message, const std::string& fix) {
  findings_.push_back({status, area, message, fix});
}

void Doctor::checkBrowser(const BrowserLookup& lookup) {
  const std::string area = "browser " + lookup.browser;
  bool anyManifest = false;
  for (const ManifestPlace& place : lookup.found) {
    // A place the browser cannot look into is one it passes over.
    if (place.error) {
      findings_.push_back(cannotRead(area, place.file, place.error));
      continue;
    }
    anyManifest = true;
    if (checkPlace(area, lookup, place) || !lookup.triesNextWhenRefused) return;
  }
  if (!anyManifest) {
    add(Status::Note, area, "no manifest in " + join(lookup.searched), "register the companion with the extension ids");
  }
}

bool Doctor::checkPlace(const std::string& area, const BrowserLookup& lookup, const ManifestPlace& place) {
  if (!place.refusal.empty()) {
    add(Status::Problem, area, place.place + " names " + place.file + ": " + place.refusal,
        "register the companion again");
    return false;
  }
  const std::string fix = "register the companion again, or mend " + place.file;
  const PathState state = stateOf(place.file);
  if (state.error) {
    findings_.push_back(cannotRead(area, place.file, state.error));
    return false;
  }
  if (state.type == fs::file_type::not_found) {
    add(Status::Problem, area, place.place + " names " + place.file + ", which does not exist",
        "register the companion again");
    return false;
  }
  if (state.type != fs::file_type::regular) {
    add(Status::Problem, area, place.file + " is " + describe(state.type) + ", not a manifest file",
        "remove it, then register the companion again");
    return false;
  }
  std::error_code error;
  std::string text;
  if (state.size > kMaxManifestBytes) {
    add(Status::Problem, area,
        place.file + " is " + std::to_string(state.size) + " bytes, more than any manifest: the doctor does not read it",
        fix);
    return false;
  }
  errno = 0;
  if (!companion::readRegularFile(place.file, kMaxManifestBytes, text)) {
    error = errno != 0 ? std::error_code(errno, std::generic_category()) : std::make_error_code(std::errc::io_error);
  }
  if (error) {
    findings_.push_back(cannotRead(area, place.file, error));
    return false;
  }
  const ManifestCheck check = checkManifest(place.file, text, lookup.family, kHostName);
  if (!check.refusals.empty()) {
    add(Status::Problem, area, place.place + " names " + place.file + ": " + listed(check.refusals), fix);
    return false;
  }
  for (const std::string& note : check.notes) add(Status::Note, area, place.file + ": " + note);
  checkProgram(area, place, check.program);
  return true;
}

void Doctor::checkProgram(const std::string& area, const ManifestPlace& place, const std::string& program) {
  const std::string starts = place.file + " starts " + program;
  const PathState state = stateOf(program);
  if (state.error) {
    findings_.push_back(cannotRead(area, program, state.error));
  } else if (state.type != fs::file_type::regular) {
    add(Status::Problem, area,
        starts + ", which " + (state.type == fs::file_type::not_found ? "does not exist" : "is " + describe(state.type)),
        "register the companion again");
  } else if (const std::optional<StartProblem> problem = startProblem(program)) {
    add(Status::Problem, area, starts + ", " + problem->why, problem->fix);
  } else if (!samePath(program, companionPath_)) {
    add(Status::Problem, area, starts + ", not this companion (" + companionPath_ + ")",
        "register this companion again, or use the doctor beside " + program);
  } else {
    ++browsersOk_;
    add(Status::Ok, area, "uses " + place.file + " (from " + place.place + ")");
  }
}

void Doctor::checkSuffix(const std::string& executableDir, const std::string& logSuffix) {
  const std::string file = companion::pathIn(executableDir, companion::kSuffixFileName);
  const PathState state = stateOf(file);
  if (state.error) {
    findings_.push_back(cannotRead("suffix", file, state.error));
  } else if (state.type == fs::file_type::not_found) {
    add(Status::Note, "suffix", "no " + file + ": the default log folder and rendezvous name");
  } else if (state.type != fs::file_type::regular) {
    add(Status::Problem, "suffix",
        file + " is " + describe(state.type) + ", which the companion does not read: the default log folder and "
                                               "rendezvous name",
        "remove " + file + ", or make it a file with the suffix");
  } else {
    add(Status::Ok, "suffix", file + " gives the log suffix '" + logSuffix + "'");
  }
}

void Doctor::checkLog(const std::string& logDir, const std::string& debugFix) {
  const std::string path = companion::pathIn(logDir, companion::kLogFileName);
  const PathState state = stateOf(path);
  if (state.error) {
    findings_.push_back(cannotRead("log", path, state.error));
  } else if (state.type == fs::file_type::not_found) {
    add(Status::Note, "log", "no log yet at " + path);
  } else if (state.type != fs::file_type::regular) {
    add(Status::Problem, "log", path + " is " + describe(state.type) + ", not a file: the companion writes no log",
        "remove or rename " + path);
  } else {
    add(Status::Ok, "log", path + ", " + std::to_string(state.size) + " bytes");
  }
  // Each branch above gave the one finding of the log file itself.
  findings_.back().path = path;
  if (!debugFix.empty()) {
    add(Status::Problem, "log",
        "debug logging is on: the log holds the relayed messages themselves (a password manager's passwords)",
        debugFix + ", then delete " + path + " and " + companion::pathIn(logDir, companion::kRotatedLogFileName) +
            ", which hold them");
  }
  std::string tail;
  if (state.type == fs::file_type::regular &&
      companion::readRegularFile(path, kLogTailBytes, tail, companion::FilePart::kEnd)) {
    checkLastRun(tail, state.size);
  }
}

void Doctor::checkLastRun(const std::string& tail, uintmax_t size) {
  const std::vector<companion::LogRecord> records = recordsOf(tail);
  const Run run = lastRun(records);
  const companion::LogRecord* codeRecord = runRecord(records, run, companion::kReturnCodeFormat);
  const size_t codeAt = std::strcspn(companion::kReturnCodeFormat, "%");
  int64_t code = 0;
  if (codeRecord != nullptr && numberAt(codeRecord->message, codeAt, code)) {
    add(code == companion::kCodeReadFailed ? Status::Ok : Status::Note, "log",
        "the last relay ended with " + std::to_string(code) + ": " + companion::returnCodeMeaning(code));
    const companion::LogRecord* oversized = runRecord(records, run, companion::kOversizedMessageFormat);
    if (oversized != nullptr && oversized->tag == companion::levelTag(LoggerLevel::Warning)) {
      add(Status::Problem, "log",
          "the last relay logged \"" + oversized->message + "\": the agent sent a message that the browsers refuse, "
          "and the browser closed the port", "make the agent send messages of at most " +
          std::to_string(companion::kBrowserMessageLimit) + " bytes");
    }
  } else if (run.started) {
    // Browsers end a host 2 to 3 s after closing its port: Chromium's
    // launch_context terminates it, Firefox's NativeMessaging.sys.mjs kills
    // it, and Firefox's Flatpak proxy (xdg-native-messaging-proxy,
    // src/xnmp-impl.c) force-exits it with standard input still open.
    add(Status::Note, "log",
        "the last run (process " + std::to_string(run.processId) + ", started " + run.begin->time +
            " UTC) wrote no closing records: it is still running, or was ended from outside, as a browser ends "
            "its host 2 to 3 s after closing the port; that is no crash of the companion");
  } else if (size > kLogTailBytes) {
    add(Status::Note, "log", "no relay ended in the last " + std::to_string(kLogTailBytes >> 20) + " MiB of the log");
  }
}

}  // namespace companion_doctor
