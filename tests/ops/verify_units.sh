#!/bin/sh
# Verifies the service units with systemd-analyze. ExecStart must name an
# existing program, so the copies verified here start the programs of this
# build (or a stand-in while a server is not built yet); Documentation=
# references are checked against the manual pages of this tree.
# Usage: verify_units.sh UNIT_DIR MAN_DIR BIN_DIR    Exit 77 without systemd.
units=$1 man=$2 bin=$3
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "SKIPPED: systemd-analyze is not installed (Debian package: systemd)"
  exit 77
fi
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/man/man1" "$tmp/man/man5" "$tmp/man/man8" "$tmp/units"
for page in "$man"/*.[158]; do cp "$page" "$tmp/man/man${page##*.}/"; done
failed=0
for unit in "$units"/*.service; do
  name=$(basename "$unit" .service)
  for key in User= WorkingDirectory= ExecStart= KillSignal=SIGTERM \
             Restart=on-failure NoNewPrivileges=yes ProtectSystem=strict \
             ProtectHome= PrivateTmp=yes ReadWritePaths= \
             AmbientCapabilities=CAP_NET_BIND_SERVICE \
             CapabilityBoundingSet=CAP_NET_BIND_SERVICE; do
    grep -q "^$key" "$unit" || { echo "$name.service: no $key line"; failed=1; }
  done
  program="$bin/$name"
  if [ ! -x "$program" ]; then
    echo "$name is not built: verifying $name.service with a stand-in program"
    program="$tmp/$name"
    printf '#!/bin/sh\nexit 0\n' > "$program" && chmod +x "$program"
  fi
  sed -e "s#^ExecStart=/usr/local/bin/$name#ExecStart=$program#" \
      -e "s#^ExecStartPre=/usr/local/bin/$name -t#ExecStartPre=$program -t#" "$unit" \
    > "$tmp/units/$name.service"
  grep -q "^ExecStartPre=$program -t -config " "$tmp/units/$name.service" ||
    { echo "$name.service: no ExecStartPre checking the configuration with -t"; failed=1; }
  grep -q "^ExecStart=$program" "$tmp/units/$name.service" ||
    { echo "$name.service: ExecStart does not start /usr/local/bin/$name"; failed=1; }
done
out=$(cd "$tmp/units" && MANPATH="$tmp/man" systemd-analyze verify ./*.service 2>&1)
if [ -n "$out" ]; then
  echo "systemd-analyze verify:"; echo "$out"; failed=1
fi
[ "$failed" = 0 ] && echo "units verify clean"
exit $failed
