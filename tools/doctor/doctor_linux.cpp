// The doctor on Linux: the install step's folders, Flatpak and Snap browsers,
// and whether a server of this user listens on the rendezvous socket, told by
// the kernel's socket diagnostics without connecting.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <tuple>

#include "browser_folders.h"
#include "companionlinux.h"
#include "doctor.h"
#include "host_name.h"
#include "manifest_check.h"
#include "scoped_fd.h"

namespace companion_doctor {
namespace {

namespace fs = std::filesystem;

// The home the companion uses: $HOME, else the password database.
std::string home() { return companion::CompanionLinux::homeDirectory(); }

// A browser folder as the install step resolves it.
std::string resolveUserDir(const std::string& dir) {
  if (dir.rfind("~/", 0) == 0) return home() + dir.substr(1);
  const char* config = std::getenv("XDG_CONFIG_HOME");
  return (config != nullptr && config[0] == '/' ? std::string(config) : home() + "/.config") + "/" + dir;
}

// The uids of the listening Unix sockets bound to the file (device, inode),
// from sock_diag (NETLINK_SOCK_DIAG with unix_diag), which any user may ask;
// nothing when the kernel will not tell, with the reason in why.
std::optional<std::vector<uid_t>> listenersOn(const struct stat& file, std::string& why) {
  const companion::ScopedFd diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } query{};
  query.header.nlmsg_len = sizeof query;
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  query.request.sdiag_family = AF_UNIX;
  query.request.udiag_states = 1u << 10;  // TCP_LISTEN: listening sockets only
  query.request.udiag_show = UDIAG_SHOW_VFS | UDIAG_SHOW_UID;
  if (!diag.valid() || companion::retryAfterEintr([&] { return ::send(diag.get(), &query, sizeof query, 0); }) < 0) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  std::vector<uid_t> uids;
  alignas(nlmsghdr) char buffer[32768];
  for (;;) {
    const ssize_t received = companion::retryAfterEintr([&] { return ::recv(diag.get(), buffer, sizeof buffer, 0); });
    if (received < 0) {
      why = std::strerror(errno);
      return std::nullopt;
    }
    auto left = static_cast<uint32_t>(received);
    for (const nlmsghdr* message = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(message, left);
         message = NLMSG_NEXT(message, left)) {
      if (message->nlmsg_type == NLMSG_DONE) return uids;
      if (message->nlmsg_type == NLMSG_ERROR) {
        why = std::strerror(-reinterpret_cast<const nlmsgerr*>(NLMSG_DATA(message))->error);
        return std::nullopt;
      }
      const auto* socket = reinterpret_cast<const unix_diag_msg*>(NLMSG_DATA(message));
      int attributesLeft = static_cast<int>(message->nlmsg_len - NLMSG_LENGTH(sizeof *socket));
      std::optional<uid_t> uid;
      bool boundHere = false;
      for (const rtattr* attribute = reinterpret_cast<const rtattr*>(socket + 1); RTA_OK(attribute, attributesLeft);
           attribute = RTA_NEXT(attribute, attributesLeft)) {
        if (attribute->rta_type == UNIX_DIAG_VFS) {
          const auto* vfs = static_cast<const unix_diag_vfs*>(RTA_DATA(attribute));
          // The kernel's own device number: the major above 20 bits of minor.
          boundHere = vfs->udiag_vfs_ino == file.st_ino && vfs->udiag_vfs_dev >> 20 == major(file.st_dev) &&
                      (vfs->udiag_vfs_dev & 0xFFFFF) == minor(file.st_dev);
        } else if (attribute->rta_type == UNIX_DIAG_UID) {
          uid = *static_cast<const uid_t*>(RTA_DATA(attribute));
        }
      }
      if (boundHere && uid) uids.push_back(*uid);
    }
  }
}

}  // namespace

const char* companionFileName() { return "companion"; }

// Chromium (native_process_launcher.cc) and Firefox (parseManifest in
// NativeManifests.sys.mjs) take only an absolute path on Linux.
std::string programOf(const std::string&, const std::string& path, std::string& problem) {
  if (path.empty() || path[0] != '/') problem = "\"path\" must be an absolute path";
  return path;
}

PathState stateOf(const std::string& path) {
  PathState state;
  state.type = fs::status(path, state.error).type();
  if (state.type == fs::file_type::not_found) state.error.clear();
  if (state.type == fs::file_type::regular) state.size = fs::file_size(path, state.error);
  return state;
}

bool samePath(const std::string& a, const std::string& b) {
  std::error_code errorA, errorB;
  const fs::path canonicalA = fs::weakly_canonical(a, errorA);
  const fs::path canonicalB = fs::weakly_canonical(b, errorB);
  return errorA || errorB ? a == b : canonicalA == canonicalB;
}

std::optional<StartProblem> startProblem(const std::string& program) {
  if (::access(program.c_str(), X_OK) == 0) return std::nullopt;
  return StartProblem{"which is not executable", "chmod +x '" + program + "'"};
}

std::string accessFix(const std::string& folder) {
  return "make it yours again (a browser once run with sudo leaves it root's): sudo chown -R \"$(id -un)\" '" + folder +
         "'";
}

// Chromium takes the first manifest that is there (FindManifest in
// native_process_launcher_posix.cc); Firefox the first it accepts
// (_tryPaths in NativeManifests.sys.mjs). Both pass over a path they cannot
// look at.
std::vector<BrowserLookup> lookUpBrowsers() {
  std::vector<BrowserLookup> lookups;
  for (const BrowserFolders& folders : kBrowserFolders) {
    BrowserLookup lookup{folders.browser, folders.family, {resolveUserDir(folders.userDir)}, {}, false};
    lookup.triesNextWhenRefused = lookup.family == "firefox";
    // The user's manifest first, then the system-wide ones.
    for (const char* dir : folders.systemDirs) {
      if (dir != nullptr) lookup.searched.push_back(dir);
    }
    for (const std::string& dir : lookup.searched) {
      const std::string file = dir + "/" + kHostName + ".json";
      const PathState state = stateOf(file);
      // Every folder after the user's is a system-wide one.
      const bool systemWide = &dir != &lookup.searched.front();
      if (state.type != fs::file_type::not_found) {
        lookup.found.push_back({"folder " + dir, file, state.error, systemWide});
      }
    }
    lookups.push_back(lookup);
  }
  return lookups;
}

// How a browser in a Flatpak or Snap sandbox reaches a host outside it today.
// Chromium starts the host itself (native_process_launcher_posix.cc), which
// its sandbox forbids; Firefox asks the WebExtensions portal (a Snap: the
// portal asks the user once per extension, toolkit/components/extensions/docs/
// native-messaging-portal-design.rst) or, from 157 on, xdg-native-messaging-
// proxy (a Flatpak: it searches only the Chrome, Chromium and Mozilla folders,
// src/xnmp-impl.c), both in NativeMessaging.sys.mjs.
constexpr char kNoRoute[] =
    "a Chromium-family browser in a sandbox cannot start a host outside it, and no portal lets it yet: use the "
    "browser from the distribution's or the vendor's package for the companion";
constexpr char kPortal[] =
    "it starts hosts through the WebExtensions portal, which finds the companion's manifest in the Mozilla folders "
    "and asks once per extension whether it may start it";
constexpr char kProxy[] =
    "from Firefox 157 on it starts hosts through xdg-native-messaging-proxy, which searches only the Chrome, "
    "Chromium and Mozilla folders (~/.mozilla/native-messaging-hosts among them); an older one cannot start them";

std::vector<Finding> sandboxNotes() {
  const std::string homeDir = home();
  const std::tuple<const char*, const char*, const char*> sandboxes[] = {
      {"/.var/app/org.chromium.Chromium", "Chromium (Flatpak)", kNoRoute},
      {"/.var/app/com.google.Chrome", "Google Chrome (Flatpak)", kNoRoute},
      {"/.var/app/com.microsoft.Edge", "Microsoft Edge (Flatpak)", kNoRoute},
      {"/.var/app/com.brave.Browser", "Brave (Flatpak)", kNoRoute},
      {"/.var/app/org.mozilla.firefox", "Firefox (Flatpak)", kProxy},
      {"/.var/app/io.gitlab.librewolf-community", "LibreWolf (Flatpak)", kProxy},
      {"/snap/chromium", "Chromium (Snap)", kNoRoute},
      {"/snap/firefox", "Firefox (Snap)", kPortal},
  };
  std::vector<Finding> notes;
  for (const auto& [dir, name, route] : sandboxes) {
    if (homeDir.empty() || stateOf(homeDir + dir).type != fs::file_type::directory) continue;
    notes.push_back(
        {Status::Note, "sandbox", std::string(name) + " is installed (" + homeDir + dir + "): " + route, ""});
  }
  return notes;
}

// As the companion judges it: a name planted in a shared folder is refused
// before connecting, and a server must run as this user (the companion asks
// SO_PEERCRED once connected; the socket's owner uid that sock_diag gives is
// the same user unless the server changed its uid between socket and listen).
Finding inspectRendezvous(const std::string& path, bool& served) {
  const std::string restart = "start the agent (if it will not start, rm '" + path + "' first)";
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return {Status::Problem, "agent", "nothing serves " + path + ": the agent is not running", restart};
    return cannotRead("agent", path, std::error_code(errno, std::generic_category()));
  }
  if (const std::optional<uid_t> planter = companion::CompanionPosix::plantedBy(path)) {
    return {Status::Problem, "agent",
            path + " is " + (S_ISLNK(status.st_mode) ? "a symbolic link" : "a socket file") + " of uid " +
                std::to_string(*planter) + " in a shared folder: the companion refuses it",
            "rm '" + path + "' (as its owner), then start the agent"};
  }
  if (::stat(path.c_str(), &status) != 0) {
    return {Status::Problem, "agent", path + " is a symbolic link to nothing", "rm '" + path + "', then start the agent"};
  }
  if (!S_ISSOCK(status.st_mode)) {
    return {Status::Problem, "agent", path + " is " + describe(stateOf(path).type) + ", not a socket",
            "rm -r '" + path + "', then start the agent"};
  }
  std::string why;
  const std::optional<std::vector<uid_t>> listeners = listenersOn(status, why);
  if (!listeners) {
    return {Status::Note, "agent", path + " is a socket, but the kernel would not say who listens on it: " + why, ""};
  }
  if (listeners->empty()) {
    return {Status::Problem, "agent", path + " is a socket that nothing listens on: the agent is not running", restart};
  }
  for (const uid_t uid : *listeners) {
    if (uid == ::geteuid()) {
      served = true;
      return {Status::Ok, "agent", path + " is listened on by a server of this user (not connected to: nothing is sent)",
              ""};
    }
  }
  return {Status::Problem, "agent",
          path + " is listened on by uid " + std::to_string(listeners->front()) +
              ", not by this user: the companion refuses it",
          "stop that program, then start the agent"};
}

}  // namespace companion_doctor
