#!/usr/bin/env bash
# Benchmarks the launcher against the same work done by hand with stock tools,
# against a makeself archive of the same bundle, and against its own targets
# (bench/targets.tsv); one file per table row in bench/rows/.
#
#   bench/run.sh [--quick] [--build DIR] [--arm64 DIR] [--signed LAUNCHER KEY] [ROW...]
#     --quick    a smoke check: fewer runs, 100 MiB where the full set has 1 GiB
#     --build    the static launcher and packer of build tree DIR (brought up
#                to date there) instead of build-bench/
#     --arm64    the arm64 launcher of cross build tree DIR instead of build-bench-arm64/
#     --signed   a launcher built with QZ_AGENT_PUBLIC_KEY and the private KEY
#                to sign agents with, for the signed row (skipped without)
#     ROW        only these rows, by file name (e.g. cold or 06-cold)
#
# Stdout carries only a header line and one Markdown table, so it can be
# quoted as is; progress and details go to stderr. Everything the run makes
# lives in one directory under /tmp, removed at the end; the agent server is
# an nginx on 127.0.0.1 started and stopped with scripts/agent-server.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=bench/lib.sh
source bench/lib.sh

usage() {
  sed -n '6,13p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
rows=()
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=yes; shift ;;
    --build) [ $# -ge 2 ] || usage; build_dir=$2; shift 2 ;;
    --arm64) [ $# -ge 2 ] || usage; arm64_build_dir=$2; shift 2 ;;
    --signed)
      [ $# -ge 3 ] || usage
      signed_launcher=$(realpath "$2") signing_key=$(realpath "$3")
      shift 3 ;;
    -h | --help) usage ;;
    -*) usage ;;
    *)
      found=""
      for file in bench/rows/"$1".sh bench/rows/[0-9]*-"$1".sh; do [ -f "$file" ] && found=$file; done
      [ -n "$found" ] || { echo "bench/run.sh: no row $1 in bench/rows/" >&2; exit 2; }
      rows+=("$found")
      shift ;;
  esac
done
[ ${#rows[@]} -gt 0 ] || rows=(bench/rows/*.sh)

# The table goes to the original stdout (fd 3); everything else to stderr.
exec 3>&1 1>&2
# Each row runs as a job of its own (a process group), so that an interruption
# ends the whole row, whatever runs in it, before the cleanup.
set -m
row_pid=""
stop_row() {
  [ -z "$row_pid" ] || kill -TERM -- "-$row_pid" 2>/dev/null || true
  [ -z "$row_pid" ] || wait "$row_pid" 2>/dev/null || true
}
trap cleanup EXIT
trap 'stop_row; exit 130' INT
trap 'stop_row; exit 143' TERM

install_tools
build_launchers
make_workspace
start_agent_server
log "load average at start: $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine adds noise)"

# Each row in a subshell of its own, its table lines on fd 4: a row that
# fails shows as such, and the others still run.
for file in "${rows[@]}"; do
  name=$(basename "$file" .sh)
  log "row $name"
  (
    exec 4>"$work/rows/$name.md"
    # shellcheck source=/dev/null
    source "$file"
  ) &
  row_pid=$!
  status=0
  wait "$row_pid" || status=$?
  row_pid=""
  if [ "$status" -ne 0 ]; then
    log "row $name failed with status $status"
    echo "| ? | $name | — | — | — | — | **ERROR**: the measurement failed (see standard error) |" \
      >"$work/rows/$name.md"
  fi
done

for dir in $(leftover_scratch); do log "warning: scratch directory left behind: $dir"; done
log "finished in $(($(date +%s) - started_at)) s; load average now: $(cut -d' ' -f1-3 /proc/loadavg)"

cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
{
  echo "Benchmark of $(date -u '+%Y-%m-%d %H:%M UTC') on $(uname -srm), CPU: ${cpu:-unknown}," \
    "$(nproc) cores$(is_quick && echo " (--quick: fewer runs, 100 MiB for 1 GiB)")"
  echo
  echo "| # | What is measured | Launcher | Compared with | Ratio | Target | Result |"
  echo "|---|---|---:|---:|---:|---|---|"
  for file in "${rows[@]}"; do cat "$work/rows/$(basename "$file" .sh).md"; done
} >&3
