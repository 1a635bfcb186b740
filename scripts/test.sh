#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the main build (warnings as errors), a sanitizer
# build of the core (AddressSanitizer + UndefinedBehaviorSanitizer), a ThreadSanitizer build of the core,
# the fuzz targets for a bounded time, and the Debian package.
#
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the main build and its tests only
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
QUICK=0
[ "${1:-}" = "--quick" ] && QUICK=1
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-15}

if [ "${OVN_SKIP_DEPS:-0}" != 1 ]; then
  bash scripts/install-deps.sh
fi

failures=()
started=$SECONDS
last=""
# Each stage's heading also tells how long the stage before it took.
step() {
  echo
  [ -z "$last" ] || echo "    ($((SECONDS - last)) s)"
  last=$SECONDS
  echo "=== $* ==="
}

# Every build here starts from nothing on a CI machine: the libraries and programs are built as unity builds
# (a batch of sources per compiler run), which halves their compile time.
UNITY=-DCMAKE_UNITY_BUILD=ON

step "main build"
cmake -S . -B build/main -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVN_WERROR=ON -DOVN_BUILD_BENCH=ON "$UNITY"
cmake --build build/main -j "$JOBS"
step "main tests"
# Most tests wait on emulated printers rather than compute: twice as many at once as there are cores.
(cd build/main && ctest --output-on-failure -j "$((JOBS * 2))" --timeout 600) || failures+=("main tests")
[ ! -x build/main/src/app/ovn-utility ] || bash scripts/update-demo.sh build/main "$(mktemp -d)" || failures+=("update demo")

if [ "$QUICK" = 0 ]; then
  step "sanitizer build (address, undefined)"
  # Line tables are enough for the sanitizers' reports and make the builds quicker than full debug information.
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
        -DOVN_WERROR=ON -DOVN_BUILD_GUI=OFF -DOVN_SANITIZE="address;undefined" "$UNITY"
  cmake --build build/asan -j "$JOBS"
  (cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j "$((JOBS * 2))" --timeout 900 -LE nosan) || failures+=("asan tests")

  step "thread sanitizer build"
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
        -DOVN_WERROR=ON -DOVN_BUILD_GUI=OFF -DOVN_SANITIZE=thread "$UNITY"
  cmake --build build/tsan -j "$JOBS"
  (cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
     ctest --output-on-failure -j "$((JOBS + 1))" --timeout 900 -LE nosan) || failures+=("tsan tests")

  if [ -f fuzz/CMakeLists.txt ]; then
    step "fuzzing (${FUZZ_SECONDS} s per target)"
    CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DNDEBUG" \
        -DOVN_BUILD_GUI=OFF -DOVN_BUILD_TESTS=OFF -DOVN_BUILD_FUZZ=ON "$UNITY"
    cmake --build build/fuzz -j "$JOBS" --target fuzz
    bash fuzz/run.sh build/fuzz "$FUZZ_SECONDS" || failures+=("fuzzing")
  fi

  if [ -f packaging/test-package.sh ]; then
    step "Debian package"
    bash packaging/test-package.sh build/main || failures+=("package")
  fi
fi

step "done"
echo "all stages: $((SECONDS - started)) s"
if [ ${#failures[@]} -gt 0 ]; then
  echo "FAILED: ${failures[*]}"
  exit 1
fi
echo "all test stages passed"
