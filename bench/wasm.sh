#!/usr/bin/env bash
# The WebAssembly build against the native one in the same run: formula ID
# at DIGITS digits (default 1 at 100,000) on one thread and on all, RUNS
# times each (default 3), alternating, medians of the computation time as
# the program reports it:
#   native   build/atanpi-bench-run with the sse4 engine (like wasm: 2 doubles
#            a vector, no fused multiply-add) and with the best engine
#   node     build-wasm/atanpi-bench-run.js, the wasm engine
#   browser  the page (build-wasm/web/) in Chromium: cross-origin isolated
#            for all threads, not isolated (the build without threads) for one
# Then the ratios of wasm to native sse4 thread for thread, and of one
# thread to all. Every console text and result file of the command lines is
# checked against the native program's (the page's, by scripts/test.sh
# --web). Builds what it needs (scripts/test.sh --web does
# the same builds). Times taken while other work loads the machine say
# little: run it on a quiet one.
#   bench/wasm.sh [ID [DIGITS [RUNS]]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
id=${1:-1}
digits=${2:-100000}
runs=${3:-3}
"$root/scripts/setup.sh" --web
. "$root/scripts/web.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" --target atanpi atanpi-bench-run >/dev/null
build_web_page >/dev/null
cmake --build "$root/build-wasm" --target atanpi-bench-run >/dev/null
(cd "$root/web/test" && [ -d node_modules ] || npm ci --no-audit --no-fund --loglevel=error >/dev/null)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
threads=$(nproc)
best=$("$root/build/atanpi-bench-run" --list-engines | awk '$2 == "available" { e = $1 } END { print e }')
mask() { sed -E 's/Time\(s\)= [0-9.]+ /Time(s)= T /' "$1"; }

# One run of the command line ($@) in a folder of its own: the total time;
# console text and file must be the native program's.
(cd "$work" && printf '%s\n%s\n' "$id" "$digits" | "$root/build/atanpi" >native.txt && mv AtanOrg*.txt native-file.txt)
timed() {
  local dir
  dir=$(mktemp -d -p "$work")
  (cd "$dir" && printf '%s\n%s\n' "$id" "$digits" | "$@" >console.txt)
  if ! cmp -s <(mask "$dir/console.txt") <(mask "$work/native.txt") ||
     ! cmp -s <(mask "$dir"/AtanOrg*.txt) <(mask "$work/native-file.txt"); then
    echo "wasm.sh: $* gave other output than the native program" >&2
    exit 1
  fi
  sed -n 's/^ Pi Computation,  Time(s)= \([0-9.]*\) $/\1/p' "$dir/console.txt"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -A times
for run in $(seq "$runs"); do
  for t in 1 "$threads"; do
    times[native-sse4-$t]+="$(timed "$root/build/atanpi-bench-run" --engine=sse4 --threads="$t") "
    times[native-$best-$t]+="$(timed "$root/build/atanpi-bench-run" --engine="$best" --threads="$t") "
    times[node-wasm-$t]+="$(timed node "$root/build-wasm/atanpi-bench-run.js" --engine=wasm --threads="$t") "
  done
done
while read -r host t seconds; do times[browser-wasm-$t]=$seconds; done < \
  <(node "$root/bench/web_bench.js" "$root/build-wasm/web" "$id" "$digits" "$runs")

echo "formula $id, $digits digits, medians of $runs runs, seconds ($(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg)):"
declare -A m
for key in native-sse4 "native-$best" node-wasm browser-wasm; do
  for t in 1 "$threads"; do
    m[$key-$t]=$(tr ' ' '\n' <<<"${times[$key-$t]}" | grep . | median)
  done
  printf '  %-14s 1 thread %8.3f   %d threads %8.3f   one thread / all %5.2f\n' "$key" "${m[$key-1]}" "$threads" \
    "${m[$key-$threads]}" "$(awk -v a="${m[$key-1]}" -v b="${m[$key-$threads]}" 'BEGIN { print a / b }')"
done
for host in node browser; do
  for t in 1 "$threads"; do
    printf '  %-7s wasm / native sse4, %d thread(s): %5.2f\n' "$host" "$t" \
      "$(awk -v a="${m[$host-wasm-$t]}" -v b="${m[native-sse4-$t]}" 'BEGIN { print a / b }')"
  done
done
