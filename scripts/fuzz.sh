#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets (fuzz/) with clang into
# build/fuzz, runs each over its regression inputs (fuzz/regressions/<target>,
# which must all pass), then fuzzes every target for SECONDS (default 30)
# from a copy of its seed corpus (fuzz/corpus/<target>), several at once, and
# prints one line per target: executions, executions per second, crashes.
# Exits non-zero when any target crashed, leaked, ran out of memory or timed
# out; the input that did it is kept under build/fuzz/artifacts/<target>/ and
# its path printed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
case "$seconds" in ''|*[!0-9]*) echo "usage: fuzz.sh [SECONDS]" >&2; exit 2;; esac

build="${QUOR_FUZZ_BUILD:-$root/build/fuzz}"
cc="${QUOR_FUZZ_CC:-clang-14}"
cxx="${QUOR_FUZZ_CXX:-clang++-14}"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# -O1 with line tables: fast enough to fuzz, exact enough for stack traces.
cmake -S "$root" -B "$build" -G Ninja -DQUOR_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" "${launcher[@]}" \
  -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_C_FLAGS_DEBUG=-O1 -gline-tables-only" \
  "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -gline-tables-only" >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz >"$build/build.log" 2>&1 || { tail -n 40 "$build/build.log"; exit 1; }

bin="$build/fuzz"
mapfile -t targets < <(cd "$root/fuzz/corpus" && ls -d */ | tr -d /)
for t in "${targets[@]}"; do
  [ -x "$bin/$t" ] || { echo "fuzz.sh: no program for fuzz/corpus/$t" >&2; exit 1; }
done

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
limits=(-timeout=10 -rss_limit_mb=2048)

# Inputs of faults fixed before: each must now go through cleanly.
failed=0
for t in "${targets[@]}"; do
  dir="$root/fuzz/regressions/$t"
  [ -d "$dir" ] || continue
  mapfile -t inputs < <(find "$dir" -type f | sort)
  [ ${#inputs[@]} -gt 0 ] || continue
  if ! "$bin/$t" "${limits[@]}" "${inputs[@]}" >"$build/regressions-$t.log" 2>&1; then
    echo "REGRESSION $t: one of fuzz/regressions/$t fails again:"
    grep -E "Running: |ERROR|SUMMARY|runtime error" "$build/regressions-$t.log" | tail -n 20
    failed=1
  fi
done
[ "$failed" -eq 0 ] || exit 1
echo "regression inputs: all pass"

work="$(mktemp -d /tmp/quor-fuzz.XXXXXX)"
trap 'rm -rf "$work"' EXIT
rm -rf "$build/artifacts"
jobs_max=$(( $(nproc) / 2 ))
[ "$jobs_max" -ge 1 ] || jobs_max=1

run() {
  local t="$1"
  mkdir -p "$work/$t" "$build/artifacts/$t"
  cp -r "$root/fuzz/corpus/$t/." "$work/$t/"
  "$bin/$t" "${limits[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t/" "$work/$t" >"$build/run-$t.log" 2>&1
}

pids=()
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n || true; done
  run "$t" &
  pids+=($!)
done
status=()
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then status[$i]=0; else status[$i]=1; fi
done

printf '%-20s %12s %8s %8s\n' target executions exec/s crashes
for i in "${!targets[@]}"; do
  t="${targets[$i]}"
  log="$build/run-$t.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  crashes=$(find "$build/artifacts/$t" -type f | wc -l)
  printf '%-20s %12s %8s %8s\n' "$t" "${execs:-?}" "${rate:-?}" "$crashes"
  if [ "${status[$i]}" -ne 0 ] || [ "$crashes" -ne 0 ]; then
    failed=1
    echo "  $t FAILED (log: $log):"
    grep -E "ERROR: |SUMMARY: |runtime error|Test unit written to|ALARM" "$log" | head -n 8 | sed 's/^/    /'
    find "$build/artifacts/$t" -type f | sed 's/^/    input: /'
  fi
done
exit "$failed"
