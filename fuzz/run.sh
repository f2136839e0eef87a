#!/usr/bin/env bash
# Builds the libFuzzer targets of the platform-free code with clang and runs
# each for SECONDS (default 5, the length the test command uses) on its seed
# corpus in fuzz/corpus/NAME. New inputs go to build/fuzz/work/NAME (emptied
# at each start), so the seed corpus in the repository is never modified.
#
#   fuzz/run.sh [SECONDS] [NAME...]     e.g. fuzz/run.sh 600   or   fuzz/run.sh 60 command_line
#
# Exit status 0 when every target ran its time without a finding. Otherwise
# the failing input is saved as build/fuzz/artifacts/NAME-crash-* (or -leak-,
# -timeout-, -oom-) and the log's end is printed; reproduce with
#   build/fuzz/NAME_fuzz build/fuzz/artifacts/NAME-crash-...
# Targets run side by side, as many at a time as there are processors.
# ZELVRA_FUZZ_BUILD sets another build folder.
set -euo pipefail
ZELVRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-5}"
[ $# -gt 0 ] && shift
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: fuzz/run.sh [SECONDS] [NAME...]" >&2
  exit 2
fi
build="${ZELVRA_FUZZ_BUILD:-$ZELVRA_ROOT/build/fuzz}"

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ is missing (packages clang and libclang-rt-14-dev)" >&2
  exit 1
fi
CC=clang CXX=clang++ cmake -S "$ZELVRA_ROOT/fuzz" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$ZELVRA_ROOT"/fuzz/*_fuzz.cpp; do
    name="$(basename "$source" .cpp)"
    targets+=("${name%_fuzz}")
  done
fi

mkdir -p "$build/artifacts" "$build/logs"
run_target() {
  local name="$1" work="$build/work/$1"
  rm -rf "$work"
  mkdir -p "$work"
  # The first folder receives new inputs; the seed folder is only read.
  # A single input running 10 s counts as a hang.
  "$build/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "$work" "$ZELVRA_ROOT/fuzz/corpus/$name" \
    >"$build/logs/$name.log" 2>&1
}

# Run side by side, at most one per processor; remember which process is which.
declare -A running=()
failed=()
finish_one() {
  local pid status=0
  wait -n -p pid "${!running[@]}" || status=$?
  local name="${running[$pid]}"
  unset "running[$pid]"
  local stats execs per_second
  stats="$build/logs/$name.log"
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$stats" | tail -1)"
  per_second="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$stats" | tail -1)"
  if [ "$status" -eq 0 ]; then
    printf 'fuzz: %-20s ok      %10s runs  %8s/s\n' "$name" "${execs:-?}" "${per_second:-?}"
  else
    printf 'fuzz: %-20s FAILED  (exit %d), log %s\n' "$name" "$status" "$stats"
    grep -E 'property failed|runtime error|ERROR: |SUMMARY|Test unit written' "$stats" | head -20 || tail -20 "$stats"
    failed+=("$name")
  fi
}
for name in "${targets[@]}"; do
  if [ ! -x "$build/${name}_fuzz" ] || [ ! -d "$ZELVRA_ROOT/fuzz/corpus/$name" ]; then
    echo "fuzz: no target or seed corpus named '$name'" >&2
    failed+=("$name")
    continue
  fi
  while [ ${#running[@]} -ge "$(nproc)" ]; do finish_one; done
  run_target "$name" &
  running[$!]="$name"
done
while [ ${#running[@]} -gt 0 ]; do finish_one; done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings or errors in: ${failed[*]}" >&2
  exit 1
fi
