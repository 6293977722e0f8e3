#!/bin/sh
# Capacity and hostile-load figures of mazecar-server with mazecar-bots on this machine.
# Runs in a network namespace of its own (root), so 127.0.0.1:5555 is its own and no
# traffic leaves loopback.
#
#   bench/capacity.sh BUILD PLAYERS SECONDS [hostile|churn|squat] [stalled] [-- server options]
#
# PLAYERS bots play in games of 4 places with 3 enemies; with "hostile", 4 games of
# bots play while 2,000 idle connections from 200 addresses, 100 slow names, 50
# garbage senders and one address reconnecting as fast as it can are added, and a
# probe checks in once a second. With "churn", waves of 100 more bots play for 6 s and
# leave, so that games under way end all the time (each is kept by the records store,
# when there is one, as abandoned). With "squat", from the 5th second 2,000 connections
# from 250 addresses check in and never press a key (each coming back a second after it
# is closed), and a probe checks in once a second. With "stalled", the server's standard
# output is a pipe that nobody reads. Prints the server's CPU, the share of the run its
# loop thread ran and waited for a core, the load, the server's peak memory and its
# stats lines (not when stalled), then the bots' report.
set -eu
if [ "${MAZECAR_CAPACITY_NETNS:-}" != 1 ]; then
    MAZECAR_CAPACITY_NETNS=1 exec unshare -n "$0" "$@"
fi
ip link set lo up

build=$1 players=$2 seconds=$3
shift 3
hostile=no churn=no squat=no
if [ "${1:-}" = hostile ]; then hostile=yes; shift; fi
if [ "${1:-}" = churn ]; then churn=yes; shift; fi
if [ "${1:-}" = squat ]; then squat=yes; shift; fi
stalled=no
if [ "${1:-}" = stalled ]; then stalled=yes; shift; fi
[ "${1:-}" = -- ] && shift

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log="$work/server.log"
if [ "$stalled" = yes ]; then
    log="$work/log.pipe"
    mkfifo "$log"
    # shellcheck disable=SC2217 # sleep holds the pipe open and never reads it
    sleep $((seconds + 60)) <"$log" &
    holder=$!
    trap 'kill "$holder"; rm -rf "$work"' EXIT
fi
"$build/server/mazecar-server" --slots 4 --enemies 3 --lobby-seconds 2 --seed 1 \
    --stats-seconds 5 --db none "$@" >"$log" 2>&1 &
server=$!
tries=0
# Listening: port 5555 (15B3) in state 0A.
until grep -q ":15B3 00000000:0000 0A" /proc/net/tcp /proc/net/tcp6; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || { cat "$log"; exit 1; }
    sleep 0.1
done
ticks() { awk '{print $14 + $15}' "/proc/$server/stat"; }
# The loop's thread: nanoseconds on a core and waiting in the run queue for one.
sched() { cat "/proc/$server/schedstat"; }
hz=$(getconf CLK_TCK)
t0=$(ticks)
s0=$(sched)
start=$(date +%s.%N)

bots="$build/tools/mazecar-bots"
if [ "$hostile" = yes ]; then
    # The hostile crowd in a process of its own, so its flood costs the bots nothing.
    "$bots" --clients 0 --seconds "$seconds" --idle 2000 --hostile-sources 200 \
        --slow-name 100 --garbage 50 --hostile-reconnect --flood-address 127.3.0.1 --probe \
        --hostile-delay 5 \
        --json >"$work/hostile.out" 2>&1 &
    crowd=$!
    "$bots" --clients "$players" --seconds "$seconds" --json >"$work/bots.out" 2>&1
    wait "$crowd" || true
elif [ "$squat" = yes ]; then
    "$bots" --clients 0 --seconds "$seconds" --squat 2000 --hostile-sources 250 \
        --hostile-reconnect --probe --hostile-delay 5 --json >"$work/hostile.out" 2>&1 &
    crowd=$!
    "$bots" --clients "$players" --seconds "$seconds" --json >"$work/bots.out" 2>&1
    wait "$crowd" || true
else
    if [ "$churn" = yes ]; then
        (
            waves=$((seconds / 7))
            while [ "$waves" -gt 0 ]; do
                "$bots" --clients 100 --seconds 6 --source-base 127.4.0.10 >/dev/null 2>&1
                waves=$((waves - 1))
            done
        ) &
        churner=$!
    fi
    "$bots" --clients "$players" --seconds "$seconds" --ramp 400 --json >"$work/bots.out" 2>&1
    [ "$churn" = yes ] && wait "$churner"
fi

t1=$(ticks)
s1=$(sched)
end=$(date +%s.%N)
awk -v a="$t0" -v b="$t1" -v hz="$hz" -v s="$start" -v e="$end" \
    'BEGIN { printf "server CPU: %.1f %% of one core over %.1f s\n", (b - a) / hz / (e - s) * 100, e - s }'
echo "$s0 $s1" | awk -v s="$start" -v e="$end" '{ w = e - s
    printf "server loop thread: on a core %.1f %%, waiting for one %.1f %% of the run\n", ($4 - $1) / 1e7 / w, ($5 - $2) / 1e7 / w }'
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
grep VmHWM "/proc/$server/status"
kill -TERM "$server"
tries=0
while kill -0 "$server" 2>/dev/null && [ "$tries" -lt 100 ]; do
    tries=$((tries + 1))
    sleep 0.1
done
if kill -0 "$server" 2>/dev/null; then
    echo "server still running 10 s after SIGTERM: killed"
    kill -KILL "$server"
fi
rc=0
wait "$server" || rc=$?
echo "server exit status $rc"
[ "$stalled" = yes ] || grep "stats:" "$log" | sed 's/^mazecar-server: //'
cat "$work/bots.out"
[ "$hostile" = yes ] || [ "$squat" = yes ] && cat "$work/hostile.out"
exit 0
