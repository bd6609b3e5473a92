# End-to-end test in a real browser: the test extension talks through connectNative to the companion, which the browser starts, and the example agent echoes.
import json
import subprocess
import sys

import harness

# About 700 KiB of JSON text, under the 1 MB that a browser accepts in one message from a host;
# numbered so that a lost, doubled or reordered chunk shows.
LARGE_TEXT = "".join(f"{index:07d}," for index in range(700 * 1024 // 8))

# Each row: a name and the messages that one session sends and expects back in order.
ECHO_CASES = [
    ("several messages in order",
     [1, "two", {"three": [3, 3.5, None, True, False]}, [], "", {"nested": {"deeper": ["x", {"y": -7}]}}]
     + [f"numbered {index}" for index in range(50)]),
    ("one message of about 700 KiB", [LARGE_TEXT]),
    ("text outside ASCII and outside the Basic Multilingual Plane",
     ["Grüße, Ελληνικά, русский, 日本語", "😀 🎵 𝄞 𠜎 outside the BMP", {"clé 🔑": "valeur ∑ \u00a0 \u200d"}]),
    ("a disconnect before any message", []),
]


def echo_then_disconnect(run, messages):
    """Echoes the messages in one session, then disconnects from the extension side."""
    session = run.open_session()
    harness.check(session.argv[1:] == run.browser.expected_arguments(),
                  f"the browser passed {session.argv[1:]}, expected {run.browser.expected_arguments()}")
    run.echo(messages)
    run.control.send("disconnect")
    run.wait_ended(session)


def agent_stops_mid_session(run):
    """The agent going away ends the companion, and the extension sees its port disconnect."""
    session = run.open_session()
    run.echo(["before the agent stops"])
    run.stop_agent()
    run.control.expect("disconnect")
    run.wait_ended(session)


# One byte over the longest message that Chromium and Firefox take from a host.
OVERSIZED = 1048577
OVERSIZED_RECORD = f"Message to stdout of {OVERSIZED} bytes is over the browsers' limit of 1048576 bytes"


def oversized_message_from_the_agent(run):
    """A message from the agent over the browsers' limit: the browser closes the port, the companion's log says why
    before its usual ending, and companion-doctor names it."""
    run.stop_agent()
    run.start_agent(["--send-frame", str(OVERSIZED)])
    session = run.open_session()
    run.control.send("send", message="the agent answers this one with its oversized message")
    reason = run.control.expect("disconnect")["reason"]
    harness.check(reason, "the browser closed the port without an error")
    # Chromium closes both pipes, so the companion's write may fail before its read does; Firefox closes only
    # standard input.
    run.wait_ended(session, codes=(246, 247))
    record = f"\t[{session.pid}]\t[WARNING] :\t{OVERSIZED_RECORD}\t"
    harness.check(record in run.sandbox.log_path.read_text(encoding="utf-8"),
                  f"no Warning record of the oversized message: {harness.log_messages(run.sandbox.log_path, session.pid)}")
    findings = [f for f in doctor_findings(run)[0] if f["area"] == "log" and f["status"] == "problem"]
    harness.check(any(OVERSIZED_RECORD in f["message"] for f in findings),
                  f"companion-doctor does not name the oversized message: {findings}")


def browser_quits_mid_session(run):
    """Quitting the browser with a port open ends the companion too; nothing is left behind."""
    session = run.open_session()
    run.echo(["before the browser quits"])
    run.browser.quit()
    run.wait_ended(session)


SCENARIOS = [(name, lambda run, messages=messages: echo_then_disconnect(run, messages))
             for name, messages in ECHO_CASES] + [
    ("the agent stops mid-session", agent_stops_mid_session),
    ("a message from the agent over the browsers' limit", oversized_message_from_the_agent),
    ("the browser quits mid-session", browser_quits_mid_session),
]


def doctor_findings(run):
    """The installed companion-doctor's findings, and its exit code."""
    result = subprocess.run([str(run.sandbox.prefix / "bin" / "companion-doctor"), "--json"], env=run.sandbox.env,
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=harness.STEP_TIMEOUT)
    return json.loads(result.stdout), result.returncode


def doctor_reports_ok(run, browser_name):
    """The installed companion-doctor finds this browser's manifest and the agent ok before the browser uses them."""
    run.start_agent()
    try:
        findings, code = doctor_findings(run)
        browser = [f for f in findings if f["area"] == f"browser {browser_name}"]
        harness.check(code == 0 and browser and browser[0]["status"] == "ok",
                      f"companion-doctor exited {code}: {findings}")
    finally:
        run.stop_agent()
    print("ok: companion-doctor reports the install ok", flush=True)


def manifest_rules_agree(run, browser_name):
    """Each manifest variant, loaded once: the browser starts the host for it exactly when the table says, and
    companion-doctor says ok for this browser exactly then."""
    column = 2 if browser_name == "chromium" else 3
    manifest = run.browser.manifest_path
    installed = manifest.read_bytes()
    run.start_agent()
    try:
        for row in harness.MANIFEST_VARIANTS:
            name, template, expected = row[0], row[1], row[column]
            if expected is None:
                continue
            manifest.write_bytes(run.browser.manifest_for(template))
            findings = [f for f in doctor_findings(run)[0] if f["area"] == f"browser {browser_name}"]
            doctor_ok = any(f["status"] == "ok" for f in findings)
            run.control.check_quiet()
            session = run.try_session()
            if session:
                run.control.send("disconnect")
                run.wait_ended(session)
            harness.check((session is not None, doctor_ok) == (expected, expected),
                          f"{name}: {browser_name} started the host: {session is not None}, the doctor said ok: "
                          f"{doctor_ok}, expected {expected}; doctor: {findings}")
    finally:
        manifest.write_bytes(installed)
        run.stop_agent()
    checked = sum(row[column] is not None for row in harness.MANIFEST_VARIANTS)
    print(f"ok: {browser_name} and companion-doctor agree on {checked} manifest rules",
          flush=True)


def run_scenarios(run):
    """Runs the scenarios in order, each against a fresh agent; stops at the first failure."""
    for name, scenario in SCENARIOS:
        run.control.check_quiet()
        run.start_agent()
        try:
            scenario(run)
        finally:
            run.stop_agent()
        print(f"ok: {name}", flush=True)


def check_browser(run, build_dir, browser_name):
    """The whole browser test on one run: the doctor first, then every scenario; 0 when all passed."""
    try:
        run.start(build_dir)
        doctor_reports_ok(run, browser_name)
        # A package's manifests are the system's: the rules are checked on the per-user one of a build.
        if not run.sandbox.installed:
            manifest_rules_agree(run, browser_name)
        run_scenarios(run)
        left = run.close()
        harness.check(not left, f"companion processes left behind: {left}")
    except harness.Failure as failure:
        print(f"FAILED: {failure}\n{run.diagnostics()}", file=sys.stderr)
        return 1
    finally:
        run.close()
    print("ok: no companion left behind once the browser is gone")
    run.sandbox.remove()
    return 0


def main(browser_name, build_dir):
    return check_browser(harness.BrowserRun(harness.BROWSERS[browser_name]), build_dir, browser_name)


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in harness.BROWSERS:
        sys.exit(f"usage: {sys.argv[0]} {'|'.join(harness.BROWSERS)} BUILD_DIR")
    sys.exit(main(sys.argv[1], sys.argv[2]))
