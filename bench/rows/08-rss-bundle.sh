# Peak memory of a warm run as the bundle grows: getting the bundle out of
# the installer streams, so the peak stays flat from 10 MiB to the largest
# bundle, and below what curl needs to download a file of that size.
warm_cache
mib=$(large_mib) runs=$(pick 1 3)
small=$(installer 10) large=$(installer "$mib")
ln -sf "$(bundle_zip "$mib")" "$work/server/www/bundle-$mib.zip"
small_kib=$(HOME=$warm_home QZ_INTERNAL_INSTALL_AGENT_URL=$warm_url max_peak_rss "$runs" "$small")
large_kib=$(HOME=$warm_home QZ_INTERNAL_INSTALL_AGENT_URL=$warm_url max_peak_rss "$runs" "$large")
curl_kib=$(max_peak_rss "$runs" curl -s -o "$work/download.bin" "$server_url/bundle-$mib.zip")
rm -f "$work/download.bin"
log "  peak RSS of warm runs: 10 MiB bundle $small_kib KiB, $(size_label "$mib") $large_kib KiB; curl $curl_kib KiB"
row rss-bundle-flat KiB "Peak RSS (/usr/bin/time %M, max of $runs; includes waited-for children) of a warm run: $(size_label "$mib") bundle vs 10 MiB bundle" \
  "$large_kib" "$small_kib"
row rss-bundle-curl KiB "Peak RSS of a warm run with the $(size_label "$mib") bundle vs \`curl -s -o FILE URL\` downloading that bundle" \
  "$large_kib" "$curl_kib"
