#!/usr/bin/env bash
# Builds the launcher, packs a sample offline installer and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target qz-bootstrap make-installer >/dev/null

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
exit "$status"
