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
# The example configurations name it demo-cert.pem and demo-key.pem in the
# directory each server starts in: linked there from the build directory.
certdir=$(dirname "$bin")
tls=0
if sh "$root/scripts/demo-certificate.sh" "$certdir"; then
  tls=1
  for d in "$root/examples/ftp" "$root/examples/http"; do
    ln -sf "$certdir/demo-cert.pem" "$d/demo-cert.pem" &&
      ln -sf "$certdir/demo-key.pem" "$d/demo-key.pem" || tls=0
  done
fi
if [ "$tls" = 0 ]; then
  echo "No certificate: the servers cannot start on the example configuration." >&2
  exit 1
fi
if [ -x "$bin/zolf" ] && [ -f "$root/examples/ftp/zolf.ini" ]; then
  # The account's root must be a full path: written for this checkout.
  sh "$root/examples/ftp/make-demo-account.sh"
  (cd "$root/examples/ftp" && exec "$bin/zolf") &
  pids="$pids $!"
  started=1
  port=$(sed -n 's/^Port=//p' "$root/examples/ftp/zolf.ini")
  echo "FTP:   ftp://127.0.0.1:$port/  (user demo, password demo)"
  echo "FTPS:  the same port after AUTH TLS, e.g."
  echo "       curl -k --ssl-reqd -u demo:demo ftp://127.0.0.1:$port/"
fi
if [ -x "$bin/mirt" ] && [ -f "$root/examples/http/mirt.ini" ]; then
  (cd "$root/examples/http" && exec "$bin/mirt") &
  pids="$pids $!"
  started=1
  port=$(sed -n 's/^Port=//p' "$root/examples/http/mirt.ini")
  tlsport=$(sed -n 's/^TLSPort=//p' "$root/examples/http/mirt.ini")
  echo "HTTP:  http://127.0.0.1:$port/"
  [ -n "$tlsport" ] && echo "HTTPS: https://127.0.0.1:$tlsport/  (e.g. curl -k https://127.0.0.1:$tlsport/)"
fi
if [ "$started" = 0 ]; then
  echo "No server is built yet: nothing to run."
  exit 0
fi
echo "The certificate is self-signed: clients must be told to accept it (curl -k)."
echo "Press Ctrl-C to stop."
wait
