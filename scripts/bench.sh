#!/usr/bin/env bash
# The benchmark: builds what it needs, runs the Windows build under Wine
# against a direct pipe connection, then measures the companion against socat
# and a direct connection to the example agent, and, with framed messages,
# against socat and keepassxc-proxy, another project's browser host. Prints
# the tables and, for Linux and Wine, the time from a browser's leaving to
# the companion's exit while the agent is stuck; writes the chart to
# build/bench/bench.svg and a copy to docs/bench.svg.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/bench
mkdir -p "$out" docs
wine_figures="$out/wine.txt"

# Build output is shown only when the build fails.
source scripts/lib/quiet.sh

if [[ ! -x /usr/bin/socat ]]; then
  echo "socat is missing: run scripts/install-deps.sh all" >&2
  exit 1
fi
quietly bench.sh cmake --preset native
quietly bench.sh cmake --build --preset native --target companion companion-agent companion-bench

# Ratios only: Wine is not Windows, and its pipes cost far more per transfer.
run_wine() {
  if [[ ! -x /usr/lib/wine/wine64 ]] || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    echo "skipped: Wine or the MinGW-w64 compiler is missing"
    return
  fi
  quietly bench.sh cmake --preset windows-x64
  quietly bench.sh cmake --build --preset windows-x64 --target companion wine-bench
  source scripts/wine.sh
  export WINEPREFIX="$PWD/$out/wineprefix"
  # A warm server for the whole run, and the prefix made before the timing
  # starts.
  if ! wine_start "$WINEPREFIX" >&2; then
    echo "skipped: Wine could not be set up"
    return
  fi
  local companion="Z:$(pwd -P)/build/windows-x64/companion.exe"
  if ! timeout 120 "$WINE64_LOADER" build/windows-x64/wine-bench.exe "${companion//\//\\}" </dev/null; then
    echo "skipped: the Windows bench failed"
  fi
  wine_stop "$WINEPREFIX"
}
echo "Wine: companion.exe against a direct pipe connection" >&2
run_wine >"$wine_figures"

# keepassxc-proxy alone, out of Debian's keepassxc package: the whole
# application is not needed, only its libraries (scripts/install-deps.sh all).
# Prints its path, or says on stderr why it cannot run.
peer_host() {
  local dir="$out/keepassxc"
  local proxy="$dir/usr/bin/keepassxc-proxy"
  if [[ ! -x $proxy ]]; then
    rm -rf "$dir" && mkdir -p "$dir"
    if ! (cd "$dir" && apt-get download -qq keepassxc) >"$out/build.log" 2>&1 ||
      ! dpkg-deb -x "$dir"/keepassxc_*.deb "$dir"; then
      echo "keepassxc-proxy not measured: the keepassxc package could not be fetched: $(tail -n1 "$out/build.log")" >&2
      return
    fi
  fi
  local missing
  missing=$(ldd "$proxy" | awk '/not found/ { print $1 }' | tr '\n' ' ')
  if [[ -n $missing ]]; then
    echo "keepassxc-proxy not measured: missing ${missing}(scripts/install-deps.sh all installs them)" >&2
    return
  fi
  echo "$proxy"
}
peer=$(peer_host)

build/native/companion-bench --companion build/native/companion --agent build/native/companion-agent \
  --socat /usr/bin/socat --svg "$out/bench.svg" --wine "$wine_figures" ${peer:+--peer "$peer"}
cp "$out/bench.svg" docs/bench.svg
echo "Chart: $out/bench.svg (copied to docs/bench.svg)"
python3 bench/hangup_latency.py build/native
awk '$1 == "hangup" { printf "Wine: exit after the browser left, agent stuck: median %s ms, max %s ms\n", $2, $3 }' \
  "$wine_figures"
