#!/usr/bin/env bash
# Drives the desktop program through a firmware update of the second of three emulated printers, as a user
# would (mouse and keyboard, on a virtual X server), and saves a picture of every step into docs/:
#
#   update-1-selected.png     the second printer (a PL35) selected
#   update-2-warning.png      the warning that must be accepted
#   update-3-confirm.png      the last confirmation
#   update-4-restarting.png   the printer away restarting: its row stays, with the step and the time
#   update-5-finished.png     the result
#
# Each step is recognised by the program's own diagnostic lines (-v: every alert is one "alert: ..." line);
# the script fails when a step does not appear in time.
#
#   scripts/update-demo.sh [BUILD_DIR] [OUTPUT_DIR]      (defaults: build/main, docs)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build/main}
OUT=${2:-docs}
PROGRAM="$BUILD/src/app/ovn-utility"
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null 2>&1 || { echo "update-demo: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -x "$PROGRAM" ] || { echo "update-demo: $PROGRAM is not built" >&2; exit 1; }
mkdir -p "$OUT"
export OVN_RESOURCE_DIR=${OVN_RESOURCE_DIR:-$BUILD/resources}
export LANG=C.UTF-8 LC_ALL=C.UTF-8 XDG_CONFIG_HOME=${TMPDIR:-/tmp}/ovn-demo-config XDG_STATE_HOME=${TMPDIR:-/tmp}/ovn-demo-state
unset QT_QPA_PLATFORM

WORK=$(mktemp -d)
LOG="$WORK/program.log"
XPID="" APID=""
cleanup() {
  [ -n "$APID" ] && kill "$APID" 2>/dev/null || true
  [ -n "$XPID" ] && kill "$XPID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# A free display number.
N=90
while [ -e "/tmp/.X11-unix/X$N" ] || [ -e "/tmp/.X$N-lock" ]; do N=$((N + 1)); done
Xvfb ":$N" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
XPID=$!
export DISPLAY=":$N"
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

SIM="PL25D:serial=5A0719342:fw=PL25DUP 1.30PRN"
SIM+=",PL35:serial=7C1004721:fw=PL35 01.40:delay=8000"
SIM+=",PL45:serial=8D2201558"
"$PROGRAM" -v --simulate "$SIM" --accept-product 0x5C01 --accept-product 0x5D01 2>"$LOG" &
APID=$!

fail() {
  echo "update-demo: $*" >&2
  grep -E '^alert: ' "$LOG" >&2 || true
  exit 1
}
# Waits until the program's log has a line matching the pattern (the N-th such line with a second argument).
await() {
  local pattern=$1 count=${2:-1}
  for _ in $(seq 300); do
    [ "$(grep -cE -- "$pattern" "$LOG" || true)" -ge "$count" ] && return 0
    kill -0 "$APID" 2>/dev/null || fail "the program ended before \"$pattern\""
    sleep 0.1
  done
  fail "step not seen: \"$pattern\""
}
shot() {
  sleep 0.6  # the last paint
  import -window root "$OUT/$1"
  echo "saved $OUT/$1"
}

# The three printers read (each one's lifetime counter came back).
await 'rows = 3'
WID=$(xdotool search --sync --name 'OVN Printer Utility' | head -1)
sleep 2

# The second row: under the header, one row down.
xdotool mousemove --window "$WID" 300 165 click 1
shot update-1-selected.png

xdotool key --window "$WID" ctrl+u
await '^alert: Attention: \| This update tool will upgrade the printer firmware to version PL35'
sleep 0.5
# "I Agree" (the focus is on the default button, "Quit"; the checkbox comes before the buttons).
xdotool key shift+Tab space
shot update-2-warning.png
xdotool key Tab Tab space
await '^alert: -- Warning -- Are you certain'
shot update-3-confirm.png
# "Cancel" is the default: the next button updates.
xdotool key Tab space

# Away restarting into update mode.
await 'removing OVN PL35'
sleep 3
shot update-4-restarting.png

await '^alert: Firmware update was successful! \| Firmware version updated from PL35 01.40 to PL35 01.52'
shot update-5-finished.png
xdotool key Return
sleep 0.5
xdotool windowactivate --sync "$WID" 2>/dev/null || xdotool windowfocus "$WID" || true
xdotool key ctrl+q
for _ in $(seq 50); do kill -0 "$APID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$APID" 2>/dev/null && fail "the program did not end after Quit"
wait "$APID" || fail "the program ended with a failure"
APID=""
echo "update-demo: every step appeared"
