# Quiet steps for the project's scripts (sourced): a step's output stays out
# of sight unless the step fails.
#
#   quietly LABEL COMMAND [ARG...]
#
# runs COMMAND with no input and its output in a temporary file. When it
# fails, it says on stderr which command failed and with what exit status,
# under LABEL (the script's name), followed by the command's output, and
# returns that status.
quietly() {
  local label=$1 log status=0
  shift
  log=$(mktemp)
  "$@" </dev/null >"$log" 2>&1 || status=$?
  if [[ $status -ne 0 ]]; then
    echo "$label: '$*' failed with exit status $status" >&2
    sed 's/^/  | /' "$log" >&2
  fi
  rm -f "$log"
  return "$status"
}
