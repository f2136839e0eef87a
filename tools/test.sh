#!/usr/bin/env bash
# Runs every test, in stages that each run even when an earlier one failed:
#   host       the sources' format (tools/format.sh --check), the platform-free
#              code natively under sanitizers, the fuzzers
#   x86 build  every 32-bit target: the release artifact, and the tests and
#              tools too (built, not run), so that no 32-bit build breaks unnoticed
#   x86 run    that artifact once end to end under Wine through user-mode
#              emulation (tools/x86_smoke.sh; skipped where the machine cannot)
#   windows    the Windows tests and the end-to-end tests under Wine (x64 build)
# and ends with one line per stage (passed, failed or skipped, and seconds).
# Exits non-zero when any stage failed.
#
# Usage: tools/test.sh [--fresh] [ctest options for the windows stage...]
#   --fresh  build everything from nothing: the build folders and the cached
#            Wine prefixes (same as ZELVRA_FRESH=1)
set -uo pipefail
ZELVRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ZELVRA_ROOT"
ctest_args=()
for arg in "$@"; do
  case "$arg" in
    --fresh) export ZELVRA_FRESH=1 ;;
    *) ctest_args+=("$arg") ;;
  esac
done
bash tools/setup.sh || { echo "test: setting up the machine failed"; exit 1; }
if [ "${ZELVRA_FRESH:-0}" = 1 ]; then bash tools/fresh.sh || exit 1; fi
jobs=$(nproc)
LOGS=$(mktemp -d "${TMPDIR:-/tmp}/zelvra-test.XXXXXX")
trap 'rm -rf "$LOGS"' EXIT

stage_host() {
  bash tools/format.sh --check
  cmake --preset host >/dev/null
  cmake --build --preset host -j "$jobs"
  ctest --preset host -j "$jobs"
}

stage_x86_build() {
  cmake --preset windows-x86 >/dev/null
  cmake --build --preset windows-x86 -j "$jobs"
}

stage_x86_run() {
  # It prints "x86 smoke run: skipped: <reason>" and exits 0 where the
  # machine cannot emulate 32-bit x86.
  bash tools/x86_smoke.sh 2>&1 | tee "$LOGS/x86_run"
}

stage_windows() {
  cmake --preset windows-x64 >/dev/null
  cmake --build --preset windows-x64 -j "$jobs"
  source tools/wine-env.sh
  trap zelvra_wine_stop EXIT
  zelvra_wine_start
  ctest --preset windows-x64 "${ctest_args[@]}"
}

names=() results=() seconds=() notes=()
run_stage() {  # run_stage NAME FUNCTION [SKIP REASON]
  local name=$1 function=$2 skip=${3:-} started=$SECONDS status result note=""
  echo
  echo "== $name"
  if [ -n "$skip" ]; then
    result=skipped note=$skip
    echo "skipped: $skip"
  else
    # A subshell of its own: set -e ends the stage, not the run.
    ( set -e; "$function" )
    status=$?
    if [ $status -ne 0 ]; then
      result=failed note="exit code $status"
    else
      result=passed
      if [ -f "$LOGS/${function#stage_}" ]; then
        note=$(sed -n 's/^x86 smoke run: skipped: //p' "$LOGS/${function#stage_}" | tail -n 1)
        [ -n "$note" ] && result=skipped
      fi
    fi
  fi
  names+=("$name") results+=("$result") seconds+=($((SECONDS - started))) notes+=("$note")
}

run_stage host stage_host
run_stage "x86 build" stage_x86_build
x86_skip=""
[ "${results[-1]}" = failed ] && x86_skip="the x86 build failed"
run_stage "x86 run" stage_x86_run "$x86_skip"
run_stage windows stage_windows

echo
echo "== summary"
passed=0 failed=0 skipped=0
for i in "${!names[@]}"; do
  printf '%-10s %-8s %5d s%s\n' "${names[$i]}" "${results[$i]}" "${seconds[$i]}" "${notes[$i]:+  (${notes[$i]})}"
  case "${results[$i]}" in passed) passed=$((passed + 1)) ;; failed) failed=$((failed + 1)) ;; *) skipped=$((skipped + 1)) ;; esac
done
echo "stages: $passed passed, $failed failed, $skipped skipped"
[ $failed -eq 0 ]
