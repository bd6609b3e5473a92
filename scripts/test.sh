#!/usr/bin/env bash
# The test command: installs what is missing, builds the Linux and Windows
# programs and runs every test (the Windows ones under Wine).
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh all || exit 1

status=0
{ cmake --preset native && cmake --build --preset native && ctest --preset native; } || status=1
exit $status
