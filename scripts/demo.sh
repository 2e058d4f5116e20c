#!/bin/sh
# Runs the servers on the bundled example configuration until Ctrl-C.
# Usage: demo.sh BIN_DIR
bin=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
}
trap cleanup INT TERM EXIT
started=0
# A self-signed certificate beside the programs, for the encrypted ports.
sh "$root/scripts/demo-certificate.sh" "$(dirname "$bin")" || true
if [ -x "$bin/zolf" ] && [ -f "$root/examples/ftp/zolf.ini" ]; then
  # The account's root must be a full path: written for this checkout.
  sh "$root/examples/ftp/make-demo-account.sh"
  (cd "$root/examples/ftp" && exec "$bin/zolf") &
  pids="$pids $!"
  started=1
  port=$(sed -n 's/^Port=//p' "$root/examples/ftp/zolf.ini")
  echo "FTP:  ftp://127.0.0.1:$port/  (user demo, password demo)"
fi
if [ -x "$bin/mirt" ] && [ -f "$root/examples/http/mirt.ini" ]; then
  (cd "$root/examples/http" && exec "$bin/mirt") &
  pids="$pids $!"
  started=1
  port=$(sed -n 's/^Port=//p' "$root/examples/http/mirt.ini")
  echo "HTTP: http://127.0.0.1:$port/"
fi
if [ "$started" = 0 ]; then
  echo "No server is built yet: nothing to run."
  exit 0
fi
echo "Press Ctrl-C to stop."
wait
