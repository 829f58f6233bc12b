#!/usr/bin/env bash
# Runs one request with the program (best engine, all cores; three times,
# the median time counts) and with the reference engine, checks that the
# result files and console texts hold the same bytes apart from the times,
# and prints both times and their ratio. Then runs the request once with
# every other engine this processor has (atanpi-bench-run --list-engines)
# and checks their outputs against the reference's too.
#
#   bench/compare.sh ID DIGITS [BUILD_DIR]      e.g. bench/compare.sh 1 100000
set -euo pipefail
id=${1:?formula id}
digits=${2:?digits}
build=$(cd "${3:-$(dirname "$0")/../build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/fast" "$work/reference"
engines=$("$build/atanpi-bench-run" --list-engines | awk '$2 == "available" && $1 != "reference" { print $1 }')
file=AtanOrg$id.txt
[ "$id" -ge 1 ] && [ "$id" -le 5 ] || file=AtanOrg1.txt

total_time() { sed -n 's/^ Pi Computation,  Time(s)= \([0-9.]*\) $/\1/p' "$1" | head -n 1; }

fast_times=()
for run in 1 2 3; do
  (cd "$work/fast" && printf '%s\n%s\n' "$id" "$digits" | "$build/atanpi" >console.txt)
  fast_times+=("$(total_time "$work/fast/console.txt")")
done
(cd "$work/reference" && printf '%s\n%s\n' "$id" "$digits" |
  "$build/atanpi-bench-run" --engine=reference >console.txt)

mask() { sed 's/Time(s)= [0-9.]*/Time(s)= T/' "$1"; }
same_as_reference() {
  cmp -s <(mask "$work/$1/$file") <(mask "$work/reference/$file") &&
    cmp -s <(mask "$work/$1/console.txt") <(mask "$work/reference/console.txt")
}
if ! same_as_reference fast; then
  echo "compare: the program's output differs from the reference's" >&2
  exit 1
fi
for engine in $engines; do
  mkdir "$work/$engine"
  (cd "$work/$engine" && printf '%s\n%s\n' "$id" "$digits" |
    "$build/atanpi-bench-run" --engine="$engine" >console.txt)
  if ! same_as_reference "$engine"; then
    echo "compare: engine $engine's output differs from the reference's" >&2
    exit 1
  fi
  echo "engine $engine: $(total_time "$work/$engine/console.txt") s, output identical to the reference's"
done
fast=$(printf '%s\n' "${fast_times[@]}" | sort -n | sed -n 2p)
ref=$(total_time "$work/reference/console.txt")
awk -v id="$id" -v d="$digits" -v f="$fast" -v r="$ref" 'BEGIN {
  printf "formula %s, %s digits: reference %.3f s, fast %.3f s, ratio %.1f (outputs identical)\n", id, d, r, f, (f > 0 ? r / f : 0)
}'
