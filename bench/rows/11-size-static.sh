# The stripped static launcher, every library inside, against the same code
# linked against the shared libraries, which need libcurl and some thirty
# further libraries beside it on the user's host.
strip -o "$work/static.stripped" "$launcher"
strip -o "$work/dynamic.stripped" "$dynamic_launcher"
row size-static B "Stripped launcher size (strip qz-bootstrap): static, every library inside, vs the same code linked against the shared libraries" \
  "$(stat -c %s "$work/static.stripped")" "$(stat -c %s "$work/dynamic.stripped")"
# The arm64 launcher, cross-built from the same tree, beside the x86-64 one.
aarch64-linux-gnu-strip -o "$work/arm64.stripped" "$arm64_launcher"
row size-static-arm64 B "Stripped arm64 launcher size (aarch64-linux-gnu-strip): static, every library inside, vs the x86-64 one" \
  "$(stat -c %s "$work/arm64.stripped")" "$(stat -c %s "$work/static.stripped")"
