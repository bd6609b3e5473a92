# Test of the Debian package: built by scripts/package.sh, its control fields, files and lintian's verdict, and a
# second build in another folder that is byte-identical; then installed for real with apt-get, used by the real
# Chromium through the system-wide manifest alone, and purged. It installs into this machine's /usr and /etc (meant
# for a throwaway machine such as CI) and leaves both as it found them, also when a step fails.
import os
import re
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "browser"))
import browser_test  # noqa: E402
import harness  # noqa: E402
import package_build  # noqa: E402
from package_build import (CHROME_DIRS, PROGRAMS_AND_DOCUMENTS, built, check_manifests,  # noqa: E402
                           manifests, project_version, rebuilds_identically, refuses_without_ids, run)

# The /usr/lib64 folders only where this machine has their parents.
FIREFOX_DIRS = package_build.FIREFOX_DIRS + [d for d in package_build.LIB64_FIREFOX_DIRS if Path(d).is_dir()]
EXPECTED_FILES = PROGRAMS_AND_DOCUMENTS | {
    "/usr/share/doc/companion/changelog.gz", "/usr/share/lintian/overrides/companion",
} | manifests(CHROME_DIRS + FIREFOX_DIRS)
# The folders whose files an install may add and a purge must take away again.
WATCHED = ["/usr", "/etc"]
ROOT = [] if os.geteuid() == 0 else ["sudo", "-n"]


def check_fields(deb):
    fields = dict(line.split(": ", 1) for line in
                  run(["dpkg-deb", "-f", str(deb), "Package", "Version", "Architecture", "Depends",
                       "Maintainer"]).stdout.splitlines())
    architecture = run(["dpkg", "--print-architecture"]).stdout.strip()
    expected = {"Package": "companion", "Version": project_version(), "Architecture": architecture}
    harness.check(all(fields.get(k) == v for k, v in expected.items()), f"control fields {fields}, expected {expected}")
    harness.check(all(f"{lib} (" in fields["Depends"] for lib in ("libc6", "libstdc++6")),
                  f"Depends does not come from the linked libraries: {fields['Depends']}")
    harness.check(fields["Maintainer"], "no Maintainer")


def check_files(deb):
    listing = run(["dpkg-deb", "-c", str(deb)]).stdout.splitlines()
    files = {line.split()[-1].lstrip(".") for line in listing if not line.startswith("d")}
    harness.check(files == EXPECTED_FILES, f"files {sorted(files ^ EXPECTED_FILES)} differ from what is expected")
    with tempfile.TemporaryDirectory() as root:
        run(["dpkg-deb", "-x", str(deb), root])
        check_manifests(root, FIREFOX_DIRS)
    conffiles = run(["dpkg-deb", "-I", str(deb), "conffiles"]).stdout.split()
    harness.check(set(conffiles) == manifests(CHROME_DIRS), f"conffiles {conffiles}, expected {CHROME_DIRS}'s")


def check_lintian(deb):
    result = run(["lintian", str(deb)], timeout=600)
    print(f"lintian: {result.stdout.strip() or 'nothing reported'}", flush=True)
    harness.check(result.returncode == 0 and not re.search(r"^[EW]: ", result.stdout, re.M),
                  f"lintian exited {result.returncode}:\n{result.stdout}{result.stderr}")


def file_list():
    return {os.path.join(top, name) for watched in WATCHED for top, dirs, names in os.walk(watched)
            for name in dirs + names}


def installed():
    return "install ok installed" in run(["dpkg-query", "-W", "-f=${Status}", "companion"]).stdout


def installs_and_serves_chromium(deb, build_dir):
    harness.check(not installed(), "a companion package is installed already; the test leaves it alone")
    before = file_list()
    empty_before = {d for d in before if os.path.isdir(d) and not os.listdir(d)}
    try:
        result = run(ROOT + ["apt-get", "install", "-y", "-q", str(deb.resolve())], timeout=600,
                     env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        harness.check(result.returncode == 0, f"apt-get install failed:\n{result.stdout}{result.stderr}")
        agent = Path(build_dir) / "companion-agent"
        chromium = harness.BrowserRun(harness.Chromium, prefix="/usr", agent_program=agent)
        harness.check(browser_test.check_browser(chromium, build_dir, "chromium") == 0,
                      "Chromium did not relay through the installed companion")
    finally:
        purged = run(ROOT + ["apt-get", "purge", "-y", "-q", "companion"], timeout=600,
                     env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    harness.check(purged.returncode == 0 and not installed(), f"apt-get purge failed:\n{purged.stdout}{purged.stderr}")
    after = file_list()
    # dpkg removes a folder of the package that is empty and claimed by no other package, also one that was there
    # before (such as an empty /etc/opt): it is put back, and anything else lost fails.
    lost = before - after
    for directory in sorted(d for d in lost if d in empty_before):
        print(f"note: dpkg removed the empty folder {directory}, which was there before: put back", flush=True)
        run(ROOT + ["mkdir", "-p", directory])
        lost.discard(directory)
    harness.check(after <= before and not lost, f"purge left {sorted(after - before)[:20]}, lost {sorted(lost)[:20]}")


def main(build_dir):
    refuses_without_ids("deb")
    deb = built("deb")
    return harness.run_cases([
        ("control fields", lambda: check_fields(deb)),
        ("files and manifests", lambda: check_files(deb)),
        ("lintian", lambda: check_lintian(deb)),
        ("a second build in another folder is byte-identical", lambda: rebuilds_identically("deb", deb)),
        ("apt-get install, Chromium through the system-wide manifest, apt-get purge",
         lambda: installs_and_serves_chromium(deb, build_dir)),
    ])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} NATIVE_BUILD_DIR")
    try:
        sys.exit(main(Path(sys.argv[1]).resolve()))
    except harness.Failure as failure:
        sys.exit(f"FAILED: {failure}")
