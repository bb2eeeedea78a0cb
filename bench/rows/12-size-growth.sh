# What unpacking in the launcher's own process costs in size: the stripped
# static launcher against the recorded size of the one that still ran unzip.
strip -o "$work/static.stripped" "$launcher"
row size-growth B "Stripped static launcher size vs the recorded baseline before in-process unpacking" \
  "$(stat -c %s "$work/static.stripped")" -
