#!/usr/bin/env bash
# Benchmarks the launcher against the same work done by hand with stock tools,
# and against a makeself archive of the same bundle.
#
#   bench/run.sh           the full set (a few minutes on 2 cores)
#   bench/run.sh --quick   a smoke check: fewer runs, no 1 GiB cases
#
# Stdout carries only a header line and one Markdown table, so it can be
# quoted as is; progress and details go to stderr. Everything the run makes
# lives in one directory under /tmp (removed at the end), the launcher runs
# with a temporary HOME, and the agent server is an nginx on 127.0.0.1 that
# the script starts and stops itself.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

quick=no
case "${1:-}" in
  "") ;;
  --quick) quick=yes ;;
  -h | --help)
    sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  *)
    echo "usage: bench/run.sh [--quick]" >&2
    exit 2
    ;;
esac

# The table goes to the original stdout (fd 3); everything else to stderr.
exec 3>&1 1>&2
log() { echo "bench: $*" >&2; }

# ---------------------------------------------------------------------------
# Tools

install_tools() {
  ./scripts/install-deps.sh hyperfine makeself curl time jq binutils gzip bsdutils
}

# ---------------------------------------------------------------------------
# Workspace and cleanup

work=""
nginx_pid=""
started_at=$(date +%s)
# Scratch directories that exist before the run are never touched; the ones an
# interrupted run leaves behind are recognised by their contents.
existing_scratch=$(ls -d /tmp/qz?????? /tmp/floor?????? 2>/dev/null || true)
bundle_sizes=""

cleanup() {
  local status=$?
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  local dir size
  for dir in /tmp/qz?????? /tmp/floor??????; do
    [ -d "$dir" ] || continue
    grep -qxF "$dir" <<<"$existing_scratch" && continue
    [ -f "$dir/bundle.zip" ] || continue
    size=$(stat -c %s "$dir/bundle.zip")
    if grep -qw "$size" <<<"$bundle_sizes"; then
      log "removing leftover $dir"
      rm -rf "$dir"
    fi
  done
  [ -n "$work" ] && rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------------------
# Formatting helpers (awk: present on every Debian system)

# Milliseconds from seconds, as "12.3 ms" or "1.234 s".
fmt_time() { awk -v s="$1" 'BEGIN { if (s < 1) printf "%.1f ms", s * 1000; else printf "%.3f s", s }'; }
fmt_int() { awk -v n="$1" 'BEGIN { s = sprintf("%d", n < 0 ? -n : n); r = ""; while (length(s) > 3) { r = "," substr(s, length(s) - 2) r; s = substr(s, 1, length(s) - 3) } printf "%s%s%s", (n < 0 ? "-" : ""), s, r }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
# pass when a / b <= limit
at_most() { awk -v a="$1" -v b="$2" -v l="$3" 'BEGIN { print (a / b <= l) ? "pass" : "**FAIL**" }'; }

rows=()
add_row() { rows+=("| $1 | $2 | $3 | $4 | $5 | $6 | $7 |"); }

# Timing. The machine may be busy with other work, and hyperfine runs all the
# runs of one command before the next: so each comparison is split into
# rounds, the order of the commands rotating from round to round, and the
# statistics are taken over the runs of all rounds.
#
# timed TAG ROUNDS WARMUP RUNS_PER_ROUND: times the commands named in the
# arrays bench_names / bench_commands (with bench_prepares, one per command,
# when that array is not empty).
bench_names=() bench_commands=() bench_prepares=()
timed() {
  local tag=$1 rounds=$2 warmup=$3 runs=$4 count=${#bench_names[@]} r k i
  for ((r = 0; r < rounds; r++)); do
    local arguments=()
    for ((k = 0; k < count; k++)); do
      i=$(((k + r) % count))
      if [ ${#bench_prepares[@]} -gt 0 ]; then arguments+=(--prepare "${bench_prepares[i]}"); fi
      arguments+=(-n "${bench_names[i]}" "${bench_commands[i]}")
    done
    log "  round $((r + 1))/$rounds"
    hyperfine -N --style basic --warmup "$warmup" --runs "$runs" \
      --export-json "$work/json/$tag-$r.json" "${arguments[@]}" >&2
  done
}
# stats TAG NAME: "median mean stddev count" in seconds over all rounds. The
# tables compare medians: one run stalled by the disk's writeback of an
# earlier run's gigabytes says nothing about the command itself.
stats() {
  jq -rs --arg name "$2" '
    [.[].results[] | select(.command == $name) | .times[]] | sort
    | length as $n | (add / $n) as $mean
    | (if $n > 1 then (map(($mean - .) * ($mean - .)) | add) / ($n - 1) | sqrt else 0 end) as $sd
    | (if $n % 2 == 1 then .[($n - 1) / 2] else (.[$n / 2 - 1] + .[$n / 2]) / 2 end) as $median
    | "\($median) \($mean) \($sd) \($n)"' "$work/json/$1"-*.json
}
describe() { # NAME "median mean stddev count"
  local mean sd median n
  read -r median mean sd n <<<"$2"
  log "  $1: mean $(fmt_time "$mean") ± $(fmt_time "$sd"), median $(fmt_time "$median"), $n runs"
}
# floor_row NUMBER TAG WHAT FLOOR [LIMIT]: a table row for the "launcher" and
# "floor" commands timed under TAG, held to at most LIMIT (1.05 unless given)
# times the floor.
floor_row() {
  local launcher_stats floor_stats ours floor n limit=${5:-1.05}
  launcher_stats=$(stats "$2" launcher)
  floor_stats=$(stats "$2" floor)
  describe launcher "$launcher_stats"
  describe floor "$floor_stats"
  read -r ours _ _ n <<<"$launcher_stats"
  read -r floor _ <<<"$floor_stats"
  add_row "$1" "$3: wall time, median of $n (vs $4)" "$(fmt_time "$ours")" "$(fmt_time "$floor")" \
    "$(ratio "$ours" "$floor")" "≤ $limit" "$(at_most "$ours" "$floor" "$limit")"
}

# ---------------------------------------------------------------------------
# Setup

install_tools
log "building (Release, in build-bench/, and a dynamic launcher in build-bench-dynamic/)"
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQZ_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc)" --target qz-bootstrap make-installer >/dev/null
cmake -S . -B build-bench-dynamic -DCMAKE_BUILD_TYPE=Release -DQZ_BUILD_TESTS=OFF -DQZ_STATIC=OFF \
  >/dev/null
cmake --build build-bench-dynamic -j "$(nproc)" --target qz-bootstrap >/dev/null

work=$(mktemp -d /tmp/qzbench-XXXXXX)
mkdir -p "$work/bin" "$work/data" "$work/server/www" "$work/server/temp" "$work/json" \
  "$work/makeself-tmp"
# Private copies, so that a rebuild while the benchmark runs changes nothing.
cp build-bench/bin/qz-bootstrap build-bench/bin/make-installer "$work/bin/"
cp build-bench-dynamic/bin/qz-bootstrap "$work/bin/qz-bootstrap-dynamic"
launcher=$work/bin/qz-bootstrap
dynamic_launcher=$work/bin/qz-bootstrap-dynamic
make_installer=$work/bin/make-installer

MiB=1048576
if [ "$quick" = yes ]; then
  warm_sizes=(1 100)
  cold_agent_mib=50
  memory_large_mib=100
  largest_mib=100
else
  warm_sizes=(1 100 1024)
  cold_agent_mib=200
  memory_large_mib=1024
  largest_mib=1024
fi
memory_small_mib=10
makeself_bundle_mib=100

size_label() { if [ "$1" -ge 1024 ]; then echo "$(($1 / 1024)) GiB"; else echo "$1 MiB"; fi; }

# Rounds, warmup runs per round and measured runs per round, per case.
runs_for_warm() {
  if [ "$quick" = yes ]; then
    case $1 in 1) echo "2 2 8" ;; *) echo "2 1 3" ;; esac
  else
    case $1 in 1) echo "4 5 20" ;; 100) echo "4 2 8" ;; *) echo "3 1 3" ;; esac
  fi
}
if [ "$quick" = yes ]; then
  cold_runs="2 1 2" makeself_runs="1 1 3" memory_runs=1
else
  cold_runs="4 1 4" makeself_runs="2 1 5" memory_runs=3
fi

log "load average at start: $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine adds noise)"
log "making data in $work/data"
data=$work/data
head -c $((largest_mib * MiB)) /dev/urandom >"$data/random.bin"

# Bundles: incompressible content wrapped with zip -0.
for mib in "${warm_sizes[@]}" "$makeself_bundle_mib"; do
  [ -f "$data/bundle-$mib.zip" ] && continue
  mkdir -p "$data/b$mib"
  head -c $((mib * MiB)) "$data/random.bin" >"$data/b$mib/content.bin"
  (cd "$data/b$mib" && zip -q -0 "../bundle-$mib.zip" content.bin)
  rm -rf "$data/b$mib"
  bundle_sizes+=" $(stat -c %s "$data/bundle-$mib.zip")"
  "$make_installer" "$launcher" "$data/bundle-$mib.zip" "$data/installer-$mib.run"
done

# Agents: an install script that ends at once, plus incompressible filler.
# QZ_BENCH_MARK lets the sanity checks below see that the agent ran.
make_agent() { # NAME FILLER_MIB
  local dir=$data/agent-$1
  mkdir -p "$dir"
  printf '%s\n' '[ -z "$QZ_BENCH_MARK" ] || echo "$2" >"$QZ_BENCH_MARK"' 'exit 0' >"$dir/install"
  if [ "$2" -gt 0 ]; then head -c $(($2 * MiB)) "$data/random.bin" >"$dir/filler.bin"; fi
  (cd "$dir" && zip -q -0 -r "$work/server/www/agent-$1.zip" .)
  rm -rf "$dir"
}
make_agent small 0
make_agent cold "$cold_agent_mib"
make_agent mem-small "$memory_small_mib"
make_agent mem-large "$memory_large_mib"
rm -f "$data/random.bin"

# ---------------------------------------------------------------------------
# The agent server: nginx on loopback, serving the archives as static files
# with its own ETag.

server=$work/server
port=""
for candidate in $(seq 18280 18379); do
  cat >"$server/nginx.conf" <<CONF
daemon off;
master_process off;
pid $server/nginx.pid;
error_log $server/error.log;
events {}
http {
  access_log $server/access.log;
  client_body_temp_path $server/temp;
  proxy_temp_path $server/temp;
  fastcgi_temp_path $server/temp;
  uwsgi_temp_path $server/temp;
  scgi_temp_path $server/temp;
  sendfile on;
  server { listen 127.0.0.1:$candidate; root $server/www; }
}
CONF
  # In the foreground of a background job, so that it stays this script's
  # child: stopped and reaped by the cleanup.
  /usr/sbin/nginx -p "$server" -c nginx.conf 2>/dev/null 3>&- &
  nginx_pid=$!
  for _ in $(seq 50); do
    if ! kill -0 "$nginx_pid" 2>/dev/null; then break; fi
    if curl -sfI --max-time 1 "http://127.0.0.1:$candidate/agent-small.zip" >/dev/null; then
      port=$candidate
      break 2
    fi
    sleep 0.1
  done
  kill "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=""
done
[ -n "$port" ] || { log "could not start nginx on 127.0.0.1:18280-18379"; exit 1; }
base_url=http://127.0.0.1:$port
log "agent server: $base_url (nginx, pid $nginx_pid)"

# ---------------------------------------------------------------------------
# Start-up: an offline installer with a 1 KiB bundle and an agent that ends at
# once, so the run is little more than starting the launcher and its tools,
# packed once with the static launcher and once with the same code linked
# against the system's shared libcurl. The difference is what loading the
# shared libraries costs on every run.

mkdir -p "$data/startup/agent"
head -c 1024 /dev/urandom >"$data/startup/content.bin"
(cd "$data/startup" && zip -q -0 bundle.zip content.bin)
printf 'exit 0\n' >"$data/startup/agent/install"
(cd "$data/startup/agent" && zip -q ../agent.zip install)
bundle_sizes+=" $(stat -c %s "$data/startup/bundle.zip")"
for variant in static dynamic; do
  image=$launcher
  [ "$variant" = dynamic ] && image=$dynamic_launcher
  "$make_installer" --agent "$data/startup/agent.zip" "$image" "$data/startup/bundle.zip" \
    "$data/installer-startup-$variant.run"
done
if [ "$quick" = yes ]; then startup_runs="2 3 10"; else startup_runs="4 5 20"; fi
read -r rounds warmup runs <<<"$startup_runs"
log "start-up, offline installer: $rounds rounds of $runs runs each"
bench_names=(launcher floor)
bench_commands=("$data/installer-startup-static.run" "$data/installer-startup-dynamic.run")
bench_prepares=()
HOME=$work/home-startup timed startup "$rounds" "$warmup" "$runs"
floor_row "0" startup "Start-up: offline installer, 1 KiB bundle, agent that exits at once; static launcher" \
  "the same code with the system's shared libcurl" 1.00

# ---------------------------------------------------------------------------
# Warm cache: fill the cache once, check that a warm run is one HEAD request
# and runs the agent, then time the launcher against the hand-made floor.

warm_home=$work/home-warm
mkdir -p "$warm_home"
warm_url=$base_url/agent-small.zip
HOME=$warm_home QZ_INTERNAL_INSTALL_AGENT_URL=$warm_url "$data/installer-1.run" >/dev/null
cached_install=$(find "$warm_home/.orvane" -path '*/installagent/install' -type f | head -n 1)
[ -n "$cached_install" ] || { log "the launcher did not fill the agent cache"; exit 1; }
cache_relative=${cached_install#"$warm_home"/}
cache_relative=${cache_relative%/installagent/install}

requests_before=$(wc -l <"$server/access.log")
rm -f "$work/mark"
HOME=$warm_home QZ_INTERNAL_INSTALL_AGENT_URL=$warm_url QZ_BENCH_MARK=$work/mark \
  "$data/installer-1.run" >/dev/null
new_requests=$(tail -n +$((requests_before + 1)) "$server/access.log")
if [ "$(wc -l <<<"$new_requests")" -ne 1 ] || ! grep -q '"HEAD ' <<<"$new_requests"; then
  log "a warm run should make exactly one HEAD request, made:"
  echo "$new_requests" >&2
  exit 1
fi
[ -s "$work/mark" ] || { log "the agent did not run on a warm start"; exit 1; }
log "warm run checked: one HEAD request, agent ran with $(cat "$work/mark")"

warm_floor() { # INSTALLER
  echo "sh -c 'd=\$(mktemp -d /tmp/floorXXXXXX); unzip -qq $1 -d \$d; curl -sI $warm_url >/dev/null; sh $cached_install -installbundle \$d/bundle.zip; rm -rf \$d'"
}

for mib in "${warm_sizes[@]}"; do
  read -r rounds warmup runs <<<"$(runs_for_warm "$mib")"
  installer=$data/installer-$mib.run
  log "warm cache, $(size_label "$mib") bundle: $rounds rounds of $runs runs each"
  bench_names=(launcher floor)
  bench_commands=("$installer" "$(warm_floor "$installer")")
  # Every run starts without the previous run's dirty pages still being written.
  bench_prepares=(sync sync)
  HOME=$warm_home QZ_INTERNAL_INSTALL_AGENT_URL=$warm_url timed "warm-$mib" "$rounds" "$warmup" "$runs"
  # With the smallest bundle the run is mostly start-up: the static launcher
  # starts no loader and maps no libraries, which the floor's curl does.
  limit=1.05
  [ "$mib" = 1 ] && limit=0.85
  floor_row "1" "warm-$mib" "Warm cache, $(size_label "$mib") bundle" "unzip + curl -I + sh + rm by hand" "$limit"
done

# ---------------------------------------------------------------------------
# Cold cache: the agent is downloaded and unpacked on every run.

cold_home=$work/home-cold
floor_home=$work/home-floor
mkdir -p "$cold_home" "$floor_home"
cold_url=$base_url/agent-cold.zip
cold_installer=$data/installer-1.run
floor_cache=$floor_home/$cache_relative
cold_floor="sh -c 'd=\$(mktemp -d /tmp/floorXXXXXX); unzip -qq $cold_installer -d \$d; curl -s -o \$d/InstallAgent.zip $cold_url; mkdir -p $floor_cache; unzip -qq -o \$d/InstallAgent.zip -d $floor_cache/installagent; sh $floor_cache/installagent/install -installbundle \$d/bundle.zip; rm -rf \$d'"

rm -rf "$cold_home/.orvane" "$work/mark"
requests_before=$(wc -l <"$server/access.log")
HOME=$cold_home QZ_INTERNAL_INSTALL_AGENT_URL=$cold_url QZ_BENCH_MARK=$work/mark \
  "$cold_installer" >/dev/null
new_requests=$(tail -n +$((requests_before + 1)) "$server/access.log")
grep -q '"GET ' <<<"$new_requests" || { log "a cold run made no GET request"; exit 1; }
[ -s "$work/mark" ] || { log "the agent did not run on a cold start"; exit 1; }
log "cold run checked: $(wc -l <<<"$new_requests") request(s), agent ran"

read -r rounds warmup runs <<<"$cold_runs"
log "cold cache, $(size_label "$cold_agent_mib") agent: $rounds rounds of $runs runs each"
bench_names=(launcher floor)
bench_commands=("$cold_installer" "$cold_floor")
bench_prepares=("sh -c 'rm -rf $cold_home/.orvane && sync'" "sh -c 'rm -rf $floor_home/.orvane && sync'")
HOME=$cold_home QZ_INTERNAL_INSTALL_AGENT_URL=$cold_url timed cold "$rounds" "$warmup" "$runs"
floor_row "2" cold "Cold cache, $(size_label "$cold_agent_mib") agent over loopback" \
  "curl -o + unzip + unzip + sh + rm by hand"

# The same cold run with standard error a terminal, where the launcher draws
# its status line (redrawn up to ten times a second), against standard error
# sent to /dev/null, where it draws nothing. Both run under script(1), so the
# pseudo-terminal costs both alike.
log "cold cache, standard error a terminal vs not: $rounds rounds of $runs runs each"
bench_names=(launcher floor)
bench_commands=("script -qec '$cold_installer' /dev/null" "script -qec '$cold_installer 2>/dev/null' /dev/null")
bench_prepares=("sh -c 'rm -rf $cold_home/.orvane && sync'" "sh -c 'rm -rf $cold_home/.orvane && sync'")
HOME=$cold_home QZ_INTERNAL_INSTALL_AGENT_URL=$cold_url timed cold-terminal "$rounds" "$warmup" "$runs"
floor_row "2" cold-terminal "Cold cache, $(size_label "$cold_agent_mib") agent, standard error a terminal (script -qec), status line drawn" \
  "the same with standard error to /dev/null"

# ---------------------------------------------------------------------------
# Peak resident memory of a cold run. GNU time's %M is the ru_maxrss that
# wait4 reports for the launcher, which on Linux is the largest of the
# launcher's own peak and those of the children it waited for (unzip, sh,
# rm): a maximum over the tree, not a sum. The children are measured alone
# below so the report can tell which one the figure belongs to.

memory_home=$work/home-memory
mkdir -p "$memory_home"
peak_rss() { # FILE COMMAND...: KiB
  local out=$1
  shift
  /usr/bin/time -f %M -o "$out" "$@" >/dev/null
  tail -n 1 "$out"
}
# The largest of $memory_runs cold runs.
launcher_peak() { # AGENT_NAME
  local best=0 kib i
  for ((i = 0; i < memory_runs; i++)); do
    rm -rf "$memory_home/.orvane"
    kib=$(HOME=$memory_home QZ_INTERNAL_INSTALL_AGENT_URL=$base_url/agent-$1.zip \
      peak_rss "$work/rss" "$data/installer-1.run")
    log "  launcher, agent-$1: $kib KiB"
    [ "$kib" -gt "$best" ] && best=$kib
  done
  rm -rf "$memory_home/.orvane"
  echo "$best"
}
log "peak memory, cold runs ($memory_runs each)"
small_kib=$(launcher_peak mem-small)
large_kib=$(launcher_peak mem-large)
curl_kib=0
for ((i = 0; i < memory_runs; i++)); do
  kib=$(HOME=$memory_home peak_rss "$work/rss" curl -s -o "$work/download.bin" "$base_url/agent-mem-large.zip")
  rm -f "$work/download.bin"
  log "  curl -s -o, $(size_label "$memory_large_mib"): $kib KiB"
  [ "$kib" -gt "$curl_kib" ] && curl_kib=$kib
done
unzip_kib=$(peak_rss "$work/rss" unzip -qq -o "$server/www/agent-mem-large.zip" -d "$work/unzip-alone")
rm -rf "$work/unzip-alone"
sh_kib=$(peak_rss "$work/rss" sh -c 'exit 0')
log "  children alone: unzip of the $(size_label "$memory_large_mib") agent $unzip_kib KiB, sh $sh_kib KiB"

difference=$((large_kib - small_kib))
add_row "3" "Peak RSS (/usr/bin/time %M, max of $memory_runs; includes waited-for children) of a cold run: $(size_label "$memory_large_mib") agent vs $(size_label "$memory_small_mib") agent" \
  "$(fmt_int "$large_kib") KiB" "$(fmt_int "$small_kib") KiB" "$( [ $difference -ge 0 ] && echo +)$(fmt_int "$difference") KiB" \
  "within ±1,024 KiB" "$( [ ${difference#-} -le 1024 ] && echo pass || echo '**FAIL**')"
add_row "3" "Peak RSS of a cold run with the $(size_label "$memory_large_mib") agent vs \`curl -s -o FILE URL\` downloading it" \
  "$(fmt_int "$large_kib") KiB" "$(fmt_int "$curl_kib") KiB" "$(ratio "$large_kib" "$curl_kib")" "≤ 1.00" \
  "$(at_most "$large_kib" "$curl_kib" 1.0)"

# ---------------------------------------------------------------------------
# makeself: the same bundle file plus a start script that ends at once, run
# as a user would run it (it checks its MD5 and CRC, extracts to a temporary
# directory, runs the script and removes the directory).

makeself_dir=$work/makeself-content
mkdir -p "$makeself_dir"
cp "$data/bundle-$makeself_bundle_mib.zip" "$makeself_dir/bundle.zip"
printf 'exit 0\n' >"$makeself_dir/start.sh"
chmod +x "$makeself_dir/start.sh"
log "packing makeself archives (default gzip, and --nocomp --nomd5 --nocrc)"
makeself "$makeself_dir" "$data/makeself-gzip.run" "qz bench" ./start.sh >/dev/null
makeself --nocomp --nomd5 --nocrc "$makeself_dir" "$data/makeself-nocomp.run" "qz bench" ./start.sh >/dev/null
rm -rf "$makeself_dir"
# Left to itself makeself extracts below $TMPDIR; keep that inside $work.
makeself_tmp=$work/makeself-tmp

read -r rounds warmup runs <<<"$makeself_runs"
log "makeself vs launcher (warm cache), $(size_label "$makeself_bundle_mib") bundle: $rounds rounds of $runs runs each"
# How fast either archive runs depends on the machine's unzip and gzip; what
# the launcher answers for is its own cost, so the rows pass when it stays
# within 1.05 times the floor (the same work by hand) timed alongside.
bench_names=(launcher floor makeself-gzip makeself-nocomp)
bench_commands=("$data/installer-$makeself_bundle_mib.run"
  "$(warm_floor "$data/installer-$makeself_bundle_mib.run")" "$data/makeself-gzip.run --nox11"
  "$data/makeself-nocomp.run --nox11")
bench_prepares=(sync sync sync sync)
TMPDIR=$makeself_tmp HOME=$warm_home QZ_INTERNAL_INSTALL_AGENT_URL=$warm_url \
  timed makeself "$rounds" "$warmup" "$runs"
for name in "${bench_names[@]}"; do describe "$name" "$(stats makeself "$name")"; done
read -r ours _ _ n <<<"$(stats makeself launcher)"
read -r floor _ <<<"$(stats makeself floor)"
read -r gzip_time _ <<<"$(stats makeself makeself-gzip)"
read -r nocomp_time _ <<<"$(stats makeself makeself-nocomp)"
leftover=$(ls -A "$makeself_tmp")
[ -z "$leftover" ] || log "makeself left behind: $leftover"
within_floor="≤ 1.05 × floor ($(fmt_time "$floor"))"
add_row "4" "$(size_label "$makeself_bundle_mib") bundle, run to completion, median of $n: launcher (warm cache) vs makeself archive (defaults: gzip, MD5 + CRC check)" \
  "$(fmt_time "$ours")" "$(fmt_time "$gzip_time")" "$(ratio "$ours" "$gzip_time")" "$within_floor" \
  "$(at_most "$ours" "$floor" 1.05)"
add_row "4" "Same, makeself --nocomp --nomd5 --nocrc archive (unpacks and runs, checks nothing)" \
  "$(fmt_time "$ours")" "$(fmt_time "$nocomp_time")" "$(ratio "$ours" "$nocomp_time")" "$within_floor" \
  "$(at_most "$ours" "$floor" 1.05)"

# ---------------------------------------------------------------------------
# Size of the stripped launcher.

# Against the same code linked dynamically, which needs libcurl and some thirty
# further shared libraries beside it.
strip -o "$work/qz-bootstrap.stripped" "$launcher"
strip -o "$work/qz-bootstrap-dynamic.stripped" "$dynamic_launcher"
stripped=$(stat -c %s "$work/qz-bootstrap.stripped")
dynamic=$(stat -c %s "$work/qz-bootstrap-dynamic.stripped")
limit=$((6 * MiB))
add_row "5" "Stripped launcher size (strip qz-bootstrap): static, every library inside, vs the same code linked against the shared libraries" \
  "$(fmt_int "$stripped") B" "$(fmt_int "$dynamic") B" "$(ratio "$stripped" "$dynamic")" "≤ 6 MiB ($(fmt_int "$limit") B)" \
  "$( [ "$stripped" -le "$limit" ] && echo pass || echo '**FAIL**')"

# ---------------------------------------------------------------------------
# Checks after the runs: the launcher and the floor leave no scratch behind.

for dir in /tmp/qz?????? /tmp/floor??????; do
  [ -d "$dir" ] || continue
  grep -qxF "$dir" <<<"$existing_scratch" && continue
  [ -f "$dir/bundle.zip" ] && log "warning: scratch directory left behind: $dir"
done
log "finished in $(($(date +%s) - started_at)) s; load average now: $(cut -d' ' -f1-3 /proc/loadavg)"

# ---------------------------------------------------------------------------
# The report.

cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
mode=""
[ "$quick" = yes ] && mode=" (--quick: fewer runs, smaller sizes)"
{
  echo "Benchmark of $(date -u '+%Y-%m-%d %H:%M UTC') on $(uname -srm), CPU: ${cpu:-unknown}, $(nproc) cores$mode"
  echo
  echo "| # | What is measured | Launcher | Compared with | Ratio | Target | Result |"
  echo "|---|---|---:|---:|---:|---|---|"
  printf '%s\n' "${rows[@]}"
} >&3
