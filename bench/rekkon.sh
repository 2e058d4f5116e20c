#!/bin/sh
# Times rekkon on one million generated access lines (ten files of 100000
# lines, 1000 clients, 5000 paths, a few bad lines) and prints the figure.
# Usage: bench/rekkon.sh [REKKON]   (default: build/bin/rekkon)
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
rekkon=${1:-$root/build/bin/rekkon}
if [ ! -x "$rekkon" ]; then
  echo "No rekkon at $rekkon; build first (make) or name it." >&2
  exit 1
fi
dir=$(mktemp -d /tmp/rekkon-bench-XXXXXX)
trap 'rm -rf "$dir"' EXIT INT TERM

files=10
per=100000
awk -v files="$files" -v per="$per" -v dir="$dir" 'BEGIN {
  split("Sun Mon Tue Wed Thu Fri Sat", wd, " ");
  split("GET GET GET GET HEAD POST", meth, " ");
  split("200 200 200 206 304 404 500", st, " ");
  t = 1704067200;  # Mon, 01 Jan 2024 00:00:00
  srand(7);
  for (f = 1; f <= files; f++) {
    name = sprintf("%s/log%04d.log", dir, f);
    for (i = 0; i < per; i++) {
      t += int(rand() * 3);
      d = int(t / 86400); s = t % 86400;
      # Civil date from days since 1970 (valid for this range).
      z = d + 719468; era = int(z / 146097); doe = z - era * 146097;
      yoe = int((doe - int(doe / 1460) + int(doe / 36524) - int(doe / 146096)) / 365);
      y = yoe + era * 400; doy = doe - (365 * yoe + int(yoe / 4) - int(yoe / 100));
      mp = int((5 * doy + 2) / 153); day = doy - int((153 * mp + 2) / 5) + 1;
      m = mp < 10 ? mp + 3 : mp - 9; if (m <= 2) y++;
      split("Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec", mn, " ");
      date = sprintf("%s, %02d %s %d %02d:%02d:%02d", wd[(d + 4) % 7 + 1], day, mn[m], y,
                     int(s / 3600), int(s % 3600 / 60), s % 60);
      addr = sprintf("10.0.%d.%d", int(rand() * 4), int(rand() * 250));
      if (rand() < 0.0001) { print "garbage in the log" > name; continue; }
      printf "%s [%s] %s /dir%d/file%d.html %s %d\n", addr, date, meth[int(rand() * 6) + 1],
             int(rand() * 50), int(rand() * 100), st[int(rand() * 7) + 1],
             int(rand() * 100000) > name;
    }
    close(name);
  }
}'

lines=$(cat "$dir"/log*.log | wc -l)
start=$(date +%s.%N)
status=0
"$rekkon" "$dir" summary.txt errors.txt >/dev/null || status=$?
end=$(date +%s.%N)
if [ "$status" != 0 ]; then
  echo "rekkon ended with status $status" >&2
  exit 1
fi
seconds=$(echo "$start $end" | awk '{ printf "%.2f", $2 - $1 }')
rejected=$(wc -l < "$dir/errors.txt")
echo "rekkon: $lines lines in $files files summarised in $seconds s ($rejected rejected)"
