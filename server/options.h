// Command-line options of mazecar-server.
#pragma once

#include "connections.h"
#include "game.h"

struct server_options {
    game_config game;
    server_settings net;
    const char *listen_addr;
};

enum { OPTIONS_RUN, OPTIONS_HELP, OPTIONS_BAD };

// Fills opts from argv; OPTIONS_BAD after writing the reason to standard error.
int parse_options(int argc, char **argv, server_options &opts);
void print_usage(const char *program);
