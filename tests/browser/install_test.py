# Test of the install step: which native-messaging host manifests it writes, where, and with what content.
import os
import subprocess
import sys
from pathlib import Path

import harness

SOURCE_DIR = Path(__file__).resolve().parents[2]

CHROME_IDS = ["abcdefghijklmnopabcdefghijklmnop", "ponmlkjihgfedcbaponmlkjihgfedcba"]
FIREFOX_IDS = ["browser-test@companion.vantro", "{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}"]
CHROME_FAMILY = ("chrome", "chrome-beta", "chrome-unstable", "chromium", "edge", "brave", "brave-beta", "brave-nightly")
FIREFOX_FAMILY = ("firefox", "librewolf")

# Where each browser looks, per scope; user paths relative to the configuration directory,
# except Firefox's, which is relative to the home directory.
USER_DIRS = {
    "chrome": "google-chrome/NativeMessagingHosts",
    "chrome-beta": "google-chrome-beta/NativeMessagingHosts",
    "chrome-unstable": "google-chrome-unstable/NativeMessagingHosts",
    "chromium": "chromium/NativeMessagingHosts",
    "edge": "microsoft-edge/NativeMessagingHosts",
    "brave": "BraveSoftware/Brave-Browser/NativeMessagingHosts",
    "brave-beta": "BraveSoftware/Brave-Browser-Beta/NativeMessagingHosts",
    "brave-nightly": "BraveSoftware/Brave-Browser-Nightly/NativeMessagingHosts",
    "firefox": ".mozilla/native-messaging-hosts",
    "librewolf": ".librewolf/native-messaging-hosts",
}
# Every channel of Google Chrome and of Brave reads its browser's one system-wide folder; the
# Firefox family's /usr/lib64 folders are written where their parents exist, or when asked for.
SYSTEM_DIRS = {
    "chrome": ["/etc/opt/chrome/native-messaging-hosts"],
    "chromium": ["/etc/chromium/native-messaging-hosts"],
    "edge": ["/etc/opt/edge/native-messaging-hosts"],
    "brave": ["/etc/opt/brave/native-messaging-hosts"],
    "firefox": ["/usr/lib/mozilla/native-messaging-hosts", "/usr/lib64/mozilla/native-messaging-hosts"],
    "librewolf": ["/usr/lib/librewolf/native-messaging-hosts", "/usr/lib64/librewolf/native-messaging-hosts"],
}

# Each row: name, scope, Chrome-family ids, Firefox ids, whether XDG_CONFIG_HOME is set, an awkward install prefix,
# whether the /usr/lib64 folders are asked for.
CASES = [
    ("per user, every browser", "user", CHROME_IDS, FIREFOX_IDS, False, "prefix", False),
    ("per user, XDG_CONFIG_HOME moves the Chrome family only", "user", CHROME_IDS[:1], FIREFOX_IDS[:1], True, "prefix",
     False),
    ("per user, a prefix that needs JSON escaping", "user", CHROME_IDS[:1], FIREFOX_IDS[:1], False, 'pre fix "q" ü',
     False),
    ("per user, Firefox only", "user", [], FIREFOX_IDS, False, "prefix", False),
    ("per user, Chrome family only", "user", CHROME_IDS, [], False, "prefix", False),
    ("system-wide, staged in DESTDIR", "system", CHROME_IDS, FIREFOX_IDS, False, "prefix", False),
    ("system-wide with the /usr/lib64 folders", "system", CHROME_IDS, FIREFOX_IDS, False, "prefix", True),
    ("no manifests", "none", CHROME_IDS, FIREFOX_IDS, False, "prefix", False),
]


def expected_manifests(sandbox, scope, chrome_ids, firefox_ids, config_home, destdir, lib64):
    """Maps each manifest file that the install step must write to the browser it serves."""
    if scope == "none":
        return {}
    browsers = (CHROME_FAMILY if chrome_ids else ()) + (FIREFOX_FAMILY if firefox_ids else ())
    directories = []
    for browser in browsers:
        if scope == "system":
            directories += [(destdir / d.lstrip("/"), browser) for d in SYSTEM_DIRS.get(browser, [])
                            if not d.startswith("/usr/lib64/") or lib64 or Path(d).parent.is_dir()]
        else:
            base = sandbox.home if browser in FIREFOX_FAMILY else config_home
            directories.append((base / USER_DIRS[browser], browser))
    return {directory / f"{harness.HOST_NAME}.json": browser for directory, browser in directories}


def check_manifest(path, browser, program, chrome_ids, firefox_ids):
    manifest = harness.read_json(path)
    allowed = ({"allowed_extensions": firefox_ids} if browser in FIREFOX_FAMILY
               else {"allowed_origins": [f"chrome-extension://{id}/" for id in chrome_ids]})
    expected = dict(name=harness.HOST_NAME, description=manifest.get("description"), path=str(program),
                    type="stdio", **allowed)
    harness.check(manifest == expected, f"{path}: {manifest} is not {expected}")
    harness.check(manifest["description"], f"{path}: empty description")


def check_program(installed):
    """The file the manifests name is the companion itself."""
    result = subprocess.run([str(installed), "--version"], capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, timeout=harness.STEP_TIMEOUT)
    expected = f"Version: {os.environ['COMPANION_VERSION']}\n"
    harness.check(result.stdout == expected, f"{installed} --version printed {result.stdout!r}, not {expected!r}")
    harness.check(os.access(installed.parent / "companion-agent", os.X_OK), "the example agent is not installed")


def written_manifests(root):
    return set(root.rglob(f"{harness.HOST_NAME}.json"))


def run_case(build_dir, scope, chrome_ids, firefox_ids, moved_config, prefix_name, lib64):
    sandbox = harness.Sandbox("install")
    try:
        env = sandbox.env
        del env["XDG_CONFIG_HOME"]
        config_home = sandbox.home / ".config"
        if moved_config:
            config_home = sandbox.root / "xdg-config"
            env["XDG_CONFIG_HOME"] = str(config_home)
        prefix = sandbox.root / prefix_name
        destdir = sandbox.root / "destdir" if scope == "system" else None
        options = ["-DCOMPANION_LIB64_MANIFESTS=ON"] if lib64 else []
        result = harness.install(build_dir, env, prefix, scope, chrome_ids, firefox_ids, destdir, options)
        harness.check(result.returncode == 0, f"install step failed:\n{result.stdout}{result.stderr}")

        program = prefix / "bin" / "companion"
        check_program(destdir / str(program).lstrip("/") if destdir else program)
        expected = expected_manifests(sandbox, scope, chrome_ids, firefox_ids, config_home, destdir, lib64)
        written = written_manifests(sandbox.root)
        harness.check(written == set(expected), f"manifests written: {sorted(map(str, written))}, "
                                                f"expected: {sorted(map(str, expected))}")
        for path, browser in expected.items():
            check_manifest(path, browser, program, chrome_ids, firefox_ids)
    finally:
        sandbox.remove()


# Each row: which option, the ids given, words of the refusal. Firefox's forms: a {GUID} or name@domain.
BAD_IDS = [
    ("COMPANION_CHROME_EXTENSION_IDS", "not-a-chrome-id", "'not-a-chrome-id' is not a Chrome extension id"),
    ("COMPANION_CHROME_EXTENSION_IDS", "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP", "is not a Chrome extension id"),
    ("COMPANION_FIREFOX_EXTENSION_IDS", "no-at-sign", "'no-at-sign' is not a Firefox add-on id"),
    ("COMPANION_FIREFOX_EXTENSION_IDS", "two@at@signs", "is not a Firefox add-on id"),
    ("COMPANION_FIREFOX_EXTENSION_IDS", "{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f}", "is not a Firefox add-on id"),
    ("COMPANION_FIREFOX_EXTENSION_IDS", "a[b,c]d@x", "'a[b,c]d@x' holds a character that no extension id has"),
    ("COMPANION_FIREFOX_EXTENSION_IDS", "control\x01character@x", "holds a character that no extension id has"),
]


def check_refuses_bad_ids(build_dir):
    """An id that a browser would never match, or that makes it refuse the manifest, stops the install step with
    the id as given, and no manifest is written."""
    for option, ids, words in BAD_IDS:
        sandbox = harness.Sandbox("install")
        try:
            chrome, firefox = ([ids], []) if option == "COMPANION_CHROME_EXTENSION_IDS" else ([], [ids])
            result = harness.install(build_dir, sandbox.env, sandbox.prefix, "user", chrome, firefox)
            # CMake breaks its messages into lines.
            harness.check(result.returncode != 0 and words in " ".join(result.stderr.split()),
                          f"{ids!r}: exit {result.returncode}, {result.stderr}")
            harness.check(not written_manifests(sandbox.root), f"{ids!r}: manifests written despite the bad id")
        finally:
            sandbox.remove()


def check_edge_ids_and_prefix(build_dir):
    """Ids that are only separators are no ids; add-on ids of both forms are written as given; a relative prefix
    names the program by its absolute path, where the files went."""
    sandbox = harness.Sandbox("install")
    try:
        firefox_ids = ["@only-a-domain", "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}", "Mixed.Case_id-1@x.y"]
        result = harness.install(build_dir, sandbox.env, Path("rel") / "prefix", "user", [" , ;"], firefox_ids,
                                 cwd=sandbox.root)
        harness.check(result.returncode == 0, f"install step failed:\n{result.stdout}{result.stderr}")
        program = sandbox.root / "rel" / "prefix" / "bin" / "companion"
        expected = expected_manifests(sandbox, "user", [], firefox_ids, sandbox.home / ".config", None, False)
        written = written_manifests(sandbox.root)
        harness.check(written == set(expected), f"manifests written: {sorted(map(str, written))}")
        for path, browser in expected.items():
            check_manifest(path, browser, program, [], firefox_ids)
    finally:
        sandbox.remove()


def check_prefix_through_a_link(build_dir):
    """A prefix with '..' after a symbolic link: the manifests name the program where the kernel put it; under DESTDIR,
    where that is not known, the install step refuses it."""
    sandbox = harness.Sandbox("install")
    try:
        (sandbox.root / "real" / "sub").mkdir(parents=True)
        (sandbox.root / "link").symlink_to(sandbox.root / "real" / "sub")
        prefix = sandbox.root / "link" / ".." / "p"
        result = harness.install(build_dir, sandbox.env, prefix, "user", CHROME_IDS[:1])
        harness.check(result.returncode == 0, f"install step failed:\n{result.stdout}{result.stderr}")
        program = sandbox.root / "real" / "p" / "bin" / "companion"
        check_program(program)
        manifest = sandbox.home / ".config" / USER_DIRS["chrome"] / f"{harness.HOST_NAME}.json"
        check_manifest(manifest, "chrome", program, CHROME_IDS[:1], [])
        staged = harness.install(build_dir, sandbox.env, prefix, "system", CHROME_IDS[:1], [], sandbox.root / "stage")
        harness.check(staged.returncode != 0 and "holds '..'" in " ".join(staged.stderr.split()),
                      f"with DESTDIR: {staged.stderr}")
    finally:
        sandbox.remove()


def check_package_needs_an_id():
    """The Debian package refuses a build whose ids are only separators: they are no ids."""
    sandbox = harness.Sandbox("install")
    try:
        build = sandbox.root / "package-build"
        configure = subprocess.run(["cmake", "-S", str(SOURCE_DIR), "-B", str(build), "-G", "Ninja",
                                    "-DCOMPANION_BUILD_TESTS=OFF", "-DCMAKE_INSTALL_PREFIX=/usr",
                                    "-DCOMPANION_MANIFEST_SCOPE=system", "-DCOMPANION_CHROME_EXTENSION_IDS= , ;"],
                                   stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=harness.STEP_TIMEOUT)
        harness.check(configure.returncode == 0, f"configure failed: {configure.stdout}{configure.stderr}")
        package = subprocess.run(["cpack", "-G", "DEB"], cwd=build, stdin=subprocess.DEVNULL, capture_output=True,
                                 text=True, timeout=harness.STEP_TIMEOUT)
        output = " ".join((package.stdout + package.stderr).split())
        harness.check(package.returncode != 0 and "needs at least one extension id" in output,
                      f"cpack exited {package.returncode}: {output}")
    finally:
        sandbox.remove()


def main(build_dir):
    cases = [(row[0], lambda row=row: run_case(build_dir, *row[1:])) for row in CASES]
    cases.append(("an id no browser takes is refused as given", lambda: check_refuses_bad_ids(build_dir)))
    cases.append(("separators are no ids, add-on ids are written as given, a relative prefix is made absolute",
                  lambda: check_edge_ids_and_prefix(build_dir)))
    cases.append(("a prefix with '..' after a link names the program where it went",
                  lambda: check_prefix_through_a_link(build_dir)))
    cases.append(("the Debian package takes separators for no ids", check_package_needs_an_id))
    return harness.run_cases(cases)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} BUILD_DIR")
    sys.exit(main(Path(sys.argv[1])))
