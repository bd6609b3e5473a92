// The manifest rules of each browser family, after its JSON reader:
// Chromium's chrome/browser/extensions/api/messaging/native_messaging_host_manifest.cc
// (NativeMessagingHostManifest::Parse) and Firefox's
// toolkit/components/extensions/schemas/native_manifest.json with
// NativeManifests.sys.mjs (parseManifest). Every check is a plain loop: no
// stack or time beyond the length of what it reads.
#include "manifest_check.h"

#include <initializer_list>

#include "json_reader.h"

namespace companion_doctor {
namespace {

constexpr size_t kShownBytes = 64;

// A value for a message: quoted, and cut short when long.
std::string shown(const std::string& text) {
  if (text.size() <= kShownBytes) return "\"" + text + "\"";
  size_t cut = kShownBytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // a character's start
  return "\"" + text.substr(0, cut) + "...\" (" + std::to_string(text.size()) + " bytes)";
}

const JsonValue* stringMember(const JsonValue& manifest, const char* name) {
  const JsonValue* value = manifest.member(name);
  return value != nullptr && value->kind == JsonValue::Kind::String ? value : nullptr;
}

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A Chrome extension id: 32 letters a to p (the SHA-256 of its key in base 16, spelt a to p).
bool isChromeExtensionId(const std::string& host) {
  if (host.size() != 32) return false;
  for (const char c : host) {
    if (c < 'a' || c > 'p') return false;
  }
  return true;
}

std::string lowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// What Chromium makes of one entry of allowed_origins.
enum class Origin { kRefused, kNamesExtension, kNamesNothing };

// extensions/common/url_pattern.cc, URLPattern::Parse with SCHEME_EXTENSION:
// "<scheme>://<host>[:<port>]/<path>", the scheme chrome-extension (or "*",
// which then matches no extension), a port only as "*"; a host of "*" or
// "*.<domain>" is too broad for native_messaging_host_manifest.cc. The host is
// canonicalized (lowercased); one that canonicalization refuses makes Chromium
// refuse the manifest. An extension matches by scheme and host alone
// (MatchesSecurityOrigin), so any path lets it in.
Origin judgeOrigin(const std::string& pattern, std::string& why) {
  const auto refused = [&](const char* reason) {
    why = reason;
    return Origin::kRefused;
  };
  if (pattern == "<all_urls>") return refused("allows every origin");
  const size_t separator = pattern.find("://");
  if (separator == std::string::npos) return refused("has no \"://\"");
  const std::string scheme = pattern.substr(0, separator);
  if (scheme != "chrome-extension" && scheme != "*") return refused("is not of the chrome-extension scheme");
  const size_t hostStart = separator + 3;
  const size_t hostEnd = pattern.find('/', hostStart);
  if (hostStart >= pattern.size() || hostEnd == hostStart) return refused("has no host");
  if (hostEnd == std::string::npos) return refused("has no path (it must end in \"/\")");
  std::string host = pattern.substr(hostStart, hostEnd - hostStart);
  size_t portAt = host.find(':');
  if (host[0] == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos) return refused("has an invalid host");
    if (close == 1) return refused("has no host");
    portAt = close + 1 < host.size() ? close + 1 : std::string::npos;
    if (portAt != std::string::npos && host[portAt] != ':') return refused("has an invalid host");
  }
  if (portAt != std::string::npos) {
    if (host.compare(portAt, std::string::npos, ":*") != 0) return refused("has a port, which the scheme has not");
    host.resize(portAt);
  }
  if (host.empty() || host == "*.") return refused("has no host");
  if (host == "*" || host.compare(0, 2, "*.") == 0) return refused("allows every extension");
  for (const char c : host) {
    const unsigned byte = static_cast<unsigned char>(c);
    if (c == '*') return refused("has '*' inside its host");
    if (byte <= 0x20 || byte == 0x7F || std::string("#%<>?@\\^|").find(c) != std::string::npos) {
      return refused("has a host Chromium cannot take");
    }
  }
  if (scheme == "chrome-extension" && isChromeExtensionId(lowerAscii(host))) return Origin::kNamesExtension;
  why = "names no extension (an id is 32 letters a to p)";
  return Origin::kNamesNothing;
}

void checkOrigins(const JsonValue& manifest, ManifestCheck& result) {
  const JsonValue* origins = manifest.member("allowed_origins");
  if (origins == nullptr || origins->kind != JsonValue::Kind::Array) {
    result.refusals.push_back(std::string("no \"allowed_origins\" list") +
                              (manifest.member("allowed_extensions") ? " (\"allowed_extensions\" is Firefox's)" : ""));
    return;
  }
  size_t extensions = 0;
  for (const JsonValue& item : origins->items) {
    std::string why;
    if (item.kind != JsonValue::Kind::String) {
      result.refusals.push_back("an entry of \"allowed_origins\" is not a text");
      continue;
    }
    switch (judgeOrigin(item.text, why)) {
      case Origin::kRefused: result.refusals.push_back("origin " + shown(item.text) + " " + why); break;
      case Origin::kNamesNothing: result.notes.push_back("origin " + shown(item.text) + " " + why); break;
      case Origin::kNamesExtension: ++extensions; break;
    }
  }
  if (extensions == 0 && result.refusals.empty()) {
    result.refusals.push_back("\"allowed_origins\" names no extension (chrome-extension://<32 letters a to p>/)");
  }
}

void checkChromium(const std::string& manifestFile, const JsonValue& manifest, ManifestCheck& result) {
  const JsonValue* description = stringMember(manifest, "description");
  if (description == nullptr || description->text.empty()) {
    result.refusals.push_back("\"description\" is missing or empty");
  }
  const JsonValue* path = stringMember(manifest, "path");
  std::string problem;
  if (path == nullptr || path->text.empty()) {
    result.refusals.push_back("no \"path\"");
  } else if (result.program = programOf(manifestFile, path->text, problem); !problem.empty()) {
    result.refusals.push_back(problem);
  }
  checkOrigins(manifest, result);
}

// toolkit/components/extensions/schemas/manifest.json, type ExtensionID:
// "(?i)^\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\}$" or
// "(?i)^[a-z0-9-._]*@[a-z0-9-._]+$".
bool isGuidId(const std::string& id) {
  if (id.size() != 38 || id.front() != '{' || id.back() != '}') return false;
  for (size_t i = 1; i + 1 < id.size(); ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? id[i] != '-' : !isHexDigit(id[i])) return false;
  }
  return true;
}

bool isEmailLikeId(const std::string& id) {
  const size_t at = id.find('@');
  if (at == std::string::npos || at + 1 == id.size() || id.find('@', at + 1) != std::string::npos) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const char c = id[i];
    if (i != at && !isAsciiLetter(c) && !isAsciiDigit(c) && c != '-' && c != '.' && c != '_') return false;
  }
  return true;
}

void checkFirefox(const std::string& manifestFile, const JsonValue& manifest, ManifestCheck& result) {
  // The schema's properties, all required, and no other (no additionalProperties).
  const std::initializer_list<const char*> known = {"name", "description", "path", "type", "allowed_extensions"};
  for (const auto& [name, value] : manifest.members) {
    bool isKnown = false;
    for (const char* knownName : known) isKnown = isKnown || name == knownName;
    if (!isKnown) {
      result.refusals.push_back("member " + shown(name) + ", which Firefox does not know" +
                                (name == "allowed_origins" ? " (it is Chrome's)" : ""));
    }
  }
  for (const char* name : {"description", "path"}) {
    if (stringMember(manifest, name) == nullptr) result.refusals.push_back(std::string("no \"") + name + "\" text");
  }
  if (const JsonValue* path = stringMember(manifest, "path")) {
    std::string problem;
    result.program = programOf(manifestFile, path->text, problem);
    if (!problem.empty()) result.refusals.push_back(problem);
  }
  const JsonValue* ids = manifest.member("allowed_extensions");
  if (ids == nullptr || ids->kind != JsonValue::Kind::Array || ids->items.empty()) {
    result.refusals.push_back("no \"allowed_extensions\" list of at least one add-on id");
    return;
  }
  for (const JsonValue& item : ids->items) {
    if (item.kind != JsonValue::Kind::String || !isFirefoxAddonId(item.text)) {
      result.refusals.push_back("an entry of \"allowed_extensions\" is no add-on id ({GUID} or name@domain)" +
                                (item.kind == JsonValue::Kind::String ? ": " + shown(item.text) : std::string()));
    }
  }
}

}  // namespace

bool isFirefoxAddonId(const std::string& id) { return isGuidId(id) || isEmailLikeId(id); }

ManifestCheck checkManifest(const std::string& manifestFile, const std::string& text, const std::string& family,
                            const std::string& hostName) {
  const bool firefox = family == "firefox";
  const JsonDialect& dialect = firefox ? kFirefoxJson : kChromiumJson;
  ManifestCheck result;
  std::string error;
  const std::optional<JsonValue> parsed = parseJson(text, dialect, error);
  if (!parsed || parsed->kind != JsonValue::Kind::Object) {
    result.refusals.push_back(std::string("not a JSON object as ") + dialect.browsers + " reads it: " +
                              (parsed ? std::string("another kind of value") : error));
    return result;
  }
  const JsonValue& manifest = *parsed;
  const JsonValue* name = stringMember(manifest, "name");
  if (name == nullptr || name->text != hostName) {
    result.refusals.push_back("\"name\" must be \"" + hostName + "\"" +
                              (name != nullptr ? ", not " + shown(name->text) : std::string()));
  }
  const JsonValue* type = stringMember(manifest, "type");
  if (type == nullptr || type->text != "stdio") result.refusals.push_back("\"type\" must be \"stdio\"");
  if (firefox) {
    checkFirefox(manifestFile, manifest, result);
  } else {
    checkChromium(manifestFile, manifest, result);
  }
  return result;
}

}  // namespace companion_doctor
