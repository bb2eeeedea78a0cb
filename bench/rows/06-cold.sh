# Cold cache: the agent is downloaded and unpacked on every run, against the
# same done by hand (the agent unpacked into a cache of the same layout).
mib=$(pick 50 200)
url=$(agent_url cold "$mib")
installer=$(installer 1)
home=$work/home-cold by_hand_home=$work/home-cold-by-hand
cache=.orvane/installagent/T19q7c/hostk64
mkdir -p "$home" "$by_hand_home"

requests=$(wc -l <"$work/server/access.log")
HOME=$home QZ_INTERNAL_INSTALL_AGENT_URL=$url QZ_BENCH_MARK=$work/mark "$installer" >/dev/null
grep -q "^GET " <(tail -n +$((requests + 1)) "$work/server/access.log") || die "a cold run made no GET request"
[ -s "$work/mark" ] || die "the agent did not run on a cold start"
rm -f "$work/mark"

bench_names=(launcher compared)
bench_commands=("$installer" "sh -c 'd=\$(mktemp -d $scratch/XXXXXX); unzip -qq $installer -d \$d; curl -s -o \$d/InstallAgent.zip $url; mkdir -p $by_hand_home/$cache; unzip -qq -o \$d/InstallAgent.zip -d $by_hand_home/$cache/installagent; sh $by_hand_home/$cache/installagent/install -installbundle \$d/bundle.zip; rm -rf \$d'")
bench_prepares=("sh -c 'rm -rf $home/.orvane && sync'" "sh -c 'rm -rf $by_hand_home/.orvane && sync'")
# shellcheck disable=SC2046
HOME=$home QZ_INTERNAL_INSTALL_AGENT_URL=$url timed cold $(pick "2 1 2" "4 1 4")
time_row cold cold "Cold cache, $(size_label "$mib") agent over loopback" \
  "curl -o + unzip + unzip + sh + rm by hand"
