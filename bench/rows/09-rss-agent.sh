# Peak memory of a cold run as the agent grows: the download streams to disk
# in pieces, so the peak stays flat from a 10 MiB agent to the largest, and
# below what curl needs to download the same archive.
mib=$(large_mib) runs=$(pick 1 3)
installer=$(installer 1)
home=$work/home-memory
cold_peak() { # URL: the largest peak of $runs cold runs
  local best=0 kib i
  for ((i = 0; i < runs; i++)); do
    rm -rf "$home/.orvane"
    kib=$(HOME=$home QZ_INTERNAL_INSTALL_AGENT_URL=$1 peak_rss "$installer")
    [ "$kib" -le "$best" ] || best=$kib
  done
  rm -rf "$home/.orvane"
  echo "$best"
}
small_kib=$(cold_peak "$(agent_url memory-small 10)")
large_url=$(agent_url memory-large "$mib")
large_kib=$(cold_peak "$large_url")
curl_kib=$(max_peak_rss "$runs" curl -s -o "$work/download.bin" "$large_url")
rm -f "$work/download.bin"
log "  peak RSS of cold runs: 10 MiB agent $small_kib KiB, $(size_label "$mib") $large_kib KiB; curl $curl_kib KiB"
row rss-agent-flat KiB "Peak RSS (/usr/bin/time %M, max of $runs; includes waited-for children) of a cold run: $(size_label "$mib") agent vs 10 MiB agent" \
  "$large_kib" "$small_kib"
row rss-agent-curl KiB "Peak RSS of a cold run with the $(size_label "$mib") agent vs \`curl -s -o FILE URL\` downloading it" \
  "$large_kib" "$curl_kib"
