# What the package tests share: building packages with scripts/package.sh, the files every Linux package holds,
# and the check that a second build of the same sources, in another folder, is byte-identical.
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "browser"))
import harness  # noqa: E402

SOURCE = Path(__file__).resolve().parents[2]
CHROME_IDS = [harness.chromium_extension_id()]
FIREFOX_IDS = [harness.FIREFOX_EXTENSION_ID]
MANIFEST = f"{harness.HOST_NAME}.json"
CHROME_DIRS = ["/etc/opt/chrome", "/etc/chromium", "/etc/opt/edge", "/etc/opt/brave"]
FIREFOX_DIRS = ["/usr/lib/mozilla", "/usr/lib/librewolf"]
LIB64_FIREFOX_DIRS = ["/usr/lib64/mozilla", "/usr/lib64/librewolf"]
# The programs, the copyright file and the manual pages, in every Linux package.
PROGRAMS_AND_DOCUMENTS = {
    "/usr/bin/companion", "/usr/bin/companion-doctor", "/usr/share/doc/companion/copyright",
    "/usr/share/man/man1/companion.1.gz", "/usr/share/man/man1/companion-doctor.1.gz",
}
PATTERNS = {"deb": "companion_*.deb", "rpm": "companion-*.rpm", "msi": "companion-*.msi"}
COUNTS = {"deb": 1, "rpm": 1, "msi": 2}
OLD_TIME = 946684800  # 2000-01-01


def run(command, timeout=harness.STEP_TIMEOUT, **options):
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout, **options)


def manifests(dirs):
    return {f"{d}/native-messaging-hosts/{MANIFEST}" for d in dirs}


def check_manifests(root, firefox_dirs):
    """Each manifest under root names the installed companion and the test's ids."""
    for directory in CHROME_DIRS + firefox_dirs:
        manifest = harness.read_json(f"{root}{directory}/native-messaging-hosts/{MANIFEST}")
        allowed = ({"allowed_extensions": FIREFOX_IDS} if directory in firefox_dirs
                   else {"allowed_origins": [f"chrome-extension://{i}/" for i in CHROME_IDS]})
        harness.check(manifest["path"] == "/usr/bin/companion" and all(manifest[k] == v for k, v in allowed.items()),
                      f"{directory}: {manifest}")


def project_version():
    return re.search(r"project\(companion VERSION (\S+)", (SOURCE / "CMakeLists.txt").read_text()).group(1)


def build(kinds, chrome_ids=CHROME_IDS, firefox_ids=FIREFOX_IDS, source=SOURCE, **env):
    """Runs scripts/package.sh for the kinds in the source tree, env added; its result and the packages it left."""
    env = dict(os.environ, COMPANION_CHROME_EXTENSION_IDS=",".join(chrome_ids),
               COMPANION_FIREFOX_EXTENSION_IDS=",".join(firefox_ids), **env)
    result = run([str(source / "scripts" / "package.sh"), *kinds], timeout=1800, cwd=source, env=env)
    return result, sorted(p for kind in kinds for p in (source / "build" / "packages").glob(PATTERNS[kind]))


def built(*kinds, **env):
    """The packages that package.sh builds for the kinds, with the test's ids, which its SHA256SUMS lists; fails when
    it does not."""
    result, packages = build(kinds, **env)
    harness.check(result.returncode == 0 and len(packages) == sum(COUNTS[kind] for kind in kinds),
                  f"package.sh {' '.join(kinds)} failed:\n{result.stdout[-3000:]}{result.stderr[-3000:]}")
    sums = (SOURCE / "build" / "packages" / "SHA256SUMS").read_text()
    harness.check(sorted(line.split("  ")[1] for line in sums.splitlines()) == [p.name for p in packages], sums)
    print("built " + ", ".join(f"{p.name}: {p.stat().st_size} bytes" for p in packages), flush=True)
    return packages


def refuses_without_ids(kind):
    result, packages = build([kind], [], [])
    harness.check(result.returncode != 0 and "at least one extension id" in result.stdout + result.stderr,
                  f"a package without ids was not refused:\n{result.stdout[-2000:]}{result.stderr[-2000:]}")
    harness.check(not packages, f"a refused build left {packages}")


def rebuilds_identically(kinds, packages):
    """A copy of the sources in another folder builds the same bytes, although its files' times all differ."""
    with tempfile.TemporaryDirectory(prefix="companion-rebuild-") as folder:
        copy = Path(folder) / "source"
        shutil.copytree(SOURCE, copy, symlinks=True,
                        ignore=lambda directory, names: ["build"] if Path(directory) == SOURCE else [])
        # Long before the last commit, as in a checkout whose files no recent pull touched: no time of a source
        # file may reach the package, neither newer nor older than the commit.
        for top, dirs, names in os.walk(copy):
            for name in dirs + names:
                os.utime(os.path.join(top, name), (OLD_TIME, OLD_TIME), follow_symlinks=False)
        result, copies = build(kinds, source=copy)
        harness.check(result.returncode == 0 and [c.name for c in copies] == [p.name for p in packages],
                      f"the second build failed:\n{result.stdout[-3000:]}{result.stderr[-3000:]}")
        for package, second in zip(packages, copies):
            harness.check(second.read_bytes() == package.read_bytes(),
                          f"{second} ({second.stat().st_size} bytes) differs from {package} "
                          f"({package.stat().st_size} bytes)")
