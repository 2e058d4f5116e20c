#!/bin/sh
# mirt beside nginx and lighttpd (one worker each, loopback, same tree):
# requests/s and median latency for small and large files and a listing,
# MiB/s for a 256 MiB download, peak memory; medians with ratios ours/peer.
# Usage: bench/http.sh [BIN_DIR]   (default build/bin)
# Environment: REPEATS (3), SECONDS_PER_RUN (3), BENCH_ROWS (append the
# table to this file).
set -e
here=$(cd "$(dirname "$0")" && pwd)
bindir=${1:-$here/../build/bin}
. "$here/peers.sh"
need_programs nginx:nginx-light lighttpd:lighttpd ab:apache2-utils curl:curl python3:python3
exec python3 "$here/http_bench.py" "$bindir"
