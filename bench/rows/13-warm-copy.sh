# Warm cache, the largest bundle, against the least any launcher must do: one
# plain copy of the installer's bytes. The launcher copies only the bundle,
# but also checks its CRC-32 and removes it again.
warm_cache
mib=$(large_mib)
installer=$(installer "$mib")
bench_names=(launcher compared)
bench_commands=("$installer" "cp $installer $scratch/copy")
bench_prepares=(sync "rm -f $scratch/copy; sync")
# shellcheck disable=SC2046
HOME=$warm_home QZ_INTERNAL_INSTALL_AGENT_URL=$warm_url timed warm-copy $(pick "2 1 3" "3 1 3")
time_row warm-copy warm-copy "Warm cache, $(size_label "$mib") bundle" "cp of the installer"
