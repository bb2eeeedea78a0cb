# Start-up: an offline installer with a 1 KiB bundle and an agent that ends at
# once, so the run is little more than starting the launcher and its tools;
# packed once with the static launcher and once with the same code linked
# against the system's shared libcurl. The difference is what loading the
# shared libraries costs on every run.
bench_names=(launcher compared)
bench_commands=("$(offline_installer "$launcher" static)" "$(offline_installer "$dynamic_launcher" dynamic)")
bench_prepares=()
# shellcheck disable=SC2046 # rounds, warm-up runs and runs per round
HOME=$work/home-offline timed startup-dynamic $(pick "2 3 10" "4 5 20")
time_row startup-dynamic startup-dynamic \
  "Start-up: offline installer, 1 KiB bundle, agent that exits at once; static launcher" \
  "the same code with the system's shared libcurl"
