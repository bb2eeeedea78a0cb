# The cold run with standard error a terminal, where the launcher draws its
# status line (redrawn up to ten times a second), against standard error
# sent to /dev/null, where it draws nothing. Both run under script(1), so
# the pseudo-terminal costs both alike.
mib=$(pick 50 200)
url=$(agent_url cold "$mib")
installer=$(installer 1)
home=$work/home-cold-terminal
bench_names=(launcher compared)
bench_commands=("script -qec '$installer' /dev/null" "script -qec '$installer 2>/dev/null' /dev/null")
bench_prepares=("sh -c 'rm -rf $home/.orvane && sync'" "sh -c 'rm -rf $home/.orvane && sync'")
# shellcheck disable=SC2046
HOME=$home QZ_INTERNAL_INSTALL_AGENT_URL=$url timed cold-terminal $(pick "2 1 2" "4 1 4")
time_row cold-terminal cold-terminal \
  "Cold cache, $(size_label "$mib") agent, standard error a terminal (script -qec), status line drawn" \
  "the same with standard error to /dev/null"
