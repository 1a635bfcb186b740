#!/usr/bin/env bash
# Runs the benchmarks, each figure beside its reference measured in the same run, and prints one table
# (Markdown) with the machine it ran on.
#
#   bash bench/run.sh BUILD_DIR
#
# BUILD_DIR: a Release build configured with -DOVN_BUILD_BENCH=ON and its bench targets built, e.g.
#   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOVN_BUILD_GUI=OFF -DOVN_BUILD_BENCH=ON
#   cmake --build build/bench --target bench ovnctl
# The start-up of the desktop program is measured when BUILD_DIR also has it (-DOVN_BUILD_GUI=ON).
# References: srec_info (Debian's srecord) and openssl. Throughput figures are the best single run of N, in
# CPU time (user and system, as the kernel accounts it), on both sides: other work on a shared machine
# disturbs that least. Start-up, probe and stall figures are wall-clock times. The load is printed.
set -uo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
BUILD=$(cd "$1" && pwd) || exit 2
BENCH="$BUILD/bench/ovn_bench"
TOOL="$BUILD/bench/ovn_bench_tool"
OVNCTL="$BUILD/src/cli/ovnctl"
APP="$BUILD/src/app/ovn-utility"
for b in "$BENCH" "$TOOL"; do
  [ -x "$b" ] || { echo "missing $b: build the bench target first" >&2; exit 2; }
done
for t in srec_info openssl awk; do
  command -v "$t" >/dev/null || { echo "missing $t (apt-get install srecord openssl)" >&2; exit 2; }
done

LOAD_START=$(cut -d" " -f1-3 /proc/loadavg)
export OVN_RESOURCE_DIR=${OVN_RESOURCE_DIR:-$BUILD/resources}
WORK=$(mktemp -d -t ovn-bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

now_ns() { date +%s%N; }
# cpu_seconds N CMD...: the least CPU time one of N runs of a reference program took, in seconds.
cpu_seconds() {
  local n=$1
  shift
  field cpu_s "$("$TOOL" cpu-time "$n" "$@")"
}
# median_ms N CMD...: the median wall-clock time of N runs, in milliseconds.
median_ms() {
  local n=$1 t0 t1
  shift
  for _ in $(seq "$n"); do
    t0=$(now_ns)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
    t1=$(now_ns)
    echo $(((t1 - t0) / 1000))
  done | sort -n | awk '{ v[NR] = $1 } END { printf "%.1f", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) / 1000 }'
}
# field KEY LINE: the value of KEY=value in a line of the tool's output.
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<< "$2"; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
yesno() { awk "BEGIN { print (($1) ? \"yes\" : \"**no**\") }"; }

ROWS=()
row() { ROWS+=("| $1 | $2 | $3 | $4 | $5 |"); }

# ---- files ----------------------------------------------------------------------------------------------
LARGEST=$(ls -S "$OVN_RESOURCE_DIR"/*.fw 2>/dev/null | head -n 1)
[ -n "$LARGEST" ] || { echo "no delivered firmware image in $OVN_RESOURCE_DIR" >&2; exit 2; }
IMAGE="$WORK/image64.fw"
"$TOOL" make-image "$IMAGE" 64 >/dev/null || exit 1
LARGEST_NAME=$(basename "$LARGEST")
size_of() { stat -c %s "$1"; }
mb() { calc "%.1f" "$(size_of "$1") / 1048576"; }

# ---- throughput (Google Benchmark) ---------------------------------------------------------------------
OVN_BENCH_IMAGE="$IMAGE" OVN_BENCH_BEST_OF=15 "$BENCH" --benchmark_format=csv > "$WORK/gbench.csv" 2> "$WORK/gbench.err" \
  || { cat "$WORK/gbench.err" >&2; exit 1; }
# best_cpu_ms NAME: the least CPU time of the single-iteration repetitions of one benchmark, in ms.
best_cpu_ms() {
  awk -F, -v name="\"$1/" 'index($1, name) == 1 && $1 !~ /_(mean|median|stddev|cv)"$/ && $4 != "" {
      if (best == "" || $4 + 0 < best) best = $4 + 0 } END { printf "%.3f", best }' "$WORK/gbench.csv"
}
# rate NAME FILE: bytes per second of the best run of the benchmark over the file.
rate() { calc "%.0f" "$(size_of "$2") / ($(best_cpu_ms "$1") / 1000)"; }

# ---- S-record check beside srec_info --------------------------------------------------------------------
printf 'S00600004844521B\nS9030000FC\n' > "$WORK/tiny.srec"
srec_start=$(cpu_seconds 5 srec_info "$WORK/tiny.srec")
for which in delivered generated; do
  if [ $which = delivered ]; then f=$LARGEST; label="$LARGEST_NAME ($(mb "$f") MB)"; reps=3; else f=$IMAGE; label="64 MB image"; reps=2; fi
  t=$(cpu_seconds $reps srec_info "$f")
  ref=$(calc "%.0f" "$(size_of "$f") / ($t - $srec_start)")
  mem=$(rate "srec_check/$which" "$f")
  file=$(rate "srec_check_file/$which" "$f")
  row "S-record check, $label, bytes in memory" "$(calc '%.0f MB/s' "$mem / 1e6")" \
      "srec_info $(calc '%.0f MB/s' "$ref / 1e6")" ">= 1000 MB/s and >= 10x srec_info" \
      "$(yesno "$mem >= 1e9 && $mem >= 10 * $ref") ($(calc '%.1fx' "$mem / $ref"))"
  row "S-record check, $label, read from its file into a new buffer, then checked" "$(calc '%.0f MB/s' "$file / 1e6")" \
      "srec_info $(calc '%.0f MB/s' "$ref / 1e6")" "- (information)" "- ($(calc '%.1fx' "$file / $ref"))"
done

# ---- file hash beside openssl ---------------------------------------------------------------------------
: > "$WORK/empty"
KEY=ZVUSBPrinterOVN
ossl_start=$(cpu_seconds 10 openssl dgst -sha256 -hmac "$KEY" "$WORK/empty")
for which in delivered generated; do
  if [ $which = delivered ]; then f=$LARGEST; label="$LARGEST_NAME"; else f=$IMAGE; label="64 MB image"; fi
  t=$(cpu_seconds 10 openssl dgst -sha256 -hmac "$KEY" "$f")
  ref=$(calc "%.0f" "$(size_of "$f") / ($t - $ossl_start)")
  ours=$(rate "file_hash/$which" "$f")
  row "File hash (HMAC-SHA256 of the file), $label" "$(calc '%.0f MB/s' "$ours / 1e6")" \
      "openssl dgst $(calc '%.0f MB/s' "$ref / 1e6")" ">= 0.9x openssl" \
      "$(yesno "$ours >= 0.9 * $ref") ($(calc '%.2fx' "$ours / $ref"))"
done
arch=$(awk -F, '$1 ~ /^"archive_check\// { gsub(/"/, "", $1); sub(/\/iterations.*/, "", $1); print $1; exit }' "$WORK/gbench.csv")
if [ -n "$arch" ]; then
  row "Archive check of the largest catalogue row (${arch#archive_check/}: every file hashed)" \
      "$(best_cpu_ms "$arch") ms" "-" "- (the update workflow runs it on the main queue)" "-"
fi

# ---- the frame of a 64 MB image -------------------------------------------------------------------------
frame_ms=$(best_cpu_ms "image_to_frame/generated")
line=$("$TOOL" frame-memory "$IMAGE") || exit 1
row "64 MB image to frame: read, check and pad into one buffer, frame built around it (CPU)" "$frame_ms ms" "-" "-" "-"
row "64 MB frame built in place and written in one transfer by the printer object (wall)" \
    "$(field frame_write_ms "$line") ms" "-" "-" "-"
img=$(field image_bytes "$line")
peak=$(field peak_rss_kib "$line")
base=$(field baseline_rss_kib "$line")
limit_kib=$(calc "%.0f" "(2.2 * $img + 30 * 1048576) / 1024")
row "Peak resident memory, 64 MB image read, framed and written (whole process)" \
    "$(calc '%.1f MB' "$peak / 1024") ($(calc '%.2f' "$peak * 1024 / $img")x image; $(calc '%.1f' "$base / 1024") MB before)" \
    "-" "< 2.2x image + 30 MB = $(calc '%.1f MB' "$limit_kib / 1024")" "$(yesno "$peak < $limit_kib")"

# ---- probes ---------------------------------------------------------------------------------------------
median_of() { sort -n | awk '{ v[NR] = $1 } END { m = int((NR + 1) / 2); print v[m] }'; }
probe_median() {  # N LATENCY_US: median wall time and CPU per probe of 5 runs
  local out
  out=$(for _ in 1 2 3 4 5; do "$TOOL" probe "$1" "$2" || exit 1; done) || return 1
  echo "$(while read -r l; do field wall_ms "$l"; done <<< "$out" | median_of)" \
       "$(while read -r l; do field cpu_per_probe_ms "$l"; done <<< "$out" | median_of)"
}
for lat in 1000 0; do
  read -r t1 c1 <<< "$(probe_median 1 $lat)"
  read -r t8 c8 <<< "$(probe_median 8 $lat)"
  read -r t32 c32 <<< "$(probe_median 32 $lat)"
  if [ $lat -gt 0 ]; then model="printer answers each read after $((lat / 1000)) ms"; goal="32 printers <= 1.5x one printer"; met="$(yesno "$t32 <= 1.5 * $t1") ($(calc '%.2fx' "$t32 / $t1"))";
  else model="printer answers at once (CPU-bound)"; goal="- (information)"; met="- ($(calc '%.2fx' "$t32 / $t1"))"; fi
  row "Probe to last property stored, $model: 1 / 8 / 32 printers" "$t1 / $t8 / $t32 ms" "1 printer: $t1 ms" "$goal" "$met"
  row "CPU per probe, $model: 1 / 8 / 32 printers" "$c1 / $c8 / $c32 ms" "-" "-" "-"
done

# ---- main-queue stalls ----------------------------------------------------------------------------------
line=$("$TOOL" stall "$IMAGE") || exit 1
stall=$(field longest_main_block_ms "$line")
row "Longest main-queue block while a 64 MB image is written (and the printer restarts)" "$stall ms" \
    "write: $(field write_ms "$line") ms" "< 10 ms" "$(yesno "$stall < 10")"
line=$("$TOOL" update) || exit 1
upd=$(field longest_main_block_ms "$line")
row "Longest main-queue block, whole firmware update of an emulated PL45 through the registry" "$upd ms" \
    "update: $(field total_ms "$line") ms" "< 10 ms" "$(yesno "$upd < 10")"

# ---- start-up -------------------------------------------------------------------------------------------
if [ -x "$OVNCTL" ]; then
  t=$(median_ms 11 "$OVNCTL" --simulate PL25D list)
  row "Start-up of \`ovnctl --simulate PL25D list\` to its listing (median of 11)" "$t ms" "-" "< 300 ms" "$(yesno "$t < 300")"
else
  row "Start-up of \`ovnctl list\`" "not measured: $OVNCTL not built" "-" "< 300 ms" "-"
fi
if [ -x "$APP" ] && "$APP" --help 2>&1 | grep -q -- "--quit-after-first-paint"; then
  t=$(QT_QPA_PLATFORM=offscreen median_ms 11 "$APP" --simulate PL25D --quit-after-first-paint)
  row "Start-up of \`ovn-utility\` to its first painted table, offscreen (median of 11)" "$t ms" "-" "< 300 ms" "$(yesno "$t < 300")"
elif [ -x "$APP" ]; then
  row "Start-up of \`ovn-utility\` to its first painted table" "not measured: the program has no --quit-after-first-paint" "-" "< 300 ms" "-"
else
  row "Start-up of \`ovn-utility\` to its first painted table" "not measured: $APP not built" "-" "< 300 ms" "-"
fi

# ---- the table ------------------------------------------------------------------------------------------
echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) memory"
echo "Load average at the start and the end: $LOAD_START / $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Throughput: best single run in CPU time, both sides. Probes, stalls, start-up: wall clock."
echo
echo "| Figure | Measured | Reference (same run) | Goal | Met? |"
echo "|---|---|---|---|---|"
printf '%s\n' "${ROWS[@]}"
