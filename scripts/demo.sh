#!/usr/bin/env bash
# Demo: builds the companion, starts the example agent, and talks to it through the companion as a browser would.
set -euo pipefail

cd "$(dirname "$0")/.."
source scripts/lib/quiet.sh
build=build/native

echo "== Installing what the build needs, if anything is missing"
bash scripts/install-deps.sh build

# The build is one quiet step, its output shown only if it fails, so that
# what follows is the relay.
echo "== Building the companion, the example agent, the stand-in browser and the doctor (preset native)"
quietly demo.sh cmake --preset native
quietly demo.sh cmake --build --preset native --target companion companion-agent companion-browser companion-doctor

agent_pid=
transcript=$(mktemp)
cleanup() {
  if [[ -n $agent_pid ]]; then
    kill "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
  fi
  rm -f "$transcript"
}
trap cleanup EXIT

echo "== Starting the example agent for $(id -un)"
coproc AGENT { exec "$build/companion-agent" 2>&1; }
agent_pid=$AGENT_PID
if ! read -r -t 10 ready <&"${AGENT[0]}" || [[ $ready != "ready "* ]]; then
  echo "the agent did not start: ${ready:-no answer}" >&2
  exit 1
fi
socket=${ready#ready }
echo "agent listens on $socket"

echo "== Running the companion as a browser would"
"$build/companion-browser" \
  -m '{"type":"hello","from":"demo"}' \
  -m '{"type":"ping","seq":1}' \
  -m '{"text":"Grüße, 世界"}' \
  "$build/companion" chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik/ | tee "$transcript"
companion_pid=$(sed -n 's/^companion pid: //p' "$transcript")

if read -r -t 5 session <&"${AGENT[0]}"; then
  echo "agent: $session"
fi

# The companion's log file, as the doctor beside it finds it; the doctor exits
# 1 for an install that no browser would start, as this build is.
report=$("$build/companion-doctor" --json) || [[ $? -eq 1 ]]
log=$(python3 -c 'import json, sys; print(next(f["path"] for f in json.load(sys.stdin) if f["area"] == "log" and f["path"]))' <<<"$report")
echo "== Log records of this run, from $log"
grep -F "$(printf '\t[%s]\t' "$companion_pid")" "$log" || echo "(none found)"

echo "== Stopping the agent"
kill "$agent_pid"
wait "$agent_pid" || true
agent_pid=
[[ -e $socket ]] && echo "the agent left $socket behind" >&2 && exit 1
echo "done: the agent is gone and its socket removed"
