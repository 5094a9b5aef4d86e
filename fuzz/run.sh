#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and fuzzes one target or all of them.
#
#   bash fuzz/run.sh <target|all> <seconds per target>
#
# <target> is the name of a harness fuzz/<target>_fuzz.cpp. Each target starts from its seeds in
# fuzz/corpus/<target>/ (read only); new corpus items go to a scratch folder outside the
# repository, $TARNWICK_FUZZ_WORK/<target> (default ${TMPDIR:-/tmp}/tarnwick-fuzz/<target>),
# which is kept between runs so that the corpus keeps growing. Crashes, leaks, timeouts and
# out-of-memory inputs are written to fuzz/crashers/<target>/; once the fault is fixed, keep
# the file there: the test suite replays every file in that folder. A libFuzzer dictionary
# fuzz/dict/<target>.dict is passed when present.
#
# Extra libFuzzer flags can be passed in TARNWICK_FUZZ_FLAGS (e.g. "-jobs=1 -workers=1").
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
    echo "usage: bash fuzz/run.sh <target|all> <seconds>" >&2
    echo "targets: $(targets | tr '\n' ' ')" >&2
    exit 2
}
targets() {
    for f in fuzz/*_fuzz.cpp; do
        [ -e "$f" ] || continue
        f=${f#fuzz/}
        echo "${f%_fuzz.cpp}"
    done
}

# The longest input worth trying, per target: enough for the headers and a few rows or
# codes of a small image, small enough to keep executions fast.
max_len() {
    case "$1" in
        detect) echo 8192 ;;      # DCX offset tables reach 4 KiB
        giflzw) echo 16384 ;;    # 4 control bytes, then the LZW data of up to 256 x 256 pixels
        paramsfile) echo 16384 ;; # parameters file
        load) echo 65536 ;;       # any format, through content detection
        save) echo 16384 ;;       # every writer runs on what is decoded: keep images small
        gif) echo 16384 ;;
        bmp | pcx | tga | ico | pnm | wbmp) echo 16384 ;;
        png | jpeg | tiff | psd | jp2 | dicom) echo 65536 ;;
        *) echo 16384 ;;
    esac
}

[ $# -eq 2 ] || usage
what=$1
secs=$2
[[ "$secs" =~ ^[1-9][0-9]*$ ]] || usage
if [ "$what" = all ]; then
    mapfile -t list < <(targets)
else
    [ -f "fuzz/${what}_fuzz.cpp" ] || { echo "no harness fuzz/${what}_fuzz.cpp" >&2; usage; }
    list=("$what")
fi
[ ${#list[@]} -gt 0 ] || { echo "no harnesses in fuzz/" >&2; exit 2; }

# The build's own packages, then clang with its libFuzzer runtime.
bash scripts/deps.sh || exit 1
missing=()
for p in clang libclang-rt-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" || exit 1
fi

work=${TARNWICK_FUZZ_WORK:-${TMPDIR:-/tmp}/tarnwick-fuzz}
mkdir -p "$work"
echo "== building the fuzz tree (clang, ASan+UBSan, libFuzzer) in build-fuzz, log $work/build.log"
if ! bash scripts/build.sh build-fuzz \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON -DTARNWICK_TESTS=OFF >"$work/build.log" 2>&1; then
    tail -40 "$work/build.log"
    exit 1
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

results=()
failed=0
for t in "${list[@]}"; do
    exe=build-fuzz/fuzz/${t}_fuzz
    scratch=$work/$t
    crashers=$root/fuzz/crashers/$t
    mkdir -p "$scratch" "$crashers"
    log=$work/$t.log
    seeds=()
    [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
    dict=()
    [ -f "fuzz/dict/$t.dict" ] && dict=("-dict=fuzz/dict/$t.dict")
    before=$(find "$crashers" -type f | wc -l)

    echo "== fuzzing $t for ${secs}s (max_len $(max_len "$t")), log $log"
    # New corpus items go into the first folder (scratch); seeds and kept crashers are only read.
    start=$SECONDS
    # shellcheck disable=SC2086
    "$exe" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=20 \
        -max_len="$(max_len "$t")" -print_final_stats=1 -artifact_prefix="$crashers/" \
        "${dict[@]}" ${TARNWICK_FUZZ_FLAGS:-} "$scratch" "${seeds[@]}" "$crashers" >"$log" 2>&1
    rc=$?
    took=$((SECONDS - start))

    execs=$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
    after=$(find "$crashers" -type f | wc -l)
    corpus=$(find "$scratch" -type f | wc -l)
    if [ $rc -eq 0 ]; then
        status=ok
    else
        status="FAILED (exit $rc)"
        failed=1
        echo "-- $t failed:"
        # The first report with the top of its stack, then the summary and where the input went.
        awk '!shown && /ERROR|runtime error|deadly signal|out-of-memory|timeout after|malloc\(/ {shown=1; n=14}
             n > 0 {print; n--; next}
             /^SUMMARY|Test unit written/ {print}' "$log"
        echo "-- replay it with: $exe <file>, or in the test build: ctest -R replay_$t"
    fi
    results+=("$(printf '%-12s %-18s %12s %8s %10s %9s' "$t" "$status" "${execs:-?}" "$took" \
        "$corpus" "$((after - before))")")
done

echo
printf '%-12s %-18s %12s %8s %10s %9s\n' target status executions seconds corpus crashers
for r in "${results[@]}"; do echo "$r"; done
echo
echo "new corpus items: $work/<target>/   crashers: fuzz/crashers/<target>/"
exit $failed
