#!/usr/bin/env bash
# Measures what the tests catch: puts small faults into the core one at a time (a changed constant, a dropped
# call, a swapped branch, an off-by-one), rebuilds, runs the whole test suite and tells for every fault whether
# a test failed ("caught") or not ("SURVIVED"). The faults are listed in scripts/mutations.txt; each one is an
# exact text replacement that must match exactly once in its file. A fault whose text is no longer found is
# reported as "stale" and counted neither way. The source file is always restored, also on Ctrl-C.
#
#   scripts/mutation.sh [--tree DIR] [--build DIR] [--only ID,...] [--list] [--survivors FILE]
#                       [--timeout SECONDS] [--no-baseline] [--no-werror]
#
#   --tree DIR        the source tree the faults go into (default: the tree this script is in)
#   --build DIR       the build directory (default: DIR/build/mutation; configured without the GUI)
#   --only ID,...     only these faults
#   --list            print the faults and whether their text is found, and stop
#   --survivors FILE  append every surviving fault to FILE as soon as it is known
#   --timeout SECONDS the longest a single test may take (default 300; a test that hangs fails)
#   --no-baseline     skip the run of the unchanged tree (it must pass for the figures to mean anything)
#   --no-werror       build without warnings as errors (for a branch whose tests still warn; the faults
#                     themselves are checked to compile cleanly with warnings as errors)
#
# Exit status: 0 when the run completed (whatever the figures), 1 on bad use, 2 when the unchanged tree does not
# build or its tests fail.
set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
LIST="$SCRIPT_DIR/mutations.txt"
TREE=$(cd "$SCRIPT_DIR/.." && pwd)
BUILD=""
ONLY=""
LIST_ONLY=0
SURVIVORS=""
TEST_TIMEOUT=300
BASELINE=1
WERROR=ON
JOBS=${JOBS:-2}

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; }

while [ $# -gt 0 ]; do
    case "$1" in
        --tree) TREE=$(cd "${2:?--tree needs a directory}" && pwd); shift 2 ;;
        --build) BUILD="${2:?--build needs a directory}"; shift 2 ;;
        --only) ONLY="${2:?--only needs fault IDs}"; shift 2 ;;
        --list) LIST_ONLY=1; shift ;;
        --survivors) SURVIVORS="${2:?--survivors needs a file}"; shift 2 ;;
        --timeout) TEST_TIMEOUT="${2:?--timeout needs seconds}"; shift 2 ;;
        --no-baseline) BASELINE=0; shift ;;
        --no-werror) WERROR=OFF; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "mutation.sh: unknown option $1" >&2; usage >&2; exit 1 ;;
    esac
done
[ -n "$BUILD" ] || BUILD="$TREE/build/mutation"
mkdir -p "$BUILD"
BUILD=$(cd "$BUILD" && pwd)
LOGS="$BUILD/mutation-logs"
[ -f "$LIST" ] || { echo "mutation.sh: no fault list at $LIST" >&2; exit 1; }
[ -f "$TREE/CMakeLists.txt" ] || { echo "mutation.sh: $TREE is not a source tree" >&2; exit 1; }

# ---------------------------------------------------------------------------------------------------------
# The fault list: blocks of "key: value" lines (id, file, from, to, what), separated by blank lines; '#' starts
# a comment line. In from/to, \n stands for a line break, \t for a tab and \\ for a backslash.

IDS=(); FILES=(); FROMS=(); TOS=(); WHATS=()
parse_list() {
    local id="" file="" from="" to="" what="" have_to=0 line key value n=0
    flush() {
        if [ -n "$id$file$from$what" ]; then
            if [ -z "$id" ] || [ -z "$file" ] || [ -z "$from" ] || [ "$have_to" = 0 ] || [ -z "$what" ]; then
                echo "mutation.sh: $LIST: incomplete fault block ending at line $n (id '$id')" >&2
                exit 1
            fi
            local known
            for known in "${IDS[@]}"; do
                [ "$known" != "$id" ] || { echo "mutation.sh: $LIST: fault id '$id' twice" >&2; exit 1; }
            done
            IDS+=("$id"); FILES+=("$file"); FROMS+=("$from"); TOS+=("$to"); WHATS+=("$what")
        fi
        id=""; file=""; from=""; to=""; what=""; have_to=0
    }
    while IFS= read -r line || [ -n "$line" ]; do
        n=$((n + 1))
        case "$line" in
            '#'*) continue ;;
            '') flush; continue ;;
        esac
        key=${line%%:*}
        value=${line#*:}
        value=${value# }
        case "$key" in
            id) id=$value ;;
            file) file=$value ;;
            from) from=$value ;;
            to) to=$value; have_to=1 ;;
            what) what=$value ;;
            *) echo "mutation.sh: $LIST:$n: unknown key '$key'" >&2; exit 1 ;;
        esac
    done < "$LIST"
    flush
}
parse_list

# Replaces the fault's text in its file: exit 0 when done, 3 when the text is not there, 4 when it is there more
# than once. With --check, only tells.
apply_fault() {  # apply_fault [--check] FILE FROM TO
    local check=0
    if [ "$1" = "--check" ]; then check=1; shift; fi
    CHECK=$check FROM="$2" TO="$3" perl -e '
        sub unescape { my $s = shift; $s =~ s/\\(n|t|\\)/$1 eq "n" ? "\n" : $1 eq "t" ? "\t" : "\\"/ge; return $s; }
        my $file = $ARGV[0];
        my $from = unescape($ENV{FROM});
        my $to = unescape($ENV{TO});
        open(my $in, "<", $file) or exit 3;
        binmode $in; local $/; my $text = <$in>; close $in;
        my $at = index($text, $from);
        exit 3 if $at < 0;
        exit 4 if index($text, $from, $at + 1) >= 0;
        exit 0 if $ENV{CHECK};
        substr($text, $at, length($from)) = $to;
        open(my $out, ">", $file) or exit 5;
        binmode $out; print $out $text; close $out or exit 5;
        exit 0;
    ' "$1"
}

selected() {  # selected ID: whether --only names it (or there is no --only)
    [ -z "$ONLY" ] && return 0
    case ",$ONLY," in *",$1,"*) return 0 ;; esac
    return 1
}

if [ -n "$ONLY" ]; then
    IFS=, read -r -a wanted <<< "$ONLY"
    for w in "${wanted[@]}"; do
        found=0
        for id in "${IDS[@]}"; do [ "$id" != "$w" ] || found=1; done
        [ "$found" = 1 ] || { echo "mutation.sh: no fault with id '$w'" >&2; exit 1; }
    done
fi

if [ "$LIST_ONLY" = 1 ]; then
    for i in "${!IDS[@]}"; do
        selected "${IDS[$i]}" || continue
        state="ok"
        if [ ! -f "$TREE/${FILES[$i]}" ]; then
            state="stale (no file)"
        else
            rc=0; apply_fault --check "$TREE/${FILES[$i]}" "${FROMS[$i]}" "${TOS[$i]}" || rc=$?
            case $rc in 0) ;; 3) state="stale (text not found)" ;; 4) state="stale (text found more than once)" ;; *) state="stale" ;; esac
        fi
        printf '%-28s %-46s %s\n    %s\n' "${IDS[$i]}" "${FILES[$i]}" "$state" "${WHATS[$i]}"
    done
    exit 0
fi

# ---------------------------------------------------------------------------------------------------------
# Restoring: the file under a fault is copied back whatever happens. The copy gets a new time stamp, so that
# the next build compiles the original again (ccache answers it from the cache).

CURRENT_FILE=""
BACKUP=$(mktemp "${TMPDIR:-/tmp}/mutation-backup.XXXXXX")
restore() {
    if [ -n "$CURRENT_FILE" ]; then
        cat "$BACKUP" > "$CURRENT_FILE"
        touch "$CURRENT_FILE"
        CURRENT_FILE=""
    fi
}
on_exit() { restore; rm -f "$BACKUP"; }
total=0; caught=0; survived=(); stale=(); broken=(); n=0; count=0
summary() {  # the figures so far
    local pct="0.0" i
    echo
    [ "$total" -eq 0 ] || pct=$(awk -v c="$caught" -v t="$total" 'BEGIN { printf "%.1f", 100 * c / t }')
    echo "$caught of $total faults caught ($pct%)"
    if [ ${#survived[@]} -gt 0 ]; then
        echo "survivors:"
        for i in "${survived[@]}"; do echo "  ${IDS[$i]}  ${FILES[$i]}: ${WHATS[$i]}"; done
    fi
    [ ${#stale[@]} -eq 0 ] || echo "stale (text not found, not counted): ${stale[*]}"
    [ ${#broken[@]} -eq 0 ] || echo "not building (not counted): ${broken[*]}"
    echo "finished: $(date -u '+%Y-%m-%d %H:%M:%S UTC'), $(( ($(date +%s) - RUN_START) / 60 )) min"
}
on_signal() {
    echo
    echo "mutation.sh: interrupted during fault $n of $count; $(basename "${CURRENT_FILE:-nothing}") restored" >&2
    on_exit
    trap - EXIT
    [ "$n" -eq 0 ] || { echo "(partial: the interrupted fault is not counted)"; summary; }
    exit 130
}
trap on_exit EXIT
trap on_signal INT TERM HUP

# ---------------------------------------------------------------------------------------------------------
# Building and testing

export CCACHE_BASEDIR="$TREE"   # the same sources in another worktree hit the same cache entries
export CCACHE_NOHASHDIR=1
LAUNCHER=()
if command -v ccache >/dev/null 2>&1; then
    LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
GENERATOR=()
if command -v ninja >/dev/null 2>&1; then GENERATOR=(-G Ninja); fi
LINKER=()  # most of a rebuild is linking the test programs: gold does that faster
if command -v ld.gold >/dev/null 2>&1; then LINKER=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold); fi

configure() {
    nice -n 10 cmake -S "$TREE" -B "$BUILD" "${GENERATOR[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVN_WERROR="$WERROR" \
        -DOVN_BUILD_GUI=OFF -DOVN_BUILD_TESTS=ON "${LAUNCHER[@]}" "${LINKER[@]}" > "$LOGS/configure.log" 2>&1
}
build() {  # build LOG
    nice -n 10 cmake --build "$BUILD" -j "$JOBS" > "$1" 2>&1
}
run_tests() {  # run_tests LOG: 0 when every test passed
    (cd "$BUILD" && OVN_RESOURCE_DIR="$BUILD/resources" QT_QPA_PLATFORM=offscreen \
        nice -n 10 ctest -j "$JOBS" --stop-on-failure --timeout "$TEST_TIMEOUT" --output-on-failure) > "$1" 2>&1
}
first_failure() {  # first_failure LOG: the name of the first failed test
    { grep -E '^\s*[0-9]+ - .* \((Failed|Timeout|SEGFAULT|Subprocess aborted|Child aborted|Exception|Not Run)' "$1" ||
      grep -E '\*\*\*(Failed|Timeout|Exception)' "$1" || true; } | head -1 |
        sed -E 's/^\s*[0-9]+ - //; s/^.*Test +#[0-9]+: //; s/ \.+.*$//; s/ +/ /g'
}
seconds_since() { echo $(( $(date +%s) - $1 )); }

mkdir -p "$LOGS"
echo "tree:  $TREE"
echo "build: $BUILD"
echo "faults: $LIST"
echo "started: $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
RUN_START=$(date +%s)

if ! configure; then
    echo "the build directory could not be configured: see $LOGS/configure.log" >&2
    exit 2
fi
t0=$(date +%s)
if ! build "$LOGS/baseline-build.log"; then
    echo "the unchanged tree does not build: see $LOGS/baseline-build.log" >&2
    tail -20 "$LOGS/baseline-build.log" >&2
    exit 2
fi
echo "baseline build: $(seconds_since "$t0") s"
if [ "$BASELINE" = 1 ]; then
    t0=$(date +%s)
    if ! run_tests "$LOGS/baseline-tests.log"; then
        echo "the tests fail on the unchanged tree (first: $(first_failure "$LOGS/baseline-tests.log")):" \
             "see $LOGS/baseline-tests.log" >&2
        exit 2
    fi
    echo "baseline tests: $(grep -Eo '[0-9]+ tests? passed|tests passed, [0-9]+ tests failed out of [0-9]+' \
        "$LOGS/baseline-tests.log" | tail -1), $(seconds_since "$t0") s"
fi

# ---------------------------------------------------------------------------------------------------------
# The faults

for i in "${!IDS[@]}"; do selected "${IDS[$i]}" && count=$((count + 1)); done
for i in "${!IDS[@]}"; do
    id=${IDS[$i]}
    selected "$id" || continue
    n=$((n + 1))
    file="$TREE/${FILES[$i]}"
    label=$(printf '[%2d/%d] %-28s' "$n" "$count" "$id")
    if [ ! -f "$file" ]; then
        echo "$label stale (no file ${FILES[$i]})"; stale+=("$id"); continue
    fi
    rc=0; apply_fault --check "$file" "${FROMS[$i]}" "${TOS[$i]}" || rc=$?
    if [ "$rc" != 0 ]; then
        [ "$rc" = 4 ] && why="text found more than once" || why="text not found"
        echo "$label stale ($why in ${FILES[$i]})"; stale+=("$id"); continue
    fi

    t0=$(date +%s)
    cp "$file" "$BACKUP"
    CURRENT_FILE=$file
    apply_fault "$file" "${FROMS[$i]}" "${TOS[$i]}"
    if ! build "$LOGS/$id-build.log"; then
        restore
        echo "$label DOES NOT BUILD (a defect of the list: see $LOGS/$id-build.log)"
        broken+=("$id"); continue
    fi
    built=$(seconds_since "$t0")
    if run_tests "$LOGS/$id-tests.log"; then
        restore
        total=$((total + 1))
        echo "$label SURVIVED   (build $built s, all $(seconds_since "$t0") s)  ${FILES[$i]}: ${WHATS[$i]}"
        survived+=("$i")
        if [ -n "$SURVIVORS" ]; then
            printf '%s\t%s\t%s\n' "$id" "${FILES[$i]}" "${WHATS[$i]}" >> "$SURVIVORS"
        fi
    else
        restore
        total=$((total + 1))
        caught=$((caught + 1))
        echo "$label caught     (build $built s, all $(seconds_since "$t0") s)  by $(first_failure "$LOGS/$id-tests.log")"
    fi
done

# The restored tree is built once more, so that the build directory matches the sources again.
build "$LOGS/final-build.log" || echo "warning: the restored tree did not build: see $LOGS/final-build.log" >&2

summary
