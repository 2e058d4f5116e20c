#!/bin/sh
# mirt beside nginx and lighttpd (one worker each, loopback, same tree):
# requests/s and median latency for small and large files and a listing,
# MiB/s for a 256 MiB download, peak memory; then HTTPS (one self-signed
# certificate): keep-alive requests/s and the 256 MiB download over TLS;
# medians with ratios ours/peer.
# Usage: bench/http.sh [BIN_DIR]   (default build/bin)
# Environment: REPEATS (3), SECONDS_PER_RUN (3), BENCH_ROWS (append the
# table to this file), BENCH_ONLY=tls (the HTTPS loads alone), tls-bulk
# (the HTTPS download alone), BENCH_ONLY=workers (mirt Workers=auto against
# nginx worker_processes auto), BENCH_ONLY=idle (100,000 idle connections
# against nginx). The download rows name the path mirt's file
# data takes ("TLS sends: ..." at its start); nginx may use kernel TLS too.
# The HTTPS download also shows curl's CPU: client and server share the cores.
set -e
here=$(cd "$(dirname "$0")" && pwd)
bindir=${1:-$here/../build/bin}
. "$here/peers.sh"
need_programs nginx:nginx-light lighttpd:lighttpd ab:apache2-utils wrk:wrk curl:curl \
  python3:python3 openssl:openssl
# lighttpd's TLS is a module of its own: without it lighttpd sits out HTTPS.
need_files /usr/lib/lighttpd/mod_openssl.so:lighttpd-mod-openssl ||
  echo "lighttpd-mod-openssl is not installed: lighttpd sits out the HTTPS loads." >&2
exec python3 "$here/http_bench.py" "$bindir"
