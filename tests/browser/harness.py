# Shared harness of the browser tests: a sandboxed install, the example agent, a control server on 127.0.0.1 and a real browser running the test extension.
import base64
import contextlib
import hashlib
import http.server
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HOST_NAME = "com.vantro.companion"
EXTENSION_DIR = Path(__file__).resolve().parent / "extension"
FIREFOX_EXTENSION_ID = "browser-test@companion.vantro"
# Hang guards only: nothing asserts how fast anything is.
STARTUP_TIMEOUT = 120
STEP_TIMEOUT = 60


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def run_cases(cases):
    """Runs (name, callable) cases, printing each outcome; 1 when any failed, else 0."""
    failed = 0
    for name, case in cases:
        try:
            case()
            print(f"ok: {name}")
        except Failure as failure:
            failed += 1
            print(f"FAILED: {name}: {failure}", file=sys.stderr)
    return 1 if failed else 0


def wait_until(predicate, what, timeout=STEP_TIMEOUT):
    """Polls predicate until it returns a true value, which it returns; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.05)


def read_json(path):
    try:
        return json.loads(Path(path).read_text(encoding="utf-8"))
    except ValueError as error:
        raise Failure(f"{path} is not JSON: {error}") from None


def first_difference(actual, expected):
    """Describes where two long texts first differ, without printing them whole."""
    for index, (a, e) in enumerate(zip(actual, expected)):
        if a != e:
            return f"first difference at {index}: {actual[index:index + 20]!r} != {expected[index:index + 20]!r}"
    return f"lengths differ: {len(actual)} != {len(expected)}"


class Sandbox:
    """A private home, runtime, state and install prefix, so a test touches nothing of the machine's user."""

    def __init__(self, name, prefix=None):
        """prefix: where the companion is installed already (a package); by default a private one, empty."""
        self.root = Path(tempfile.mkdtemp(prefix=f"companion-{name}-"))
        self.home = self.root / "home"
        self.runtime = self.root / "run"
        self.state = self.root / "state"
        self.installed = prefix is not None
        self.prefix = Path(prefix) if prefix else self.root / "prefix"
        for directory in (self.home, self.runtime, self.state):
            directory.mkdir(mode=0o700)

    @property
    def env(self):
        # Built from nothing so that no display, session bus or proxy setting of the caller leaks in.
        return {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": str(self.home),
            "XDG_RUNTIME_DIR": str(self.runtime),
            "XDG_STATE_HOME": str(self.state),
            "XDG_CONFIG_HOME": str(self.home / ".config"),
            "LANG": "C.UTF-8",
            "TMPDIR": str(self.root),
        }

    @property
    def program(self):
        return self.prefix / "bin" / "companion"

    @property
    def log_path(self):
        return self.state / "QM" / "quillmere2" / "logs" / "companion.log"

    @property
    def socket_path(self):
        # The rendezvous rule, worked out independently of the companion.
        digest = hashlib.sha1(str(os.geteuid()).encode()).hexdigest()
        return self.runtime / f"vantro-{digest}"

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def install(build_dir, env, prefix, scope, chrome_ids=(), firefox_ids=(), destdir=None, options=(), cwd=None):
    """Runs the build's install step (what `cmake --install` runs) with the manifest options given, in cwd."""
    command = [
        "cmake",
        f"-DCMAKE_INSTALL_PREFIX={prefix}",
        f"-DCOMPANION_MANIFEST_SCOPE={scope}",
        f"-DCOMPANION_CHROME_EXTENSION_IDS={','.join(chrome_ids)}",
        f"-DCOMPANION_FIREFOX_EXTENSION_IDS={','.join(firefox_ids)}",
        *options,
        "-P", str(Path(build_dir).resolve() / "cmake_install.cmake"),
    ]
    env = dict(env, DESTDIR=str(destdir)) if destdir else env
    return subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=STEP_TIMEOUT)


def chrome_extension_id(public_key_base64):
    """Chromium's id of an extension with this manifest key: SHA-256 of the key, 32 hex digits spelt a to p."""
    digest = hashlib.sha256(base64.b64decode(public_key_base64)).hexdigest()[:32]
    return "".join(chr(ord("a") + int(digit, 16)) for digit in digest)


def chromium_extension_id():
    """The id of the Chromium test extension, fixed by the key in its manifest."""
    manifest = json.loads((EXTENSION_DIR / "chromium" / "manifest.json").read_text())
    return chrome_extension_id(manifest["key"])


def companion_processes(program):
    """Pids of the live processes running this companion binary."""
    found = set()
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and os.readlink(entry / "exe") == str(program):
                found.add(int(entry.name))
        except OSError:
            continue  # gone meanwhile, or a zombie
    return found


def process_arguments(pid):
    """The argument vector of a running process; empty while the kernel has not yet filled it in after exec."""
    return (Path("/proc") / str(pid) / "cmdline").read_bytes().decode().split("\0")[:-1]


def log_messages(log_path, pid):
    """The messages of one companion process's records in the tab-separated log."""
    messages = []
    for line in log_path.read_text(encoding="utf-8").splitlines():
        if not line:
            continue  # each process start leaves an empty line before its records
        fields = line.split("\t")
        check(len(fields) == 6 and fields[1] == "UTC", f"malformed log record: {line!r}")
        if fields[2] == f"[{pid}]":
            messages.append(fields[4])
    return messages


class Agent:
    """The example agent, echoing on the sandbox's rendezvous socket."""

    def __init__(self, sandbox, program=None, options=()):
        program = program or sandbox.prefix / "bin" / "companion-agent"
        self.process = subprocess.Popen([str(program), *options], env=sandbox.env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        ready = self.process.stdout.readline().strip()
        check(ready == f"ready {sandbox.socket_path}", f"agent did not come up on the rendezvous path: {ready!r}")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=STEP_TIMEOUT)
        self.process.stdout.close()


class ControlServer:
    """HTTP endpoint on 127.0.0.1: the extension long-polls /command and posts what it sees to /event."""

    POLL_SECONDS = 5

    def __init__(self):
        self.commands = queue.Queue()
        self.events = queue.Queue()
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server.server_address[1]}"

    def _handler(self):
        control = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                try:
                    command = control.commands.get(timeout=control.POLL_SECONDS)
                except queue.Empty:
                    command = {"op": "idle"}
                self._reply(json.dumps(command).encode())

            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                control.events.put(json.loads(body))
                self._reply(b"{}")

            def _reply(self, body):
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                with contextlib.suppress(BrokenPipeError, ConnectionResetError):
                    self.wfile.write(body)  # unless the browser quit during a long poll

            def log_message(self, *args):
                pass  # the test's output stays readable

        return Handler

    def send(self, op, **fields):
        self.commands.put(dict(op=op, **fields))

    def expect(self, kind, timeout=STEP_TIMEOUT):
        """The next event, which must be of this kind."""
        try:
            event = self.events.get(timeout=timeout)
        except queue.Empty:
            raise Failure(f"no {kind!r} event from the extension") from None
        check(event.get("type") == kind, f"expected a {kind!r} event, got {str(event)[:300]}")
        return event

    def check_quiet(self):
        """Fails on an event that nothing asked for, such as an echo too many."""
        if not self.events.empty():
            raise Failure(f"unexpected event: {str(self.events.get())[:300]}")

    def close(self):
        if self.thread.is_alive():
            self.server.shutdown()
            self.server.server_close()


class Browser:
    """A browser process with a fresh profile and the test extension; subclasses say how each browser does it."""

    name = None
    extension_id = None

    def __init__(self, sandbox, control):
        self.sandbox = sandbox
        self.extension = sandbox.root / "extension"
        shutil.copytree(EXTENSION_DIR / self.name, self.extension)
        shutil.copy(EXTENSION_DIR / "background.js", self.extension)
        (self.extension / "config.json").write_text(json.dumps({"harness": control.url}))
        self.output_path = sandbox.root / f"{self.name}.out"
        with open(self.output_path, "wb") as output:
            # Its own session, so that the whole browser can be stopped as one group.
            self.process = subprocess.Popen(self.command(), env=self.environment(), stdin=subprocess.DEVNULL,
                                            stdout=output, stderr=subprocess.STDOUT, start_new_session=True)

    def command(self):
        raise NotImplementedError

    def environment(self):
        return self.sandbox.env

    def expected_arguments(self):
        """Arguments that the browser must pass to the companion."""
        raise NotImplementedError

    def output_tail(self):
        return self.output_path.read_text(errors="replace")[-3000:]

    def manifest_for(self, template):
        """A manifest variant's bytes for this browser, the sandbox's program and the test extension."""
        origin = f"chrome-extension://{self.extension_id}"
        text = (template.replace(b"@PATH@", str(self.sandbox.program).encode())
                .replace(b"@KEY@", self.manifest_list.encode())
                .replace(b"@ID@", (f"{origin}/" if self.manifest_list == "allowed_origins" else self.extension_id).encode())
                .replace(b"@UPPER_ID@", f"chrome-extension://{self.extension_id.upper()}/".encode())
                .replace(b"@ORIGIN_NO_SLASH@", origin.encode()))
        return b"\xff\xfe" + text.decode().encode("utf-16-le") if isinstance(template, Utf16) else text

    def quit(self):
        """Asks the browser's main process to end, as a desktop would, and waits until all of its group is gone.

        Only the main process is signalled: companions may share the browser's process group, and ending
        them is the browser's business. Whatever of the group outlives the hang guard is killed, and fails the test.
        """
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(timeout=STEP_TIMEOUT)
            wait_until(lambda: not _group_members(self.process.pid), f"{self.name}'s processes to end")
        except (subprocess.TimeoutExpired, Failure):
            left = _group_members(self.process.pid)
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
            raise Failure(f"still running after {self.name} was asked to quit: {left}") from None


def _group_members(group):
    """Pids and program names of the live processes of a process group; zombies have ended and do not count."""
    members = {}
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            text = stat.read_text()
        except OSError:
            continue  # ended meanwhile
        name, fields = text[text.index("(") + 1:text.rindex(")")], text[text.rindex(")") + 2:].split()
        state, group_id = fields[0], int(fields[2])
        if group_id == group and state != "Z":
            members[int(stat.parent.name)] = name
    return members


class Chromium(Browser):
    name = "chromium"
    # The program itself, not Debian's launcher script, which adds flags from /etc/chromium.d
    # (remote extensions allowed, API keys) that the test does not want.
    binary = "/usr/lib/chromium/chromium"

    extension_id = chromium_extension_id()
    manifest_list = "allowed_origins"

    @property
    def user_data_dir(self):
        # Chromium reads per-user host manifests from <user-data-dir>/NativeMessagingHosts, which is
        # where the install step puts them for the sandbox's home.
        return self.sandbox.home / ".config" / "chromium"

    def command(self):
        return [
            self.binary,
            "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
            f"--user-data-dir={self.user_data_dir}",
            "--no-first-run", "--no-default-browser-check", "--disable-default-apps",
            # Off the network: no background services, no QUIC, every host name unresolvable except
            # the loopback address, and anything that still tries goes to a dead local proxy port.
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-domain-reliability", "--disable-client-side-phishing-detection", "--disable-breakpad",
            "--disable-quic", "--proxy-server=http://127.0.0.1:9",
            "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
            "--disable-features=DisableLoadExtensionCommandLineSwitch,MediaRouter,OptimizationHints,Translate",
            f"--load-extension={self.extension}",
            "about:blank",
        ]

    @property
    def manifest_path(self):
        return self.user_data_dir / "NativeMessagingHosts" / f"{HOST_NAME}.json"

    def expected_arguments(self):
        return [f"chrome-extension://{self.extension_id}/"]


# Preferences of the fresh Firefox profile: run the unsigned test extension, and stay off the network.
FIREFOX_PREFERENCES = {
    "xpinstall.signatures.required": False,
    "extensions.autoDisableScopes": 0,
    "extensions.update.enabled": False,
    "extensions.getAddons.cache.enabled": False,
    "extensions.blocklist.enabled": False,
    "extensions.systemAddon.update.enabled": False,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.page": 0,
    "browser.startup.homepage_override.mstone": "ignore",
    "browser.aboutwelcome.enabled": False,
    "browser.newtabpage.enabled": False,
    "browser.region.update.enabled": False,
    "browser.region.network.url": "",
    "browser.search.update": False,
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "browser.safebrowsing.downloads.enabled": False,
    "browser.safebrowsing.blockedURIs.enabled": False,
    "browser.safebrowsing.provider.mozilla.updateURL": "",
    "browser.safebrowsing.provider.google4.updateURL": "",
    "datareporting.policy.dataSubmissionEnabled": False,
    "datareporting.healthreport.uploadEnabled": False,
    "toolkit.telemetry.enabled": False,
    "toolkit.telemetry.server": "",
    "app.normandy.enabled": False,
    "app.update.auto": False,
    "app.shield.optoutstudies.enabled": False,
    "services.settings.server": "http://127.0.0.1:9/v1",
    "geo.provider.network.url": "",
    "media.gmp-manager.url": "",
    "media.gmp-provider.enabled": False,
    "identity.fxaccounts.enabled": False,
    "dom.push.connection.enabled": False,
    "security.OCSP.enabled": 0,
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "network.dns.disablePrefetch": True,
    "network.prefetch-next": False,
    "network.http.speculative-parallel-limit": 0,
    "network.trr.mode": 5,
    # Anything that still goes out meets a dead local proxy port; the loopback address is never proxied.
    "network.proxy.type": 1,
    "network.proxy.http": "127.0.0.1",
    "network.proxy.http_port": 9,
    "network.proxy.ssl": "127.0.0.1",
    "network.proxy.ssl_port": 9,
    "network.proxy.socks_remote_dns": True,
    # Without this Firefox tries a connection directly when the proxy does not answer.
    "network.proxy.failover_direct": False,
}


class Firefox(Browser):
    name = "firefox"
    binary = "/usr/lib/firefox-esr/firefox-esr"
    extension_id = FIREFOX_EXTENSION_ID
    manifest_list = "allowed_extensions"

    def __init__(self, sandbox, control):
        self.profile = sandbox.root / "firefox-profile"
        (self.profile / "extensions").mkdir(parents=True)
        prefs = "".join(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in FIREFOX_PREFERENCES.items())
        (self.profile / "user.js").write_text(prefs)
        # A file named after the extension id and holding the extension's path installs it unpacked.
        (self.profile / "extensions" / self.extension_id).write_text(str(sandbox.root / "extension"))
        super().__init__(sandbox, control)

    def command(self):
        return [self.binary, "--headless", "--no-remote", "--profile", str(self.profile), "about:blank"]

    def environment(self):
        # A release build takes the remote-settings server from the preferences only with MOZ_REMOTE_SETTINGS_DEVTOOLS.
        return dict(self.sandbox.env, MOZ_CRASHREPORTER_DISABLE="1", MOZ_REMOTE_SETTINGS_DEVTOOLS="1")

    @property
    def manifest_path(self):
        return self.sandbox.home / ".mozilla" / "native-messaging-hosts" / f"{HOST_NAME}.json"

    def expected_arguments(self):
        # Firefox passes the host manifest's path and the extension's id.
        return [str(self.manifest_path), self.extension_id]


BROWSERS = {browser.name: browser for browser in (Chromium, Firefox)}


class Utf16(bytes):
    """A manifest written as UTF-16 with its byte-order mark, as Notepad saves "Unicode"."""


def manifest_text(description=b'"d"', name=b'"com.vantro.companion"', path=b'"@PATH@"', allowed=b'["@ID@"]',
                  extra=b"", drop=()):
    """A host manifest's bytes with one part replaced: @PATH@ stands for the program, @KEY@ for the browser's list
    (allowed_origins or allowed_extensions) and @ID@ for the test extension's entry in it."""
    members = [(b"name", name), (b"description", description), (b"path", path), (b"type", b'"stdio"'),
               (b"@KEY@", allowed)]
    text = b", ".join(b'"%s": %s' % (key, value) for key, value in members if key.decode() not in drop)
    return b"{" + text + extra + b"}"


def nested(depth, inner=b""):
    return b"[" * depth + inner + b"]" * depth


# Each row: one rule of the browsers' manifest readers, the manifest that shows it, and whether Chromium and
# Firefox start the host for the test extension with it (None: a rule of the other family only). Checked against
# both browsers and companion-doctor by browser_test.py; the rules and their sources are listed in docs/troubleshooting.md.
MANIFEST_VARIANTS = [
    ("as the install step writes it", manifest_text(), True, True),
    ("a UTF-8 byte-order mark, as Notepad writes it", b"\xef\xbb\xbf" + manifest_text(), True, True),
    ("a second byte-order mark", b"\xef\xbb\xbf\xef\xbb\xbf" + manifest_text(), False, False),
    ("UTF-16 with its byte-order mark", Utf16(manifest_text()), False, False),
    ("a Latin-1 byte in a string", manifest_text(description=b'"caf\xe9"'), False, False),
    ("a surrogate encoded in UTF-8", manifest_text(description=b'"\xed\xa0\x80"'), False, False),
    ("an overlong UTF-8 form", manifest_text(description=b'"\xc0\xaf"'), False, False),
    ("a Latin-1 byte in a comment", b"/* caf\xe9 */" + manifest_text(), True, False),
    ("the noncharacter U+FFFF, raw and escaped", manifest_text(description=b'"\xef\xbf\xbf \\uffff"'), True, True),
    ("a lone high surrogate", manifest_text(description=b'"\\ud800"'), False, True),
    ("a high surrogate before another escape", manifest_text(description=b'"\\ud800\\u0041"'), False, True),
    ("a lone low surrogate", manifest_text(description=b'"\\udc00"'), False, True),
    ("every JSON escape and a surrogate pair",
     manifest_text(description=b'"\\" \\\\ \\/ \\b \\f \\n \\r \\t \\u00e9 \\ud83d\\ude00 \\u0000"'), True, True),
    ("a \\x escape", manifest_text(description=b'"\\x41\\xff"'), True, False),
    ("a \\v escape", manifest_text(description=b'"\\v"'), False, False),
    ("a raw control character in a string", manifest_text(description=b'"a\x01b"'), False, False),
    ("a raw tab in a string", manifest_text(description=b'"a\tb"'), False, False),
    ("raw line feed and carriage return in a string", manifest_text(description=b'"a\nb\rc"'), True, False),
    ("comments between tokens", b"// c\n" + manifest_text(extra=b" /* c */ ").replace(b'"type":', b'"type" /**/:'),
     True, False),
    ("a // comment that only a carriage return ends", b"// c\r" + manifest_text(), False, False),
    ("a comment without its end", manifest_text() + b"/* c", False, False),
    ("number forms JSON allows", manifest_text(extra=b', "x": [-0, 0.5e+10, 1E-400, 12345678901234567890123]'),
     True, False),
    ("a number with a leading zero", manifest_text(extra=b', "x": 01'), False, False),
    ("a number ending in its decimal point", manifest_text(extra=b', "x": 1.'), False, False),
    ("a hexadecimal number", manifest_text(extra=b', "x": 0x10'), False, False),
    ("a number beyond a double's range", manifest_text(extra=b', "x": 1e400'), False, False),
    ("a member the browser does not know", manifest_text(extra=b', "x": 1'), True, False),
    ("a duplicate member, the last one right", manifest_text(name=b'"com.other", "name": "com.vantro.companion"'),
     True, True),
    ("a duplicate member, the last one wrong", manifest_text(name=b'"com.vantro.companion", "name": "com.other"'),
     False, False),
    ("an empty description", manifest_text(description=b'""'), False, True),
    ("no description", manifest_text(drop=("description",)), False, False),
    ("a description that is not a text", manifest_text(description=b"5"), False, False),
    ("a trailing comma", manifest_text(extra=b","), False, False),
    ("text after the object", manifest_text() + b" x", False, False),
    ("a form feed between tokens", manifest_text().replace(b", ", b",\x0c", 1), False, False),
    ("arrays nested 199 deep", manifest_text(extra=b', "x": ' + nested(198)), True, False),
    ("arrays nested 200 deep", manifest_text(extra=b', "x": ' + nested(199)), False, False),
    ("an empty object nested 200 deep", manifest_text(extra=b', "x": ' + nested(198, b"{}")), False, False),
    ("a relative path", manifest_text(path=b'"companion"'), False, False),
    ("a JSON text that is not an object", b'"com.vantro.companion"', False, False),
    ("an origin with a path pattern", manifest_text(allowed=b'["@ID@*"]'), True, None),
    ("an origin in capitals", manifest_text(allowed=b'["@UPPER_ID@"]'), True, None),
    ("an origin without its slash", manifest_text(allowed=b'["@ORIGIN_NO_SLASH@"]'), False, None),
    ("an origin Chromium cannot parse, beside the right one", manifest_text(allowed=b'["foo", "@ID@"]'), False, None),
    ("an origin for every extension, beside the right one",
     manifest_text(allowed=b'["chrome-extension://*/", "@ID@"]'), False, None),
    ("an origin with a port", manifest_text(allowed=b'["@ORIGIN_NO_SLASH@:80/"]'), False, None),
    ("an origin of no extension, beside the right one",
     manifest_text(allowed=b'["chrome-extension://abc/", "@ID@"]'), True, None),
    ("no origins", manifest_text(allowed=b"[]"), False, None),
    ("an add-on id Firefox refuses, beside the right one", manifest_text(allowed=b'["not an id", "@ID@"]'), None,
     False),
    ("a {GUID} add-on id beside the right one",
     manifest_text(allowed=b'["{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}", "@ID@"]'), None, True),
    ("no add-on ids", manifest_text(allowed=b"[]"), None, False),
]


class Session:
    """One connectNative port and the companion process that the browser started for it."""

    def __init__(self, pid, argv):
        self.pid = pid
        self.argv = argv


class BrowserRun:
    """Everything one browser test needs: sandbox, install, control server, browser and agent."""

    def __init__(self, browser_class, prefix=None, agent_program=None):
        """prefix: where a package installed the companion, with its system-wide manifests; by default the
        build is installed with per-user manifests. agent_program: the example agent, if not in the prefix."""
        self.browser_class = browser_class
        self.sandbox = Sandbox(browser_class.name, prefix)
        self.agent_program = agent_program
        self.control = ControlServer()
        self.agent = None
        self.browser = None

    def start(self, build_dir):
        """Installs the companion with manifests for the sandbox's user unless a package did, starts the browser
        and waits for the extension."""
        if not self.sandbox.installed:
            result = install(build_dir, self.sandbox.env, self.sandbox.prefix, "user",
                             chrome_ids=[chromium_extension_id()], firefox_ids=[FIREFOX_EXTENSION_ID])
            check(result.returncode == 0, f"install step failed:\n{result.stdout}{result.stderr}")
        self.browser = self.browser_class(self.sandbox, self.control)
        ready = self.control.expect("ready", timeout=STARTUP_TIMEOUT)
        check(ready["id"] == self.browser.extension_id,
              f"extension id {ready['id']!r}, expected {self.browser.extension_id!r}")

    def start_agent(self, options=()):
        self.agent = Agent(self.sandbox, self.agent_program, options)

    def stop_agent(self):
        if self.agent:
            self.agent.stop()
            self.agent = None

    def companions(self):
        return companion_processes(self.sandbox.program)

    def open_session(self):
        """Connects the extension to the host and waits for the companion that the browser starts."""
        check(not self.companions(), "a companion is running before connectNative")
        self.control.send("connect")
        started = wait_until(self.companions, "the browser to start the companion")
        check(len(started) == 1, f"one connectNative started {len(started)} companions")
        [pid] = started
        return Session(pid, wait_until(lambda: process_arguments(pid), f"the arguments of companion {pid}"))

    def try_session(self):
        """Connects the extension to the host: the session of the companion the browser starts, or None when the
        browser refuses and the extension sees its port disconnect instead."""
        check(not self.companions(), "a companion is running before connectNative")
        self.control.send("connect")
        outcome = wait_until(lambda: self.companions() or not self.control.events.empty(),
                             "the browser to start the companion or refuse")
        if outcome is True:
            self.control.expect("disconnect")
            return None
        [pid] = outcome
        return Session(pid, wait_until(lambda: process_arguments(pid), f"the arguments of companion {pid}"))

    def echo(self, messages):
        """Sends the messages and expects each back, unchanged and in order."""
        for message in messages:
            self.control.send("send", message=message)
        for index, message in enumerate(messages):
            echoed = self.control.expect("message")["message"]
            if echoed != message:
                detail = first_difference(json.dumps(echoed), json.dumps(message))
                raise Failure(f"message {index} came back changed: {detail}")

    def wait_ended(self, session, codes=(246,)):
        """Waits until the session's companion has ended, and checks from its log that it relayed and ended with
        one of the codes."""
        wait_until(lambda: session.pid not in self.companions(), f"companion {session.pid} to end")
        messages = log_messages(self.sandbox.log_path, session.pid)
        check(f"Connect to socket path: {self.sandbox.socket_path}" in messages,
              f"companion {session.pid} did not try the rendezvous path; its log: {messages}")
        endings = [["Loop stoped", f"Return code: {code}", "Logger stoped"] for code in codes]
        check(messages[-3:] in endings,
              f"companion {session.pid} did not end with {codes}; its last records: {messages[-6:]}")

    def diagnostics(self):
        log = self.sandbox.log_path.read_text(errors="replace")[-3000:] if self.sandbox.log_path.exists() else ""
        browser = self.browser.output_tail() if self.browser else ""
        return f"--- {self.sandbox.root}\n--- browser output (tail):\n{browser}\n--- companion log (tail):\n{log}"

    def close(self):
        """Quits the browser and stops the rest; returns the companions still running afterwards."""
        try:
            if self.browser:
                self.browser.quit()
        finally:
            self.stop_agent()
            self.control.close()
        return self.companions()
