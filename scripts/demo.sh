#!/usr/bin/env bash
# Builds the launcher, packs a sample offline installer and runs it, then an
# online one against a local agent server (nginx), cold and warm; then the
# same bundle packed with the arm64 launcher, run under qemu-aarch64, which
# keeps its agent in a cache of its own platform beside the x86-64 one.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target qz-bootstrap make-installer >/dev/null
cmake --preset arm64 >/dev/null
cmake --build --preset arm64 >/dev/null

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo/bundle" "$demo/agent"

echo "Everything the product needs would be here." > "$demo/bundle/readme.txt"
(cd "$demo/bundle" && zip -q -r ../bundle.zip .)

cat > "$demo/agent/install" <<'AGENT'
# A sample install agent: shows what the launcher handed it.
echo "  agent: bundle $2 ($(wc -c < "$2") bytes) holds:"
unzip -Z1 "$2" | sed 's/^/    /'
shift 2
echo "  agent: $# argument(s):"
for argument in "$@"; do echo "    [$argument]"; done
AGENT
(cd "$demo/agent" && zip -q ../agent.zip install)

build/bin/make-installer --agent "$demo/agent.zip" build/bin/qz-bootstrap "$demo/bundle.zip" \
  "$demo/setup-offline.run"
echo "Packed $demo/setup-offline.run ($(wc -c < "$demo/setup-offline.run") bytes)."
echo
echo "\$ $demo/setup-offline.run --target '/opt/demo app' --quiet"
status=0
"$demo/setup-offline.run" --target '/opt/demo app' --quiet || status=$?
echo "launcher exit status: $status"

# The online route: the agent comes from an agent server into a per-user cache
# (kept in a temporary home here, so the demo leaves your own home alone).
server="$demo/server"
mkdir -p "$server/www"
agent_path=/pi_install_agent_pi_T19q7c_hostk64
# Each machine type's launcher asks for its own platform's agent; this
# sample agent is a shell script, so one archive serves both.
cp "$demo/agent.zip" "$server/www$agent_path"
cp "$demo/agent.zip" "$server/www/pi_install_agent_pi_T19q7c_hostka64"
build/bin/make-installer build/bin/qz-bootstrap "$demo/bundle.zip" "$demo/setup-online.run"
server_url=$(./scripts/agent-server.sh start "$server")
server_url=${server_url%%$'\n'*}  # the first line; the second names the pid file
# The cache must lie on a path that no one else can change; a private
# directory under /tmp is one whatever the umask of this checkout.
demo_home=$(mktemp -d)
trap './scripts/agent-server.sh stop "$server"; rm -rf "$demo_home"' EXIT
export HOME="$demo_home" QZ_INTERNAL_INSTALL_AGENT_URL="$server_url$agent_path"
echo
echo "Agent server: $QZ_INTERNAL_INSTALL_AGENT_URL (nginx)"
for run in cold warm; do
  echo
  echo "\$ $demo/setup-online.run --$run-cache"
  : > "$server/access.log"
  status=0
  "$demo/setup-online.run" --$run-cache || status=$?
  echo "launcher exit status: $status"
  sed 's/^/  server: /' "$server/access.log"
done

# The same bundle for arm64 machines, run here under qemu's user-mode emulator.
build/bin/make-installer --agent "$demo/agent.zip" build-arm64/bin/qz-bootstrap "$demo/bundle.zip" \
  "$demo/setup-arm64-offline.run"
build/bin/make-installer build-arm64/bin/qz-bootstrap "$demo/bundle.zip" "$demo/setup-arm64-online.run"
echo
echo "Packed $demo/setup-arm64-offline.run and $demo/setup-arm64-online.run, for arm64."
echo
echo "\$ qemu-aarch64 $demo/setup-arm64-offline.run --arm64"
status=0
qemu-aarch64 "$demo/setup-arm64-offline.run" --arm64 || status=$?
echo "launcher exit status: $status"
export QZ_INTERNAL_INSTALL_AGENT_URL="$server_url/pi_install_agent_pi_T19q7c_hostka64"
for run in cold warm; do
  echo
  echo "\$ qemu-aarch64 $demo/setup-arm64-online.run --arm64-$run-cache   # agent: ${QZ_INTERNAL_INSTALL_AGENT_URL##*/}"
  : > "$server/access.log"
  status=0
  qemu-aarch64 "$demo/setup-arm64-online.run" --arm64-$run-cache || status=$?
  echo "launcher exit status: $status"
  sed 's/^/  server: /' "$server/access.log"
done
echo
echo "The per-user caches, one per platform: $(ls "$HOME/.orvane/installagent/T19q7c" | tr '\n' ' ')"
