# Warm cache, 1 MiB bundle: mostly start-up, where the static launcher starts
# no loader and maps no libraries, which the hand-made floor's curl does.
warm_cache
installer=$(installer 1)
bench_names=(launcher compared)
bench_commands=("$installer" "$(warm_by_hand "$installer")")
# Every run starts without the previous run's dirty pages still being written.
bench_prepares=(sync sync)
# shellcheck disable=SC2046
HOME=$warm_home QZ_INTERNAL_INSTALL_AGENT_URL=$warm_url timed warm-small $(pick "2 2 8" "4 5 20")
time_row warm-small warm-small "Warm cache, 1 MiB bundle" "unzip + curl -I + sh + rm by hand"
