#!/bin/sh
# Makes a self-signed certificate for localhost and its key in DIR (once):
# DIR/demo-cert.pem and DIR/demo-key.pem. Good for trying FTPS and HTTPS
# on this machine only; clients must be told to accept it (curl -k).
# Usage: demo-certificate.sh DIR
dir=$1
[ -n "$dir" ] || { echo "Usage: demo-certificate.sh DIR" >&2; exit 2; }
mkdir -p "$dir" || exit 1
if [ -s "$dir/demo-cert.pem" ] && [ -s "$dir/demo-key.pem" ]; then exit 0; fi
command -v openssl >/dev/null 2>&1 || { echo "openssl is missing: no demo certificate." >&2; exit 1; }
umask 077
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
  -days 365 -subj /CN=localhost \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1" \
  -keyout "$dir/demo-key.pem" -out "$dir/demo-cert.pem" 2>/dev/null ||
  { echo "openssl could not make the demo certificate." >&2; rm -f "$dir/demo-key.pem" "$dir/demo-cert.pem"; exit 1; }
echo "Demo certificate: $dir/demo-cert.pem (key $dir/demo-key.pem)"
