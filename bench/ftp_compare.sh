#!/bin/sh
# zolf beside vsftpd (loopback, same tree): MiB/s of a 256 MiB RETR and
# STOR over PASV (curl), sessions/s (ftplib: login, CWD, LIST, QUIT) with 1
# and 16 clients, peak memory; the 256 MiB RETR and STOR again over explicit
# TLS (AUTH TLS, PROT P; one self-signed certificate); medians with the
# ratio zolf/vsftpd.
# bench/ftp.sh measures zolf alone (or any server already running).
# Usage: bench/ftp_compare.sh [BIN_DIR]   (default build/bin)
# Environment: REPEATS (3), SECONDS_PER_RUN (3), BENCH_ROWS, BENCH_ONLY=tls
# (the TLS transfers alone) or tls-bulk (the TLS RETR alone). The TLS rows
# name the path zolf's file data takes ("TLS sends: ..." at its start).
set -e
here=$(cd "$(dirname "$0")" && pwd)
bindir=${1:-$here/../build/bin}
. "$here/peers.sh"
need_programs vsftpd:vsftpd curl:curl python3:python3 openssl:openssl
exec python3 "$here/ftp_bench.py" "$bindir"
