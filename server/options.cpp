// Option parsing: every number is checked against its range; the human places plus
// the enemy cars never exceed the MAXPLAYER cars the clients can hold.
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

void print_usage(const char *program)
{
    printf("Usage: %s [options]\n"
           "The Mazecar game server. Listens on TCP port %d.\n\n"
           "  --listen ADDR         IPv4 address to listen on (default 127.0.0.1; 0.0.0.0 opens\n"
           "                        the server to every network of this machine)\n"
           "  --slots N             human player places, 1 .. %d (default 4)\n"
           "  --enemies N           enemy cars (default 3); places + enemies <= %d\n"
           "  --rounds N            rounds per game (default 3)\n"
           "  --flags N             flags per round, 1 .. 40 (default 10)\n"
           "  --seed N              seed of the mazes and enemies (default: the clock);\n"
           "                        the same seed and the same key presses give the same game\n"
           "  --lobby-seconds N     lobby countdown after the first check-in (default 15)\n"
           "  --checkin-seconds N   time a client has to send its name (default 120)\n"
           "  --quick               short pauses between phases (for tests)\n"
           "  --status-file PATH    write the game's state there a few times a second\n"
           "  --help                this text\n\n"
           "Keys: SPACE checks in (lobby) and lays smoke (play); S switches car control\n"
           "(lobby); Q pauses and resumes (play); the arrows drive.\n"
           "SIGINT or SIGTERM tells every client to quit and ends the server.\n",
           program, SERVER_PORT, MAXPLAYER, MAXPLAYER);
}

static bool parse_int(const char *text, int lo, int hi, int *out)
{
    if (!text)
        return false;
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno || end == text || *end || v < lo || v > hi)
        return false;
    *out = static_cast<int>(v);
    return true;
}

int parse_options(int argc, char **argv, server_options &opts)
{
    opts.game = game_config{4, 3, 3, 15, 10, static_cast<uint32_t>(time(nullptr)), TICK_HZ};
    opts.net = net_settings{120 * 1000, nullptr};
    opts.listen_addr = "127.0.0.1";
    for (int i = 1; i < argc; i++) {
        const char *opt = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : nullptr;
        int n = 0;
        bool ok = true, takes_value = true;
        if (!strcmp(opt, "--help")) {
            return OPTIONS_HELP;
        } else if (!strcmp(opt, "--quick")) {
            opts.game.wait_ticks = TICK_HZ / 5;
            takes_value = false;
        } else if (!strcmp(opt, "--listen")) {
            ok = val != nullptr;
            opts.listen_addr = val;
        } else if (!strcmp(opt, "--status-file")) {
            ok = val != nullptr;
            opts.net.status_path = val;
        } else if (!strcmp(opt, "--slots")) {
            ok = parse_int(val, 1, MAXPLAYER, &opts.game.slots);
        } else if (!strcmp(opt, "--enemies")) {
            ok = parse_int(val, 0, MAXPLAYER - 1, &opts.game.enemies);
        } else if (!strcmp(opt, "--rounds")) {
            ok = parse_int(val, 1, 99, &opts.game.rounds);
        } else if (!strcmp(opt, "--flags")) {
            ok = parse_int(val, 1, 40, &opts.game.flags);
        } else if (!strcmp(opt, "--seed")) {
            ok = parse_int(val, 0, 2147483647, &n);
            opts.game.seed = static_cast<uint32_t>(n);
        } else if (!strcmp(opt, "--lobby-seconds")) {
            ok = parse_int(val, 0, 3600, &opts.game.lobby_seconds);
        } else if (!strcmp(opt, "--checkin-seconds")) {
            ok = parse_int(val, 1, 3600, &n);
            opts.net.checkin_ms = n * 1000;
        } else {
            fprintf(stderr, "mazecar-server: unknown option %s (try --help)\n", opt);
            return OPTIONS_BAD;
        }
        if (!ok) {
            fprintf(stderr, "mazecar-server: %s needs a valid value (try --help)\n", opt);
            return OPTIONS_BAD;
        }
        if (takes_value)
            i++;
    }
    if (opts.game.slots + opts.game.enemies > MAXPLAYER) {
        fprintf(stderr, "mazecar-server: %d places and %d enemies make more than %d cars\n",
                opts.game.slots, opts.game.enemies, MAXPLAYER);
        return OPTIONS_BAD;
    }
    return OPTIONS_RUN;
}
