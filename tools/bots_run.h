// One run of the load tool: every connection in one epoll loop on one thread, bounded
// by the run's seconds, and the figures it gathers for the report.
#pragma once

#include <string>
#include <vector>

#include "bots_options.h"
#include "wire.h"

enum {
    KIND_PLAYER,
    KIND_IDLE,
    KIND_SLOW,
    KIND_GARBAGE,
    KIND_FLOOD,
    KIND_PROBE,
    KIND_SQUAT,
    KIND_COUNT
};

extern const char *const kind_names[KIND_COUNT];

// What one playing bot saw.
struct bot_figures {
    std::string name;
    std::string source;  // the address it connected from
    bool connected = false;
    bool connect_failed = false;
    bool told_full = false;  // the greeting said the places are taken or the server is full
    bool refused = false;    // closed by the server before its check-in finished
    bool checked_in = false;
    bool reached_play = false;  // its own car was on the field after a start
    bool lost = false;          // closed by the server after its check-in
    bool quit = false;          // the server said it is stopping
    double checkin_ms = 0;      // connect() to the end of the check-in
    long tags[TAG_COUNT] = {};
    double checked_in_s = 0;  // from the check-in to the end of the run or the loss
    long pos_in_play = 0;     // car-position messages while in play
    double play_s = 0;
    double max_gap_ms = 0;  // longest wait for a car-position message while in play
    long protocol_errors = 0;
    std::string first_error;
};

// What the connections of one kind met.
struct mode_figures {
    long started = 0;
    long connected = 0;
    long connect_failed = 0;  // refused, reset or timed out before the connection stood
    long greeted = 0;         // the whole greeting arrived
    long closed_by_server = 0;
    long closed_before_greeting = 0;
    long open_at_end = 0;
    std::vector<double> open_s;  // how long each connection the server closed had stood
};

struct run_figures {
    double seconds = 0;  // length of the run as measured
    int fd_limit = 0;
    double cpu_s = 0;        // the tool's own processor time, user and system
    double max_busy_ms = 0;  // longest stretch of the tool's loop between two waits
    std::vector<bot_figures> bots;
    mode_figures modes[KIND_COUNT];
    std::vector<double> probe_ms;  // check-in time of each probe that checked in
    long probe_failed = 0;         // probes refused, closed or timed out
};

// Runs until opts.seconds have passed; false (with a line on stderr) when the loop
// itself could not be set up.
bool run_bots(const bots_options &opts, run_figures &out);
