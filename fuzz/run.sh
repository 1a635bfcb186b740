#!/usr/bin/env bash
# Runs every fuzz target for a while, as many at once as there are cores (FUZZ_JOBS to choose).
#
#   bash fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
#
# BUILD_DIR is a build configured with clang and -DOVN_BUILD_FUZZ=ON (the targets are in BUILD_DIR/fuzz).
# For each target, first the inputs kept in fuzz/regressions/<target>/ are replayed, then the target runs
# for SECONDS on a temporary copy of fuzz/corpus/<target>/ (the tree is not changed). Crashes, sanitizer
# reports, broken invariants, time-outs (5 s) and memory blow-ups (2 GB) fail the run: the inputs that
# caused them are left in a temporary directory whose path is printed, to be kept in fuzz/regressions/.
# Exits non-zero when any target failed.
set -uo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS [TARGET...]" >&2
  exit 2
fi
BUILD=$(cd "$1" && pwd) || exit 2
SECONDS_PER_TARGET=$2
shift 2
HERE=$(cd "$(dirname "$0")" && pwd)
TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then
  TARGETS=(fuzz_reply fuzz_device_id fuzz_string_descriptor fuzz_srecord fuzz_status fuzz_simulation_text)
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

WORK=$(mktemp -d -t ovn-fuzz.XXXXXX)
# Targets run side by side, as many at once as there are cores (FUZZ_JOBS overrides).
PARALLEL=${FUZZ_JOBS:-$(nproc)}

# run_target T: replays T's regression inputs, then fuzzes it. What it has to say goes to $WORK/T/report, its
# result ("name|result|inputs run") to $WORK/T/result.
run_target() {
  local t=$1 bin="$BUILD/fuzz/$1"
  mkdir -p "$WORK/$t/corpus" "$WORK/$t/artifacts"
  exec > "$WORK/$t/report" 2>&1
  if [ ! -x "$bin" ]; then
    echo "$t: not built ($bin missing)"
    echo "$t|not built|-" > "$WORK/$t/result"
    return
  fi
  if [ -d "$HERE/corpus/$t" ]; then cp -r "$HERE/corpus/$t/." "$WORK/$t/corpus/"; fi

  # Known findings first: each input that once failed must pass now.
  local regressions=()
  if [ -d "$HERE/regressions/$t" ]; then
    while IFS= read -r -d '' f; do regressions+=("$f"); done < <(find "$HERE/regressions/$t" -type f ! -name '*.md' -print0 | sort -z)
  fi
  if [ ${#regressions[@]} -gt 0 ]; then
    if ! "$bin" -timeout=5 -rss_limit_mb=2048 -artifact_prefix="$WORK/$t/artifacts/" "${regressions[@]}" \
        > "$WORK/$t/regressions.log" 2>&1; then
      echo "$t: a kept regression input fails again:"
      tail -n 40 "$WORK/$t/regressions.log"
      echo "$t|regression fails|-" > "$WORK/$t/result"
      return
    fi
  fi

  echo "$t: ${#regressions[@]} regression inputs pass; fuzzed for ${SECONDS_PER_TARGET} s"
  "$bin" -max_total_time="$SECONDS_PER_TARGET" -timeout=5 -rss_limit_mb=2048 -max_len=16384 \
      -artifact_prefix="$WORK/$t/artifacts/" -print_final_stats=1 "$WORK/$t/corpus" \
      > "$WORK/$t/fuzz.log" 2>&1
  local rc=$?
  local execs artifacts
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$WORK/$t/fuzz.log" | tail -n1)
  artifacts=$(find "$WORK/$t/artifacts" -type f | sort)
  if [ $rc -ne 0 ] || [ -n "$artifacts" ]; then
    echo "$t: FAILED (exit $rc)"
    grep -E "ERROR: |invariant failed|SUMMARY|runtime error|==[0-9]+==" "$WORK/$t/fuzz.log" | head -n 20
    tail -n 30 "$WORK/$t/fuzz.log"
    for a in $artifacts; do
      echo "  input: $a ($(stat -c %s "$a") bytes)"
      head -c 256 "$a" | od -A d -c | head -n 12 | sed 's/^/    /'
    done
    echo "$t|FAILED|${execs:-?}" > "$WORK/$t/result"
  else
    echo "$t|ok|${execs:-?}" > "$WORK/$t/result"
  fi
}

echo "fuzzing ${#TARGETS[@]} targets, $PARALLEL at a time, ${SECONDS_PER_TARGET} s each"
running=0
for t in "${TARGETS[@]}"; do
  if [ "$running" -ge "$PARALLEL" ]; then
    wait -n
    running=$((running - 1))
  fi
  run_target "$t" &
  running=$((running + 1))
done
wait

failed=()
summary=()
for t in "${TARGETS[@]}"; do
  cat "$WORK/$t/report" 2>/dev/null
  line=$(cat "$WORK/$t/result" 2>/dev/null || echo "$t|no result|-")
  summary+=("$line")
  IFS='|' read -r _ result _ <<< "$line"
  [ "$result" = ok ] || failed+=("$t")
done

echo
printf '%-26s %-18s %s\n' "target" "result" "inputs run"
for line in "${summary[@]}"; do
  IFS='|' read -r name result execs <<< "$line"
  printf '%-26s %-18s %s\n' "$name" "$result" "$execs"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo
  echo "fuzzing failed: ${failed[*]}"
  echo "logs and failing inputs: $WORK (keep each input in fuzz/regressions/<target>/ once fixed)"
  exit 1
fi
rm -rf "$WORK"
echo "fuzzing passed"
