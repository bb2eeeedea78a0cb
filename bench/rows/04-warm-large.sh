# Warm cache, the largest bundle: the time goes to getting the bundle out of
# the installer, where the launcher must do much better than unzip writing
# it out and rm deleting it.
warm_cache
mib=$(large_mib)
installer=$(installer "$mib")
bench_names=(launcher compared)
bench_commands=("$installer" "$(warm_by_hand "$installer")")
bench_prepares=(sync sync)
# shellcheck disable=SC2046
HOME=$warm_home QZ_INTERNAL_INSTALL_AGENT_URL=$warm_url timed warm-large $(pick "2 1 3" "3 1 3")
time_row warm-large warm-large "Warm cache, $(size_label "$mib") bundle" "unzip + curl -I + sh + rm by hand"
