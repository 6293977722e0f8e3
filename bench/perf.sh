#!/bin/sh
# Runs every performance program and prints their tables: the pixel fingerprints of
# the five screens, frame costs, the tick loop with message and key delays, and the
# server's cost. Usage: bench/perf.sh [BUILD_DIR]   (default build-perf, configured
# RelWithDebInfo and built here if needed). Starts its own Xvfb with a screen large
# enough for the 1800 x 1400 window. Prints the machine's load before and after: the
# figures mean little on a busy machine. PERF_CALLGRIND=1 adds an instruction count
# (slow, but the same on a busy machine).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-perf}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target perf_pixels perf_vertices perf_frames perf_tick perf_server >/dev/null
bin=$build/bench

echo "== Machine"
grep -m1 'model name' /proc/cpuinfo | sed 's/.*: /CPU: /'
echo "cores: $(nproc)"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "== Pixel fingerprints against bench/perf_pixels.ref (taken before the frame work, Mesa 22.3.6)"
prints=$(mktemp)
xvfb-run -a -s "-screen 0 1920x1440x24" "$bin/perf_pixels" >"$prints"
if diff "$root/bench/perf_pixels.ref" "$prints" >/dev/null; then
  echo "identical: every screen, model and size draws the same pixels ($(tail -1 "$prints"))"
else
  echo "DIFFERENT (another GL driver gives other fingerprints; else a drawing change):"
  diff "$root/bench/perf_pixels.ref" "$prints" || true
fi
rm -f "$prints"
xvfb-run -a -s "-screen 0 1920x1440x24" "$bin/perf_vertices" || echo "VERTEX CHECK FAILED"
echo
echo "== Frames"
xvfb-run -a -s "-screen 0 1920x1440x24" "$bin/perf_frames" "${PERF_FRAMES:-600}"
echo
echo "== Tick loop"
xvfb-run -a -s "-screen 0 1920x1440x24" "$bin/perf_tick" "${PERF_SECONDS:-10}" "${PERF_ROUNDS:-2}"
echo
xvfb-run -a -s "-screen 0 1920x1440x24" "$bin/perf_tick" "${PERF_SECONDS:-10}" 1 1800
echo
echo "== Server"
"$bin/perf_server" 2>/dev/null | grep -v "^mazecar-server:"
if [ -n "${PERF_CALLGRIND:-}" ]; then
  echo
  echo "== Instructions per frame at 450 x 350 (callgrind, driver threads off, warm-up left out)"
  out=$(mktemp)
  LP_NUM_THREADS=0 xvfb-run -a -s "-screen 0 1920x1440x24" valgrind --tool=callgrind \
    --smc-check=all-non-file --toggle-collect='*counted_frame*' --callgrind-out-file="$out" \
    "$bin/perf_frames" 100 "" 450 >/dev/null 2>&1
  callgrind_annotate "$out" 2>/dev/null | grep -m1 'PROGRAM TOTALS' | sed 's/ PROGRAM TOTALS/ instructions for 100 frames of each of the 11 rows/'
  rm -f "$out"
fi
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
