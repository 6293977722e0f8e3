// Command line of mazecar-bots: each number checked against its range, each address
// against loopback.
#include "bots_options.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool loopback_v4(const char *text, uint32_t *addr)
{
    in_addr a;
    if (!text || inet_pton(AF_INET, text, &a) != 1)
        return false;
    uint32_t host = ntohl(a.s_addr);
    if ((host >> 24) != 127)
        return false;
    if (addr)
        *addr = host;
    return true;
}

void print_bots_usage(const char *program)
{
    printf("Usage: %s --clients N [options]\n"
           "Headless Mazecar clients for load tests: they check in, press SPACE in the lobby,\n"
           "drive with random arrows, lay smoke, check every frame against its layout and\n"
           "report what they received. Loopback only: the server and every source address\n"
           "must be in 127.0.0.0/8 (or the server ::1).\n\n"
           "  --server ADDR        server address (default 127.0.0.1)\n"
           "  --port N             server port (default 5555)\n"
           "  --clients N          playing bots, 0 .. %d\n"
           "  --sources M          source addresses of the bots (default one per 4 bots)\n"
           "  --source-base ADDR   first source address (default 127.0.0.10)\n"
           "  --room NAME          names are botK@NAME (NAME: 1 to 8 letters or digits)\n"
           "  --rooms R            names are botK@rJ with J = K mod R\n"
           "  --seconds S          length of the run, 1 .. %d (default 30)\n"
           "  --ramp R             connections started per second (default 200)\n"
           "  --seed N             seed of the bots' keys (default 1)\n"
           "  --json               print one JSON line of figures after the text report\n"
           "  --per-bot            list every bot's figures (text and JSON)\n\n"
           "Hostile connections, alongside the bots:\n"
           "  --idle N             connect and never send\n"
           "  --slow-name N        send the name one byte a second\n"
           "  --garbage N          send random bytes\n"
           "  --squat N            check in with a name, then never press a key\n"
           "  --hostile-sources H  source addresses of those (default 200)\n"
           "  --hostile-base ADDR  first of them (default 127.1.0.10)\n"
           "  --hostile-delay S    start them S seconds into the run (default 0)\n"
           "  --hostile-reconnect  a hostile connection that is closed comes back 1 s later\n"
           "  --flood-address A    from A, reconnect as fast as possible (waits for the\n"
           "                       greeting, resets, again)\n"
           "  --flood-parallel K   connections of the flood at once (default 4)\n"
           "  --probe              once a second a fresh connection checks in and leaves;\n"
           "                       its check-in time is reported (sources 127.2.0.1 ..)\n",
           program, BOTS_MAX, SECONDS_MAX);
}

static bool parse_int(const char *text, long lo, long hi, int *out)
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

static bool room_name(const char *text)
{
    size_t n = text ? strlen(text) : 0;
    if (n < 1 || n > 8)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!isalnum(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

static bool set_server(const char *text, bots_options &opts)
{
    if (!text || strlen(text) >= sizeof opts.server)
        return false;
    if (!strcmp(text, "::1")) {
        opts.server_v6 = true;
    } else if (!loopback_v4(text, &opts.server_v4)) {
        return false;
    }
    snprintf(opts.server, sizeof opts.server, "%s", text);
    return true;
}

// A run of count addresses from base stays inside 127.0.0.0/8 and short of its
// broadcast address.
static bool range_fits(uint32_t base, int count)
{
    return count <= 0 || base + static_cast<uint32_t>(count - 1) <= 0x7ffffffeu;
}

static int bad(const char *what)
{
    fprintf(stderr, "mazecar-bots: %s\n", what);
    return BOTS_BAD;
}

int parse_bots_options(int argc, char **argv, bots_options &opts)
{
    loopback_v4("127.0.0.1", &opts.server_v4);
    loopback_v4("127.0.0.10", &opts.source_base);
    loopback_v4("127.1.0.10", &opts.hostile_base);
    for (int i = 1; i < argc; i++) {
        const char *opt = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true, takes_value = true;
        int n = 0;
        if (!strcmp(opt, "--help")) {
            return BOTS_HELP;
        } else if (!strcmp(opt, "--server")) {
            if (!set_server(val, opts)) {
                fprintf(stderr,
                        "mazecar-bots: refusing server address '%s': load goes only to "
                        "loopback (127.0.0.0/8 or ::1)\n",
                        val ? val : "");
                return BOTS_BAD;
            }
        } else if (!strcmp(opt, "--source-base") || !strcmp(opt, "--hostile-base") ||
                   !strcmp(opt, "--flood-address")) {
            uint32_t *dest = !strcmp(opt, "--source-base")    ? &opts.source_base
                             : !strcmp(opt, "--hostile-base") ? &opts.hostile_base
                                                              : &opts.flood_address;
            if (!loopback_v4(val, dest)) {
                fprintf(stderr, "mazecar-bots: refusing %s '%s': not in 127.0.0.0/8\n", opt,
                        val ? val : "");
                return BOTS_BAD;
            }
            opts.flood = opts.flood || !strcmp(opt, "--flood-address");
        } else if (!strcmp(opt, "--port")) {
            ok = parse_int(val, 1, 65535, &opts.port);
        } else if (!strcmp(opt, "--clients")) {
            ok = parse_int(val, 0, BOTS_MAX, &opts.clients);
        } else if (!strcmp(opt, "--sources")) {
            ok = parse_int(val, 1, 1 << 24, &opts.sources);
        } else if (!strcmp(opt, "--hostile-sources")) {
            ok = parse_int(val, 1, 1 << 24, &opts.hostile_sources);
        } else if (!strcmp(opt, "--room")) {
            ok = room_name(val);
            if (ok)
                snprintf(opts.room, sizeof opts.room, "%s", val);
        } else if (!strcmp(opt, "--rooms")) {
            ok = parse_int(val, 1, 99999, &opts.rooms);
        } else if (!strcmp(opt, "--seconds")) {
            ok = parse_int(val, 1, SECONDS_MAX, &opts.seconds);
        } else if (!strcmp(opt, "--ramp")) {
            ok = parse_int(val, 1, 1000000, &opts.ramp);
        } else if (!strcmp(opt, "--seed")) {
            ok = parse_int(val, 0, 2147483647, &n);
            opts.seed = static_cast<uint32_t>(n);
        } else if (!strcmp(opt, "--idle")) {
            ok = parse_int(val, 0, HOSTILE_MAX, &opts.idle);
        } else if (!strcmp(opt, "--slow-name")) {
            ok = parse_int(val, 0, HOSTILE_MAX, &opts.slow_name);
        } else if (!strcmp(opt, "--garbage")) {
            ok = parse_int(val, 0, HOSTILE_MAX, &opts.garbage);
        } else if (!strcmp(opt, "--squat")) {
            ok = parse_int(val, 0, HOSTILE_MAX, &opts.squat);
        } else if (!strcmp(opt, "--hostile-delay")) {
            ok = parse_int(val, 0, SECONDS_MAX, &n);
            opts.hostile_delay = n;
        } else if (!strcmp(opt, "--flood-parallel")) {
            ok = parse_int(val, 1, 1024, &opts.flood_parallel);
        } else if (!strcmp(opt, "--hostile-reconnect") || !strcmp(opt, "--probe") ||
                   !strcmp(opt, "--json") || !strcmp(opt, "--per-bot")) {
            takes_value = false;
            opts.hostile_reconnect = opts.hostile_reconnect || !strcmp(opt, "--hostile-reconnect");
            opts.probe = opts.probe || !strcmp(opt, "--probe");
            opts.json = opts.json || !strcmp(opt, "--json");
            opts.per_bot = opts.per_bot || !strcmp(opt, "--per-bot");
        } else {
            fprintf(stderr, "mazecar-bots: unknown option %s (try --help)\n", opt);
            return BOTS_BAD;
        }
        if (!ok) {
            fprintf(stderr, "mazecar-bots: %s needs a valid value (try --help)\n", opt);
            return BOTS_BAD;
        }
        if (takes_value)
            i++;
    }
    if (opts.sources == 0)
        opts.sources = opts.clients > 0 ? (opts.clients + 3) / 4 : 1;
    if (opts.server_v6)
        opts.sources = 1;  // IPv6 loopback is one address; nothing is bound
    if (opts.room[0] && opts.rooms > 0)
        return bad("--room and --rooms exclude each other");
    if (!range_fits(opts.source_base, opts.sources) ||
        !range_fits(opts.hostile_base, opts.hostile_sources))
        return bad("the source addresses run past 127.255.255.254");
    if (opts.clients + opts.idle + opts.slow_name + opts.garbage + opts.squat == 0 && !opts.flood &&
        !opts.probe)
        return bad("nothing to do: give --clients N or a hostile mode (try --help)");
    return BOTS_RUN;
}
