#!/bin/sh
# Installs the build under PREFIX (DESTDIR honoured) and records, in STATE,
# every file installed (installed_files.txt) and every directory the
# install had to make (installed_dirs.txt), for scripts/uninstall.sh.
# Usage: install.sh BUILD_DIR PREFIX [STATE_DIR]   (STATE_DIR: BUILD_DIR)
set -e
build=$1 prefix=$2 state=${3:-$1}
[ -n "$build" ] && [ -n "$prefix" ] || { echo "usage: install.sh BUILD_DIR PREFIX [STATE_DIR]" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage="$work/root"
# A first run into a scratch directory tells which directories the real
# install will need; those missing now are the ones it makes.
DESTDIR="$stage" cmake --install "$build" --prefix "$prefix" --component Unspecified >/dev/null
rm -f "$build/install_manifest_Unspecified.txt"
mkdir -p "$state"
touch "$state/installed_dirs.txt"
(cd "$stage" && find . -mindepth 1 -type d | sed 's#^\.##') | while IFS= read -r dir; do
  [ -d "$DESTDIR$dir" ] || printf '%s\n' "$dir"
done > "$work/dirs"
# Directories made by an earlier install stay on the list.
sort -u "$state/installed_dirs.txt" "$work/dirs" > "$work/all"
cmake --install "$build" --prefix "$prefix" --component Unspecified
mv "$work/all" "$state/installed_dirs.txt"
mv "$build/install_manifest_Unspecified.txt" "$state/installed_files.txt"
