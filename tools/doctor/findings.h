// What companion-doctor reports: one finding per line, as text or as JSON.
#pragma once

#include <string>
#include <vector>

namespace companion_doctor {

enum class Status { Ok, Problem, Note };

struct Finding {
  Status status;
  std::string area;     // "browser chrome", "agent", "log", ...
  std::string message;
  std::string fix;      // for a problem: the command or step that mends it
  // The file the finding is about, for a script to use (the log's finding
  // names the log file); empty when it names none.
  std::string path{};
};

std::string textReport(const std::vector<Finding>& findings);
std::string jsonReport(const std::vector<Finding>& findings);

}  // namespace companion_doctor
