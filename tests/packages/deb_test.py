# Test of the Debian package: built by scripts/package.sh, its control fields, files and lintian's verdict, and a
# second build in another folder that is byte-identical; then installed for real with apt-get, used by the real
# Chromium through the system-wide manifest alone, and purged. Both Chromium runs have a managed policy that allows
# system-wide hosts only: with a per-user manifest alone Chromium cannot reach the companion and companion-doctor
# names the policy; with the package's manifest everything works. It installs into this machine's /usr and /etc
# (meant for a throwaway machine such as CI) and leaves both as it found them, also when a step fails.
import contextlib
import json
import os
import re
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "browser"))
import browser_test  # noqa: E402
import doctor_test  # noqa: E402
import harness  # noqa: E402
import package_build  # noqa: E402
from package_build import (CHROME_DIRS, MANIFEST, PROGRAMS_AND_DOCUMENTS, built, check_manifests,  # noqa: E402
                           manifests, project_version, rebuilds_identically, refuses_without_ids, run)

# The /usr/lib64 folders only where this machine has their parents.
FIREFOX_DIRS = package_build.FIREFOX_DIRS + [d for d in package_build.LIB64_FIREFOX_DIRS if Path(d).is_dir()]
EXPECTED_FILES = PROGRAMS_AND_DOCUMENTS | {
    "/usr/share/doc/companion/changelog.gz", "/usr/share/lintian/overrides/companion",
} | manifests(CHROME_DIRS + FIREFOX_DIRS)
# The folders whose files an install may add and a purge must take away again.
WATCHED = ["/usr", "/etc"]
ROOT = [] if os.geteuid() == 0 else ["sudo", "-n"]
# Debian's Chromium reads its managed policies from this folder (Chromium's policy_paths.cc).
POLICY_FOLDER = "/etc/chromium/policies/managed"
POLICY_FILE = f"{POLICY_FOLDER}/companion-test-system-hosts-only.json"


@contextlib.contextmanager
def system_hosts_only_policy():
    """Chromium's managed policy NativeMessagingUserLevelHosts = false while the block runs; then the file and the
    folders made for it are removed. Refuses to run beside a policy file of another origin."""
    folder = Path(POLICY_FOLDER)
    others = sorted(str(p) for p in folder.iterdir() if str(p) != POLICY_FILE) if folder.is_dir() else []
    harness.check(not others, f"refusing to run: {POLICY_FOLDER} holds policy files of another origin: {others}")
    made = [d for d in ("/etc/chromium", "/etc/chromium/policies", POLICY_FOLDER) if not Path(d).exists()]
    try:
        with tempfile.NamedTemporaryFile("w", suffix=".json") as text:
            json.dump({"NativeMessagingUserLevelHosts": False}, text)
            text.flush()
            result = run(ROOT + ["install", "-D", "-m", "0644", text.name, POLICY_FILE])
        harness.check(result.returncode == 0, f"cannot write {POLICY_FILE}: {result.stderr}")
        yield POLICY_FILE
    finally:
        run(ROOT + ["rm", "-f", POLICY_FILE])
        for directory in reversed(made):
            run(ROOT + ["rmdir", directory])


def chromium_ignores_a_per_user_manifest(build_dir):
    """Under the policy, with only Chromium's per-user manifest, the extension cannot reach the companion and the
    doctor, with the agent running, exits 1 naming the policy."""
    with system_hosts_only_policy() as policy:
        chromium = harness.BrowserRun(harness.Chromium)
        try:
            chromium.start(build_dir)
            for manifest in chromium.sandbox.home.rglob(MANIFEST):
                if "chromium" not in manifest.parts:
                    manifest.unlink()
            chromium.start_agent()
            findings, code = doctor_test.doctor(chromium.sandbox)
            found = doctor_test.finding(findings, "browser chromium")
            harness.check(code == 1 and found["status"] == "problem" and policy in found["message"]
                          and "NativeMessagingUserLevelHosts" in found["message"],
                          f"the doctor exited {code}: {findings}")
            chromium.control.send("connect")
            reason = chromium.control.expect("disconnect")["reason"]
            harness.check("not found" in reason, f"connectNative failed otherwise: {reason!r}")
            harness.check(not chromium.companions(), "Chromium started the companion through a per-user manifest")
        finally:
            chromium.close()
            chromium.sandbox.remove()


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
        with system_hosts_only_policy():
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
    [deb] = built("deb")
    return harness.run_cases([
        ("control fields", lambda: check_fields(deb)),
        ("files and manifests", lambda: check_files(deb)),
        ("lintian", lambda: check_lintian(deb)),
        ("a second build in another folder is byte-identical", lambda: rebuilds_identically(["deb"], [deb])),
        ("a policy for system-wide hosts only: Chromium ignores a per-user manifest, the doctor names the policy",
         lambda: chromium_ignores_a_per_user_manifest(build_dir)),
        ("apt-get install, Chromium through the system-wide manifest under that policy, apt-get purge",
         lambda: installs_and_serves_chromium(deb, build_dir)),
    ])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} NATIVE_BUILD_DIR")
    try:
        sys.exit(main(Path(sys.argv[1]).resolve()))
    except harness.Failure as failure:
        sys.exit(f"FAILED: {failure}")
