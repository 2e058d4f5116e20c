#!/bin/sh
# Installs the build into a scratch DESTDIR under another prefix and checks
# the tree: the programs that are built, the manual pages, the operators'
# guide, the examples exactly as in the source, the service units naming
# that prefix's programs, and a manifest that lists every installed file
# (what `make uninstall` removes).
# Usage: install_tree.sh BUILD_DIR SOURCE_DIR "PROGRAMS BUILT"
build=$1 source=$2 programs=$3
prefix=/opt/suite
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
root="$tmp/root"
# The component install keeps its own manifest, so the one a real
# `make install` wrote (install_manifest.txt) is left alone.
manifest="$build/install_manifest_Unspecified.txt"
rm -f "$manifest"
if ! DESTDIR="$root" cmake --install "$build" --prefix "$prefix" \
       --component Unspecified > "$tmp/log" 2>&1; then
  cat "$tmp/log"; echo "cmake --install failed"; exit 1
fi
top="$root$prefix"
failed=0
fail() { echo "$*"; failed=1; }

for p in $programs; do
  [ -x "$top/bin/$p" ] || fail "bin/$p missing or not executable"
done
for f in "$top"/bin/*; do
  [ -e "$f" ] || continue
  case " $programs " in *" $(basename "$f") "*) ;; *) fail "unexpected bin/$(basename "$f")";; esac
done

for page in man1/client.1 man1/probe.1 man1/rekkon.1 man5/zolf.ini.5 \
            man5/mirt.ini.5 man8/zolf.8 man8/mirt.8; do
  [ -f "$top/share/man/$page" ] || fail "share/man/$page missing"
  cmp -s "$top/share/man/$page" "$source/man/$(basename "$page")" ||
    fail "share/man/$page differs from man/$(basename "$page")"
done

doc="$top/share/doc/suite"
[ -f "$doc/operators.md" ] || fail "share/doc/suite/operators.md missing"
if [ -d "$source/examples" ] && [ -n "$(ls -A "$source/examples")" ]; then
  # Logs, quota records and the generated demo account of demo runs are
  # not installed.
  diff -r -x 'log[0-9][0-9][0-9][0-9].log' -x '*.dsk' -x demo.ini \
       "$source/examples" "$doc/examples" > "$tmp/diff" 2>&1 ||
    { cat "$tmp/diff"; fail "installed examples differ from examples/"; }
else
  echo "examples/ is empty: nothing to compare"
fi

for unit in zolf mirt; do
  file="$doc/systemd/$unit.service"
  if [ ! -f "$file" ]; then fail "share/doc/suite/systemd/$unit.service missing"; continue; fi
  grep -q "^ExecStart=$prefix/bin/$unit " "$file" ||
    fail "$unit.service does not start $prefix/bin/$unit"
done

# Every file installed is in the manifest and every manifest entry exists.
if [ ! -f "$manifest" ]; then
  fail "no install manifest written"
else
  # Entries name the final paths, without DESTDIR.
  sed "s#^#$root#" "$manifest" | sort > "$tmp/listed"
  find "$root" -type f -o -type l | sort > "$tmp/found"
  if ! cmp -s "$tmp/listed" "$tmp/found"; then
    diff "$tmp/listed" "$tmp/found"; fail "manifest and installed files differ"
  fi
  rm -f "$manifest"
fi
if find "$doc/examples" -name 'log[0-9]*.log' -o -name '*.dsk' \
     -o -path '*/ftp/accounts/demo.ini' 2>/dev/null | grep -q .; then
  fail "log files, quota records or the demo account of a demo run were installed"
fi
[ "$failed" = 0 ] && echo "install tree complete: $(wc -l < "$tmp/found") files under $prefix"
exit $failed
