#!/usr/bin/env bash
# The command-line program of the WebAssembly build under Node, as a person
# runs it (node atanpi.js, from another folder), against the native program:
#   tests/node_program_test.sh NODE_ATANPI_JS NATIVE_ATANPI
# The console text and result file of every formula at the edge cases of N
# and at 100,000 digits, the same but for the times; the exit status and
# message of bad input; the new file's mode from the umask; an interrupted
# run leaves neither its temporary file nor a result; a run started beside
# a live one leaves that one's temporary file alone.
set -uo pipefail
program=$(readlink -f "$1")
native=$(readlink -f "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

check() {
  if [ "$2" = ok ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1${3:+: $3}"
  fi
}
mask() { sed -E 's/Time\(s\)= [0-9]+\.[0-9]{6} /Time(s)= <t> /'; }
# Runs $1 with the input $2 in the folder $3; its console text in $3/out.
run_in() { (cd "$3" && printf '%b' "$2" | "${@:4}" "$1" >out 2>err); }

# The same console text and file as the native program's.
same_as_native() {
  local id=$1 digits=$2 n="$work/native" w="$work/node"
  rm -rf "$n" "$w"
  mkdir -p "$n" "$w"
  run_in "$native" "$id\n$digits\n" "$n"
  run_in "$program" "$id\n$digits\n" "$w" node
  local verdict=ok
  cmp -s <(mask <"$n/out") <(mask <"$w/out") || verdict="console text differs"
  [ -s "$w/err" ] && verdict="standard error: $(head -c 200 "$w/err")"
  cmp -s <(mask <"$n/AtanOrg$id.txt") <(mask <"$w/AtanOrg$id.txt") || verdict="AtanOrg$id.txt differs"
  [ "$(ls -A "$w")" = "$(printf 'AtanOrg%s.txt\nerr\nout' "$id")" ] || verdict="files left: $(ls -A "$w" | tr '\n' ' ')"
  check "formula $id, N = $digits" "$verdict"
}
for id in 1 2 3 4 5; do
  for digits in 0 5 85 20005; do same_as_native "$id" "$digits"; done
done
same_as_native 1 100000

# Bad input: the message and status 2, no file.
dir="$work/bad"
mkdir -p "$dir"
run_in "$program" '3\nmany\n' "$dir" node
status=$?
verdict=ok
[ $status -eq 2 ] || verdict="status $status"
grep -qx 'atanpi: expected the number of digits (an integer) on standard input' "$dir/err" || verdict="message: $(cat "$dir/err")"
[ ! -e "$dir/AtanOrg3.txt" ] || verdict="a file was created"
check "bad input" "$verdict"

# A new file's mode is 0666 less the umask; a replaced one keeps its mode.
dir="$work/mode"
mkdir -p "$dir"
(umask 027 && run_in "$program" '1\n5\n' "$dir" node)
mode=$(stat -c %a "$dir/AtanOrg1.txt")
[ "$mode" = 640 ] && check "mode of a new file under umask 027" ok || check "mode of a new file under umask 027" "mode $mode"
chmod 604 "$dir/AtanOrg1.txt"
run_in "$program" '1\n5\n' "$dir" node
mode=$(stat -c %a "$dir/AtanOrg1.txt")
[ "$mode" = 604 ] && check "a replaced file keeps its mode" ok || check "a replaced file keeps its mode" "mode $mode"

# Waits until a temporary file appears in $1 (the run has reached its
# computation); its name, or nothing after 60 s.
temp_file_in() {
  local i
  for i in $(seq 600); do
    local found
    found=$(cd "$1" && ls -A | grep '^\.AtanOrg1\.txt\.atanpi-' | head -1)
    if [ -n "$found" ]; then echo "$found"; return; fi
    sleep 0.1
  done
}

# SIGINT during the computation: the earlier file stays, the temporary file
# goes, and the process ends by the signal.
dir="$work/interrupt"
mkdir -p "$dir"
echo earlier >"$dir/AtanOrg1.txt"
(cd "$dir" && exec node "$program" >out 2>err < <(printf '1\n1000000\n')) &
pid=$!
temp=$(temp_file_in "$dir")
kill -INT $pid
wait $pid
status=$?
verdict=ok
[ -n "$temp" ] || verdict="no temporary file seen"
[ $status -eq 130 ] || verdict="status $status"
[ "$(cat "$dir/AtanOrg1.txt")" = earlier ] || verdict="the earlier file changed"
[ "$(ls -A "$dir")" = "$(printf 'AtanOrg1.txt\nerr\nout')" ] || verdict="files left: $(ls -A "$dir" | tr '\n' ' ')"
check "SIGINT during the computation" "$verdict"

# Without real locks a run cannot tell a live run's temporary file from a
# dead one's: a second run leaves the first one's alone, and both finish
# (a clean-up that took it failed the first with "cannot write").
dir="$work/beside"
mkdir -p "$dir"
(cd "$dir" && exec node "$program" >out 2>err < <(printf '1\n300000\n')) &
pid=$!
temp=$(temp_file_in "$dir")
(cd "$dir" && printf '1\n5\n' | node "$program" >out2 2>err2)
second=$?
verdict=ok
[ -n "$temp" ] || verdict="no temporary file seen"
wait $pid
first=$?
[ $first -eq 0 ] && [ $second -eq 0 ] || verdict="statuses $first and $second: $(cat "$dir/err")"
grep -q '^ Pi Computation,  Time(s)= ' "$dir/out" || verdict="the first run did not finish"
check "a run beside a live one" "$verdict"

echo "node_program_test: $passed passed, $failed failed"
[ $failed -eq 0 ]
