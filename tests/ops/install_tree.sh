#!/bin/sh
# Installs the build into a scratch DESTDIR under another prefix the way
# `make install` does, checks the tree, then uninstalls the way `make
# uninstall` does: the programs under their installed names, the manual
# pages named after them, the operators' guide, the examples exactly as the
# repository tracks them (nothing a demo run left in the working tree), the
# service units naming that prefix's programs, a list of every installed
# file; and after the uninstall nothing of it left, the directories it made
# gone unless something else lives in them.
# Usage: install_tree.sh BUILD_DIR SOURCE_DIR "PROGRAMS BUILT"
build=$1 source=$2 programs=$3
prefix=/opt/suite
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
root="$tmp/root"
state="$tmp/state"
# Something that was there before the install.
mkdir -p "$root/opt"
echo keep > "$root/opt/keep.txt"
if ! DESTDIR="$root" sh "$source/scripts/install.sh" "$build" "$prefix" "$state" \
       > "$tmp/log" 2>&1; then
  cat "$tmp/log"; echo "install.sh failed"; exit 1
fi
top="$root$prefix"
failed=0
fail() { echo "$*"; failed=1; }

installed=""
for p in $programs; do
  case $p in client) name=zolf-client;; probe) name=mirt-probe;; *) name=$p;; esac
  installed="$installed $name"
  [ -x "$top/bin/$name" ] || fail "bin/$name missing or not executable"
done
for f in "$top"/bin/*; do
  [ -e "$f" ] || continue
  case " $installed " in *" $(basename "$f") "*) ;; *) fail "unexpected bin/$(basename "$f")";; esac
done

for page in man1/zolf-client.1 man1/mirt-probe.1 man1/rekkon.1 man5/zolf.ini.5 \
            man5/mirt.ini.5 man8/zolf.8 man8/mirt.8; do
  [ -f "$top/share/man/$page" ] || fail "share/man/$page missing"
  cmp -s "$top/share/man/$page" "$source/man/$(basename "$page")" ||
    fail "share/man/$page differs from man/$(basename "$page")"
done

doc="$top/share/doc/zolf-mirt"
[ -f "$doc/operators.md" ] || fail "share/doc/zolf-mirt/operators.md missing"
if git -C "$source" rev-parse --git-dir >/dev/null 2>&1; then
  # Exactly the tracked files, each equal to its source.
  git -c core.quotePath=false -C "$source" ls-files -- examples | sed 's#^examples/##' |
    sort > "$tmp/tracked"
  (cd "$doc/examples" && find . -type f -o -type l) | sed 's#^\./##' | sort > "$tmp/copied"
  cmp -s "$tmp/tracked" "$tmp/copied" ||
    { diff "$tmp/tracked" "$tmp/copied"; fail "installed examples are not the tracked files"; }
  while IFS= read -r f; do
    cmp -s "$source/examples/$f" "$doc/examples/$f" || fail "examples/$f differs"
  done < "$tmp/tracked"
else
  echo "not a git checkout: the examples' file list is not compared"
fi

for unit in zolf mirt; do
  file="$doc/systemd/$unit.service"
  if [ ! -f "$file" ]; then fail "share/doc/zolf-mirt/systemd/$unit.service missing"; continue; fi
  grep -q "^ExecStart=$prefix/bin/$unit " "$file" ||
    fail "$unit.service does not start $prefix/bin/$unit"
done

# Every file installed is listed and every listed file exists.
if [ ! -f "$state/installed_files.txt" ]; then
  fail "no list of installed files written"
else
  sed "s#^#$root#" "$state/installed_files.txt" | sort > "$tmp/listed"
  find "$root$prefix" -type f -o -type l | sort > "$tmp/found"
  if ! cmp -s "$tmp/listed" "$tmp/found"; then
    diff "$tmp/listed" "$tmp/found"; fail "listed and installed files differ"
  fi
fi
grep -qx "$prefix" "$state/installed_dirs.txt" || fail "$prefix not recorded as made"
grep -qx /opt "$state/installed_dirs.txt" && fail "/opt, which was there, recorded as made"

# An upload into the installed demo tree: its directory must stay.
upload="$doc/examples/ftp/tree/incoming/upload.bin"
echo data > "$upload"
if ! DESTDIR="$root" sh "$source/scripts/uninstall.sh" "$state" > "$tmp/log" 2>&1; then
  cat "$tmp/log"; fail "uninstall.sh failed"
fi
left=$(find "$root" -type f | sort)
expected=$(printf '%s\n%s' "$root/opt/keep.txt" "$upload" | sort)
[ "$left" = "$expected" ] || fail "after uninstall, files left: $left"
for gone in "$top/bin" "$top/share/man" "$doc/systemd" "$doc/examples/http"; do
  [ -d "$gone" ] && fail "directory ${gone#$root} made by the install is still there"
done
[ -d "$root/opt" ] || fail "/opt, which was there before, was removed"

[ "$failed" = 0 ] && echo "install and uninstall complete: $(wc -l < "$tmp/listed") files under $prefix"
exit $failed
