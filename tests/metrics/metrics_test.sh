#!/usr/bin/env bash
# ovnctl metrics and serve as Prometheus sees them: usage: metrics_test.sh exposition|prometheus OVNCTL SOURCE_DIR
set -uo pipefail
MODE=$1 OVNCTL=$2 SRC=$3
TMP=$(mktemp -d) PIDS=()
trap 'for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$TMP"' EXIT
FAILS=0
fail() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }
ACCEPT=(--accept-product 0x0101 --accept-product 0x0102 --accept-product 0x0103 --accept-product 0x5C01
        --accept-product 0x5D01 --timeout 60)

if [ "$MODE" = exposition ]; then
  # Printers, and a line the exposition must hold for them.
  while IFS='|' read -r SIM WANT; do
    "$OVNCTL" "${ACCEPT[@]}" --simulate "$SIM" metrics >"$TMP/out" 2>"$TMP/err" || fail "$SIM: exit $?"
    promtool check metrics <"$TMP/out" >"$TMP/lint" 2>&1 || fail "$SIM: promtool: $(cat "$TMP/lint")"
    grep -qF -- "$WANT" "$TMP/out" || fail "$SIM: no line $WANT"
  done <<'CASES'
PL15:serial=S15:life=15,PL25:serial=S25,PL-MV1:serial=SMV,PL25D:serial=S25D,PL35:serial=S35,PL45:serial=S45|ovn_printer_lifetime_prints_total{serial="S15",model="PL15"} 15
PL15:serial=S15,PL25:serial=S25,PL-MV1:serial=SMV,PL25D:serial=S25D,PL35:serial=S35,PL45:serial=S45|ovn_printer_info{serial="S45",model="PL45",firmware="PL45 01.02",usb_location="0x14600000"} 1
PL35:serial=S35:busy=1|ovn_printer_busy{serial="",model="PL35",usb_location="0x14100000"} 1
PL35:serial=S35:busy=1|ovn_printer_up{serial="",model="PL35",usb_location="0x14100000"} 0
PL45:serial=S45:status=FU00001|ovn_printer_in_firmware_update{serial="",model="PL45",usb_location="0x14100000"} 1
PL25D:serial=S25D:status=01100|ovn_printer_status{serial="S25D",model="PL25D",status="Paper End"} 1
PL25D:serial=S25D:status=01100|ovn_printer_status{serial="S25D",model="PL25D",status="Idle"} 0
PL25D:serial=A"B\C|ovn_printer_up{serial="A\"B\\C",model="PL25D"} 1
CASES
  # The update history gives the last update of a printer.
  mkdir -p "$TMP/state/ovn-utility"
  echo '{"time":"2026-12-01T10:00:00Z","serial":"S35","result":"failed","program":"ovnctl"}' >"$TMP/state/ovn-utility/history.jsonl"
  XDG_STATE_HOME=$TMP/state "$OVNCTL" "${ACCEPT[@]}" --simulate PL35:serial=S35 metrics >"$TMP/out" 2>/dev/null
  grep -qxF 'ovn_printer_last_update_success{serial="S35",model="PL35"} 0' "$TMP/out" || fail "no failed last update"
  grep -qxF 'ovn_printer_last_update_timestamp_seconds{serial="S35",model="PL35"} 1796119200' "$TMP/out" ||
    fail "no last update time"
  # --output: written whole, or not at all.
  "$OVNCTL" --simulate PL25D:life=4242 metrics --output "$TMP/printers.prom" >"$TMP/out" 2>/dev/null ||
    fail "--output: exit $?"
  [ -s "$TMP/out" ] && fail "--output also wrote to standard output"
  grep -q '} 4242$' "$TMP/printers.prom" || fail "--output: no counter in the file"
  ls -A "$TMP" | grep -q '^\.printers' && fail "--output left a temporary file"
  "$OVNCTL" --simulate PL25D metrics --output "$TMP/none/x.prom" 2>"$TMP/err"
  [ $? -eq 1 ] && grep -q "$TMP/none/x.prom" "$TMP/err" || fail "unwritable --output: $(cat "$TMP/err")"
  for BAD in 127.0.0.1 '::1:80' 127.0.0.1:70000 127.0.0.1:x; do
    "$OVNCTL" --simulate PL25D serve --listen "$BAD" >/dev/null 2>&1
    [ $? -eq 2 ] || fail "--listen $BAD is not refused as usage"
  done
  promtool check rules "$SRC/packaging/ovn-printers.rules.yml" >"$TMP/lint" 2>&1 || fail "rules: $(cat "$TMP/lint")"
  (cd "$SRC/tests/metrics" && promtool test rules ovn-printers.rules.test.yml) >"$TMP/lint" 2>&1 ||
    fail "the alerts do not fire as they should: $(cat "$TMP/lint")"
else
  # A real Prometheus scrapes ovnctl serve; the PL35 is pulled out while it runs.
  "$OVNCTL" --accept-product 0x5C01 --simulate 'PL25D:serial=KEEP:life=4242,PL35:serial=GONE:unplug=8000' \
    serve --listen 127.0.0.1:0 --refresh 1 2>"$TMP/serve.err" & PIDS+=($!)
  SERVE=$!
  for _ in $(seq 50); do grep -q listening "$TMP/serve.err" && break; sleep 0.1; done
  ADDR=$(grep -o '127\.0\.0\.1:[0-9]*' "$TMP/serve.err" | head -n1)
  [ -n "$ADDR" ] || { echo "FAIL: serve did not listen: $(cat "$TMP/serve.err")"; exit 1; }
  printf 'global: {scrape_interval: 1s}\nscrape_configs:\n  - job_name: ovn\n    static_configs: [{targets: ["%s"]}]\n' \
    "$ADDR" >"$TMP/prometheus.yml"
  for _ in $(seq 5); do
    PORT=$((20000 + RANDOM % 30000))
    prometheus --config.file="$TMP/prometheus.yml" --storage.tsdb.path="$TMP/data" \
      --web.listen-address="127.0.0.1:$PORT" >"$TMP/prom.log" 2>&1 & PIDS+=($!)
    sleep 2
    kill -0 $! 2>/dev/null && break
  done
  SEEN=0 GONE=0 READ=0
  for _ in $(seq 60); do
    curl -sf "http://$ADDR/metrics" >"$TMP/scrape" || true
    grep -q 'serial="GONE"' "$TMP/scrape" && SEEN=1
    [ $SEEN = 1 ] && ! grep -q 'serial="GONE"' "$TMP/scrape" && grep -q 'serial="KEEP"' "$TMP/scrape" && GONE=1
    curl -sf "http://127.0.0.1:$PORT/api/v1/query" --data-urlencode \
      'query=ovn_printer_lifetime_prints_total{serial="KEEP"}' | grep -q '"4242"' && READ=1
    [ $GONE = 1 ] && [ $READ = 1 ] && break
    sleep 0.5
  done
  [ $SEEN = 1 ] || fail "the PL35 was never scraped"
  [ $GONE = 1 ] || fail "the unplugged PL35 is still scraped"
  [ $READ = 1 ] || fail "Prometheus did not read the lifetime counter: $(tail -n 5 "$TMP/prom.log")"
  promtool check metrics <"$TMP/scrape" >"$TMP/lint" 2>&1 || fail "promtool after the removal: $(cat "$TMP/lint")"
  curl -sf "http://$ADDR/printers" | grep -q '"printerSerialNumber": "KEEP"' || fail "/printers lacks the PL25D"
  kill -TERM $SERVE
  for _ in $(seq 50); do kill -0 $SERVE 2>/dev/null || break; sleep 0.1; done
  wait $SERVE
  [ $? -eq 0 ] || fail "serve did not end cleanly on SIGTERM"
fi
[ $FAILS -eq 0 ] && echo "all passed"
exit $FAILS
