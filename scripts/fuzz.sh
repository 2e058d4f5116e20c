#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a set time.
# Usage: fuzz.sh SECONDS_PER_TARGET
set -e
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
sh "$root/scripts/deps.sh" clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DFUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"
failed=0
for target in "$build"/bin/*_fuzz; do
  name=$(basename "$target" _fuzz)
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds="$root/fuzz/corpus/$name"
  dict=""
  [ -f "$root/fuzz/$name.dict" ] && dict="-dict=$root/fuzz/$name.dict"
  echo "== $name: $seeds, ${seconds}s"
  # -print_funcs=0: naming a newly covered function starts the symbolizer
  # through a pipe, which a target that counts its descriptors (ftp) would
  # take for one its session leaked.
  if ! (cd "$build" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$target" -max_total_time="$seconds" -print_final_stats=0 -print_funcs=0 \
        -timeout=10 -rss_limit_mb=2048 $dict "$corpus" "$seeds" 2>"$build/$name.log"); then
    tail -50 "$build/$name.log"
    echo "== $name: FAILED"
    failed=1
  else
    grep -E '^Done|^#[0-9]+.*DONE' "$build/$name.log" | tail -1 || true
    echo "== $name: passed"
  fi
done
exit $failed
