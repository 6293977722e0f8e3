// Option parsing through getopt_long. Every option has a name, a line of help and, for
// numbers, a range and a default, in one table; the human places plus the enemy cars
// never exceed the MAXPLAYER cars the clients can hold.
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "store/pg_link.h"
#include "web/status_http.h"

namespace {

#ifndef MAZECAR_SERVER_DOCDIR  // set by the build to the installed documents' folder
#define MAZECAR_SERVER_DOCDIR "/usr/share/doc/mazecar-server"
#endif

constexpr int RECORDS_DEFAULT = 10;
constexpr int RECORDS_MAX = 10000;

// One option. A number has a range and the field it fills; any other option takes its
// value (or none) through apply, which says whether the value was good.
struct option_entry {
    const char *name;  // without the leading dashes
    const char *arg;   // the value's name in --help; null: the option takes none
    int lo, hi;
    int &(*number)(server_options &);
    bool (*apply)(server_options &, const char *value);
    const char *help;
};

bool take_text(const char *value, const char *&field)
{
    field = value;
    return value != nullptr;
}

bool take_http(server_options &o, const char *value)
{
    std::string addr;
    int port = 0;
    o.http = value;
    return value && parse_http_address(value, addr, port);
}

bool take_proxy_ranges(server_options &o, const char *value)
{
    std::string err;
    if (parse_proxy_ranges(value, o.net.proxy_from, err))
        return true;
    fprintf(stderr, "mazecar-server: --proxy-from: %s\n", err.c_str());
    return false;
}

// Where the other processes reach this one: a numeric address of this machine (not
// "any") and a port.
bool take_fleet(server_options &o, const char *value)
{
    sockaddr_storage sa{};
    o.fleet = value;
    if (!value || !parse_host_port(value, sa))
        return false;
    const auto &v4 = reinterpret_cast<const sockaddr_in &>(sa);
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(sa);
    return sa.ss_family == AF_INET ? v4.sin_addr.s_addr != htonl(INADDR_ANY)
                                   : !IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr);
}

bool take_quick(server_options &o, const char *)
{
    o.game.wait_ticks = TICK_HZ / 5;
    return true;
}

bool take_rivals_in_rooms(server_options &o, const char *)
{
    o.game.rivals_in_rooms = true;
    return true;
}

const option_entry table[] = {
    {"listen", "ADDR", 0, 0, nullptr,
     [](server_options &o, const char *v) { return take_text(v, o.listen_addr); },
     "IPv4 or IPv6 address to listen on (default 127.0.0.1; 0.0.0.0\n"
     "or :: opens the server to every network of this machine)"},
    {"slots", "N", 1, MAXPLAYER, [](server_options &o) -> int & { return o.game.slots; }, nullptr,
     "human places in each game, 1 .. 8 (default 4)"},
    {"enemies", "N", 0, MAXPLAYER - 1, [](server_options &o) -> int & { return o.game.enemies; },
     nullptr, "enemy cars in each game (default 3); places + enemies <= 8"},
    {"rounds", "N", 1, ROUNDS_MAX, [](server_options &o) -> int & { return o.game.rounds; },
     nullptr, "rounds per game (default 3)"},
    {"flags", "N", 1, FLAGS_MAX, [](server_options &o) -> int & { return o.game.flags; }, nullptr,
     "flags per round, 1 .. 40 (default 10)"},
    {"seed", "N", 0, 2147483647, [](server_options &o) -> int & { return o.seed; }, nullptr,
     "seed of the mazes and enemies (default: the clock); each\n"
     "game's seed comes from it and the game's number, so the same\n"
     "seed and key presses give the same games"},
    {"rivals", "N", 0, RIVALS_MAX, [](server_options &o) -> int & { return o.game.rivals; },
     nullptr,
     "computer rivals in each quick-play game, 0 .. 7 (default 0):\n"
     "when the lobby's countdown ends they take up to N of the\n"
     "places no player holds; names end in '*', their results are\n"
     "never kept"},
    {"rivals-in-rooms", nullptr, 0, 0, nullptr, take_rivals_in_rooms,
     "rooms (name@room) get rivals too"},
    {"lobby-seconds", "N", 0, 3600, [](server_options &o) -> int & { return o.game.lobby_seconds; },
     nullptr, "lobby countdown after the first check-in (default 15)"},
    {"checkin-seconds", "N", 1, 3600, [](server_options &o) -> int & { return o.checkin_seconds; },
     nullptr, "time a client has to send its name (default 10)"},
    {"idle-seconds", "N", 0, 86400, [](server_options &o) -> int & { return o.idle_seconds; },
     nullptr,
     "a player in a lobby who presses no key for N seconds is\n"
     "dropped, 0 = never (default 120); watching a game under\n"
     "way is not idle"},
    {"games", "N", 1, 100000, [](server_options &o) -> int & { return o.net.games_max; }, nullptr,
     "games open at once (default 1000)"},
    {"max-connections", "N", 1, 1000000,
     [](server_options &o) -> int & { return o.net.max_connections; }, nullptr,
     "connections at once (default 4096); when full, the oldest\n"
     "unfinished check-in makes room for a newcomer"},
    {"per-address", "N", 1, 100000, [](server_options &o) -> int & { return o.net.per_address; },
     nullptr,
     "open connections from one address, an IPv6 /64 counting\n"
     "as one (default 8)"},
    {"connect-rate", "N", 1, 100000, [](server_options &o) -> int & { return o.net.connect_rate; },
     nullptr,
     "new connections from one address per 10 s: N at once,\n"
     "then one each 10/N s (default 10)"},
    {"stats-seconds", "N", 0, 86400, [](server_options &o) -> int & { return o.net.stats_seconds; },
     nullptr, "period of the stats line in the log, 0 = none (default 60)"},
    {"db", "PATH|URI", 0, 0, nullptr,
     [](server_options &o, const char *v) { return take_text(v, o.db); },
     "the records store (default $XDG_STATE_HOME/mazecar/records.db,\n"
     "else ~/.local/state/mazecar/records.db); none keeps nothing;\n"
     "postgresql://USER@HOST:PORT/DBNAME keeps them in PostgreSQL,\n"
     "shared by every process of a fleet (docs/SCALING.md)"},
    {"spool", "PATH", 0, 0, nullptr,
     [](server_options &o, const char *v) { return take_text(v, o.spool); },
     "with --db postgresql://...: the SQLite file that keeps finished\n"
     "games while PostgreSQL cannot be reached, until they move\n"
     "there (default: the default records store)"},
    {"records", "[N]", 1, RECORDS_MAX, [](server_options &o) -> int & { return o.records; },
     nullptr,
     "print the best N scores and the last N games (default 10)\n"
     "from the records store, then exit"},
    {"fleet", "ADDR:PORT", 0, 0, nullptr, take_fleet,
     "with --db postgresql://...: share rooms with the other\n"
     "processes using that database; ADDR:PORT is where they reach\n"
     "this one (e.g. 10.0.0.5:5555), and they must be in its\n"
     "--proxy-from, as it must be in theirs (docs/SCALING.md)"},
    {"verify-replays", nullptr, 0, 0, nullptr,
     [](server_options &o, const char *) { return o.verify_replays = true; },
     "play every game of the records store again from its replay\n"
     "at full speed, compare each result with the one kept, print\n"
     "a line for each that differs, then exit (0: all the same)"},
    {"replay-kb", "N", 0, 65536, [](server_options &o) -> int & { return o.net.replay_kb; },
     nullptr,
     "a game's replay (its inputs, a few KiB) is kept up to this\n"
     "size; a longer one is dropped and counted; 0 keeps none\n"
     "(default 1024)"},
    {"viewers", "N", 0, 100000, [](server_options &o) -> int & { return o.net.viewers_max; },
     nullptr,
     "clients watching kept games again at once (they check in\n"
     "as name@#ID, ID from --records); more are refused (default 64)"},
    {"http", "ADDR:PORT", 0, 0, nullptr, take_http,
     "serve the status page, /api/status and /metrics there\n"
     "(read-only; e.g. 127.0.0.1:8055 or [::1]:8055; default none)"},
    {"quick", nullptr, 0, 0, nullptr, take_quick, "short pauses between phases (for tests)"},
    {"status-file", "PATH", 0, 0, nullptr,
     [](server_options &o, const char *v) { return take_text(v, o.net.status_path); },
     "write the games' state there a few times a second"},
    {"proxy-from", "LIST", 0, 0, nullptr, take_proxy_ranges,
     "addresses or CIDR ranges (IPv4, IPv6, comma-separated) of\n"
     "load balancers whose connections begin with a PROXY\n"
     "header (version 1 or 2) naming the client, whose address\n"
     "is then the one limited and logged; such a connection\n"
     "without a valid header is closed, and a header from any\n"
     "other address is not believed (the guide and an HAProxy\n"
     "example: " MAZECAR_SERVER_DOCDIR "/SCALING.md,\n" MAZECAR_SERVER_DOCDIR
     "/examples/haproxy.cfg)"},
    {"help", nullptr, 0, 0, nullptr, nullptr, "this text"},
};
constexpr int TABLE_SIZE = static_cast<int>(sizeof table / sizeof table[0]);

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

// getopt_long's view of the table: each option returns its index in the table. A value
// in brackets is optional.
std::vector<option> long_options()
{
    std::vector<option> longs;
    for (int i = 0; i < TABLE_SIZE; i++) {
        const char *arg = table[i].arg;
        int has = !arg ? no_argument : arg[0] == '[' ? optional_argument : required_argument;
        longs.push_back(option{table[i].name, has, nullptr, i});
    }
    longs.push_back(option{nullptr, 0, nullptr, 0});
    return longs;
}

// An optional count may also come as the next word ("--records 5"), when it is not an option.
const char *optional_value(int argc, char **argv)
{
    if (optarg)
        return optarg;
    if (optind < argc && argv[optind][0] != '-')
        return argv[optind++];
    return nullptr;
}

// Applies the table entry found by getopt_long; false when its value is not good.
bool apply_option(const option_entry &entry, const char *value, server_options &opts)
{
    if (entry.number) {
        if (entry.arg && entry.arg[0] == '[' && !value) {
            entry.number(opts) = RECORDS_DEFAULT;
            return true;
        }
        return parse_int(value, entry.lo, entry.hi, &entry.number(opts));
    }
    return entry.apply(opts, value);
}

void set_defaults(server_options &opts)
{
    opts.game = game_config{4, 3, 3, 15, 10, 0, TICK_HZ, false};
    opts.net = default_server_settings();
    opts.listen_addr = "127.0.0.1";
    opts.db = nullptr;
    opts.spool = nullptr;
    opts.fleet = nullptr;
    opts.records = 0;
    opts.verify_replays = false;
    opts.http = nullptr;
    opts.seed = static_cast<int>(time(nullptr) & 0x7fffffff);
    opts.checkin_seconds = opts.net.checkin_ms / 1000;
    opts.idle_seconds = opts.net.idle_ms / 1000;
    // For the link benchmark only (bench/link_lab.py): the way of sending it compares with.
    opts.net.bench_nagle = getenv("MAZECAR_BENCH_NAGLE") != nullptr;
}

// --fleet and --spool need PostgreSQL; the processes of a fleet trust each other's
// headers, so one whose own address is not in its --proxy-from is set up unlike the
// others, which would not believe it.
bool fleet_options_fit(const server_options &opts)
{
    if ((opts.fleet || opts.spool) && !is_postgres_uri(opts.db)) {
        fprintf(stderr, "mazecar-server: %s needs --db postgresql://...\n",
                opts.fleet ? "--fleet" : "--spool");
        return false;
    }
    sockaddr_storage self{};
    if (opts.fleet && parse_host_port(opts.fleet, self) &&
        !proxy_trusted(opts.net.proxy_from, self)) {
        fprintf(stderr,
                "mazecar-server: --fleet %s: that address must be in --proxy-from too, "
                "as every process of the fleet must trust the others\n",
                opts.fleet);
        return false;
    }
    return true;
}

// What the numbers mean together, once all are read.
int finish_options(server_options &opts)
{
    opts.game.seed = static_cast<uint32_t>(opts.seed);
    opts.net.checkin_ms = opts.checkin_seconds * 1000;
    opts.net.idle_ms = opts.idle_seconds * 1000;
    if (!fleet_options_fit(opts))
        return OPTIONS_BAD;
    if (opts.game.slots + opts.game.enemies > MAXPLAYER) {
        fprintf(stderr, "mazecar-server: %d places and %d enemies make more than %d cars\n",
                opts.game.slots, opts.game.enemies, MAXPLAYER);
        return OPTIONS_BAD;
    }
    return OPTIONS_RUN;
}

}  // namespace

void print_usage(const char *program)
{
    printf("Usage: %s [options]\n"
           "The Mazecar game server: many games in one process, on TCP port %d.\n\n",
           program, SERVER_PORT);
    for (const option_entry &o : table) {
        char name[40];
        snprintf(name, sizeof name, "--%s%s%s", o.name, o.arg ? " " : "", o.arg ? o.arg : "");
        print_help_text(name, o.help);
    }
    printf("\nRooms: a player whose name is name@room (room: 1 to 8 letters or digits) joins\n"
           "that room's game, made on first use; the name is shown without @room. The client\n"
           "sends 15 characters at most, name@room included. Any other name joins the newest\n"
           "quick-play game still in its lobby, or a new one. A player whose name is name@#ID\n"
           "watches kept game ID again, alone.\n\n"
           "Keys: SPACE checks in (lobby) and lays smoke (play); S switches car control\n"
           "(lobby); Q pauses and resumes (play, 3 times a game each, 30 s at most); the\n"
           "arrows drive.\n"
           "SIGINT or SIGTERM tells every client to quit and ends the server.\n");
}

int parse_options(int argc, char **argv, server_options &opts)
{
    set_defaults(opts);
    std::vector<option> longs = long_options();
    optind = 0;  // start afresh: the parser keeps its place between calls
    opterr = 0;  // the messages below name the option as it was typed
    for (;;) {
        int prev = optind;
        int k = getopt_long(argc, argv, "+:", longs.data(), nullptr);
        if (k == -1)
            break;
        const char *typed = argv[prev > 0 ? prev : 1];
        if (k == '?') {
            fprintf(stderr, "mazecar-server: unknown option %s (try --help)\n", typed);
            return OPTIONS_BAD;
        }
        if (k != ':' && !strcmp(table[k].name, "help"))
            return OPTIONS_HELP;
        bool optional = k != ':' && table[k].arg && table[k].arg[0] == '[';
        const char *value = optional ? optional_value(argc, argv) : optarg;
        if (k == ':' || !apply_option(table[k], value, opts)) {
            fprintf(stderr, "mazecar-server: %s needs a valid value (try --help)\n", typed);
            return OPTIONS_BAD;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "mazecar-server: unexpected argument %s (try --help)\n", argv[optind]);
        return OPTIONS_BAD;
    }
    return finish_options(opts);
}
