// Step figures and the stats line.
#include "net/stats.h"

#include <algorithm>
#include <array>
#include <cstdio>

const char *const reason_names[REASON_COUNT] = {
    "per_address", "rate",
    "full",        "games",
    "evicted",     "checkin_timeout",
    "not_reading", "flooding",
    "bad_input",   "bad_proxy_header",
    "idle",        "viewers",
};

const double step_bucket_bounds[STEP_BUCKETS] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025,
                                                 0.005,  0.01,    0.025,  0.05,  0.1};

void server_stats::note_step(long long duration_us, long long lateness_us)
{
    double seconds = static_cast<double>(duration_us) / 1e6;
    step_count++;
    step_seconds_sum += seconds;
    int b = 0;
    while (b < STEP_BUCKETS && seconds > step_bucket_bounds[b])
        b++;
    step_buckets[b]++;
    if (lateness_us > LATE_STEP_US)
        late_steps++;
    size_t at = static_cast<size_t>((step_count - 1) % STEP_WINDOW);  // step_count counts this one
    step_us[at] = static_cast<int>(std::min(duration_us, 1000000000LL));
    late_us[at] = static_cast<int>(std::min(lateness_us, 1000000000LL));
}

// The q-quantile of the newest `last` samples of a ring that has seen `seen`, in ms.
static double percentile(const int *ring, uint64_t seen, uint64_t last, double q)
{
    size_t n = static_cast<size_t>(std::min({last, seen, static_cast<uint64_t>(STEP_WINDOW)}));
    if (n == 0)
        return 0;
    std::array<int, STEP_WINDOW> v;
    for (size_t i = 0; i < n; i++)
        v[i] = ring[(seen - 1 - i) % STEP_WINDOW];
    size_t k = static_cast<size_t>(q * static_cast<double>(n - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.begin() + static_cast<long>(n));
    return v[k] / 1000.0;
}

void server_stats::step_percentiles(double *p50, double *p99, uint64_t last) const
{
    *p50 = percentile(step_us, step_count, last, 0.5);
    *p99 = percentile(step_us, step_count, last, 0.99);
}

double server_stats::lateness_p99(uint64_t last) const
{
    return percentile(late_us, step_count, last, 0.99);
}

std::string stats_line(const server_stats &now, const server_stats &before, double seconds,
                       const stats_totals &t, long log_left_out)
{
    if (seconds <= 0)
        seconds = 1;
    char buf[1024];
    int n = snprintf(buf, sizeof buf,
                     "stats: games %d (%d in the lobby, %d playing), players %d, watchers %d, "
                     "connections %d (%d checking in), refused or dropped:",
                     t.games_lobby + t.games_playing, t.games_lobby, t.games_playing, t.players,
                     t.watchers, t.connections, t.checking_in);
    std::string line(buf, static_cast<size_t>(n));
    for (int r = 0; r < REASON_COUNT; r++) {
        snprintf(buf, sizeof buf, " %s %llu", reason_names[r],
                 static_cast<unsigned long long>(now.reasons[r] - before.reasons[r]));
        line += buf;
    }
    snprintf(buf, sizeof buf, ", health checks %llu, accept pauses %llu, outbox overflow %llu",
             static_cast<unsigned long long>(now.health_checks - before.health_checks),
             static_cast<unsigned long long>(now.accept_pauses - before.accept_pauses),
             static_cast<unsigned long long>(now.outbox_dropped - before.outbox_dropped));
    line += buf;
    // The period's own steps, or the last STEP_WINDOW of a longer period.
    uint64_t period_steps = now.step_count - before.step_count;
    double p50 = 0, p99 = 0;
    now.step_percentiles(&p50, &p99, period_steps);
    snprintf(buf, sizeof buf,
             ", sent %.0f msg/s %.1f kB/s, step median %.2f ms p99 %.2f ms, start p99 %.2f ms "
             "late, late steps %llu, "
             "records written %llu failed %llu, replays cut %llu, log lines left out %ld",
             static_cast<double>(now.messages_sent - before.messages_sent) / seconds,
             static_cast<double>(now.bytes_sent - before.bytes_sent) / seconds / 1000.0, p50, p99,
             now.lateness_p99(period_steps),
             static_cast<unsigned long long>(now.late_steps - before.late_steps),
             static_cast<unsigned long long>(now.records_written - before.records_written),
             static_cast<unsigned long long>(now.records_failed - before.records_failed),
             static_cast<unsigned long long>(now.replays_cut - before.replays_cut), log_left_out);
    line += buf;
    if (now.relays >= 0) {
        snprintf(buf, sizeof buf,
                 ", handed over %llu, played here for want of an answer %llu, relays %d",
                 static_cast<unsigned long long>(now.handed_over - before.handed_over),
                 static_cast<unsigned long long>(now.fleet_played_here - before.fleet_played_here),
                 now.relays);
        line += buf;
    }
    if (now.spool_backlog >= 0) {
        snprintf(buf, sizeof buf, ", spool backlog %lld",
                 static_cast<long long>(now.spool_backlog));
        line += buf;
    }
    return line;
}
