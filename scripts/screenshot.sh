#!/usr/bin/env bash
# Takes the picture of the main window in docs/main-window.png: the desktop program with three emulated printers
# (a PL25 duplex, and a PL35 and a PL45 accepted with --accept-product), saved by the program itself
# (--screenshot) once every printer has been read.
#
#   scripts/screenshot.sh [BUILD_DIR] [OUTPUT]      (defaults: build/main, docs/main-window.png)
#
# Runs under a virtual X server (xvfb-run) when there is one, else on Qt's offscreen platform. Build the
# program first, for example: cmake --build build/main --target ovn-utility
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build/main}
OUT=${2:-docs/main-window.png}
PROGRAM="$BUILD/src/app/ovn-utility"
if [ ! -x "$PROGRAM" ]; then
  echo "screenshot: $PROGRAM is not built (cmake --build $BUILD --target ovn-utility)" >&2
  exit 1
fi
export OVN_RESOURCE_DIR=${OVN_RESOURCE_DIR:-$BUILD/resources}
# The picture shows the English texts, whatever the caller's language.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
SIM="PL35:serial=7C1004721:fw=PL35 01.40:iserial=1:life=18734"
SIM+=",PL45:serial=8D2201558:status=00001:life=52906"
SIM+=",PL25D:serial=5A0719342:fw=PL25DUP 1.30PRN:life=9120"
ARGS=(--simulate "$SIM" --accept-product 0x5C01 --accept-product 0x5D01 --screenshot "$OUT")
LOG=$(mktemp)
trap 'rm -f "$LOG"' EXIT
status=0
if command -v xvfb-run >/dev/null 2>&1; then
  xvfb-run -a -s "-screen 0 1440x900x24" "$PROGRAM" "${ARGS[@]}" 2>"$LOG" || status=$?
else
  QT_QPA_PLATFORM=offscreen "$PROGRAM" "${ARGS[@]}" 2>"$LOG" || status=$?
fi
if [ "$status" -ne 0 ] || [ ! -s "$OUT" ]; then
  grep -v '^DEBUG:' "$LOG" >&2 || true
  echo "screenshot: the program failed (status $status)" >&2
  exit 1
fi
echo "saved $OUT"
