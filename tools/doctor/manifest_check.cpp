// The manifest rules: name, description, type, an absolute path to an
// executable program, and the origins or extensions of the family.
#include "manifest_check.h"

#include <regex>

#include "json_reader.h"

namespace companion_doctor {
namespace {

bool isString(const JsonValue* value) { return value != nullptr && value->kind == JsonValue::Kind::String; }

void checkAllowed(const JsonValue& manifest, const std::string& family, std::vector<std::string>& problems) {
  const char* key = family == "firefox" ? "allowed_extensions" : "allowed_origins";
  const char* other = family == "firefox" ? "allowed_origins" : "allowed_extensions";
  const JsonValue* allowed = manifest.member(key);
  if (allowed == nullptr || allowed->kind != JsonValue::Kind::Array || allowed->items.empty()) {
    problems.push_back(std::string("no \"") + key + "\" list" +
                       (manifest.member(other) ? std::string(" (it has \"") + other + "\", which this browser ignores)"
                                               : ""));
    return;
  }
  static const std::regex kOrigin("chrome-extension://[a-p]{32}/");
  for (const JsonValue& item : allowed->items) {
    if (item.kind != JsonValue::Kind::String || item.text.empty()) {
      problems.push_back(std::string("an entry of \"") + key + "\" is not a text");
    } else if (family != "firefox" && !std::regex_match(item.text, kOrigin)) {
      problems.push_back("origin \"" + item.text + "\" is not chrome-extension:// and 32 letters a to p and /");
    }
  }
}

}  // namespace

ManifestCheck checkManifest(const std::string& manifestFile, const std::string& text, const std::string& family,
                            const std::string& hostName) {
  ManifestCheck result;
  std::string error;
  const std::optional<JsonValue> parsed = parseJson(text, error);
  if (!parsed || parsed->kind != JsonValue::Kind::Object) {
    result.problems.push_back("not a JSON object: " + (parsed ? std::string("another kind of value") : error));
    return result;
  }
  const JsonValue& manifest = *parsed;
  static const std::regex kName("[a-z0-9_]+(\\.[a-z0-9_]+)*");
  const JsonValue* name = manifest.member("name");
  if (!isString(name) || !std::regex_match(name->text, kName) || name->text != hostName) {
    result.problems.push_back("\"name\" must be \"" + hostName + "\"");
  }
  const JsonValue* description = manifest.member("description");
  if (!isString(description) || description->text.empty()) result.problems.push_back("\"description\" is empty");
  const JsonValue* type = manifest.member("type");
  if (!isString(type) || type->text != "stdio") result.problems.push_back("\"type\" must be \"stdio\"");
  const JsonValue* path = manifest.member("path");
  std::string problem;
  if (!isString(path)) {
    result.problems.push_back("no \"path\"");
  } else if (result.program = programOf(manifestFile, path->text, problem); !problem.empty()) {
    result.problems.push_back(problem);
  }
  checkAllowed(manifest, family, result.problems);
  return result;
}

}  // namespace companion_doctor
