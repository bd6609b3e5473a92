# Test of companion-doctor on real installs in temporary homes: what it finds for healthy and broken manifests, for
# folders it cannot read, for the agent's rendezvous name (judged as the companion judges it), sandboxed browsers,
# managed policy files and the log of real runs. Its --json report must always be valid JSON.
import json
import os
import pwd
import socket
import subprocess
import sys
from pathlib import Path

import harness

CHROME_ID = "abcdefghijklmnopabcdefghijklmnop"
FIREFOX_ID = "doctor-test@companion.vantro"
CHROME_MANIFEST = "google-chrome/NativeMessagingHosts"
NOBODY = 65534


def doctor(sandbox, env=None, user=None, etc=None):
    """The findings of the installed doctor, and its exit code; its report must be UTF-8 and JSON. etc: files (path
    under /etc: text) that the doctor alone sees there, in a mount namespace whose /etc is an overlay."""
    command = [str(sandbox.prefix / "bin" / "companion-doctor"), "--json"]
    if etc:
        upper, work = sandbox.root / "etc", sandbox.root / "etc-work"
        for path, text in etc.items():
            (upper / path).parent.mkdir(parents=True, exist_ok=True)
            (upper / path).write_text(text)
        work.mkdir(exist_ok=True)
        mount = f"mount -t overlay overlay -o lowerdir=/etc,upperdir={upper},workdir={work} /etc && exec \"$@\""
        command = ["unshare", "--mount", *([] if os.geteuid() == 0 else ["--map-root-user"]), "sh", "-c", mount, "sh",
                   *command]
    result = subprocess.run(command, env=env or sandbox.env,
                            user=user, stdin=subprocess.DEVNULL, capture_output=True, timeout=harness.STEP_TIMEOUT)
    harness.check(result.returncode in (0, 1), f"the doctor ended with {result.returncode}: {result.stderr!r}")
    try:
        return json.loads(result.stdout.decode("utf-8")), result.returncode
    except ValueError as error:
        raise harness.Failure(f"--json is not UTF-8 JSON ({error}): {result.stdout[:300]!r}") from None


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


def manifest(text):
    """A row's way to put a manifest (program and Chrome origin filled in) at the manifest's place."""
    def write(sandbox, place):
        place.write_text(text.format(program=sandbox.program, origin=f"chrome-extension://{CHROME_ID}/"))
    return write


def with_path(path):
    return lambda sandbox, place: manifest(VALID.replace("{program}", str(path(sandbox))))(sandbox, place)


def not_executable(sandbox):
    program = sandbox.root / "not-executable"
    program.write_text("#!/bin/sh\n")
    program.chmod(0o644)
    return program


VALID = ('{{"name": "com.vantro.companion", "description": "d", "path": "{program}", "type": "stdio", '
         '"allowed_origins": ["{origin}"]}}')

# Each row: what is wrong, how it is put at Chrome's manifest place, the words of the problem.
BROKEN_CHROME = [
    ("bad JSON", manifest('{{"name": "com.vantro.companion",'), "not a JSON object"),
    ("wrong name", manifest(VALID.replace("com.vantro.companion", "com.other")), '"name" must be'),
    ("relative path", manifest(VALID.replace("{program}", "bin/companion")), "absolute path"),
    ("missing program", with_path(lambda s: "/nonexistent/companion"), "which does not exist"),
    ("a directory as the program", with_path(lambda s: s.prefix / "bin"), "which is a directory"),
    ("a program that is not executable", with_path(not_executable), "which is not executable"),
    ("another program", with_path(lambda s: "/bin/true"), "not this companion"),
    ("an origin of no extension", manifest(VALID.replace("{origin}", "chrome-extension://ABC/")), "names no extension"),
    ("a symbolic link loop at the manifest's place", lambda s, place: place.symlink_to(place.name),
     "Too many levels of symbolic links"),
    ("a directory at the manifest's place", lambda s, place: place.mkdir(), "is a directory, not a manifest file"),
    ("a name of 300000 letters", manifest(VALID.replace("com.vantro.companion", "a" * 300000)), '"name" must be'),
    ("arrays nested 400000 deep", manifest(VALID.replace('"type"', '"x": ' + harness.nested(400000).decode() +
                                                         ', "type"')), "nested deeper than 199"),
    ("a file larger than any manifest", manifest(VALID + " " * (2 << 20)), "more than any manifest"),
]


def broken_manifests_are_problems(build_dir):
    """With the agent up and Chrome's manifest the only one, each broken one is a problem and the exit code 1."""
    sandbox = installed(build_dir, firefox=False)
    agent = harness.Agent(sandbox)
    try:
        config = sandbox.home / ".config"
        place = config / CHROME_MANIFEST / f"{harness.HOST_NAME}.json"
        for other in config.rglob(f"{harness.HOST_NAME}.json"):
            if other != place:
                other.unlink()
        for name, put, words in BROKEN_CHROME:
            if place.is_dir() and not place.is_symlink():
                place.rmdir()
            place.unlink(missing_ok=True)
            put(sandbox, place)
            findings, code = doctor(sandbox)
            found = [f for f in findings if f["area"] == "browser chrome" and f["status"] == "problem"]
            harness.check(found and words in found[0]["message"] and code == 1, f"{name}: exit {code}, {findings}")
        firefox = sandbox.home / ".mozilla" / "native-messaging-hosts" / f"{harness.HOST_NAME}.json"
        firefox.parent.mkdir(parents=True)
        firefox.write_text(json.dumps({"name": harness.HOST_NAME, "description": "d", "path": str(sandbox.program),
                                       "type": "stdio", "allowed_origins": [f"chrome-extension://{CHROME_ID}/"]}))
        found = finding(doctor(sandbox)[0], "browser firefox")
        harness.check(found["status"] == "problem" and "which Firefox does not know" in found["message"],
                      f"firefox: {found}")
    finally:
        agent.stop()
        sandbox.remove()


# Each row: what a managed policy says, the files that say it, the browser it concerns, the words of its problem.
POLICIES = [
    ("a Chromium policy file with a trailing comma",
     {"chromium/policies/managed/a.json": '{"NativeMessagingUserLevelHosts": false,}'}, "chromium",
     "NativeMessagingUserLevelHosts is false"),
    ("a Chromium policy file over 1 MiB",
     {"chromium/policies/managed/b.json": '{"NativeMessagingBlocklist": ["*"], "x": "' + "x" * (2 << 20) + '"}'},
     "chromium", "blocks com.vantro.companion"),
    ("Firefox's policies.json", {"firefox/policies/policies.json": '{"policies": {"NativeMessagingBlocklist": ["*"]}}'},
     "firefox", "blocks com.vantro.companion"),
]


def policies_are_read_as_the_browsers_read_them(build_dir):
    sandbox = installed(build_dir)
    try:
        for name, files, browser, words in POLICIES:
            found = finding(doctor(sandbox, etc=files)[0], f"browser {browser}")
            harness.check(found["status"] == "problem" and words in found["message"], f"{name}: {found}")
    finally:
        sandbox.remove()


def unreadable_folder_is_named(build_dir):
    """A ~/.config/chromium that a browser run with sudo left to root: named with its reason and fix, no crash."""
    sandbox = installed(build_dir)
    try:
        chromium = sandbox.home / ".config" / "chromium"
        user = None
        if os.geteuid() == 0:
            # Root reads everything: the doctor runs as another user, to whom the sandbox but that folder belongs.
            user = NOBODY
            sandbox.root.chmod(0o755)
            for top in (sandbox.home, sandbox.runtime, sandbox.state):
                for path in [top, *top.rglob("*")]:
                    os.lchown(path, NOBODY, NOBODY)
            os.chown(chromium, 0, 0)
        chromium.chmod(0o700 if user else 0)
        found = finding(doctor(sandbox, user=user)[0], "browser chromium")
        harness.check(found["message"] == f"cannot read {chromium}: Permission denied" and "chown" in found["fix"],
                      f"unreadable folder: {found}")
    finally:
        chromium.chmod(0o700)
        sandbox.remove()


def home_comes_from_the_password_database(build_dir):
    """Without HOME the doctor looks where the companion would: the home of the user's password entry."""
    sandbox = installed(build_dir)
    try:
        env = {k: v for k, v in sandbox.env.items() if k not in ("HOME", "XDG_CONFIG_HOME")}
        home = pwd.getpwuid(os.geteuid()).pw_dir
        found = [f["message"] for f in doctor(sandbox, env)[0] if f["area"] == "browser chrome-beta"]
        harness.check(found and f"{home}/.config/google-chrome-beta/NativeMessagingHosts" in found[0],
                      f"without HOME: {found}")
    finally:
        sandbox.remove()


def report_is_json_for_any_path(build_dir):
    """Paths that are not UTF-8 still give a valid --json report, with the bytes replaced."""
    sandbox = installed(build_dir)
    try:
        env = dict(sandbox.env)
        env["XDG_CONFIG_HOME"] = os.fsdecode(bytes(sandbox.home) + b"/conf\xff")
        found = finding(doctor(sandbox, env)[0], "browser chrome")
        harness.check("conf\ufffd" in found["message"], f"the byte was not replaced: {found}")
    finally:
        sandbox.remove()


def listen_as(uid, path):
    """A process that listens on path as another user, as the companion's SO_PEERCRED and the kernel see it."""
    code = ("import os, socket, sys\n"
            f"os.seteuid({uid}); s = socket.socket(socket.AF_UNIX); os.seteuid(0); s.bind({str(path)!r})\n"
            f"os.seteuid({uid}); s.listen(); print('ready', flush=True); sys.stdin.read()\n")
    process = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    harness.check(process.stdout.readline().strip() == "ready", "the foreign listener did not start")
    return process


# Each row: what is at the rendezvous path, how it is made, the doctor's status and words, the companion's exit code.
RENDEZVOUS = [
    ("nothing", lambda s: None, "problem", "the agent is not running", 240),
    ("a file", lambda s: s.socket_path.write_text(""), "problem", "is a file, not a socket", 240),
    ("a directory", lambda s: s.socket_path.mkdir(), "problem", "is a directory, not a socket", 240),
    ("a socket an agent left when it crashed",
     lambda s: socket.socket(socket.AF_UNIX).bind(str(s.socket_path)), "problem", "that nothing listens on", 240),
    ("the agent", harness.Agent, "ok", "listened on by a server of this user", 246),
]
if os.geteuid() == 0:
    RENDEZVOUS.append(("a socket file of this user that another user serves", lambda s: listen_as(NOBODY, s.socket_path),
                       "problem", f"listened on by uid {NOBODY}, not by this user", 242))


def rendezvous_is_judged_as_the_companion_judges_it(build_dir):
    sandbox = installed(build_dir)
    try:
        for name, make, status, words, companion_code in RENDEZVOUS:
            server = make(sandbox)
            try:
                findings, code = doctor(sandbox)
                found = finding(findings, "agent")
                companion = subprocess.run([str(sandbox.program)], env=sandbox.env, input=b"", capture_output=True,
                                           timeout=harness.STEP_TIMEOUT)
            finally:
                if isinstance(server, harness.Agent):
                    server.stop()
                elif isinstance(server, subprocess.Popen):
                    server.stdin.close()
                    server.wait(timeout=harness.STEP_TIMEOUT)
            harness.check(found["status"] == status and words in found["message"] and code == (status != "ok"),
                          f"{name}: exit {code}, {found}")
            harness.check(companion.returncode == companion_code,
                          f"{name}: the companion ended with {companion.returncode}, not {companion_code}")
            if sandbox.socket_path.is_dir():
                sandbox.socket_path.rmdir()
            sandbox.socket_path.unlink(missing_ok=True)
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
        harness.check(finding(findings, "log")["path"] == str(sandbox.log_path), f"log path: {finding(findings, 'log')}")
        notes = [f["message"] for f in findings if f["area"] == "sandbox" and f["status"] == "note"]
        harness.check(len(notes) == 2 and "no portal" in notes[0] and "WebExtensions portal" in notes[1],
                      f"sandbox notes: {notes}")
    finally:
        agent.stop()
        sandbox.remove()


def run_ended_from_outside_is_the_last_run(build_dir):
    """A run that the browser killed, as browsers do seconds after closing the port, is the one described, as no
    crash."""
    sandbox = installed(build_dir)
    agent = harness.Agent(sandbox)
    try:
        subprocess.run([str(sandbox.program)], env=sandbox.env, input=b"", timeout=harness.STEP_TIMEOUT)
        killed = subprocess.Popen([str(sandbox.program)], env=sandbox.env, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        harness.wait_until(lambda: "Loop started" in harness.log_messages(sandbox.log_path, killed.pid),
                           "the relay's start")
        killed.kill()
        killed.wait(timeout=harness.STEP_TIMEOUT)
        messages = [f["message"] for f in doctor(sandbox)[0] if f["area"] == "log"]
        harness.check(any(f"process {killed.pid}" in m and "no crash" in m for m in messages) and
                      not any("ended with" in m for m in messages), f"log findings: {messages}")
    finally:
        agent.stop()
        sandbox.remove()


def debug_logging_is_a_problem(build_dir):
    sandbox = installed(build_dir)
    try:
        (sandbox.program.parent / "companion.debug").write_text("")
        found = [f for f in doctor(sandbox)[0] if f["area"] == "log" and f["status"] == "problem"]
        harness.check(found and "debug logging is on" in found[0]["message"] and "companion.debug" in found[0]["fix"],
                      f"debug logging: {found}")
    finally:
        sandbox.remove()


def log_is_read_from_its_end(build_dir):
    """The last relay's code is the one at the log's end, however long the log grew; a directory there is named."""
    sandbox = installed(build_dir)
    try:
        record = "2026-01-01 00:00:00\tUTC\t[1]\t[INFO]    :\tReturn code: {}\t[companion.cpp:1]\n"
        sandbox.log_path.parent.mkdir(parents=True)
        with open(sandbox.log_path, "w") as log:
            log.write(record.format(240))
            log.truncate(100 << 20)  # a debug session's worth of records, as a sparse file
            log.seek(0, os.SEEK_END)
            log.write("\n" + record.format(247))
        messages = [f["message"] for f in doctor(sandbox)[0] if f["area"] == "log"]
        harness.check(any("ended with 247" in m for m in messages), f"log findings: {messages}")
        sandbox.log_path.unlink()
        sandbox.log_path.mkdir()
        found = finding(doctor(sandbox)[0], "log")
        harness.check(found["status"] == "problem" and "is a directory, not a file" in found["message"],
                      f"a directory as the log: {found}")
    finally:
        sandbox.remove()


def main(build_dir):
    return harness.run_cases([
        ("a healthy install is ok for every browser", lambda: healthy_install_is_ok(build_dir)),
        ("each broken manifest is its problem", lambda: broken_manifests_are_problems(build_dir)),
        ("a folder that cannot be read is named with its fix", lambda: unreadable_folder_is_named(build_dir)),
        ("without HOME the companion's home is searched", lambda: home_comes_from_the_password_database(build_dir)),
        ("the --json report is valid for any path", lambda: report_is_json_for_any_path(build_dir)),
        ("the rendezvous is judged as the companion judges it",
         lambda: rendezvous_is_judged_as_the_companion_judges_it(build_dir)),
        ("the last run and sandboxed browsers are reported", lambda: last_run_and_sandboxes_are_reported(build_dir)),
        ("the last run's code comes from the log's end", lambda: log_is_read_from_its_end(build_dir)),
        ("a run ended from outside is the last run", lambda: run_ended_from_outside_is_the_last_run(build_dir)),
        ("debug logging is a problem with its fix", lambda: debug_logging_is_a_problem(build_dir)),
        ("policies are read as the browsers read them", lambda: policies_are_read_as_the_browsers_read_them(build_dir)),
    ])


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
