# Test of the Windows registration script under Wine: the manifests it writes beside companion.exe and the per-user registry keys it sets and removes.
import subprocess
import sys
from pathlib import Path

import harness

SOURCE_DIR = Path(__file__).resolve().parents[2]
WINE_SCRIPT = SOURCE_DIR / "scripts" / "wine.sh"
# The script as the build configures it, with the host's name: the test's argument.
REGISTER_SCRIPT = Path(sys.argv[1]) if len(sys.argv) == 2 else None
WINE = "/usr/lib/wine/wine64"
CHROME_KEYS = ["Software\\Google\\Chrome", "Software\\Chromium", "Software\\Microsoft\\Edge",
               "Software\\BraveSoftware\\Brave-Browser"]
FIREFOX_KEYS = ["Software\\Mozilla"]
CHROME_IDS = ["abcdefghijklmnopabcdefghijklmnop", "ponmlkjihgfedcbaponmlkjihgfedcba"]
FIREFOX_IDS = ["browser-test@companion.vantro", "{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}"]

# Spaces and parentheses, as in "Program Files (x86)".
FOLDER = "Vantro Companion (x86)"
# Each row: name, the folder, Chrome-family ids, Firefox ids, whether companion.exe is in place, the exit code.
CASES = [
    ("every browser, two ids each", FOLDER, CHROME_IDS, FIREFOX_IDS, True, 0),
    ("the Chrome family only", FOLDER, CHROME_IDS[:1], [], True, 0),
    ("Firefox only, add-on ids of every form", FOLDER, [],
     ["@only-a-domain", "Mixed.Case_id-1@x.y", "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"], True, 0),
    ("an accented folder, as C:\\Users\\J\u00fcrgen", "J\u00fcrgen M\u00fcller", CHROME_IDS[:1], FIREFOX_IDS[:1], True, 0),
    ("a CJK folder", "\u65e5\u672c\u8a9e \u30d5\u30a9\u30eb\u30c0", CHROME_IDS[:1], FIREFOX_IDS[:1], True, 0),
    ("a folder with %, !, & and ^", "100% sure! & more ^ %PATH% !OS!", CHROME_IDS[:1], FIREFOX_IDS[:1], True, 0),
    ("no ids: usage, nothing registered", FOLDER, [], [], True, 2),
    ("no companion.exe beside the script: nothing registered", FOLDER, CHROME_IDS, FIREFOX_IDS, False, 1),
] + [(f"Chrome id {bad!r} refused, nothing registered", FOLDER, [bad, CHROME_IDS[0]], FIREFOX_IDS, True, 2)
     for bad in ("abcdefghijklmnopabcdefghijklmno", "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP", "qbcdefghijklmnopabcdefghijklmnop",
                 "abcdefghijklmnop & echo abcdefghijk")] + [
    (f"Firefox id {bad!r} refused, nothing registered", FOLDER, CHROME_IDS, [FIREFOX_IDS[0], bad], True, 2)
    for bad in ("no-at-sign", "two@at@signs", "a!b@c", "{0f1e2d3c-4b5a-6978-8796a-5b4c3d2e1f0}")]


class Wine:
    """A private Wine prefix with a warm server, set up and ended by scripts/wine.sh, so that every program
    the test runs and reads from ends on its own."""

    def __init__(self, sandbox):
        self.prefix = str(sandbox.root / "wineprefix")
        self.env = dict(sandbox.env, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        self.script("start")

    def script(self, command):
        result = subprocess.run(["bash", str(WINE_SCRIPT), command, self.prefix], env=self.env,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=2 * harness.STARTUP_TIMEOUT)
        harness.check(result.returncode == 0, f"wine.sh {command} failed: {result.stdout}{result.stderr}")

    def run(self, args, cwd):
        for attempt in range(2):
            # Wine writes in the console's code page: a folder's name outside ASCII is not UTF-8 there.
            result = subprocess.run([WINE, *args], env=self.env, cwd=cwd, stdin=subprocess.DEVNULL,
                                    capture_output=True, text=True, errors="replace", timeout=harness.STEP_TIMEOUT)
            # Wine itself, on a busy machine, sometimes fails to start a program at all ("Application could
            # not be started", or from cmd.exe "Can't recognize" a program that is there); that says nothing
            # of the script, whose steps may all be run again, so the step is run once more.
            output = result.stdout + result.stderr
            if "could not be started" not in output and "Can't recognize 'reg " not in output:
                break
        return result

    def close(self):
        self.script("stop")


def windows_path(path):
    """Wine's name for a Linux path: drive Z: is the root."""
    return "Z:" + str(path).replace("/", "\\")


def host_keys(wine, cwd, export_path):
    """Maps each registry key of the host under HKCU\\Software to its default value, via reg export."""
    result = wine.run(["reg", "export", "HKCU\\Software", windows_path(export_path), "/y"], cwd)
    harness.check(result.returncode == 0, f"reg export failed: {result.stdout}{result.stderr}")
    keys = {}
    key = None
    for line in export_path.read_text(encoding="utf-16").splitlines():
        if line.startswith("["):
            key = line[1:-1]
        elif line.startswith("@=") and key.endswith(f"\\NativeMessagingHosts\\{harness.HOST_NAME}"):
            keys[key] = line[3:-1].replace("\\\\", "\\")
    return keys


def expected_keys(app, chrome_ids, firefox_ids):
    expected = {}
    for roots, ids, family in ((CHROME_KEYS, chrome_ids, "chrome"), (FIREFOX_KEYS, firefox_ids, "firefox")):
        if not ids:
            continue
        manifest = windows_path(app / f"{harness.HOST_NAME}.{family}.json")
        for root in roots:
            expected[f"HKEY_CURRENT_USER\\{root}\\NativeMessagingHosts\\{harness.HOST_NAME}"] = manifest
    return expected


def check_manifests(app, chrome_ids, firefox_ids):
    for family, key, allowed in (("chrome", "allowed_origins", [f"chrome-extension://{i}/" for i in chrome_ids]),
                                 ("firefox", "allowed_extensions", firefox_ids)):
        path = app / f"{harness.HOST_NAME}.{family}.json"
        harness.check(path.exists() == bool(allowed), f"{path.name} exists: {path.exists()}")
        if allowed:
            manifest = harness.read_json(path)
            expected = {"name": harness.HOST_NAME, "description": manifest.get("description"),
                        "path": "companion.exe", "type": "stdio", key: allowed}
            harness.check(manifest == expected, f"{path.name}: {manifest} is not {expected}")


def app_folder(sandbox, name=FOLDER):
    app = sandbox.root / name
    app.mkdir(exist_ok=True)
    (app / "register.cmd").write_bytes(REGISTER_SCRIPT.read_bytes())
    return app


def run_case(wine, sandbox, folder, chrome_ids, firefox_ids, program_present, expected_code):
    app = app_folder(sandbox, folder)
    program = app / "companion.exe"
    # The script only names the program in the manifests, so any file stands for it.
    program.unlink(missing_ok=True)
    if program_present:
        program.write_bytes(b"")
    export = sandbox.root / "export.reg"

    options = [arg for i in chrome_ids for arg in ("/chrome", i)] + [arg for i in firefox_ids for arg in ("/firefox", i)]
    result = wine.run(["cmd", "/c", "register.cmd", *options], app)
    harness.check(result.returncode == expected_code,
                  f"register.cmd exited {result.returncode}, expected {expected_code}: {result.stdout}{result.stderr}")
    if expected_code == 2 and chrome_ids + firefox_ids:
        harness.check(" is not a " in result.stderr, f"register.cmd did not name the bad id: {result.stderr}")
    registered = expected_code == 0
    expected = expected_keys(app, chrome_ids, firefox_ids) if registered else {}
    keys = host_keys(wine, app, export)
    harness.check(keys == expected, f"registry keys {keys}, expected {expected}")
    check_manifests(app, chrome_ids if registered else [], firefox_ids if registered else [])
    if not registered:
        return

    result = wine.run(["cmd", "/c", "register.cmd", "/unregister"], app)
    harness.check(result.returncode == 0, f"/unregister exited {result.returncode}: {result.stdout}{result.stderr}")
    left = host_keys(wine, app, export)
    harness.check(not left, f"keys left after /unregister: {sorted(left)}")
    check_manifests(app, [], [])


def moved_folder_updates_every_key(wine, sandbox):
    """register.cmd run again from the folder the program moved to points every key at the new manifests."""
    old = app_folder(sandbox)
    (old / "companion.exe").write_bytes(b"")
    options = ["/chrome", CHROME_IDS[0], "/firefox", FIREFOX_IDS[0]]
    result = wine.run(["cmd", "/c", "register.cmd", *options], old)
    harness.check(result.returncode == 0, f"register.cmd exited {result.returncode}: {result.stdout}{result.stderr}")
    new = sandbox.root / "Moved Companion"
    new.mkdir()
    for name in ("register.cmd", "companion.exe"):
        (new / name).write_bytes((old / name).read_bytes())
    result = wine.run(["cmd", "/c", "register.cmd", *options], new)
    harness.check(result.returncode == 0, f"register.cmd exited {result.returncode}: {result.stdout}{result.stderr}")
    keys = host_keys(wine, new, sandbox.root / "export.reg")
    expected = expected_keys(new, CHROME_IDS[:1], FIREFOX_IDS[:1])
    harness.check(keys == expected, f"registry keys after the move {keys}, expected {expected}")
    result = wine.run(["cmd", "/c", "register.cmd", "/unregister"], new)
    harness.check(result.returncode == 0, f"/unregister exited {result.returncode}: {result.stdout}{result.stderr}")


def unregister_leaves_other_installations(wine, sandbox):
    """/unregister removes only the keys that name this folder's manifests: the installer's key, and one naming a
    folder whose name differs only in a letter outside ASCII, stay."""
    app = app_folder(sandbox, "J\u00fcrgen")
    (app / "companion.exe").write_bytes(b"")
    result = wine.run(["cmd", "/c", "register.cmd", "/chrome", CHROME_IDS[0], "/firefox", FIREFOX_IDS[0]], app)
    harness.check(result.returncode == 0, f"register.cmd exited {result.returncode}: {result.stdout}{result.stderr}")
    others = {
        f"HKEY_CURRENT_USER\\{CHROME_KEYS[1]}\\NativeMessagingHosts\\{harness.HOST_NAME}":
            "C:\\users\\u\\AppData\\Local\\Programs\\Companion\\com.vantro.companion.chrome.json",
        f"HKEY_CURRENT_USER\\{FIREFOX_KEYS[0]}\\NativeMessagingHosts\\{harness.HOST_NAME}":
            windows_path(sandbox.root / "J\u00f6rgen" / f"{harness.HOST_NAME}.firefox.json"),
    }
    try:
        for key, value in others.items():
            result = wine.run(["reg", "add", key, "/ve", "/t", "REG_SZ", "/d", value, "/f"], app)
            harness.check(result.returncode == 0, f"reg add failed: {result.stdout}{result.stderr}")
        result = wine.run(["cmd", "/c", "register.cmd", "/unregister"], app)
        harness.check(result.returncode == 0, f"/unregister exited {result.returncode}: {result.stdout}{result.stderr}")
        left = host_keys(wine, app, sandbox.root / "export.reg")
        harness.check(left == others, f"keys left after /unregister: {left}, expected {others}")
        check_manifests(app, [], [])
    finally:
        for key in others:
            wine.run(["reg", "delete", key, "/f"], app)


def failing_reg_is_reported(wine, sandbox):
    """cmd runs a reg.exe in the current folder before the system's: one that fails, as a reg.exe that cannot
    start would, must make /unregister name the failed command and fail."""
    app = app_folder(sandbox)
    (app / "companion.exe").write_bytes(b"")
    result = wine.run(["cmd", "/c", "register.cmd", "/chrome", CHROME_IDS[0]], app)
    harness.check(result.returncode == 0, f"register.cmd exited {result.returncode}: {result.stdout}{result.stderr}")
    stand_in = app / "reg.exe"
    subprocess.run(["x86_64-w64-mingw32-gcc-posix", "-x", "c", "-", "-o", str(stand_in)],
                   input="int main(void) { return 5; }", text=True, check=True, timeout=harness.STEP_TIMEOUT)
    try:
        result = wine.run(["cmd", "/c", "register.cmd", "/unregister"], app)
    finally:
        stand_in.unlink()
    output = result.stdout + result.stderr
    harness.check(result.returncode == 1, f"/unregister with a failing reg exited {result.returncode}: {output}")
    harness.check("failed with exit status 5" in output, f"/unregister did not name the failure: {output}")
    result = wine.run(["cmd", "/c", "register.cmd", "/unregister"], app)
    harness.check(result.returncode == 0, f"/unregister exited {result.returncode}: {result.stdout}{result.stderr}")
    left = host_keys(wine, app, sandbox.root / "export.reg")
    harness.check(not left, f"keys left after /unregister: {sorted(left)}")


def main():
    sandbox = harness.Sandbox("register")
    wine = Wine(sandbox)
    cases = [(name, lambda row=row: run_case(wine, sandbox, *row)) for name, *row in CASES]
    cases.append(("run again from a moved folder, every key follows", lambda: moved_folder_updates_every_key(wine, sandbox)))
    cases.append(("/unregister leaves the keys of other installations",
                  lambda: unregister_leaves_other_installations(wine, sandbox)))
    cases.append(("a reg.exe that fails is named, and /unregister fails", lambda: failing_reg_is_reported(wine, sandbox)))
    try:
        return harness.run_cases(cases)
    finally:
        wine.close()
        sandbox.remove()


if __name__ == "__main__":
    if REGISTER_SCRIPT is None:
        sys.exit(f"usage: {sys.argv[0]} REGISTER_CMD")
    sys.exit(main())
