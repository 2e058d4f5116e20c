#!/bin/sh
# Every benchmark in one run, then one summary: the HTTP, HTTPS, FTP and
# FTPS tables with the ratios ours/peer, and rekkon's time for a million
# lines.
# Usage: bench/run.sh [BIN_DIR]   (default build/bin)
# Environment: REPEATS (3), SECONDS_PER_RUN (3). Takes some six minutes.
here=$(cd "$(dirname "$0")" && pwd)
bindir=$(cd "${1:-$here/../build/bin}" && pwd) || exit 1
. "$here/peers.sh"
rows=$(mktemp /tmp/bench-rows-XXXXXX)
trap 'rm -f "$rows"' EXIT
trap 'exit 1' INT TERM HUP
export BENCH_ROWS="$rows"
failed=""
sh "$here/http.sh" "$bindir" || failed="$failed http.sh"
sh "$here/ftp_compare.sh" "$bindir" || failed="$failed ftp_compare.sh"
echo
line=$(sh "$here/rekkon.sh" "$bindir/rekkon") || failed="$failed rekkon.sh"
echo "$line" | tee -a "$rows"
echo
echo "=== Summary ($(date -u '+%Y-%m-%d %H:%M UTC'); load average now $(cut -d' ' -f1-3 /proc/loadavg)) ==="
echo "Peers: $(peer_versions nginx-light lighttpd lighttpd-mod-openssl vsftpd apache2-utils wrk curl openssl)"
cat "$rows"
if [ -n "$failed" ]; then
  echo "Failed:$failed" >&2
  exit 1
fi
