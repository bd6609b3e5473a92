// Checks a native-messaging host manifest as the browsers of a family do:
// what their manifest readers take, and what they then do with it.
#pragma once

#include <string>
#include <vector>

namespace companion_doctor {

struct ManifestCheck {
  std::vector<std::string> refusals;  // why the browser refuses the manifest; empty when it takes it
  std::vector<std::string> notes;     // entries it takes that allow nothing
  std::string program;                // the program it would start, when the manifest names one
};

// The platform's rule for the "path" of the manifest at manifestFile: the
// program it names, or the reason the browsers refuse it in problem.
std::string programOf(const std::string& manifestFile, const std::string& path, std::string& problem);

// family is "chrome" (Chrome, Chromium, Edge, Brave: allowed_origins) or
// "firefox" (Firefox, LibreWolf: allowed_extensions); hostName is the name
// the manifest must carry.
ManifestCheck checkManifest(const std::string& manifestFile, const std::string& text, const std::string& family,
                            const std::string& hostName);

// Whether Firefox takes the text as an add-on id in allowed_extensions: a
// {GUID} or an email-like id.
bool isFirefoxAddonId(const std::string& id);

}  // namespace companion_doctor
