#!/bin/sh
# The example configurations and the ones the operators' guide writes pass
# `-t` with nothing on standard error: an operator who copies them sees no
# warning and no "missing" note. The guide's paths (/srv, /var/log) are
# moved into a temporary directory; everything else is checked as written.
# Usage: quiet_configs.sh SOURCE_DIR BIN_DIR
src=$1 bin=$2
[ -x "$bin/zolf" ] && [ -x "$bin/mirt" ] || { echo "SKIPPED: a server is not built"; exit 77; }
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
failed=0

# check NAME DIR PROGRAM: runs PROGRAM -t in DIR; any line on standard error
# or a status other than 0 is a failure.
check() {
  (cd "$2" && "$bin/$3" -t >"$tmp/out" 2>"$tmp/err")
  status=$?
  if [ "$status" != 0 ] || [ -s "$tmp/err" ]; then
    echo "$1: $3 -t exited $status and said:"
    cat "$tmp/err" "$tmp/out"
    failed=1
  fi
}

# The examples, with the certificate `make demo` links beside them.
cp -r "$src/examples" "$tmp/examples"
sh "$src/scripts/demo-certificate.sh" "$tmp/cert" >/dev/null || { echo "no certificate"; exit 1; }
for d in ftp http; do cp "$tmp/cert/demo-cert.pem" "$tmp/cert/demo-key.pem" "$tmp/examples/$d/"; done
sh "$tmp/examples/ftp/make-demo-account.sh"
check "examples/ftp" "$tmp/examples/ftp" zolf
check "examples/http" "$tmp/examples/http" mirt

# The guide's files: every here-document `cat > PATH <<'EOF'` in it.
guide="$tmp/guide"
mkdir -p "$guide/etc/zolf/accounts" "$guide/etc/mirt"
awk -v root="$guide" '
  /cat > \/etc\/.* <<.EOF.$/ { path = root $3; sub(/^ +/, ""); writing = 1; next }
  writing && /^ *EOF$/ { writing = 0; close(path); next }
  writing { line = $0; sub(/^    /, "", line);
            gsub(/\/srv\//, root "/srv/", line); gsub(/\/var\/log\//, root "/var/log/", line);
            print line > path }
' "$src/docs/operators.md"
mkdir -p "$guide/srv/ftp/demo" "$guide/srv/www" "$guide/var/log/zolf" "$guide/var/log/mirt"
for f in etc/zolf/zolf.ini etc/zolf/accounts/demo.ini etc/mirt/mirt.ini; do
  [ -s "$guide/$f" ] || { echo "the guide writes no /$f"; failed=1; }
done
check "guide /etc/zolf" "$guide/etc/zolf" zolf
check "guide /etc/mirt" "$guide/etc/mirt" mirt
exit $failed
