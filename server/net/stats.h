// The server's figures: refusals and drops by reason, what was sent, and how long and
// how late the steps were. The stats line and the status snapshot read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Why a connection was refused or dropped. Refusals happen before anything is kept
// for the connection.
enum {
    REFUSED_PER_ADDRESS,  // the address holds its share of open connections
    REFUSED_RATE,         // the address opened too many connections lately
    REFUSED_FULL,         // the table is full of players
    REFUSED_GAMES,        // every game is full and no more may be opened
    DROPPED_EVICTED,      // an unfinished check-in made room for a newcomer
    DROPPED_CHECKIN_TIMEOUT,
    DROPPED_NOT_READING,  // its output queue filled
    DROPPED_FLOODING,     // more key frames in a step than a person can make
    DROPPED_BAD_INPUT,    // a bad frame or name
    DROPPED_BAD_PROXY,    // a trusted balancer's connection without a valid PROXY header
    DROPPED_IDLE,         // a player in a lobby pressed no key for --idle-seconds
    REFUSED_VIEWERS,      // --viewers kept games are already being played again
    REASON_COUNT,
};

extern const char *const reason_names[REASON_COUNT];

constexpr long long LATE_STEP_US = 5000;  // a step starting later than this is late
constexpr int STEP_BUCKETS = 10;
constexpr int STEP_WINDOW = 1800;  // steps whose times the percentiles read: the last minute
extern const double step_bucket_bounds[STEP_BUCKETS];  // seconds

struct server_stats {
    uint64_t reasons[REASON_COUNT] = {};
    uint64_t messages_sent = 0, bytes_sent = 0;
    uint64_t connections_accepted = 0;
    uint64_t health_checks = 0;  // a balancer's PROXY header for itself (LOCAL), closed quietly
    uint64_t late_steps = 0;
    uint64_t step_count = 0;
    double step_seconds_sum = 0;
    uint64_t step_buckets[STEP_BUCKETS + 1] = {};
    uint64_t records_written = 0, records_failed = 0;  // games the store kept or lost
    uint64_t replays_cut = 0;     // games kept without their replay, which passed --replay-kb
    uint64_t outbox_dropped = 0;  // game messages lost to a full outbox (never expected)
    uint64_t accept_pauses = 0;   // times accept() failed and the listener rested
    int64_t spool_backlog = -1;   // games waiting in the spool for the shared database; -1: none
    // The fleet (relays -1 without one): players handed over to the process holding their
    // room, players who played their room here for want of an answer, and relays open now.
    uint64_t handed_over = 0, fleet_played_here = 0;
    int relays = -1;
    // Duration and lateness of the last STEP_WINDOW steps, microseconds; a ring.
    int step_us[STEP_WINDOW] = {}, late_us[STEP_WINDOW] = {};

    void note_step(long long duration_us, long long lateness_us);
    // Median and 99th percentile of the last `last` steps' times (at most STEP_WINDOW),
    // in milliseconds.
    void step_percentiles(double *p50, double *p99, uint64_t last = STEP_WINDOW) const;
    // How late the last `last` steps started: 99th percentile, milliseconds.
    double lateness_p99(uint64_t last = STEP_WINDOW) const;
};

// The periodic stats line; counts since the last line become rates over `seconds`.
struct stats_totals {
    int games_lobby, games_playing, players, watchers, connections, checking_in;
};
std::string stats_line(const server_stats &now, const server_stats &before, double seconds,
                       const stats_totals &t, long log_left_out);
