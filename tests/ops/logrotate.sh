#!/bin/sh
# Rotates mirt's log with the shipped logrotate rules, first as shipped
# (move, then SIGUSR1), then with copytruncate: no line may be lost and the
# truncated file must not start with a run of NUL bytes.
# Usage: logrotate.sh SOURCE_DIR BIN_DIR    Exit 77 without logrotate.
src=$1 bin=$2
rotate=$(command -v logrotate || echo /usr/sbin/logrotate)
if [ ! -x "$rotate" ]; then
  echo "SKIPPED: logrotate is not installed (Debian package: logrotate)"
  exit 77
fi
tmp=$(mktemp -d) || exit 1
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$tmp/site" && echo hello > "$tmp/site/a.txt"
cat > "$tmp/mirt.ini" <<INI
; logrotate test
Port=$port
Address=127.0.0.1
ExternIP=http://127.0.0.1:$port
MaxConnections=20
ExtendedMessages=1
DirectoryListing=0
ShowProtectedFiles=0
AddType=.txt;text/plain
AddVirtual=/;$tmp/site
LogRotation=1
LogMaxEntries=0
LogMaxAge=24
LogDir=$tmp
INI
(cd "$tmp" && exec "$bin/mirt" >"$tmp/out" 2>"$tmp/err") &
pid=$!
get() { curl -s -o /dev/null --max-time 5 "http://127.0.0.1:$port/a.txt"; }
n=0; until get; do n=$((n+1)); [ $n -lt 50 ] || fail "mirt did not start: $(cat "$tmp/err")"; sleep 0.1; done
lines() { cat "$@" 2>/dev/null | grep -c ' GET /a.txt 200 '; }
# Waits (at most 5 s) until the files hold $1 lines.
wait_lines() {
  want=$1; shift; n=0
  until [ "$(lines "$@")" -ge "$want" ]; do
    n=$((n+1)); [ $n -lt 50 ] || fail "expected $want lines in $*, found $(lines "$@")"; sleep 0.1
  done
}
log="$tmp/log0001.log"
# The shipped rules, on this log, signalling this server.
sed -e "s#/var/log/mirt/log0001.log#$log#" \
    -e "s#systemctl kill .*#kill -USR1 $pid#" "$src/contrib/logrotate/mirt" > "$tmp/moved.conf"
for i in 1 2 3 4; do get; done
wait_lines 5 "$log"
"$rotate" -f -s "$tmp/state" "$tmp/moved.conf" || fail "logrotate failed"
for i in 1 2 3 4 5; do get; done
wait_lines 5 "$log"
[ "$(lines "$log" "$log.1")" = 10 ] || fail "lines lost or doubled: $(lines "$log" "$log.1") of 10"

# copytruncate: the server keeps writing at the end of the emptied file.
sed -e "s#/var/log/mirt/log0001.log#$log#" -e '/postrotate/,/endscript/d' \
    -e 's#^\tdaily#\tdaily\n\tcopytruncate#' "$src/contrib/logrotate/mirt" > "$tmp/copy.conf"
rm -f "$tmp/state" "$log".*
"$rotate" -f -s "$tmp/state" "$tmp/copy.conf" || fail "logrotate copytruncate failed"
[ "$(lines "$log.1")" = 5 ] || fail "the copy holds $(lines "$log.1") of 5 lines"
for i in 1 2 3; do get; done
wait_lines 3 "$log"
[ "$(lines "$log")" = 3 ] || fail "$(lines "$log") lines after the truncation, not 3"
[ "$(tr -d '\000' < "$log" | wc -c)" = "$(wc -c < "$log")" ] || fail "NUL bytes in $log"
kill "$pid"; wait "$pid"; status=$?; pid=""
[ "$status" = 0 ] || fail "mirt ended with $status"
echo "logrotate rotated the log twice without a lost line"
