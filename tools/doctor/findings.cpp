// The two renderings of the findings.
#include "findings.h"

#include <cstdio>

namespace companion_doctor {
namespace {

const char* statusName(Status status) {
  switch (status) {
    case Status::Ok: return "ok";
    case Status::Problem: return "problem";
    default: return "note";
  }
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

}  // namespace

std::string textReport(const std::vector<Finding>& findings) {
  std::string out;
  for (const Finding& f : findings) {
    out += std::string(statusName(f.status)) + "\t" + f.area + "\t" + f.message;
    if (!f.fix.empty()) out += " (fix: " + f.fix + ")";
    out += "\n";
  }
  return out;
}

std::string jsonReport(const std::vector<Finding>& findings) {
  std::string out = "[\n";
  for (size_t i = 0; i < findings.size(); ++i) {
    const Finding& f = findings[i];
    out += "  {\"status\": " + jsonString(statusName(f.status)) + ", \"area\": " + jsonString(f.area) +
           ", \"message\": " + jsonString(f.message) + ", \"fix\": " + jsonString(f.fix) + "}";
    out += i + 1 < findings.size() ? ",\n" : "\n";
  }
  return out + "]\n";
}

}  // namespace companion_doctor
