#!/usr/bin/env bash
# Runs the fuzz targets built by fuzz/build.sh.
#
#   fuzz/run.sh smoke   replay the committed corpus, then fuzz each target
#                       briefly (FUZZ_SECONDS, default 10); for `make test`
#   fuzz/run.sh long    fuzz each target for FUZZ_SECONDS (default 600),
#                       FUZZ_JOBS at a time (default 2)
#   fuzz/run.sh merge   add what the long runs found that covers new code to
#                       the committed corpus (minimised with -merge=1)
#
# Targets default to all six; name some after the mode to pick. New inputs
# go to build/fuzz/corpus/<target>, never to the committed corpus, except by
# `merge`. Crash reproducers go to fuzz/crashes/. Exits non-zero when any
# target crashes, fails a check, leaks, times out or runs out of memory.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=$root/build/fuzz
mode=$(tr "[:upper:]" "[:lower:]" <<<"${1:-smoke}")
shift || true
targets=("$@")
((${#targets[@]})) || targets=(parser heuristics salvage chunks detect split)

case $mode in
    smoke) seconds=${FUZZ_SECONDS:-10} ;;
    long) seconds=${FUZZ_SECONDS:-600} ;;
    merge) ;;
    *) echo "usage: fuzz/run.sh smoke|long|merge [target...]" >&2; exit 2 ;;
esac

for t in "${targets[@]}"; do
    if [[ ! -x $bin/fuzz_$t ]]; then
        echo "fuzz/run.sh: $bin/fuzz_$t missing; run fuzz/build.sh first" >&2
        exit 1
    fi
done
mkdir -p "$root/fuzz/crashes"

# Options shared by every run. Inputs stay small so that each execution is
# quick and the widths the salvage target may infer stay modest.
common=(-max_len=4096 -timeout=25 -rss_limit_mb=2048 -dict="$root/fuzz/csv.dict"
        -print_final_stats=1)

# Fuzzes one target for $seconds; output goes to build/fuzz/log/<target>.log.
fuzz_one() {
    local t=$1 work=$bin/corpus/$1 log=$bin/log/$1.log
    mkdir -p "$work" "$bin/log"
    "$bin/fuzz_$t" "${common[@]}" -max_total_time="$seconds" \
        -artifact_prefix="$root/fuzz/crashes/$t-" "$work" "$root/fuzz/corpus/$t" >"$log" 2>&1
}

report() {
    local t=$1 rc=$2 log=$bin/log/$1.log
    local execs
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    if ((rc == 0)); then
        echo "fuzz $t: ok, ${execs:-?} executions in ${seconds}s"
    else
        echo "fuzz $t: FAILED (exit $rc), see $log" >&2
        grep -E 'ERROR|fuzz check failed|Test unit written|SUMMARY' "$log" | head -20 >&2 || true
    fi
}

status=0
case $mode in
    smoke)
        for t in "${targets[@]}"; do
            # Every committed input first, each run once.
            if ! "$bin/fuzz_$t" -rss_limit_mb=2048 -timeout=25 "$root"/fuzz/corpus/"$t"/* \
                    >"$bin/replay-$t.log" 2>&1; then
                echo "fuzz $t: corpus replay FAILED, see $bin/replay-$t.log" >&2
                status=1
                continue
            fi
            rc=0
            fuzz_one "$t" || rc=$?
            report "$t" "$rc"
            ((rc == 0)) || status=1
        done
        ;;
    long)
        jobs=${FUZZ_JOBS:-2}
        for t in "${targets[@]}"; do
            while (($(jobs -rp | wc -l) >= jobs)); do sleep 1; done
            rm -f "$bin/log/$t.rc"
            (rc=0; fuzz_one "$t" || rc=$?; echo $rc >"$bin/log/$t.rc") &
            echo "fuzz $t: started for ${seconds}s (log build/fuzz/log/$t.log)"
        done
        wait
        for t in "${targets[@]}"; do
            rc=$(cat "$bin/log/$t.rc")
            report "$t" "$rc"
            ((rc == 0)) || status=1
        done
        ;;
    merge)
        for t in "${targets[@]}"; do
            found=$bin/corpus/$t
            [[ -d $found ]] || continue
            # Start from the committed corpus so that its seeds all stay, and
            # let -merge=1 add only the found inputs that reach new edges (hit
            # counts are ignored, or the corpus would grow by hundreds).
            fresh=$bin/merge/$t
            rm -rf "$fresh"
            mkdir -p "$fresh"
            cp "$root/fuzz/corpus/$t"/* "$fresh"/
            before=$(ls "$fresh" | wc -l)
            "$bin/fuzz_$t" -merge=1 -use_counters=0 -max_len=4096 -timeout=25 -rss_limit_mb=2048 \
                "$fresh" "$found" >"$bin/log/merge-$t.log" 2>&1
            added=0
            for f in "$fresh"/*; do
                name=$(basename "$f")
                if [[ ! -e $root/fuzz/corpus/$t/$name ]]; then
                    cp "$f" "$root/fuzz/corpus/$t/$name"
                    added=$((added + 1))
                fi
            done
            echo "fuzz $t: corpus had $before inputs, merge added $added"
        done
        ;;
esac
exit $status
