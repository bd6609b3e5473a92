# Test of companion-doctor on real installs in temporary homes: what it finds
# for healthy and broken manifests, the agent's rendezvous name, sandboxed
# browsers and the log of a real run.
import json
import os
import socket
import subprocess
import sys
from pathlib import Path

import harness

CHROME_ID = "abcdefghijklmnopabcdefghijklmnop"
FIREFOX_ID = "doctor-test@companion.vantro"
CHROME_MANIFEST = "google-chrome/NativeMessagingHosts"


def doctor(sandbox):
    """The findings of the installed doctor, and its exit code."""
    result = subprocess.run([str(sandbox.prefix / "bin" / "companion-doctor"), "--json"], env=sandbox.env,
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=harness.STEP_TIMEOUT)
    return json.loads(result.stdout), result.returncode


def finding(findings, area):
    matches = [f for f in findings if f["area"] == area]
    harness.check(matches, f"no finding for {area}: {findings}")
    return matches[0]


def installed(build_dir, chrome=True, firefox=True):
    sandbox = harness.Sandbox("doctor")
    result = harness.install(build_dir, sandbox.env, sandbox.prefix, "user", [CHROME_ID] if chrome else [],
                             [FIREFOX_ID] if firefox else [])
    harness.check(result.returncode == 0, f"install step failed:\n{result.stdout}{result.stderr}")
    return sandbox


def healthy_install_is_ok(build_dir):
    sandbox = installed(build_dir)
    agent = harness.Agent(sandbox)
    try:
        findings, code = doctor(sandbox)
        browsers = [f for f in findings if f["area"].startswith("browser ")]
        harness.check(browsers and all(f["status"] == "ok" for f in browsers), f"browsers not all ok: {browsers}")
        harness.check(finding(findings, "agent")["status"] == "ok", f"agent: {findings}")
        harness.check(code == 0, f"exit code {code} for a healthy install")
    finally:
        agent.stop()
        sandbox.remove()


# Each row: what is wrong, the manifest's text (program and chrome origin filled in), the words of the problem.
BROKEN_CHROME = [
    ("bad JSON", '{{"name": "com.vantro.companion",', "not a JSON object"),
    ("wrong name", '{{"name": "com.other", "description": "d", "path": "{program}", "type": "stdio", '
                   '"allowed_origins": ["{origin}"]}}', '"name" must be'),
    ("relative path", '{{"name": "com.vantro.companion", "description": "d", "path": "bin/companion", '
                      '"type": "stdio", "allowed_origins": ["{origin}"]}}', "absolute path"),
    ("missing program", '{{"name": "com.vantro.companion", "description": "d", "path": "/nonexistent/companion", '
                        '"type": "stdio", "allowed_origins": ["{origin}"]}}', "missing or not executable"),
    ("malformed origin", '{{"name": "com.vantro.companion", "description": "d", "path": "{program}", '
                         '"type": "stdio", "allowed_origins": ["chrome-extension://ABC/"]}}', "32 letters a to p"),
]


def broken_manifests_are_problems(build_dir):
    sandbox = installed(build_dir)
    try:
        manifest = sandbox.home / ".config" / CHROME_MANIFEST / f"{harness.HOST_NAME}.json"
        for name, text, words in BROKEN_CHROME:
            manifest.write_text(text.format(program=sandbox.program, origin=f"chrome-extension://{CHROME_ID}/"))
            found = finding(doctor(sandbox)[0], "browser chrome")
            harness.check(found["status"] == "problem" and words in found["message"], f"{name}: {found}")
        firefox = sandbox.home / ".mozilla" / "native-messaging-hosts" / f"{harness.HOST_NAME}.json"
        firefox.write_text(json.dumps({"name": harness.HOST_NAME, "description": "d", "path": str(sandbox.program),
                                       "type": "stdio", "allowed_origins": [f"chrome-extension://{CHROME_ID}/"]}))
        found = finding(doctor(sandbox)[0], "browser firefox")
        harness.check(found["status"] == "problem" and "allowed_origins" in found["message"], f"firefox: {found}")
    finally:
        sandbox.remove()


def rendezvous_problems_are_named(build_dir):
    sandbox = installed(build_dir)
    try:
        findings, code = doctor(sandbox)
        harness.check(finding(findings, "agent")["status"] == "problem" and code == 1, f"no agent: {findings}")
        sandbox.socket_path.write_text("")
        found = finding(doctor(sandbox)[0], "agent")
        harness.check(found["status"] == "problem" and "not a socket" in found["message"], f"regular file: {found}")
        sandbox.socket_path.unlink()
        if os.geteuid() == 0:
            listener = socket.socket(socket.AF_UNIX)
            listener.bind(str(sandbox.socket_path))
            os.lchown(sandbox.socket_path, 65534, 65534)
            found = finding(doctor(sandbox)[0], "agent")
            listener.close()
            harness.check(found["status"] == "problem" and "uid 65534" in found["message"], f"foreign: {found}")
    finally:
        sandbox.remove()


def last_run_and_sandboxes_are_reported(build_dir):
    sandbox = installed(build_dir)
    agent = harness.Agent(sandbox)
    try:
        companion = subprocess.run([str(sandbox.program)], env=sandbox.env, input=b"", capture_output=True,
                                   timeout=harness.STEP_TIMEOUT)
        harness.check(companion.returncode == 246, f"the companion ended with {companion.returncode}")
        (sandbox.home / ".var" / "app" / "org.chromium.Chromium").mkdir(parents=True)
        (sandbox.home / "snap" / "firefox").mkdir(parents=True)
        findings, _ = doctor(sandbox)
        messages = [f["message"] for f in findings if f["area"] == "log"]
        harness.check(any("ended with 246" in m for m in messages), f"log findings: {messages}")
        notes = [f["message"] for f in findings if f["area"] == "sandbox" and f["status"] == "note"]
        harness.check(len(notes) == 2 and all("sandbox" in n for n in notes), f"sandbox notes: {notes}")
    finally:
        agent.stop()
        sandbox.remove()


def main(build_dir):
    return harness.run_cases([
        ("a healthy install is ok for every browser", lambda: healthy_install_is_ok(build_dir)),
        ("each broken manifest is its problem", lambda: broken_manifests_are_problems(build_dir)),
        ("a missing, non-socket or foreign rendezvous is a problem", lambda: rendezvous_problems_are_named(build_dir)),
        ("the last run and sandboxed browsers are reported", lambda: last_run_and_sandboxes_are_reported(build_dir)),
    ])


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
