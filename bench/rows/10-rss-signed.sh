# Peak memory of a signed launcher's cold run as the agent grows: the
# archive's digest is computed as it streams, so memory must not grow with it. Needs a launcher built with QZ_AGENT_PUBLIC_KEY and its
# private key (bench/run.sh --signed LAUNCHER KEY).
mib=$(large_mib) runs=$(pick 1 3)
what="Peak RSS (/usr/bin/time %M, max of $runs) of a signed launcher's cold run: $(size_label "$mib") agent vs 10 MiB agent"
if [ -z "$signed_launcher" ]; then
  skip_row rss-signed-flat KiB "$what" "no signed launcher given (--signed LAUNCHER KEY)"
  return 0
fi
installer=$(installer 1 "$bin/qz-bootstrap-signed" signed)
home=$work/home-signed
signed_peak() { # URL: the largest peak of $runs cold runs, each checked to run the agent
  local best=0 kib i
  for ((i = 0; i < runs; i++)); do
    rm -rf "$home/.orvane" "$work/mark"
    kib=$(HOME=$home QZ_BENCH_MARK=$work/mark QZ_INTERNAL_INSTALL_AGENT_URL=$1 peak_rss "$installer")
    [ -s "$work/mark" ] || die "the signed launcher did not run the agent from $1"
    [ "$kib" -le "$best" ] || best=$kib
  done
  rm -rf "$home/.orvane" "$work/mark"
  echo "$best"
}
small_kib=$(signed_peak "$(agent_url signed-small 10)")
large_kib=$(signed_peak "$(agent_url signed-large "$mib")")
row rss-signed-flat KiB "$what" "$large_kib" "$small_kib"
