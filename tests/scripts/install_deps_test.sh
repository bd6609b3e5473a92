#!/usr/bin/env bash
# Test of scripts/install-deps.sh against a stand-in apt-get, dpkg and
# dpkg-query: package lists that cannot be refreshed never stop it, a 32-bit
# Wine that cannot be installed is reported and left out, and a required
# package that cannot be installed fails it, named with apt's reason.
set -uo pipefail
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/bin"

# One stand-in for every command, told apart by its name. SCENARIO says how
# apt-get misbehaves; $STATE holds what is installed and what was asked.
cat >"$root/bin/stand-in" <<'EOF'
#!/usr/bin/env bash
command=$(basename "$0")
echo "$command $*" >>"$STATE/calls"
i386_list_missing() { [[ $SCENARIO == i386-* ]]; }
refuse() { echo "E: $1"; exit 100; }
case $command in
  sudo) exec "$@" ;;
  dpkg-query) grep -qx "${*: -1}" "$STATE/installed" 2>/dev/null && echo "install ok installed" || exit 1 ;;
  dpkg)
    case $1 in
      --print-architecture) echo amd64 ;;
      --print-foreign-architectures) cat "$STATE/foreign" 2>/dev/null ;;
      --add-architecture) echo "$2" >>"$STATE/foreign" ;;
    esac ;;
  apt-get)
    pinned=0
    [[ $1 == -o ]] && grep -q 'n=bookworm-security' "${2#*=}" && grep -q 'Pin-Priority: -1' "${2#*=}" && pinned=1
    [[ $1 == -o ]] && shift 2
    case $1 in
      update)
        if [[ $SCENARIO == update-always-fails || ($SCENARIO == update-fails-once && ! -e $STATE/updated) ]]; then
          touch "$STATE/updated"
          echo "E: Failed to fetch http://mirror/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
          echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
          exit 100
        fi ;;
      indextargets)
        echo "Debian|bookworm|amd64"
        echo "Debian|bookworm|i386"
        echo "Debian|bookworm-security|amd64"
        i386_list_missing || echo "Debian|bookworm-security|i386" ;;
      install)
        for package in "$@"; do
          [[ $SCENARIO == unknown-socat && $package == socat ]] && refuse "Unable to locate package socat"
          if [[ $package == *:i386 ]] && [[ $SCENARIO == i386-broken || ($SCENARIO == i386-needs-pin && $pinned == 0) ]]; then
            refuse "Unable to correct problems, you have held broken packages."
          fi
        done
        [[ $2 == -s ]] || printf '%s\n' "${@:4}" >>"$STATE/installed" ;;
    esac ;;
esac
EOF
chmod +x "$root/bin/stand-in"
for command in sudo dpkg-query dpkg apt-get; do ln -s stand-in "$root/bin/$command"; done

failures=0
passes=0
# scenario | exit status | what the output must hold | the recorded 32-bit reason ("" for none)
cases=(
  "update-fails-once|0|Installing: |"
  "update-always-fails|0|going on with those there are: E: Failed to fetch http://mirror/dists/bookworm-security|"
  "i386-broken|0|32-bit Wine could not be installed: E: Unable to correct problems, you have held broken packages.|E: Unable to correct problems, you have held broken packages."
  "i386-needs-pin|0|Installing: |"
  "unknown-socat|1|cannot install socat: E: Unable to locate package socat|"
)
for row in "${cases[@]}"; do
  IFS='|' read -r scenario status expected reason <<<"$row"
  repo="$root/$scenario"
  mkdir -p "$repo/scripts" "$repo/state"
  cp "$source_dir/scripts/install-deps.sh" "$repo/scripts/"
  actual=0
  output=$(SCENARIO=$scenario STATE=$repo/state PATH="$root/bin:$PATH" COMPANION_APT_UPDATE_PAUSE=0 \
    bash "$repo/scripts/install-deps.sh" all 2>&1) || actual=$?
  recorded=$(cat "$repo/build/wine32-not-installed.txt" 2>/dev/null)
  wine32_installed=$(grep -cx "wine32:i386" "$repo/state/installed" 2>/dev/null)
  problems=()
  [[ $actual == "$status" ]] || problems+=("exit status $actual, not $status")
  [[ $output == *"$expected"* ]] || problems+=("no '$expected' in the output")
  [[ $recorded == "$reason" ]] || problems+=("recorded reason '$recorded', not '$reason'")
  if [[ $status == 0 && -z $reason && $wine32_installed != 1 ]]; then problems+=("wine32:i386 not installed"); fi
  if [[ $status == 0 ]] && ! grep -qx socat "$repo/state/installed" 2>/dev/null; then problems+=("required packages not installed"); fi
  if [[ $scenario == update-* ]] && [[ $(grep -c '^apt-get update' "$repo/state/calls") -lt 2 ]]; then
    problems+=("apt-get update was not tried again")
  fi
  if [[ ${#problems[@]} -eq 0 ]]; then
    passes=$((passes + 1)); echo "ok: $scenario"
  else
    failures=$((failures + 1)); echo "FAILED: $scenario: ${problems[*]}" >&2
    sed 's/^/  | /' <<<"$output" >&2
  fi
done
echo "install-deps: $passes passed, $failures failed"
[[ $failures -eq 0 ]]
