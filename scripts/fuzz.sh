#!/bin/sh
# Builds the fuzz preset and runs every libFuzzer target for a bounded time.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
# Each target starts from its checked-in seeds (fuzz/corpus/<target>) and the corpus
# earlier runs grew in build-fuzz/corpus/<target>. Fails if any target finds a
# crash, a hang or a broken invariant; the input is left in build-fuzz/artifacts/.
# Add it to fuzz/regressions/<target>/ so CTest replays it from then on.
set -eu

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
targets="client_stream layout server_input"

cmake --preset fuzz -S "$root" >/dev/null
for t in $targets; do
    cmake --build "$build" --target "${t}_fuzz" -j2 >/dev/null
done

failed=""
mkdir -p "$build/artifacts"
for t in $targets; do
    mkdir -p "$build/corpus/$t"
    echo "== $t: ${seconds} s"
    # All three are noisy on purpose (diagnostics, server log lines): both streams
    # are closed; libFuzzer still prints its own lines and any crash report.
    if "$build/fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout=20 -close_fd_mask=3 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
        "$build/corpus/$t" "$root/fuzz/corpus/$t" >"$build/artifacts/$t.log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+DONE' "$build/artifacts/$t.log" || true
        grep -E '^stat::number_of_executed_units' "$build/artifacts/$t.log" || true
    else
        failed="$failed $t"
        tail -n 40 "$build/artifacts/$t.log"
        ls "$build/artifacts/$t-"* 2>/dev/null || true
    fi
done

if [ -n "$failed" ]; then
    echo "fuzzing found faults in:$failed" >&2
    exit 1
fi
echo "fuzzing: no faults in ${seconds} s per target"
