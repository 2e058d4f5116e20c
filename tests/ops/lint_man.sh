#!/bin/sh
# Lints every manual page: mandoc -T lint when it is installed, else the
# groff warnings that `man --warnings` turns on. Also checks that each page
# names itself as its file does and that every cross-reference to a page of
# this project points at a page that ships.
# Usage: lint_man.sh MAN_DIR        Exit 77 (skipped) without a linter.
dir=$1
linters=""
command -v mandoc >/dev/null 2>&1 && linters="mandoc"
command -v man >/dev/null 2>&1 && command -v nroff >/dev/null 2>&1 &&
  linters="$linters man"
if [ -z "$linters" ]; then
  echo "SKIPPED: neither mandoc nor man with groff is installed" \
       "(Debian: apt-get install man-db groff-base, or mandoc)"
  exit 77
fi
echo "linting with:$linters"
own="zolf mirt zolf.ini mirt.ini rekkon client probe"
failed=0
count=0
for page in "$dir"/*.[1-8]; do
  [ -f "$page" ] || continue
  count=$((count + 1))
  file=$(basename "$page")
  name=${file%.*}
  section=${file##*.}
  for linter in $linters; do
    if [ "$linter" = mandoc ]; then
      out=$(mandoc -T lint -W style "$page" 2>&1)
    else
      out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    fi
    if [ -n "$out" ]; then
      echo "$file: $linter:"; echo "$out"; failed=1
    fi
  done
  upper=$(printf '%s' "$name" | tr '[:lower:]' '[:upper:]')
  if ! head -n 1 "$page" | grep -q "^\.TH \"\{0,1\}$upper\"\{0,1\} $section "; then
    echo "$file: .TH does not name $upper section $section"; failed=1
  fi
  if ! grep -A1 '^\.SH NAME' "$page" | tail -n 1 | grep -q "^$name \\\\- "; then
    echo "$file: NAME line does not begin with '$name \\-'"; failed=1
  fi
  # Cross-references look like ".BR zolf.ini (5)," in these pages.
  refs=$(sed -n 's/^\.BR \([a-z.]*\) (\([1-8]\)).*/\1.\2/p' "$page")
  for ref in $refs; do
    refname=${ref%.*}
    case " $own " in
      *" $refname "*)
        [ -f "$dir/$ref" ] || { echo "$file: refers to $ref, which is not shipped"; failed=1; } ;;
    esac
  done
done
if [ "$count" -lt 7 ]; then
  echo "expected 7 manual pages in $dir, found $count"; failed=1
fi
[ "$failed" = 0 ] && echo "$count pages clean"
exit $failed
