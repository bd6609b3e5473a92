"""Time from a browser leaving to the companion's exit, while the agent is stuck.

The agent never reads, so both pumps wait on its side; the browser fills the
companion's input, then closes both of its pipes, as a killed browser does. The
companion gives the agent a second to take something, then ends as at the end
of its input (246). Usage: hangup_latency.py BUILD_DIR
"""
import fcntl
import os
import select
import statistics
import subprocess
import sys
import tempfile
import time

RUNS = 10
# The agent's second, and at most 100 ms more.
TARGET_MS = 1100


def leave_once(build, env):
    companion = subprocess.Popen([f"{build}/companion"], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    fd = companion.stdin.fileno()
    fcntl.fcntl(fd, fcntl.F_SETFL, os.O_NONBLOCK)
    # Full once no room appears for a while: the companion waits on the agent.
    while select.select([], [fd], [], 0.3)[1]:
        try:
            os.write(fd, b"x" * 4096)
        except BlockingIOError:
            pass
    start = time.monotonic()
    companion.stdin.close()
    companion.stdout.close()
    code = companion.wait(10)
    if code != 246:
        sys.exit(f"the companion ended with {code}, not 246")
    return (time.monotonic() - start) * 1000


def main(build):
    with tempfile.TemporaryDirectory() as sandbox:
        env = dict(os.environ, XDG_RUNTIME_DIR=sandbox, XDG_STATE_HOME=f"{sandbox}/state")
        agent = subprocess.Popen([f"{build}/companion-agent", "--no-read"], env=env, stdout=subprocess.PIPE, text=True)
        try:
            agent.stdout.readline()
            times = [leave_once(build, env) for _ in range(RUNS)]
        finally:
            agent.terminate()
            agent.wait()
    print(f"exit after the browser left, agent stuck: median {statistics.median(times):.1f} ms, "
          f"max {max(times):.1f} ms over {RUNS} runs (target < {TARGET_MS} ms)")


if __name__ == "__main__":
    main(sys.argv[1])
