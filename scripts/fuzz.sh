#!/usr/bin/env bash
# Fuzzes every decoder that reads the network or the disk. Builds the libFuzzer targets of fuzz/
# with clang (in build/fuzz, with AddressSanitizer and UndefinedBehaviorSanitizer) and runs each
# for a bounded time, a few at once. Not part of .ci/run; run it by hand after changing a decoder.
#
#   scripts/fuzz.sh [-t SECONDS] [-j JOBS] [-m] [TARGET...]
#     -t  time per target (default 300)
#     -j  targets run at once (default 3)
#     -m  afterwards, merge what the runs found into the committed corpus fuzz/corpus/TARGET
#     TARGET  records, peer_frames, ... (default: every fuzz/fuzz_*.cpp)
#
# A dictionary fuzz/TARGET.dict, where there is one, gives libFuzzer the names a decoder looks
# for. New inputs go to build/fuzz/work/TARGET, logs to build/fuzz/logs/TARGET.log. An input that
# crashes, leaks, hangs past a second or allocates past the limit is saved under
# build/fuzz/artifacts/TARGET/ and makes the script fail: fix the fault, then commit the input to
# fuzz/regressions/TARGET/ so that the CTest replay keeps it fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=300
jobs=3
merge=0
while getopts "t:j:m" opt; do
    case $opt in
    t) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    m) merge=1 ;;
    *) sed -n '2,16p' "$0" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for src in fuzz/fuzz_*.cpp; do
        name=$(basename "$src" .cpp)
        targets+=("${name#fuzz_}")
    done
fi

# Largest single allocation libFuzzer lets an input make, in MiB: a little above the largest cap
# a target's decoders enforce (the targets check their caps exactly themselves).
malloc_limit() {
    case $1 in
    server_messages) echo 80 ;;
    *) echo 32 ;;
    esac
}

if ! command -v clang++ >/dev/null; then
    echo "clang++ is needed: apt-get install clang" >&2
    exit 1
fi

build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQV_FUZZ=ON \
    -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/logs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen
# The targets never need the real home folder; keep whatever they might write out of it.
export HOME="$PWD/$build/home"
mkdir -p "$HOME"

run_one() {
    local t=$1
    local work="$build/work/$t" artifacts="$build/artifacts/$t"
    mkdir -p "$work" "$artifacts"
    local dirs=("$work" "fuzz/corpus/$t")
    [ -d "fuzz/regressions/$t" ] && dirs+=("fuzz/regressions/$t")
    local dict=()
    [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
    # -max_len keeps mutations small and quick; the committed large boundary inputs are still
    # run whole at start-up and by the replay tests.
    if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 \
        -malloc_limit_mb="$(malloc_limit "$t")" -max_len=16384 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "${dict[@]}" "${dirs[@]}" >"$build/logs/$t.log" 2>&1; then
        echo "ok $t"
    else
        echo "FAILED $t"
    fi
}

results=$(mktemp)
trap 'rm -f "$results"' EXIT
for t in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n || true
    done
    run_one "$t" >>"$results" &
done
wait

status=0
printf '%-18s %8s %8s %8s %8s  %s\n' target exec/s cov ft runs result
for t in "${targets[@]}"; do
    log="$build/logs/$t.log"
    result=$(grep -E "^(ok|FAILED) $t\$" "$results" | cut -d' ' -f1)
    last=$(grep -E "^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)" "$log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    eps=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    printf '%-18s %8s %8s %8s %8s  %s\n' "$t" "${eps:--}" "${cov:--}" "${ft:--}" "${runs:--}" \
        "$result"
    if [ "$result" != ok ]; then
        status=1
        grep -E "ERROR|SUMMARY|fuzz check failed|above the cap|Test unit written" "$log" | head -5
    fi
done

if [ "$merge" = 1 ] && [ "$status" = 0 ]; then
    for t in "${targets[@]}"; do
        "$build/fuzz/fuzz_$t" -merge=1 -max_len=16384 "fuzz/corpus/$t" "$build/work/$t" \
            >>"$build/logs/$t.merge.log" 2>&1
        echo "merged into fuzz/corpus/$t: $(ls "fuzz/corpus/$t" | wc -l) inputs"
    done
fi
exit $status
