# The benchmark's shared parts, sourced by bench/run.sh: the workspace and
# its cleanup, the inputs (bundles, installers, agents, a warm cache), the
# agent server, hyperfine timing, peak memory, and the table's rows with
# their targets from bench/targets.tsv.
#
# Everything lives in one directory under /tmp ($work), removed at the end:
# launchers run with HOMEs inside it and the work done by hand makes its
# scratch directories in $scratch. Row files run in subshells: what they make
# persists as files, not as variables.

# shellcheck disable=SC2034 # the row files use what is set here
MiB=1048576
repo=$PWD
quick=no
build_dir=build-bench   # the static launcher and the packer
dynamic_build_dir=build-bench-dynamic
arm64_build_dir=build-bench-arm64   # the arm64 launcher, cross-built, for its size
signed_launcher="" signing_key=""
work="" server_url=""
started_at=$(date +%s)
# The launcher's scratch directories that exist before the run are never
# touched; the ones a killed launcher leaves behind are recognised by their
# bundle's size.
existing_scratch=$(ls -d /tmp/qz?????? 2>/dev/null || true)

log() { echo "bench: $*" >&2; }
die() {
  log "$*"
  exit 1
}
is_quick() { [ "$quick" = yes ]; }
# pick QUICK FULL: the value for this kind of run.
pick() { if is_quick; then echo "$1"; else echo "$2"; fi; }

# ---------------------------------------------------------------------------
# Workspace, tools and cleanup

install_tools() {
  ./scripts/install-deps.sh hyperfine makeself curl time jq binutils gzip bsdutils
}

# Builds (or brings up to date) the static launcher and the packer in
# $build_dir, the same launcher linked against the system's shared libcurl
# in $dynamic_build_dir, and the arm64 launcher in $arm64_build_dir.
build_launchers() {
  log "building: the static launcher in $build_dir/, a dynamic one in $dynamic_build_dir/"
  [ -f "$build_dir/CMakeCache.txt" ] ||
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DQZ_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build_dir" -j "$(nproc)" --target qz-bootstrap make-installer sign-agent >/dev/null
  cmake -S . -B "$dynamic_build_dir" -DCMAKE_BUILD_TYPE=Release -DQZ_BUILD_TESTS=OFF \
    -DQZ_STATIC=OFF >/dev/null
  cmake --build "$dynamic_build_dir" -j "$(nproc)" --target qz-bootstrap >/dev/null
  [ -f "$arm64_build_dir/CMakeCache.txt" ] || cmake --preset arm64 -B "$arm64_build_dir" >/dev/null
  cmake --build "$arm64_build_dir" -j "$(nproc)" --target qz-bootstrap >/dev/null
}

# The workspace, with private copies of the programs, so that a rebuild while
# the benchmark runs changes nothing.
make_workspace() {
  work=$(mktemp -d /tmp/qzbench-XXXXXX)
  data=$work/data bin=$work/bin scratch=$work/scratch
  mkdir -p "$bin" "$data" "$scratch" "$work/server/www" "$work/json" "$work/rows"
  cp "$build_dir/bin/qz-bootstrap" "$build_dir/bin/make-installer" "$bin/"
  cp "$dynamic_build_dir/bin/qz-bootstrap" "$bin/qz-bootstrap-dynamic"
  cp "$arm64_build_dir/bin/qz-bootstrap" "$bin/qz-bootstrap-arm64"
  [ -z "$signed_launcher" ] || cp "$signed_launcher" "$bin/qz-bootstrap-signed"
  # shellcheck disable=SC2034 # used by the row files
  launcher=$bin/qz-bootstrap dynamic_launcher=$bin/qz-bootstrap-dynamic
  arm64_launcher=$bin/qz-bootstrap-arm64
  make_installer=$bin/make-installer
}

start_agent_server() {
  server_url=$(./scripts/agent-server.sh start "$work/server")
  server_url=${server_url%%$'\n'*}
  log "agent server: $server_url (nginx, scripts/agent-server.sh)"
}

# The launcher's scratch directories made during this run and left behind.
leftover_scratch() {
  local dir
  for dir in /tmp/qz??????; do
    [ -f "$dir/bundle.zip" ] || continue
    grep -qxF "$dir" <<<"$existing_scratch" && continue
    grep -qxF "$(stat -c %s "$dir/bundle.zip")" "$work/bundle-sizes" 2>/dev/null && echo "$dir"
  done
  return 0
}

cleanup() {
  local status=$? dir
  if [ -n "$work" ]; then
    ./scripts/agent-server.sh stop "$work/server" || true
    for dir in $(leftover_scratch); do
      log "removing leftover $dir"
      rm -rf "$dir"
    done
    rm -rf "$work"
  fi
  exit "$status"
}

# ---------------------------------------------------------------------------
# Inputs, each made once on first use (rows run in subshells: the files are
# the memory). The large sizes shrink with --quick.

large_mib() { pick 100 1024; }
size_label() { if [ "$1" -ge 1024 ]; then echo "$(($1 / 1024)) GiB"; else echo "$1 MiB"; fi; }

# random_content FILE MIB: incompressible bytes.
random_content() { head -c $(($2 * MiB)) /dev/urandom >"$1"; }

# A bundle of MIB MiB of incompressible content wrapped with zip -0; prints its path.
bundle_zip() { # MIB
  local zip=$data/bundle-$1.zip dir=$data/b$1
  if [ ! -f "$zip" ]; then
    mkdir -p "$dir"
    random_content "$dir/content.bin" "$1"
    (cd "$dir" && zip -q -0 "$zip" content.bin)
    rm -rf "$dir"
    stat -c %s "$zip" >>"$work/bundle-sizes"
  fi
  echo "$zip"
}

# An online installer of the static launcher (or IMAGE) with a MIB bundle; prints its path.
installer() { # MIB [IMAGE NAME]
  local image=${2:-$launcher} out=$data/installer-${3:-static}-$1.run
  [ -f "$out" ] || "$make_installer" "$image" "$(bundle_zip "$1")" "$out"
  echo "$out"
}

# An agent archive on the server: an install script that ends at once (and
# writes $QZ_BENCH_MARK when set, so a run can be checked), plus MIB of
# filler. Prints its URL; with a signing key, its signed manifest (.sig) lies
# beside it.
agent_url() { # NAME MIB
  local zip=$work/server/www/agent-$1.zip dir=$data/agent-$1
  if [ ! -f "$zip" ]; then
    mkdir -p "$dir"
    # shellcheck disable=SC2016 # the agent's own lines
    printf '%s\n' '[ -z "$QZ_BENCH_MARK" ] || echo "$2" >"$QZ_BENCH_MARK"' 'exit 0' >"$dir/install"
    [ "$2" -eq 0 ] || random_content "$dir/filler.bin" "$2"
    (cd "$dir" && zip -q -0 -r "$zip" .)
    rm -rf "$dir"
    if [ -n "$signing_key" ]; then
      "$build_dir/bin/sign-agent" --key "$signing_key" --name "agent-$1.zip" --version 1 "$zip"
    fi
  fi
  echo "$server_url/agent-$1.zip"
}

# An offline installer (agent packed in) with a 1 KiB bundle, of IMAGE; prints its path.
offline_installer() { # IMAGE NAME
  local dir=$data/offline out=$data/offline-$2.run
  if [ ! -f "$dir/bundle.zip" ]; then
    mkdir -p "$dir/agent"
    head -c 1024 /dev/urandom >"$dir/content.bin"
    (cd "$dir" && zip -q -0 bundle.zip content.bin)
    printf 'exit 0\n' >"$dir/agent/install"
    (cd "$dir/agent" && zip -q ../agent.zip install)
    stat -c %s "$dir/bundle.zip" >>"$work/bundle-sizes"
  fi
  [ -f "$out" ] || "$make_installer" --agent "$dir/agent.zip" "$1" "$dir/bundle.zip" "$out"
  echo "$out"
}

# A HOME whose agent cache holds the small agent; the first call checks that a
# warm run asks one HEAD and runs the agent. Sets warm_home, warm_url and
# cached_install (the cached agent's start script).
warm_cache() {
  warm_home=$work/home-warm warm_url=$(agent_url small 0)
  cached_install=$warm_home/.orvane/installagent/T19q7c/hostk64/installagent/install
  [ -f "$cached_install" ] && return 0
  local installer1 requests
  installer1=$(installer 1)
  mkdir -p "$warm_home"
  HOME=$warm_home QZ_INTERNAL_INSTALL_AGENT_URL=$warm_url "$installer1" >/dev/null
  [ -f "$cached_install" ] || die "the launcher did not fill the agent cache"
  requests=$(wc -l <"$work/server/access.log")
  HOME=$warm_home QZ_INTERNAL_INSTALL_AGENT_URL=$warm_url QZ_BENCH_MARK=$work/mark \
    "$installer1" >/dev/null
  requests=$(tail -n +$((requests + 1)) "$work/server/access.log")
  [ "$requests" = "HEAD /agent-small.zip 200" ] ||
    die "a warm run should ask exactly one HEAD, asked: $requests"
  [ -s "$work/mark" ] || die "the agent did not run on a warm start"
  rm -f "$work/mark"
  log "warm run checked: one HEAD request, the agent ran"
}

# The same warm run done by hand: unzip, curl -I, sh, rm.
warm_by_hand() { # INSTALLER
  echo "sh -c 'd=\$(mktemp -d $scratch/XXXXXX); unzip -qq $1 -d \$d; curl -sI $warm_url >/dev/null; sh $cached_install -installbundle \$d/bundle.zip; rm -rf \$d'"
}

# ---------------------------------------------------------------------------
# Timing. The machine may be busy with other work, and hyperfine runs all the
# runs of one command before the next: so each comparison is split into
# rounds, the order of the commands rotating from round to round, and the
# statistics are taken over the runs of all rounds.
#
# timed TAG ROUNDS WARMUP RUNS_PER_ROUND: times the commands of the arrays
# bench_names and bench_commands, each after its bench_prepares entry when
# that array is not empty.
bench_names=() bench_commands=() bench_prepares=()
timed() {
  local tag=$1 rounds=$2 warmup=$3 runs=$4 count=${#bench_names[@]} r k i
  log "$tag: $rounds rounds of $runs runs each"
  for ((r = 0; r < rounds; r++)); do
    local arguments=()
    for ((k = 0; k < count; k++)); do
      i=$(((k + r) % count))
      if [ ${#bench_prepares[@]} -gt 0 ]; then arguments+=(--prepare "${bench_prepares[i]}"); fi
      arguments+=(-n "${bench_names[i]}" "${bench_commands[i]}")
    done
    hyperfine -N --style basic --warmup "$warmup" --runs "$runs" \
      --export-json "$work/json/$tag-$r.json" "${arguments[@]}" >&2
  done
}

# median TAG NAME: the median wall time in seconds over all rounds (a run
# stalled by the disk writing back an earlier run's gigabytes says nothing
# about the command), then the number of runs; the mean and deviation go to
# the log.
median() {
  local summary m n mean sd
  summary=$(jq -rs --arg name "$2" '
    [.[].results[] | select(.command == $name) | .times[]] | sort
    | length as $n | (add / $n) as $mean
    | (if $n > 1 then (map(($mean - .) * ($mean - .)) | add) / ($n - 1) | sqrt else 0 end) as $sd
    | (if $n % 2 == 1 then .[($n - 1) / 2] else (.[$n / 2 - 1] + .[$n / 2]) / 2 end) as $median
    | "\($median) \($n) \($mean) \($sd)"' "$work/json/$1"-*.json)
  read -r m n mean sd <<<"$summary"
  log "  $2: median $(fmt_value s "$m"), mean $(fmt_value s "$mean") ± $(fmt_value s "$sd"), $n runs"
  echo "$m $n"
}

# time_row ID TAG WHAT COMPARED: the row for the commands "launcher" and
# "compared" timed under TAG.
time_row() {
  local ours theirs n
  read -r ours n <<<"$(median "$2" launcher)"
  read -r theirs _ <<<"$(median "$2" compared)"
  row "$1" s "$3: wall time, median of $n (vs $4)" "$ours" "$theirs"
}

# Peak resident memory in KiB of COMMAND, from GNU time's %M: the ru_maxrss
# that wait4 reports, which on Linux is the largest of the process's own peak
# and those of the children it waited for (a maximum, not a sum).
peak_rss() { # COMMAND...
  /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null
  tail -n 1 "$work/rss"
}

# The largest peak of RUNS runs of COMMAND.
max_peak_rss() { # RUNS COMMAND...
  local runs=$1 best=0 kib i
  shift
  for ((i = 0; i < runs; i++)); do
    kib=$(peak_rss "$@")
    [ "$kib" -gt "$best" ] && best=$kib
  done
  echo "$best"
}

# ---------------------------------------------------------------------------
# The table

fmt_int() { awk -v n="$1" 'BEGIN { s = sprintf("%d", n < 0 ? -n : n); r = ""; while (length(s) > 3) { r = "," substr(s, length(s) - 2) r; s = substr(s, 1, length(s) - 3) } printf "%s%s%s", (n < 0 ? "-" : ""), s, r }'; }
# A value in UNIT: s as "12.3 ms" or "1.234 s", KiB and B as grouped integers.
fmt_value() { # UNIT VALUE
  case $1 in
    s) awk -v s="$2" 'BEGIN { if (s < 1) printf "%.1f ms", s * 1000; else printf "%.3f s", s }' ;;
    *) echo "$(fmt_int "$2") $1" ;;
  esac
}

# The targets.tsv line of ID: "number kind limit reference".
target_of() { # ID
  awk -F'\t' -v id="$1" '$1 == id { print $2, $3, $4, $5; found = 1 } END { exit !found }' \
    "$repo/bench/targets.tsv" || die "bench/targets.tsv has no row $1"
}

# What the Target column says for KIND and LIMIT in UNIT.
target_text() { # KIND LIMIT UNIT
  case $1 in
    ratio) echo "≤ $2" ;;
    report) echo "—" ;;
    within) echo "within ±$(fmt_value "$3" "$2")" ;;
    growth) echo "≤ +$(fmt_value "$3" "$2")" ;;
    at-most) echo "≤ $(fmt_value "$3" "$2")" ;;
    *) die "bench/targets.tsv: unknown kind $1" ;;
  esac
}

# row ID UNIT WHAT OURS THEIRS: one table row, on the table's descriptor (4),
# held to ID's target. THEIRS may be "-" for the target's recorded reference.
row() {
  local id=$1 unit=$2 what=$3 ours=$4 theirs=$5 number kind limit reference shown result
  read -r number kind limit reference <<<"$(target_of "$id")"
  [ "$theirs" = - ] && theirs=$reference
  shown=$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.3f", a / b }')
  case $kind in
    ratio) result=$(awk -v a="$ours" -v b="$theirs" -v l="$limit" 'BEGIN { print (a / b <= l) ? "pass" : "**FAIL**" }') ;;
    report) result=reported ;;
    within | growth)
      local difference=$((ours - theirs)) over
      over=$([ "$kind" = within ] && echo "${difference#-}" || echo "$difference")
      shown="$([ "$difference" -ge 0 ] && echo +)$(fmt_value "$unit" "$difference")"
      result=$([ "$over" -le "$limit" ] && echo pass || echo "**FAIL**") ;;
    at-most) result=$([ "$ours" -le "$limit" ] && echo pass || echo "**FAIL**") ;;
  esac
  echo "| $number | $what | $(fmt_value "$unit" "$ours") | $(fmt_value "$unit" "$theirs") | $shown |" \
    "$(target_text "$kind" "$limit" "$unit") | $result |" >&4
}

# skip_row ID UNIT WHAT REASON: the row of a measurement that was not made.
skip_row() {
  local number kind limit reference
  read -r number kind limit reference <<<"$(target_of "$1")"
  echo "| $number | $3 | — | — | — | $(target_text "$kind" "$limit" "$2") | skipped: $4 |" >&4
}
