#!/bin/sh
# Builds the benchmarks in Release and runs them. Prints one table; writes
# bench/results/latest.json (machine, commit, rows) and bench/results/latest.md.
#
#   bench/run.sh [options passed to every benchmark program]
#     --runs=N    repetitions per figure (each figure is the median over them)
#     --scale=F   scales request and session counts (0.1 for a quick smoke run)
#     --bench=NAME[,NAME]  runs only these benchmark programs (protocol, tunnel, route);
#                 taken by this script, not passed on
#
# Environment: VORTAN_BENCH_BUILD (build directory, default build-bench),
# VORTAN_BENCH_JOBS (parallel compile jobs, default 2). Run as root: the packages are
# installed when missing, and the tunnel and route benchmarks create network
# namespaces. The service's log lines go to its log file and its standard output to a
# file (as under the service manager, where the journal takes it).
set -eu

selected=""
for argument do
  shift
  case $argument in
    --bench=*) selected=$(echo "${argument#--bench=}" | tr ',' ' ') ;;
    *) set -- "$@" "$argument" ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORTAN_BENCH_BUILD:-$root/build-bench}
jobs=${VORTAN_BENCH_JOBS:-2}
results=$root/bench/results
work=$(mktemp -d /tmp/vortan-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORTAN_BENCH=ON >"$work/cmake.log" ||
  { cat "$work/cmake.log"; exit 1; }
targets=benchmarks
if [ -n "$selected" ]; then
  targets=""
  for name in $selected; do
    case $name in
      protocol | tunnel | route) targets="$targets vortan_bench_$name" ;;
      *) echo "unknown benchmark: $name (protocol, tunnel, route)" >&2; exit 2 ;;
    esac
  done
fi
# shellcheck disable=SC2086 # one word per target
cmake --build "$build" -j"$jobs" --target $targets >"$work/build.log" 2>&1 ||
  { tail -50 "$work/build.log"; exit 1; }

# Protocol first: it needs nothing but the service; the others need namespaces.
programs=""
for name in ${selected:-protocol tunnel route}; do
  [ -x "$build/vortan_bench_$name" ] && programs="$programs $name"
done

status=0
first=1
for name in $programs; do
  if ! "$build/vortan_bench_$name" --json="$work/$name.json" --markdown="$work/$name.md" "$@" \
      >"$work/$name.txt" 2>"$work/$name.err"; then
    echo "vortan_bench_$name failed:" >&2
    cat "$work/$name.err" >&2
    status=1
  fi
  if [ $first = 1 ]; then cat "$work/$name.txt"; first=0; else tail -n +2 "$work/$name.txt"; fi
done

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
machine="$(nproc) cores, $cpu, Linux $(uname -r)"
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
stamp=$(date -u +%Y-%m-%dT%H:%M:%SZ)
echo
echo "machine: $machine; commit $commit; $stamp"

mkdir -p "$results"
{
  printf '{\n  "date": "%s",\n  "commit": "%s",\n' "$stamp" "$commit"
  printf '  "machine": {"cores": %s, "cpu": "%s", "kernel": "%s"},\n' "$(nproc)" "$cpu" "$(uname -r)"
  printf '  "service_output": "log file and standard output both written to files, every line flushed",\n' 
  printf '  "rows": [\n'
  for name in $programs; do
    [ -f "$work/$name.json" ] && sed -n 's/^  \({.*}\),\{0,1\}$/    \1/p' "$work/$name.json"
  done | sed '$!s/$/,/'
  printf '  ]\n}\n'
} >"$results/latest.json"
{
  echo "| benchmark | figure | service | reference | ratio | target | note |"
  echo "|---|---|---:|---:|---:|---|---|"
  for name in $programs; do [ -f "$work/$name.md" ] && cat "$work/$name.md"; done
  echo
  echo "Machine: $machine. Commit $commit, $stamp."
} >"$results/latest.md"
echo "written: $results/latest.json, $results/latest.md"
exit $status
