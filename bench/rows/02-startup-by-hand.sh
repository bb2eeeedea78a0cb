# The same offline start-up against the same work done by hand: a scratch
# directory, the installer and then the agent unpacked with unzip, the agent
# run with sh, the directory removed.
installer=$(offline_installer "$launcher" static)
bench_names=(launcher compared)
bench_commands=("$installer" "sh -c 'd=\$(mktemp -d $scratch/XXXXXX); unzip -qq $installer -d \$d; unzip -qq \$d/InstallAgent.zip -d \$d/agent; sh \$d/agent/install -installbundle \$d/bundle.zip; rm -rf \$d'")
bench_prepares=()
# shellcheck disable=SC2046
HOME=$work/home-offline timed startup-by-hand $(pick "2 3 10" "4 5 20")
time_row startup-by-hand startup-by-hand \
  "Start-up: offline installer, 1 KiB bundle, agent that exits at once" \
  "mktemp -d + unzip + unzip + sh + rm -rf by hand"
