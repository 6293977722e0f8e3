// Options of mazecar-bots. Load goes only to loopback: the target and every source
// address are checked to lie in 127.0.0.0/8 (or the target is ::1) before anything
// connects.
#pragma once

#include <cstdint>

constexpr int BOTS_MAX = 65536;     // playing bots at most
constexpr int HOSTILE_MAX = 65536;  // connections of each hostile mode at most
constexpr int SECONDS_MAX = 24 * 3600;

struct bots_options {
    char server[64] = "127.0.0.1";
    bool server_v6 = false;  // the target is ::1
    uint32_t server_v4 = 0;  // host order, when not server_v6
    int port = 5555;
    int clients = 0;
    int sources = 0;           // 0: one address per 4 clients
    uint32_t source_base = 0;  // host order
    char room[16] = "";        // names botK@room
    int rooms = 0;             // names botK@rJ, J = K mod rooms
    int seconds = 30;
    int ramp = 200;  // connections started per second
    int idle = 0, slow_name = 0, garbage = 0, squat = 0;
    int hostile_sources = 200;
    uint32_t hostile_base = 0;
    double hostile_delay = 0;  // seconds before hostile connections start
    bool hostile_reconnect = false;
    bool flood = false;
    uint32_t flood_address = 0;
    int flood_parallel = 4;
    bool probe = false;
    bool json = false;
    bool per_bot = false;
    uint32_t seed = 1;
};

enum { BOTS_RUN, BOTS_HELP, BOTS_BAD };

// True when the text is an IPv4 address in 127.0.0.0/8; *addr gets it in host order.
bool loopback_v4(const char *text, uint32_t *addr);

void print_bots_usage(const char *program);

// Fills opts from the command line; on BOTS_BAD one line on stderr says why.
int parse_bots_options(int argc, char **argv, bots_options &opts);
