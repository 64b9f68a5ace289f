# Sourced by scripts/run-tests and scripts/build: each step of a run timed on
# the steady clock, so that the slowest one is plain from the log.
#
#   phase NAME CMD...   runs CMD, records NAME, its seconds and exit status
#                       in $XKT_PHASES (when set) and returns CMD's status
#   phase_table         prints the recorded phases as a table
#
# Lanes that run side by side record their phases into the same file; the
# table's last line is the run's own time from the first phase's start.

_phase_now() {
  # The steady clock, in milliseconds (the wall clock may be set meanwhile).
  local up
  read -r up _ </proc/uptime
  echo "${up/./}0"
}

phase() {
  local name=$1 started status
  shift
  started=$(_phase_now)
  if [ -n "${XKT_PHASES:-}" ] && [ ! -s "$XKT_PHASES" ]; then
    echo "start	$started" >>"$XKT_PHASES"
  fi
  status=0
  "$@" || status=$?
  if [ -n "${XKT_PHASES:-}" ]; then
    printf '%s\t%s\t%s\t%s\n' phase "$name" "$(( $(_phase_now) - started ))" "$status" >>"$XKT_PHASES"
  fi
  return "$status"
}

phase_table() {
  [ -n "${XKT_PHASES:-}" ] && [ -s "$XKT_PHASES" ] || return 0
  local now
  now=$(_phase_now)
  awk -F'\t' -v now="$now" '
    $1 == "start" { start = $2 }
    $1 == "phase" { printf "  %-44s %7.0f s  %s\n", $2, $3 / 1000, ($4 == 0 ? "" : "exit " $4) }
    END { printf "  %-44s %7.0f s\n", "the whole run (lanes side by side)", (now - start) / 1000 }
  ' "$XKT_PHASES"
}
