// The two renderings of the findings.
#include "findings.h"

#include <cstdio>

#include "json_reader.h"

namespace companion_doctor {
namespace {

const char* statusName(Status status) {
  switch (status) {
    case Status::Ok: return "ok";
    case Status::Problem: return "problem";
    default: return "note";
  }
}

// A JSON string of the text; a byte that is not part of well-formed UTF-8
// (a path or manifest value in another encoding) becomes U+FFFD, so that
// the report is always valid JSON.
std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    const char c = text[at];
    const size_t length = utf8SequenceLength(text, at);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
      continue;
    }
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out.append(text, at, length);
    }
    at += length;
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
           ", \"message\": " + jsonString(f.message) + ", \"fix\": " + jsonString(f.fix) +
           ", \"path\": " + jsonString(f.path) + "}";
    out += i + 1 < findings.size() ? ",\n" : "\n";
  }
  return out + "]\n";
}

}  // namespace companion_doctor
