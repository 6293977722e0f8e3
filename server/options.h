// Command-line options of mazecar-server.
#pragma once

#include "game/game.h"
#include "net/connections.h"

struct server_options {
    game_config game;
    server_settings net;
    const char *listen_addr;
    const char *db;       // --db: the records store, "none", a PostgreSQL URI, or null: default
    const char *spool;    // --spool: the local file for games PostgreSQL cannot take yet
    const char *fleet;    // --fleet ADDR:PORT: rooms shared with the other processes, or null
    int records;          // --records N: print the best N and the last N games; 0 = play
    bool verify_replays;  // --verify-replays: play every kept game again and compare
    const char *http;     // --http ADDR:PORT of the status page, null for none
    int seed;             // --seed, before it becomes the games' base seed
    int checkin_seconds;  // --checkin-seconds, before it becomes milliseconds
    int idle_seconds;     // --idle-seconds, before it becomes milliseconds
};

enum { OPTIONS_RUN, OPTIONS_HELP, OPTIONS_BAD };

// Fills opts from argv (getopt_long: --name VALUE or --name=VALUE); OPTIONS_BAD after writing the
// reason to standard error.
int parse_options(int argc, char **argv, server_options &opts);
void print_usage(const char *program);
