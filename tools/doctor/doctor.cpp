// The diagnosis: manifests as the browsers check them, the suffix, the
// rendezvous name and the log's last outcome. Every file-system query is in
// its non-throwing form: what cannot be looked at is a finding.
#include "doctor.h"

#include <cerrno>

#include "frame_lengths.h"
#include "host_name.h"
#include "logger.h"
#include "manifest_check.h"
#include "policies.h"
#include "return_codes.h"

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

constexpr char kReturnCode[] = "\tReturn code: ";

// The last run that the log's text shows starting: its process field
// ("\t[<pid>]\t") and where its "Logger started" record begins; a run's
// records are those of its process from there on. start is npos when the
// text shows none.
struct Run {
  std::string process;
  size_t start = std::string::npos;
};

Run lastRun(const std::string& log) {
  const std::string started = std::string(companion::levelTag(LoggerLevel::Info)) + ":\tLogger started: ";
  const size_t tagAt = log.rfind(started);
  if (tagAt == std::string::npos) return {};
  const size_t lineStart = log.rfind('\n', tagAt) + 1;  // 0 on the first line
  // "\t[<pid>]\t", the field after the zone.
  const size_t processAt = log.find("\t[", lineStart);
  if (processAt == std::string::npos || processAt > tagAt) return {};
  return {log.substr(processAt, tagAt - processAt), lineStart};
}

// Where the code of the run's "Return code" record starts; without a run,
// that of the text's last such record. npos when there is none.
size_t returnCodeAt(const std::string& log, const Run& run) {
  const size_t record =
      run.start == std::string::npos
          ? log.rfind(kReturnCode)
          : log.find(run.process + companion::levelTag(LoggerLevel::Info) + ":" + kReturnCode, run.start);
  if (record == std::string::npos) return record;
  return log.find(kReturnCode, record) + std::char_traits<char>::length(kReturnCode);
}

// The record of a message over the browsers' limit that the run of the
// record at recordAt logged; empty when it logged none. A run's records are
// those of its process id, from its "Logger started" record on.
std::string oversizedMessageOfRun(const std::string& log, size_t recordAt) {
  const size_t lineStart = log.rfind('\n', recordAt) + 1;  // 0 on the first line
  // "\t[<pid>]\t", the field after the zone.
  const size_t processAt = log.find("\t[", lineStart);
  if (processAt == std::string::npos) return "";
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
  const std::string marker = executableDir + "/companion.debug";
  if (stateOf(marker).type != fs::file_type::not_found) return "remove " + marker;
  return "write a suffix without \"debug\" in " + executableDir + "/companion.suffix";
}

}  // namespace

std::string join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
  return out;
}

PathState stateOf(const std::string& path) {
  PathState state;
  state.type = fs::status(companion::pathFromUtf8(path), state.error).type();
  if (state.type == fs::file_type::not_found) state.error.clear();
  return state;
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

std::vector<Finding> Doctor::run(companion::CompanionBase& companion, const std::string& executableDir) {
  const bool promptStartsHosts = commandPromptStartsHosts(findings_);
  for (BrowserLookup lookup : lookUpBrowsers()) {
    // What the browser's policies say follows the browser's own line.
    std::vector<Finding> policy;
    if (applyHostPolicy(lookup, kHostName, promptStartsHosts, policy)) checkBrowser(lookup);
    findings_.insert(findings_.end(), policy.begin(), policy.end());
  }
  for (const Finding& note : sandboxNotes()) findings_.push_back(note);
  companion.readSuffixBeside(executableDir);
  checkSuffix(executableDir, companion);
  findings_.push_back(inspectRendezvous(companion.getSocketPath(), served_));
  checkLog(companion.getLogPath(),
           companion.debugRequestedBeside(executableDir) ? debugFix(executableDir) : "");
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
  const uintmax_t size = fs::file_size(companion::pathFromUtf8(place.file), error);
  std::string text;
  if (!error && size > kMaxManifestBytes) {
    add(Status::Problem, area,
        place.file + " is " + std::to_string(size) + " bytes, more than any manifest: the doctor does not read it", fix);
    return false;
  }
  errno = 0;
  if (!error && !companion::readRegularFile(place.file, kMaxManifestBytes, text)) {
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

void Doctor::checkSuffix(const std::string& executableDir, const companion::CompanionBase& companion) {
  const std::string file = executableDir + "/companion.suffix";
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
    add(Status::Ok, "suffix", file + " gives the log suffix '" + companion.getLogSuffix() + "'");
  }
}

void Doctor::checkLog(const std::string& path, const std::string& debugFix) {
  const PathState state = stateOf(path);
  std::error_code error;
  const uintmax_t size = state.type == fs::file_type::regular ? fs::file_size(companion::pathFromUtf8(path), error) : 0;
  if (state.error || error) {
    findings_.push_back(cannotRead("log", path, state.error ? state.error : error));
  } else if (state.type == fs::file_type::not_found) {
    add(Status::Note, "log", "no log yet at " + path);
  } else if (state.type != fs::file_type::regular) {
    add(Status::Problem, "log", path + " is " + describe(state.type) + ", not a file: the companion writes no log",
        "remove or rename " + path);
  } else {
    add(Status::Ok, "log", path + ", " + std::to_string(size) + " bytes");
  }
  // Each branch above gave the one finding of the log file itself.
  findings_.back().path = path;
  if (!debugFix.empty()) {
    add(Status::Problem, "log",
        "debug logging is on: the log holds the relayed messages themselves (a password manager's passwords)",
        debugFix + ", then delete " + path + " and " + path + ".1, which hold them");
  }
  std::string tail;
  if (state.type == fs::file_type::regular &&
      companion::readRegularFile(path, kLogTailBytes, tail, companion::FilePart::kEnd)) {
    checkLastRun(tail, size);
  }
}

void Doctor::checkLastRun(const std::string& tail, uintmax_t size) {
  const Run run = lastRun(tail);
  const size_t codeAt = returnCodeAt(tail, run);
  int64_t code = 0;
  if (codeAt != std::string::npos && numberAt(tail, codeAt, code)) {
    add(code == companion::kCodeReadFailed ? Status::Ok : Status::Note, "log",
        "the last relay ended with " + std::to_string(code) + ": " + companion::returnCodeMeaning(code));
    const std::string oversized = oversizedMessageOfRun(tail, codeAt);
    if (!oversized.empty()) {
      add(Status::Problem, "log",
          "the last relay logged \"" + oversized + "\": the agent sent a message that the browsers refuse, and the "
          "browser closed the port", "make the agent send messages of at most " +
          std::to_string(companion::kBrowserMessageLimit) + " bytes");
    }
  } else if (run.start != std::string::npos) {
    // Browsers end a host 2 to 3 s after closing its port: Chromium's
    // launch_context terminates it, Firefox's NativeMessaging.sys.mjs kills
    // it, and Firefox's Flatpak proxy (xdg-native-messaging-proxy,
    // src/xnmp-impl.c) force-exits it with standard input still open.
    add(Status::Note, "log",
        "the last run (process " + run.process.substr(2, run.process.size() - 4) + ", started " +
            tail.substr(run.start, tail.find('\t', run.start) - run.start) +
            " UTC) wrote no closing records: it is still running, or was ended from outside, as a browser ends "
            "its host 2 to 3 s after closing the port; that is no crash of the companion");
  } else if (size > kLogTailBytes) {
    add(Status::Note, "log", "no relay ended in the last " + std::to_string(kLogTailBytes >> 20) + " MiB of the log");
  }
}

}  // namespace companion_doctor
