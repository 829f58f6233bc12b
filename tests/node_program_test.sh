#!/usr/bin/env bash
# The command-line program of the WebAssembly build under Node, as a person
# runs it (node atanpi.js, from another folder), against the native program:
#   tests/node_program_test.sh NODE_ATANPI_JS NATIVE_ATANPI
# The console text and result file of every formula at the edge cases of N
# and at 100,000 digits, the same but for the times; the exit status and
# message of bad input; the new file's mode from the umask; the file synced
# before the rename and its folder after it; an interrupted run leaves
# neither its temporary file nor a result; a run whose temporary file
# another program removes says so; runs started beside a live one, under
# Node and native, leave that one's temporary file alone; as another user,
# what the rename would refuse is refused before the computation.
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

# The temporary file reaches the disk before the rename and the folder after
# it (emscripten's own fsync does nothing on Node's files), as strace sees.
if ! strace -o /dev/null true 2>/dev/null; then
  echo "SKIPPED: the file's and the folder's sync: strace is missing or cannot trace here"
else
  dir="$work/sync"
  mkdir -p "$dir"
  (cd "$dir" && printf '1\n100\n' |
    strace -f -y -o "$work/trace" -e trace=fsync,fdatasync,rename,renameat,renameat2 node "$program" >out 2>err)
  # T: the temporary file synced, R: it renamed, F: the folder synced.
  calls=$(sed -nE -e "s|.*f(data)?sync\([0-9]+<$dir/\.AtanOrg1\.txt\.atanpi-[^>]*>\) += 0\$|T|p" \
                  -e "s|.*rename(at2?)?\(.*\.AtanOrg1\.txt\.atanpi-.*\) += 0\$|R|p" \
                  -e "s|.*fsync\([0-9]+<$dir>\) += 0\$|F|p" "$work/trace" | tr -d '\n')
  [[ $calls =~ T.*R.*F ]] && check "the file synced before the rename, the folder after" ok ||
    check "the file synced before the rename, the folder after" "calls $calls: $(grep -v ' = -1 E' "$work/trace" | head -c 2000)"
fi

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

# Starts a run of formula 1 at $2 digits in the background in a new folder
# $work/$1 (holding an earlier AtanOrg1.txt when $3 is "earlier"); sets dir,
# pid and temp (its temporary file, once seen: the computation runs).
start_run() {
  dir="$work/$1"
  mkdir -p "$dir"
  [ "${3:-}" = earlier ] && echo earlier >"$dir/AtanOrg1.txt"
  (cd "$dir" && exec node "$program" >out 2>err < <(printf '1\n%s\n' "$2")) &
  pid=$!
  temp=$(temp_file_in "$dir")
}

# After the run of start_run ended with status $2 (expected $1): "ok", or
# what is wrong where the earlier file must be alone in its folder.
earlier_file_alone() {
  if [ -z "$temp" ]; then
    echo "no temporary file seen"
  elif [ "$2" -ne "$1" ]; then
    echo "status $2: $(head -c 300 "$dir/err")"
  elif [ "$(cat "$dir/AtanOrg1.txt")" != earlier ]; then
    echo "the earlier file changed"
  elif [ "$(ls -A "$dir")" != "$(printf 'AtanOrg1.txt\nerr\nout')" ]; then
    echo "files left: $(ls -A "$dir" | tr '\n' ' ')"
  else
    echo ok
  fi
}

# SIGINT during the computation: the earlier file stays, the temporary file
# goes, and the process ends by the signal.
start_run interrupt 1000000 earlier
kill -INT $pid
wait $pid
check "SIGINT during the computation" "$(earlier_file_alone 130 $?)"

# A temporary file that another program removes during the computation:
# the run names it, exits 1 and leaves the earlier file.
start_run removed 200000 earlier
[ -n "$temp" ] && rm "$dir/$temp"
wait $pid
verdict=$(earlier_file_alone 1 $?)
[ "$(cat "$dir/err")" = "atanpi: cannot write AtanOrg1.txt: its temporary file $temp was removed or replaced by another program" ] ||
  verdict="message: $(cat "$dir/err")"
check "a temporary file removed by another program" "$verdict"

# Without real locks a run cannot tell a live run's temporary file from a
# dead one's: a second run leaves the first one's alone, and so does a
# native run, whose clean-up reads the Node process's host and id from the
# name; all finish (a clean-up that took it failed the first with "cannot
# write").
start_run beside 300000
(cd "$dir" && printf '1\n5\n' | node "$program" >out2 2>err2)
second=$?
(cd "$dir" && printf '1\n5\n' | "$native" >out3 2>err3)
third=$?
verdict=ok
[ -n "$temp" ] || verdict="no temporary file seen"
wait $pid
first=$?
[ $first -eq 0 ] && [ $second -eq 0 ] && [ $third -eq 0 ] ||
  verdict="statuses $first, $second and $third: $(cat "$dir/err")"
grep -q '^ Pi Computation,  Time(s)= ' "$dir/out" || verdict="the first run did not finish"
check "runs beside a live one" "$verdict"

# As another user (nobody): an earlier file that the user may not write, and
# another user's (daemon's) in a sticky folder, are refused before the
# computation with the system's reason, and stay; the user's own file in a
# sticky folder is replaced.
as_nobody() {
  local name=$1 folder_mode=$2 file_owner=$3 file_mode=$4 message=$5
  local dir="$work/as-nobody-$name" verdict=ok
  mkdir -m "$folder_mode" "$dir"
  echo earlier >"$dir/AtanOrg1.txt"
  chown "$file_owner" "$dir/AtanOrg1.txt"
  chmod "$file_mode" "$dir/AtanOrg1.txt"
  run_in "$program" '1\n5\n' "$dir" setpriv --reuid=65534 --regid=65534 --clear-groups node
  local status=$?
  if [ -n "$message" ]; then
    [ $status -eq 1 ] || verdict="status $status"
    [ "$(cat "$dir/err")" = "atanpi: cannot create AtanOrg1.txt: $message" ] || verdict="message: $(cat "$dir/err")"
    grep -q 'Computation Start' "$dir/out" && verdict="it computed"
    [ "$(cat "$dir/AtanOrg1.txt")" = earlier ] || verdict="the earlier file changed"
  else
    [ $status -eq 0 ] || verdict="status $status: $(cat "$dir/err")"
    grep -q '^ Pi = 3\.' "$dir/AtanOrg1.txt" || verdict="the file was not replaced"
  fi
  check "as nobody: $name" "$verdict"
}
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
  echo "SKIPPED: the checks as another user: they need root and setpriv"
else
  chmod 711 "$work"
  as_nobody "an earlier file not writable" 777 root 644 "Permission denied"
  as_nobody "another user's file in a sticky folder" 1777 daemon 666 "Operation not permitted"
  as_nobody "the user's own file in a sticky folder" 1777 nobody 644 ""
fi

echo "node_program_test: $passed passed, $failed failed"
[ $failed -eq 0 ]
