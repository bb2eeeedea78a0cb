# A 100 MiB bundle run to completion: the launcher (warm cache) against a
# makeself archive of the same bundle and a start script that ends at once,
# run as a user runs it (it checks, extracts to a temporary directory, runs
# the script and removes the directory). The archive without checks unpacks
# with tar alone; the default one decompresses and checksums too.
warm_cache
installer=$(installer 100)
dir=$data/makeself
mkdir -p "$dir/content" "$dir/tmp"
cp "$(bundle_zip 100)" "$dir/content/bundle.zip"
printf 'exit 0\n' >"$dir/content/start.sh"
chmod +x "$dir/content/start.sh"
log "packing makeself archives (defaults, and --nocomp --nomd5 --nocrc)"
makeself "$dir/content" "$dir/default.run" "qz bench" ./start.sh >/dev/null
makeself --nocomp --nomd5 --nocrc "$dir/content" "$dir/nocomp.run" "qz bench" ./start.sh >/dev/null
rm -rf "$dir/content"
bench_names=(launcher makeself-nocomp makeself-default)
bench_commands=("$installer" "$dir/nocomp.run --nox11" "$dir/default.run --nox11")
bench_prepares=(sync sync sync)
# Left to itself makeself extracts below $TMPDIR: kept inside the workspace.
# shellcheck disable=SC2046
TMPDIR=$dir/tmp HOME=$warm_home QZ_INTERNAL_INSTALL_AGENT_URL=$warm_url \
  timed makeself $(pick "1 1 3" "2 1 5")
[ -z "$(ls -A "$dir/tmp")" ] || log "makeself left behind: $(ls -A "$dir/tmp")"
read -r ours n <<<"$(median makeself launcher)"
read -r nocomp _ <<<"$(median makeself makeself-nocomp)"
read -r default _ <<<"$(median makeself makeself-default)"
row makeself-nocomp s "Warm cache, 100 MiB bundle, run to completion, median of $n: launcher vs makeself --nocomp --nomd5 --nocrc archive (unpacks and runs, checks nothing)" \
  "$ours" "$nocomp"
row makeself-default s "Same, vs makeself's default archive (gzip, MD5 + CRC check)" "$ours" "$default"
