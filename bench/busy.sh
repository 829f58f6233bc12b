#!/usr/bin/env bash
# The program's speed on a busy, limited or uneven machine, as parts of T1,
# the one-thread time (atanpi-bench-run --threads=1) measured in the same
# run on the quiet machine. Four situations, each the median of RUNS runs
# of the program's own choice (atanpi: best engine, its own thread count):
#
#   quiet     nothing else running
#   uneven    a busy loop pinned to the second CPU, as when one core is
#             slower or shared (efficiency cores, an SMT sibling in use)
#   crowded   two busy loops, unpinned: a fair share is one core of two
#   one CPU   the program confined to the first CPU (taskset -c CPU0)
#
# Run as root on a system with the cgroup v1 cpu controller mounted, it
# adds a quota of 1.5 CPUs (cpu.cfs_quota_us 150000 per 100000): one
# thread, two threads and the program's own choice, each in a control group
# of its own made and removed by the script.
#
#   bench/busy.sh [BUILD_DIR [DIGITS [ID]]]    defaults: build 300000 1
#   BUSY_RUNS=5 BUSY_CPUS="2 3" bench/busy.sh   runs per situation; the CPUs
#                                               used as first and second
#
# Meant for an otherwise quiet machine of two or more CPUs: it prints the
# load average before and after. Its busy loops end with it, however it
# ends (normally, on an error, or by a signal).
set -euo pipefail
build=$(cd "${1:-$(dirname "$0")/../build}" && pwd)
digits=${2:-300000}
id=${3:-1}
runs=${BUSY_RUNS:-3}
read -r cpu0 cpu1 <<<"${BUSY_CPUS:-0 1}"

work=$(mktemp -d)
loops=()
group=
stop_loops() {
  local pid
  for pid in "${loops[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${loops[@]}"; do wait "$pid" 2>/dev/null || true; done
  loops=()
}
cleanup() {
  stop_loops
  if [ -n "$group" ] && [ -d "$group" ]; then rmdir "$group" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Starts a busy loop, on CPU $1 if given; the loop ends when killed.
start_loop() {
  if [ $# -gt 0 ]; then
    taskset -c "$1" bash -c 'while :; do :; done' &
  else
    bash -c 'while :; do :; done' &
  fi
  loops+=("$!")
}

# Seconds of the whole computation of one run of the command given.
one_run() {
  (cd "$work" && printf '%s\n%s\n' "$id" "$digits" | "$@" >console.txt)
  sed -n 's/^ Pi Computation,  Time(s)= \([0-9.]*\) $/\1/p' "$work/console.txt" | head -n 1
}

# The median of the numbers given, and of RUNS runs of the command given.
median_of() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
median_run() {
  local k times=()
  for ((k = 0; k < runs; k++)); do times+=("$(one_run "$@")"); done
  median_of "${times[@]}"
}

echo "busy.sh: formula $id, $digits digits, medians of $runs runs; CPUs $cpu0 and $cpu1"
echo "processor: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
  "$(nproc) CPUs available; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
# T1 and quiet alternate, so that a change in the machine's speed while
# they run (a neighbour on the host, say) shows in both alike.
t1_times=()
quiet_times=()
for ((k = 0; k < runs; k++)); do
  t1_times+=("$(one_run "$build/atanpi-bench-run" --threads=1)")
  quiet_times+=("$(one_run "$build/atanpi")")
done
t1=$(median_of "${t1_times[@]}")
quiet=$(median_of "${quiet_times[@]}")
start_loop "$cpu1"
sleep 0.2
uneven=$(median_run "$build/atanpi")
stop_loops
start_loop
start_loop
sleep 0.2
crowded=$(median_run "$build/atanpi")
stop_loops
one_cpu=$(median_run taskset -c "$cpu0" "$build/atanpi")

# A quota of 1.5 CPUs, where the v1 cpu controller's hierarchy is writable.
cpu_mount=$(awk '$3 == "cgroup" && $4 ~ /(^|,)cpu(,|$)/ { print $2; exit }' /proc/mounts)
quota_rows=()
if [ -n "$cpu_mount" ] && [ -w "$cpu_mount" ]; then
  group="$cpu_mount/atanpi-busy-$$"
  # The group's weight is that of a process at nice -15, so that on a
  # shared machine other groups' work disturbs the measurement less; on a
  # quiet one it changes nothing.
  if mkdir "$group" 2>/dev/null && echo 100000 >"$group/cpu.cfs_period_us" &&
     echo 150000 >"$group/cpu.cfs_quota_us" && echo 29154 >"$group/cpu.shares"; then
    # The command given, run inside the group.
    in_group() { echo "$BASHPID" >"$group/cgroup.procs" && exec "$@"; }
    quota1=$(median_run in_group "$build/atanpi-bench-run" --threads=1)
    quota2=$(median_run in_group "$build/atanpi-bench-run" --threads=2)
    quota_own=$(median_run in_group "$build/atanpi")
    quota_rows=("quota 1.5 CPUs, 1 thread" "$quota1" "quota 1.5 CPUs, 2 threads" "$quota2"
                "quota 1.5 CPUs, the program's choice" "$quota_own")
  fi
fi

echo "T1 (one thread, quiet): $t1 s"
echo
echo "| situation | time (s) | parts of T1 |"
echo "|---|---|---|"
row() { awk -v name="$1" -v t="$2" -v t1="$t1" 'BEGIN { printf "| %s | %.3f | %.2f |\n", name, t, t / t1 }'; }
row quiet "$quiet"
row uneven "$uneven"
row crowded "$crowded"
row "one CPU" "$one_cpu"
for ((k = 0; k < ${#quota_rows[@]}; k += 2)); do row "${quota_rows[k]}" "${quota_rows[k + 1]}"; done
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
