#!/bin/sh
# Removes what scripts/install.sh installed (DESTDIR honoured): every file
# it listed, then every directory it made, deepest first, where it is
# empty; directories that were there before, or that hold other files,
# stay.
# Usage: uninstall.sh [STATE_DIR]   (default: build)
state=${1:-build}
if [ ! -f "$state/installed_files.txt" ]; then
  echo "Nothing installed from $state."
  exit 0
fi
while IFS= read -r file || [ -n "$file" ]; do
  rm -fv "$DESTDIR$file"
done < "$state/installed_files.txt"
if [ -f "$state/installed_dirs.txt" ]; then
  sort -r "$state/installed_dirs.txt" | while IFS= read -r dir; do
    rmdir "$DESTDIR$dir" 2>/dev/null && echo "removed directory '$DESTDIR$dir'"
  done
fi
rm -f "$state/installed_files.txt" "$state/installed_dirs.txt"
exit 0
