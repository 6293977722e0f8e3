// Option parsing. Every number has a name, a range, a default and a line of help, in
// one table; the human places plus the enemy cars never exceed the MAXPLAYER cars the
// clients can hold.
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "web/status_http.h"

namespace {

// Numbers given in other units than the configuration keeps them.
struct raw_numbers {
    int seed;
    int checkin_seconds;
};

struct number_option {
    const char *name;
    int lo, hi;
    int *(*target)(server_options &, raw_numbers &);
    const char *help;
};

#ifndef MAZECAR_SERVER_DOCDIR  // set by the build to the installed documents' folder
#define MAZECAR_SERVER_DOCDIR "/usr/share/doc/mazecar-server"
#endif

constexpr int RECORDS_DEFAULT = 10;
constexpr int RECORDS_MAX = 10000;

// Where an option's number goes: a lambda over the options, so the table names the
// field itself.
// A lambda, not an expression to group:
// NOLINTBEGIN(bugprone-macro-parentheses)
#define FIELD(expr)                                                                                \
    [](server_options &o, raw_numbers &r) -> int * {                                               \
        (void)o;                                                                                   \
        (void)r;                                                                                   \
        return &(expr);                                                                            \
    }
// NOLINTEND(bugprone-macro-parentheses)

const number_option numbers[] = {
    {"--slots", 1, MAXPLAYER, FIELD(o.game.slots), "human places in each game, 1 .. 8 (default 4)"},
    {"--enemies", 0, MAXPLAYER - 1, FIELD(o.game.enemies),
     "enemy cars in each game (default 3); places + enemies <= 8"},
    {"--rounds", 1, ROUNDS_MAX, FIELD(o.game.rounds), "rounds per game (default 3)"},
    {"--flags", 1, 40, FIELD(o.game.flags), "flags per round, 1 .. 40 (default 10)"},
    {"--seed", 0, 2147483647, FIELD(r.seed),
     "seed of the mazes and enemies (default: the clock); each\n"
     "game's seed comes from it and the game's number, so the same\n"
     "seed and key presses give the same games"},
    {"--lobby-seconds", 0, 3600, FIELD(o.game.lobby_seconds),
     "lobby countdown after the first check-in (default 15)"},
    {"--checkin-seconds", 1, 3600, FIELD(r.checkin_seconds),
     "time a client has to send its name (default 10)"},
    {"--games", 1, 100000, FIELD(o.net.games_max), "games open at once (default 1000)"},
    {"--max-connections", 1, 1000000, FIELD(o.net.max_connections),
     "connections at once (default 4096); when full, the oldest\n"
     "unfinished check-in makes room for a newcomer"},
    {"--per-address", 1, 100000, FIELD(o.net.per_address),
     "open connections from one address, an IPv6 /64 counting\n"
     "as one (default 8)"},
    {"--connect-rate", 1, 100000, FIELD(o.net.connect_rate),
     "new connections from one address per 10 s (default 10)"},
    {"--stats-seconds", 0, 86400, FIELD(o.net.stats_seconds),
     "period of the stats line in the log, 0 = none (default 60)"},
};

#undef FIELD

bool parse_int(const char *text, int lo, int hi, int *out)
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

void print_help_text(const char *name, const char *help)
{
    printf("  %-21s ", name);
    for (const char *p = help; *p; p++) {
        putchar(*p);
        if (*p == '\n')
            printf("%24s", "");
    }
    putchar('\n');
}

}  // namespace

void print_usage(const char *program)
{
    printf("Usage: %s [options]\n"
           "The Mazecar game server: many games in one process, on TCP port %d.\n\n",
           program, SERVER_PORT);
    print_help_text("--listen ADDR",
                    "IPv4 or IPv6 address to listen on (default 127.0.0.1; 0.0.0.0\n"
                    "or :: opens the server to every network of this machine)");
    for (const number_option &o : numbers) {
        char name[40];
        snprintf(name, sizeof name, "%s N", o.name);
        print_help_text(name, o.help);
    }
    print_help_text("--db PATH", "the records store (default $XDG_STATE_HOME/mazecar/records.db,\n"
                                 "else ~/.local/state/mazecar/records.db); none keeps nothing");
    print_help_text("--records [N]", "print the best N scores and the last N games (default 10)\n"
                                     "from the records store, then exit");
    print_help_text("--http ADDR:PORT",
                    "serve the status page, /api/status and /metrics there\n"
                    "(read-only; e.g. 127.0.0.1:8055 or [::1]:8055; default none)");
    print_help_text("--quick", "short pauses between phases (for tests)");
    print_help_text("--status-file PATH", "write the games' state there a few times a second");
    print_help_text("--proxy-from LIST",
                    "addresses or CIDR ranges (IPv4, IPv6, comma-separated) of\n"
                    "load balancers whose connections begin with a PROXY\n"
                    "header (version 1 or 2) naming the client, whose address\n"
                    "is then the one limited and logged; such a connection\n"
                    "without a valid header is closed, and a header from any\n"
                    "other address is not believed (the guide and an HAProxy\n"
                    "example: " MAZECAR_SERVER_DOCDIR "/SCALING.md,\n" MAZECAR_SERVER_DOCDIR
                    "/examples/haproxy.cfg)");
    print_help_text("--help", "this text");
    printf("\nRooms: a player whose name is name@room (room: 1 to 8 letters or digits) joins\n"
           "that room's game, made on first use; the name is shown without @room. Any other\n"
           "name joins the newest quick-play game still in its lobby, or a new one.\n\n"
           "Keys: SPACE checks in (lobby) and lays smoke (play); S switches car control\n"
           "(lobby); Q pauses and resumes (play, 3 times a game each, 30 s at most); the\n"
           "arrows drive.\n"
           "SIGINT or SIGTERM tells every client to quit and ends the server.\n");
}

int parse_options(int argc, char **argv, server_options &opts)
{
    opts.game = game_config{4, 3, 3, 15, 10, 0, TICK_HZ, false};
    opts.net = default_server_settings();
    opts.listen_addr = "127.0.0.1";
    opts.db = nullptr;
    opts.records = 0;
    opts.http = nullptr;
    raw_numbers raw{static_cast<int>(time(nullptr) & 0x7fffffff), opts.net.checkin_ms / 1000};
    for (int i = 1; i < argc; i++) {
        const char *opt = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true, takes_value = true;
        const number_option *num = nullptr;
        for (const number_option &o : numbers)
            if (!strcmp(opt, o.name))
                num = &o;
        if (!strcmp(opt, "--help")) {
            return OPTIONS_HELP;
        } else if (num) {
            ok = parse_int(val, num->lo, num->hi, num->target(opts, raw));
        } else if (!strcmp(opt, "--quick")) {
            opts.game.wait_ticks = TICK_HZ / 5;
            takes_value = false;
        } else if (!strcmp(opt, "--listen")) {
            ok = val != nullptr;
            opts.listen_addr = val;
        } else if (!strcmp(opt, "--http")) {
            std::string addr;
            int port = 0;
            ok = val && parse_http_address(val, addr, port);
            opts.http = val;
        } else if (!strcmp(opt, "--db")) {
            ok = val != nullptr;
            opts.db = val;
        } else if (!strcmp(opt, "--records")) {
            // The count is optional: a following word that is not a number is an option.
            opts.records = RECORDS_DEFAULT;
            takes_value = val && val[0] != '-';
            if (takes_value)
                ok = parse_int(val, 1, RECORDS_MAX, &opts.records);
        } else if (!strcmp(opt, "--status-file")) {
            ok = val != nullptr;
            opts.net.status_path = val;
        } else if (!strcmp(opt, "--proxy-from")) {
            std::string err;
            if (val && !parse_proxy_ranges(val, opts.net.proxy_from, err)) {
                fprintf(stderr, "mazecar-server: --proxy-from: %s\n", err.c_str());
                return OPTIONS_BAD;
            }
            ok = val != nullptr;
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
    opts.game.seed = static_cast<uint32_t>(raw.seed);
    opts.net.checkin_ms = raw.checkin_seconds * 1000;
    if (opts.game.slots + opts.game.enemies > MAXPLAYER) {
        fprintf(stderr, "mazecar-server: %d places and %d enemies make more than %d cars\n",
                opts.game.slots, opts.game.enemies, MAXPLAYER);
        return OPTIONS_BAD;
    }
    return OPTIONS_RUN;
}
