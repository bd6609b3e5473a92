// Checks a native-messaging host manifest as the browsers do.
#pragma once

#include <string>
#include <vector>

namespace companion_doctor {

struct ManifestCheck {
  std::vector<std::string> problems;  // empty when the browser would accept it
  std::string program;                // the "path" it names, when it names one
};

// The platform's rule for the "path" of the manifest at manifestFile: the
// program it names, or a problem in problem.
std::string programOf(const std::string& manifestFile, const std::string& path, std::string& problem);

// family is "chrome" (allowed_origins of chrome-extension://<32 letters a-p>/)
// or "firefox" (allowed_extensions); hostName is the name the file must carry.
ManifestCheck checkManifest(const std::string& manifestFile, const std::string& text, const std::string& family,
                            const std::string& hostName);

}  // namespace companion_doctor
