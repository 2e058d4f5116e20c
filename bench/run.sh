#!/bin/sh
# Every benchmark in one run, then one summary: the HTTP, HTTPS, FTP and
# FTPS tables with the ratios ours/peer, rekkon's time for a million
# lines, and the performance targets, each holding or missing.
# Usage: bench/run.sh [BIN_DIR]   (default build/bin)
# Environment: REPEATS (3), SECONDS_PER_RUN (3), BENCH_ONLY (see
# bench/http.sh and bench/ftp_compare.sh). Takes some twenty minutes.
here=$(cd "$(dirname "$0")" && pwd)
bindir=$(cd "${1:-$here/../build/bin}" && pwd) || exit 1
. "$here/peers.sh"
rows=$(mktemp /tmp/bench-rows-XXXXXX)
values=$(mktemp /tmp/bench-values-XXXXXX)
trap 'rm -f "$rows" "$values"' EXIT
trap 'exit 1' INT TERM HUP
export BENCH_ROWS="$rows" BENCH_VALUES="$values"
# Time the hypervisor gave to others while this machine wanted it (steal):
# a shared host's share of the run, printed with the summary.
ticks() { awk '/^cpu /{print $9, $2+$3+$4+$5+$6+$7+$8+$9}' /proc/stat; }
start_ticks=$(ticks)
failed=""
sh "$here/http.sh" "$bindir" || failed="$failed http.sh"
sh "$here/ftp_compare.sh" "$bindir" || failed="$failed ftp_compare.sh"
echo
line=$(sh "$here/rekkon.sh" "$bindir/rekkon") || failed="$failed rekkon.sh"
echo "$line" | tee -a "$rows"
echo
steal=$(echo "$start_ticks $(ticks)" |
  awk '{ if ($4 > $2) printf "%.1f", 100 * ($3 - $1) / ($4 - $2); else printf "?" }')
echo "=== Summary ($(date -u '+%Y-%m-%d %H:%M UTC'); load average now $(cut -d' ' -f1-3 /proc/loadavg); hypervisor steal over the run ${steal}%) ==="
echo "Peers: $(peer_versions nginx-light lighttpd lighttpd-mod-openssl vsftpd apache2-utils wrk curl openssl)"
cat "$rows"
echo
python3 "$here/targets.py" "$values"
if [ -n "$failed" ]; then
  echo "Failed:$failed" >&2
  exit 1
fi
