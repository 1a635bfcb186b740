#!/usr/bin/env bash
# Scrape time of `ovnctl serve` with 1, 32 and 256 emulated printers, and the CPU it uses when idle (no scrapes,
# each printer re-read every 10 s) with 32 printers, measured over IDLE_SECONDS and scaled to an hour.
#
#   bash bench/scrape.sh BUILD_DIR [IDLE_SECONDS]      (default 180)
#
# Scrape time: wall clock of `curl http://ADDR/metrics` (connection, request, whole answer) on the loopback,
# median and largest of 50 scrapes, once every printer is in the exposition. Prints Markdown table rows.
set -uo pipefail
BUILD=$(cd "${1:?usage: scrape.sh BUILD_DIR [IDLE_SECONDS]}" && pwd) || exit 2
IDLE=${2:-180}
OVNCTL="$BUILD/src/cli/ovnctl"
export OVN_RESOURCE_DIR=${OVN_RESOURCE_DIR:-$BUILD/resources}
TMP=$(mktemp -d)
SERVE=""
trap '[ -n "$SERVE" ] && kill "$SERVE" 2>/dev/null; rm -rf "$TMP"' EXIT
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

start() {  # N printers: starts serve, waits (at most 300 s) until all N are in the exposition
  local sim="PL35" i
  for ((i = 1; i < $1; i++)); do sim+=",PL35"; done
  "$OVNCTL" --accept-product 0x5C01 --simulate "$sim" serve --listen 127.0.0.1:0 2>"$TMP/err" &
  SERVE=$!
  for _ in $(seq 100); do grep -q listening "$TMP/err" && break; sleep 0.1; done
  ADDR=$(grep -o '127\.0\.0\.1:[0-9]*' "$TMP/err" | head -n1)
  local t0=$SECONDS
  until [ "$(curl -s "http://$ADDR/metrics" | grep -c '^ovn_printer_up{')" -ge "$1" ]; do
    [ $((SECONDS - t0)) -gt 300 ] && { echo "| $1 printers | not all listed within 300 s | |"; return 1; }
    sleep 0.5
  done
}
stop() { kill -TERM "$SERVE"; wait "$SERVE" 2>/dev/null; SERVE=""; }

echo "| Figure | Measured | Notes |"
echo "|---|---|---|"
for n in 1 32 256; do
  start "$n" || { stop; continue; }
  for _ in $(seq 50); do curl -s -o /dev/null -w '%{time_total}\n' "http://$ADDR/metrics"; done | sort -n >"$TMP/t"
  bytes=$(curl -s "http://$ADDR/metrics" | wc -c)
  echo "| Scrape of /metrics, $n printer(s) | median $(awk '{a[NR]=$1} END {printf "%.2f ms", a[int((NR+1)/2)]*1000}' "$TMP/t"), largest $(awk 'END {printf "%.2f ms", $1*1000}' "$TMP/t") | $bytes bytes |"
  if [ "$n" = 32 ]; then
    sleep 15  # the first reads and the firmware archive checks are over
    hz=$(getconf CLK_TCK) c0=$(ticks "$SERVE") t0=$(date +%s.%N)
    sleep "$IDLE"
    c1=$(ticks "$SERVE") t1=$(date +%s.%N)
    awk -v c=$((c1 - c0)) -v hz="$hz" -v t0="$t0" -v t1="$t1" 'BEGIN {
      s = c / hz; w = t1 - t0
      printf "| CPU of serve, idle, 32 printers (refresh 10 s) | %.1f s per hour (%.3f%% of one core) | %.2f s CPU over %.0f s, scaled to an hour |\n", s * 3600 / w, 100 * s / w, s, w }'
  fi
  stop
done
