# Test of the RPM package: built by scripts/package.sh, its file list (no folder of the base system claimed), its
# requires, its configuration files and rpmlint's verdict, a second build in another folder that is byte-identical
# (with the Windows installers, built beside it), and an install into a temporary root with rpm, whose files are the
# listed ones, then an erase that leaves the root as it was. Then the installers signed with a throwaway certificate
# and SHA256SUMS with a throwaway GnuPG key, each checked as a user would; a wrong password fails the build. Nothing
# outside the temporary folders and the build tree changes.
import os
import re
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "browser"))
import harness  # noqa: E402
from package_build import (CHROME_DIRS, FIREFOX_DIRS, LIB64_FIREFOX_DIRS, PROGRAMS_AND_DOCUMENTS,  # noqa: E402
                           SOURCE, build, built, check_manifests, manifests, project_version, rebuilds_identically,
                           refuses_without_ids, run)

RPM_FIREFOX_DIRS = FIREFOX_DIRS + LIB64_FIREFOX_DIRS
FILES = PROGRAMS_AND_DOCUMENTS | manifests(CHROME_DIRS + RPM_FIREFOX_DIRS)
# The folders that the base system's filesystem package owns on Fedora and openSUSE: never the package's.
BASE_DIRS = {"/", "/etc", "/etc/opt", "/usr", "/usr/bin", "/usr/lib", "/usr/lib64", "/usr/share", "/usr/share/doc",
             "/usr/share/man", "/usr/share/man/man1"}
# The package's own folders: every other parent of its files, which an erase takes away.
DIRS = {str(parent) for f in FILES for parent in Path(f).parents} - BASE_DIRS
DATABASE = "/var/lib/rpm"


def query(rpm, *options):
    result = run(["rpm", "-qp", *options, str(rpm)])
    harness.check(result.returncode == 0, f"rpm -qp {' '.join(options)} failed: {result.stderr}")
    return set(result.stdout.split("\n")) - {""}


def check_file_list(rpm):
    listed = query(rpm, "-l")
    harness.check(not listed & BASE_DIRS, f"the package claims folders of the base system: {listed & BASE_DIRS}")
    harness.check(listed == FILES | DIRS, f"entries {sorted(listed ^ (FILES | DIRS))} differ from what is expected")
    harness.check(query(rpm, "-c") == manifests(CHROME_DIRS), f"configuration files: {query(rpm, '-c')}")
    harness.check(query(rpm, "--qf", "%{NAME} %{VERSION} %{ARCH}") == {f"companion {project_version()} x86_64"},
                  f"name, version, architecture: {query(rpm, '--qf', '%{NAME} %{VERSION} %{ARCH}')}")


def check_requires(rpm):
    requires = query(rpm, "-R")
    harness.check({"libc.so.6()(64bit)", "libstdc++.so.6()(64bit)"} <= requires,
                  f"the requires do not come from the linked libraries: {sorted(requires)}")
    # Libraries, rpm's own features, and the package's configuration; no interpreter: nothing runs on install.
    others = {r for r in requires if not re.match(r"(\S+\.so\.\d+|rpmlib|rtld|config\(companion\))", r)}
    harness.check(not others, f"unexpected requires: {sorted(others)}")


def check_rpmlint(rpm):
    result = run(["rpmlint", "-c", str(SOURCE / "packaging" / "rpm" / "rpmlint.toml"), str(rpm)], timeout=600)
    findings = [line for line in result.stdout.splitlines() if re.search(r": [EW]: ", line)]
    print("rpmlint: " + ("\n".join(findings) or "nothing reported") + "\n" + result.stdout.strip().splitlines()[-1],
          flush=True)
    harness.check(result.returncode == 0 and not any(": E: " in line for line in findings),
                  f"rpmlint exited {result.returncode}:\n{result.stdout}{result.stderr}")


def tree(root):
    """Every path under root but the package database, relative to root, as absolute paths."""
    paths = set()
    for top, dirs, names in os.walk(root):
        relative = "/" + os.path.relpath(top, root).lstrip(".")
        dirs[:] = [d for d in dirs if os.path.join(relative, d) != DATABASE]
        paths |= {os.path.join(relative, name).replace("//", "/") for name in dirs + names}
    return paths


def installs_into_a_root_and_erases(rpm):
    with tempfile.TemporaryDirectory(prefix="companion-rpm-root-") as root:
        rpm_in_root = ["rpm", "--root", root, "--dbpath", DATABASE]
        harness.check(run(rpm_in_root + ["--initdb"]).returncode == 0, "rpm --initdb failed")
        for directory in BASE_DIRS:
            os.makedirs(root + directory, exist_ok=True)
        before = tree(root)
        # The root has no glibc package to satisfy the requires, hence --nodeps.
        result = run(rpm_in_root + ["-i", "--nodeps", str(rpm)], timeout=300)
        harness.check(result.returncode == 0, f"rpm -i failed:\n{result.stdout}{result.stderr}")
        installed = tree(root) - before
        harness.check(installed == FILES | DIRS, f"installed {sorted(installed ^ (FILES | DIRS))} differ from the list")
        check_manifests(root, RPM_FIREFOX_DIRS)
        version = run([f"{root}/usr/bin/companion", "--version"])
        harness.check(version.stdout == f"Version: {project_version()}\n", f"--version: {version.stdout!r}")
        harness.check("companion" in run(rpm_in_root + ["-q", "companion"]).stdout, "not in the root's database")

        result = run(rpm_in_root + ["-e", "companion"], timeout=300)
        harness.check(result.returncode == 0, f"rpm -e failed:\n{result.stdout}{result.stderr}")
        after = tree(root)
        harness.check(after == before, f"the erase left {sorted(after - before)}, lost {sorted(before - after)}")


def signing_keys(folder):
    """A throwaway code-signing certificate in a PKCS#12 file with its password file, and a GnuPG key in a keyring of
    its own, made in folder; the environment in which package.sh signs with them."""
    (folder / "password").write_text("throwaway password")
    (folder / "gnupg").mkdir(mode=0o700)
    env = dict(GNUPGHOME=f"{folder}/gnupg", COMPANION_SIGNING_GPG_KEY="test@companion.invalid",
               COMPANION_SIGNING_PKCS12=f"{folder}/signer.p12", COMPANION_SIGNING_PASSWORD_FILE=f"{folder}/password")
    for command in (f"openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Companion-test -addext "
                    f"extendedKeyUsage=codeSigning -keyout {folder}/key.pem -out {folder}/cert.pem",
                    f"openssl pkcs12 -export -inkey {folder}/key.pem -in {folder}/cert.pem -out {folder}/signer.p12 "
                    f"-passout file:{folder}/password",
                    "gpg --batch --passphrase= --quick-gen-key test@companion.invalid"):
        harness.check(run(command.split(), env=dict(os.environ, **env)).returncode == 0, f"{command} failed")
    return env


def verified(command, *expected, **options):
    """Runs a check that a user would run, which must exit 0 and say each expected text; prints what it says."""
    result = run(command, **options)
    print(f"$ {' '.join(map(str, command))}\n{result.stdout}{result.stderr}", flush=True)
    harness.check(result.returncode == 0 and all(e in result.stdout + result.stderr for e in expected), f"{command}")


def signed(folder, env):
    msis = built("msi", **env)
    for msi in msis:
        run(["msiextract", "-C", folder / msi.stem, msi])
    programs = sorted(folder.glob("companion-*/**/*.exe"))
    harness.check(len(programs) == 4, f"the installers hold the programs {programs}")
    for file in msis + programs:
        verified(["osslsigncode", "verify", "-CAfile", folder / "cert.pem", "-in", file],
                 "Message digest algorithm: SHA256", "Signature verification: ok")
    verified(["sha256sum", "-c", "SHA256SUMS"], "".join(f"{msi.name}: OK\n" for msi in msis), cwd=msis[0].parent)
    verified(["gpg", "--verify", "SHA256SUMS.asc", "SHA256SUMS"], "Good signature", cwd=msis[0].parent,
             env=dict(os.environ, **env))


def wrong_password(folder, env):
    (folder / "wrong").write_text("not-the-password-3141")
    result, packages = build(["msi"], **dict(env, COMPANION_SIGNING_PASSWORD_FILE=f"{folder}/wrong"))
    output = result.stdout + result.stderr
    harness.check(result.returncode != 0 and "Failed to parse PKCS#12 file" in output and not packages,
                  f"package.sh exited {result.returncode}, left {packages}:\n{output[-3000:]}")
    harness.check("not-the-password" not in output, "a command line or message shows the password")


def main():
    refuses_without_ids("rpm")
    [rpm], msis = built("rpm"), built("msi")
    with tempfile.TemporaryDirectory(prefix="companion-signing-") as name:
        try:
            folder, env = Path(name), signing_keys(Path(name))
            return harness.run_cases([
                ("file list, configuration files and no folder of the base system", lambda: check_file_list(rpm)),
                ("requires from the linked libraries only", lambda: check_requires(rpm)),
                ("rpmlint", lambda: check_rpmlint(rpm)),
                ("a second build in another folder is byte-identical, the Windows installers too",
                 lambda: rebuilds_identically(["rpm", "msi"], [rpm] + msis)),
                ("rpm -i into a temporary root, its files, rpm -e", lambda: installs_into_a_root_and_erases(rpm)),
                ("a wrong password fails the build with osslsigncode's reason", lambda: wrong_password(folder, env)),
                ("signed installers and programs, SHA256SUMS and its signature check", lambda: signed(folder, env)),
            ])
        finally:
            run(["gpgconf", "--kill", "gpg-agent"], env=dict(os.environ, GNUPGHOME=f"{name}/gnupg"))


if __name__ == "__main__":
    try:
        sys.exit(main())
    except harness.Failure as failure:
        sys.exit(f"FAILED: {failure}")
