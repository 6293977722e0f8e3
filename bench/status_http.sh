#!/bin/sh
# The status page's cost per request: status_page_fixture serves the test snapshot (two
# games, a hall of fame) and wrk asks one path over 4 kept-alive connections (the limit
# for one address) for SECONDS; prints the requests a second, wrk's mean latency and the
# fixture's CPU time (user + system) per request.
#
#   bench/status_http.sh BUILD [SECONDS] [PATH...]      (needs wrk)
set -eu
build=$1
seconds=${2:-10}
shift
if [ $# -gt 0 ]; then shift; fi
[ $# -gt 0 ] || set -- /api/status /metrics /
fixture="$build/tests/server/status_page_fixture"
hz=$(getconf CLK_TCK)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for path in "$@"; do
    mkfifo "$work/in"
    "$fixture" <"$work/in" >"$work/out" &
    fixture_pid=$!
    exec 3>"$work/in"
    tries=0
    until grep -q listening "$work/out"; do
        tries=$((tries + 1))
        [ "$tries" -lt 100 ] || { echo "the fixture did not start" >&2; exit 1; }
        sleep 0.1
    done
    port=$(awk '/listening/{print $2}' "$work/out")
    before=$(awk '{print $14 + $15}' "/proc/$fixture_pid/stat")
    wrk -t1 -c4 -d"${seconds}s" "http://127.0.0.1:$port$path" >"$work/wrk"
    after=$(awk '{print $14 + $15}' "/proc/$fixture_pid/stat")
    exec 3>&-
    wait "$fixture_pid"
    rm -f "$work/in"
    awk -v path="$path" -v ticks=$((after - before)) -v hz="$hz" '
        /requests in/ { requests = $1 }
        /Requests\/sec/ { rate = $2 }
        /Latency/ { latency = $2 }
        END { printf "%-12s %9.0f requests/s, mean latency %s, CPU %.0f us a request\n",
                     path, rate, latency, ticks * 1e6 / hz / requests }' "$work/wrk"
done
